// labels: net threads root
// timeout: 240
// The blocking public calls meeting threads and processes.
// - Cancellation of a caller inside each call: once while the thread is
//   seen asleep in the call, once with the cancel already pending when the
//   call starts. The process must live on, every descriptor the call
//   opened must be closed again, and a later call from another thread must
//   work (no lock left held, no state left half done).
// - A child started while the calls hold their descriptors inherits none
//   of them.
// Every server is local: a TCP listener that never accepts, a UDP name
// server that never answers, FIFOs in place of the files read (opened by
// the test for writing, so the call's read waits), a pseudo-terminal that
// sends nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "dns_wire.h"
#include "test_support.h"

namespace {

// Loopback addresses of this program (127.54.x.y from the process id), so
// that runs at the same time do not meet on port 53.
std::string loop_addr(int k)
{
    static const unsigned pid = unsigned(::getpid());
    return "127.54." + std::to_string((pid >> 6) & 0xFF) + "." + std::to_string((pid & 63) * 4 + unsigned(k));
}

sockaddr_in sock_addr(const std::string &ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

int bound_socket(int type, const std::string &ip, uint16_t port)
{
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = sock_addr(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno));
    if (type == SOCK_STREAM)
        ::listen(fd, 128);
    return fd;
}

uint16_t port_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

int fd_count() { return dvrtest::open_descriptors(); }

// A server thread that answers every request on its socket: HTTP (one
// response per connection) or DNS (an A record for every query).
class Answerer {
public:
    Answerer(int fd, bool http) : fd_(fd), http_(http), thread_([this] { loop(); }) {}
    ~Answerer()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    Answerer(const Answerer &) = delete;
    Answerer &operator=(const Answerer &) = delete;
    // Whether the thread holds no descriptor besides its socket now.
    bool idle() const { return !busy_; }

private:
    void loop()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            busy_ = true;
            if (http_)
                serve_http();
            else
                serve_dns();
            busy_ = false;
        }
    }
    void serve_http()
    {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        std::string req;
        char buf[1024];
        while (req.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            req.append(buf, size_t(n));
        }
        static const char kReply[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
        (void)!::write(c, kReply, sizeof kReply - 1);
        ::close(c);
    }
    void serve_dns()
    {
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n <= 0)
            return;
        try {
            dvrtest::dns::Response r(dvrtest::dns::Bytes(buf, buf + n), 1);
            r.a(dvrtest::dns::kQname, "10.9.8.7");
            ::sendto(fd_, r.b.data(), r.b.size(), 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
        } catch (const std::exception &) {
        }
    }

    int fd_;
    bool http_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

// Everything the calls meet, made once and kept for the whole program.
struct World {
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};
    const std::string silent_ns = loop_addr(1);
    const std::string answering_ns = loop_addr(2);
    int silent_udp = bound_socket(SOCK_DGRAM, silent_ns, 53);
    Answerer dns{bound_socket(SOCK_DGRAM, answering_ns, 53), false};
    int mute_tcp = bound_socket(SOCK_STREAM, "127.0.0.1", 0); // never accepts
    int http_fd = bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    const std::string mute_url = "127.0.0.1:" + std::to_string(port_of(mute_tcp)) + "/x";
    const std::string answer_url = "127.0.0.1:" + std::to_string(port_of(http_fd)) + "/x";
    Answerer http{http_fd, true};
    int pty_master = -1;
    int pty_slave = -1; // opened blocking, as a reader of the port would

    World()
    {
        dvrtest::make_dirs(root / "etc");
        dvrtest::make_dirs(root / "var/run");
        plain_resolv_conf();
        pty_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (pty_master >= 0 && ::grantpt(pty_master) == 0 && ::unlockpt(pty_master) == 0 &&
            ::ptsname_r(pty_master, name, sizeof name) == 0)
            pty_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~World()
    {
        ::close(silent_udp);
        ::close(mute_tcp);
        ::close(pty_slave);
        ::close(pty_master);
    }
    void plain_resolv_conf()
    {
        ::unlink((root / "etc/resolv.conf").c_str());
        dvrtest::write_file(root / "etc/resolv.conf", "nameserver " + silent_ns + "\n");
    }
    // A FIFO without a writer: opening it sleeps until one comes.
    void fifo_resolv_conf()
    {
        ::unlink((root / "etc/resolv.conf").c_str());
        ::mkfifo((root / "etc/resolv.conf").c_str(), 0600);
    }
    bool quiet() const { return dns.idle() && http.idle(); }
};

World *gWorld = nullptr;
World &world()
{
    if (!gWorld)
        gWorld = new World; // lives as long as the program
    return *gWorld;
}

using Check = std::function<::testing::AssertionResult()>;

::testing::AssertionResult http_works(int (*get)(const char *, char **, COM_HTTP_AUTH *))
{
    char *content = nullptr;
    COM_HTTP_AUTH auth{};
    int rc = get(world().answer_url.c_str(), &content, &auth);
    std::string body = content ? content : "";
    std::free(content);
    if (rc < 0 || body.find("ok") == std::string::npos)
        return ::testing::AssertionFailure() << "rc " << rc << " content [" << body << "]";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult dns_works()
{
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    int rc = DNS_GetAviaNameServer(world().answering_ns.c_str(), "www.dvr.test", rec);
    if (rc != 0 || !rec[0].flag)
        return ::testing::AssertionFailure() << "DNS_GetAviaNameServer " << rc;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult name_servers_work()
{
    char ns[DNS_NAMESERVER_MAX][DNS_NAMESERVER_LEN] = {};
    int n = DNS_GetNameServer(ns);
    if (n != 1 || world().silent_ns != ns[0])
        return ::testing::AssertionFailure() << "DNS_GetNameServer " << n;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult processes_work()
{
    if (int rc = COM_System("/bin/true", nullptr); rc != 0)
        return ::testing::AssertionFailure() << "COM_System " << rc;
    static std::atomic<int> lines;
    lines = 0;
    int rc = COM_PopenRead("echo one", nullptr, 0, [](const char *line, int32_t) {
        if (line && std::strcmp(line, "one\n") == 0)
            ++lines;
    });
    if (rc != 0 || lines != 1)
        return ::testing::AssertionFailure() << "COM_PopenRead " << rc << " lines " << lines;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult serial_works()
{
    // A line, then end of file (the end-of-file character at a line start).
    const char text[] = "0a1B\n\x04";
    if (::write(world().pty_master, text, sizeof text - 1) != ssize_t(sizeof text - 1))
        return ::testing::AssertionFailure() << "write to the pty: " << std::strerror(errno);
    char *digits = nullptr;
    int n = COM_ReadHexDataInStrFormat(world().pty_slave, &digits);
    std::string got = digits ? std::string(digits, n > 0 ? size_t(n) : 0) : "";
    std::free(digits);
    if (n != 4 || got != "0a1B")
        return ::testing::AssertionFailure() << "read " << n << " [" << got << "]";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult watchdog_works()
{
    if (int rc = COM_CreateThreadWatchdog(1); rc != 0)
        return ::testing::AssertionFailure() << "COM_CreateThreadWatchdog " << rc;
    if (int rc = COM_DestroyThreadWatchdog(); rc != 0)
        return ::testing::AssertionFailure() << "COM_DestroyThreadWatchdog " << rc;
    return ::testing::AssertionSuccess();
}

DEV_TEMP_WATCH gTempWatch;

::testing::AssertionResult temp_watch_works()
{
    std::memset(&gTempWatch, 0, sizeof gTempWatch);
    if (int rc = Dev_DiskTempWatchDogCreate(&gTempWatch); rc != 0)
        return ::testing::AssertionFailure() << "Dev_DiskTempWatchDogCreate " << rc;
    if (int rc = Dev_DiskTempWatchDogDestroy(&gTempWatch); rc != 0)
        return ::testing::AssertionFailure() << "Dev_DiskTempWatchDogDestroy " << rc;
    return ::testing::AssertionSuccess();
}

// One blocking public call.
struct Row {
    const char *name;
    // What the sleeping thread waits in (/proc/.../wchan); nullptr when the
    // call never sleeps for long enough to be caught there (only the
    // pending cancel is tried).
    const char *wchan;
    std::function<void()> prepare; // before the call (its descriptors count as there before)
    std::function<void()> call;
    std::function<void()> undo; // after the thread ended
    Check later;
    // The build machine's programs the call runs, which the board's
    // guest does not have (nullptr: none).
    const char *needs = nullptr;
};

int http_get(const char *url, char **c, COM_HTTP_AUTH *a) { return COM_GetHttpContent(url, c, a); }

std::function<void()> http_call(int (*fn)(const char *, char **, COM_HTTP_AUTH *))
{
    return [fn] {
        char *content = nullptr;
        COM_HTTP_AUTH auth{};
        std::unique_ptr<char, decltype(&std::free)> owned(nullptr, &std::free);
        fn(world().mute_url.c_str(), &content, &auth);
        owned.reset(content);
    };
}

const std::vector<Row> &rows()
{
    static const std::vector<Row> table = {
        {"HttpGet", "poll", {}, http_call(COM_GetHttpContent), {}, [] { return http_works(http_get); }},
        {"HttpPost", "poll", {},
         http_call([](const char *u, char **c, COM_HTTP_AUTH *a) { return COM_PostHttpContent(u, c, a, "k=v"); }),
         {}, [] { return http_works(http_get); }},
        {"HttpGetWithHeader", "poll", {}, http_call(COM_GetHttpContentWithHeader), {},
         [] { return http_works(COM_GetHttpContentWithHeader); }},
        {"HttpPostWithHeader", "poll", {},
         http_call([](const char *u, char **c, COM_HTTP_AUTH *a) {
             return COM_PostHttpContentWithHeader(u, c, a, "k=v");
         }),
         {}, [] { return http_works(http_get); }},
        {"HttpCookieGet", "poll", {},
         http_call([](const char *u, char **c, COM_HTTP_AUTH *a) {
             return COM_GetCookieHttpContent(u, c, a, "s=1");
         }),
         {}, [] { return http_works(http_get); }},
        {"HttpCookiePost", "poll", {},
         http_call([](const char *u, char **c, COM_HTTP_AUTH *a) {
             return COM_PostCookieHttpContent(u, c, a, "k=v", "s=1");
         }),
         {}, [] { return http_works(http_get); }},
        {"HttpStrippedHtml", "poll", {}, http_call(COM_GetStrippedHtml), {}, [] { return http_works(http_get); }},
        {"HttpDigestChallenge", "poll", {},
         [] {
             COM_HTTP_AUTH auth{};
             COM_GetDigestString(world().mute_url.c_str(), &auth);
         },
         {}, [] { return http_works(http_get); }},
        {"DnsGetA", "poll", {},
         [] {
             DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
             DNS_GetA("www.dvr.test", rec);
         },
         {}, dns_works},
        {"DnsGetMX", "poll", {},
         [] {
             DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
             DNS_GetMX("dvr.test", rec);
         },
         {}, dns_works},
        {"DnsGetAviaNameServer", "poll", {},
         [] {
             DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
             DNS_GetAviaNameServer(world().silent_ns.c_str(), "www.dvr.test", rec);
         },
         {}, dns_works},
        {"DnsGetMXviaNameServer", "poll", {},
         [] {
             DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
             DNS_GetMXviaNameServer(world().silent_ns.c_str(), "dvr.test", rec);
         },
         {}, dns_works},
        {"DnsGetNameServer", "wait_for_partner", [] { world().fifo_resolv_conf(); },
         [] {
             char ns[DNS_NAMESERVER_MAX][DNS_NAMESERVER_LEN] = {};
             DNS_GetNameServer(ns);
         },
         [] { world().plain_resolv_conf(); }, name_servers_work},
        {"ComSubGetDNS", "wait_for_partner", [] { world().fifo_resolv_conf(); },
         [] {
             char out[32] = {};
             COM_SubGetDNS(19, nullptr, out);
         },
         [] { world().plain_resolv_conf(); }, name_servers_work},
        {"PopenRead", "poll", {},
         [] { COM_PopenRead("exec sleep 1000", nullptr, 0, nullptr); }, {}, processes_work,
         "a shell, sleep and true"},
        {"System", "do_wait", {}, [] { COM_System("/bin/sleep 1000", nullptr); }, {}, processes_work,
         "sleep, true and a shell"},
        {"SerialRead", "wait_woken", {},
         [] {
             std::unique_ptr<char, decltype(&std::free)> digits(nullptr, &std::free);
             char *p = nullptr;
             COM_ReadHexDataInStrFormat(world().pty_slave, &p);
             digits.reset(p);
         },
         {}, serial_works},
        {"ThreadWatchdogDestroy", nullptr, [] { ASSERT_EQ(COM_CreateThreadWatchdog(1), 0); },
         [] { COM_DestroyThreadWatchdog(); }, {}, watchdog_works},
        {"TempWatchDestroy", nullptr,
         [] {
             std::memset(&gTempWatch, 0, sizeof gTempWatch);
             ASSERT_EQ(Dev_DiskTempWatchDogCreate(&gTempWatch), 0);
         },
         [] { Dev_DiskTempWatchDogDestroy(&gTempWatch); }, {}, temp_watch_works},
    };
    return table;
}

struct Caller {
    const Row *row;
    bool pending;
    std::atomic<int> tid{0};
    std::atomic<bool> returned{false};
};

void *cancelled_caller_body(void *arg)
{
    auto *c = static_cast<Caller *>(arg);
    c->tid = int(::syscall(SYS_gettid));
    if (c->pending) {
        // Made pending while held off; enabling it again does not act on it,
        // the call's first cancellation point does.
        int old;
        ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        ::pthread_cancel(::pthread_self());
        ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    }
    c->row->call();
    c->returned = true;
    // A call that finished its work with the cancel still pending ends here.
    ::pthread_testcancel();
    return nullptr;
}

// The descriptors of this process while the test's servers hold none of
// their own (a server thread may be between accept and close).
int quiet_fd_count()
{
    for (int i = 0; i < 5000 && !world().quiet(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return fd_count();
}

// Waits until the process holds no more than `want` descriptors (a
// watchdog thread reads its files from time to time); the count last
// seen otherwise.
int fd_count_down_to(int want)
{
    int n = -1;
    for (int i = 0; i < 5000; ++i) {
        if ((n = quiet_fd_count()) <= want)
            return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return n;
}

// Waits until thread tid sleeps in a kernel function whose name holds
// `in`. A thread the kernel gives no such name for ("0": some sleeps, or
// a kernel that names none) is taken as asleep there only when no name
// at all came within a few seconds.
bool asleep_in(int tid, const char *in)
{
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    bool named = false;
    for (int i = 0; i < 30000; ++i) {
        std::string stat = dvrtest::read_file(task + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            return false; // ended
        if (stat.compare(paren, 3, ") S") == 0) {
            std::string wchan = dvrtest::read_file(task + "/wchan");
            if (wchan.find(in) != std::string::npos)
                return true;
            if (!wchan.empty() && wchan != "0")
                named = true;
            if (!named && i >= 2000)
                return dvrtest::wait_thread_sleeping(tid, in);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string own_descriptors();

class Cancel : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(Cancel, ProcessLivesDescriptorsCloseLaterCallWorks)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root (a name server on port 53)";
    const Row &row = rows()[size_t(std::get<0>(GetParam()))];
    const bool pending = std::get<1>(GetParam());
    if (!pending && !row.wchan)
        GTEST_SKIP() << row.name << " does not sleep for long enough to be caught in it";
    if (row.needs) {
        DVRTEST_SKIP_IN_BOARD_GUEST(row.needs);
    }
    world();
    if (row.prepare)
        row.prepare();
    if (HasFatalFailure())
        return;
    // The calls' reports are kept out of the test's output; the results
    // are checked once it is back.
    auto quiet = std::make_unique<dvrtest::CaptureStdout>();
    const int before = quiet_fd_count();
    const std::string before_list = own_descriptors();

    Caller caller{&row, pending};
    pthread_t th;
    bool asleep = true;
    if (::pthread_create(&th, nullptr, cancelled_caller_body, &caller) != 0) {
        quiet.reset();
        FAIL() << "pthread_create";
    }
    if (!pending) {
        while (caller.tid == 0)
            std::this_thread::yield();
        asleep = asleep_in(caller.tid, row.wchan);
        ::pthread_cancel(th);
    }
    void *res = nullptr;
    ::pthread_join(th, &res);
    if (row.undo)
        row.undo();
    const int after = fd_count_down_to(before);
    const std::string after_list = own_descriptors();
    quiet.reset();

    EXPECT_TRUE(asleep) << row.name << " never slept in " << row.wchan;
    EXPECT_EQ(res, PTHREAD_CANCELED) << row.name;
    // A call that can sleep was ended inside, not after its return.
    if (row.wchan) {
        EXPECT_FALSE(caller.returned) << row.name << " returned before it was cancelled";
    }
    EXPECT_LE(after, before) << row.name << " left descriptors open; before:\n"
                             << before_list << "after:\n"
                             << after_list;

    // A later call from another thread.
    ::testing::AssertionResult later = ::testing::AssertionFailure();
    std::thread([&] {
        dvrtest::CaptureStdout out;
        later = row.later();
        std::string said = out.take();
        if (!later)
            later << "\n" << said;
    }).join();
    EXPECT_TRUE(later) << row.name;
}

INSTANTIATE_TEST_SUITE_P(EveryBlockingCall, Cancel,
                         ::testing::Combine(::testing::Range(0, int(rows().size())), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>> &info) {
                             return std::string(rows()[size_t(std::get<0>(info.param))].name) +
                                    (std::get<1>(info.param) ? "_PendingAtEntry" : "_WhileAsleep");
                         });

// ---------------------------------------------------------------------
// Descriptors reaching a child
// ---------------------------------------------------------------------

// A FIFO at path (in place of a file), held open by the test: a reader
// gets through the open and then waits in its read.
struct HeldFifo {
    std::string path;
    int fd = -1;
    explicit HeldFifo(const std::string &p) : path(p)
    {
        dvrtest::make_dirs(p.substr(0, p.rfind('/')));
        ::unlink(p.c_str());
        if (::mkfifo(p.c_str(), 0600) == 0)
            fd = ::open(p.c_str(), O_RDWR | O_CLOEXEC);
    }
    ~HeldFifo()
    {
        ::close(fd);
        ::unlink(path.c_str());
    }
    HeldFifo(const HeldFifo &) = delete;
    HeldFifo &operator=(const HeldFifo &) = delete;
};

// Descriptor numbers from "ls -l" of a /proc/<id>/fd directory, in
// order. The directory ls reads the listing through, when it lists its
// own descriptors, is left out.
std::string descriptors_in_listing(const std::string &out)
{
    std::vector<int> kept;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        const std::string line = out.substr(at, end - at);
        at = end + 1;
        const size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue; // "total 0"
        const std::string target = line.substr(arrow + 4);
        if (target.rfind("/proc/", 0) == 0 && target.size() > 3 && target.compare(target.size() - 3, 3, "/fd") == 0)
            continue;
        const std::string left = line.substr(0, arrow);
        kept.push_back(std::atoi(left.c_str() + left.rfind(' ') + 1));
    }
    std::sort(kept.begin(), kept.end());
    std::string text;
    for (int k : kept)
        text += (text.empty() ? "" : " ") + std::to_string(k);
    return text;
}

// The descriptors of the shell COM_PopenRead starts (listed by a child of
// that shell, so the listing's own directory is not among them).
std::string popen_child_descriptors()
{
    static std::string lines;
    lines.clear();
    COM_PopenRead("ls -l /proc/$$/fd", nullptr, 0, [](const char *line, int32_t) {
        if (line)
            lines += line;
    });
    return descriptors_in_listing(lines);
}

// The descriptors of a program COM_System starts.
std::string system_child_descriptors()
{
    dvrtest::CaptureStdout cap;
    COM_System("/bin/ls -l /proc/self/fd/", nullptr);
    return descriptors_in_listing(cap.take());
}

// What each descriptor of this process is, by number.
std::string own_descriptors()
{
    std::string text;
    DIR *d = ::opendir("/proc/self/fd");
    while (dirent *e = d ? ::readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        char target[256] = {};
        ::readlink(("/proc/self/fd/" + std::string(e->d_name)).c_str(), target, sizeof target - 1);
        text += std::string(e->d_name) + "=" + target + "\n";
    }
    if (d)
        ::closedir(d);
    return text;
}

TEST(ChildDescriptors, NoneOfTheLibrarysReachesAChild)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root (a name server on port 53)";
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell and ls");
    World &w = world();

    // Files the calls read, each a FIFO the call then waits in.
    HeldFifo meminfo(w.root / "proc/meminfo");
    HeldFifo route(w.root / "proc/net/route");
    HeldFifo usb_serial(w.root / "proc/tty/driver/usb-serial");
    HeldFifo stat(w.root / "proc/4242/stat");
    HeldFifo cmdline(w.root / "proc/77/cmdline");
    HeldFifo md5_input(w.root.path() + "/md5-input");
    ASSERT_TRUE(meminfo.fd >= 0 && route.fd >= 0 && usb_serial.fd >= 0 && stat.fd >= 0 && cmdline.fd >= 0 &&
                md5_input.fd >= 0);

    struct Holder {
        const char *name;
        const char *wchan;
        std::function<void()> call;
    };
    const std::vector<Holder> holders = {
        {"COM_GetFreeMemAndSwap", "pipe_read", [] { int m, s; COM_GetFreeMemAndSwap(&m, &s); }},
        {"COM_SubGetGateway", "pipe_read", [] { char out[32]; COM_SubGetGateway(16, nullptr, out); }},
        {"COM_GetSerialPort", "pipe_read", [] { char out[32]; COM_GetSerialPort(2, out); }},
        {"COM_SubThreadWatchdog", "pipe_read",
         [] {
             COM_THREAD_INFO info{};
             info.nPid = 4242;
             COM_SubThreadWatchdog(&info);
         }},
        {"COM_WatchDog", "pipe_read",
         [] {
             COM_WATCHDOG_ITEM item{};
             COM_WATCHDOG_LIST list{1, &item};
             item.pName = "none";
             COM_WatchDog(&list);
         }},
        {"COM_MakeFileMD5", "pipe_read",
         [] {
             char text[33];
             COM_MakeFileMD5(text, (world().root.path() + "/md5-input").c_str());
         }},
        {"COM_GetHttpContent", "poll", http_call(COM_GetHttpContent)},
        {"DNS_GetA", "poll",
         [] {
             DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
             DNS_GetA("www.dvr.test", rec);
         }},
        {"COM_PopenRead", "poll", [] { COM_PopenRead("exec sleep 1000", nullptr, 0, nullptr); }},
    };
    // What a child inherits before the calls hold anything: 0, 1 and 2,
    // and whatever this program was itself started with (a test runner's
    // descriptor), which is none of the library's.
    const std::string popen_before = popen_child_descriptors();
    const std::string system_before = system_child_descriptors();
    for (const std::string &listing : {popen_before, system_before})
        EXPECT_EQ(listing.rfind("0 1 2", 0), 0u) << listing;

    const int before = fd_count();
    std::vector<pthread_t> threads;
    std::vector<std::unique_ptr<Row>> rows_held;
    std::vector<std::unique_ptr<Caller>> callers;
    for (const Holder &h : holders) {
        rows_held.push_back(std::make_unique<Row>(Row{h.name, h.wchan, {}, h.call, {}, {}}));
        callers.push_back(std::make_unique<Caller>());
        callers.back()->row = rows_held.back().get();
        callers.back()->pending = false;
        pthread_t th;
        ASSERT_EQ(::pthread_create(&th, nullptr, cancelled_caller_body, callers.back().get()), 0);
        threads.push_back(th);
        while (callers.back()->tid == 0)
            std::this_thread::yield();
        EXPECT_TRUE(asleep_in(callers.back()->tid, h.wchan)) << h.name << " never slept in " << h.wchan;
    }
    // And a port held open by the caller.
    COM_TERM_DEV_INFO port{};
    char slave[128] = {};
    ASSERT_EQ(::ptsname_r(w.pty_master, slave, sizeof slave), 0);
    port.direction = 2;
    port.speed = B9600;
    ASSERT_EQ(COM_OpenTermDevice(slave, &port), 0);

    // One more descriptor for each holder (the call's own) and the port.
    const std::string held = own_descriptors();
    EXPECT_GE(fd_count(), before + int(holders.size()) + 1) << held;
    EXPECT_EQ(popen_child_descriptors(), popen_before) << "held by this process:\n" << held;
    EXPECT_EQ(system_child_descriptors(), system_before) << "held by this process:\n" << held;

    EXPECT_EQ(COM_CloseTermDevice(&port), 0);
    for (pthread_t th : threads) {
        ::pthread_cancel(th);
        ::pthread_join(th, nullptr);
    }
}

} // namespace
