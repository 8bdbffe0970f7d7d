// labels: net threads
// timeout: 120
// The resolver against a real name server (dnsmasq, checked against dig)
// and against scripted responders for what a real server will not do on
// demand: silence, lies, cut-off answers and replies from strangers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DNS.h"
#include "dns_wire.h"
#include "fixtures.h"
#include "test_support.h"

using dvrtest::dns::Bytes;
using dvrtest::dns::ip_text;
using dvrtest::dns::kQname;
using dvrtest::dns::Response;

namespace {

// Loopback addresses of this test program: 127.53.x.y with x and y taken
// from the process id, so two runs at the same time (say, two builds) do
// not meet on port 53.
std::string loop_addr(int k)
{
    static const unsigned pid = unsigned(::getpid());
    return "127.53." + std::to_string((pid >> 6) & 0xFF) + "." + std::to_string((pid & 63) * 4 + unsigned(k));
}
const std::string kDnsmasqAddr = loop_addr(0);
const std::string kResponderAddr = loop_addr(1);
const std::string kSecondAddr = loop_addr(2);
const std::string kStrangerAddr = loop_addr(3);

sockaddr_in sock_addr(const std::string &ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

int udp_socket(const std::string &ip, uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = sock_addr(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot bind " + ip + ":" + std::to_string(port) + ": " +
                                 std::strerror(errno));
    return fd;
}

// A program's path: PATH, then the system directories a root shell has.
std::string find_program(const std::string &name)
{
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return name;
}

// A UDP responder on ip:53 whose answers are scripted per query.
class Responder {
public:
    using Script = std::function<void(Responder &, const Bytes &query, const sockaddr_in &from)>;

    Responder(const std::string &ip, Script script) : script_(std::move(script))
    {
        fd_ = udp_socket(ip, 53);
        other_port_fd_ = udp_socket(ip, 0);
        thread_ = std::thread([this] { loop(); });
    }
    ~Responder()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
        ::close(other_port_fd_);
    }
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    void reply(const sockaddr_in &to, const Bytes &b) { send_from(fd_, to, b); }
    // The same bytes from the right address but another port.
    void reply_from_other_port(const sockaddr_in &to, const Bytes &b) { send_from(other_port_fd_, to, b); }
    static void send_from(int fd, const sockaddr_in &to, const Bytes &b)
    {
        ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // The count once every datagram that reached the socket has been taken
    // and handled (the library may return before this thread caught up).
    int queries() const
    {
        for (int i = 0; i < 200; ++i) {
            int queued = 0;
            if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued == 0 && !busy_)
                return queries_.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    void loop()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            busy_ = true;
            uint8_t buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n > 0) {
                ++queries_;
                script_(*this, Bytes(buf, buf + n), from);
            }
            busy_ = false;
        }
    }

    Script script_;
    int fd_ = -1;
    int other_port_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> queries_{0};
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

// qtype of a query as the library builds it.
uint16_t qtype_of(const Bytes &q) { return q.size() >= 4 ? uint16_t(q[q.size() - 4] << 8 | q[q.size() - 3]) : 0; }

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<std::string> ips_of(const DNS_ADDR_REC *rec)
{
    std::vector<std::string> v;
    for (size_t i = 0; i < DNS_ADDR_REC_MAX && rec[i].flag; ++i)
        v.push_back(ip_text(rec[i].ip));
    return v;
}

// A board root whose "/etc/resolv.conf" the test writes.
class BoardRoot {
public:
    BoardRoot() : env_("DVRPLAT_ROOT", dir_.path()) { dvrtest::make_dirs(dir_ / "etc"); }
    void resolv_conf(const std::string &text) { dvrtest::write_file(dir_ / "etc/resolv.conf", text); }
    void name_servers(std::initializer_list<std::string> ips)
    {
        std::string text = "# written by the test\n";
        for (const std::string &ip : ips)
            text += "nameserver " + ip + "\n";
        resolv_conf(text);
    }

private:
    dvrtest::TempDir dir_;
    dvrtest::ScopedEnv env_;
};

} // namespace

// ---------------------------------------------------------------------
// Without any server.
// ---------------------------------------------------------------------

TEST(DnsResolver, DottedAddressesNeedNoQueryAndNamesNeedADot)
{
    BoardRoot root; // no resolv.conf at all: nothing may read it
    const struct {
        const char *name;
        const char *ip;
    } dotted[] = {{"192.0.2.1", "192.0.2.1"}, {"postmaster@192.0.2.5", "192.0.2.5"}};
    for (const auto &d : dotted) {
        for (auto fn : {DNS_GetA, DNS_GetMX}) {
            DNS_ADDR_REC rec[DNS_ADDR_REC_MAX];
            std::memset(rec, 0x5A, sizeof rec);
            dvrtest::CaptureStdout cap;
            ASSERT_EQ(fn(d.name, rec), 0) << d.name;
            EXPECT_EQ(cap.take(), "") << d.name;
            EXPECT_EQ(rec[0].flag, 1);
            EXPECT_EQ(rec[0].type, 1);
            EXPECT_EQ(ip_text(rec[0].ip), d.ip);
            EXPECT_EQ(rec[0].offset, 0x5A); // not written
            EXPECT_EQ(rec[1].flag, 0x5A);
        }
    }
    for (const char *name : {static_cast<const char *>(nullptr), "localhost", ""}) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(DNS_GetA(name, rec), -1);
        std::string out = cap.take();
        EXPECT_NE(out.find("DNS_GetA(): invalid pDomainName\n"), std::string::npos);
        EXPECT_EQ(count_of(out, "\n"), 1u) << out;
    }
}

TEST(DnsResolver, NameServerTableFromResolvConf)
{
    BoardRoot root;
    {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(DNS_GetA("host.example.com", rec), -1);
        std::string out = cap.take();
        EXPECT_NE(out.find("fopen(/etc/resolv.conf) error : No such file or directory\n"), std::string::npos);
        EXPECT_NE(out.find("DNS_GetA(): no nameserver found\n"), std::string::npos);
    }
    // The tail of an over-long line is not a line of its own.
    // Comments start with "#" or ";"; the keyword must start the line and
    // be followed by a blank.
    root.resolv_conf("# resolver\n"
                     "search example.com\n"
                     "# nameserver 10.9.0.3\n"
                     ";nameserver 10.9.0.4\n"
                     "  nameserver 10.9.0.1\n"
                     "nameservers 10.9.0.5\n"
                     "nameserver\n"
                     "#" + std::string(254, 'x') + "nameserver 10.9.0.2\n"
                     "nameserver\t10.0.0.1\n"
                     "nameserver 10.0.0.2 # second\r\n"
                     "nameserver 123456789012345678\n"
                     "nameserver 10.0.0.4\n"
                     "nameserver 10.0.0.5\n");
    char table[DNS_NAMESERVER_MAX + 1][DNS_NAMESERVER_LEN];
    std::memset(table, 0, sizeof table);
    std::memset(table[DNS_NAMESERVER_MAX], 0x5A, DNS_NAMESERVER_LEN);
    dvrtest::CaptureStdout cap;
    ASSERT_EQ(DNS_GetNameServer(table), 4);
    std::string out = cap.take();
    EXPECT_STREQ(table[0], "10.0.0.1");
    EXPECT_STREQ(table[1], "10.0.0.2");
    EXPECT_STREQ(table[2], "123456789012345");
    EXPECT_STREQ(table[3], "10.0.0.4");
    EXPECT_EQ(table[4][0], 0x5A);
    EXPECT_NE(out.find("DNS_GetNameServer(): DNS[2] = 123456789012345\n"), std::string::npos);
    EXPECT_EQ(count_of(out, "DNS["), 4u);
}

// ---------------------------------------------------------------------
// Against dnsmasq.
// ---------------------------------------------------------------------

class Dnsmasq : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new dvrtest::TempDir();
        std::string hosts;
        for (int i = 1; i <= 6; ++i)
            hosts += "10.2.0." + std::to_string(i) + " many.dvr.test\n";
        dvrtest::write_file(*dir_ / "hosts", hosts);
        std::vector<std::string> args = {
            find_program("dnsmasq"), "--keep-in-foreground", "--no-resolv", "--no-hosts", "--conf-file=/dev/null",
            "--pid-file=", "--user=root", "--group=root", "--bind-interfaces",
            "--listen-address=" + kDnsmasqAddr, "--port=53", "--local=/dvr.test/",
            "--addn-hosts=" + *dir_ / "hosts",
            "--host-record=plain.dvr.test,10.1.2.3",
            "--cname=alias.dvr.test,plain.dvr.test",
            "--host-record=mx1.dvr.test,10.3.0.1", "--host-record=mx2.dvr.test,10.3.0.2",
            "--host-record=mx3.dvr.test,10.3.0.3",
            "--mx-host=mail.dvr.test,mx1.dvr.test,30", "--mx-host=mail.dvr.test,mx2.dvr.test,10",
            "--mx-host=mail.dvr.test,mx3.dvr.test,20",
            "--host-record=nomx.dvr.test,10.4.0.1",
            // Answers as a caching resolver gives them: TTLs from 1024 to
            // 1279 (00 00 04 xx) and from 0x00040000 on (00 04 xx xx), whose
            // bytes look like the RDLENGTH of an address; CNAME chains,
            // several addresses behind a CNAME.
            "--local-ttl=1100",
            "--host-record=host.dvr.test,192.0.2.10",
            "--cname=www.dvr.test,web.dvr.test,266804", "--cname=web.dvr.test,host.dvr.test,266804",
            "--cname=manyalias.dvr.test,many.dvr.test",
            "--cname=mailalias.dvr.test,mail.dvr.test",
            // Exchangers with and without addresses here; with long names,
            // so that the later ones lie past the response's 256th byte
            // (all in 512 bytes).
            "--mx-host=mixed.dvr.test,mx9.elsewhere.test,5", "--mx-host=mixed.dvr.test,mx1.dvr.test,30",
            "--mx-host=mixed.dvr.test,mx2.dvr.test,20",
            "--mx-host=noglue.dvr.test,mx9.elsewhere.test,5", "--host-record=noglue.dvr.test,10.4.0.2"};
        // Preferences above 255 (only their low byte fits a record).
        for (int i = 0; i < 8; ++i) {
            const std::string host = "exchanger-number-" + std::to_string(i) + ".dvr.test";
            args.push_back("--host-record=" + host + ",10.9.0." + std::to_string(i + 1));
            args.push_back("--mx-host=big.dvr.test," + host + "," + std::to_string(300 - 7 * i));
        }
        std::string log = *dir_ / "dnsmasq.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            const std::string failed = "cannot run " + args[0] + "\n";
            ssize_t w = ::write(2, failed.data(), failed.size());
            (void)w;
            ::_exit(127);
        }
        // Ready once it answers.
        for (int i = 0; i < 100 && !answers(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!answers())
            missing_ = "dnsmasq did not come up: " + dvrtest::read_file(log);
    }
    static void TearDownTestSuite()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        delete dir_;
        dir_ = nullptr;
        missing_.clear();
    }
    void SetUp() override
    {
        if (!missing_.empty())
            DVRTEST_FIXTURE_MISSING() << missing_;
        if (!answers())
            DVRTEST_FIXTURE_MISSING() << "dnsmasq stopped answering: " << dvrtest::read_file(*dir_ / "dnsmasq.log");
    }

    static bool answers()
    {
        int fd = udp_socket("127.0.0.1", 0);
        uint8_t q[DNS_QUERY_MAX_LEN];
        int n = DNS_CreateOutPacket("plain.dvr.test", q, DNS_TYPE_A);
        sockaddr_in to = sock_addr(kDnsmasqAddr, 53);
        Responder::send_from(fd, to, Bytes(q, q + n));
        pollfd p{fd, POLLIN, 0};
        bool ok = ::poll(&p, 1, 200) == 1;
        ::close(fd);
        return ok;
    }

    // dig's addresses for name (A records only, CNAME targets left out).
    static std::vector<std::string> dig(const std::string &name, const char *type = "A")
    {
        dvrtest::RunResult r = dvrtest::run(
            {find_program("dig"), "+short", "+time=2", "+tries=1", "@" + kDnsmasqAddr, name, type});
        std::vector<std::string> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                out.push_back(line);
        return out;
    }
    static std::vector<std::string> dig_a(const std::string &name)
    {
        std::vector<std::string> v;
        for (const std::string &l : dig(name))
            if (std::regex_match(l, std::regex("[0-9.]+")))
                v.push_back(l);
        std::sort(v.begin(), v.end());
        return v;
    }

    static inline dvrtest::TempDir *dir_ = nullptr;
    static inline pid_t pid_ = -1;
    static inline std::string missing_; // why dnsmasq is not there
    BoardRoot root_;
};

TEST_F(Dnsmasq, HostAddressesMatchDig)
{
    // A second name server that must never be asked: the first answers.
    int asked = 0;
    {
        Responder spare(kResponderAddr, [](Responder &, const Bytes &, const sockaddr_in &) {});
        root_.name_servers({kDnsmasqAddr, kResponderAddr});
        for (const char *name : {"plain.dvr.test", "alias.dvr.test", "many.dvr.test", "who@plain.dvr.test"}) {
            std::string host = std::strchr(name, '@') ? std::strchr(name, '@') + 1 : name;
            std::vector<std::string> want = dig_a(host);
            ASSERT_FALSE(want.empty()) << host;
            DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
            dvrtest::CaptureStdout cap;
            ASSERT_EQ(DNS_GetA(name, rec), 0) << name;
            std::string out = cap.take();
            std::vector<std::string> got = ips_of(rec);
            std::sort(got.begin(), got.end());
            EXPECT_EQ(got, want) << name << "\n" << out;
            EXPECT_EQ(rec[0].type, 1);
            EXPECT_NE(out.find("DNS_GetAviaNameServer(): 0: flag = 1, offset = 0x00, prefix = 0, ip = "),
                      std::string::npos) << out;
            const std::string len = std::to_string(host.size() + 18);
            EXPECT_NE(out.find("DNS_SendAQuery(): [0] - " + len + "/" + len + " - r = -1\n"),
                      std::string::npos) << out;
        }
        asked = spare.queries();
    }
    EXPECT_EQ(asked, 0);
}

TEST_F(Dnsmasq, MailExchangersByPreferenceAndTheAFallback)
{
    root_.name_servers({kDnsmasqAddr});
    // dig's exchangers, best preference first, and their addresses.
    std::map<int, std::string> byPref;
    for (const std::string &l : dig("mail.dvr.test", "MX")) {
        std::istringstream in(l);
        int pref;
        std::string host;
        in >> pref >> host;
        std::vector<std::string> a = dig_a(host);
        ASSERT_EQ(a.size(), 1u) << host;
        byPref[pref] = a[0];
    }
    ASSERT_EQ(byPref.size(), 3u);
    std::vector<std::string> want;
    for (const auto &[pref, ip] : byPref)
        want.push_back(ip);

    for (const char *name : {"mail.dvr.test", "postmaster@mail.dvr.test"}) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        ASSERT_EQ(DNS_GetMX(name, rec), 0) << cap.take();
        cap.take();
        EXPECT_EQ(ips_of(rec), want);
        auto pref = byPref.begin();
        for (size_t i = 0; i < 3; ++i, ++pref) {
            EXPECT_EQ(rec[i].type, 15);
            EXPECT_EQ(rec[i].prefix, pref->first);
        }
    }

    // No MX records: the domain's own address, type 1.
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    dvrtest::CaptureStdout cap;
    ASSERT_EQ(DNS_GetMX("nomx.dvr.test", rec), 0);
    std::string out = cap.take();
    EXPECT_EQ(ips_of(rec), dig_a("nomx.dvr.test"));
    EXPECT_EQ(rec[0].type, 1);
    EXPECT_NE(out.find("DNS_GetMXviaNameServer(): MX record not found! Try A record.\n"), std::string::npos);
}

// Each answer read as dig reads it: A lookups through CNAME chains and
// TTLs whose bytes look like an RDLENGTH of 4; MX lookups with exchangers
// with and without addresses, past the 256th byte, behind a CNAME.
TEST_F(Dnsmasq, AnswersReadAsDigReadsThem)
{
    root_.name_servers({kDnsmasqAddr});
    for (const char *name : {"www.dvr.test", "alias.dvr.test", "manyalias.dvr.test", "host.dvr.test"}) {
        std::vector<std::string> want = dig_a(name);
        ASSERT_FALSE(want.empty()) << name;
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(DNS_GetA(name, rec), 0) << name;
        std::string out = cap.take();
        std::vector<std::string> got = ips_of(rec);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << name << "\n" << out;
    }
    for (const char *name : {"mail.dvr.test", "mailalias.dvr.test", "mixed.dvr.test", "big.dvr.test",
                             "noglue.dvr.test"}) {
        // dig's exchangers by preference; those with an address here.
        std::multimap<int, std::string> byPref;
        for (const std::string &l : dig(name, "MX")) {
            std::istringstream in(l);
            int pref;
            std::string host;
            if (in >> pref >> host)
                for (const std::string &ip : dig_a(host))
                    byPref.emplace(pref, ip);
        }
        std::vector<std::string> want;
        std::vector<int> prefs;
        for (const auto &[pref, ip] : byPref) {
            want.push_back(ip);
            prefs.push_back(pref);
        }
        if (want.size() > DNS_ADDR_REC_MAX)
            want.resize(DNS_ADDR_REC_MAX);
        const bool fallback = want.empty();
        if (fallback)
            want = dig_a(name);
        ASSERT_FALSE(want.empty()) << name;
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(DNS_GetMX(name, rec), 0) << name;
        std::string out = cap.take();
        EXPECT_EQ(ips_of(rec), want) << name << "\n" << out;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(rec[i].type, fallback ? 1 : 15) << name << " " << i;
            EXPECT_EQ(rec[i].prefix, fallback ? 0 : prefs[i] & 0xFF) << name << " " << i;
        }
    }
}

TEST_F(Dnsmasq, NameErrorEndsTheAttemptsAtOnce)
{
    root_.name_servers({kDnsmasqAddr});
    ASSERT_TRUE(dig_a("none.dvr.test").empty());
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    dvrtest::CaptureStdout cap;
    EXPECT_EQ(DNS_GetA("none.dvr.test", rec), -1);
    std::string out = cap.take();
    EXPECT_EQ(count_of(out, "Header = "), 1u) << out;
    // The query's own ID, then 81 83: a response saying the name does not exist.
    EXPECT_TRUE(std::regex_search(out, std::regex("DNS_SendAQuery\\(\\): Header = 0x[0-9A-F]{4}8183\n"))) << out;
    EXPECT_NE(out.find("DNS_SendAQuery(): Record Not Found!\n"), std::string::npos);
    EXPECT_NE(out.find("DNS_GetAviaNameServer(): A record not found!\n"), std::string::npos);
    EXPECT_EQ(rec[0].flag, 0);
}

TEST_F(Dnsmasq, LookupsFromSeveralThreadsAtOnce)
{
    root_.name_servers({kDnsmasqAddr});
    const std::vector<std::string> plain = dig_a("plain.dvr.test");
    const std::vector<std::string> many = dig_a("many.dvr.test");
    std::atomic<int> failures{0};
    dvrtest::CaptureStdout cap; // the reports of all threads
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
                std::vector<std::string> got;
                bool ok;
                switch ((t + i) % 3) {
                case 0:
                    ok = DNS_GetA("plain.dvr.test", rec) == 0 && ips_of(rec) == plain;
                    break;
                case 1:
                    got = (DNS_GetA("many.dvr.test", rec) == 0) ? ips_of(rec) : got;
                    std::sort(got.begin(), got.end());
                    ok = got == many;
                    break;
                default:
                    ok = DNS_GetMX("mail.dvr.test", rec) == 0 && rec[0].type == 15 && rec[2].flag == 1;
                }
                if (!ok)
                    ++failures;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    cap.take();
    EXPECT_EQ(failures.load(), 0);
}

// ---------------------------------------------------------------------
// Against scripted responders.
// ---------------------------------------------------------------------

TEST(DnsScripted, AnswerShapes)
{
    BoardRoot root;
    root.name_servers({kResponderAddr});
    std::atomic<int> shape{0};
    Responder server(kResponderAddr, [&](Responder &s, const Bytes &q, const sockaddr_in &from) {
        switch (shape.load()) {
        case 0: { // twelve answers
            Response r(q, 12);
            for (int i = 1; i <= 12; ++i)
                r.a(kQname, ("10.6.0." + std::to_string(i)).c_str());
            s.reply(from, r.b);
            break;
        }
        case 1: { // cut inside the first address
            Response r(q, 1);
            r.a(kQname, "10.6.1.1");
            r.b.resize(r.b.size() - 1);
            s.reply(from, r.b);
            break;
        }
        case 2: // answers claimed, none there
            s.reply(from, Response(q, 3).b);
            break;
        case 3: // the question alone, no answers
            s.reply(from, Response(q, 0).b);
            break;
        }
    });

    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    {
        dvrtest::CaptureStdout cap;
        ASSERT_EQ(DNS_GetA("twelve.dvr.test", rec), 0);
        cap.take();
        std::vector<std::string> want;
        for (int i = 1; i <= 10; ++i)
            want.push_back("10.6.0." + std::to_string(i));
        EXPECT_EQ(ips_of(rec), want);
    }
    // Unusable answers: every attempt is answered, read and refused.
    for (int s = 1; s <= 3; ++s) {
        shape = s;
        std::memset(rec, 0, sizeof rec);
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(DNS_GetA("bad.dvr.test", rec), -1) << s;
        std::string out = cap.take();
        EXPECT_EQ(count_of(out, "Header = 0x"), 6u) << s << "\n" << out;
        EXPECT_NE(out.find("DNS_SendAQuery(): [5] - 30/30 - r = -1\n"), std::string::npos) << out;
        EXPECT_NE(out.find("A record not found!"), std::string::npos);
        EXPECT_EQ(rec[0].flag, 0);
    }
    // The same for MX, then the fallback gets the same treatment.
    shape = 3;
    dvrtest::CaptureStdout cap;
    EXPECT_EQ(DNS_GetMX("bad.dvr.test", rec), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("MX record not found! Try A record.\n"), std::string::npos);
    EXPECT_EQ(server.queries(), 1 + 3 * 6 + 6 + 6);
}

// Answers a real server may give but a test cannot make dnsmasq give:
// each read as dig reads it where dig can ask (dig's own query, without
// EDNS, gets the same answer), else as written out here.
TEST(DnsScripted, AnswersReadRecordByRecord)
{
    BoardRoot root;
    root.name_servers({kResponderAddr});
    using Build = std::function<Bytes(const Bytes &query)>;
    const struct {
        const char *what;
        bool mx;
        Build build;
        std::vector<std::string> want; // empty: no address, -1
        bool askDig;
    } cases[] = {
        {"authoritative, no recursion (flags 84 00), TTL 1100", false,
         [](const Bytes &q) {
             Response r(q, 1, 0, 0, 0x8400);
             r.ttl = 1100;
             r.a(kQname, "192.0.2.10");
             return r.b;
         },
         {"192.0.2.10"}, true},
        {"CNAME whose data is 4 bytes (a.<name>), then its A", false,
         [](const Bytes &q) {
             Response r(q, 2);
             size_t target = r.raw_rr(kQname, dvrtest::dns::kTypeCname, {1, 'a', 0xC0, uint8_t(kQname)});
             r.a(target, "192.0.2.11");
             return r.b;
         },
         {"192.0.2.11"}, true},
        {"an A record of another owner among the answers", false,
         [](const Bytes &q) {
             Response r(q, 4);
             size_t target = r.name_rr(kQname, dvrtest::dns::kTypeCname, "real.dvr.test");
             size_t other = r.name_rr(target, dvrtest::dns::kTypeNs, "ns.dvr.test");
             r.a(other, "192.0.2.99");
             r.a(target, "192.0.2.12");
             return r.b;
         },
         {"192.0.2.12"}, false},
        {"TC set, the second of two answers cut off", false,
         [](const Bytes &q) {
             Response r(q, 2, 0, 0, 0x8380);
             r.a(kQname, "192.0.2.13");
             r.a(kQname, "192.0.2.14");
             r.b.resize(r.b.size() - 6);
             return r.b;
         },
         {}, false},
        {"response code 2 (server failure) with an A record", false,
         [](const Bytes &q) {
             Response r(q, 1, 0, 0, 0x8182);
             r.a(kQname, "192.0.2.15");
             return r.b;
         },
         {}, false},
        {"MX: an OPT record first in the additional section, glue in another order", true,
         [](const Bytes &q) {
             Response r(q, 3, 0, 4);
             size_t a = r.mx(kQname, 20, "mxa.dvr.test");
             size_t b = r.mx(kQname, 10, "mxb.dvr.test");
             r.mx(kQname, 15, "mxc.elsewhere.test"); // no address given
             r.opt();
             r.a(b, "192.0.2.21");
             r.a(a, "192.0.2.20");
             r.a(b, "192.0.2.22");
             return r.b;
         },
         {"192.0.2.21", "192.0.2.22", "192.0.2.20"}, false},
    };
    std::atomic<size_t> current{0};
    Responder server(kResponderAddr, [&](Responder &s, const Bytes &q, const sockaddr_in &from) {
        if (q.size() >= kQname + 5)
            s.reply(from, cases[current.load()].build(q));
    });
    // dig reads the same answers as a second opinion where it can run; the
    // board's guest has no dig of its own architecture.
    const bool with_dig = !dvrtest::in_board_guest();
    if (!with_dig)
        std::printf("cross-check skipped: dig is a program of the build machine's (x86-64), not of the board's "
                    "guest: the answers are read by the library alone\n");
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        current = i;
        if (c.askDig && with_dig) {
            dvrtest::RunResult r = dvrtest::run({find_program("dig"), "+short", "+noedns", "+nocookie",
                                                 "+time=2", "+tries=1", "@" + kResponderAddr, "case.dvr.test",
                                                 "A"});
            std::vector<std::string> dug;
            std::istringstream in(r.out);
            for (std::string line; std::getline(in, line);)
                if (std::regex_match(line, std::regex("[0-9.]+")))
                    dug.push_back(line);
            EXPECT_EQ(dug, c.want) << c.what << "\n" << r.out;
        }
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        int rc = c.mx ? DNS_GetMXviaNameServer(kResponderAddr.c_str(), "case.dvr.test", rec)
                  : DNS_GetAviaNameServer(kResponderAddr.c_str(), "case.dvr.test", rec);
        std::string out = cap.take();
        EXPECT_EQ(rc, c.want.empty() ? -1 : 0) << c.what << "\n" << out;
        EXPECT_EQ(ips_of(rec), c.want) << c.what << "\n" << out;
        for (size_t k = 0; k < c.want.size(); ++k)
            EXPECT_EQ(rec[k].type, c.mx ? 15 : 1) << c.what;
    }
}

TEST(DnsScripted, RepliesFromStrangersOrWithAnotherIdOrQuestionAreDropped)
{
    BoardRoot root;
    root.name_servers({kResponderAddr});
    const int stranger = udp_socket(kStrangerAddr, 53);
    std::vector<uint16_t> ids;
    {
        Responder server(kResponderAddr, [&](Responder &s, const Bytes &q, const sockaddr_in &from) {
            if (q.size() < kQname + 5)
                return;
            const uint16_t qid = uint16_t(q[0] << 8 | q[1]);
            ids.push_back(qid);
            auto answer = [&](const char *ip, uint16_t id, const Bytes &question) {
                Response r(question, 1, 0, qtype_of(q) == 15 ? 1 : 0);
                size_t exch = qtype_of(q) == 15 ? r.mx(kQname, 10, "mx") : kQname;
                r.a(exch, ip);
                r.b[0] = uint8_t(id >> 8);
                r.b[1] = uint8_t(id);
                return r.b;
            };
            // The same question with one letter of the name changed, and
            // with the other type.
            Bytes other_name = q;
            other_name[kQname + 1] = 'x';
            Bytes other_type(q.begin(), q.end() - 3); // up to the type's low byte
            other_type.push_back(qtype_of(q) == 15 ? 1 : 15);
            other_type.push_back(0);
            other_type.push_back(1);
            // The name in capitals is the same name.
            Bytes upper = q;
            for (size_t i = kQname; i + 4 < upper.size(); ++i)
                upper[i] = uint8_t(std::toupper(upper[i]));
            s.reply_from_other_port(from, answer("10.66.0.1", qid, q));
            Responder::send_from(stranger, from, answer("10.66.0.2", qid, q));
            s.reply(from, answer("10.66.0.3", uint16_t(qid ^ 0x5A5A), q));
            s.reply(from, answer("10.66.0.4", 0xA9FA, q)); // the old fixed ID
            s.reply(from, answer("10.66.0.5", qid, other_name));
            s.reply(from, answer("10.66.0.6", qid, other_type));
            s.reply(from, Bytes{q[0], q[1], 0x81});
            s.reply(from, answer("10.5.5.5", qid, upper));
        });
        for (auto fn : {DNS_GetA, DNS_GetMX}) {
            DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
            dvrtest::CaptureStdout cap;
            ASSERT_EQ(fn("spoofed.dvr.test", rec), 0);
            std::string out = cap.take();
            EXPECT_EQ(ips_of(rec), std::vector<std::string>{"10.5.5.5"}) << out;
            // The first four drops are reported, the rest silently.
            EXPECT_EQ(count_of(out, "dropped "), 4u) << out;
            EXPECT_NE(out.find("): not the reply of " + kResponderAddr + ":53\n"), std::string::npos) << out;
            EXPECT_EQ(out.find("[1]"), std::string::npos) << out; // all within the first attempt
        }
        EXPECT_EQ(server.queries(), 2);
    } // the responder has stopped: its sockets are no longer used
    ::close(stranger);
    // Each query draws its own ID (two equal by chance: once in 65536 runs).
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
}

// A blind sender inside a network namespace of its own floods every
// ephemeral port with forged replies from the name server's address and
// port, while the server keeps silent; then the server answers. The
// forged replies carry the ID every query once had, or the right ID with
// another question; none may be taken.
TEST(DnsScripted, SpoofingFloodIsNotTaken)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root for a network namespace";
    dvrtest::TempDir dir;
    dvrtest::make_dirs(dir / "etc");
    dvrtest::write_file(dir / "etc/resolv.conf", "nameserver 127.0.0.1\n");
    int pipefd[2];
    ASSERT_EQ(::pipe2(pipefd, O_CLOEXEC), 0);
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipefd[0]);
        auto report = [&](const std::string &text, int code) {
            ssize_t n = ::write(pipefd[1], text.data(), text.size());
            (void)n;
            ::_exit(code);
        };
        if (::unshare(CLONE_NEWNET) != 0)
            report(std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno), 77);
        {
            int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq ifr{};
            std::strcpy(ifr.ifr_name, "lo");
            if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0 ||
                (ifr.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &ifr)) != 0)
                report(std::string("lo up: ") + std::strerror(errno), 3);
            ::close(s);
        }
        ::setenv("DVRPLAT_ROOT", dir.path().c_str(), 1);
        dvrtest::board_root_changed();
        int lo_port = 32768, hi_port = 60999;
        if (FILE *f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
            if (std::fscanf(f, "%d %d", &lo_port, &hi_port) != 2)
                lo_port = 1024, hi_port = 65535;
            std::fclose(f);
        }
        const int server = udp_socket("127.0.0.1", 53);
        std::atomic<long> forged{0};
        std::thread sender([&] {
            uint8_t buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            pollfd p{server, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return;
            ssize_t n = ::recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < int(kQname + 5))
                return;
            const Bytes q(buf, buf + n);
            // The attacker knows the name asked, not the ID or the port.
            Response fake(q, 1);
            fake.a(kQname, "10.66.66.66");
            fake.b[0] = 0xa9;
            fake.b[1] = 0xfa;
            auto start = std::chrono::steady_clock::now();
            // Bounded: three sweeps of the port range, two seconds at most.
            for (int sweep = 0; sweep < 3; ++sweep) {
                for (int port = lo_port; port <= hi_port; ++port) {
                    sockaddr_in to = sock_addr("127.0.0.1", uint16_t(port));
                    if (::sendto(server, fake.b.data(), fake.b.size(), 0, reinterpret_cast<sockaddr *>(&to),
                                 sizeof to) > 0)
                        ++forged;
                }
                if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2))
                    break;
            }
            // Right ID, right port, wrong question; then the real answer.
            Bytes other = q;
            other[kQname + 1] ^= 0x01;
            Response wrong(other, 1);
            wrong.a(kQname, "10.66.66.67");
            Responder::send_from(server, from, wrong.b);
            Response real(q, 1);
            real.a(kQname, "10.7.7.8");
            Responder::send_from(server, from, real.b);
        });
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        int rc;
        {
            dvrtest::CaptureStdout cap;
            rc = DNS_GetA("target.dvr.test", rec);
            cap.take();
        }
        sender.join();
        ::close(server);
        std::string got = std::to_string(rc) + " ";
        for (const std::string &ip : ips_of(rec))
            got += ip + " ";
        got += "forged=" + std::to_string(forged.load());
        report(got, 0);
    }
    ::close(pipefd[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        DVRTEST_FIXTURE_MISSING() << text;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " " << text;
    EXPECT_EQ(text.substr(0, text.find(" forged=")), "0 10.7.7.8") << text;
    EXPECT_EQ(text.find("10.66.66"), std::string::npos) << text;
    // The sweep really ran.
    EXPECT_GT(std::stol(text.substr(text.find("forged=") + 7)), 1000) << text;
}

// The one slow test: a name server that never answers costs the shared
// 6 seconds once, not 6 seconds per attempt; the second server answers.
TEST(DnsScripted, SilentFirstServerThenTheSecond)
{
    BoardRoot root;
    root.name_servers({kResponderAddr, kSecondAddr});
    Responder silent(kResponderAddr, [](Responder &, const Bytes &, const sockaddr_in &) {});
    Responder second(kSecondAddr, [](Responder &s, const Bytes &q, const sockaddr_in &from) {
        Response r(q, 1);
        r.a(kQname, "10.7.7.7");
        s.reply(from, r.b);
    });
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    dvrtest::CaptureStdout cap;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(DNS_GetA("quiet.dvr.test", rec), 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string out = cap.take();
    EXPECT_EQ(ips_of(rec), std::vector<std::string>{"10.7.7.7"});
    for (int i = 0; i < 6; ++i) {
        EXPECT_NE(out.find("DNS_SendAQuery(): [" + std::to_string(i) + "] - 32/32 - r = -1\n"), std::string::npos);
        EXPECT_NE(out.find("DNS_SendAQuery(): [" + std::to_string(i) + "] select() timeout\n"), std::string::npos);
    }
    EXPECT_EQ(count_of(out, "select() timeout"), 6u) << out;
    EXPECT_EQ(silent.queries(), 6);
    EXPECT_EQ(second.queries(), 1);
    // Six attempts share one wait of 6 seconds (36 if each had its own).
    EXPECT_GE(secs, 5.5);
    EXPECT_LT(secs, 20.0);
}

// ---------------------------------------------------------------------
// The reply's question, judged against replies built by hand
// ---------------------------------------------------------------------

// A reply whose question count is 0 is no reply to the question, even when
// the question's bytes follow its header, nor one whose question has
// another class; and the question's name matches
// whatever the case of its letters on either side: the name asked in
// mixed case answered in small letters, and in small letters answered in
// capitals.
TEST(DnsScripted, QuestionCountIsCheckedAndNamesMatchInAnyCase)
{
    BoardRoot root;
    root.name_servers({kResponderAddr});
    Responder server(kResponderAddr, [&](Responder &s, const Bytes &q, const sockaddr_in &from) {
        if (q.size() < kQname + 5)
            return;
        // No question, but its bytes: to be dropped.
        Response none(q, 1);
        none.a(kQname, "10.66.0.9");
        none.b[4] = 0;
        none.b[5] = 0;
        s.reply(from, none.b);
        // The question of another class (CH): to be dropped.
        Bytes chaos = q;
        chaos[chaos.size() - 1] = 3;
        Response other(chaos, 1);
        other.a(kQname, "10.66.0.8");
        s.reply(from, other.b);
        // The name with the case of every letter turned.
        Bytes turned = q;
        for (size_t i = kQname; i + 4 < turned.size(); ++i) {
            const int c = turned[i];
            turned[i] = uint8_t(std::isupper(c) ? std::tolower(c) : std::toupper(c));
        }
        Response r(turned, 1);
        r.a(kQname, "10.5.5.6");
        s.reply(from, r.b);
    });
    for (const char *name : {"Mixed.DVR.Test", "mixed.dvr.test", "MIXED.DVR.TEST"}) {
        SCOPED_TRACE(name);
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        ASSERT_EQ(DNS_GetA(name, rec), 0);
        std::string out = cap.take();
        EXPECT_EQ(ips_of(rec), std::vector<std::string>{"10.5.5.6"}) << out;
        EXPECT_EQ(count_of(out, "dropped "), 2u) << out;
        EXPECT_EQ(out.find("[1]"), std::string::npos) << out; // within the first attempt
    }
    EXPECT_EQ(server.queries(), 3);
}
