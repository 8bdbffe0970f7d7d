// Internal helpers shared by the library's modules. C++ only, never
// installed: the public interface is the four C headers.
#ifndef DVRPLAT_DVR_INTERNAL_H
#define DVRPLAT_DVR_INTERNAL_H

#include <cerrno>
#include <cstdarg>
#include <exception>
#include <new>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "COMMON.h"

// Reports carry the module's source name, the line and the calling function.
// Do not use these inside lambdas: __func__ would name the lambda.
#define DVR_REPORT(src, ...) COM_Message((src), __LINE__, __func__, __VA_ARGS__)
#define FPGA_REPORT(...) DVR_REPORT("fpga", __VA_ARGS__)
#define COM_REPORT(...) DVR_REPORT("MODULES/COMMON", __VA_ARGS__)
#define DEV_REPORT(...) DVR_REPORT("MODULES/DEV", __VA_ARGS__)
#define DNS_REPORT(...) DVR_REPORT("MODULES/DNS", __VA_ARGS__)

namespace dvr {

// COM_Message with its arguments as a va_list.
int vmessage(const char *file, int line, const char *function, const char *format, va_list args);

// Reports in the name of one public function. The entry point makes one
// (DVR_REPORTER, which takes its own name) and hands it to the helpers it
// calls; they report through it with their own line (DVR_REPORT_TO), so
// the report reads as the entry point's.
class Reporter {
public:
    constexpr Reporter(const char *src, const char *fn) noexcept : src_(src), fn_(fn) {}
    __attribute__((format(printf, 3, 4))) int operator()(int line, const char *format, ...) const;
    const char *function() const noexcept { return fn_; }

private:
    const char *src_;
    const char *fn_;
};

} // namespace dvr

#define DVR_REPORTER(src) dvr::Reporter((src), __func__)
#define DVR_REPORT_TO(reporter, ...) (reporter)(__LINE__, __VA_ARGS__)

// Every C entry point is defined as a function-try-block that ends with
// DVR_C_BOUNDARY(source, failure result):
//     extern "C" int COM_Xxx(...) try { ... } DVR_C_BOUNDARY("MODULES/COMMON", -1)
// so that no exception of the C++ library (std::bad_alloc above all)
// reaches a C caller: the entry point reports it and gives its failure
// result. Only std::exception is caught, so a thread's cancellation (which
// unwinds as an exception of another kind) passes through untouched.
#define DVR_C_BOUNDARY(src, ...)                                                          \
    catch (const std::bad_alloc &) {                                                      \
        COM_Message((src), __LINE__, __func__, "out of memory\n");                         \
        return __VA_ARGS__;                                                               \
    }                                                                                     \
    catch (const std::exception &e) {                                                     \
        COM_Message((src), __LINE__, __func__, "internal error : %s\n", e.what());        \
        return __VA_ARGS__;                                                               \
    }

namespace dvr {

// Holds off thread cancellation for its scope (used where releasing a
// handle must not become a cancellation point).
class NoCancel {
public:
    NoCancel() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
    NoCancel(const NoCancel &) = delete;
    NoCancel &operator=(const NoCancel &) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

// Holds a pthread mutex for its scope. The C library unwinds the stack of a
// cancelled thread, running destructors on the way, so a cancellation at
// any cancellation point inside the scope releases the mutex as well.
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t &m) noexcept : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexLock() { pthread_mutex_unlock(&m_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    pthread_mutex_t &m_;
};

// ---------------------------------------------------------------------
// Owners of kernel and C library handles.
// ---------------------------------------------------------------------

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) {
            // close() is a cancellation point; an owner may be released
            // while its thread unwinds, so it must not act on a cancel here.
            NoCancel guard;
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class UniqueFile {
public:
    UniqueFile() noexcept = default;
    explicit UniqueFile(FILE *f) noexcept : f_(f) {}
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    UniqueFile(UniqueFile &&o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    UniqueFile &operator=(UniqueFile &&o) noexcept
    {
        if (this != &o) {
            reset();
            f_ = std::exchange(o.f_, nullptr);
        }
        return *this;
    }
    ~UniqueFile() { reset(); }

    FILE *get() const noexcept { return f_; }
    explicit operator bool() const noexcept { return f_ != nullptr; }
    FILE *release() noexcept { return std::exchange(f_, nullptr); }
    // Returns fclose's result (0 when there was nothing to close).
    int reset(FILE *f = nullptr) noexcept
    {
        int rc = 0;
        if (f_) {
            NoCancel guard; // fclose may write out buffered data
            int saved = errno;
            rc = std::fclose(f_);
            errno = saved;
        }
        f_ = f;
        return rc;
    }

private:
    FILE *f_ = nullptr;
};

class UniqueDir {
public:
    UniqueDir() noexcept = default;
    explicit UniqueDir(DIR *d) noexcept : d_(d) {}
    UniqueDir(const UniqueDir &) = delete;
    UniqueDir &operator=(const UniqueDir &) = delete;
    UniqueDir(UniqueDir &&o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
    ~UniqueDir()
    {
        if (d_) {
            NoCancel guard;
            int saved = errno;
            ::closedir(d_);
            errno = saved;
        }
    }
    DIR *get() const noexcept { return d_; }
    explicit operator bool() const noexcept { return d_ != nullptr; }

private:
    DIR *d_ = nullptr;
};

// A memory mapping that unmaps itself.
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(void *addr, size_t len) noexcept : addr_(addr), len_(len) {}
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    Mapping(Mapping &&o) noexcept
        : addr_(std::exchange(o.addr_, MAP_FAILED)), len_(std::exchange(o.len_, 0)) {}
    ~Mapping()
    {
        if (addr_ != MAP_FAILED)
            ::munmap(addr_, len_);
    }
    void *get() const noexcept { return addr_; }
    size_t size() const noexcept { return len_; }
    bool valid() const noexcept { return addr_ != MAP_FAILED; }
    // Hands the mapping over for the life of the process.
    void *release() noexcept { len_ = 0; return std::exchange(addr_, MAP_FAILED); }

private:
    void *addr_ = MAP_FAILED;
    size_t len_ = 0;
};

// ---------------------------------------------------------------------
// Big-endian (wire order) fields. Network and SCSI bytes are only ever
// read and written through these, whatever the host's byte order.
// ---------------------------------------------------------------------

constexpr void put_be16(uint8_t *p, uint16_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void put_be32(uint8_t *p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
constexpr uint16_t get_be16(const uint8_t *p) noexcept
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
constexpr uint32_t get_be24(const uint8_t *p) noexcept
{
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}
constexpr uint32_t get_be32(const uint8_t *p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// ---------------------------------------------------------------------
// Board root: every fixed absolute path the library names itself goes
// through here. With DVRPLAT_ROOT set (read once, at the first use) the
// path is opened under that directory; messages and records keep the
// plain path.
// ---------------------------------------------------------------------

// The board root: DVRPLAT_ROOT without its trailing slashes; empty when
// the variable is unset, empty or "/". Read at the first call, by
// whichever thread comes first; later calls give that root. Points into
// the environment.
std::string_view board_root() noexcept;

// Makes the next board_root() read DVRPLAT_ROOT again: for a test that
// changes the variable while the process runs.
void reread_board_root() noexcept;

// The path to open for a fixed path of the board.
std::string board_path(std::string_view fixed);

// The same into a caller's buffer; false (buffer holds "") when it does
// not fit. Allocates nothing, so it may be used where allocation is not
// allowed once the buffer is on the stack.
bool board_path(const char *fixed, char *out, size_t outlen) noexcept;

// Copies src into a fixed buffer of n bytes. Returns false, leaving the
// buffer unchanged, when src does not fit with its terminating NUL.
bool copy_bounded(char *dst, size_t n, std::string_view src) noexcept;

// Copies as much of src as fits (cutting), always NUL-terminating.
void copy_cut(char *dst, size_t n, std::string_view src) noexcept;

// ---------------------------------------------------------------------
// Text fields and hexadecimal text.
// ---------------------------------------------------------------------

// Splits off the next field of s, fields separated by runs of any of seps
// (leading separators skipped). s keeps what follows the field, from the
// separator on; both are empty when no field is left.
std::string_view next_field(std::string_view &s, std::string_view seps) noexcept;

// The value of a hexadecimal digit (either case), or -1.
constexpr int hex_digit_value(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends each byte as two lower-case hexadecimal digits.
void append_hex(std::string &out, const uint8_t *bytes, size_t n);

// Fills buf with n bytes from the system's random source. False (errno
// set) when it cannot. Not noexcept: getrandom is a cancellation point.
inline bool random_fill(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = ::getrandom(p, n, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads a whole line of f into buf. The rest of a line longer than the
// buffer is read up to its end and dropped (skipped set); the start stays
// in buf. False at the end of the file.
bool read_line(FILE *f, char *buf, size_t size, bool &skipped);

// ---------------------------------------------------------------------
// Name servers of the board's "/etc/resolv.conf", the one reader for the
// resolver and the network information.
// ---------------------------------------------------------------------

// Room for one name server's text as written (longer text is cut).
inline constexpr size_t kNameServerTextSize = 64;

// Reads the addresses of the "nameserver" lines, in file order, into out
// (at most max entries). The rule is the C library's: the keyword starts
// the line and is followed by a space or tab, the address is the next
// word; lines starting with "#" or ";" are comments; a line without an
// address is skipped. Lines are read through a fixed buffer; the rest of an
// overlong line is skipped, never read as a line of its own. Returns the
// number of addresses, or -1 (errno set, nothing reported) when the file
// cannot be opened. Not noexcept: opening and reading the file are
// cancellation points.
int read_name_servers(char (*out)[kNameServerTextSize], int max);

// ---------------------------------------------------------------------
// Crash-safe replacement of a file's contents.
//
// open() takes the writers' lock of the target (an exclusive flock on the
// target itself, or on its directory while the target does not exist yet)
// and prepares a new file beside the target (".<name>.dvrnew~" in the
// target's own directory); write() gathers the new contents; commit()
// writes and syncs them, gives the new file the target's owner, group and
// mode, renames it over the target, syncs the directory and lets the lock
// go. Until the rename the target is untouched; a failure at any step, or
// destroying the object before commit(), removes the new file. Concurrent
// writers of one target take turns from open() to the end of commit(), so
// a caller that reads the target after open() edits its current contents.
// The new file's name belongs to the lock holder: whatever a killed writer
// left under it is removed, whatever its mode. The new file stays 0600
// until it is complete and takes its final mode just before the rename.
//
// Where no new file can be made beside an existing target (its name too
// long for the new file's name, a directory the caller may not write) or
// the new file cannot be renamed over it (a mount point, another file
// system, a sticky directory), the target is written in place at commit():
// the contents from its start, then truncated to their length, then
// synced. The reporter says why it could not be replaced.
//
// Owner and group: when the full change is refused (a caller that is not
// root), the group alone is kept where the caller may; when neither can be
// kept the reporter says so.
//
// Links: ReplaceLinks::Follow replaces the file a symbolic link points to
// (a relative target taken from the link's own directory; the link stays),
// and writes device nodes, FIFOs and the files of kernel pseudo file
// systems (/proc, /sys, ...) in place at commit(), with one truncating
// open, since those drive the kernel rather than store data.
// ReplaceLinks::Refuse accepts only a regular file on a real file system
// at the path itself (a link, a device node or a kernel file fails with
// ELOOP or EINVAL); nothing is opened in a way that could block.
//
// create_mode: permission bits for a target that does not exist yet (the
// umask applies), or -1 when the target must exist (ENOENT otherwise).
//
// Every call gives false on failure with errno set; failed_call() names
// the system call ("open", "write", "fsync", "rename", ...) and
// failed_path() the path it was made on, for the caller's report. A false
// from commit() after the rename (the directory sync failed) leaves the
// target with its new contents. Never throws.
// ---------------------------------------------------------------------

enum class ReplaceLinks { Follow, Refuse };

class FileReplacer {
public:
    explicit FileReplacer(const Reporter &report) noexcept : report_(report) {}
    FileReplacer(const FileReplacer &) = delete;
    FileReplacer &operator=(const FileReplacer &) = delete;
    ~FileReplacer();

    bool open(const char *path, ReplaceLinks links, int create_mode);
    bool write(const void *data, size_t len);
    bool write(std::string_view text) { return write(text.data(), text.size()); }
    bool commit();
    // Gives the new file this mode, owner and group (as far as permitted)
    // instead of the target's; nothing for a target written in place.
    bool set_owner_mode(const struct stat &st);
    // Drops the new contents; the target stays as it was.
    void abandon() noexcept;

    // True when the target is written in place (see above).
    bool in_place() const noexcept { return state_ == State::InPlace || state_ == State::Fallback; }
    // Bytes that reached the new file (or the target written in place).
    size_t written() const noexcept { return written_; }
    // The file that is replaced (the end of the link chain).
    const std::string &target() const noexcept { return target_; }
    const char *failed_call() const noexcept { return call_; }
    const char *failed_path() const noexcept { return failed_path_.c_str(); }

private:
    // InPlace: a device node or kernel file. Fallback: a stored file that
    // cannot be replaced, written in place.
    enum class State { Idle, NewFile, InPlace, Fallback };
    bool resolve(const char *path, ReplaceLinks links);
    bool lock_target(struct stat &st, bool &exists);
    bool make_new_file(bool exists, int create_mode);
    void fall_back(const char *call, int err) noexcept;
    void report_fallback() const;
    bool write_in_place(int from);
    bool apply_owner_mode();
    bool flush();
    bool fail(const char *call, const std::string &path) noexcept;

    Reporter report_;
    State state_ = State::Idle;
    UniqueFd lock_;
    UniqueFd fd_;
    std::string target_;
    std::string dir_;
    std::string new_path_;
    std::string buf_;
    size_t written_ = 0;
    bool committed_ = false;
    // The owner, group and mode the new file takes before the rename.
    uid_t want_uid_ = 0;
    gid_t want_gid_ = 0;
    mode_t want_mode_ = 0600;
    bool want_owner_ = false;
    // Why the target is written in place.
    const char *fallback_call_ = "";
    int fallback_err_ = 0;
    const char *call_ = "";
    std::string failed_path_;
};

} // namespace dvr

#endif
