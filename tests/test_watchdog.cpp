// labels: threads root
// Thread log and thread watchdog with real threads and processes. The
// registry belongs to the whole process, so every case runs in a child
// process of its own (forked while this program has a single thread) and
// starts from an empty registry; pid files go under a board root.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "COMMON.h"
#include "blocked_stdout.h"
#include "test_support.h"

using dvrtest::ScopedEnv;
using dvrtest::TempDir;

namespace {

std::string without_lines(const std::string &text)
{
    static const std::regex line_no("MODULES/COMMON,[0-9]+:");
    return std::regex_replace(text, line_no, "MODULES/COMMON,#:");
}

int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

bool wait_until(const std::function<bool()> &cond, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string warning_for(int id, const std::string &name)
{
    return "Warnning!! [pid = " + std::to_string(id) + "] [" + name + "] process error\n";
}

int tid()
{
    return static_cast<int>(gettid());
}

// Runs body in a forked child (with a fresh copy of the library's state)
// and returns its exit status: 0 when none of its checks failed.
int in_child(const std::function<void()> &body)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60); // never outlive a stuck case
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    return status;
}

// Standard output of the child into a file that the child can read while
// its threads go on writing (line-buffered, so every report lands whole).
class StdoutLog {
public:
    explicit StdoutLog(const std::string &path) : path_(path)
    {
        std::fflush(stdout);
        saved_ = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        close(fd);
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    }
    ~StdoutLog()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        if (::testing::Test::HasFailure())
            std::cerr << "standard output of the case:\n" << dvrtest::read_file(path_);
    }
    std::string text() const { return without_lines(dvrtest::read_file(path_)); }

private:
    std::string path_;
    int saved_ = -1;
};

// A board root whose /proc is the real one and whose /var/run is missing.
struct BoardRoot {
    BoardRoot() { EXPECT_EQ(symlink("/proc", (root / "proc").c_str()), 0); }
    std::string pid_file(const std::string &name) const
    {
        return root / ("var/run/" + name + ".thread.pid");
    }
    TempDir root;
    TempDir logs; // standard output of the cases
    std::string log_path = logs / "out";
    ScopedEnv env{"DVRPLAT_ROOT", root.path()};
};

// Registers name on a thread of its own that then ends; returns its id.
int register_and_end(const char *name, int *result = nullptr)
{
    int id = 0, rc = 0;
    std::thread t([&] {
        id = tid();
        rc = COM_LogThread(name);
    });
    t.join();
    if (result)
        *result = rc;
    return id;
}

// A registered thread that stays alive (sleeping) until released.
class LiveThread {
public:
    explicit LiveThread(const char *name)
    {
        t_ = std::thread([this, name] {
            std::unique_lock<std::mutex> lk(m_);
            id_ = tid();
            COM_LogThread(name);
            registered_ = true;
            cv_.notify_all();
            cv_.wait(lk, [this] { return release_; });
        });
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return registered_; });
    }
    ~LiveThread()
    {
        {
            std::lock_guard<std::mutex> lk(m_);
            release_ = true;
        }
        cv_.notify_all();
        t_.join();
    }
    int id() const { return id_; }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool registered_ = false, release_ = false;
    int id_ = 0;
    std::thread t_;
};

} // namespace

TEST(ThreadLog, RegistrationsPidFilesAndMemoryUsage)
{
    BoardRoot board;
    int status = in_child([&] {
        StdoutLog log(board.log_path);

        EXPECT_EQ(COM_LogThreadMemUsage(4096), -1) << "nothing registered yet";

        int results[3];
        int ids[3] = {
            register_and_end("alpha", &results[0]),
            register_and_end("beta", &results[1]),
            register_and_end("gamma", &results[2]),
        };
        EXPECT_EQ(results[0], 1);
        EXPECT_EQ(results[1], 2);
        EXPECT_EQ(results[2], 3);
        struct stat st;
        ASSERT_EQ(stat((board.root / "var/run").c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        const char *names[3] = {"alpha", "beta", "gamma"};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(dvrtest::read_file(board.pid_file(names[i])), std::to_string(ids[i]));

        // A name over 75 characters is cut in the record; its pid
        // file keeps the whole name. A name with a slash would
        // lead out of the pid directory: registered, no file.
        std::string long_name(100, 'n');
        EXPECT_GT(register_and_end(long_name.c_str()), 0);
        int slash = register_and_end("../escape");
        EXPECT_TRUE(std::ifstream(board.pid_file(long_name)).good());
        struct stat gone;
        EXPECT_NE(stat((board.root / "var/escape.thread.pid").c_str(), &gone), 0);

        // Memory usage: only the calling thread's own record.
        int mem_id = 0;
        std::thread user([&] {
            mem_id = tid();
            EXPECT_EQ(COM_LogThread("user"), 6);
            EXPECT_EQ(COM_LogThreadMemUsage(4096), 0);
            EXPECT_EQ(COM_LogThreadMemUsage(4096), 0);
        });
        user.join();
        EXPECT_EQ(COM_LogThreadMemUsage(100), 0) << "unregistered caller: no change";

        std::string before = log.text();
        COM_ShowThread();
        std::string shown = log.text().substr(before.size());

        std::string want_before =
            "MODULES/COMMON,#:COM_LogThread(): thread name cut to 75 characters : [" +
            std::string(40, 'n') + "...]\n" +
            "MODULES/COMMON,#:COM_LogThread(): fopen(/var/run/../escape.thread.pid) error : "
            "Invalid argument\n" +
            "MODULES/COMMON,#:COM_LogThreadMemUsage(): [5] : " + std::to_string(mem_id) +
            " - [4096] - user\n" + "MODULES/COMMON,#:COM_LogThreadMemUsage(): [5] : " +
            std::to_string(mem_id) + " - [8192] - user\n";
        EXPECT_EQ(before, want_before);

        auto row = [](int i, int id, const std::string &name, long mem) {
            return "MODULES/COMMON,#:COM_ShowThread(): [" + std::to_string(i) + "] : " +
                   std::to_string(id) + " - [" + name + "] - [] - [" + std::to_string(mem) +
                   "]\n";
        };
        std::string want = row(0, ids[0], "alpha", 0) + row(1, ids[1], "beta", 0) +
                           row(2, ids[2], "gamma", 0);
        EXPECT_EQ(shown.substr(0, want.size()), want);
        EXPECT_NE(shown.find(" - [" + std::string(75, 'n') + "] - [] - [0]\n"),
                  std::string::npos)
            << shown;
        EXPECT_NE(shown.find(row(4, slash, "../escape", 0)), std::string::npos) << shown;
        EXPECT_NE(shown.find(row(5, mem_id, "user", 8192)), std::string::npos) << shown;
        EXPECT_EQ(count_of(shown, "COM_ShowThread()"), 6);
    });
    EXPECT_EQ(status, 0) << "the case's checks failed in its process";
}

TEST(ThreadLog, RegistrationCancelledWhileThePidFileBlocks)
{
    // The pid file is a pipe that is already full, so writing the id out
    // blocks; the registering thread is cancelled there.
    BoardRoot board;
    int status = in_child([&] {
        ASSERT_EQ(mkdir((board.root / "var").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((board.root / "var/run").c_str(), 0755), 0);
        std::string fifo = board.pid_file("slow");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int pipe_fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(pipe_fd, 0);
        char block[4096] = {};
        while (write(pipe_fd, block, sizeof block) > 0) {
        }
        while (write(pipe_fd, block, 1) > 0) {
        }
        static std::atomic<int> id{0};
        pthread_t th;
        auto body = +[](void *) -> void * {
            id = tid();
            COM_LogThread("slow");
            return nullptr;
        };
        ASSERT_EQ(pthread_create(&th, nullptr, body, nullptr), 0);
        while (id == 0)
            std::this_thread::yield();
        // The id goes out to the FIFO: a pipe write is that write.
        ASSERT_TRUE(dvrtest::wait_thread_sleeping(id, "pipe_write"));
        ASSERT_EQ(pthread_cancel(th), 0);
        void *res = nullptr;
        ASSERT_EQ(pthread_join(th, &res), 0);
        EXPECT_EQ(res, PTHREAD_CANCELED);
        close(pipe_fd);
    });
    EXPECT_EQ(status, 0) << "the case's checks failed in its process";
}

TEST(ThreadWatchdogCancel, ChecksEveryRecordOnEachCycleAndStopsOnDestroy)
{
    BoardRoot board;
    int status = in_child([&] {
        StdoutLog log(board.log_path);
        int gone = register_and_end("gone");
        LiveThread alive("alive");

        EXPECT_EQ(COM_CreateThreadWatchdog(0), EINVAL);
        EXPECT_EQ(COM_DestroyThreadWatchdog(), ESRCH) << "none running yet";
        ASSERT_EQ(COM_CreateThreadWatchdog(1), 0);
        EXPECT_EQ(COM_CreateThreadWatchdog(1), EBUSY);

        // The ended thread is warned about on every cycle.
        std::string warn = warning_for(gone, "gone");
        ASSERT_TRUE(wait_until([&] { return count_of(log.text(), warn) >= 2; }, 30))
            << log.text();

        size_t mark = log.text().size();
        COM_ShowThread();
        std::string shown = log.text().substr(mark);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(
            shown, m, std::regex(R"(\[2\] : ([0-9]+) - \[COM_ThreadWatchdog\] - \[([A-Z])\] - \[0\])")))
            << shown;
        int watchdog = std::stoi(m[1]);
        EXPECT_EQ(dvrtest::read_file(board.pid_file("COM_ThreadWatchdog")), m[1].str());
        EXPECT_NE(shown.find("] : " + std::to_string(alive.id()) + " - [alive] - [S] - [0]"),
                  std::string::npos)
            << shown;
        EXPECT_NE(shown.find("] : " + std::to_string(gone) + " - [gone] - [] - [0]"),
                  std::string::npos)
            << "an ended thread keeps its last state: " << shown;

        // Destroyed, the checking thread ends (under an emulator its task
        // may linger a moment after the join): no check can follow.
        EXPECT_EQ(COM_DestroyThreadWatchdog(), 0);
        const std::string task = "/proc/self/task/" + std::to_string(watchdog);
        struct stat st;
        EXPECT_TRUE(wait_until([&] { return stat(task.c_str(), &st) != 0; }, 30))
            << "the checking thread outlived its destroy";
        int warned = count_of(log.text(), warn);
        EXPECT_EQ(COM_DestroyThreadWatchdog(), ESRCH);
        std::string text = log.text();
        EXPECT_EQ(count_of(text, "] [alive] process error"), 0);
        EXPECT_EQ(count_of(text, "] [COM_ThreadWatchdog] process error"), 0);

        // Started again, the new checking thread takes over the
        // old one's record instead of leaving a dead one behind.
        ASSERT_EQ(COM_CreateThreadWatchdog(1), 0);
        // Its first warning comes while its first cycle is still under way
        // (the records after the gone one not yet read); the second one
        // comes once that cycle has read every record.
        ASSERT_TRUE(wait_until([&] { return count_of(log.text(), warn) > warned + 1; }, 30));
        mark = log.text().size();
        COM_ShowThread();
        shown = log.text().substr(mark);
        EXPECT_EQ(count_of(shown, "COM_ThreadWatchdog]"), 1) << shown;
        ASSERT_TRUE(std::regex_search(
            shown, m, std::regex(R"(\[2\] : ([0-9]+) - \[COM_ThreadWatchdog\] - \[[A-Z]\])")))
            << shown;
        EXPECT_NE(std::stoi(m[1]), watchdog);
        EXPECT_EQ(dvrtest::read_file(board.pid_file("COM_ThreadWatchdog")), m[1].str());
        EXPECT_EQ(COM_DestroyThreadWatchdog(), 0);
        EXPECT_EQ(count_of(log.text(), "] [COM_ThreadWatchdog] process error"), 0);

        std::string reports = log.text();
        EXPECT_NE(reports.find("COM_CreateThreadWatchdog(): invalid interval 0\n"),
                  std::string::npos);
        EXPECT_NE(reports.find("COM_CreateThreadWatchdog(): thread watchdog already running\n"),
                  std::string::npos);
    });
    EXPECT_EQ(status, 0) << "the case's checks failed in its process";
}

// The state letter of a process of this machine, read after the last ')'
// of its stat line (its command name may hold any character); '?' when it
// cannot be read.
static char process_state(pid_t pid)
{
    std::string stat = dvrtest::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// A watched process (one registered before the watchdog's process was
// forked from it) that is stopped, resumed, killed, then reaped. Its
// command name holds ") T (", as a check that the state is read after the
// last ')' and not from inside the name. A thread registered after it,
// that has ended, is warned about on every cycle after the process is
// checked: its warnings count the cycles, so every window below is a
// number of cycles, not of seconds.
TEST(ThreadWatchdogCancel, WarnsAboutAStoppedOrDeadProcessOnEachCycle)
{
    BoardRoot board;
    std::string log_path = board.log_path;
    dvrtest::write_file(log_path, "");
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);

    std::fflush(stdout);
    pid_t victim = fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        alarm(120);
        close(pipefd[0]);
        prctl(PR_SET_NAME, "wd ) T (", 0, 0, 0);
        COM_LogThread("victim");
        register_and_end("gone");
        pid_t watcher = fork();
        if (watcher == 0) {
            int fd = open(log_path.c_str(), O_WRONLY | O_APPEND);
            dup2(fd, 1);
            close(fd);
            setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
            COM_CreateThreadWatchdog(1);
            for (;;)
                pause();
        }
        int32_t w = watcher;
        if (write(pipefd[1], &w, sizeof w) != sizeof w)
            _exit(2);
        for (;;)
            pause();
    }
    close(pipefd[1]);
    int32_t watcher = -1;
    ASSERT_EQ(read(pipefd[0], &watcher, sizeof watcher), static_cast<ssize_t>(sizeof watcher));
    close(pipefd[0]);
    struct Reaper {
        pid_t victim, watcher;
        ~Reaper()
        {
            kill(watcher, SIGKILL);
            if (victim > 0) {
                kill(victim, SIGKILL);
                waitpid(victim, nullptr, 0);
            }
        }
    } reaper{victim, watcher};

    auto log = [&] { return without_lines(dvrtest::read_file(log_path)); };
    const std::string warn = warning_for(victim, "victim");
    const std::string tick = "] [gone] process error\n";
    auto cycles = [&] { return count_of(log(), tick); };
    // The log between the ends of cycles `from` and `to` (counted from 1).
    auto between = [&](int from, int to) {
        std::string text = log();
        size_t a = 0, b = 0;
        for (int i = 0; i < to; ++i) {
            b = text.find(tick, b);
            if (b == std::string::npos)
                return std::string("(cycle missing)");
            b += tick.size();
            if (i + 1 == from)
                a = b;
        }
        return text.substr(a, b - a);
    };
    EXPECT_EQ(dvrtest::read_file(board.pid_file("victim")), std::to_string(victim));

    // Running: two cycles, nothing said about it.
    ASSERT_TRUE(wait_until([&] { return cycles() >= 2; }, 30)) << log();
    EXPECT_EQ(count_of(log(), warn), 0) << log();

    ASSERT_EQ(kill(victim, SIGSTOP), 0);
    EXPECT_TRUE(wait_until([&] { return count_of(log(), warn) >= 2; }, 30)) << log();

    // Running again: once it is seen running, the second and third cycles
    // that end afterwards both begin afterwards and say nothing about it.
    ASSERT_EQ(kill(victim, SIGCONT), 0);
    ASSERT_TRUE(wait_until([&] { return process_state(victim) != 'T'; }, 30));
    const int resumed = cycles();
    ASSERT_TRUE(wait_until([&] { return cycles() >= resumed + 3; }, 30)) << log();
    EXPECT_EQ(count_of(between(resumed + 1, resumed + 3), warn), 0) << log();

    ASSERT_EQ(kill(victim, SIGKILL), 0); // a zombie until reaped
    const int before_kill = count_of(log(), warn);
    EXPECT_TRUE(wait_until([&] { return count_of(log(), warn) > before_kill; }, 30)) << log();
    ASSERT_EQ(waitpid(victim, nullptr, 0), victim);
    reaper.victim = 0;
    int reaped = count_of(log(), warn);
    EXPECT_TRUE(wait_until([&] { return count_of(log(), warn) >= reaped + 2; }, 30)) << log();

    std::string text = log();
    EXPECT_EQ(count_of(text, "Warnning!!"), count_of(text, warn) + count_of(text, tick)) << text;
    EXPECT_EQ(text.find("COM_ThreadWatchdog] process error"), std::string::npos);
}

// Reports are printed after the registry lock is released: a thread
// stuck in its report (standard output that nobody reads) holds up no
// registration. Each case blocks one reporter and registers meanwhile.
TEST(ThreadLog, BlockedReportHoldsNoRegistration)
{
    struct Case {
        const char *name;
        std::function<void()> call;   // the reporter, on a thread of its own
        bool watchdog;                // the reporter is the watchdog's cycle
        int registered;               // the other thread's registration result
        const char *report;           // a part of the blocked report
    } cases[] = {
        {"COM_ShowThread", [] { COM_ShowThread(); }, false, 2, "COM_ShowThread(): [0] : "},
        {"COM_LogThreadMemUsage",
         [] {
             COM_LogThread("user");
             COM_LogThreadMemUsage(4096);
         },
         false, 3, "COM_LogThreadMemUsage(): [1] : "},
        {"the watchdog's warning", [] { COM_CreateThreadWatchdog(1); }, true, 3, "] [gone] process error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BoardRoot board;
        int status = in_child([&] {
            register_and_end("gone"); // warned about on every cycle
            bool blocked = false, registered = false;
            int result = 0;
            std::string out;
            {
                dvrtest::BlockedStdout stuck;
                ASSERT_TRUE(stuck.ok());
                std::thread reporter(c.call);
                blocked = stuck.wait_blocked();
                dvrtest::Done done;
                std::thread other([&] {
                    result = COM_LogThread("other");
                    done.set();
                });
                registered = blocked && done.wait(std::chrono::seconds(30));
                stuck.release();
                reporter.join();
                other.join();
                if (c.watchdog)
                    COM_DestroyThreadWatchdog();
                out = without_lines(stuck.text());
            }
            EXPECT_TRUE(blocked) << "no report was written";
            EXPECT_TRUE(registered) << "a registration waited for a blocked report";
            EXPECT_EQ(result, c.registered);
            EXPECT_NE(out.find(c.report), std::string::npos) << out;
        });
        EXPECT_EQ(status, 0) << "the case's checks failed in its process";
    }
}

// The watchdog blocks in a report (standard output that nobody reads);
// destroying it then cancels it there and leaves the registry lock free.
TEST(ThreadWatchdogCancel, DestroyWhileTheWatchdogBlocksInItsReport)
{
    BoardRoot board;
    int status = in_child([&] {
        register_and_end("gone"); // warned about on every cycle
        bool stuck = false;
        int destroyed = -1, trylock = -1, registered = -1;
        {
            dvrtest::BlockedStdout out;
            ASSERT_TRUE(out.ok());
            ASSERT_EQ(COM_CreateThreadWatchdog(1), 0);
            stuck = out.wait_blocked();
            destroyed = COM_DestroyThreadWatchdog();
            trylock = pthread_mutex_trylock(&gComThreadWatchdog.mutex);
            if (trylock == 0)
                pthread_mutex_unlock(&gComThreadWatchdog.mutex);
            registered = COM_LogThread("after");
        }
        EXPECT_TRUE(stuck);
        EXPECT_EQ(destroyed, 0);
        EXPECT_EQ(trylock, 0) << "registry lock left held";
        EXPECT_EQ(registered, 3);
    });
    EXPECT_EQ(status, 0) << "the case's checks failed in its process";
}
