// labels: root
// Unit identity and network information read from a real kernel: the
// cases run inside network and UTS namespaces of their own (made by the
// fixture with unshare, left again and dropped at the end), holding a veth
// pair "eth0" / "eth0.5" with known addresses and two default routes, and
// a second pair for switching up and down with the real /sbin/ifconfig.
// The identity files and the resolver configuration come from a board
// root. The machine's own host name and interfaces are never touched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "COMMON.h"
#include "bounded_call.h"
#include "fixtures.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::ScopedEnv;
using dvrtest::TempDir;

namespace {

std::string without_lines(const std::string &text)
{
    static const std::regex line_no("MODULES/COMMON,[0-9]+:");
    return std::regex_replace(text, line_no, "MODULES/COMMON,#:");
}

std::string hex(const void *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<const unsigned char *>(p)[i]);
        s += b;
    }
    return s;
}

// The kernel's route table text for a gateway: the address word as the
// machine holds it in memory, in hexadecimal.
std::string route_word(const char *dotted)
{
    uint32_t word = inet_addr(dotted);
    char b[16];
    std::snprintf(b, sizeof b, "%08X", static_cast<unsigned>(word));
    return b;
}

constexpr const char *kNetSetup = R"(set -e
ip link set lo up
ip link add eth0 type veth peer name eth0.5
ip link set eth0 address 00:11:22:33:44:55
ip link set eth0 mtu 1400
ip addr add 192.168.1.5/24 broadcast 192.168.1.255 dev eth0
ip addr add 10.0.0.2/8 dev eth0.5
ip link set eth0 up
ip link set eth0.5 up
ip route add default via 192.168.1.1 dev eth0 metric 10
ip route add default via 10.0.0.1 dev eth0.5 metric 20
ip link add dvup0 type veth peer name dvup1
)";

} // namespace

// Every case runs in the namespaces made here.
class UnitNet : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!dvrtest::is_root()) {
            skip_ = "needs root for network and UTS namespaces";
            return;
        }
        saved_net_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        saved_uts_ = open("/proc/self/ns/uts", O_RDONLY | O_CLOEXEC);
        if (saved_net_ < 0 || saved_uts_ < 0) {
            missing_ = std::string("cannot keep the current namespaces: ") + std::strerror(errno);
            return;
        }
        // Namespaces belong to the calling thread: this program has no other.
        if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0) {
            missing_ = std::string("unshare(CLONE_NEWNET | CLONE_NEWUTS): ") + std::strerror(errno);
            return;
        }
        entered_ = true;
        auto r = dvrtest::shell(kNetSetup);
        if (r.status != 0)
            setup_error_ = "network setup failed: " + r.out + r.err;
    }

    static void TearDownTestSuite()
    {
        // Leaving drops the namespaces and the interfaces in them.
        if (entered_) {
            if (setns(saved_net_, CLONE_NEWNET) != 0 || setns(saved_uts_, CLONE_NEWUTS) != 0)
                std::perror("setns");
            entered_ = false;
        }
        if (saved_net_ >= 0)
            close(saved_net_);
        if (saved_uts_ >= 0)
            close(saved_uts_);
        saved_net_ = saved_uts_ = -1;
        skip_.clear();
        missing_.clear();
        setup_error_.clear();
    }

    void SetUp() override
    {
        DVRTEST_SKIP_IN_BOARD_GUEST("ip (iproute2)");
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        if (!missing_.empty())
            DVRTEST_FIXTURE_MISSING() << missing_;
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
    }

    // A board root with the identity files, the resolver configuration and
    // a copy of the namespace's route and interface tables (read through
    // this process, so an emulator's view of them is kept).
    void make_board_root(bool with_port = true)
    {
        dvrtest::make_dirs(root / "etc");
        dvrtest::make_dirs(root / "proc/net");
        dvrtest::write_file(root / "etc/Model", "DVR-16\r\n");
        dvrtest::write_file(root / "etc/Proj", "proj-x\n");
        dvrtest::write_file(root / "etc/Note", "a note");
        if (with_port)
            dvrtest::write_file(root / "etc/Port", "8080\n");
        dvrtest::write_file(root / "etc/resolv.conf",
                            "search example.org\n#nameserver 10.9.8.7\nnameserver 192.168.1.53\n");
        dvrtest::write_file(root / "proc/net/route", dvrtest::read_file("/proc/net/route"));
        dvrtest::write_file(root / "proc/net/dev", dvrtest::read_file("/proc/net/dev"));
    }

    static bool is_up(const char *name)
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        struct ifreq ifr;
        std::memset(&ifr, 0, sizeof ifr);
        std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
        bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP);
        close(s);
        return up;
    }

    TempDir root;

    // Why the cases cannot run: no root (skipped), the namespaces refused
    // (a missing fixture), the network inside them not set up (a failure).
    static inline std::string skip_, missing_, setup_error_;
    static inline int saved_net_ = -1, saved_uts_ = -1;
    static inline bool entered_ = false;
};

TEST_F(UnitNet, EveryFlagOfTheNetworkInformation)
{
    make_board_root();
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    struct Case {
        int flag;
        std::string text;  // expected text, or
        std::string bytes; // expected bytes in hexadecimal
        size_t size;       // bytes the flag may write
    };
    const Case cases[] = {
        {0, "001122334455", "", 13},
        {1, "22334455", "", 9},
        {2, "334455", "", 7},
        {3, "00:11:22:33:44:55", "", 18},
        {4, "22:33:44:55", "", 12},
        {5, "33:44:55", "", 9},
        {6, "", "334455", 3},
        {7, "192.168.1.5", "", 16},
        {8, "192.168.001.005", "", 16},
        {9, "", "c0a80105", 4},
        {10, "192.168.1.255", "", 16},
        {11, "192.168.001.255", "", 16},
        {12, "", "c0a801ff", 4},
        {13, "255.255.255.0", "", 16},
        {14, "255.255.255.000", "", 16},
        {15, "", "ffffff00", 4},
        {16, "192.168.1.1", "", 16},
        {17, "192.168.001.001", "", 16},
        {18, "", "c0a80101", 4},
        {19, "192.168.1.53", "", 16}, // a commented-out line does not count
        {20, "192.168.001.053", "", 16},
        {21, "", "c0a80135", 4},
        {22, "", "", 4},
    };
    for (const Case &c : cases) {
        unsigned char out[32];
        std::memset(out, 0xEE, sizeof out);
        CaptureStdout cap;
        EXPECT_EQ(COM_GetNetInfo(c.flag, "eth0", out), 0) << "flag " << c.flag;
        EXPECT_EQ(cap.take(), "") << "flag " << c.flag;
        if (!c.text.empty()) {
            EXPECT_STREQ(reinterpret_cast<char *>(out), c.text.c_str()) << "flag " << c.flag;
        } else if (!c.bytes.empty()) {
            EXPECT_EQ(hex(out, c.bytes.size() / 2), c.bytes) << "flag " << c.flag;
        }
        for (size_t i = c.size; i < sizeof out; ++i)
            ASSERT_EQ(out[i], 0xEE) << "flag " << c.flag << " wrote byte " << i;
    }
    int32_t mtu = 0;
    EXPECT_EQ(COM_GetMTU(22, "eth0", &mtu), 0);
    EXPECT_EQ(mtu, 1400);

    // The default interface is eth0.
    char mac[24] = "";
    EXPECT_EQ(COM_GetNetInfo(3, nullptr, mac), 0);
    EXPECT_STREQ(mac, "00:11:22:33:44:55");
}

TEST_F(UnitNet, PlaceholdersWhenNothingCanBeRead)
{
    // A board root without route table or resolver configuration, and an
    // interface that does not exist.
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    const std::vector<std::pair<int, std::string>> texts = {
        {0, "000000000000"}, {1, "00000000"},  {2, "000000"},
        {3, "00:00:00:00:00:00"}, {4, "00:00:00:00"}, {5, "00:00:00"},
        {7, "000.000.000.000"}, {8, "000.000.000.000"}, {10, "000.000.000.000"},
        {13, "000.000.000.000"}, {16, "000.000.000.000"}, {17, "000.000.000.000"},
        {19, "000.000.000.000"}, {20, "000.000.000.000"}, {23, "unknown"},
    };
    for (auto &[flag, text] : texts) {
        char out[32];
        std::memset(out, 0x7F, sizeof out);
        CaptureStdout cap;
        EXPECT_EQ(COM_GetNetInfo(flag, "nosuch0", out), -1) << flag;
        cap.take();
        EXPECT_STREQ(out, text.c_str()) << flag;
    }
    for (int flag : {6, 9, 12, 15, 18, 21}) {
        unsigned char out[8];
        std::memset(out, 0x7F, sizeof out);
        CaptureStdout cap;
        EXPECT_EQ(COM_GetNetInfo(flag, "nosuch0", out), -1) << flag;
        cap.take();
        EXPECT_EQ(hex(out, flag == 6 ? 3 : 4), flag == 6 ? "000000" : "00000000") << flag;
    }
    int32_t mtu = 1234;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetNetInfo(22, "nosuch0", &mtu), -1);
    EXPECT_EQ(mtu, 1234) << "a failed MTU leaves the output alone";
    char mac[24], ip[16], route[16], dns[16], unknown[8];
    COM_GetNetInfo(3, "nosuch0", mac);
    COM_GetNetInfo(7, "nosuch0", ip);
    COM_GetNetInfo(16, "eth0", route);
    COM_GetNetInfo(19, "eth0", dns);
    COM_GetNetInfo(23, "eth0", unknown);
    EXPECT_EQ(without_lines(cap.take()),
              "MODULES/COMMON,#:COM_GetMTU(): ioctl() error : No such device\n"
              "MODULES/COMMON,#:COM_GetMAC(): ioctl() error : No such device\n"
              "MODULES/COMMON,#:COM_SubGetGateway(): fopen(/proc/net/route) : No such file or directory\n"
              "MODULES/COMMON,#:COM_SubGetDNS(): fopen(/etc/resolv.conf) : No such file or directory\n"
              "MODULES/COMMON,#:COM_GetNetInfo(): flag(23) not implemented yet.\n");

    // A name that does not fit an interface request is refused, not cut.
    CaptureStdout cap2;
    EXPECT_EQ(COM_GetNetInfo(3, "eth0-sixteen-chr", mac), -1);
    EXPECT_EQ(COM_GetNetInfo(7, "eth0-sixteen-chr", ip), -1);
    EXPECT_STREQ(mac, "00:00:00:00:00:00");
    EXPECT_STREQ(ip, "000.000.000.000");
    std::string out = cap2.take();
    EXPECT_NE(out.find("COM_GetMAC(): interface name too long (16 characters, at most 15)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("COM_SubGetNetInfo(): interface name too long"), std::string::npos) << out;
}

TEST_F(UnitNet, GatewayIsTheFirstDefaultRouteOfTheKernelWhateverTheInterface)
{
    ScopedEnv env("DVRPLAT_ROOT", "");
    std::string table = dvrtest::read_file("/proc/net/route");
    size_t first = table.find("\t00000000\t");
    ASSERT_NE(first, std::string::npos) << table;
    ASSERT_EQ(table.compare(table.rfind('\n', first) + 1, 5, "eth0\t"), 0)
        << "the route of metric 10 is listed first: " << table;

    for (const char *dev : {"eth0", "eth0.5", "lo", static_cast<const char *>(nullptr)}) {
        char text[16] = "", padded[16] = "";
        unsigned char bin[4] = {};
        EXPECT_EQ(COM_GetNetInfo(16, dev, text), 0);
        EXPECT_EQ(COM_GetNetInfo(17, dev, padded), 0);
        EXPECT_EQ(COM_GetNetInfo(18, dev, bin), 0);
        EXPECT_STREQ(text, "192.168.1.1");
        EXPECT_STREQ(padded, "192.168.001.001");
        EXPECT_EQ(hex(bin, 4), "c0a80101");
    }
}

TEST_F(UnitNet, RouteTableLinesThatDoNotQualify)
{
    dvrtest::make_dirs(root / "proc/net");
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\t\n";
    dvrtest::write_file(root / "proc/net/route",
                        header + "eth1\t00000000\tZZZZZZZZ\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" +
                            "eth0\t0001A8C0\t" + route_word("10.1.1.1") +
                            "\t0003\t0\t0\t0\t00FFFFFF\t0\t0\t0\n" + "eth0\t00000000\t" +
                            route_word("192.168.7.1") + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    char text[16] = "";
    CaptureStdout cap;
    EXPECT_EQ(COM_SubGetGateway(16, "eth0", text), 0);
    EXPECT_STREQ(text, "192.168.7.1");
    EXPECT_EQ(without_lines(cap.take()), "MODULES/COMMON,#:COM_SubGetGateway(): strtoul() error : "
                                         "Invalid argument\n");

    dvrtest::write_file(root / "proc/net/route", header);
    EXPECT_EQ(COM_SubGetGateway(17, "eth0", text), -1);
    EXPECT_STREQ(text, "000.000.000.000");
}

TEST_F(UnitNet, NameServerLines)
{
    dvrtest::make_dirs(root / "etc");
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    struct Case {
        const char *conf;
        int rc19;
        const char *text;   // flag 19
        int rc20;
        const char *padded; // flag 20 (flag 21 agrees)
    };
    const Case cases[] = {
        {"nameserver 8.8.4.4\n", 0, "8.8.4.4", 0, "008.008.004.004"},
        // Comments ("#" or ";" first), an indented line and a longer
        // keyword are not name-server lines.
        {"# nameserver 10.9.8.7\nnameserver 1.1.1.1\n", 0, "1.1.1.1", 0, "001.001.001.001"},
        {";nameserver 10.9.8.7\n  nameserver 10.9.8.6\nnameservers 10.9.8.5\nxnameserver 10.9.8.4\n"
         "nameserver 1.0.0.1\n",
         0, "1.0.0.1", 0, "001.000.000.001"},
        {"#nameserver 10.9.8.7\n", -1, "000.000.000.000", -1, "000.000.000.000"},
        {"nameserver\nnameserver\t9.9.9.9\r\n", 0, "9.9.9.9", 0, "009.009.009.009"},
        {"search example.org\n", -1, "000.000.000.000", -1, "000.000.000.000"},
        {"", -1, "000.000.000.000", -1, "000.000.000.000"},
        // Not an IPv4 address: copied as written when it fits the field,
        // never shown as 0.0.0.0.
        {"nameserver ::1\n", 0, "::1", -1, "000.000.000.000"},
        {"nameserver 2001:4860:4860::8888\n", -1, "000.000.000.000", -1, "000.000.000.000"},
    };
    for (const Case &c : cases) {
        dvrtest::write_file(root / "etc/resolv.conf", c.conf);
        char text[16] = "", padded[16] = "";
        unsigned char bin[4] = {1, 2, 3, 4};
        CaptureStdout cap;
        EXPECT_EQ(COM_GetNetInfo(19, nullptr, text), c.rc19) << c.conf;
        EXPECT_EQ(COM_GetNetInfo(20, nullptr, padded), c.rc20) << c.conf;
        EXPECT_EQ(COM_GetNetInfo(21, nullptr, bin), c.rc20) << c.conf;
        cap.take();
        EXPECT_STREQ(text, c.text) << c.conf;
        EXPECT_STREQ(padded, c.padded) << c.conf;
        struct in_addr a;
        std::string want = std::string(c.padded) == "000.000.000.000" ? "00000000" : "";
        if (want.empty()) {
            ASSERT_NE(inet_aton(c.text, &a), 0);
            want = hex(&a.s_addr, 4);
        }
        EXPECT_EQ(hex(bin, 4), want) << c.conf;
    }
}

TEST_F(UnitNet, WholeUnitRecordAndItsDisplay)
{
    make_board_root();
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    ASSERT_EQ(sethostname("dvr-unit", 8), 0); // this namespace's own host name

    COM_UNIT_INFO info[2];
    std::memset(info, 0, sizeof info);
    CaptureStdout quiet;
    EXPECT_EQ(COM_GetUnitInfo(&info[0], nullptr), 0);
    EXPECT_EQ(quiet.take(), "");
    EXPECT_STREQ(info[0].model, "DVR-16");
    EXPECT_STREQ(info[0].proj, "proj-x");
    EXPECT_STREQ(info[0].name, "dvr-unit");
    EXPECT_STREQ(info[0].ip, "192.168.1.5");
    EXPECT_STREQ(info[0].trigger_port, "8080");
    EXPECT_STREQ(info[0].netmask, "255.255.255.0");
    EXPECT_STREQ(info[0].gateway, "192.168.1.1");
    EXPECT_STREQ(info[0].dns, "192.168.1.53");
    EXPECT_STREQ(info[0].mac, "00:11:22:33:44:55");
    EXPECT_STREQ(info[0].dev, "eth0");
    EXPECT_STREQ(info[0].note, "a note");
    int32_t mtu;
    std::memcpy(&mtu, info[0].mtu, 4);
    EXPECT_EQ(mtu, 1400);

    // eth0.5 has no hardware address of ours but an address of its own;
    // without "/etc/Port" the trigger port falls back to 80.
    std::remove((root / "etc/Port").c_str());
    EXPECT_EQ(COM_GetUnitInfo(&info[1], "eth0.5"), -1);
    EXPECT_STREQ(info[1].ip, "10.0.0.2");
    EXPECT_STREQ(info[1].netmask, "255.0.0.0");
    EXPECT_STREQ(info[1].trigger_port, "80");
    EXPECT_STREQ(info[1].gateway, "192.168.1.1");

    CaptureStdout cap;
    COM_ShowAllUnitInfo(2, info);
    std::string want =
        "MODULES/COMMON,#:COM_ShowAllUnitInfo(): [1/2]\n"
        "MODULES/COMMON,#: (model, proj, name) = (DVR-16, proj-x, dvr-unit)\n"
        "MODULES/COMMON,#: (ip, trigger_port, netmask) = (192.168.1.5, 8080, 255.255.255.0)\n"
        "MODULES/COMMON,#: (gateway, dns, mac) = (192.168.1.1, 192.168.1.53, 00:11:22:33:44:55)\n"
        "MODULES/COMMON,#: (dev, note) = (eth0, a note)\n"
        "MODULES/COMMON,#:COM_ShowAllUnitInfo(): [2/2]\n"
        "MODULES/COMMON,#: (model, proj, name) = (DVR-16, proj-x, dvr-unit)\n"
        "MODULES/COMMON,#: (ip, trigger_port, netmask) = (10.0.0.2, 80, 255.0.0.0)\n"
        "MODULES/COMMON,#: (gateway, dns, mac) = (192.168.1.1, 192.168.1.53, " +
        std::string(info[1].mac) + ")\n" + "MODULES/COMMON,#: (dev, note) = (eth0.5, a note)\n";
    EXPECT_EQ(without_lines(cap.take()), want);

    // A missing interface and missing files: each item lowers the result.
    dvrtest::write_file(root / "etc/resolv.conf", "");
    std::remove((root / "etc/Model").c_str());
    std::remove((root / "etc/Note").c_str());
    COM_UNIT_INFO bad;
    std::memset(&bad, 0, sizeof bad);
    CaptureStdout cap2;
    // model, ip, port, netmask, dns, mac, mtu (the note never counts)
    EXPECT_EQ(COM_GetUnitInfo(&bad, "nosuch0"), -7);
    cap2.take();
    EXPECT_STREQ(bad.model, "unknown");
    EXPECT_STREQ(bad.note, "unknown");
    EXPECT_STREQ(bad.ip, "000.000.000.000");
    EXPECT_STREQ(bad.dns, "000.000.000.000");
    EXPECT_STREQ(bad.mac, "00:00:00:00:00:00");
    EXPECT_EQ(hex(bad.mtu, 8), "0000000000000000");
}

TEST_F(UnitNet, IdentitySettersAndTheHostName)
{
    dvrtest::make_dirs(root / "etc");
    ScopedEnv env("DVRPLAT_ROOT", root.path());

    EXPECT_EQ(COM_SetUnitName("dvr-unit-7"), 0);
    char host[65] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_STREQ(host, "dvr-unit-7");
    char name[32] = "";
    EXPECT_EQ(COM_GetUnitName(name, sizeof name), 0);
    EXPECT_STREQ(name, "dvr-unit-7");

    // A host name longer than the buffer is not cut into a wrong name.
    std::string forty(40, 'h');
    EXPECT_EQ(COM_SetUnitName(forty.c_str()), 0);
    CaptureStdout cap;
    EXPECT_EQ(COM_GetUnitName(name, sizeof name), -1);
    EXPECT_STREQ(name, "unknown");
    char tiny[4];
    EXPECT_EQ(COM_GetUnitName(tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "unk");
    EXPECT_EQ(COM_SetUnitName(std::string(65, 'x').c_str()), -1);
    EXPECT_EQ(COM_SetTriggerPort(70000), -1);
    EXPECT_EQ(COM_SetTriggerPort(-1), -1);
    std::string out = without_lines(cap.take());
    EXPECT_NE(out.find("COM_GetUnitName(): gethostname() error : "), std::string::npos) << out;
    EXPECT_NE(out.find("COM_SetUnitName(): sethostname(" + std::string(65, 'x') +
                       ") error : Invalid argument\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("COM_SetTriggerPort(): invalid port 70000\n"), std::string::npos) << out;

    COM_UNIT_INFO info;
    std::memset(&info, 0, sizeof info);
    std::strcpy(info.model, "M-1");
    std::strcpy(info.proj, "P-2");
    std::strcpy(info.name, "unit-three");
    std::strcpy(info.trigger_port, "9999");
    std::memset(info.note, 'n', sizeof info.note); // no terminator: the field's width bounds it
    EXPECT_EQ(COM_SetUnitInfo(&info), 0);
    EXPECT_EQ(dvrtest::read_file(root / "etc/Model"), "M-1");
    EXPECT_EQ(dvrtest::read_file(root / "etc/Proj"), "P-2");
    EXPECT_EQ(dvrtest::read_file(root / "etc/Note"), std::string(48, 'n'));
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_STREQ(host, "unit-three");
    EXPECT_FALSE(std::ifstream(root / "etc/Port").good()) << "the trigger port is not written";

    EXPECT_EQ(COM_SetTriggerPort(8080), 0);
    EXPECT_EQ(dvrtest::read_file(root / "etc/Port"), "8080");
    char port[8] = "";
    EXPECT_EQ(COM_GetTriggerPort(port, sizeof port), 0);
    EXPECT_STREQ(port, "8080");
    char model[32] = "";
    EXPECT_EQ(COM_GetModelName(model, sizeof model), 0);
    EXPECT_STREQ(model, "M-1");
    char note[48] = "";
    EXPECT_EQ(COM_GetNote(note, sizeof note), 0);
    EXPECT_EQ(std::string(note), std::string(47, 'n'));
    std::remove((root / "etc/Note").c_str());
    char none[48] = "";
    EXPECT_EQ(COM_GetNote(none, sizeof none), 0) << "the note never fails";
    EXPECT_STREQ(none, "unknown");
}

TEST_F(UnitNet, InterfaceListsFromTheKernelAndFromTheBoardRoot)
{
    {
        ScopedEnv env("DVRPLAT_ROOT", "");
        char *list = nullptr;
        int n = COM_GetAllNetDevice(&list);
        ASSERT_EQ(n, 5);
        std::set<std::string> names;
        for (int i = 0; i < n; ++i)
            names.insert(std::string(list + 16 * i, strnlen(list + 16 * i, 16)));
        EXPECT_EQ(names, (std::set<std::string>{"lo", "eth0", "eth05", "dvup0", "dvup1"}));

        CaptureStdout cap;
        EXPECT_EQ(COM_GetAllNetDevice(&list), -1) << "the list pointer must be NULL";
        EXPECT_EQ(without_lines(cap.take()),
                  "MODULES/COMMON,#:COM_GetDeviceFromProc(): Warnning!! (*pBuf != NULL)\n");
        std::free(list);
    }

    dvrtest::make_dirs(root / "proc/net");
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    dvrtest::write_file(root / "proc/net/wireless",
                        "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
                        " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
                        " wlan0: 0000   70.  -40.  -256        0      0      0      0      0        0\n"
                        "br-lan_wifi.twenty-four: 0000   0.  0.  0 0 0 0 0 0 0\n"
                        // Longer than the line buffer: listed once, the rest of it ignored.
                        " wlan1: 0000" + std::string(300, ' ') + "1: 2\n");
    char *list = nullptr;
    CaptureStdout cap;
    EXPECT_EQ(COM_GetAllWirelessDevice(&list), 3);
    EXPECT_EQ(without_lines(cap.take()),
              "MODULES/COMMON,#:COM_GetDeviceFromProc(): interface name cut to 15 characters : "
              "[brlanwifitwenty]\n");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "wlan0");
    EXPECT_STREQ(list + 16, "brlanwifitwenty");
    EXPECT_STREQ(list + 32, "wlan1");
    std::free(list);

    list = nullptr;
    CaptureStdout cap2;
    EXPECT_EQ(COM_GetAllNetDevice(&list), -1);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(without_lines(cap2.take()), "MODULES/COMMON,#:COM_GetDeviceFromProc(): fopen(/proc/net/dev) "
                                          "error : No such file or directory\n");
}

TEST_F(UnitNet, InterfaceUpAndDownThroughIfconfig)
{
    if (access("/sbin/ifconfig", X_OK) != 0)
        DVRTEST_FIXTURE_MISSING() << "/sbin/ifconfig (net-tools) is not installed";
    ScopedEnv env("DVRPLAT_ROOT", "");
    ASSERT_FALSE(is_up("dvup0"));
    EXPECT_EQ(COM_NetDevUp("dvup0"), 0);
    EXPECT_TRUE(is_up("dvup0"));
    EXPECT_EQ(COM_NetDevDown("dvup0"), 0);
    EXPECT_FALSE(is_up("dvup0"));

    // The program's failure comes back as its wait status.
    int status = COM_NetDevUp("nosuch0");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;

    // Names that would pass other arguments, or that no interface can have.
    CaptureStdout cap;
    EXPECT_EQ(COM_NetDevDown("dvup1 up"), -1);
    EXPECT_EQ(COM_NetDevUp("eth0-sixteen-chr"), -1);
    EXPECT_EQ(COM_NetDevUp(""), -1);
    EXPECT_EQ(COM_NetDevUp("-a"), -1); // an option, not a name
    EXPECT_EQ(without_lines(cap.take()),
              "MODULES/COMMON,#:COM_NetDevDown(): invalid interface name [dvup1 up]\n"
              "MODULES/COMMON,#:COM_NetDevUp(): invalid interface name [eth0-sixteen-chr]\n"
              "MODULES/COMMON,#:COM_NetDevUp(): invalid interface name []\n"
              "MODULES/COMMON,#:COM_NetDevUp(): invalid interface name [-a]\n");
    EXPECT_FALSE(is_up("dvup1"));

    // The program is named through the board root.
    TempDir board;
    dvrtest::make_dirs(board / "sbin");
    ASSERT_EQ(symlink("/sbin/ifconfig", (board / "sbin/ifconfig").c_str()), 0);
    {
        ScopedEnv in_board("DVRPLAT_ROOT", board.path());
        EXPECT_EQ(COM_NetDevUp("dvup1"), 0);
        EXPECT_TRUE(is_up("dvup1"));
    }

    // Not root: nothing is run.
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        if (setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        _exit(COM_NetDevUp("dvup0") == -1 ? 0 : 1);
    }
    int st = -1;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_FALSE(is_up("dvup0"));
}

TEST(ConvertNetworkAddr, AddressWithOptionalNetmaskOrPrefix)
{
    struct Case {
        std::string text;
        int rc;
        const char *addr; // dotted, or nullptr for 0
        const char *mask;
        const char *report; // "" for none
    };
    const Case cases[] = {
        {"10.0.0.1/8", 0, "10.0.0.1", "255.0.0.0", ""},
        {"10.0.0.1 255.255.0.0", 0, "10.0.0.1", "255.255.0.0", ""},
        {"10.0.0.1/24\r\n", 0, "10.0.0.1", "255.255.255.0", ""},
        {"10.0.0.1/32", 0, "10.0.0.1", "255.255.255.255", ""},
        {"10.0.0.1/0", 0, "10.0.0.1", "0.0.0.0", ""},
        {"10.0.0.1/abc", 0, "10.0.0.1", "0.0.0.0", ""},
        {"192.168.1.5", 0, "192.168.1.5", "255.255.255.255", ""},
        {"10.0.0.1/33", 0, "10.0.0.1", "255.255.255.255",
         "COM_ConvertNetworkAddr(): offset : (33, 33) : isn't resonable\n"},
        {"10.0.0.1/-1", 0, "10.0.0.1", "255.255.255.255",
         "COM_ConvertNetworkAddr(): offset : (-1, -1) : isn't resonable\n"},
        {"10.0.0.1 255.255.0.300", 0, "10.0.0.1", "255.255.255.255",
         "COM_ConvertNetworkAddr(): [255.255.0.300] is not a valid netmask\n"},
        {"10.0.0.300", -1, nullptr, "255.255.255.255",
         "COM_ConvertNetworkAddr(): [10.0.0.300] is not a valid ip address\n"},
        {"", -1, nullptr, "255.255.255.255", ""},
        {" / ", -1, nullptr, "255.255.255.255", ""},
        // Longer than the work buffer: cut, the address still read.
        {"10.1.2.3/16 " + std::string(400, 'x'), 0, "10.1.2.3", "255.255.0.0", ""},
    };
    for (const Case &c : cases) {
        uint32_t addr = 0x12345678, mask = 0x12345678;
        CaptureStdout cap;
        EXPECT_EQ(COM_ConvertNetworkAddr(c.text.c_str(), &addr, &mask), c.rc) << c.text;
        std::string out = cap.take();
        EXPECT_EQ(out.empty() ? "" : out.substr(out.find(':') + 1), c.report) << c.text;
        EXPECT_EQ(addr, c.addr ? inet_addr(c.addr) : 0u) << c.text;
        EXPECT_EQ(mask, inet_addr(c.mask)) << c.text;
    }
}

// The identity files as a hostile board leaves them: links (followed:
// the board's own files may be links), dangling links, FIFOs, an endless
// device and a huge file. Every read ends, with the first line or the
// placeholder.
TEST(IdentityFiles, HostileBoardFilesEndTheRead)
{
    TempDir root;
    dvrtest::make_dirs(root / "etc");
    dvrtest::write_file(root / "model-file", "DVR-16\n" + std::string(300, 'x') + "\nB\n");
    dvrtest::write_file(root / "huge", std::string(4 << 20, 'M'));
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
    struct Case {
        const char *kind;
        std::string target; // the link's target; "fifo" makes a FIFO
        int result;
        std::string want;
    } cases[] = {
        {"link", root / "model-file", 0, "DVR-16"},
        {"dangling link", root / "gone", -1, "unknown"},
        {"fifo", "fifo", -1, "unknown"},
        {"link to a fifo", root / "fifo", -1, "unknown"},
        {"/dev/zero", "/dev/zero", 0, ""},
        {"huge", root / "huge", 0, std::string(31, 'M')},
    };
    ScopedEnv env("DVRPLAT_ROOT", root.path());
    for (const Case &c : cases) {
        const std::string model = root / "etc/Model";
        ::unlink(model.c_str());
        if (c.target == "fifo") {
            ASSERT_EQ(mkfifo(model.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(symlink(c.target.c_str(), model.c_str()), 0);
        }
        auto got = dvrtest::call_in_child(
            [] {
                char buf[32] = "";
                int rc = COM_GetModelName(buf, sizeof buf);
                return std::to_string(rc) + "|" + buf;
            },
            30);
        ASSERT_TRUE(got.has_value()) << c.kind << ": the read did not end";
        EXPECT_EQ(*got, std::to_string(c.result) + "|" + c.want) << c.kind;
    }
    // The trigger port falls back to its default on a FIFO.
    ASSERT_EQ(mkfifo((root / "etc/Port").c_str(), 0600), 0);
    auto port = dvrtest::call_in_child(
        [] {
            char buf[8] = "";
            int rc = COM_GetTriggerPort(buf, sizeof buf);
            return std::to_string(rc) + "|" + buf;
        },
        30);
    ASSERT_TRUE(port.has_value()) << "the port read did not end";
    EXPECT_EQ(*port, "-1|80");
}
