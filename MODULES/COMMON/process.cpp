// Running a command line without a shell and waiting for it.
//
// The child between fork and exec may share its address space image with
// other threads of the parent that held locks at the moment of fork: it
// therefore neither allocates nor takes a lock. The command line is split
// into a token table on the stack, descriptors are closed with close_range
// (or by listing /proc/<pid>/fd with the raw getdents64 system call into a
// stack buffer), and reports are formatted on the stack and written to
// standard output with write(2).
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "boundary.h"
#include "owners.h"
#include "report.h"

namespace {

constexpr int kMaxTokens = 127;   // command-line tokens
constexpr size_t kTokenSize = 128; // bytes per token slot (127 characters)

// Result of splitting a command line.
enum class Split { ok, too_many, too_long };

// Splits cmd at spaces (0x20 only). With a table, each token is copied
// into its slot and argv points at the slots, ending with a null pointer.
// Allocates nothing.
Split split_command(const char *cmd, char (*table)[kTokenSize], char **argv, int *count) noexcept
{
    int n = 0;
    const char *p = cmd;
    for (;;) {
        while (*p == ' ')
            ++p;
        if (!*p)
            break;
        const char *start = p;
        while (*p && *p != ' ')
            ++p;
        size_t len = static_cast<size_t>(p - start);
        if (n >= kMaxTokens)
            return Split::too_many;
        if (len >= kTokenSize)
            return Split::too_long;
        if (table) {
            std::memcpy(table[n], start, len);
            table[n][len] = '\0';
            argv[n] = table[n];
        }
        ++n;
    }
    if (argv)
        argv[n] = nullptr;
    *count = n;
    return Split::ok;
}

// A report line built on the stack and written straight to descriptor 1:
// "MODULES/COMMON,<line>:<function>(): <text>". Safe between fork and exec.
class RawReport {
public:
    RawReport(int line, const char *function) noexcept
    {
        add("MODULES/COMMON,");
        add_int(line);
        add(":");
        add(function);
        add("(): ");
    }
    RawReport &add(const char *s) noexcept
    {
        if (!s)
            s = "(null)";
        while (*s && len_ < sizeof buf_ - 1)
            buf_[len_++] = *s++;
        return *this;
    }
    RawReport &add_int(long v) noexcept
    {
        auto r = std::to_chars(buf_ + len_, buf_ + sizeof buf_ - 1, v);
        if (r.ec == std::errc())
            len_ = static_cast<size_t>(r.ptr - buf_);
        return *this;
    }
    RawReport &add_error(int err) noexcept
    {
        const char *text = ::strerrordesc_np(err);
        if (text)
            return add(text);
        add("Unknown error ");
        return add_int(err);
    }
    // Returns the count of characters written, or -1. Not noexcept: write
    // is a cancellation point.
    int send()
    {
        size_t done = 0;
        while (done < len_) {
            ssize_t n = ::write(1, buf_ + done, len_ - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return done ? static_cast<int>(done) : -1;
            done += static_cast<size_t>(n);
        }
        return static_cast<int>(done);
    }

private:
    char buf_[512];
    size_t len_ = 0;
};

#ifndef SYS_close_range
#define SYS_close_range 436
#endif

// Lists /proc/<pid>/fd with getdents64 and closes every descriptor above 2
// except the listing's own, which is closed last. Not noexcept: close is a
// cancellation point.
int close_by_listing(int pid)
{
    char dir[64];
    char *end = dir;
    auto put = [&](const char *s) {
        while (*s && end < dir + sizeof dir - 1)
            *end++ = *s++;
    };
    put("/proc/");
    auto r = std::to_chars(end, dir + sizeof dir - 8, pid);
    end = r.ptr;
    put("/fd");
    *end = '\0';

    int lfd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lfd < 0) {
        int err = errno;
        RawReport(__LINE__, "COM_CloseFdExceptSTD").add("opendir(").add(dir).add(") error : ").add_error(err).add("\n").send();
        return -1;
    }
    alignas(8) char buf[1024];
    for (;;) {
        long n = ::syscall(SYS_getdents64, lfd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
            unsigned short reclen;
            std::memcpy(&reclen, buf + off + 16, sizeof reclen);
            const char *name = buf + off + 19;
            int fd = 0;
            auto [ptr, ec] = std::from_chars(name, name + std::strlen(name), fd);
            if (ec == std::errc() && *ptr == '\0' && fd > 2 && fd != lfd)
                ::close(fd);
            off += reclen;
        }
    }
    ::close(lfd);
    return 0;
}

} // namespace

extern "C" int COM_CloseFdExceptSTD(int pid)
try {
    // Only the calling process's own table can be closed; close_range does
    // it in one system call where the kernel has it.
    if (pid == ::getpid() && ::syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return 0;
    return close_by_listing(pid);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ParserCMD(const char *cmd)
try {
    if (!cmd)
        return RawReport(__LINE__, __func__).add("pCMD == NULL\n").send();

    char table[kMaxTokens + 1][kTokenSize];
    char *argv[kMaxTokens + 1];
    int count = 0;
    switch (split_command(cmd, table, argv, &count)) {
    case Split::too_many:
        return RawReport(__LINE__, __func__).add("too many arguments (more than 127)\n").send();
    case Split::too_long:
        return RawReport(__LINE__, __func__).add("argument of more than 127 characters\n").send();
    case Split::ok:
        break;
    }
    const char *path = count ? argv[0] : "";
    if (count)
        ::execv(path, argv);
    else
        errno = ENOENT;
    int err = errno;
    return RawReport(__LINE__, __func__).add("[").add(path).add("] error : ").add_error(err).add("\n").send();
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

namespace {

// The SIGINT and SIGQUIT actions that COM_System changes belong to the
// whole process. The first caller in saves them and sets them to be
// ignored, the last one out puts back what was saved; the count and the
// saved actions are kept under one lock, so that overlapping callers in
// several threads never save one another's "ignore".
pthread_mutex_t gSystemLock = PTHREAD_MUTEX_INITIALIZER;
int gSystemCallers = 0;
struct sigaction gSavedInt {}, gSavedQuit {};

class SignalSection {
public:
    SignalSection() noexcept = default;
    SignalSection(const SignalSection &) = delete;
    SignalSection &operator=(const SignalSection &) = delete;
    // A caller cancelled in its wait still leaves the section.
    ~SignalSection() { leave(); }

    bool enter() noexcept
    {
        Locked lock;
        if (gSystemCallers == 0) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ignore.sa_flags = 0;
            if (::sigaction(SIGINT, &ignore, &gSavedInt) != 0)
                return false;
            if (::sigaction(SIGQUIT, &ignore, &gSavedQuit) != 0) {
                ::sigaction(SIGINT, &gSavedInt, nullptr);
                return false;
            }
        }
        ++gSystemCallers;
        saved_int_ = gSavedInt;
        saved_quit_ = gSavedQuit;
        inside_ = true;
        return true;
    }

    // False when the saved actions could not be put back.
    bool leave() noexcept
    {
        if (!inside_)
            return true;
        inside_ = false;
        Locked lock;
        if (--gSystemCallers > 0)
            return true;
        bool ok = ::sigaction(SIGINT, &gSavedInt, nullptr) == 0;
        ok = ::sigaction(SIGQUIT, &gSavedQuit, nullptr) == 0 && ok;
        return ok;
    }

    const struct sigaction &saved_int() const noexcept { return saved_int_; }
    const struct sigaction &saved_quit() const noexcept { return saved_quit_; }

private:
    // Nothing in the locked sections is a cancellation point, but the
    // lock is released by a cleanup all the same.
    struct Locked {
        Locked() noexcept { pthread_mutex_lock(&gSystemLock); }
        ~Locked() { pthread_mutex_unlock(&gSystemLock); }
        Locked(const Locked &) = delete;
        Locked &operator=(const Locked &) = delete;
    };
    bool inside_ = false;
    struct sigaction saved_int_ {}, saved_quit_ {};
};

} // namespace

extern "C" int COM_System(const char *cmd, int *pPid)
try {
    if (!cmd) {
        COM_REPORT("pCMD == NULL\n");
        return -1;
    }
    // Refuse what the child's token table cannot hold before starting it.
    int count = 0;
    switch (split_command(cmd, nullptr, nullptr, &count)) {
    case Split::too_many:
        COM_REPORT("[%s] too many arguments (more than 127)\n", cmd);
        return -1;
    case Split::too_long:
        COM_REPORT("[%s] argument of more than 127 characters\n", cmd);
        return -1;
    case Split::ok:
        break;
    }

    // SIGINT and SIGQUIT are ignored while any call runs; the child gets
    // the actions the process had before the first of them.
    SignalSection section;
    if (!section.enter())
        return -1;
    const struct sigaction old_int = section.saved_int(), old_quit = section.saved_quit();
    sigset_t chld, old_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (::pthread_sigmask(SIG_BLOCK, &chld, &old_mask) != 0)
        return -1;

    int result;
    pid_t pid = ::fork();
    if (pid < 0) {
        COM_REPORT("fork() failed : %s\n", std::strerror(errno));
        result = -1;
    } else if (pid == 0) {
        // Child: nothing here allocates or locks.
        COM_CloseFdExceptSTD(static_cast<int>(::getpid()));
        ::sigaction(SIGINT, &old_int, nullptr);
        ::sigaction(SIGQUIT, &old_quit, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        COM_ParserCMD(cmd);
        // End at once: the exit system call itself, so that no exit
        // handler (nor a sanitizer's) flushes the parent's stdio buffers.
        ::syscall(SYS_exit_group, 127);
        ::_exit(127);
    } else {
        // Another thread may read the id to signal the child.
        if (pPid)
            __atomic_store_n(pPid, static_cast<int>(pid), __ATOMIC_SEQ_CST);
        // A caller cancelled in the wait does not return: the child is then
        // ended and reaped, the id variable cleared and the signal handling
        // put back all the same, so that the process does not go on
        // ignoring SIGINT and SIGQUIT.
        struct CancelledWait {
            pid_t child;
            int *pPid;
            const sigset_t *old_mask;
            bool armed = true;
            ~CancelledWait()
            {
                if (!armed)
                    return;
                // A destructor must not act on a cancel (waitpid is a
                // cancellation point).
                dvr::NoCancel guard;
                ::kill(child, SIGKILL);
                while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
                }
                if (pPid)
                    __atomic_store_n(pPid, 0, __ATOMIC_SEQ_CST);
                ::pthread_sigmask(SIG_SETMASK, old_mask, nullptr);
                // The signal section is left by its own destructor.
            }
        } cancelled{pid, pPid, &old_mask};
        int status = 0;
        pid_t w;
        do
            w = ::waitpid(pid, &status, 0);
        while (w < 0 && errno == EINTR);
        cancelled.armed = false;
        result = w == pid ? status : -1;
        if (pPid)
            __atomic_store_n(pPid, 0, __ATOMIC_SEQ_CST);
    }

    if (::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr) != 0)
        result = -1;
    if (!section.leave())
        result = -1;
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
