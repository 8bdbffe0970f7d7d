// labels: threads
// Process helpers with real child processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if !defined(DVRPLAT_CROSSCOMPILING)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include "COMMON.h"
#include "process_internal.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::make_dirs;
using dvrtest::read_file;
using dvrtest::ScopedEnv;
using dvrtest::TempDir;
using dvrtest::write_file;

namespace {

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Unsets an environment variable for the scope.
class NoEnv {
public:
    explicit NoEnv(const char *name) : name_(name)
    {
        if (const char *v = std::getenv(name)) {
            had_ = true;
            old_ = v;
        }
        ::unsetenv(name);
        dvrtest::board_root_changed();
    }
    ~NoEnv()
    {
        if (had_)
            ::setenv(name_.c_str(), old_.c_str(), 1);
        dvrtest::board_root_changed();
    }

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Starts argv as a child process (no shell); returns its id.
pid_t spawn(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Ends and reaps a spawned child that a failing test left running.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// ---------------------------------------------------------------------
// COM_System, COM_ParserCMD
// ---------------------------------------------------------------------

TEST(System, ExitStatusOfTheCommand)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("true and false");
    EXPECT_EQ(COM_System("/bin/true", nullptr), 0);
    int st = COM_System("/bin/false", nullptr);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);

    CaptureStdout cap;
    EXPECT_EQ(COM_System(nullptr, nullptr), -1);
    EXPECT_TRUE(contains(cap.take(), "MODULES/COMMON,") );
}

TEST(System, SplitsAtSpacesOnly)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("printf");
    struct Case {
        std::string cmd, out;
    } cases[] = {
        {"/usr/bin/printf [%s]\\n a b", "[a]\n[b]\n"},
        {"   /usr/bin/printf  [%s]\\n   a    b   ", "[a]\n[b]\n"},
        {"/usr/bin/printf [%s]\\n 'b c' \"q\" x\ty back\\slash", "['b]\n[c']\n[\"q\"]\n[x\ty]\n[back\\slash]\n"},
    };
    for (const Case &c : cases) {
        CaptureStdout cap;
        EXPECT_EQ(COM_System(c.cmd.c_str(), nullptr), 0) << c.cmd;
        EXPECT_EQ(cap.take(), c.out) << c.cmd;
    }
}

TEST(System, ProgramNotFoundGives127WithoutFlushingTheParent)
{
    struct Case {
        const char *cmd, *path;
    } cases[] = {{"true", "true"}, {"/nonexistent/program arg", "/nonexistent/program"}, {"   ", ""}};
    for (const Case &c : cases) {
        const char *cmd = c.cmd;
        CaptureStdout cap;
        std::printf("pending|"); // left in the parent's stdio buffer
        int st = COM_System(cmd, nullptr);
        std::fflush(stdout);
        std::string out = cap.take();
        ASSERT_TRUE(WIFEXITED(st)) << cmd;
        EXPECT_EQ(WEXITSTATUS(st), 127) << cmd;
        EXPECT_TRUE(contains(out, ":COM_ParserCMD(): [" + std::string(c.path) + "] error : No such file or directory\n"))
            << out;
        // The child's exit did not flush the parent's pending text.
        size_t first = out.find("pending|");
        EXPECT_NE(first, std::string::npos);
        EXPECT_EQ(out.find("pending|", first + 1), std::string::npos) << out;
    }
}

TEST(System, RefusesCommandLinesBeyondTheTokenTable)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("true");
    std::string ok = "/bin/true";
    for (int i = 0; i < 126; ++i)
        ok += " a";
    EXPECT_EQ(COM_System(ok.c_str(), nullptr), 0); // 127 tokens
    std::string many = ok + " a";
    std::string tok127 = "/bin/true " + std::string(127, 't');
    std::string tok128 = "/bin/true " + std::string(128, 't');
    EXPECT_EQ(COM_System(tok127.c_str(), nullptr), 0);
    for (const std::string &cmd : {many, tok128}) {
        CaptureStdout cap;
        EXPECT_EQ(COM_System(cmd.c_str(), nullptr), -1);
        std::string out = cap.take();
        EXPECT_TRUE(contains(out, ":COM_System(): [/bin/true ")) << out;
    }
    // The splitter itself refuses them too, without running anything (a
    // program that is not there: a splitter that let them through would
    // report its exec failing, not replace this test with the program).
    std::string many_absent = "/nonexistent/true";
    for (int i = 0; i < 127; ++i)
        many_absent += " a";
    const std::string tok128_absent = "/nonexistent/true " + std::string(128, 't');
    CaptureStdout cap;
    EXPECT_GT(COM_ParserCMD(many_absent.c_str()), 0);
    EXPECT_GT(COM_ParserCMD(tok128_absent.c_str()), 0);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "COM_ParserCMD(): too many arguments (more than 127)\n")) << out;
    EXPECT_TRUE(contains(out, "COM_ParserCMD(): argument of more than 127 characters\n")) << out;
}

TEST(System, ChildIdIsSharedWhileWaitingAndSignalsAreRestored)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("sleep");
    struct sigaction mine {}, before {};
    mine.sa_handler = [](int) {};
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &mine, &before), 0);

    int pid = 0;
    std::atomic<bool> saw_ignored{false};
    std::atomic<int> seen{0};
    std::thread killer([&] {
        for (int i = 0; i < 10000 && __atomic_load_n(&pid, __ATOMIC_SEQ_CST) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int p = __atomic_load_n(&pid, __ATOMIC_SEQ_CST);
        seen = p;
        struct sigaction now {};
        ::sigaction(SIGINT, nullptr, &now);
        saw_ignored = now.sa_handler == SIG_IGN;
        if (p > 0)
            COM_KillPid(p, 0);
    });
    int st = COM_System("/bin/sleep 30", &pid);
    killer.join();
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(pid, 0);
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_TRUE(saw_ignored.load());

    struct sigaction after {};
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, mine.sa_handler);
    sigset_t mask;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_FALSE(sigismember(&mask, SIGCHLD));
    ::sigaction(SIGINT, &before, nullptr);
}

TEST(System, OverlappingCallersRestoreTheSignalsAndChildrenNeverInheritIgnore)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("sleep");
    // Each probe exits 0 only when it started with SIGINT and SIGQUIT not
    // ignored (bits 2 and 3 of its SigIgn mask).
    TempDir t;
    const std::string probe = t / "probe";
    write_file(probe, "#!/bin/sh\n"
                      "m=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)\n"
                      "[ $(( 0x$m & 6 )) -eq 0 ]\n");
    ASSERT_EQ(::chmod(probe.c_str(), 0755), 0);

    struct sigaction mine {}, before_int {}, before_quit {};
    mine.sa_handler = [](int) {};
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &mine, &before_int), 0);
    ASSERT_EQ(::sigaction(SIGQUIT, &mine, &before_quit), 0);

    constexpr int kThreads = 8, kCalls = 50;
    std::atomic<int> failed_calls{0}, ignoring_children{0}, probes{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            for (int i = 0; i < kCalls; ++i) {
                const bool is_probe = (i + n) % 5 == 0;
                int st = COM_System(is_probe ? probe.c_str() : "/bin/true", nullptr);
                if (st == -1 || !WIFEXITED(st))
                    ++failed_calls;
                else if (is_probe) {
                    ++probes;
                    if (WEXITSTATUS(st) != 0)
                        ++ignoring_children;
                }
                if ((i * 7 + n) % 3 == 0)
                    std::this_thread::yield(); // vary the overlaps
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(failed_calls.load(), 0);
    EXPECT_GT(probes.load(), 0);
    EXPECT_EQ(ignoring_children.load(), 0) << "children started with SIGINT or SIGQUIT ignored";

    struct sigaction now_int {}, now_quit {};
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &now_int), 0);
    ASSERT_EQ(::sigaction(SIGQUIT, nullptr, &now_quit), 0);
    EXPECT_EQ(now_int.sa_handler, mine.sa_handler);
    EXPECT_EQ(now_quit.sa_handler, mine.sa_handler);
    ::sigaction(SIGINT, &before_int, nullptr);
    ::sigaction(SIGQUIT, &before_quit, nullptr);
}

TEST(System, CancelledWhileWaitingEndsTheChildAndRestoresSignals)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("sleep");
    struct sigaction mine {}, before {};
    mine.sa_handler = [](int) {};
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &mine, &before), 0);

    static int pid = 0;
    pid = 0;
    pthread_t th;
    auto body = +[](void *) -> void * {
        // A child that never ends by itself: a cancelled call that waited
        // for it without ending it would never return.
        COM_System("/bin/sleep infinity", &pid);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, nullptr, body, nullptr), 0);
    int child = 0;
    for (int i = 0; i < 10000 && (child = __atomic_load_n(&pid, __ATOMIC_SEQ_CST)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(child, 0);
    ASSERT_EQ(pthread_cancel(th), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(th, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);

    // The child has been ended and reaped, and the caller's variable cleared.
    bool gone = ::kill(child, 0) != 0 && errno == ESRCH;
    if (!gone) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    EXPECT_TRUE(gone);
    EXPECT_EQ(__atomic_load_n(&pid, __ATOMIC_SEQ_CST), 0);
    struct sigaction after {};
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, mine.sa_handler);
    ASSERT_EQ(::sigaction(SIGQUIT, nullptr, &after), 0);
    EXPECT_NE(after.sa_handler, SIG_IGN);
    ::sigaction(SIGINT, &before, nullptr);
}

// (Not with the sanitizers, which bring their own allocator, nor in the
// statically linked cross build, where the C library's allocator cannot be
// replaced.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(DVRPLAT_CROSSCOMPILING)
} // namespace

// The allocator of this test program: while g_no_alloc_outside holds the
// test's process id, an allocation in any other process (the child of
// COM_System before exec) ends that process with status 99.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
static std::atomic<pid_t> g_no_alloc_outside{0};
static void allocation_check()
{
    pid_t p = g_no_alloc_outside.load(std::memory_order_relaxed);
    if (p != 0 && ::getpid() != p)
        ::_exit(99);
}
extern "C" void *malloc(size_t n)
{
    allocation_check();
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m)
{
    allocation_check();
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n)
{
    allocation_check();
    return __libc_realloc(p, n);
}

namespace {

// Between fork and exec the child may not allocate (another thread may
// have held an allocator lock at fork), also not when the program cannot
// be run and the child reports it.
TEST(System, ChildDoesNotAllocateBeforeExec)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("true");
    std::string many_args = "/bin/true";
    for (int i = 0; i < 126; ++i)
        many_args += " arg";
    struct Case {
        const char *cmd;
        int exit_code;
    } cases[] = {{"/bin/true", 0}, {many_args.c_str(), 0}, {"/nonexistent/program a b", 127}, {"", 127}};
    for (const Case &c : cases) {
        CaptureStdout cap;
        g_no_alloc_outside = ::getpid();
        int st = COM_System(c.cmd, nullptr);
        g_no_alloc_outside = 0;
        cap.take();
        ASSERT_TRUE(WIFEXITED(st)) << c.cmd;
        EXPECT_EQ(WEXITSTATUS(st), c.exit_code) << c.cmd;
    }
}
#endif

TEST(System, ChildKeepsOnlyStandardDescriptors)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("ls");
    TempDir t;
    // A descriptor without close-on-exec at a number of its own.
    int fd = ::open((t / "open-file").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, 57), 57);
    ::close(fd);
    CaptureStdout cap;
    EXPECT_EQ(COM_System("/bin/ls /proc/self/fd", nullptr), 0);
    std::string out = cap.take();
    ::close(57);
    // ls itself has its listing open (3); nothing else is inherited.
    EXPECT_TRUE(contains(out, "0\n1\n2\n")) << out;
    EXPECT_FALSE(contains(out, "57")) << out;
}

int count_open_fds_above_2()
{
    int n = 0;
    for (int fd = 3; fd < 1024; ++fd)
        if (::fcntl(fd, F_GETFD) != -1)
            ++n;
    return n;
}

TEST(CloseFdExceptSTD, ClosesAllButTheStandardOnes)
{
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(1, 40);
        ::dup2(1, 700);
        COM_CloseFdExceptSTD(::getpid());
        bool std_ok = ::fcntl(0, F_GETFD) != -1 && ::fcntl(1, F_GETFD) != -1 && ::fcntl(2, F_GETFD) != -1;
        ::_exit(std_ok && count_open_fds_above_2() == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

#if !defined(DVRPLAT_CROSSCOMPILING) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// On a kernel without close_range the descriptors are found by listing
// /proc/<pid>/fd: the child here makes close_range fail with ENOSYS.
TEST(CloseFdExceptSTD, ListsTheDescriptorsWithoutCloseRange)
{
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 436 /* close_range */, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
            ::_exit(3);
        if (::syscall(436, 3U, ~0U, 0U) != -1 || errno != ENOSYS)
            ::_exit(4);
        for (int fd : {3, 40, 41, 300, 1000})
            ::dup2(1, fd);
        COM_CloseFdExceptSTD(::getpid());
        bool std_ok = ::fcntl(0, F_GETFD) != -1 && ::fcntl(1, F_GETFD) != -1 && ::fcntl(2, F_GETFD) != -1;
        ::_exit(std_ok && count_open_fds_above_2() == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}
#endif

TEST(CloseFdExceptSTD, ReportsAMissingListing)
{
    CaptureStdout cap;
    // No process has this id (above the kernel's pid limit).
    COM_CloseFdExceptSTD(99999999);
    EXPECT_TRUE(contains(cap.take(), "COM_CloseFdExceptSTD(): opendir(/proc/99999999/fd) error : No such file or directory\n"));
}

// ---------------------------------------------------------------------
// COM_PopenRead
// ---------------------------------------------------------------------

struct Collected {
    std::vector<std::string> lines;
    int nulls = 0;
    std::vector<int32_t> users;
};
Collected g_collected;

void collect(const char *line, int32_t user)
{
    g_collected.users.push_back(user);
    if (line)
        g_collected.lines.push_back(line);
    else
        ++g_collected.nulls;
}

TEST(PopenRead, EachLineThenAFinalNull)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
    g_collected = {};
    EXPECT_EQ(COM_PopenRead("printf 'one\\ntwo\\n\\nthree\\n'", nullptr, 77, collect), 0);
    EXPECT_EQ(g_collected.lines, (std::vector<std::string>{"one\n", "two\n", "\n", "three\n"}));
    EXPECT_EQ(g_collected.nulls, 1);
    EXPECT_TRUE(std::all_of(g_collected.users.begin(), g_collected.users.end(), [](int32_t u) { return u == 77; }));

    g_collected = {};
    EXPECT_EQ(COM_PopenRead("true", nullptr, 1, collect), 0);
    EXPECT_TRUE(g_collected.lines.empty());
    EXPECT_EQ(g_collected.nulls, 1);

    // Lines beyond 255 characters arrive in pieces; a last line without
    // line end arrives as it is.
    g_collected = {};
    EXPECT_EQ(COM_PopenRead("head -c 300 /dev/zero | tr '\\0' x; echo; printf end", nullptr, 0, collect), 0);
    EXPECT_EQ(g_collected.lines, (std::vector<std::string>{std::string(255, 'x'), std::string(45, 'x') + "\n", "end"}));
}

TEST(PopenRead, StatusOfTheCommandWithSigchldIgnoredAndTheActionBackAfter)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
    // Ignored SIGCHLD would lose the status: the call sets it to default
    // while it runs, and puts the caller's action back.
    struct sigaction ign {}, before {}, after {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ASSERT_EQ(::sigaction(SIGCHLD, &ign, &before), 0);
    g_collected = {};
    CaptureStdout cap;
    int st = COM_PopenRead("echo partial; exit 3", nullptr, 5, collect);
    std::string out = cap.take();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
    EXPECT_TRUE(contains(out, "COM_PopenRead(): pclose() return " + std::to_string(st) + "\n")) << out;
    EXPECT_EQ(g_collected.lines, std::vector<std::string>{"partial\n"});
    EXPECT_EQ(g_collected.nulls, 1);
    ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    ::sigaction(SIGCHLD, &before, nullptr);

    // Without a callback the output is read and dropped.
    EXPECT_EQ(COM_PopenRead("echo x", nullptr, 0, nullptr), 0);
}

TEST(PopenRead, BudgetBoundsACommandStoppedInTheMiddleOfALine)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
    // A command that prints a line and half of another, then never ends:
    // the budget (shortened here from 500 seconds) ends the call, hands
    // over what arrived, and the command is ended.
    dvr::set_popen_budget_ms(300);
    g_collected = {};
    CaptureStdout cap;
    int rc = COM_PopenRead("printf 'whole\\npart'; exec sleep 1000", nullptr, 5, collect);
    std::string out = cap.take();
    dvr::set_popen_budget_ms(0);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(g_collected.lines, (std::vector<std::string>{"whole\n", "part"}));
    EXPECT_EQ(g_collected.nulls, 1);
    EXPECT_NE(out.find("COM_PopenRead(): popen("), std::string::npos) << out;
}

std::atomic<int> g_sigchld_seen{0};

// An application's own SIGCHLD handler stays in place after every call:
// one call, a call refused at once, calls overlapping from several
// threads, and a caller cancelled inside the call.
TEST(PopenRead, ApplicationsSigchldHandlerSurvives)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
    struct sigaction mine {}, before {}, now {};
    mine.sa_handler = [](int) { ++g_sigchld_seen; };
    sigemptyset(&mine.sa_mask);
    mine.sa_flags = SA_RESTART;
    ASSERT_EQ(::sigaction(SIGCHLD, &mine, &before), 0);
    auto handler_in_place = [&](const char *after) {
        ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, mine.sa_handler) << "SIGCHLD action replaced after " << after;
    };

    g_collected = {};
    EXPECT_EQ(COM_PopenRead("echo one", nullptr, 0, collect), 0);
    EXPECT_EQ(g_collected.lines, std::vector<std::string>{"one\n"});
    handler_in_place("one call");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_PopenRead(nullptr, nullptr, 0, nullptr), -1);
        cap.take();
    }
    handler_in_place("a refused call");

    constexpr int kThreads = 6, kCalls = 20;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n)
        threads.emplace_back([&, n] {
            for (int i = 0; i < kCalls; ++i) {
                // The status of each command arrives: SIGCHLD is at its
                // default while any call runs.
                int st = COM_PopenRead((i + n) % 2 ? "exit 4" : "true", nullptr, 0, nullptr);
                if (st != ((i + n) % 2 ? 4 << 8 : 0))
                    ++wrong;
            }
        });
    {
        CaptureStdout cap; // "pclose() return" reports
        for (std::thread &th : threads)
            th.join();
        cap.take();
    }
    EXPECT_EQ(wrong.load(), 0);
    handler_in_place("overlapping calls");

    std::atomic<int> tid{0};
    std::thread cancelled([&] {
        tid = int(::syscall(SYS_gettid));
        COM_PopenRead("exec sleep 1000", nullptr, 0, nullptr);
    });
    while (tid == 0)
        std::this_thread::yield();
    ASSERT_TRUE(dvrtest::wait_thread_sleeping(tid, "poll"));
    ASSERT_EQ(::pthread_cancel(cancelled.native_handle()), 0);
    cancelled.join();
    handler_in_place("a cancelled call");

    ::sigaction(SIGCHLD, &before, nullptr);
}

// A command that leaves a process in the background holding its output:
// the call reads on until the budget ends (as a shell's command
// substitution would wait), then ends the background process as well.
TEST(PopenRead, BudgetEndsWhatTheCommandLeftInTheBackground)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell and sleep");
    dvr::set_popen_budget_ms(300);
    g_collected = {};
    CaptureStdout cap;
    int rc = COM_PopenRead("sleep 1000 & echo $!", nullptr, 0, collect);
    cap.take();
    dvr::set_popen_budget_ms(0);
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(g_collected.lines.size(), 1u);
    const pid_t background = pid_t(std::atoi(g_collected.lines[0].c_str()));
    ASSERT_GT(background, 1);

    // Ended: gone, or a zombie until its new parent collects it.
    auto ended = [&] {
        std::string stat = read_file("/proc/" + std::to_string(background) + "/stat");
        size_t paren = stat.rfind(')');
        return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
    };
    bool gone = false;
    for (int i = 0; i < 5000 && !(gone = ended()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(gone) << "the background process " << background << " still runs";
    if (!gone)
        ::kill(background, SIGKILL);
}

// ---------------------------------------------------------------------
// COM_SavePid, COM_KillPid
// ---------------------------------------------------------------------

TEST(SavePid, WritesTheProcessId)
{
    TempDir t;
    EXPECT_EQ(COM_SavePid((t / "app.pid").c_str()), 0);
    EXPECT_EQ(read_file(t / "app.pid"), std::to_string(::getpid()));
    write_file(t / "app.pid", "123456789 old content\n");
    EXPECT_EQ(COM_SavePid((t / "app.pid").c_str()), 0);
    EXPECT_EQ(read_file(t / "app.pid"), std::to_string(::getpid()));

    CaptureStdout cap;
    EXPECT_EQ(COM_SavePid(nullptr), -1);
    EXPECT_EQ(cap.take(), "");
    CaptureStdout cap2;
    EXPECT_EQ(COM_SavePid((t / "missing/app.pid").c_str()), -1);
    EXPECT_TRUE(contains(cap2.take(), "COM_SavePid(): open(" + t.path() + "/missing/app.pid) error : No such file or directory\n"));
    // A pid that could not be written is not reported as saved.
    CaptureStdout cap3;
    EXPECT_EQ(COM_SavePid("/dev/full"), -1);
    EXPECT_TRUE(contains(cap3.take(), "No space left on device"));
}

TEST(KillPid, SendsTermToARealChild)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("sleep");
    pid_t pid = spawn({"/bin/sleep", "30"});
    ASSERT_GT(pid, 0);
    ChildGuard guard{pid};
    EXPECT_EQ(COM_KillPid(pid, 1000), 0);
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    guard.pid = 0;
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);

    // The process is gone now.
    CaptureStdout cap;
    EXPECT_EQ(COM_KillPid(pid, 0), -1);
    EXPECT_EQ(COM_KillPid(0, 0), -1);
    EXPECT_EQ(COM_KillPid(-1, 0), -1);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "COM_KillPid(): kill(" + std::to_string(pid) + ") failed : No such process\n")) << out;
    EXPECT_TRUE(contains(out, "COM_KillPid(): Invalid pid = 0\n")) << out;
    EXPECT_TRUE(contains(out, "COM_KillPid(): Invalid pid = -1\n")) << out;
}

// ---------------------------------------------------------------------
// COM_WatchDog
// ---------------------------------------------------------------------

int g_restart_a = 0, g_restart_b = 0;
void restart_a() { ++g_restart_a; }
void restart_b() { ++g_restart_b; }

TEST(WatchDog, FindsRunningProgramsAndRestartsMissingOnes)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("cp and sleep");
    TempDir t;
    // A program with a path of its own, so that it is found by that path.
    std::string prog = t / "dvr-watched-sleeper";
    ASSERT_EQ(dvrtest::shell("cp /bin/sleep '" + prog + "'").status, 0);
    pid_t pid = spawn({prog, "30"});
    ASSERT_GT(pid, 0);
    ChildGuard guard{pid};
    // Wait until the child runs the program (its cmdline shows the path).
    std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    for (int i = 0; i < 5000 && read_file(cmdline).rfind(prog, 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    g_restart_a = g_restart_b = 0;
    std::string missing = t / "not-running";
    std::string prefix = t.path() + "/dvr-watched";
    COM_WATCHDOG_ITEM items[] = {
        {prog.c_str(), -7, restart_a},
        {missing.c_str(), -7, restart_b},
        {prefix.c_str(), -7, nullptr}, // a prefix of the path matches as well
    };
    COM_WATCHDOG_LIST list{3, items};
    for (int round = 1; round <= 2; ++round) {
        CaptureStdout cap;
        EXPECT_EQ(COM_WatchDog(&list), 0);
        std::string out = cap.take();
        EXPECT_EQ(items[0].nFound, 1);
        EXPECT_EQ(items[1].nFound, 0);
        EXPECT_EQ(items[2].nFound, 1);
        EXPECT_EQ(g_restart_a, 0);
        EXPECT_EQ(g_restart_b, round);
        EXPECT_TRUE(contains(out, "COM_WatchDog(): [1 - " + missing + "] : not found\n")) << out;
        EXPECT_FALSE(contains(out, "[0 - ")) << out;
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    guard.pid = 0;
    CaptureStdout cap;
    EXPECT_EQ(COM_WatchDog(&list), 0);
    cap.take();
    EXPECT_EQ(items[0].nFound, 0);
    EXPECT_EQ(g_restart_a, 1);
    EXPECT_EQ(COM_WatchDog(nullptr), -1);
}

TEST(WatchDog, ReadsTheFirstArgumentOfEachCmdlineUnderTheBoardRoot)
{
    TempDir root;
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    auto proc = [&](const std::string &entry, const std::string &cmdline) {
        make_dirs(root / ("proc/" + entry));
        write_file(root / ("proc/" + entry + "/cmdline"), cmdline);
    };
    using namespace std::string_literals;
    proc("1", "/usr/sbin/httpd\0-f\0/etc/httpd.conf\0"s);
    proc("2", ""s);                                    // kernel thread
    proc("3", "/usr/sbin/httpd.worker\0"s);
    proc("4", "/usr/bin/recorder\n--daemon\0"s);         // cut at the newline
    proc("5", "/opt/" + std::string(100, 'p') + "\0"s); // cut at 79 characters
    proc("lost+found", "/usr/sbin/httpd\0"s);            // never looked at
    make_dirs(root / "proc/net");                        // no cmdline: skipped
    write_file(root / "proc/meminfo", "x");

    std::string cut79 = "/opt/" + std::string(74, 'p');
    std::string cut80 = "/opt/" + std::string(75, 'p');
    g_restart_a = 0;
    COM_WATCHDOG_ITEM items[] = {
        {"/usr/sbin/httpd", 0, nullptr},
        {"/usr/bin/recorder", 0, nullptr},
        {"-f", 0, nullptr},
        {nullptr, 0, restart_a},
        {cut79.c_str(), 0, nullptr},
        {cut80.c_str(), 0, nullptr},
    };
    COM_WATCHDOG_LIST list{6, items};
    CaptureStdout cap;
    EXPECT_EQ(COM_WatchDog(&list), 0);
    std::string out = cap.take();
    EXPECT_EQ(items[0].nFound, 2);
    EXPECT_EQ(items[1].nFound, 1);
    EXPECT_EQ(items[2].nFound, 0);
    EXPECT_EQ(items[3].nFound, 0);
    EXPECT_EQ(items[4].nFound, 1);
    EXPECT_EQ(items[5].nFound, 0);
    EXPECT_EQ(g_restart_a, 1);
    EXPECT_TRUE(contains(out, "[2 - -f] : not found\n")) << out;
    EXPECT_TRUE(contains(out, "[3 - (null)] : not found\n")) << out;
    EXPECT_TRUE(contains(out, "[5 - " + cut80 + "] : not found\n")) << out;

    std::filesystem::remove_all(root.path() + "/proc");
    CaptureStdout cap2;
    EXPECT_EQ(COM_WatchDog(&list), -1);
    EXPECT_TRUE(contains(cap2.take(), "COM_WatchDog(): opendir(/proc) error : No such file or directory\n"));
}

// ---------------------------------------------------------------------
// COM_GetFreeMemAndSwap
// ---------------------------------------------------------------------

const char kOldMeminfo[] =
    "        total:    used:    free:  shared: buffers:  cached:\n"
    "Mem:  64327680 60788736  3538944        0  1622016 37928960\n"
    "Swap: 134209536  1048576 133160960\n"
    "MemTotal:        62820 kB\n"
    "MemFree:          3456 kB\n";

TEST(FreeMemAndSwap, ReadsTheSummaryLinesUnderTheBoardRoot)
{
    TempDir root;
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    make_dirs(root / "proc");
    write_file(root / "proc/meminfo", kOldMeminfo);

    int mem = -5, swap = -5;
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), 0);
        EXPECT_TRUE(contains(cap.take(), "COM_GetFreeMemAndSwap(): Free - (Mem, Swap) = (3538944, 133160960)\n"));
    }
    EXPECT_EQ(mem, 3538944);
    EXPECT_EQ(swap, 133160960);
    {
        // Nothing changed: nothing is reported.
        CaptureStdout cap;
        EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), 0);
        EXPECT_EQ(cap.take(), "");
    }
    {
        write_file(root / "proc/meminfo", "Mem:\t1 2\t77\nSwap: 9 9 4000000000\n");
        int s2 = 0;
        CaptureStdout cap;
        EXPECT_EQ(COM_GetFreeMemAndSwap(nullptr, &s2), 0);
        EXPECT_EQ(s2, 2147483647); // beyond int: kept within range
        EXPECT_TRUE(contains(cap.take(), "Free - (Mem, Swap) = (-1, 2147483647)\n"));
    }
    // The last summary line decides the result.
    write_file(root / "proc/meminfo", "Mem: 1 2 33\nSwap: 1 2\n");
    EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), -1);
    EXPECT_EQ(mem, 33);
    write_file(root / "proc/meminfo", "Swap: 1 2\nMem: 1 2 44\n");
    EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), 0);
    EXPECT_EQ(mem, 44);
    EXPECT_EQ(COM_GetFreeMemAndSwap(nullptr, nullptr), 0);

    ::unlink((root / "proc/meminfo").c_str());
    CaptureStdout cap;
    EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), -1);
    EXPECT_TRUE(contains(cap.take(), "fopen(/proc/meminfo) error : No such file or directory\n"));
}

TEST(FreeMemAndSwap, TodaysKernelHasNoSummaryLines)
{
    NoEnv no_root("DVRPLAT_ROOT");
    std::string real = read_file("/proc/meminfo");
    if (real.rfind("Mem:", 0) == 0 || contains(real, "\nMem:") || contains(real, "\nSwap:"))
        GTEST_SKIP() << "this kernel still prints the summary lines";
    int mem = 12, swap = 34;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetFreeMemAndSwap(&mem, &swap), -1);
    EXPECT_EQ(cap.take(), "");
    EXPECT_EQ(mem, 12);
    EXPECT_EQ(swap, 34);
}

} // namespace

// ---------------------------------------------------------------------
// COM_PopenRead's budget covers the whole call
// ---------------------------------------------------------------------

TEST(PopenRead, OneBudgetForTheWholeCallHoweverOftenOutputArrives)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell and sleep");
    // A line every 50 ms for 60 lines (3 seconds): every wait for output
    // is short, but the call as a whole is past a budget of 300 ms long
    // before the last line. A budget that started again with each read
    // would read all 60 and give the command's status 0.
    dvr::set_popen_budget_ms(300);
    g_collected = {};
    CaptureStdout cap;
    const int rc = COM_PopenRead("i=0; while [ $i -lt 60 ]; do echo t$i; sleep 0.05; i=$((i+1)); done", nullptr, 9,
                                 collect);
    std::string out = cap.take();
    dvr::set_popen_budget_ms(0);
    EXPECT_EQ(rc, -1);
    EXPECT_GT(g_collected.lines.size(), 0u);
    EXPECT_LT(g_collected.lines.size(), 60u);
    EXPECT_EQ(g_collected.nulls, 1);
    EXPECT_NE(out.find("no end of output within"), std::string::npos) << out;
}
