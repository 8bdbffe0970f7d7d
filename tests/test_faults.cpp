// Faults in turn: each public call that touches the system runs once while
// every wrapped C library call it makes is counted, then again for
// k = 1..N with the k-th wrapped call failing, once with each error number
// that call can really return. After every run: the result is the call's
// failure value or a success that is true (a retried EINTR, a whole file),
// a failure was reported, no descriptor, child or thread is left over, and
// a file target holds its old or its new contents, never a mixture.
//
// The wrappers are the fault injection library's POSIX preload (the test
// registration puts its run and POSIX preload libraries in LD_PRELOAD, as
// its fiu-run command does). The few calls it does not wrap (ioctl, pipe2,
// mkdir, rmdir, posix_spawn, mount, umount) get failure points of the same library here,
// and close is wrapped here so that a failing close still releases the
// descriptor, as the kernel's does.
// labels: root net
// timeout: 1800
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "dev_machine.h"
#include "dns_wire.h"
#include "fixtures.h"
#include "fpga.h"
#include "test_support.h"

#ifdef DVRPLAT_HAVE_FIU
#define FIU_ENABLE 1
#include <fiu-control.h>
#include <fiu.h>
#endif

namespace {

// ---------------------------------------------------------------------
// The injection state, shared by the failure point callback.

struct Injection {
    std::atomic<bool> armed{false};
    std::atomic<bool> recording{false};
    std::atomic<long> count{0};
    long fail_at = 0;
    intptr_t error = 0;
    std::atomic<bool> hit{false};
    std::atomic<const char *> hit_name{nullptr};
    std::mutex m;
    std::vector<const char *> seen; // names of the counted calls, in order
};
Injection gInj;

// Calls made by the test's own helper threads and processes are not the
// library's: never counted, never failed.
[[maybe_unused]] thread_local bool tExempt = false;

#ifdef DVRPLAT_HAVE_FIU
int on_point(const char *name, int *failnum, void **failinfo, unsigned *flags)
{
    (void)flags;
    if (!gInj.armed.load(std::memory_order_acquire) || tExempt)
        return 0;
    long n = ++gInj.count;
    if (gInj.recording.load()) {
        std::lock_guard<std::mutex> lock(gInj.m);
        if (gInj.seen.size() < gInj.seen.capacity())
            gInj.seen.push_back(name);
    }
    if (n != gInj.fail_at)
        return 0;
    gInj.hit_name = name;
    gInj.hit = true;
    *failnum = 1;
    *failinfo = reinterpret_cast<void *>(gInj.error);
    return 1;
}

// A failure point of our own for a call the preload does not wrap: true
// (errno set) when the call is to fail.
bool own_point_fails(const char *name)
{
    if (!fiu_fail(name))
        return false;
    errno = static_cast<int>(reinterpret_cast<intptr_t>(fiu_failinfo()));
    if (errno == 0)
        errno = EIO;
    return true;
}
#endif

template <typename Fn> Fn next_symbol(const char *name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

} // namespace

#ifdef DVRPLAT_HAVE_FIU
extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    static auto real = next_symbol<int (*)(int, unsigned long, void *)>("ioctl");
    if (own_point_fails("dvrtest/ioctl"))
        return -1;
    return real(fd, request, arg);
}

int pipe2(int fds[2], int flags) noexcept
{
    static auto real = next_symbol<int (*)(int *, int)>("pipe2");
    if (own_point_fails("dvrtest/pipe2"))
        return -1;
    return real(fds, flags);
}

int mkdir(const char *path, mode_t mode) noexcept
{
    static auto real = next_symbol<int (*)(const char *, mode_t)>("mkdir");
    if (own_point_fails("dvrtest/mkdir"))
        return -1;
    return real(path, mode);
}

int rmdir(const char *path) noexcept
{
    static auto real = next_symbol<int (*)(const char *)>("rmdir");
    if (own_point_fails("dvrtest/rmdir"))
        return -1;
    return real(path);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    using Fn = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                       char *const[], char *const[]);
    static auto real = next_symbol<Fn>("posix_spawn");
    if (own_point_fails("dvrtest/posix_spawn"))
        return errno;
    return real(pid, path, actions, attr, argv, envp);
}

int mount(const char *source, const char *target, const char *type, unsigned long flags, const void *data) noexcept
{
    using Fn = int (*)(const char *, const char *, const char *, unsigned long, const void *);
    static auto real = next_symbol<Fn>("mount");
    if (own_point_fails("dvrtest/mount"))
        return -1;
    return real(source, target, type, flags, data);
}

int umount(const char *target) noexcept
{
    static auto real = next_symbol<int (*)(const char *)>("umount");
    if (own_point_fails("dvrtest/umount"))
        return -1;
    return real(target);
}

int umount2(const char *target, int flags) noexcept
{
    static auto real = next_symbol<int (*)(const char *, int)>("umount2");
    if (own_point_fails("dvrtest/umount"))
        return -1;
    return real(target, flags);
}

// The descriptor is released whatever close reports (as on Linux).
int close(int fd)
{
    static auto real = next_symbol<int (*)(int)>("close");
    int rc = real(fd);
    if (rc == 0 && own_point_fails("dvrtest/close"))
        return -1;
    return rc;
}

} // extern "C"
#endif

namespace {

// ---------------------------------------------------------------------
// The failure points and the error numbers each one's call can return.
// An error number of 0 on a "reduce" point means a short transfer.

struct Point {
    const char *name;
    std::vector<int> errors;
};

const std::vector<Point> &points()
{
    static const std::vector<Point> kPoints = {
        {"posix/io/oc/open", {EACCES, EMFILE, EINTR, EIO, ENOSPC}},
        {"dvrtest/close", {EIO, EINTR}},
        {"posix/io/rw/read", {EIO, EINTR, EAGAIN}},
        {"posix/io/rw/read/reduce", {0}},
        {"posix/io/rw/pread", {EIO, EINTR}},
        {"posix/io/rw/pread/reduce", {0}},
        {"posix/io/rw/readv", {EIO, EINTR}},
        {"posix/io/rw/write", {EIO, ENOSPC, EINTR, EDQUOT}},
        {"posix/io/rw/write/reduce", {0}},
        {"posix/io/rw/pwrite", {EIO, ENOSPC, EINTR}},
        {"posix/io/rw/pwrite/reduce", {0}},
        {"posix/io/rw/writev", {EIO, ENOSPC, EINTR}},
        {"posix/io/rw/ftruncate", {EIO, EPERM}},
        {"posix/io/sync/fsync", {EIO, ENOSPC}},
        {"posix/io/sync/fdatasync", {EIO, ENOSPC}},
        {"posix/io/dir/opendir", {EACCES, EMFILE, ENOMEM}},
        {"posix/io/dir/fdopendir", {ENOMEM}},
        {"posix/io/dir/readdir", {EIO}},
        {"posix/io/dir/unlink", {EACCES, EBUSY, EIO}},
        {"posix/io/dir/rename", {EACCES, EIO, ENOSPC}},
        {"posix/io/net/socket", {EMFILE, ENOBUFS}},
        {"posix/io/net/bind", {EADDRINUSE}},
        {"posix/io/net/connect", {ECONNREFUSED, ETIMEDOUT, EINTR}},
        {"posix/io/net/send", {ECONNRESET, EPIPE, EINTR, EAGAIN}},
        {"posix/io/net/sendto", {ECONNREFUSED, EINTR, ENOBUFS}},
        {"posix/io/net/sendmsg", {ECONNRESET, EINTR}},
        {"posix/io/net/recv", {ECONNRESET, EINTR, EAGAIN}},
        {"posix/io/net/recvfrom", {ECONNREFUSED, EINTR, EAGAIN}},
        {"posix/io/net/recvmsg", {ECONNRESET, EINTR}},
        {"posix/io/net/poll", {EINTR, ENOMEM}},
        {"posix/io/net/select", {EINTR, ENOMEM}},
        {"posix/mm/mmap", {ENOMEM, EACCES}},
        {"posix/proc/fork", {EAGAIN, ENOMEM}},
        {"posix/proc/waitpid", {EINTR}},
        {"posix/proc/wait", {EINTR}},
        {"posix/proc/kill", {EPERM, ESRCH}},
        {"posix/stdio/oc/fopen", {EACCES, EMFILE, ENOMEM, EINTR}},
        {"posix/stdio/oc/fdopen", {ENOMEM}},
        {"posix/stdio/oc/popen", {EMFILE, ENOMEM}},
        {"posix/stdio/rw/fread", {EIO}},
        {"posix/stdio/rw/fwrite", {EIO, ENOSPC}},
        {"posix/stdio/gp/fgets", {EIO}},
        {"posix/stdio/gp/fgetc", {EIO}},
        {"posix/stdio/gp/getc", {EIO}},
        {"posix/stdio/gp/getline", {EIO, ENOMEM}},
        {"posix/stdio/gp/getdelim", {EIO, ENOMEM}},
        {"posix/stdio/gp/fputs", {EIO, ENOSPC}},
        {"posix/stdio/fflush", {EIO, ENOSPC}},
        {"posix/stdio/sp/vfprintf", {EIO, ENOSPC}},
        {"posix/stdio/sp/fprintf", {EIO, ENOSPC}},
        {"libc/mm/malloc", {ENOMEM}},
        {"libc/mm/calloc", {ENOMEM}},
        {"libc/mm/realloc", {ENOMEM}},
        {"libc/str/strdup", {ENOMEM}},
        {"libc/str/strndup", {ENOMEM}},
        {"dvrtest/ioctl", {EIO, EINTR}},
        {"dvrtest/pipe2", {EMFILE, ENFILE}},
        {"dvrtest/mkdir", {EACCES, ENOSPC}},
        {"dvrtest/rmdir", {EBUSY, EACCES}},
        {"dvrtest/posix_spawn", {EAGAIN, ENOMEM}},
        {"dvrtest/mount", {EBUSY, EIO, ENOMEM}},
        {"dvrtest/umount", {EBUSY, EIO}},
    };
    return kPoints;
}

[[maybe_unused]] const std::vector<int> &errors_of(const char *name)
{
    static const std::vector<int> kNone;
    for (const Point &p : points())
        if (std::strcmp(p.name, name) == 0)
            return p.errors;
    return kNone;
}

[[maybe_unused]] std::string error_name(int e)
{
    if (e == 0)
        return "short";
    const char *n = strerrorname_np(e);
    return n ? n : std::to_string(e);
}

// Whether this process runs under the preload and was built with the
// library; else why not.
std::string preload_missing()
{
#ifndef DVRPLAT_HAVE_FIU
#ifdef DVRPLAT_CROSSCOMPILING
    return "the fault injection library is not built for the board's target (no such Debian package to install "
           "beside the cross compiler)";
#else
    return "built without the fault injection library (libfiu-dev)";
#endif
#else
    if (!::dlsym(RTLD_DEFAULT, "_fiu_called"))
        return "not running under the POSIX preload (LD_PRELOAD of fiu_run_preload.so and fiu_posix_preload.so, "
               "as the test registration sets)";
    return "";
#endif
}

int count_dir(const char *path) { return dvrtest::count_entries(path); }
// Descriptors open now (the listing's own one not counted).
[[maybe_unused]] int open_fds() { return count_dir("/proc/self/fd") - 1; }
[[maybe_unused]] int threads() { return count_dir("/proc/self/task"); }
// Children of this process not yet waited for (zombies included).
int gServers = 0; // children of the test's own (servers) that stay
[[maybe_unused]] bool has_children()
{
    if (gServers > 0) {
        // Zombies other than the servers, which never end during a table.
        int n = 0;
        DIR *d = ::opendir("/proc");
        std::string me = std::to_string(::getpid());
        while (struct dirent *e = d ? ::readdir(d) : nullptr) {
            std::string stat = "/proc/" + std::string(e->d_name) + "/stat";
            FILE *f = e->d_name[0] >= '1' && e->d_name[0] <= '9' ? std::fopen(stat.c_str(), "r") : nullptr;
            if (!f)
                continue;
            char line[512] = "";
            (void)!std::fgets(line, sizeof line, f);
            std::fclose(f);
            const char *close_paren = std::strrchr(line, ')');
            int ppid = 0;
            char state = 0;
            if (close_paren && std::sscanf(close_paren + 1, " %c %d", &state, &ppid) == 2 &&
                std::to_string(ppid) == me)
                ++n;
        }
        if (d)
            ::closedir(d);
        return n > gServers;
    }
    siginfo_t si{};
    return ::waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// ---------------------------------------------------------------------
// The table and its runner.

struct Case {
    std::string name;
    std::function<void()> setup;
    std::function<long()> call;
    // "" when what must hold after the call (given its result) holds, else
    // what did not. `failed`: a wrapped call was made to fail in this run.
    std::function<std::string(long rc, bool failed)> check;
    std::function<void()> cleanup = [] {};
    // Whether a failure must be reported (some results are quiet by design).
    bool report = true;
};

struct Figures {
    long calls = 0;
    long points = 0;
    long runs = 0;
    long missed = 0;
    std::vector<std::string> faults;
};

std::map<std::string, long> gTotals; // figures of every table, printed at the end

#ifdef DVRPLAT_HAVE_FIU
struct Armed {
    Armed(long fail_at, int error, bool recording)
    {
        gInj.count = 0;
        gInj.fail_at = fail_at;
        gInj.error = error;
        gInj.hit = false;
        gInj.hit_name = nullptr;
        gInj.recording = recording;
        gInj.armed.store(true, std::memory_order_release);
    }
    ~Armed() { gInj.armed.store(false, std::memory_order_release); }
};

void enable_points()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    gInj.seen.reserve(1 << 16);
    for (const Point &p : points())
        fiu_enable_external(p.name, 1, nullptr, 0, on_point);
}
#endif

Figures run_table(const char *title, const std::vector<Case> &table)
{
    Figures fig;
#ifdef DVRPLAT_HAVE_FIU
    enable_points();
    for (const Case &c : table) {
        ++fig.calls;
        // The counting run: nothing fails, and the call must succeed.
        c.setup();
        int fds = open_fds();
        int tasks = threads();
        std::vector<const char *> seen;
        long rc;
        {
            dvrtest::CaptureStdout out;
            {
                std::lock_guard<std::mutex> lock(gInj.m);
                gInj.seen.clear();
            }
            {
                Armed arm(0, 0, true);
                rc = c.call();
            }
            out.take();
            std::lock_guard<std::mutex> lock(gInj.m);
            seen = gInj.seen;
        }
        std::string problem = c.check(rc, false);
        c.cleanup();
        if (!problem.empty())
            fig.faults.push_back(c.name + " with nothing failing: " + problem);
        fig.points += static_cast<long>(seen.size());

        for (size_t k = 1; k <= seen.size(); ++k) {
            for (int error : errors_of(seen[k - 1])) {
                if (std::getenv("DVRTEST_FAULTS_TRACE"))
                    std::fprintf(stderr, "%s %zu %s %s\n", c.name.c_str(), k, seen[k - 1], error_name(error).c_str());
                c.setup();
                fds = open_fds();
                tasks = threads();
                std::string text;
                {
                    dvrtest::CaptureStdout out;
                    {
                        Armed arm(static_cast<long>(k), error, false);
                        rc = c.call();
                    }
                    text = out.take();
                }
                bool hit = gInj.hit.load();
                const char *hit_name = gInj.hit_name.load();
                ++fig.runs;
                if (!hit) {
                    ++fig.missed;
                    c.cleanup();
                    continue;
                }
                std::string what = c.check(rc, true);
                // A report that could not be printed is not missing.
                bool printing = std::strncmp(hit_name, "posix/stdio/sp/", 15) == 0;
                if (what.empty() && c.report && !printing && rc < 0 && text.find("():") == std::string::npos)
                    what = "failed without a report";
                // Threads the call started may take a moment to go, and with
                // them the descriptors they held.
                for (int i = 0; i < 200 && (threads() != tasks || open_fds() != fds); ++i)
                    ::usleep(10000);
                int fds_after = open_fds();
                if (what.empty() && fds_after != fds)
                    what = std::to_string(fds_after - fds) + " descriptor(s) left open";
                if (what.empty() && threads() != tasks)
                    what = std::to_string(threads() - tasks) + " thread(s) left running";
                if (what.empty() && has_children())
                    what = "a child left unwaited";
                c.cleanup();
                // Children left over would spoil the next runs' checks.
                while (gServers == 0 && ::waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                if (!what.empty())
                    fig.faults.push_back(c.name + ", wrapped call " + std::to_string(k) + " (" + hit_name + ") failing with " +
                                         error_name(error) + ", result " + std::to_string(rc) + ": " + what);
            }
        }
    }
#else
    (void)table;
#endif
    std::printf("[faults] %s: %ld calls x %ld failure points, %ld runs (point x error number), %ld not reached, "
                "%zu did not hold\n",
                title, fig.calls, fig.points, fig.runs, fig.missed, fig.faults.size());
    for (const std::string &f : fig.faults)
        std::printf("[faults]   %s\n", f.c_str());
    std::fflush(stdout);
    gTotals["calls"] += fig.calls;
    gTotals["points"] += fig.points;
    gTotals["runs"] += fig.runs;
    gTotals["faults"] += static_cast<long>(fig.faults.size());
    return fig;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = preload_missing();
        if (!why.empty()) {
#ifdef DVRPLAT_HAVE_FIU
            if (dvrtest::fixtures_required())
                FAIL() << why;
#endif
            GTEST_SKIP() << why;
        }
        if (!dvrtest::is_root())
            GTEST_SKIP() << "needs root";
    }
    static void TearDownTestSuite()
    {
        if (!gTotals.empty())
            std::printf("[faults] in all: %ld calls x %ld failure points, %ld runs, %ld did not hold\n",
                        gTotals["calls"], gTotals["points"], gTotals["runs"], gTotals["faults"]);
    }
    void expect_held(const Figures &fig)
    {
        for (const std::string &f : fig.faults)
            ADD_FAILURE() << f;
    }
    dvrtest::TempDir tmp_;
};

std::string file_or_absent(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "(absent)";
    return dvrtest::read_file(path);
}

// A file that must hold its old or its new contents, never a mixture;
// the new only after a success.
std::string old_or_new(const std::string &path, const std::string &old_text, const std::string &new_text, bool ok)
{
    std::string now = file_or_absent(path);
    if (ok)
        return now == new_text ? "" : "succeeded but the file holds " + std::to_string(now.size()) + " other bytes";
    if (now == old_text || now == new_text)
        return "";
    return "the file holds neither its old nor its new contents (" + std::to_string(now.size()) + " bytes)";
}

// Names left in a directory beside the expected ones (a new file abandoned).
std::string leftovers(const std::string &dir, const std::vector<std::string> &expected)
{
    std::string extra;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return "";
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        if (std::find(expected.begin(), expected.end(), n) == expected.end())
            extra += (extra.empty() ? "" : ", ") + n;
    }
    ::closedir(d);
    return extra.empty() ? "" : "left behind: " + extra;
}

// rm -rf in this process (a program started for every run would be slow
// under the sanitizers' preload).
void remove_tree(const std::string &path)
{
    ::nftw(
        path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p) == 0 ? 0 : 0; }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string both(std::string a, const std::string &b)
{
    if (a.empty())
        return b;
    if (!b.empty())
        a += "; " + b;
    return a;
}

// ---------------------------------------------------------------------
// File writers and readers.

TEST_F(Faults, FileWritersAndReaders)
{
    const std::string dir = tmp_ / "files";
    const std::string target = dir + "/target";
    const std::string old_text = "a=1\nb=1\nc=1\n";
    std::string block(100000, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('A' + i % 23);
    auto fresh = [&](const std::string &content) {
        remove_tree(dir);
        dvrtest::make_dirs(dir);
        dvrtest::write_file(target, content);
    };
    // What md5sum says of the block (an independent expectation).
    dvrtest::write_file(tmp_ / "block", block);
    std::string md5 = dvrtest::shell("md5sum '" + tmp_ / "block" + "'").out.substr(0, 32);

    // Paths the calls take, made before (the test's own allocations are
    // counted too while a call runs).
    const std::string source = dir + "/source", empty = dir + "/empty", tree = dir + "/tree", deep = dir + "/m/n/o";
    COM_REPLACE_ITEM item{};
    COM_REPLACE_LIST list{};
    char buf[200000];
    char text[64];
    char *hex = nullptr;
    int hexfd = -1;

    std::vector<Case> table = {
        {"COM_SetFileContent", [&] { fresh(old_text); },
         [&]() -> long { return COM_SetFileContent(target.c_str(), "new text"); },
         [&](long rc, bool) {
             return both(old_or_new(target, old_text, "new text", rc == 0), leftovers(dir, {"target"}));
         }},
        {"COM_SaveDataIntoFile", [&] { fresh(old_text); },
         [&]() -> long { return COM_SaveDataIntoFile(target.c_str(), block.data(), static_cast<int>(block.size())); },
         [&](long rc, bool) { return both(old_or_new(target, old_text, block, rc == 0), leftovers(dir, {"target"})); },
         // A write that moved no byte gives write's own result without a
         // message, as the callers know it.
         [] {}, false},
        {"COM_ReplaceItemsInFile",
         [&] {
             fresh(old_text);
             item = COM_REPLACE_ITEM{};
             item.nKeyLen = 2;
             std::strcpy(item.szKey, "b=");
             std::strcpy(item.szReplace, "b=2");
             list = COM_REPLACE_LIST{1, 0, 0, 0, &item};
         },
         [&]() -> long { return COM_ReplaceItemsInFile(target.c_str(), &list); },
         [&](long rc, bool) {
             return both(old_or_new(target, old_text, "a=1\nb=2\nc=1\n", rc == 1), leftovers(dir, {"target"}));
         }},
        {"COM_RenameFile",
         [&] {
             fresh(old_text);
             dvrtest::write_file(dir + "/source", block);
         },
         [&]() -> long { return COM_RenameFile(source.c_str(), target.c_str()); },
         [&](long rc, bool) {
             std::string src = file_or_absent(dir + "/source");
             // A source that cannot be removed after a whole copy is
             // reported, and the move still counts as done.
             if (rc == 0)
                 return both(src == "(absent)" || src == block ? "" : "succeeded but the source is not whole",
                             both(old_or_new(target, old_text, block, true),
                                  leftovers(dir, {"target", "source"})));
             return both(src == block ? "" : "failed and the source is not whole",
                         both(old_or_new(target, old_text, block, false), leftovers(dir, {"target", "source"})));
         }},
        {"COM_SaveID", [&] { fresh("OLD-ID"); (void)::rename(target.c_str(), (dir + "/ID").c_str()); },
         [&]() -> long { return COM_SaveID(dir.c_str(), "NEW-ID-0123"); },
         [&](long rc, bool) { return both(old_or_new(dir + "/ID", "OLD-ID", "NEW-ID-0123", rc == 0), leftovers(dir, {"ID"})); }},
        {"COM_SavePid", [&] { fresh("1"); },
         [&]() -> long { return COM_SavePid(target.c_str()); },
         [&](long rc, bool) {
             return both(old_or_new(target, "1", std::to_string(::getpid()), rc == 0), leftovers(dir, {"target"}));
         }},
        {"COM_GetFileContent", [&] { fresh("first line\nsecond\n"); std::memset(buf, 0, sizeof buf); },
         [&]() -> long { return COM_GetFileContent(target.c_str(), buf, 64); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return std::string(buf) == "first line" ? "" : "succeeded with \"" + std::string(buf) + "\"";
             return std::string(buf) == "unknown" ? "" : "failed with \"" + std::string(buf) + "\" in the buffer";
         },
         // A read error ends the text like the file's end: no message.
         [] {}, false},
        {"COM_LoadDataFromFile", [&] { fresh(block); std::memset(buf, 0, sizeof buf); },
         [&]() -> long { return COM_LoadDataFromFile(target.c_str(), buf, static_cast<int>(block.size())); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return std::memcmp(buf, block.data(), block.size()) == 0 ? "" : "succeeded with other bytes";
             // 1: some bytes (a short read); else read's own 0 or -1.
             if (rc == 1 || rc == -1)
                 return "";
             return "result " + std::to_string(rc);
         },
         [] {}, false},
        {"COM_MakeFileMD5", [&] { fresh(block); std::strcpy(text, "before"); },
         [&]() -> long { return COM_MakeFileMD5(text, target.c_str()); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return md5 == text ? "" : "succeeded with digest " + std::string(text);
             // A failing close after the whole file was read leaves its
             // true digest.
             return std::string(text) == "before" || md5 == text ? "" : "failed and changed the text to " + std::string(text);
         },
         // The result after hashing is close's own, without a message.
         [] {}, false},
        {"COM_ReadHexDataInStrFormat",
         [&] {
             fresh("00 1a ff\n" + std::string(300, '7') + "\n");
             hexfd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
             hex = nullptr;
         },
         [&]() -> long { return COM_ReadHexDataInStrFormat(hexfd, &hex); },
         // Read errors end the dump with the digits read so far.
         [&](long rc, bool) -> std::string {
             std::string all = "001aff" + std::string(300, '7');
             if (rc < 0 || rc > static_cast<long>(all.size()))
                 return "result " + std::to_string(rc);
             if (rc > 0 && (!hex || std::string(hex, static_cast<size_t>(rc)) != all.substr(0, static_cast<size_t>(rc))))
                 return "the digits are not the file's";
             return "";
         },
         [&] {
             std::free(hex);
             hex = nullptr;
             ::close(hexfd);
         },
         false},
        {"COM_Rmdir", [&] { fresh(""); ::unlink(target.c_str()); dvrtest::make_dirs(dir + "/empty"); },
         [&]() -> long { return COM_Rmdir(empty.c_str()); },
         [&](long rc, bool) -> std::string {
             bool gone = file_or_absent(dir + "/empty") == "(absent)";
             return (rc == 0) == gone ? "" : rc == 0 ? "succeeded but the directory stays" : "failed but the directory is gone";
         }},
        {"COM_RemoveFileInDir",
         [&] {
             fresh("x");
             dvrtest::make_dirs(dir + "/tree/a/b");
             dvrtest::write_file(dir + "/tree/f1", "1");
             dvrtest::write_file(dir + "/tree/a/f2", "2");
             dvrtest::write_file(dir + "/tree/a/b/f3", "3");
         },
         [&]() -> long { return COM_RemoveFileInDir(1, tree.c_str()); },
         // The count of entries it could not remove. A directory that cannot
         // be opened, or removed once emptied, is reported but not counted
         // (as the callers expect): then only the report shows it.
         [&](long rc, bool failed) -> std::string {
             if (rc < 0)
                 return "result " + std::to_string(rc);
             if (!failed && count_dir(tree.c_str()) != -1)
                 return "nothing failed but the tree stays";
             return "";
         },
         [] {}, false},
        {"COM_Mkdir", [&] { fresh(""); },
         [&]() -> long { return COM_Mkdir(deep.c_str(), 0755); },
         [&](long rc, bool) -> std::string {
             struct stat st {};
             bool there = ::stat((dir + "/m/n/o").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
             return (rc == 0) == there ? "" : rc == 0 ? "succeeded without the directory" : "failed with the directory made";
         },
         [] {}, false},
    };
    expect_held(run_table("file writers and readers", table));
}

// ---------------------------------------------------------------------
// Processes.

std::vector<std::string> gLines;
void collect_line(const char *line, int32_t) { gLines.push_back(line ? line : "(end)"); }

TEST_F(Faults, Processes)
{
    int pid = 0;
    COM_WATCHDOG_ITEM item{};
    COM_WATCHDOG_LIST list{};
    int mem = 0, swap = 0;
    std::vector<Case> table = {
        {"COM_System", [&] { pid = 0; }, [&]() -> long { return COM_System("/bin/true", &pid); },
         [&](long rc, bool) -> std::string { return rc == 0 || rc == -1 ? "" : "result " + std::to_string(rc); }},
        {"COM_System (exit status)", [&] { pid = 0; }, [&]() -> long { return COM_System("/bin/false", &pid); },
         [&](long rc, bool failed) -> std::string {
             return rc == 256 || (failed && rc == -1) ? "" : "result " + std::to_string(rc);
         }},
        {"COM_PopenRead", [&] { gLines.clear(); gLines.reserve(16); },
         [&]() -> long { return COM_PopenRead("echo one; echo two", nullptr, 0, collect_line); },
         [&](long rc, bool) -> std::string {
             std::string all;
             for (const std::string &l : gLines)
                 all += l + "|";
             // A read error ends the output like its end, and the result is
             // the command's status: 0, or its death by SIGPIPE when it was
             // still writing. The lines handed over are the first ones.
             const char *hit = gInj.hit_name.load();
             if (hit && std::strncmp(hit, "posix/io/rw/read", 16) == 0 &&
                 (rc == 0 || (WIFSIGNALED(rc) && WTERMSIG(rc) == SIGPIPE)))
                 return all == "(end)|" || all == "one\n|(end)|" || all == "one\n|two\n|(end)|" ? "" : "lines " + all;
             if (rc == 0)
                 return all == "one\n|two\n|(end)|" ? "" : "succeeded with lines " + all;
             return rc == -1 ? "" : "result " + std::to_string(rc);
         }},
        {"COM_CreateThreadWatchdog and COM_DestroyThreadWatchdog", [] {},
         [&]() -> long {
             int made = COM_CreateThreadWatchdog(1);
             int ended = COM_DestroyThreadWatchdog();
             return made == 0 && ended == 0 ? 0 : made != 0 ? made : -1;
         },
         [&](long rc, bool failed) -> std::string {
             // pthread_create's own error number when the thread cannot start.
             return rc == 0 || (failed && rc != 0) ? "" : "result " + std::to_string(rc);
         },
         [] {}, false},
        {"COM_WatchDog",
         [&] {
             item = COM_WATCHDOG_ITEM{"/bin/this-program-does-not-run", 7, nullptr};
             list = COM_WATCHDOG_LIST{1, &item};
         },
         [&]() -> long { return COM_WatchDog(&list); },
         [&](long rc, bool failed) -> std::string {
             if (!failed)
                 return rc == 0 && item.nFound == 0 ? "" : "result " + std::to_string(rc);
             return "";
         },
         [] {}, false},
        {"COM_GetFreeMemAndSwap", [&] { mem = swap = -7; },
         [&]() -> long { return COM_GetFreeMemAndSwap(&mem, &swap); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return mem >= 0 && swap >= 0 ? "" : "succeeded without the figures";
             return rc == -1 ? "" : "result " + std::to_string(rc);
         },
         [] {}, false},
    };
    expect_held(run_table("processes", table));
}

// ---------------------------------------------------------------------
// Network: a scripted web server and name server of the test's own, each
// a child process on a loopback address of this process.

std::string own_loopback()
{
    unsigned pid = static_cast<unsigned>(::getpid());
    return "127.81." + std::to_string((pid / 250) % 250 + 1) + "." + std::to_string(pid % 250 + 1);
}

// A child serving `serve(fd)` on a socket bound to addr:port (port 0: any);
// the port bound is stored. Killed with the test process.
pid_t serve_child(const std::string &addr, int type, int &port, const std::function<void(int)> &serve)
{
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        serve(fd);
        ::_exit(0);
    }
    ::close(fd);
    return pid;
}

void http_serve(int lfd)
{
    for (;;) {
        int c = ::accept(lfd, nullptr, nullptr);
        if (c < 0)
            continue;
        std::string req;
        char b[4096];
        size_t body = 0;
        for (;;) {
            size_t end = req.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t cl = req.find("Content-Length: ");
                size_t want = cl == std::string::npos ? 0 : std::strtoul(req.c_str() + cl + 16, nullptr, 10);
                body = req.size() - end - 4;
                if (body >= want)
                    break;
            }
            ssize_t n = ::read(c, b, sizeof b);
            if (n <= 0)
                break;
            req.append(b, static_cast<size_t>(n));
        }
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
        (void)!::write(c, reply, sizeof reply - 1);
        ::close(c);
    }
}

void dns_serve(int fd)
{
    for (;;) {
        dvrtest::dns::Bytes q(512);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 17)
            continue;
        q.resize(static_cast<size_t>(n));
        size_t end = 12;
        while (end < q.size() && q[end] != 0)
            end += q[end] + 1u;
        uint16_t type = static_cast<uint16_t>(q[end + 1] << 8 | q[end + 2]);
        dvrtest::dns::Response r(q, 1);
        if (type == dvrtest::dns::kTypeMx)
            r.mx(12, 10, "mail.example.test");
        else
            r.a(12, "10.1.2.3");
        ::sendto(fd, r.b.data(), r.b.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
}

TEST_F(Faults, Network)
{
    const std::string addr = own_loopback();
    int http_port = 0, dns_port = 53;
    pid_t web = serve_child(addr, SOCK_STREAM, http_port, http_serve);
    pid_t ns = serve_child(addr, SOCK_DGRAM, dns_port, dns_serve);
    ASSERT_GT(web, 0);
    ASSERT_GT(ns, 0);
    dvrtest::make_dirs(tmp_ / "root/etc");
    dvrtest::write_file(tmp_ / "root/etc/resolv.conf", "nameserver " + addr + "\n");
    dvrtest::ScopedEnv root("DVRPLAT_ROOT", tmp_ / "root");
    // The servers are children too: the runner's check of children left
    // over counts only those beyond them.
    const std::string url = addr + ":" + std::to_string(http_port) + "/index.html";
    char *content = nullptr;
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX]{};
    char text[64];
    auto http_check = [&](long rc, bool) -> std::string {
        if (rc > 0)
            return rc == 6 && content && std::string(content) == "hello" ? "" : "succeeded with other content";
        return rc == 0 || rc == -1 ? "" : "result " + std::to_string(rc);
    };
    auto http_free = [&] {
        std::free(content);
        content = nullptr;
    };
    auto dns_check = [&](const char *ip) {
        return [&, ip](long rc, bool) -> std::string {
            if (rc == 0)
                return rec[0].flag == 1 && dvrtest::dns::ip_text(rec[0].ip) == ip ? "" : "succeeded with another address";
            return rc == -1 || rc == -2 ? "" : "result " + std::to_string(rc);
        };
    };
    std::vector<Case> table = {
        {"COM_GetHttpContent", [&] { content = nullptr; },
         [&]() -> long { return COM_GetHttpContent(url.c_str(), &content, nullptr); }, http_check, http_free},
        {"COM_PostHttpContent", [&] { content = nullptr; },
         [&]() -> long { return COM_PostHttpContent(url.c_str(), &content, nullptr, "a=1&b=2"); }, http_check,
         http_free},
        {"DNS_GetA", [&] { std::memset(rec, 0, sizeof rec); },
         [&]() -> long { return DNS_GetA("host.example.test", rec); }, dns_check("10.1.2.3")},
        {"DNS_GetMX", [&] { std::memset(rec, 0, sizeof rec); },
         [&]() -> long { return DNS_GetMX("example.test", rec); }, dns_check("10.1.2.3")},
        {"COM_GetNetInfo", [&] { std::memset(text, 0, sizeof text); },
         [&]() -> long { return COM_GetNetInfo(COM_NETINFO_IP, "lo", text); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return std::string(text) == "127.0.0.1" ? "" : "succeeded with " + std::string(text);
             return rc == -1 ? "" : "result " + std::to_string(rc);
         },
         // The address request's failure gives the placeholder without a
         // message, as the callers know it.
         [] {}, false},
    };
    gServers = 2;
    Figures fig = run_table("network", table);
    gServers = 0;
    ::kill(web, SIGKILL);
    ::kill(ns, SIGKILL);
    ::waitpid(web, nullptr, 0);
    ::waitpid(ns, nullptr, 0);
    expect_held(fig);
}

// ---------------------------------------------------------------------
// Devices: the serial port's open and set-up on a pseudo-terminal, the
// discovery, an INQUIRY and a disc query on a simulated machine (a board
// root with a SCSI writer holding a CD-R), and the register window and a
// layout on the board simulator.

// What a disc query left in a record after a failure: each field the one a
// query with nothing failing found, or 0 (a step that failed).
std::string disc_fields_or_zero(const DEV_DISC_INFO &now, const DEV_DISC_INFO &good)
{
    std::string bad;
    auto field = [&](const char *name, auto a, auto b) {
        if (a != b && a != 0)
            bad += std::string(bad.empty() ? "" : ", ") + name + " " + std::to_string(a) + " (not " + std::to_string(b) + " or 0)";
    };
    field("type1", now.type1, good.type1);
    field("type2", now.type2, good.type2);
    field("type3", now.type3, good.type3);
    field("sub_type", now.sub_type, good.sub_type);
    field("reseved_flag", now.reseved_flag, good.reseved_flag);
    field("appendable", now.appendable, good.appendable);
    field("last_lead_in", now.last_lead_in, good.last_lead_in);
    field("next_lead_in", now.next_lead_in, good.next_lead_in);
    field("last_track", now.last_track, good.last_track);
    field("total_session", now.total_session, good.total_session);
    field("free_blocks", now.free_blocks, good.free_blocks);
    field("track_size", now.track_size, good.track_size);
    field("total_capacity", now.total_capacity, good.total_capacity);
    field("used_capacity", now.used_capacity, good.used_capacity);
    return bad;
}

TEST_F(Faults, Devices)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string tty = ::ptsname(master);
    COM_TERM_DEV_INFO term{};
    const std::string root = tmp_ / "machine";
    dvrtest::SimDrive writer = dvrtest::scsi_drive(5, 0, 0, "PIONEER", "DVD-RW  DVR-111D", "sbp2");
    writer.medium = dvrtest::real_disc("cd-r-open");
    dvrtest::write_machine(root, {}, {{"/dev/scd0", 0, writer}}, false, "");
    std::vector<DEV_INFO> devs(DEV_MAX_DEVICES);
    dvrtest::ScopedEnv env("DVRPLAT_ROOT", root);
    const std::string sim = tmp_ / "board.sim";
    dvrtest::ScopedEnv fpga_env("DVRPLAT_FPGA_SIM", sim);
    ASSERT_EQ(fpga_open(), 0);
    const std::string sg = root + "/dev/sg0";
    int sgfd = -1;
    char model[32];
    DEV_INFO disc{};
    // The disc query's record with nothing failing (checked against the
    // disc's description in the counting run).
    DEV_DISC_INFO good_disc{};
    bool have_good_disc = false;
    // A 2x2 layout of cameras 3, 5, 7 and 9 on output 0 with camera 7
    // blanked: paths A3 A5 BF A9, columns 0 6 0 6, rows 0 0 30 30.
    const unsigned char cameras[4] = {3, 5, 7, 9};
    const int paths[4] = {0xA3, 0xA5, 0xBF, 0xA9}, cols[4] = {0, 6, 0, 6}, rows[4] = {0, 0, 30, 30};
    std::vector<Case> table = {
        // Opened and closed again: a set-up that fails leaves the device
        // open for the caller to close.
        {"COM_OpenTermDevice and COM_CloseTermDevice",
         [&] {
             term = COM_TERM_DEV_INFO{};
             std::strcpy(term.devname, tty.c_str());
             term.direction = 2;
             term.speed = B9600;
         },
         [&]() -> long {
             int rc = COM_OpenTermDevice(tty.c_str(), &term);
             if (rc != -2)
                 COM_CloseTermDevice(&term);
             return rc;
         },
         [&](long rc, bool) -> std::string { return rc == 0 || rc == -1 || rc == -2 ? "" : "result " + std::to_string(rc); }},
        {"Dev_Get", [&] { std::fill(devs.begin(), devs.end(), DEV_INFO{}); },
         [&]() -> long { return Dev_Get(devs.data()); },
         // The drives that could be examined: the one drive, or none.
         [&](long rc, bool failed) -> std::string {
             return rc == 1 || (failed && rc == 0) ? "" : "result " + std::to_string(rc);
         },
         [] {}, false},
        {"Dev_Inquiry",
         [&] {
             sgfd = ::open(sg.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
             std::memset(model, 'x', sizeof model);
         },
         [&]() -> long { return Dev_Inquiry("/dev/scd0", sgfd, model); },
         [&](long rc, bool failed) -> std::string {
             // Vendor and product compacted: letters, digits and single
             // spaces stay.
             if (rc == 1) {
                 std::string got(model, strnlen(model, sizeof model));
                 return got == "PIONEER DVDRW DVR111D" ? "" : "succeeded with model \"" + got + "\"";
             }
             return failed && rc == 0 ? "" : "result " + std::to_string(rc);
         },
         [&] { ::close(sgfd); }},
        {"Dev_GetDiscInfo",
         [&] {
             disc = DEV_INFO{};
             std::strcpy(disc.dev, "/dev/scd0");
             std::strcpy(disc.sg, "/dev/sg0");
             disc.cdrom = 1;
         },
         [&]() -> long { return Dev_GetDiscInfo(&disc); },
         [&](long rc, bool failed) -> std::string {
             const DEV_DISC_INFO &d = disc.details.disc;
             if (!failed) {
                 // A CD-R (type 1, write-once) holding an open session.
                 if (rc != 0 || d.type1 != 1 || d.type2 != 2 || d.appendable != 1)
                     return "result " + std::to_string(rc) + ", type " + std::to_string(d.type1) + "/" +
                            std::to_string(d.type2) + ", appendable " + std::to_string(d.appendable);
                 if (!have_good_disc)
                     good_disc = d;
                 have_good_disc = true;
                 return std::memcmp(&d, &good_disc, sizeof d) == 0 ? "" : "another record with nothing failing";
             }
             if (rc == 0)
                 return disc_fields_or_zero(d, good_disc);
             return rc == -1 || rc == -129 || rc == -130 ? "" : "result " + std::to_string(rc);
         },
         // Steps that fail leave their fields 0 without changing the
         // result, each with its own report or none (a field the drive
         // did not give is no error).
         [] {}, false},
        {"fpga_open (simulator)", [] {}, []() -> long { return fpga_open(); },
         [&](long rc, bool) -> std::string {
             if (rc == 0)
                 return Ce_Cpld != MAP_FAILED ? "" : "succeeded without a window";
             // A failed open leaves the layer unmapped, and register
             // operations touch nothing.
             if (rc != -1 || Ce_Cpld != MAP_FAILED)
                 return "result " + std::to_string(rc) + " with the window " +
                        (Ce_Cpld == MAP_FAILED ? "unmapped" : "mapped");
             fpga_write(0x01, 0, 0x55);
             return fpga_read(0x01, 0) == 0 ? "" : "a register answers with the window unmapped";
         },
         // The window again for the next runs.
         [] { (void)fpga_open(); }},
        {"fpga_4split_disp (simulator)",
         [&] {
             for (int i = 0; i < 48; ++i)
                 fpga_write(0x01, i, 0x11);
         },
         [&]() -> long { return fpga_4split_disp(0, cameras, 1u << 7, 0); },
         [&](long rc, bool failed) -> std::string {
             if (rc != 0)
                 return "result " + std::to_string(rc);
             if (failed)
                 return "";
             std::string bad;
             for (int i = 0; i < 16; ++i) {
                 // Paths past the layout's are off; their positions stay.
                 int want_path = i < 4 ? paths[i] : 0, want_col = i < 4 ? cols[i] : 0x11,
                     want_row = i < 4 ? rows[i] : 0x11;
                 if (fpga_read(0x01, i) != want_path || fpga_read(0x01, 16 + i) != want_col ||
                     fpga_read(0x01, 32 + i) != want_row)
                     bad += " " + std::to_string(i);
             }
             return bad.empty() ? "" : "paths not as laid out:" + bad;
         },
         [] {}, false},
    };
    Figures fig = run_table("devices", table);
    ::close(master);
    expect_held(fig);
}

// ---------------------------------------------------------------------
// Mounts: an ext2 image on a loop device mounted by automatic detection
// and unmounted, by the mount point and by the device node.

// The device mounted on dir as the kernel lists it ("" when none).
std::string mounted_on(const std::string &dir)
{
    std::string dev;
    FILE *f = std::fopen("/proc/self/mounts", "r");
    char d[512], m[512];
    while (f && std::fscanf(f, "%511s %511s %*[^\n]", d, m) == 2)
        if (dir == m)
            dev = d;
    if (f)
        std::fclose(f);
    return dev;
}

TEST_F(Faults, Mounts)
{
    const std::string image = tmp_ / "ext2.img";
    dvrtest::make_image(image, 8 << 20);
    ASSERT_EQ(dvrtest::shell("mkfs.ext2 -q -F '" + image + "' >/dev/null 2>&1").status, 0);
    dvrtest::RunResult loop = dvrtest::shell("losetup --find --show '" + image + "'");
    std::string dev = loop.out.substr(0, loop.out.find('\n'));
    if (loop.status != 0 || dev.empty()) {
        if (dvrtest::fixtures_required())
            FAIL() << "no loop device: " << loop.err;
        GTEST_SKIP() << "no loop device: " << loop.err;
    }
    struct Detach {
        std::string dev, mnt;
        ~Detach()
        {
            ::umount2(mnt.c_str(), MNT_DETACH);
            dvrtest::shell("losetup -d '" + dev + "'");
        }
    };
    const std::string root = tmp_ / "root", mnt = tmp_ / "mnt";
    Detach detach{dev, mnt};
    dvrtest::make_dirs(mnt);
    dvrtest::make_dirs(root + "/proc");
    dvrtest::write_file(root + "/proc/filesystems", "nodev\tproc\n\text3\n\text2\n");
    dvrtest::ScopedEnv env("DVRPLAT_ROOT", root);
    // Each run reads the file-system list afresh, so its reading fails in
    // turn too.
    auto unmounted = [&] {
        while (!mounted_on(mnt).empty() && ::umount2(mnt.c_str(), 0) == 0) {
        }
        gDevFsInit = 0;
        for (DEV_FS_ENTRY &row : gDevFS)
            row.available = 1;
    };
    auto mount_it = [&] {
        unmounted();
        ASSERT_EQ(::mount(dev.c_str(), mnt.c_str(), "ext2", 0, ""), 0) << std::strerror(errno);
    };
    // The mount's state must agree with the result, whatever failed.
    auto mounted_if = [&](bool want) -> std::string {
        std::string on = mounted_on(mnt);
        if (want)
            return on == dev ? "" : "succeeded but " + (on.empty() ? "nothing" : on) + " is mounted";
        return on.empty() ? "" : "failed but " + on + " stays mounted";
    };
    std::vector<Case> table = {
        {"Dev_Mount (automatic detection)", unmounted,
         [&]() -> long { return Dev_Mount(dev.c_str(), mnt.c_str(), DEV_FS_AUTO); },
         [&](long rc, bool) -> std::string {
             return rc == 0 || rc == -1 ? mounted_if(rc == 0) : "result " + std::to_string(rc);
         },
         // A mount attempt is a probe: the ones that fail are not reported
         // (automatic detection fails many before one fits).
         unmounted, false},
        {"Dev_Mount (ext2 chosen)", unmounted, [&]() -> long { return Dev_Mount(dev.c_str(), mnt.c_str(), 1); },
         [&](long rc, bool) -> std::string {
             return rc == 0 || rc == -1 ? mounted_if(rc == 0) : "result " + std::to_string(rc);
         },
         unmounted, false},
        {"Dev_uMount (mount point)", mount_it, [&]() -> long { return Dev_uMount(mnt.c_str()); },
         [&](long rc, bool) -> std::string {
             return rc == 0 || rc == -1 ? mounted_if(rc != 0) : "result " + std::to_string(rc);
         },
         unmounted},
        {"Dev_uMount (device node)", mount_it, [&]() -> long { return Dev_uMount(dev.c_str()); },
         [&](long rc, bool) -> std::string {
             return rc == 0 || rc == -1 ? mounted_if(rc != 0) : "result " + std::to_string(rc);
         },
         unmounted},
    };
    expect_held(run_table("mounts", table));
}

// ---------------------------------------------------------------------
// The board root's files, the disk identities, and the calls that only
// allocate: every allocation and every file call fails in turn.

TEST_F(Faults, BoardFilesIdentitiesAndAllocations)
{
    const std::string root = tmp_ / "a-board-root-long-enough-to-need-the-heap";
    const std::string mnt = root + "/mnt/disk";
    const std::string serial = "     WD-WMAJ91234567";
    dvrtest::make_dirs(root + "/etc");
    dvrtest::make_dirs(root + "/proc/ide/hda");
    dvrtest::make_dirs(mnt);
    dvrtest::write_file(root + "/etc/resolv.conf", "nameserver 127.0.0.1\n");
    dvrtest::write_file(root + "/proc/mounts", "rootfs / rootfs rw 0 0\n/dev/hda1 " + mnt + " ext2 rw 0 0\n");
    dvrtest::write_file(root + "/proc/ide/hda/identify",
                        dvrtest::ide_dump(dvrtest::ata_identify(serial, "20.06C06", std::string(40, 'M'))));
    dvrtest::ScopedEnv env("DVRPLAT_ROOT", root);
    const std::string model_file = root + "/etc/Model";
    const std::string id_file = mnt + "/ID";
    char buf[256];
    char sn[21];
    char table[DNS_NAMESERVER_MAX][DNS_NAMESERVER_LEN];
    char *heap = nullptr;
    COM_XML_ITEM xml{};
    const char *xml_text = "<ROOT><DATA Name=\"Speed\" Type=\"1\" Value=\"fast\"/></ROOT>";
    std::vector<Case> cases = {
        {"COM_GetModelName", [&] { dvrtest::write_file(model_file, "DVR-16\n"); buf[0] = '\0'; },
         [&]() -> long { return COM_GetModelName(buf, sizeof buf); },
         [&](long rc, bool) -> std::string {
             std::string got = buf;
             return (rc == 0 && got == "DVR-16") || (rc == -1 && got == "unknown") ? "" : "result " + std::to_string(rc) + ", \"" + got + "\"";
         },
         [] {}, false},
        {"COM_SetModelName", [&] { dvrtest::write_file(model_file, "DVR-16"); },
         [&]() -> long { return COM_SetModelName("DVR-16X"); },
         [&](long rc, bool) { return both(old_or_new(model_file, "DVR-16", "DVR-16X", rc == 0), leftovers(root + "/etc", {"Model", "resolv.conf"})); }},
        {"Dev_SaveID", [&] { dvrtest::write_file(id_file, "OLD-DISK"); },
         [&]() -> long { return Dev_SaveID(mnt.c_str()); },
         [&](long rc, bool) { return both(old_or_new(id_file, "OLD-DISK", serial, rc == 0), leftovers(mnt, {"ID"})); },
         [] {}, false},
        {"Dev_GetIDViaMount (made when missing)", [&] { ::unlink(id_file.c_str()); buf[0] = '\0'; },
         [&]() -> long { return Dev_GetIDViaMount(buf, mnt.c_str()); },
         [&](long rc, bool) -> std::string {
             std::string now = file_or_absent(id_file);
             if (rc == 0)
                 return std::string(buf) == serial && now == serial ? "" : "succeeded with \"" + std::string(buf) + "\"";
             return now == "(absent)" || now == serial ? "" : "the ID file holds " + std::to_string(now.size()) + " other bytes";
         },
         [] {}, false},
        {"Dev_GetDevIdentify", [&] { std::memset(sn, 0, sizeof sn); },
         [&]() -> long { return Dev_GetDevIdentify("/dev/hda", sn, nullptr, nullptr); },
         [&](long rc, bool) -> std::string {
             return (rc == 0 && std::string(sn) == serial) || rc == -1 ? "" : "result " + std::to_string(rc);
         },
         [] {}, false},
        {"Dev_GetMPT", [&] { buf[0] = '\0'; }, [&]() -> long { return Dev_GetMPT("/dev/hda1", buf); },
         [&](long rc, bool) -> std::string { return (rc == 0 && mnt == buf) || rc == -1 ? "" : "result " + std::to_string(rc); },
         [] {}, false},
        {"DNS_GetNameServer", [&] { std::memset(table, 0, sizeof table); },
         [&]() -> long { return DNS_GetNameServer(table); },
         [&](long rc, bool) -> std::string {
             return (rc == 1 && std::string(table[0]) == "127.0.0.1") || rc == 0 ? "" : "result " + std::to_string(rc);
         }},
        {"COM_Message", [] {}, [&]() -> long { return COM_Message("faults", 1, "fn", "%s %d\n", "text", 7); },
         [&](long rc, bool) -> std::string { return rc == 27 || rc == -1 || rc > 0 ? "" : "result " + std::to_string(rc); },
         [] {}, false},
        {"COM_ReallocAndCopyBuf",
         [&] {
             heap = static_cast<char *>(std::malloc(4));
             std::memcpy(heap, "abc", 4);
         },
         [&]() -> long { return COM_ReallocAndCopyBuf(100, &heap, 3, "defg", 5) ? 0 : -1; },
         [&](long rc, bool) -> std::string {
             // The old buffer stays whole when the new one cannot be had.
             if (rc == 0)
                 return std::string(heap) == "abcdefg" ? "" : "grown to \"" + std::string(heap) + "\"";
             return std::string(heap) == "abc" ? "" : "the old buffer changed";
         },
         [&] {
             std::free(heap);
             heap = nullptr;
         }},
        {"COM_ParserXml", [&] { xml = COM_XML_ITEM{}; std::strcpy(xml.Name, "Speed"); },
         [&]() -> long { return COM_ParserXml(xml_text, &xml); },
         [&](long rc, bool) -> std::string { return rc == 0 || rc == -1 ? "" : "result " + std::to_string(rc); },
         [] {}, false},
    };
    expect_held(run_table("board files, identities and allocations", cases));
}

} // namespace
