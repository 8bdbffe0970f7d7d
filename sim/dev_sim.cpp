// The simulated SCSI devices behind the device layer's ioctl seam (file
// format in dev_sim.h).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "dev_internal.h"
#include "dev_sim.h"
#include "hex.h"
#include "owners.h"
#include "text.h"
#include "wire.h"

namespace dvr::dev {

namespace sim {
namespace {

struct Failure {
    uint8_t status = 0;
    uint8_t host = 0;
    uint8_t driver = 0;
    std::vector<uint8_t> sense;
};

struct Device {
    int version = 30000;
    int host = 0, channel = 0, id = 0, lun = 0;
    std::string host_text;
    bool ready = true;
    bool has_bytes = false;
    uint64_t bytes = 0;
    int sector = 512;
    std::map<std::string, std::vector<uint8_t>> replies;
    std::map<unsigned, Failure> failures;
    std::map<std::string, int> errnos;
    std::map<std::string, size_t> send;
    std::map<std::string, long long> resid;
    std::map<std::string, size_t> admit;
    std::string log;
};

bool read_all(int fd, std::string &out)
{
    out.clear();
    char buf[8192];
    off_t off = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
}


// Hexadecimal bytes, spaces between bytes allowed; false on a stray character.
bool parse_hex(std::string_view s, std::vector<uint8_t> &out)
{
    out.clear();
    int hi = -1;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r')
            continue;
        const int v = hex_digit_value(c);
        if (v < 0)
            return false;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

// Splits off the next space-separated word of s.
std::string_view word(std::string_view &s) noexcept { return next_field(s, " \t"); }

long long number(std::string_view w, int base = 10)
{
    std::string t(w);
    return std::strtoll(t.c_str(), nullptr, base);
}

void parse(const std::string &text, Device &d)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line(text.data() + pos, (nl == std::string::npos ? text.size() : nl) - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        std::string_view rest = line;
        std::string_view key = word(rest);
        if (key == "version") {
            d.version = static_cast<int>(number(word(rest)));
        } else if (key == "address") {
            d.host = static_cast<int>(number(word(rest)));
            d.channel = static_cast<int>(number(word(rest)));
            d.id = static_cast<int>(number(word(rest)));
            d.lun = static_cast<int>(number(word(rest)));
        } else if (key == "host") {
            size_t b = rest.find_first_not_of(" \t");
            d.host_text = b == std::string_view::npos ? std::string() : std::string(rest.substr(b));
        } else if (key == "ready") {
            d.ready = number(word(rest)) != 0;
        } else if (key == "bytes") {
            d.has_bytes = true;
            d.bytes = static_cast<uint64_t>(number(word(rest)));
        } else if (key == "sector") {
            d.sector = static_cast<int>(number(word(rest)));
        } else if (key == "reply") {
            std::string k(word(rest));
            std::vector<uint8_t> data;
            if (parse_hex(rest, data))
                d.replies[k] = std::move(data);
        } else if (key == "sense") {
            Failure f;
            unsigned op = static_cast<unsigned>(number(word(rest), 16));
            f.status = 0x02;
            f.driver = 0x08;
            if (parse_hex(rest, f.sense))
                d.failures[op] = std::move(f);
        } else if (key == "fail") {
            Failure f;
            unsigned op = static_cast<unsigned>(number(word(rest), 16));
            f.status = static_cast<uint8_t>(number(word(rest), 16));
            f.host = static_cast<uint8_t>(number(word(rest), 16));
            f.driver = static_cast<uint8_t>(number(word(rest), 16));
            if (parse_hex(rest, f.sense))
                d.failures[op] = std::move(f);
        } else if (key == "errno") {
            std::string name(word(rest));
            d.errnos[name] = static_cast<int>(number(word(rest)));
        } else if (key == "send") {
            std::string k(word(rest));
            d.send[k] = static_cast<size_t>(number(word(rest)));
        } else if (key == "resid") {
            std::string k(word(rest));
            d.resid[k] = number(word(rest));
        } else if (key == "admit") {
            std::string k(word(rest));
            d.admit[k] = static_cast<size_t>(number(word(rest)));
        } else if (key == "log") {
            size_t b = rest.find_first_not_of(" \t");
            d.log = b == std::string_view::npos ? std::string() : std::string(rest.substr(b));
        }
    }
}

// Descriptions already parsed, by file: a description is parsed again only
// when its text has changed since (a test may rewrite a drive between two
// opens of its node).
class Parsed {
public:
    std::shared_ptr<const Device> find(dev_t dev, ino_t ino, const std::string &text)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = files_.find({dev, ino});
        if (it == files_.end() || it->second.text != text)
            return nullptr;
        return it->second.device;
    }
    void keep(dev_t dev, ino_t ino, std::string text, std::shared_ptr<const Device> device)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (files_.size() >= kMaxFiles)
            files_.clear();
        files_[{dev, ino}] = Entry{std::move(text), std::move(device)};
    }

private:
    static constexpr size_t kMaxFiles = 64;
    struct Entry {
        std::string text;
        std::shared_ptr<const Device> device;
    };
    std::mutex mutex_;
    std::map<std::pair<dev_t, ino_t>, Entry> files_;
};

Parsed gParsed;

// The description when fd is a simulated device, else nullptr.
std::shared_ptr<const Device> load(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    char head[sizeof kMagic] = {};
    if (::pread(fd, head, sizeof kMagic - 1, 0) != static_cast<ssize_t>(sizeof kMagic - 1) ||
        std::memcmp(head, kMagic, sizeof kMagic - 1) != 0)
        return nullptr;
    std::string text;
    if (!read_all(fd, text))
        return nullptr;
    size_t nl = text.find('\n');
    std::string_view first(text.data(), nl == std::string::npos ? text.size() : nl);
    if (!first.empty() && first.back() == '\r')
        first.remove_suffix(1);
    if (first != kMagic)
        return nullptr;
    if (auto known = gParsed.find(st.st_dev, st.st_ino, text))
        return known;
    auto d = std::make_shared<Device>();
    parse(text, *d);
    gParsed.keep(st.st_dev, st.st_ino, std::move(text), d);
    return d;
}

bool fails_with(const Device &d, const char *name, int *result)
{
    auto it = d.errnos.find(name);
    if (it == d.errnos.end())
        return false;
    errno = it->second;
    *result = -1;
    return true;
}

void log_request(const Device &d, const sg_io_hdr &io)
{
    if (d.log.empty())
        return;
    std::string line;
    append_hex(line, io.cmdp, io.cmd_len);
    line += ' ';
    line += std::to_string(io.dxfer_len);
    line += '\n';
    UniqueFd f(::open(d.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (f) {
        ssize_t w = ::write(f.get(), line.data(), line.size());
        (void)w;
    }
}

void check_condition(sg_io_hdr &io, const Failure &f)
{
    io.status = f.status;
    io.masked_status = static_cast<unsigned char>((f.status >> 1) & 0x7F);
    io.host_status = f.host;
    io.driver_status = f.driver;
    size_t n = std::min<size_t>(f.sense.size(), io.mx_sb_len);
    if (io.sbp && n > 0)
        std::memcpy(io.sbp, f.sense.data(), n);
    io.sb_len_wr = static_cast<unsigned char>(n);
    io.resid = static_cast<int>(io.dxfer_len);
    if (f.status != 0 || f.host != 0 || f.driver != 0 || n > 0)
        io.info |= SG_INFO_CHECK;
}

Failure sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    Failure f;
    f.status = 0x02;
    f.driver = 0x08;
    f.sense.assign(18, 0);
    f.sense[0] = 0x70;
    f.sense[2] = key;
    f.sense[7] = 10;
    f.sense[12] = asc;
    f.sense[13] = ascq;
    return f;
}

// The reply key and allocation length of a command block; false for an
// operation code the simulation does not know.
bool command_key(const uint8_t *cdb, unsigned len, std::string &key, unsigned &alloc)
{
    auto be16 = [&](unsigned at) -> unsigned { return at + 1 < len ? get_be16(cdb + at) : 0; };
    switch (cdb[0]) {
    case 0x00:
        key.clear();
        alloc = 0;
        return true;
    case 0x12:
        key = (cdb[1] & 1) ? "inquiry_vpd." + std::to_string(cdb[2]) : "inquiry";
        alloc = be16(3);
        return true;
    case 0x5C:
        key = "buffer_capacity";
        alloc = be16(7);
        return true;
    case 0x25:
        key = "capacity";
        alloc = 8;
        return true;
    case 0x23:
        key = "format_capacities";
        alloc = be16(7);
        return true;
    case 0x46:
        key = "configuration";
        alloc = be16(7);
        return true;
    case 0x51:
        key = "disc_info";
        alloc = be16(7);
        return true;
    case 0x43: {
        unsigned format = cdb[2] & 0x0F;
        if (format == 0)
            key = (cdb[1] & 0x02) ? "toc_msf" : "toc_lba";
        else if (format == 4)
            key = "atip";
        else
            key = "toc_format" + std::to_string(format);
        alloc = be16(7);
        return true;
    }
    case 0x52: {
        unsigned type = cdb[1] & 3;
        std::string n = std::to_string(len >= 6 ? get_be32(cdb + 2) : 0);
        key = type == 1 ? "track." + n : "track_type" + std::to_string(type) + "." + n;
        alloc = be16(7);
        return true;
    }
    case 0xAD: {
        key = "dvd_structure.";
        append_hex(key, cdb + 7, 1);
        alloc = be16(8);
        return true;
    }
    default:
        return false;
    }
}

int sg_io(const Device &d, sg_io_hdr *io)
{
    if (!io || io->interface_id != 'S' || !io->cmdp || io->cmd_len < 6) {
        errno = EINVAL;
        return -1;
    }
    log_request(d, *io);
    int result;
    if (fails_with(d, "sg_io", &result))
        return result;
    io->status = io->masked_status = io->msg_status = 0;
    io->host_status = io->driver_status = 0;
    io->sb_len_wr = 0;
    io->resid = 0;
    io->duration = 0;
    io->info = 0;

    const uint8_t op = io->cmdp[0];
    if (auto f = d.failures.find(op); f != d.failures.end()) {
        check_condition(*io, f->second);
        return 0;
    }
    std::string key;
    unsigned alloc = 0;
    if (!command_key(io->cmdp, io->cmd_len, key, alloc)) {
        check_condition(*io, sense(0x05, 0x20, 0x00));
        return 0;
    }
    if (!d.ready && op != 0x12 && op != 0x46) {
        check_condition(*io, sense(0x02, 0x3A, 0x00));
        return 0;
    }
    if (op == 0x00)
        return 0;
    auto r = d.replies.find(key);
    if (r == d.replies.end()) {
        check_condition(*io, sense(0x05, 0x24, 0x00));
        return 0;
    }
    size_t n = std::min<size_t>({r->second.size(), alloc, io->dxfer_len});
    if (auto s = d.send.find(key); s != d.send.end())
        n = std::min(n, s->second);
    if (io->dxfer_direction != SG_DXFER_FROM_DEV || !io->dxferp)
        n = 0;
    if (n > 0)
        std::memcpy(io->dxferp, r->second.data(), n);
    io->resid = static_cast<int>(io->dxfer_len - n);
    if (auto a = d.admit.find(key); a != d.admit.end())
        io->resid = static_cast<int>(io->dxfer_len - std::min<size_t>(a->second, io->dxfer_len));
    if (auto s = d.resid.find(key); s != d.resid.end())
        io->resid = static_cast<int>(s->second);
    return 0;
}

int answer(const Device &d, unsigned long request, void *arg)
{
    int result = 0;
    switch (request) {
    case SG_GET_VERSION_NUM:
        if (fails_with(d, "version", &result))
            return result;
        *static_cast<int *>(arg) = d.version;
        return 0;
    case SG_IO:
        return sg_io(d, static_cast<sg_io_hdr *>(arg));
    case SCSI_IOCTL_GET_BUS_NUMBER:
        if (fails_with(d, "bus", &result))
            return result;
        *static_cast<int *>(arg) = d.host;
        return 0;
    case SCSI_IOCTL_GET_IDLUN: {
        if (fails_with(d, "idlun", &result))
            return result;
        int *w = static_cast<int *>(arg);
        w[0] = static_cast<int>((d.id & 0xFF) | (d.lun & 0xFF) << 8 | (d.channel & 0xFF) << 16 |
                                static_cast<unsigned>(d.host & 0xFF) << 24);
        w[1] = d.host + 1;
        return 0;
    }
    case SCSI_IOCTL_PROBE_HOST: {
        if (fails_with(d, "probe_host", &result))
            return result;
        int len = 0;
        std::memcpy(&len, arg, sizeof len);
        if (len <= 0)
            return 0;
        copy_cut(static_cast<char *>(arg), static_cast<size_t>(len), d.host_text);
        return 1;
    }
    case BLKGETSIZE:
        if (fails_with(d, "blkgetsize", &result))
            return result;
        if (!d.has_bytes)
            break;
        *static_cast<unsigned long *>(arg) = static_cast<unsigned long>(d.bytes / 512);
        return 0;
    case BLKGETSIZE64:
        if (fails_with(d, "blkgetsize64", &result))
            return result;
        if (!d.has_bytes)
            break;
        *static_cast<uint64_t *>(arg) = d.bytes;
        return 0;
    case BLKSSZGET:
        if (fails_with(d, "blksszget", &result))
            return result;
        if (!d.has_bytes)
            break;
        *static_cast<int *>(arg) = d.sector;
        return 0;
    default:
        break;
    }
    errno = ENOTTY;
    return -1;
}

} // namespace

bool handle(int fd, unsigned long request, void *arg, int *result)
{
    try {
        std::shared_ptr<const Device> d = load(fd);
        if (!d)
            return false;
        *result = answer(*d, request, arg);
        return true;
    } catch (const std::exception &) {
        errno = ENOMEM;
        *result = -1;
        return true;
    }
}

} // namespace sim

} // namespace dvr::dev
