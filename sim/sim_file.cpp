#include "sim_file.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "owners.h"

namespace dvr::sim {

namespace reg = fpga::reg;

namespace {

void add_pair(std::vector<Write> &w, size_t at, uint16_t mask)
{
    w.push_back({at, static_cast<uint8_t>(mask)});
    w.push_back({at + 1, static_cast<uint8_t>(mask >> 8)});
}

uint16_t pair(const uint8_t *file, size_t at) { return static_cast<uint16_t>(file[at + 1] << 8 | file[at]); }

// Holds an exclusive lock on the file while it is sized and given its
// first state, so that two openers of one new file do not both set it up
// (the second one's state would undo what the first one's program wrote).
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd)
    {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock()
    {
        const int saved = errno;
        ::flock(fd_, LOCK_UN);
        errno = saved;
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_;
};

} // namespace

std::vector<Write> power_on()
{
    std::vector<Write> w = set_keys(~uint64_t{0});
    for (unsigned mon = 0; mon < kFontOutputs; ++mon) {
        // Screen background: Y, C1, C2.
        const unsigned bg = reg::background(mon);
        w.push_back({register_at(reg::kDisplay, bg), 0});
        w.push_back({register_at(reg::kDisplay, bg + 1), 128});
        w.push_back({register_at(reg::kDisplay, bg + 2), 128});
        // Text background: C1, C2, Y.
        const unsigned pal = reg::text_palette(mon);
        w.push_back({register_at(pal, reg::kTextBackground), 128});
        w.push_back({register_at(pal, reg::kTextBackground + 1), 128});
        w.push_back({register_at(pal, reg::kTextBackground + 2), 0});
        // Blank text cells: glyph 0x0020.
        for (unsigned p = 0; p < reg::kTextPageCount; ++p)
            for (unsigned o = 1; o < 256; o += 2)
                w.push_back({register_at(reg::text_base(mon) + reg::kTextPages + p, o), 0x20});
    }
    return w;
}

std::vector<Write> set_alarm(uint16_t mask)
{
    std::vector<Write> w;
    add_pair(w, status_at(reg::kBoard, reg::kAlarmLow), mask);
    return w;
}

std::vector<Write> set_video_loss(uint16_t mask)
{
    std::vector<Write> w;
    add_pair(w, status_at(reg::kBoard, reg::kVideoLossLow), mask);
    return w;
}

std::vector<Write> set_termination(uint16_t mask)
{
    std::vector<Write> w;
    add_pair(w, register_at(reg::kBoard, reg::kTerminationLow), mask);
    return w;
}

std::vector<Write> set_motion(uint16_t mask)
{
    std::vector<Write> w;
    for (unsigned cam = 0; cam < 16; ++cam)
        for (unsigned k = 0; k < reg::kMotionCells; ++k)
            w.push_back({status_at(reg::motion_address(cam), reg::motion_offset(cam, k)),
                         static_cast<uint8_t>(k == 0 && ((mask >> cam) & 1) ? 1 : 0)});
    return w;
}

std::vector<Write> set_motion_cell(unsigned cam, unsigned cell, uint8_t value)
{
    return {{status_at(reg::motion_address(cam), reg::motion_offset(cam, cell)), value}};
}

std::vector<Write> set_keys(uint64_t map)
{
    std::vector<Write> w;
    for (unsigned k = 0; k < reg::kKeyRegisters; ++k)
        w.push_back({register_at(reg::kBoard, reg::kKeys + k), static_cast<uint8_t>(map >> (reg::kKeyMapShift + 8 * k))});
    return w;
}

std::vector<Write> set_key(unsigned offset, unsigned bit)
{
    std::vector<Write> w;
    for (unsigned k = 0; k < reg::kKeyRegisters; ++k)
        w.push_back({register_at(reg::kBoard, reg::kKeys + k),
                     static_cast<uint8_t>(reg::kKeys + k == offset ? ~(1u << bit) & 0xFF : 0xFF)});
    return w;
}

std::vector<Write> clear_coax()
{
    std::vector<Write> w;
    for (unsigned k = 0; k < 4; ++k)
        w.push_back({kCoaxCount + k, 0});
    return w;
}

uint16_t alarm(const uint8_t *file) { return pair(file, status_at(reg::kBoard, reg::kAlarmLow)); }
uint16_t video_loss(const uint8_t *file) { return pair(file, status_at(reg::kBoard, reg::kVideoLossLow)); }
uint16_t termination(const uint8_t *file) { return pair(file, register_at(reg::kBoard, reg::kTerminationLow)); }

uint16_t motion(const uint8_t *file)
{
    uint16_t m = 0;
    for (unsigned cam = 0; cam < 16; ++cam)
        for (unsigned k = 0; k < reg::kMotionCells; ++k)
            if (file[status_at(reg::motion_address(cam), reg::motion_offset(cam, k))]) {
                m = static_cast<uint16_t>(m | 1u << cam);
                break;
            }
    return m;
}

uint64_t keys(const uint8_t *file)
{
    uint64_t map = (uint64_t{1} << reg::kKeyMapShift) - 1;
    for (unsigned k = 0; k < reg::kKeyRegisters; ++k)
        map |= static_cast<uint64_t>(file[register_at(reg::kBoard, reg::kKeys + k)]) << (reg::kKeyMapShift + 8 * k);
    return map;
}

File::~File() { close_fd(); }

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close_fd();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void File::close_fd() noexcept
{
    if (fd_ < 0)
        return;
    // close() is a cancellation point; a file may be closed while its
    // thread unwinds, so it must not act on a cancel here.
    NoCancel guard;
    const int saved = errno;
    ::close(fd_);
    errno = saved;
    fd_ = -1;
}

File::Failure File::open(const char *path, Mode mode, bool regular_only)
{
    close_fd();
    int flags = O_CLOEXEC | (mode == Mode::Read ? O_RDONLY : O_RDWR);
    if (mode == Mode::Create)
        flags |= O_CREAT;
    fd_ = ::open(path, flags, 0644);
    if (fd_ < 0)
        return Failure::Open;
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        return Failure::Stat;
    if (regular_only && !S_ISREG(st.st_mode))
        return Failure::NotRegular;
    if (mode == Mode::Read || mode == Mode::Patch || st.st_size >= static_cast<off_t>(kFileSize))
        return Failure::None;
    FileLock lock(fd_);
    if (::fstat(fd_, &st) != 0)
        return Failure::Stat;
    if (st.st_size == 0) {
        std::vector<uint8_t> image(kFileSize, 0);
        for (const Write &w : power_on())
            image[w.at] = w.value;
        if (!put(0, image.data(), image.size()))
            return Failure::Extend;
        return Failure::None;
    }
    if (st.st_size < static_cast<off_t>(kFileSize) && ::ftruncate(fd_, static_cast<off_t>(kFileSize)) != 0)
        return Failure::Extend;
    return Failure::None;
}

off_t File::size() const
{
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
}

bool File::read_all(std::vector<uint8_t> &out, bool allow_short) const
{
    out.assign(kFileSize, 0);
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == out.size())
        return true;
    if (!allow_short)
        return false;
    std::fill(out.begin() + static_cast<long>(got), out.end(), 0);
    if (got == 0)
        for (const Write &w : power_on())
            out[w.at] = w.value;
    return true;
}

bool File::get(size_t at, uint8_t &v) const { return get(at, &v, 1); }

bool File::get(size_t at, uint8_t *bytes, size_t n) const
{
    return ::pread(fd_, bytes, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
}

bool File::put(size_t at, uint8_t v) { return put(at, &v, 1); }

bool File::put(size_t at, const uint8_t *bytes, size_t n)
{
    return ::pwrite(fd_, bytes, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
}

bool File::write(const std::vector<Write> &writes)
{
    for (const Write &w : writes)
        if (!put(w.at, w.value))
            return false;
    return true;
}

} // namespace dvr::sim
