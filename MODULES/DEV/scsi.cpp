// SCSI command transport: one request through a SCSI generic node with
// SG_IO, the command functions built on it, and the two-pass length probe.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "dev_internal.h"
#include "boundary.h"
#include "hex.h"
#include "report.h"
#include "text.h"
#include "wire.h"

namespace {

// TEST UNIT READY: six zero bytes; copied into each request, never written.
const uint8_t TurCmdBlk[6] = {0, 0, 0, 0, 0, 0};

const uint8_t kInquiryBlk[6] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
const uint8_t kBufferCapacityBlk[10] = {0x5C, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0};
const uint8_t kCapacityBlk[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kFormatCapacityBlk[10] = {0x23, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0};
const uint8_t kPreInfoBlk[12] = {0xAD, 0, 0, 0, 0, 0, 0, 0x0E, 0, 0x04, 0, 0};

using dvr::dev::safe;

// Drive bytes in a character column: printable ASCII as it is, anything
// else (control characters, DEL, bytes above 7Fh) as '.'.
char printable(uint8_t c) { return c < 0x20 || c > 0x7E ? '.' : static_cast<char>(c); }

// At most this many reply bytes are dumped; a line tells how many more
// arrived.
constexpr unsigned kDumpLimit = 256;

// Reply dump of a verbose success: offset, sixteen bytes in hexadecimal,
// the same bytes as characters; `len` bytes arrived.
void dump_reply(const uint8_t *data, unsigned len)
{
    const unsigned shown = len < kDumpLimit ? len : kDumpLimit;
    for (unsigned off = 0; off < shown; off += 16) {
        unsigned n = shown - off < 16 ? shown - off : 16;
        std::printf("%04xh  ", off);
        for (unsigned i = 0; i < n; ++i)
            std::printf("%02X ", data[off + i]);
        for (unsigned i = n; i < 16; ++i)
            std::printf("   ");
        std::printf("|");
        for (unsigned i = 0; i < n; ++i)
            std::putchar(printable(data[off + i]));
        std::printf("|\n");
    }
    if (len > shown)
        std::printf("(%u more bytes not shown)\n", len - shown);
    std::printf("\n");
}

// Drive text for the terminal: the field up to its first NUL, printable
// ASCII as it is, every other byte and the backslash itself as \xHH.
std::string shown_text(const uint8_t *p, size_t width)
{
    std::string out;
    for (size_t i = 0; i < width && p[i] != 0; ++i) {
        const uint8_t c = p[i];
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            dvr::append_hex(out, &c, 1, dvr::HexCase::Upper);
        }
    }
    return out;
}

void sleep_seconds(unsigned s)
{
    struct timespec ts = {static_cast<time_t>(s), 0};
    nanosleep(&ts, nullptr);
}

std::atomic<dvr::dev::UnitReadyPause> gUnitReadyPause{nullptr};

// The pause after a TEST UNIT READY attempt that failed.
void unit_ready_pause(unsigned s)
{
    dvr::dev::UnitReadyPause p = gUnitReadyPause.load(std::memory_order_acquire);
    (p ? p : sleep_seconds)(s);
}

bool is_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

namespace dvr::dev {

void set_unit_ready_pause(UnitReadyPause pause) noexcept
{
    gUnitReadyPause.store(pause, std::memory_order_release);
}

void compact_model(char *text, size_t scan) noexcept
{
    size_t out = 0;
    bool space_may_stay = true;
    for (size_t i = 0; i < scan && text[i] != '\0'; ++i) {
        char c = text[i];
        if (is_alnum(c)) {
            text[out++] = c;
            space_may_stay = true;
        } else if (c == ' ' && space_may_stay) {
            text[out++] = ' ';
            space_may_stay = false;
        }
    }
    std::memset(text + out, 0, scan + 1 - out);
    if (out > 0 && text[out - 1] == ' ')
        text[out - 1] = '\0';
}

size_t arrived(const sg_io_hdr &io) noexcept
{
    if (io.resid < 0 || static_cast<unsigned>(io.resid) > io.dxfer_len)
        return 0;
    return io.dxfer_len - static_cast<unsigned>(io.resid);
}

MmcCommand::MmcCommand(const char *title, const char *name, const uint8_t *cdb, size_t cdb_len,
                       unsigned alloc, const Reporter &report)
    : reply_(new (std::nothrow) uint8_t[kReplySize]()), report_(report)
{
    if (!reply_)
        DEV_REPORT("no memory for the reply of (%s) %s\n", safe(name), title);
    std::snprintf(cmd_.name, sizeof cmd_.name, "(%s) %s", safe(name), title);
    dvr::copy_cut(caller_, sizeof caller_, safe(name));
    if (cdb_len > sizeof cdb_)
        cdb_len = sizeof cdb_;
    std::memcpy(cdb_, cdb, cdb_len);
    sg_io_hdr &io = cmd_.io;
    io.interface_id = 'S';
    io.dxfer_direction = alloc ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    io.cmd_len = static_cast<unsigned char>(cdb_len);
    io.mx_sb_len = kSenseSize;
    io.dxfer_len = alloc;
    io.dxferp = reply_.get();
    io.cmdp = cdb_;
    io.sbp = sense_;
    io.timeout = kTimeoutMs;
}

int MmcCommand::issue(int fd, int verbose)
{
    received_ = valid_ = 0;
    if (!ok())
        return -3;
    const int r = Dev_ExecMMC(&cmd_, fd, verbose);
    if (r != 0)
        return r;
    const sg_io_hdr &io = cmd_.io;
    if (io.resid < 0 || static_cast<unsigned>(io.resid) > io.dxfer_len) {
        refuse("residual %d outside the transfer of %u bytes\n", io.resid, io.dxfer_len);
        return kBadReply;
    }
    received_ = valid_ = arrived(io);
    return 0;
}

bool MmcCommand::bound(unsigned offset, unsigned len_bytes, unsigned added)
{
    if (!need(offset + len_bytes, "its length field"))
        return false;
    const uint8_t *rp = reply_.get();
    const size_t field = len_bytes == 1 ? rp[offset] : get_be16(rp + offset);
    if (field + added < valid_)
        valid_ = field + added;
    return true;
}

bool MmcCommand::need(size_t n, const char *what) const
{
    if (n <= valid_)
        return true;
    return refuse("reply of %zu bytes (%zu arrived) too short for %s (%zu bytes)\n", valid_, received_, what, n);
}

bool MmcCommand::refuse(const char *fmt, ...) const
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    DVR_REPORT_TO(report_, "(%s) : %s", caller_, text);
    return false;
}

int MmcCommand::issue_probed(int fd, int verbose, const Probe &p)
{
    int r = issue(fd, verbose);
    if (r != 0)
        return r;
    if (!need(p.len_offset + p.len_bytes, "its length field"))
        return kBadReply;
    const uint8_t *rp = reply_.get();
    uint32_t field = p.len_bytes == 1 ? rp[p.len_offset] : get_be16(rp + p.len_offset);
    uint32_t len = field + p.added;
    if (len > p.limit)
        len = p.limit;
    put_be16(cdb_ + p.alloc_offset, static_cast<uint16_t>(len));
    cmd_.io.dxfer_len = len;
    std::memset(reply_.get(), 0, kReplySize);
    std::memset(sense_, 0, sizeof sense_);
    r = issue(fd, verbose);
    if (r != 0)
        return r;
    return bound(p.len_offset, p.len_bytes, p.added) ? 0 : kBadReply;
}

} // namespace dvr::dev

using dvr::dev::MmcCommand;

extern "C" {

int Dev_ExecMMC(DEV_MMC_CMD *pCmd, int fd, int verbose)
try {
    if (!pCmd) {
        DEV_REPORT("(%p) : Null ptr\n", static_cast<void *>(pCmd));
        return -3;
    }
    sg_io_hdr &io = pCmd->io;
    const unsigned opcode = (io.cmdp && io.cmd_len > 0) ? io.cmdp[0] : 0;
    // The name is a fixed field: never read past it.
    char name[DEV_MMC_NAME_SIZE];
    dvr::copy_cut(name, sizeof name, std::string_view(pCmd->name, strnlen(pCmd->name, sizeof pCmd->name)));

    int version = 0;
    if (dvr::dev::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
        DEV_REPORT("ioctl() error : %s\n", std::strerror(errno));
        return -1;
    }
    if (version <= 29999) {
        DEV_REPORT("\"%s\"(%02Xh) ver. too old(%d)\n", name, opcode, version);
        return -2;
    }
    if (dvr::dev::ioctl(fd, SG_IO, &io) < 0) {
        DEV_REPORT("%s (%02Xh) SG_IO ioctl error : %s\n", name, opcode, std::strerror(errno));
        return -3;
    }

    if (io.info & SG_INFO_CHECK) {
        if (verbose == 1) {
            unsigned written = io.sb_len_wr;
            if (written > io.mx_sb_len)
                written = io.mx_sb_len;
            if (written > 0 && io.sbp) {
                DEV_REPORT("%s (%02Xh) sense data :\n", name, opcode);
                for (unsigned i = 0; i < written; ++i) {
                    std::printf(" 0x%02X", io.sbp[i]);
                    if ((i + 1) % 10 == 0)
                        std::printf("\n");
                }
                std::printf("\n");
                // Key and codes of fixed-format sense; bytes past what the
                // device wrote are the zeroed rest of the buffer.
                auto at = [&](unsigned k) -> unsigned { return k < io.mx_sb_len ? io.sbp[k] : 0; };
                std::printf("Sense Key = 0x%02X \n", at(2) & 0x0F);
                std::printf("Additional Sense Code = 0x%02X \n", at(12));
                std::printf("Additional Sense Code Qualifier= 0x%02X\n", at(13));
            }
            if (io.masked_status != 0)
                DEV_REPORT("%s scsi status = 0x%02X\n", name, io.status);
            if (io.host_status != 0)
                DEV_REPORT("%s host status = 0x%02X\n", name, io.host_status);
            if (io.driver_status != 0)
                DEV_REPORT("%s driver status = 0x%02x\n", name, io.driver_status);
        }
        DEV_REPORT("(%s) Fail\n", name);
        return -4;
    }

    if (verbose == 1) {
        DEV_REPORT("(%s) Success\n\n", name);
        // Only what the device sent: the data length less the residual.
        const size_t got = dvr::dev::arrived(io);
        if (io.dxferp && got > 0)
            dump_reply(static_cast<const uint8_t *>(io.dxferp), static_cast<unsigned>(got));
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_TestUnitReady(const char *name, int fd)
try {
    MmcCommand cmd("TEST UNIT READY", name, TurCmdBlk, sizeof TurCmdBlk, 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (cmd.issue(fd, 0) == 0)
            return 1;
        unit_ready_pause(1);
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_Inquiry(const char *name, int fd, char *pModel)
try {
    MmcCommand cmd("INQUIRY", name, kInquiryBlk, sizeof kInquiryBlk, 96, DEV_REPORTER());
    if (cmd.issue(fd, 0) != 0)
        return 0;
    // Byte 4 counts the bytes after the first five; a reply without the
    // vendor field names nothing.
    if (!cmd.bound(4, 1, 5) || !cmd.need(16, "the vendor field"))
        return 0;
    // The text fields, as far as they arrived; the rest reads as NUL.
    uint8_t r[56] = {};
    std::memcpy(r, cmd.reply(), cmd.valid() < sizeof r ? cmd.valid() : sizeof r);
    DEV_REPORT("(%s) :\n", safe(name));
    std::printf("Vendor          = %s\n", shown_text(r + 8, 8).c_str());
    std::printf("Product ID      = %s\n", shown_text(r + 16, 16).c_str());
    std::printf("Revision        = %s\n", shown_text(r + 32, 4).c_str());
    std::printf("Vendor Specific = %s\n", shown_text(r + 36, 20).c_str());
    if (pModel) {
        constexpr size_t kScan = 24;
        const char *text = reinterpret_cast<const char *>(r + 8);
        size_t n = strnlen(text, kScan);
        std::memcpy(pModel, text, n);
        std::memset(pModel + n, 0, kScan + 1 - n);
        dvr::dev::compact_model(pModel, kScan);
    }
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadBufferCapacity(const char *name, int fd)
try {
    MmcCommand cmd("READ BUFFER CAPACITY", name, kBufferCapacityBlk, sizeof kBufferCapacityBlk, 12, DEV_REPORTER());
    if (cmd.issue(fd, 0) != 0)
        return 0;
    if (!cmd.bound(0, 2, 2) || !cmd.need(8, "the buffer length"))
        return 0;
    uint32_t len = dvr::get_be32(cmd.reply() + 4);
    // Rounded up without adding to the 32-bit length (no wrap near 4 GiB).
    if (len > 1048576u)
        DEV_REPORT("buffer_size = %d MB\n", static_cast<int>(len / 1048576u + (len % 1048576u != 0)));
    else
        DEV_REPORT("buffer_size = ???\n");
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadCapacity(const char *name, int fd, DEV_DISC_INFO *)
try {
    MmcCommand cmd("READ CAPACITY", name, kCapacityBlk, sizeof kCapacityBlk, 8);
    return cmd.issue(fd, 0) == 0 ? 1 : 0;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadFormatCapacity(const char *name, int fd, DEV_DISC_INFO *)
try {
    MmcCommand cmd("READ FORMAT CAPACITY", name, kFormatCapacityBlk, sizeof kFormatCapacityBlk, 252, DEV_REPORTER());
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeFormatCapacities) != 0)
        return 0;
    const uint8_t *r = cmd.reply();
    const unsigned n = r[3];
    if (!cmd.need(4 + n, "its capacity list"))
        return 0;
    DEV_REPORT("(%s) : reply_buf_len = %d\n", safe(name), static_cast<int>(n));
    const uint8_t *list = r + 4;
    for (unsigned i = 0; i < n; ++i) {
        std::printf("%02x ", list[i]);
        if ((i + 1) % 8 == 0)
            std::printf(" ");
        if ((i + 1) % 16 == 0) {
            std::printf("|");
            for (unsigned k = i - 15; k <= i; ++k)
                std::putchar(printable(list[k]));
            std::printf("|\n");
        }
    }
    std::printf("\n");
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadPreInfo(const char *name, int fd, DEV_DISC_INFO *)
try {
    MmcCommand cmd("READ PRE-RECORDED INFO IN LEAD-IN", name, kPreInfoBlk, sizeof kPreInfoBlk, 4);
    return cmd.issue(fd, 0) == 0 ? 1 : 0;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

} // extern "C"
