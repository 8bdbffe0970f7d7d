// Process helpers: reading a command's output line by line, pid files,
// ending a process, free memory and swap.
#include <cerrno>
#include <cstddef>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <atomic>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board_root.h"
#include "boundary.h"
#include "file_replacer.h"
#include "owners.h"
#include "report.h"
#include "process_internal.h"

namespace {

constexpr size_t kLineSize = 256;     // COM_PopenRead line pieces
constexpr int kPopenWaitSeconds = 500; // total wait for output, not reset between lines
constexpr size_t kMeminfoLine = 80;

long long monotonic_ms()
{
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Decimal value of a field as atoi reads it, kept within int.
int field_value(const char *text)
{
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

} // namespace

namespace {

// The whole call's budget for the command's output, in milliseconds.
std::atomic<int> gPopenBudgetMs{kPopenWaitSeconds * 1000};

// SIGCHLD's action belongs to the whole process. COM_PopenRead needs it at
// its default while it runs (an ignored SIGCHLD loses the command's
// status): the first caller in saves the application's action and sets the
// default, the last one out puts the saved action back. The count and the
// saved action are kept under one lock, so that overlapping callers in
// several threads never save one another's default.
pthread_mutex_t gChildSignalLock = PTHREAD_MUTEX_INITIALIZER;
int gChildSignalCallers = 0;
struct sigaction gSavedChildAction {};

class ChildSignalSection {
public:
    ChildSignalSection() = default;
    ChildSignalSection(const ChildSignalSection &) = delete;
    ChildSignalSection &operator=(const ChildSignalSection &) = delete;
    // However the call ends (a cancelled caller too), the section is left.
    ~ChildSignalSection() { leave(); }

    void enter()
    {
        // Nothing in the locked sections is a cancellation point.
        dvr::MutexLock hold(gChildSignalLock);
        if (gChildSignalCallers == 0) {
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            if (::sigaction(SIGCHLD, &dfl, &gSavedChildAction) != 0)
                return;
        }
        ++gChildSignalCallers;
        inside_ = true;
    }

    void leave()
    {
        if (!inside_)
            return;
        inside_ = false;
        dvr::MutexLock hold(gChildSignalLock);
        if (--gChildSignalCallers == 0)
            ::sigaction(SIGCHLD, &gSavedChildAction, nullptr);
    }

private:
    bool inside_ = false;
};

// Starts "/bin/sh -c cmd" with its standard output on a pipe, as popen
// does, but keeps the child's id so that a command that outlives the
// budget can be ended. The shell leads a process group of its own, so
// that ending the command ends whatever it started in the background as
// well. Nothing is allocated in the child.
bool spawn_shell(const char *cmd, pid_t &pid, dvr::UniqueFd &out)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return false;
    dvr::UniqueFd rd(p[0]), wr(p[1]);
    posix_spawn_file_actions_t actions;
    if (int err = ::posix_spawn_file_actions_init(&actions); err != 0) {
        errno = err;
        return false;
    }
    posix_spawnattr_t attr;
    if (int err = ::posix_spawnattr_init(&attr); err != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        errno = err;
        return false;
    }
    int err = ::posix_spawn_file_actions_adddup2(&actions, wr.get(), STDOUT_FILENO);
    if (err == 0)
        err = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    if (err == 0)
        err = ::posix_spawnattr_setpgroup(&attr, 0);
    char sh[] = "sh", dash_c[] = "-c";
    char *const argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};
    if (err == 0)
        err = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        errno = err;
        return false;
    }
    out = std::move(rd);
    return true;
}

} // namespace

namespace dvr {
void set_popen_budget_ms(int ms) noexcept
{
    gPopenBudgetMs.store(ms > 0 ? ms : kPopenWaitSeconds * 1000);
}
} // namespace dvr

namespace {
// Ends a command COM_PopenRead started: its whole process group (what it
// left in the background too), and the shell itself, whose group may not
// be formed yet where the spawn returns before the child has run (a
// spawn emulated by a plain fork does).
void kill_command(pid_t pid) noexcept
{
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}
} // namespace

extern "C" int COM_PopenRead(const char *cmd, const void *pUnused, int32_t user, COM_POPEN_LINE_FN fn)
try {
    (void)pUnused;
    // The command's status can only be collected with SIGCHLD at default;
    // the application's action is back when the call returns.
    ChildSignalSection child_signal;
    child_signal.enter();

    if (!cmd) {
        COM_REPORT("popen(%s) error : %s\n", "(null)", std::strerror(EINVAL));
        return -1;
    }
    pid_t pid = -1;
    dvr::UniqueFd pipe;
    if (!spawn_shell(cmd, pid, pipe)) {
        COM_REPORT("popen(%s) error : %s\n", cmd, std::strerror(errno));
        return -1;
    }
    // A caller cancelled while reading does not leave the command behind.
    struct Reaper {
        pid_t pid;
        bool armed = true;
        ~Reaper()
        {
            if (!armed)
                return;
            // A destructor must not act on a cancel (waitpid is a
            // cancellation point).
            dvr::NoCancel guard;
            kill_command(pid);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    } reaper{pid};

    // The output is read through poll, never by a blocking line read, so
    // that the budget bounds the whole call even when the command stops
    // in the middle of a line. Lines longer than 255 characters arrive in
    // pieces; each piece and line is handed over with its line end.
    const long long deadline = monotonic_ms() + gPopenBudgetMs.load();
    char line[kLineSize];
    size_t used = 0;
    std::memset(line, 0, sizeof line);
    auto deliver = [&]() {
        line[used] = '\0';
        if (fn)
            fn(line, user);
        std::memset(line, 0, sizeof line);
        used = 0;
    };
    bool timed_out = false;
    char block[4096];
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        struct pollfd pfd = {pipe.get(), POLLIN, 0};
        // A failing wait (interrupted, or short of memory for a moment) is
        // repeated within the budget: it says nothing about the output.
        int rc = ::poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (rc <= 0)
            continue;
        ssize_t n = ::read(pipe.get(), block, sizeof block);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            line[used++] = block[i];
            if (block[i] == '\n' || used == kLineSize - 1)
                deliver();
        }
    }
    if (used > 0)
        deliver(); // a last line without its line end
    pipe.reset();

    if (timed_out) {
        COM_REPORT("popen(%s) : no end of output within %d seconds\n", cmd, gPopenBudgetMs.load() / 1000);
        // The whole group: what the command left in the background too.
        kill_command(pid);
    }
    int status = 0;
    pid_t w;
    do
        w = ::waitpid(pid, &status, 0);
    while (w < 0 && errno == EINTR);
    reaper.armed = false;
    if (w != pid)
        status = -1;
    if (status == -1)
        COM_REPORT("pclose() error : %s\n", std::strerror(errno));
    else if (status != 0)
        COM_REPORT("pclose() return %d\n", status);
    if (fn)
        fn(nullptr, user);
    return timed_out ? -1 : status;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SavePid(const char *path)
try {
    if (!path)
        return -1;
    // The new id replaces the file only once it is all on the disk: a
    // failing write leaves the old pid file, never an empty one. A new file
    // gets fopen's mode (less the umask).
    dvr::FileReplacer rep(DVR_REPORTER("MODULES/COMMON"));
    if (!rep.open(path, dvr::ReplaceLinks::Follow, 0666)) {
        COM_REPORT("open(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    char text[24];
    int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(::getpid()));
    // A pid file that did not reach the disk is a failure.
    if (n < 0 || !rep.write(text, static_cast<size_t>(n)) || !rep.commit()) {
        COM_REPORT("write(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_KillPid(int pid, uint32_t usWait)
try {
    if (pid < 1) {
        COM_REPORT("Invalid pid = %d\n", pid);
        return -1;
    }
    if (::kill(pid, SIGTERM) != 0) {
        COM_REPORT("kill(%d) failed : %s\n", pid, std::strerror(errno));
        return -1;
    }
    if (usWait != 0) {
        struct timespec ts {};
        ts.tv_sec = static_cast<time_t>(usWait / 1000000);
        ts.tv_nsec = static_cast<long>(usWait % 1000000) * 1000;
        ::nanosleep(&ts, nullptr);
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetFreeMemAndSwap(int *pFreeMem, int *pFreeSwap)
try {
    int result = -1;
    dvr::UniqueFile f(std::fopen(dvr::board_path("/proc/meminfo").c_str(), "re"));
    if (!f) {
        COM_REPORT("fopen(%s) error : %s\n", "/proc/meminfo", std::strerror(errno));
        return -1;
    }
    bool changed = false;
    char line[kMeminfoLine];
    while (std::fgets(line, sizeof line, f.get())) {
        int *target;
        if (!std::strncmp(line, "Mem:", 4))
            target = pFreeMem;
        else if (!std::strncmp(line, "Swap:", 5))
            target = pFreeSwap;
        else
            continue;
        char *save = nullptr;
        char *field = ::strtok_r(line, " \t\n", &save);
        for (int i = 1; field && i < 4; ++i)
            field = ::strtok_r(nullptr, " \t\n", &save);
        if (!field) {
            result = -1;
            continue;
        }
        int value = field_value(field);
        if (target) {
            if (*target != value)
                changed = true;
            *target = value;
        }
        result = 0;
    }
    if (changed)
        COM_REPORT("Free - (Mem, Swap) = (%d, %d)\n", pFreeMem ? *pFreeMem : -1, pFreeSwap ? *pFreeSwap : -1);
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
