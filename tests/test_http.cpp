// labels: net threads root
// timeout: 180
// HTTP client and HTML stripping, against Apache httpd (Digest), nginx
// (Basic), a dnsmasq name server and a scripted server of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <utility>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "COMMON.h"
#include "DNS.h"
#include "http_client.h"
#include "http_servers.h"
#include "test_support.h"

// A limit on the address space is only usable in a plain native build: the
// sanitizers and the emulator reserve far more than they use.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(DVRPLAT_CROSSCOMPILING)
#define HTTP_TEST_NO_MEMORY_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HTTP_TEST_NO_MEMORY_LIMIT 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define HTTP_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HTTP_TEST_THREAD_SANITIZER 1
#endif
#endif
#ifdef HTTP_TEST_THREAD_SANITIZER
constexpr bool kResidentSizeIsTheCalls = false;
#else
constexpr bool kResidentSizeIsTheCalls = true;
#endif
#ifdef HTTP_TEST_NO_MEMORY_LIMIT
constexpr bool kCanLimitMemory = false;
#else
constexpr bool kCanLimitMemory = true;
#endif

using dvrtest::CaptureStdout;
using dvrtest::ScopedEnv;
using dvrtest::TempDir;
namespace hs = dvrtest::http;
using hs::Content;
using hs::kPassword;
using hs::kRealm;
using hs::kUser;
using hs::make_auth;
using hs::md5hex;
using hs::random_bytes;

namespace {

constexpr const char *kDomain = "dvrhttp.test";
constexpr const char *kUserAgentLine =
    "User-Agent: $Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $\r\n";

// ---------------------------------------------------------------------
// The servers every test program run shares: dnsmasq, Apache, nginx.
// ---------------------------------------------------------------------

class Servers : public ::testing::Environment {
public:
    void SetUp() override
    {
        dir = std::make_unique<TempDir>();
        ::chmod(dir->path().c_str(), 0755);
        const std::string docroot = *dir / "htdocs";
        dvrtest::make_dirs(docroot + "/files");
        ::chmod(docroot.c_str(), 0755);
        ::chmod((docroot + "/files").c_str(), 0755);
        small = "hello from the board\n";
        mid = random_bytes(10000, 1);          // more than one receive chunk
        big = random_bytes(3 * 1024 * 1024 + 123, 2); // several MiB
        page = "<html><body>a<b>b</b><br>c<BR/>d</body></html>";
        hs::put_file(docroot + "/files/small.txt", small);
        hs::put_file(docroot + "/files/mid.bin", mid);
        hs::put_file(docroot + "/files/big.bin", big);
        hs::put_file(docroot + "/files/page.html", page);

        dns_addr = hs::own_loopback();
        dvrtest::make_dirs(*dir / "root/etc");
        hs::put_file(*dir / "root/etc/resolv.conf", "nameserver " + dns_addr + "\n");
        root = std::make_unique<ScopedEnv>("DVRPLAT_ROOT", *dir / "root");

        dvrtest::make_dirs(*dir / "dns");
        dns_ok = hs::start_dnsmasq(dns, *dir / "dns", dns_addr,
                                   {{name("two"), dns_addr},
                                    {name("two"), "127.0.0.1"},
                                    {name("apache"), dns_addr},
                                    {name("nginx"), dns_addr}});

        dvrtest::make_dirs(*dir / "apache");
        ::chmod((*dir / "apache").c_str(), 0755);
        std::string ha1 = md5hex(std::string(kUser) + ":" + kRealm + ":" + kPassword);
        // A script whose output has no length: mid and big one after the other.
        const std::string cgi = *dir / "cgi";
        dvrtest::make_dirs(cgi);
        ::chmod(cgi.c_str(), 0755);
        hs::put_file(cgi + "/stream.cgi",
                     "#!/bin/sh\nprintf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                     "exec cat " + docroot + "/files/mid.bin " + docroot + "/files/big.bin\n",
                     0755);
        // Apache and nginx listen on the process's own address too; a port
        // taken in between is given up for another.
        apache_port = hs::start_on_free_port(dns_addr, [&](int port) {
            return hs::start_apache(apache, *dir / "apache", dns_addr, port, docroot, "/files", kRealm,
                                    std::string(kUser) + ":" + kRealm + ":" + ha1, cgi);
        });
        apache_ok = apache_port > 0;

        dvrtest::make_dirs(*dir / "nginx");
        nginx_port = hs::start_on_free_port(dns_addr, [&](int port) {
            return hs::start_nginx(nginx, *dir / "nginx", dns_addr, port, docroot, "/files/", kUser, kPassword,
                                   "/cgi-bin/", "http://" + dns_addr + ":" + std::to_string(apache_port));
        });
        nginx_ok = nginx_port > 0;
    }

    void TearDown() override
    {
        nginx.stop();
        apache.stop();
        dns.stop();
        root.reset();
        dir.reset();
    }

    static std::string name(const std::string &label) { return label + "." + kDomain; }
    std::string log(const std::string &rel) const { return hs::get_file(*dir / rel); }

    std::unique_ptr<TempDir> dir;
    std::unique_ptr<ScopedEnv> root;
    std::string dns_addr; // the process's own loopback address: dnsmasq, Apache and nginx
    std::string small, mid, big, page;
    hs::ServerProcess dns, apache, nginx;
    int apache_port = -1, nginx_port = -1;
    bool dns_ok = false, apache_ok = false, nginx_ok = false;
};

Servers *const g_servers = static_cast<Servers *>(::testing::AddGlobalTestEnvironment(new Servers));

// ---------------------------------------------------------------------
// Scripted server: serves a list of connections, one handler each, on a
// thread; records each request as received.
// ---------------------------------------------------------------------

bool send_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Waits (bounded) until the client closes the connection.
void wait_for_close(int fd)
{
    char buf[256];
    for (int i = 0; i < 200; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0)
            return;
    }
}

bool same_address(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The client's end of a connection the scripted server accepted (the
// client runs in this process): the descriptor whose addresses are the
// server end's swapped. -1 once the client has closed it.
int client_end(int server_end)
{
    sockaddr_in local{}, peer{};
    socklen_t len = sizeof local;
    if (::getsockname(server_end, reinterpret_cast<sockaddr *>(&local), &len) != 0)
        return -1;
    len = sizeof peer;
    if (::getpeername(server_end, reinterpret_cast<sockaddr *>(&peer), &len) != 0)
        return -1;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    int found = -1;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const int fd = std::atoi(e->d_name);
        if (fd == server_end || fd == ::dirfd(d))
            continue;
        sockaddr_in a{}, b{};
        socklen_t alen = sizeof a, blen = sizeof b;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &alen) == 0 && same_address(a, peer) &&
            ::getpeername(fd, reinterpret_cast<sockaddr *>(&b), &blen) == 0 && same_address(b, local)) {
            found = fd;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// Waits until the client has taken every byte sent on fd so far: nothing
// is left in this end's send queue nor in the client's receive queue, so
// the next bytes sent reach the client in a receive of their own. Ends
// as well when the client has closed its end. The queues are looked at
// every millisecond, for at most 30 seconds.
void wait_until_taken(int fd)
{
    for (int i = 0; i < 30000; ++i) {
        int unsent = 0, unread = 0;
        const int client = client_end(fd);
        if (client < 0 || ::ioctl(fd, SIOCOUTQ, &unsent) != 0 || ::ioctl(client, SIOCINQ, &unread) != 0)
            return;
        if (unsent == 0 && unread == 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class ScriptedServer {
public:
    using Handler = std::function<void(int fd, const std::string &request)>;

    explicit ScriptedServer(const std::string &addr = "127.0.0.1", int port = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
            port_ = ntohs(sa.sin_port);
    }
    ~ScriptedServer()
    {
        finish();
        ::close(fd_);
    }

    int port() const { return port_; }
    std::string url(const std::string &path, const std::string &host = "127.0.0.1") const
    {
        return host + ":" + std::to_string(port_) + path;
    }

    void serve(std::vector<Handler> handlers)
    {
        thread_ = std::thread([this, handlers = std::move(handlers)] {
            for (const auto &h : handlers) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20000) <= 0)
                    return;
                int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0)
                    return;
                std::string req = read_request(c);
                requests_.push_back(req);
                h(c, req);
                ::close(c);
            }
        });
    }

    // Waits for the handlers to finish; returns the requests received.
    std::vector<std::string> finish()
    {
        if (thread_.joinable())
            thread_.join();
        return requests_;
    }

    // True when a connection is waiting that no handler took.
    bool extra_connection() const
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    static std::string read_request(int c)
    {
        std::string req;
        char buf[4096];
        size_t want = std::string::npos;
        while (want == std::string::npos || req.size() < want) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            req.append(buf, static_cast<size_t>(n));
            size_t end = req.find("\r\n\r\n");
            if (want == std::string::npos && end != std::string::npos) {
                want = end + 4;
                std::string lower = req.substr(0, end);
                for (auto &ch : lower)
                    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                size_t cl = lower.find("content-length:");
                if (cl != std::string::npos)
                    want += std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
            }
        }
        return req;
    }

    int fd_ = -1;
    int port_ = -1;
    std::thread thread_;
    std::vector<std::string> requests_;
};

// A handler that answers with fixed parts, each sent once the client has
// taken the ones before, so that each part (of at most one receive's
// size) reaches the client as a receive of its own.
ScriptedServer::Handler answer(std::vector<std::string> parts)
{
    return [parts = std::move(parts)](int fd, const std::string &) {
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i > 0)
                wait_until_taken(fd);
            if (!send_all(fd, parts[i]))
                return;
        }
    };
}

// The cnonce value of a Digest Authorization line.
std::string cnonce_of(const std::string &line)
{
    size_t at = line.find("cnonce=\"");
    if (at == std::string::npos)
        return "";
    at += 8;
    return line.substr(at, line.find('"', at) - at);
}

std::string ok_response(const std::string &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string request_head(const std::string &method, const std::string &path, const std::string &host,
                         int port)
{
    return method + " " + path + " HTTP/1.1\r\n"
           "Accept: */*\r\n"
           "Accept-Language: *\r\n"
           "Accept-Encoding: *\r\n" +
           std::string(kUserAgentLine) + "Host: " + host + ":" + std::to_string(port) + "\r\n";
}

// The body curl fetches for url with the given extra options.
std::string curl_fetch(const std::vector<std::string> &options, const std::string &url)
{
    TempDir t;
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-o", t / "body"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(url);
    auto r = dvrtest::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return hs::get_file(t / "body");
}

// Runs fn in a child process that has only about room bytes of memory left
// to allocate. Gives back the child's standard output and what fn wrote to
// the descriptor it was given.
struct LimitedRun {
    std::string out;
    std::string data;
};

LimitedRun with_little_memory(size_t room, const std::function<void(int fd)> &fn)
{
    TempDir t;
    int out = ::open((t / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int data = ::open((t / "data").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        long pages = 0;
        if (FILE *f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        // A few MiB more address space, all taken up (the heap may hold
        // free space of its own too), then room given back.
        rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                       (8u << 20);
        rlimit rl{limit, limit};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &rl) != 0)
            ::_exit(2);
        constexpr size_t kBlock = 16384;
        static void *hog[1 << 16];
        size_t taken = 0;
        while (taken < std::size(hog) && (hog[taken] = std::malloc(kBlock)) != nullptr)
            ++taken;
        for (size_t i = 0; i < room / kBlock && taken > 0; ++i)
            std::free(hog[--taken]);
        // The child never returns into the test program (its tear-down
        // would stop the servers).
        try {
            fn(data);
        } catch (const std::exception &) {
            ::_exit(4);
        }
        std::fflush(stdout);
        ::_exit(0);
    }
    ::close(out);
    ::close(data);
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return {hs::get_file(t / "out"), hs::get_file(t / "data")};
}

// Writes a result and its bytes without allocating anything.
void write_result(int fd, int r, const char *bytes)
{
    size_t n = r > 0 && bytes ? static_cast<size_t>(r) : 0;
    if (::write(fd, &r, sizeof r) != static_cast<ssize_t>(sizeof r) ||
        (n > 0 && ::write(fd, bytes, n) != static_cast<ssize_t>(n)))
        ::_exit(3);
}

int read_result(const std::string &data, std::string &bytes)
{
    int r = 0;
    if (data.size() < sizeof r)
        return -100;
    std::memcpy(&r, data.data(), sizeof r);
    bytes = data.substr(sizeof r);
    return r;
}

} // namespace

// ---------------------------------------------------------------------
// HTML stripping
// ---------------------------------------------------------------------

TEST(HttpStrip, Cases)
{
    struct Case {
        const char *html;
        const char *text;
    } cases[] = {
        {"a<b>b</b><br>c<BR/>d", "ab\nc\nd"},
        {"x<bread crumbs>y", "x\ny"},            // any tag starting with BR
        {"&lt;p&gt; &amp;<p>para</p>", "&lt;p&gt; &amp;para"}, // entities stay
        {"a<!-- c -->b<unclosed", "ab"},
        {"<br", "-"},                            // nothing left: no text
        {"", "-"},
        {"<p></p>", "-"},
    };
    for (const auto &c : cases) {
        std::string in = c.html;
        Content out;
        int r = COM_StripHtmlCode(in.data(), &out.p);
        if (std::strcmp(c.text, "-") == 0) {
            EXPECT_EQ(r, -1) << c.html;
            EXPECT_EQ(out.p, nullptr);
            continue;
        }
        EXPECT_EQ(r, static_cast<int>(std::strlen(c.text)) + 1) << c.html;
        EXPECT_STREQ(out.p, c.text) << c.html;
    }
    // The ">" of a line-break tag becomes a line feed in the input.
    char in[] = "a<br>b<i>c";
    Content out;
    COM_StripHtmlCode(in, &out.p);
    EXPECT_STREQ(in, "a<br\nb<i>c");
}

TEST(HttpStrip, LargePageMatchesReference)
{
    std::mt19937 gen(7);
    std::string html;
    const char *pieces[] = {"<td class=\"x\">", "text ", "<BR>", "</td>", "more&amp;", "\n", "<bR/>", "zz"};
    while (html.size() < 1024 * 1024)
        html += pieces[gen() % 8];
    std::string expected;
    bool in_tag = false, br = false;
    for (size_t i = 0; i < html.size(); ++i) {
        char c = html[i];
        if (!in_tag && c == '<') {
            in_tag = true;
            br = i + 2 < html.size() && std::tolower(html[i + 1]) == 'b' && std::tolower(html[i + 2]) == 'r';
        } else if (!in_tag) {
            expected += c;
        } else if (c == '>') {
            in_tag = false;
            if (br)
                expected += '\n';
        }
    }
    Content out;
    int r = COM_StripHtmlCode(html.data(), &out.p);
    ASSERT_EQ(r, static_cast<int>(expected.size()) + 1);
    EXPECT_TRUE(std::string(out.p, expected.size()) == expected);
    EXPECT_EQ(out.p[expected.size()], '\0');
}

TEST(HttpStrip, OutputThatCannotGrowIsCutAndTerminated)
{
    if (!kCanLimitMemory)
        GTEST_SKIP() << "needs a plain native build: the address-space limit would hit the sanitizer or emulator";
    std::string html;
    while (html.size() < 8 * 1024 * 1024)
        html += "<p>" + std::string(1000, 'x');
    const std::string expected(8 * 1024 * 1024 / 1003 * 1000 + 1000, 'x');
    auto run = with_little_memory(2 * 1024 * 1024, [&html](int fd) {
        char *out = nullptr;
        int r = COM_StripHtmlCode(html.data(), &out);
        write_result(fd, r, out);
    });
    std::string bytes;
    int r = read_result(run.data, bytes);
    ASSERT_GT(r, 1) << run.out.substr(0, 2000);
    EXPECT_LT(static_cast<size_t>(r), expected.size());
    EXPECT_TRUE(bytes.substr(0, static_cast<size_t>(r - 1)) == expected.substr(0, static_cast<size_t>(r - 1)));
    EXPECT_EQ(bytes.back(), '\0');
    EXPECT_NE(run.out.find("COM_StripHtmlCode(): COM_ReallocAndCopyBuf("), std::string::npos) << run.out;
}

// ---------------------------------------------------------------------
// Requests against the scripted server
// ---------------------------------------------------------------------

TEST(HttpScripted, RequestTextsInOrder)
{
    ScriptedServer s;
    ASSERT_GT(s.port(), 0);
    s.serve({answer({ok_response("one")}), answer({ok_response("two")}),
             answer({ok_response("three")})});
    Content c1, c2, c3;
    EXPECT_EQ(COM_GetCookieHttpContent(s.url("/a/b?x=1").c_str(), &c1.p, nullptr, "sid=42"), 4);
    EXPECT_EQ(c1.bytes(4), "one");
    EXPECT_EQ(COM_PostCookieHttpContent(s.url("/post").c_str(), &c2.p, nullptr, "k=v&w=%20", "c=1"), 4);
    EXPECT_EQ(c2.bytes(4), "two");
    COM_HTTP_AUTH basic = make_auth(COM_HTTP_AUTH_BASIC, "user", "secret");
    EXPECT_EQ(COM_PostHttpContent(s.url("/p2").c_str(), &c3.p, &basic, ""), 6);
    auto req = s.finish();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0], request_head("GET", "/a/b?x=1", "127.0.0.1", s.port()) +
                          "Connection: close\r\nCookie: sid=42\r\n\r\n");
    EXPECT_EQ(req[1], request_head("POST", "/post", "127.0.0.1", s.port()) +
                          "content-length: 9\r\nConnection: close\r\nCookie: c=1\r\n\r\nk=v&w=%20");
    EXPECT_EQ(req[2], request_head("POST", "/p2", "127.0.0.1", s.port()) +
                          "content-length: 0\r\nConnection: close\r\n"
                          "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n");
}

// A direct caller of the exchange gives the address, host, path and
// authorisation text itself: the request is built from them as given, the
// host line's port taken from the address, and its texts are checked as
// the URL entry points check theirs, before anything is sent.
TEST(HttpScripted, DirectExchangeBuildsTheRequestFromItsArguments)
{
    ScriptedServer s;
    s.serve({answer({ok_response("direct")}), answer({ok_response("bare")})});
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(s.port()));
    ASSERT_EQ(::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr), 1);
    Content c1, c2;
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "board.test", "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\n", "/d?q=1",
                                 &c1.p, nullptr, 1, "a=b", 0, "k=v"),
              7);
    EXPECT_EQ(c1.bytes(7), "direct");
    // No host, path or authorisation text: an empty host, "/" and the
    // blank line alone.
    const int r = COM_SubSendHttpCmd(&server, nullptr, nullptr, nullptr, &c2.p, nullptr, 0, nullptr, 1, nullptr);
    EXPECT_EQ(r, static_cast<int>(ok_response("bare").size()) + 1);
    EXPECT_EQ(c2.bytes(r), ok_response("bare"));
    auto req = s.finish();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0], request_head("POST", "/d?q=1", "board.test", s.port()) +
                          "content-length: 3\r\nConnection: close\r\nCookie: k=v\r\n"
                          "Authorization: Basic dXNlcjpzZWNyZXQ=\r\n\r\na=b");
    EXPECT_EQ(req[1], request_head("GET", "/", "", s.port()) + "Connection: close\r\n\r\n");

    Content c3;
    CaptureStdout cap;
    const std::string long_path = "/" + std::string(4100, 'p');
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "h\r\nX: 1", nullptr, "/", &c3.p, nullptr, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "h", nullptr, "/x\r\nX: 1", &c3.p, nullptr, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "h", nullptr, "/", &c3.p, nullptr, 0, nullptr, 0, "c\nX: 1"), -1);
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "h", nullptr, "/", &c3.p, nullptr, 1, nullptr, 0, nullptr), -1);
    EXPECT_EQ(COM_SubSendHttpCmd(&server, "h", nullptr, long_path.c_str(), &c3.p, nullptr, 0, nullptr, 0, nullptr),
              -1);
    EXPECT_EQ(COM_SubSendHttpCmd(nullptr, "h", nullptr, "/", &c3.p, nullptr, 0, nullptr, 0, nullptr), -1);
    const std::string text = cap.take();
    for (const char *report : {"COM_SubSendHttpCmd(): CR or LF in the host : request refused\n",
                               "COM_SubSendHttpCmd(): CR or LF in the path : request refused\n",
                               "COM_SubSendHttpCmd(): CR or LF in the cookie : request refused\n",
                               "COM_SubSendHttpCmd(): no body to post\n",
                               "COM_SubSendHttpCmd(): buffer overflow : (len, limit) = (",
                               "COM_SubSendHttpCmd(): invalid argument : (server, content) = ("})
        EXPECT_NE(text.find(report), std::string::npos) << report << text;
    EXPECT_EQ(c3.p, nullptr);
    EXPECT_FALSE(s.extra_connection());
}

TEST(HttpScripted, UrlWithoutPathAsksForRootOnPort80)
{
    ScriptedServer s(g_servers->dns_addr, 80);
    ASSERT_EQ(s.port(), 80);
    s.serve({answer({ok_response("root")})});
    Content c;
    EXPECT_EQ(COM_GetHttpContent(g_servers->dns_addr.c_str(), &c.p, nullptr), 5);
    EXPECT_EQ(c.bytes(5), "root");
    auto req = s.finish();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0], request_head("GET", "/", g_servers->dns_addr, 80) +
                          "Connection: close\r\n\r\n");
}

TEST(HttpScripted, BodyAndHeaderKeeping)
{
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nX-A: b\r\n\r\n";
    ScriptedServer s;
    s.serve({answer({header + "0123456789"}), answer({header + "0123456789"})});
    Content body, whole;
    EXPECT_EQ(COM_GetHttpContent(s.url("/x").c_str(), &body.p, nullptr), 11);
    EXPECT_EQ(body.bytes(11), "0123456789");
    EXPECT_EQ(body.p[10], '\0');
    int r = COM_GetHttpContentWithHeader(s.url("/x").c_str(), &whole.p, nullptr);
    EXPECT_EQ(r, static_cast<int>(header.size()) + 11);
    EXPECT_EQ(whole.bytes(r), header + "0123456789");
}

TEST(HttpScripted, HeaderCutBetweenReceives)
{
    const std::string body = "the body is 24 bytes....";
    const std::string header =
        "HTTP/1.1 200 OK\r\nServer: scripted\r\nContent-Length: 24\r\nX-Long: yes\r\n\r\n";
    // Cut points: between header lines, inside the Content-Length number,
    // inside the blank line, and right after it.
    const size_t cuts[] = {header.find("Server"), header.find("24") + 1, header.size() - 2,
                           header.size()};
    for (size_t cut : cuts) {
        for (int keep : {0, 1}) {
            SCOPED_TRACE("cut " + std::to_string(cut) + " keep " + std::to_string(keep));
            std::string all = header + body;
            ScriptedServer s;
            // The body itself comes in two parts as well: the Content-Length
            // must be what ends the reading.
            s.serve({answer({all.substr(0, cut), all.substr(cut, header.size() + 5 - cut),
                             all.substr(header.size() + 5)})});
            Content c;
            int r = COM_SubGetPostHttpContent(s.url("/x").c_str(), &c.p, nullptr, 0, nullptr, keep,
                                              nullptr);
            std::string expected = keep ? all : body;
            EXPECT_EQ(r, static_cast<int>(expected.size()) + 1);
            EXPECT_EQ(c.bytes(r), expected);
        }
    }
}

TEST(HttpScripted, WithoutContentLengthTheBodyRunsUntilTheServerCloses)
{
    ScriptedServer s;
    s.serve({answer({"HTTP/1.1 200 OK\r\nServer: scripted\r\n\r\nfirst", " second", " third"}),
             answer({"HTTP/1.1 204 No Content\r\nServer: scripted\r\n\r\n"})});
    Content c, none;
    EXPECT_EQ(COM_GetHttpContent(s.url("/x").c_str(), &c.p, nullptr), 19);
    EXPECT_EQ(c.bytes(19), "first second third");
    // A header alone: nothing was stored.
    EXPECT_EQ(COM_GetHttpContent(s.url("/y").c_str(), &none.p, nullptr), 0);
    EXPECT_EQ(none.p, nullptr);
}

TEST(HttpScripted, QuietServerMidBodyFailsWhenTheReadTimeEnds)
{
    ScriptedServer s;
    s.serve({[](int fd, const std::string &) {
        send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
        wait_for_close(fd);
    }});
    Content c;
    CaptureStdout cap;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(COM_GetHttpContent(s.url("/slow").c_str(), &c.p, nullptr), -1);
    auto took = std::chrono::steady_clock::now() - start;
    const std::string out = cap.take();
    // Ten of the hundred bytes announced arrived: no content.
    EXPECT_NE(out.find("COM_SubSendHttpCmd(): body cut short : 10 of 100 bytes\n"), std::string::npos) << out;
    EXPECT_TRUE(c.p == nullptr || c.p[0] == '\0');
    // About six to seven seconds of reading in all.
    EXPECT_GT(took, std::chrono::seconds(5));
    EXPECT_LT(took, std::chrono::seconds(20));
}

TEST(HttpScripted, BodyEndsAtItsContentLengthOnAConnectionKeptOpen)
{
    // The server keeps the connection after the body, as one keeping it
    // alive does, and sends more once the client has taken the body: the
    // body ends where its Content-Length says, without waiting for the
    // server, and nothing after it is taken. The body is longer than the
    // header's receive, so that its end lies in a receive of its own.
    const std::string body = random_bytes(100000, 3);
    ScriptedServer s;
    s.serve({[&body](int fd, const std::string &) {
        send_all(fd, ok_response(body));
        wait_until_taken(fd);
        send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nnext!");
        wait_for_close(fd);
    }});
    Content c;
    const int r = COM_GetHttpContent(s.url("/kept").c_str(), &c.p, nullptr);
    s.finish();
    EXPECT_EQ(r, static_cast<int>(body.size()) + 1);
    EXPECT_TRUE(c.bytes(r) == body);
}

// A body is handed back only whole: a Content-Length not reached or a
// chunked body not ended by its last chunk fails (the server closes
// early), and what the client cannot decode is refused; interim (1xx)
// responses before the final one are skipped.
TEST(HttpScripted, BodiesThatAreNotWholeOrNotDecodableAreRefused)
{
    const std::string kilo(1000, 'k');
    struct Case {
        const char *name;
        std::string response; // sent whole, then the server closes
        int keep;
        int result;          // -1: refused
        std::string content; // when not refused
        const char *report;  // when refused
    } cases[] = {
        {"Content-Length 100000, closed after 1000 bytes",
         "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + kilo, 0, -1, "",
         "COM_SubSendHttpCmd(): body cut short : 1000 of 100000 bytes\n"},
        {"chunked, closed inside a chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n400\r\nabc", 0, -1, "",
         "COM_SubSendHttpCmd(): chunked body ends before its last chunk\n"},
        {"chunked, closed before the last chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", 1, -1, "",
         "COM_SubSendHttpCmd(): chunked body ends before its last chunk\n"},
        {"100 Continue first", "HTTP/1.1 100 Continue\r\n\r\n" + ok_response("final"), 0, 6, "final", nullptr},
        {"103 Early Hints and 100 Continue first, header kept",
         "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n" +
             ok_response("final"),
         1, int(ok_response("final").size()) + 1, ok_response("final"), nullptr},
        {"\"notchunked\" is no chunked coding",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: notchunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0, -1, "",
         "COM_SubSendHttpCmd(): Transfer-Encoding \"notchunked\" refused : only chunked is decoded\n"},
        {"gzip, then chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0, -1, "",
         "COM_SubSendHttpCmd(): Transfer-Encoding \"gzip, chunked\" refused : only chunked is decoded\n"},
        {"chunked, with capitals and blanks",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding:  CHUNKED \r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0, 6, "hello",
         nullptr},
        {"two Content-Length fields that disagree",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 12\r\n\r\nhello world!", 0, -1, "",
         "COM_SubSendHttpCmd(): Content-Length fields disagree : 5 and 12\n"},
        {"two Content-Length fields that agree",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length : 5\r\n\r\nhello", 0, 6, "hello", nullptr},
        {"no framing: the body ends when the server closes", "HTTP/1.1 200 OK\r\n\r\n" + kilo, 0, 1001, kilo,
         nullptr},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer s;
        s.serve({answer({k.response})});
        Content c;
        CaptureStdout cap;
        int r = COM_SubGetPostHttpContent(s.url("/x").c_str(), &c.p, nullptr, 0, nullptr, k.keep, nullptr);
        std::string reports = cap.take();
        s.finish();
        EXPECT_EQ(r, k.result) << reports;
        if (k.result < 0) {
            EXPECT_NE(reports.find(k.report), std::string::npos) << reports;
            EXPECT_TRUE(c.p == nullptr || c.p[0] == '\0'); // nothing handed back
        } else {
            EXPECT_EQ(c.bytes(r), k.content);
        }
    }
}

TEST(HttpScripted, RefusedAddressIsSkipped)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("dnsmasq");
    ASSERT_TRUE(g_servers->dns_ok) << g_servers->log("dns/dnsmasq.log");
    // The name has two addresses: the name server's own (nothing listens on
    // the port there) and the scripted server's. The name server rotates
    // the order, so of two requests one meets the refusal first.
    ScriptedServer s;
    s.serve({answer({ok_response("reached")}), answer({ok_response("reached")})});
    std::string url = s.url("/r", Servers::name("two"));
    std::string reports;
    for (int i = 0; i < 2; ++i) {
        Content c;
        CaptureStdout cap;
        int r = COM_GetHttpContent(url.c_str(), &c.p, nullptr);
        reports += cap.take();
        EXPECT_EQ(r, 8);
        EXPECT_EQ(c.bytes(r), "reached");
    }
    EXPECT_NE(reports.find("connect(" + g_servers->dns_addr + ") error : Connection refused"),
              std::string::npos)
        << reports;
    EXPECT_EQ(s.finish().size(), 2u);

    // No address accepts: -1.
    int port = 0;
    {
        ScriptedServer closed;
        port = closed.port();
    }
    std::string nowhere = Servers::name("two") + ":" + std::to_string(port) + "/";
    Content c;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetHttpContent(nowhere.c_str(), &c.p, nullptr), -1);
    cap.take();
}

TEST(HttpScripted, DigestShortFormAndChallengeReuse)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("dnsmasq");
    ScriptedServer s;
    const std::string challenge = "HTTP/1.1 401 Unauthorized\r\n"
                                  "WWW-Authenticate: Digest realm=\"scripted\", nonce=\"abc123\"\r\n"
                                  "Content-Length: 0\r\n\r\n";
    s.serve({answer({challenge}), answer({ok_response("first")}), answer({ok_response("second")})});
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    Content c1, c2;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetHttpContent(s.url("/dir/f?q=1").c_str(), &c1.p, &a), 6);
    std::string first_reports = cap.take();
    EXPECT_EQ(c1.bytes(6), "first");
    EXPECT_NE(first_reports.find("Content(" + std::to_string(challenge.size() + 1) + "): \n=====\n" +
                                 challenge + "\n=====\n"),
              std::string::npos)
        << first_reports;
    EXPECT_EQ(a.mode, static_cast<uint32_t>(COM_HTTP_AUTH_DIGEST));
    EXPECT_STREQ(a.nonce, "abc123");

    // The second request reuses the challenge: one connection only.
    EXPECT_EQ(COM_GetHttpContent(s.url("/dir/g").c_str(), &c2.p, &a), 7);
    auto req = s.finish();
    EXPECT_FALSE(s.extra_connection());
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0].find("Authorization"), std::string::npos);

    std::string ha1 = md5hex(std::string(kUser) + ":scripted:" + kPassword);
    for (int i : {1, 2}) {
        std::string uri = i == 1 ? "/dir/f?q=1" : "/dir/g";
        std::string response = md5hex(ha1 + ":abc123:" + md5hex("GET:" + uri));
        EXPECT_EQ(req[i], request_head("GET", uri, "127.0.0.1", s.port()) +
                              "Connection: close\r\nAuthorization: Digest username=\"" + kUser +
                              "\",realm=\"scripted\",nonce=\"abc123\",uri=\"" + uri +
                              "\",response=\"" + response + "\"\r\n\r\n");
    }
}

TEST(HttpScripted, DigestQopListUsesTheFirstAndPostFetchesWithGet)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("dnsmasq");
    ScriptedServer s;
    const std::string challenge =
        "HTTP/1.1 401 Unauthorized\r\n"
        "WWW-Authenticate: Digest realm=\"r2\", qop=\"auth,auth-int\", nonce=\"n2\", opaque=\"op2\"\r\n"
        "Content-Length: 6\r\n\r\ndenied";
    s.serve({answer({challenge}), answer({ok_response("posted")})});
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    Content c;
    CaptureStdout cap;
    EXPECT_EQ(COM_PostHttpContent(s.url("/form").c_str(), &c.p, &a, "x=1"), 7);
    cap.take();
    auto req = s.finish();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0].rfind("GET /form HTTP/1.1\r\n", 0), 0u) << req[0];
    std::string line = req[1].substr(req[1].find("Authorization:"));
    EXPECT_NE(line.find("qop=\"auth\",opaque=\"op2\"\r\n\r\nx=1"), std::string::npos) << line;
    std::string cnonce = cnonce_of(line);
    ASSERT_EQ(cnonce.size(), 32u) << line;
    EXPECT_EQ(cnonce.find_first_not_of("0123456789abcdef"), std::string::npos) << cnonce;
    std::string ha1 = md5hex(std::string(kUser) + ":r2:" + kPassword);
    std::string response =
        md5hex(ha1 + ":n2:00000001:" + cnonce + ":auth:" + md5hex("POST:/form"));
    EXPECT_NE(line.find("response=\"" + response + "\""), std::string::npos) << line;

    // Every request draws a fresh client nonce, however the challenge is
    // reused.
    std::set<std::string> seen = {cnonce};
    char text[512];
    for (int i = 0; i < 8; ++i) {
        ASSERT_GT(COM_GenHttpAuthStr("GET", "h.test/form", &a, text), 0);
        seen.insert(cnonce_of(text));
    }
    EXPECT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen.count(md5hex("HELLO")), 0u);
}

TEST(HttpScripted, OverlongRequestIsRefusedAndNothingSent)
{
    ScriptedServer s;
    std::string url = s.url("/x");
    std::string long_cookie(4000, 'c');
    std::string long_body(5000, 'b');
    std::string long_path = s.url("/" + std::string(4100, 'p'));
    Content c;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetCookieHttpContent(url.c_str(), &c.p, nullptr, long_cookie.c_str()), -1);
    EXPECT_EQ(COM_PostHttpContent(url.c_str(), &c.p, nullptr, long_body.c_str()), -1);
    EXPECT_EQ(COM_GetHttpContent(long_path.c_str(), &c.p, nullptr), -1);
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    std::string digest_path = s.url("/" + std::string(300, 'd'));
    EXPECT_EQ(COM_GetHttpContent(digest_path.c_str(), &c.p, &a), -1);
    std::string text = cap.take();
    EXPECT_NE(text.find("buffer overflow : (len, limit) = ("), std::string::npos) << text;
    EXPECT_NE(text.find(", 4096)"), std::string::npos) << text;
    EXPECT_NE(text.find("(302, 256)"), std::string::npos) << text;
    EXPECT_EQ(c.p, nullptr);
    EXPECT_FALSE(s.extra_connection());

    // A request of exactly 4095 bytes still goes out.
    std::string head = request_head("GET", "/x", "127.0.0.1", s.port()) +
                       "Connection: close\r\nCookie: \r\n\r\n";
    std::string fitting(4095 - head.size(), 'k');
    s.serve({answer({ok_response("ok")})});
    EXPECT_EQ(COM_GetCookieHttpContent(url.c_str(), &c.p, nullptr, fitting.c_str()), 3);
    auto req = s.finish();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].size(), 4095u);
}

TEST(HttpScripted, UnusableUrls)
{
    Content c;
    CaptureStdout cap;
    // A scheme is not understood: the host becomes "http".
    EXPECT_EQ(COM_GetHttpContent("http://127.0.0.1/x", &c.p, nullptr), -1);
    std::string host(80, 'h');
    EXPECT_EQ(COM_GetHttpContent((host + ".test/x").c_str(), &c.p, nullptr), -1);
    EXPECT_EQ(COM_GetHttpContent(nullptr, &c.p, nullptr), -1);
    std::string text = cap.take();
    EXPECT_NE(text.find("invalid pDomainName"), std::string::npos) << text;
    EXPECT_NE(text.find("DNS_GetA(http) return error [http://127.0.0.1/x]"), std::string::npos) << text;
    EXPECT_NE(text.find("buffer overflow : (len, limit) = (86, 80)"), std::string::npos) << text;
    EXPECT_EQ(c.p, nullptr);
    // Without a path the same: a host and port of 80 characters do not fit
    // the 80-byte host field with its NUL, and nothing is looked up.
    const std::string hostPort = std::string(76, 'h') + ":808";
    CaptureStdout cap2;
    EXPECT_EQ(COM_GetHttpContent(hostPort.c_str(), &c.p, nullptr), -1);
    text = cap2.take();
    EXPECT_NE(text.find("buffer overflow : (len, limit) = (81, 80)"), std::string::npos) << text;
    EXPECT_EQ(text.find("DNS_GetA"), std::string::npos) << text;
}


// ---------------------------------------------------------------------
// A hostile server
// ---------------------------------------------------------------------

namespace {

// Sends head, then fill again and again until the client goes (or cap
// bytes went out), then closes.
ScriptedServer::Handler flood(std::string head, std::string fill, size_t cap = 64u << 20)
{
    return [head = std::move(head), fill = std::move(fill), cap](int fd, const std::string &) {
        if (!send_all(fd, head))
            return;
        for (size_t sent = 0; sent < cap; sent += fill.size())
            if (!send_all(fd, fill))
                return;
    };
}

// Peak resident memory of this process in KiB since the last reset_peak()
// (VmHWM); -1 when the kernel cannot say.
long peak_kib()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &v) == 1)
            break;
    std::fclose(f);
    return v;
}

long rss_kib()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long v = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &v) == 1)
            break;
    std::fclose(f);
    return v;
}

bool reset_peak()
{
    int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

// Restores the content limit at the end of a test.
struct ContentLimit {
    explicit ContentLimit(int bytes) : old(COM_SetHttpMaxContent(bytes)) {}
    ~ContentLimit() { COM_SetHttpMaxContent(old); }
    int old;
};

} // namespace

TEST(HttpHostile, ResponsesPastTheLimitsEndAtTheLimits)
{
    constexpr int kLimit = 1 << 20;
    ContentLimit limit(kLimit);
    const std::string block(4096, 'b');
    struct Case {
        const char *name;
        ScriptedServer::Handler handler;
        bool keep;
        int result;
        const char *report;
    } cases[] = {
        {"endless header", flood("HTTP/1.1 200 OK\r\n", "X-Fill: " + std::string(1000, 'h') + "\r\n"), false, -1,
         "response header longer than 65536 bytes\n"},
        {"endless header kept", flood("HTTP/1.1 200 OK\r\n", "X-Fill: " + std::string(1000, 'h') + "\r\n"), true,
         -1, "response header longer than 65536 bytes\n"},
        {"endless body, huge Content-Length",
         flood("HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\n", block), false, -1,
         "Content-Length 2000000000 over the limit of 1048576 bytes\n"},
        {"Content-Length one over the limit",
         flood("HTTP/1.1 200 OK\r\nContent-Length: 1048577\r\n\r\n", block, kLimit + 1), true, -1,
         "Content-Length 1048577 over the limit of 1048576 bytes\n"},
        {"endless body without Content-Length", flood("HTTP/1.1 200 OK\r\n\r\n", block), false, -1,
         "content longer than the limit of 1048576 bytes\n"},
        {"endless chunked body",
         flood("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "1000\r\n" + block + "\r\n"), false, -1,
         "content longer than the limit of 1048576 bytes\n"},
        {"body of the limit without Content-Length", flood("HTTP/1.1 200 OK\r\n\r\n", block, kLimit), false,
         kLimit + 1, nullptr},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedServer s;
        s.serve({k.handler});
        Content c;
        CaptureStdout cap;
        const bool measured = reset_peak();
        const long before = rss_kib();
        auto start = std::chrono::steady_clock::now();
        int r = COM_SubGetPostHttpContent(s.url("/x").c_str(), &c.p, nullptr, 0, nullptr, k.keep, nullptr);
        auto took = std::chrono::steady_clock::now() - start;
        const long peak = peak_kib();
        std::string reports = cap.take();
        s.finish();
        EXPECT_EQ(r, k.result) << reports.substr(0, 2000);
        if (k.report) {
            EXPECT_NE(reports.find(std::string("COM_SubSendHttpCmd(): ") + k.report), std::string::npos)
                << reports.substr(0, 2000);
            // Nothing stored is handed back.
            EXPECT_TRUE(c.p == nullptr || c.p[0] == '\0');
        } else {
            EXPECT_TRUE(c.bytes(r) == std::string(kLimit, 'b'));
        }
        // Within the read time, not the sender's pace.
        EXPECT_LT(took, std::chrono::seconds(15));
        // The memory the call used stays near the limit: the content, one
        // doubling step of it and the header's room. (ThreadSanitizer's
        // shadow of every page the call touches counts in the resident size
        // as well, so there it measures the tool.)
        if (kResidentSizeIsTheCalls && measured && before > 0 && peak > 0) {
            EXPECT_LT(peak - before, 4 * (kLimit / 1024) + 1024) << "KiB";
        }
    }
}

TEST(HttpHostile, DripIsCutByTheReadTime)
{
    ScriptedServer s;
    std::atomic<bool> done{false};
    s.serve({[&done](int fd, const std::string &) {
        send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
        // One byte a second until the client goes (at most 30).
        for (int i = 0; i < 30 && !done; ++i) {
            if (!send_all(fd, "d"))
                return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) > 0)
                return; // the client closed
        }
    }});
    Content c;
    CaptureStdout cap;
    auto start = std::chrono::steady_clock::now();
    int r = COM_GetHttpContent(s.url("/drip").c_str(), &c.p, nullptr);
    auto took = std::chrono::steady_clock::now() - start;
    done = true;
    s.finish();
    const std::string out = cap.take();
    // What dripped in within the read time is not the body announced.
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(std::regex_search(out, std::regex("body cut short : [1-9] of 100 bytes\n"))) << out;
    EXPECT_TRUE(c.p == nullptr || c.p[0] == '\0');
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST(HttpHostile, DroppedConnectionAttemptsCostTheWriteWaitThenTheNextAddress)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("dnsmasq");
    ASSERT_TRUE(g_servers->dns_ok) << g_servers->log("dns/dnsmasq.log");
    ScriptedServer s;
    s.serve({answer({ok_response("reached")}), answer({ok_response("reached")})});
    // The name's other address: a listener on the same port whose queue
    // is full, so that the kernel drops further connection attempts.
    int dropper = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(s.port()));
    ::inet_pton(AF_INET, g_servers->dns_addr.c_str(), &sa.sin_addr);
    ASSERT_EQ(::bind(dropper, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(dropper, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        fillers.push_back(f);
    }
    pollfd p{fillers[0], POLLOUT, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1); // the first one is queued

    std::string url = s.url("/r", Servers::name("two"));
    std::string reports;
    for (int i = 0; i < 2; ++i) {
        Content c;
        CaptureStdout cap;
        auto start = std::chrono::steady_clock::now();
        int r = COM_GetHttpContent(url.c_str(), &c.p, nullptr);
        auto took = std::chrono::steady_clock::now() - start;
        reports += cap.take();
        EXPECT_EQ(r, 8);
        EXPECT_EQ(c.bytes(r), "reached");
        // The 3 s write wait, not the kernel's minutes of retries.
        EXPECT_LT(took, std::chrono::seconds(10));
    }
    EXPECT_NE(reports.find("connect(" + g_servers->dns_addr + ") error : " + std::strerror(ETIMEDOUT) + "\n"),
              std::string::npos)
        << reports;
    EXPECT_EQ(s.finish().size(), 2u);
    for (int f : fillers)
        ::close(f);
    ::close(dropper);
}

TEST(HttpHostile, LineBreaksInTheCallersTextsAreRefusedAndNothingSent)
{
    ScriptedServer s;
    const std::string url = s.url("/x");
    struct Case {
        const char *name;
        std::string url;
        const char *cookie;
        uint32_t mode;
        const char *user;
        const char *password;
        const char *report;
    } cases[] = {
        {"path", s.url("/x\r\nX-Injected: 1"), nullptr, COM_HTTP_AUTH_NONE, kUser, kPassword, "URL"},
        {"path with a line feed", s.url("/x\nX-Injected: 1"), nullptr, COM_HTTP_AUTH_NONE, kUser, kPassword, "URL"},
        {"host", "127.0.0.1\r:" + std::to_string(s.port()) + "/x", nullptr, COM_HTTP_AUTH_NONE, kUser, kPassword,
         "URL"},
        {"cookie", url, "a=1\r\nX-Injected: 1", COM_HTTP_AUTH_NONE, kUser, kPassword, "cookie"},
        {"Basic user name", url, nullptr, COM_HTTP_AUTH_BASIC, "us\ner", kPassword, "user name"},
        {"Basic password", url, nullptr, COM_HTTP_AUTH_BASIC, kUser, "pass\rword", "password"},
        {"Digest user name", url, nullptr, COM_HTTP_AUTH_DIGEST, "us\r\ner", kPassword, "user name"},
        {"Digest password", url, nullptr, COM_HTTP_AUTH_DIGEST, kUser, "pa\nss", "password"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        COM_HTTP_AUTH a = make_auth(k.mode, k.user, k.password);
        Content c;
        CaptureStdout cap;
        EXPECT_EQ(COM_GetCookieHttpContent(k.url.c_str(), &c.p, &a, k.cookie), -1);
        EXPECT_EQ(COM_PostCookieHttpContent(k.url.c_str(), &c.p, &a, "body", k.cookie), -1);
        std::string text = cap.take();
        EXPECT_NE(text.find(std::string("CR or LF in the ") + k.report + " : request refused\n"), std::string::npos)
            << text;
        EXPECT_EQ(c.p, nullptr);
        EXPECT_FALSE(s.extra_connection());
    }
    // A POST body may hold any bytes.
    s.serve({answer({ok_response("ok")})});
    Content c;
    EXPECT_EQ(COM_PostHttpContent(url.c_str(), &c.p, nullptr, "line one\r\nline two\r\n"), 3);
    auto req = s.finish();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_NE(req[0].find("\r\n\r\nline one\r\nline two\r\n"), std::string::npos);
}

TEST(HttpHostile, ChallengeWithLineBreaksIsRefused)
{
    // From a server: the challenge is refused, the request goes without
    // authorisation and without the server's line.
    ScriptedServer s;
    s.serve({answer({"HTTP/1.1 401 Unauthorized\r\n"
                     "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\r\nX-Injected: 1\", qop=\"auth\"\r\n"
                     "Content-Length: 0\r\n\r\n"}),
             answer({ok_response("plain")})});
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    Content c;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetHttpContent(s.url("/d").c_str(), &c.p, &a), 6);
    std::string reports = cap.take();
    EXPECT_NE(reports.find("CR or LF in the challenge's nonce : challenge refused\n"), std::string::npos) << reports;
    auto req = s.finish();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1].find("X-Injected"), std::string::npos) << req[1];
    EXPECT_EQ(req[1].find("Authorization"), std::string::npos) << req[1];
    EXPECT_STREQ(a.nonce, "");
}

// ---------------------------------------------------------------------
// Real servers, found by name through the name server
// ---------------------------------------------------------------------

TEST(HttpApache, DigestDownloadsMatchCurl)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("Apache, dnsmasq and curl");
    ASSERT_TRUE(g_servers->dns_ok) << g_servers->log("dns/dnsmasq.log");
    ASSERT_TRUE(g_servers->apache_ok) << g_servers->log("apache/out.log") << g_servers->log("apache/error.log");
    const std::string base = Servers::name("apache") + ":" + std::to_string(g_servers->apache_port);
    const std::string curl_base = "http://" + g_servers->dns_addr + ":" + std::to_string(g_servers->apache_port);
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST);
    struct File {
        const char *path;
        const std::string *content;
    } files[] = {{"/files/small.txt", &g_servers->small},
                 {"/files/mid.bin", &g_servers->mid},
                 {"/files/big.bin", &g_servers->big}};
    bool first = true;
    for (const auto &f : files) {
        SCOPED_TRACE(f.path);
        Content c;
        CaptureStdout cap;
        int r = COM_GetHttpContent((base + f.path).c_str(), &c.p, &a);
        std::string reports = cap.take();
        ASSERT_EQ(r, static_cast<int>(f.content->size()) + 1) << reports;
        EXPECT_TRUE(c.bytes(r) == *f.content);
        EXPECT_TRUE(c.bytes(r) ==
                    curl_fetch({"--digest", "-u", std::string(kUser) + ":" + kPassword}, curl_base + f.path));
        // Only the first request fetched a challenge.
        if (first)
            EXPECT_NE(reports.find("WWW-Authenticate: Digest realm=\"board realm\""), std::string::npos);
        else
            EXPECT_EQ(reports.find("Content("), std::string::npos) << reports;
        first = false;
    }
    EXPECT_STREQ(a.qop, "auth");
    EXPECT_STREQ(a.opaque, "");

    // The header, when kept, shows the server's verdict.
    Content h;
    int r = COM_GetHttpContentWithHeader((base + "/files/small.txt").c_str(), &h.p, &a);
    EXPECT_EQ(h.bytes(r).rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << h.bytes(r);

    // A POST is authorised the same way; Apache then refuses the method on
    // a static file, not the authorisation.
    Content p;
    r = COM_PostHttpContentWithHeader((base + "/files/small.txt").c_str(), &p.p, &a, "k=v");
    ASSERT_GT(r, 0);
    // Only the status line counts: the random cnonce the server echoes may
    // hold the digits 401 as well.
    EXPECT_NE(p.bytes(r).rfind("HTTP/1.1 401", 0), 0u) << p.bytes(r);
}

TEST(HttpApache, WrongPasswordIsRefused)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("Apache and dnsmasq");
    ASSERT_TRUE(g_servers->dns_ok && g_servers->apache_ok);
    const std::string url =
        Servers::name("apache") + ":" + std::to_string(g_servers->apache_port) + "/files/small.txt";
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_DIGEST, kUser, "wrong");
    Content c;
    CaptureStdout cap;
    int r = COM_GetHttpContentWithHeader(url.c_str(), &c.p, &a);
    cap.take();
    EXPECT_EQ(c.bytes(r).rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << c.bytes(r);
}

TEST(HttpNginx, BasicDownloadsMatchCurl)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("nginx, dnsmasq and curl");
    ASSERT_TRUE(g_servers->dns_ok) << g_servers->log("dns/dnsmasq.log");
    ASSERT_TRUE(g_servers->nginx_ok) << g_servers->log("nginx/out.log") << g_servers->log("nginx/error.log");
    const std::string base = Servers::name("nginx") + ":" + std::to_string(g_servers->nginx_port);
    const std::string curl_base = "http://" + g_servers->dns_addr + ":" + std::to_string(g_servers->nginx_port);
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_BASIC);
    for (const char *path : {"/files/small.txt", "/files/mid.bin", "/files/big.bin"}) {
        SCOPED_TRACE(path);
        Content c;
        CaptureStdout cap;
        int r = COM_GetHttpContent((base + path).c_str(), &c.p, &a);
        std::string reports = cap.take();
        ASSERT_GT(r, 0) << reports;
        std::string expected = curl_fetch({"-u", std::string(kUser) + ":" + kPassword}, curl_base + path);
        EXPECT_EQ(r, static_cast<int>(expected.size()) + 1);
        EXPECT_TRUE(c.bytes(r) == expected);
        EXPECT_TRUE(c.bytes(r) == hs::get_file(g_servers->dir->path() + "/htdocs" + path));
    }

    struct Case {
        uint32_t mode;
        const char *password;
        bool post;
        const char *status;
    } cases[] = {
        {COM_HTTP_AUTH_NONE, kPassword, false, "HTTP/1.1 401 "},
        {COM_HTTP_AUTH_BASIC, "wrong", false, "HTTP/1.1 401 "},
        {COM_HTTP_AUTH_BASIC, kPassword, false, "HTTP/1.1 200 "},
        {COM_HTTP_AUTH_BASIC, kPassword, true, "HTTP/1.1 405 "}, // authorised, then refused
    };
    for (const auto &k : cases) {
        COM_HTTP_AUTH b = make_auth(k.mode, kUser, k.password);
        Content c;
        std::string url = base + "/files/small.txt";
        int r = k.post ? COM_PostHttpContentWithHeader(url.c_str(), &c.p, &b, "a=b")
                       : COM_GetHttpContentWithHeader(url.c_str(), &c.p, &b);
        EXPECT_EQ(c.bytes(r).rfind(k.status, 0), 0u) << c.bytes(r);
    }
}

TEST(HttpRealServers, BodiesOfUnknownLengthMatchCurl)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("Apache, nginx, dnsmasq and curl");
    ASSERT_TRUE(g_servers->dns_ok && g_servers->apache_ok && g_servers->nginx_ok);
    const std::string expected = g_servers->mid + g_servers->big;
    struct Server {
        const char *name;
        int port;
        const char *framing; // what the kept header shows
    } servers[] = {
        // Apache sends a script's output until it closes, as asked.
        {"apache", g_servers->apache_port, "Connection: close"},
        // nginx passes it on in chunks.
        {"nginx", g_servers->nginx_port, "Transfer-Encoding: chunked"},
    };
    for (const auto &sv : servers) {
        SCOPED_TRACE(sv.name);
        const std::string url = Servers::name(sv.name) + ":" + std::to_string(sv.port) + "/cgi-bin/stream.cgi";
        Content c;
        CaptureStdout cap;
        int r = COM_GetHttpContent(url.c_str(), &c.p, nullptr);
        std::string reports = cap.take();
        ASSERT_EQ(r, static_cast<int>(expected.size()) + 1) << reports;
        const std::string curl =
            curl_fetch({}, "http://" + g_servers->dns_addr + ":" + std::to_string(sv.port) + "/cgi-bin/stream.cgi");
        EXPECT_TRUE(c.bytes(r) == curl);
        EXPECT_TRUE(c.bytes(r) == expected);

        Content h;
        r = COM_GetHttpContentWithHeader(url.c_str(), &h.p, nullptr);
        std::string whole = h.bytes(r);
        size_t end = whole.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_NE(whole.substr(0, end).find(sv.framing), std::string::npos) << whole.substr(0, end);
        EXPECT_TRUE(whole.substr(end + 4) == expected);
    }
}

TEST(HttpNginx, ContentThatCannotGrowKeepsWhatWasStored)
{
    if (!kCanLimitMemory)
        GTEST_SKIP() << "needs a plain native build: the address-space limit would hit the sanitizer or emulator";
    ASSERT_TRUE(g_servers->nginx_ok);
    const std::string url = g_servers->dns_addr + ":" + std::to_string(g_servers->nginx_port) + "/files/big.bin";
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_BASIC);
    auto run = with_little_memory(1024 * 1024, [&url, &a](int fd) {
        char *content = nullptr;
        int r = COM_GetHttpContent(url.c_str(), &content, &a);
        write_result(fd, r, content);
    });
    std::string bytes;
    int r = read_result(run.data, bytes);
    ASSERT_GT(r, 1) << run.out.substr(0, 2000);
    const std::string &file = g_servers->big;
    EXPECT_LT(static_cast<size_t>(r), file.size());
    EXPECT_TRUE(bytes.substr(0, static_cast<size_t>(r - 1)) == file.substr(0, static_cast<size_t>(r - 1)));
    EXPECT_EQ(bytes.back(), '\0');
    EXPECT_NE(run.out.find("COM_SubSendHttpCmd(): COM_ReallocAndCopyBuf("), std::string::npos)
        << run.out.substr(0, 2000);
}

TEST(HttpHostile, FalseContentLengthReservesLittleAhead)
{
    if (!kCanLimitMemory)
        GTEST_SKIP() << "needs a plain native build: the address-space limit would hit the sanitizer or emulator";
    // A Content-Length near the content limit over a body of ten bytes, on
    // a board with 24 MiB to spare: the room taken ahead of the body is a
    // few MiB, never what the length claims, so no growth fails.
    ScriptedServer s;
    s.serve({answer({"HTTP/1.1 200 OK\r\nContent-Length: 60000000\r\n\r\n0123456789"})});
    const std::string url = s.url("/false");
    auto run = with_little_memory(24u << 20, [&url](int fd) {
        char *content = nullptr;
        int r = COM_GetHttpContent(url.c_str(), &content, nullptr);
        write_result(fd, r, content);
    });
    s.finish();
    std::string bytes;
    // The ten bytes are no body of that length: refused, without a growth
    // that failed on the way.
    EXPECT_EQ(read_result(run.data, bytes), -1) << run.out.substr(0, 2000);
    EXPECT_NE(run.out.find("body cut short : 10 of 60000000 bytes"), std::string::npos) << run.out.substr(0, 2000);
    EXPECT_EQ(run.out.find("realloc("), std::string::npos) << run.out.substr(0, 2000);
}

TEST(HttpNginx, StrippedPage)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("nginx and dnsmasq");
    ASSERT_TRUE(g_servers->dns_ok && g_servers->nginx_ok);
    const std::string base = Servers::name("nginx") + ":" + std::to_string(g_servers->nginx_port);
    COM_HTTP_AUTH a = make_auth(COM_HTTP_AUTH_BASIC);
    Content text;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetStrippedHtml((base + "/files/page.html").c_str(), &text.p, &a), 7);
    EXPECT_STREQ(text.p, "ab\nc\nd");
    // A failed fetch hands its result back.
    Content none;
    EXPECT_EQ(COM_GetStrippedHtml("nowhere", &none.p, nullptr), -1);
    cap.take();
    EXPECT_EQ(none.p, nullptr);
}

// ---------------------------------------------------------------------
// Bounds against written-out texts
// ---------------------------------------------------------------------

TEST(HttpScripted, BytesPastTheContentLengthInTheBodysLastReceiveAreNotTaken)
{
    // The next response arrives in the same receive as the body's last
    // bytes: in the header's own receive (the whole response in one send),
    // in the first receive after a header that came alone, or after part
    // of the body was stored. Each send is taken before the next goes out,
    // so each is a receive of its own. The content is the body, byte for
    // byte, never the bytes after it.
    const std::string surplus = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nnext!";
    const std::string small = random_bytes(1500, 5), large = random_bytes(20000, 7);
    const std::string small_header = "HTTP/1.1 200 OK\r\nContent-Length: 1500\r\n\r\n";
    const std::string large_header = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n";
    struct Shape {
        const char *what;
        const std::string &header, &body;
        std::vector<std::string> sends;
    } shapes[] = {
        {"all in one send", small_header, small, {small_header + small + surplus}},
        {"header alone, then the body", small_header, small, {small_header, small + surplus}},
        {"part of the body with the header", large_header, large,
         {large_header + large.substr(0, 1000), large.substr(1000) + surplus}},
    };
    for (const Shape &shape : shapes) {
        for (bool keep : {false, true}) {
            SCOPED_TRACE(std::string(shape.what) + (keep ? ", header kept" : ", body alone"));
            ScriptedServer s;
            s.serve({[&](int fd, const std::string &) {
                for (const std::string &part : shape.sends) {
                    send_all(fd, part);
                    wait_until_taken(fd);
                }
                wait_for_close(fd);
            }});
            Content c;
            const int r =
                COM_SubGetPostHttpContent(s.url("/x").c_str(), &c.p, nullptr, 0, nullptr, keep, nullptr);
            s.finish();
            const std::string want = keep ? shape.header + shape.body : shape.body;
            EXPECT_EQ(r, static_cast<int>(want.size()) + 1);
            if (r == static_cast<int>(want.size()) + 1) {
                EXPECT_TRUE(c.bytes(r) == want);
                EXPECT_EQ(c.p[r - 1], '\0');
            }
        }
    }
}
