// labels: root realnet
// Network information of a real VLAN device: a dummy interface "eth0" and
// the kernel's 802.1Q device "eth0.5" on it (VLAN 5), in a network
// namespace of this program's own. Skipped with the reason on a kernel
// without the dummy or 8021q driver. The kernel stage of the test command
// runs it in its virtual machines, whose init has made the same devices
// already (DVRPLAT_GUEST_NET): there, the board's PowerPC kernel among
// them, the cases read the guest's own devices.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "COMMON.h"
#include "kernel_guest.h"
#include "test_support.h"

namespace {

constexpr const char *kNetSetup = R"(set -e
ip link set lo up
ip link add eth0 type dummy
ip link set eth0 address 02:11:22:33:44:55
ip link set eth0 mtu 1500
ip link add link eth0 name eth0.5 type vlan id 5
ip addr add 192.168.1.5/24 broadcast 192.168.1.255 dev eth0
ip addr add 10.5.0.2/16 broadcast 10.5.255.255 dev eth0.5
ip link set eth0 up
ip link set eth0.5 up
ip route add default via 10.5.0.1 dev eth0.5
)";

class RealVlan : public ::testing::Test {
protected:
    static inline std::string skip_;
    static inline int saved_net_ = -1;

    static void SetUpTestSuite()
    {
        if (dvrtest::guest_network() == "eth0 eth0.5")
            return; // made by the guest's init, with the same addresses
        if (!dvrtest::is_root()) {
            skip_ = "needs root for a network namespace";
            return;
        }
        saved_net_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (saved_net_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
            skip_ = std::string("no network namespace of our own: ") + std::strerror(errno);
            return;
        }
        auto r = dvrtest::shell(kNetSetup);
        if (r.status != 0)
            skip_ = "this kernel makes no dummy interface with an 802.1Q device on it (dummy, 8021q): " + r.err;
    }
    static void TearDownTestSuite()
    {
        if (saved_net_ >= 0) {
            if (::setns(saved_net_, CLONE_NEWNET) != 0)
                std::perror("setns");
            ::close(saved_net_);
            saved_net_ = -1;
        }
    }
    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
    }
};

std::string text(int flag, const char *dev)
{
    char out[32] = {};
    dvrtest::CaptureStdout quiet;
    const int r = COM_GetNetInfo(flag, dev, out);
    quiet.take();
    return r == 0 ? std::string(out) : "(failed) " + std::string(out);
}

TEST_F(RealVlan, TheVlanDeviceIsReadByItsDottedName)
{
    // The kernel's own record of the device.
    const std::string config = dvrtest::read_file("/proc/net/vlan/config");
    EXPECT_NE(config.find("eth0.5         | 5  | eth0"), std::string::npos) << config;

    struct Case {
        const char *dev;
        int flag;
        const char *expected;
    } cases[] = {
        // A VLAN device carries its parent's hardware address.
        {"eth0.5", COM_NETINFO_MAC_COLON, "02:11:22:33:44:55"},
        {"eth0", COM_NETINFO_MAC_COLON, "02:11:22:33:44:55"},
        {"eth0.5", COM_NETINFO_IP, "10.5.0.2"},
        {"eth0.5", COM_NETINFO_IP_PADDED, "010.005.000.002"},
        {"eth0.5", COM_NETINFO_NETMASK, "255.255.0.0"},
        {"eth0.5", COM_NETINFO_BROADCAST, "10.5.255.255"},
        {"eth0", COM_NETINFO_IP, "192.168.1.5"},
        {"eth0", COM_NETINFO_NETMASK, "255.255.255.0"},
        // The default route goes out of the VLAN device.
        {"eth0.5", COM_NETINFO_GATEWAY, "10.5.0.1"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(text(c.flag, c.dev), c.expected) << c.dev << " flag " << c.flag;

    // The 802.1Q header takes nothing from a dummy parent's MTU.
    int32_t mtu = 0;
    dvrtest::CaptureStdout quiet;
    EXPECT_EQ(COM_GetNetInfo(COM_NETINFO_MTU, "eth0.5", &mtu), 0);
    quiet.take();
    EXPECT_EQ(mtu, 1500);
}

// Every flag that reads the interface, on both devices: the text forms,
// the binary ones in network byte order (on the board's big-endian kernel
// too, where the route table's words are big-endian), the MTU.
TEST_F(RealVlan, EveryInterfaceFlagOfTheVlanDevice)
{
    struct Case {
        const char *dev;
        int flag;
        const char *text; // expected text, or
        const char *hex;  // expected bytes
    } cases[] = {
        {"eth0.5", COM_NETINFO_MAC, "021122334455", nullptr},
        {"eth0.5", COM_NETINFO_MAC4, "22334455", nullptr},
        {"eth0.5", COM_NETINFO_MAC3, "334455", nullptr},
        {"eth0.5", COM_NETINFO_MAC_COLON, "02:11:22:33:44:55", nullptr},
        {"eth0.5", COM_NETINFO_MAC4_COLON, "22:33:44:55", nullptr},
        {"eth0.5", COM_NETINFO_MAC3_COLON, "33:44:55", nullptr},
        {"eth0.5", COM_NETINFO_MAC3_RAW, nullptr, "334455"},
        {"eth0.5", COM_NETINFO_IP, "10.5.0.2", nullptr},
        {"eth0.5", COM_NETINFO_IP_PADDED, "010.005.000.002", nullptr},
        {"eth0.5", COM_NETINFO_IP_BIN, nullptr, "0a050002"},
        {"eth0.5", COM_NETINFO_BROADCAST, "10.5.255.255", nullptr},
        {"eth0.5", COM_NETINFO_BROADCAST_PADDED, "010.005.255.255", nullptr},
        {"eth0.5", COM_NETINFO_BROADCAST_BIN, nullptr, "0a05ffff"},
        {"eth0.5", COM_NETINFO_NETMASK, "255.255.0.0", nullptr},
        {"eth0.5", COM_NETINFO_NETMASK_PADDED, "255.255.000.000", nullptr},
        {"eth0.5", COM_NETINFO_NETMASK_BIN, nullptr, "ffff0000"},
        {"eth0.5", COM_NETINFO_GATEWAY, "10.5.0.1", nullptr},
        {"eth0.5", COM_NETINFO_GATEWAY_PADDED, "010.005.000.001", nullptr},
        {"eth0.5", COM_NETINFO_GATEWAY_BIN, nullptr, "0a050001"},
        {"eth0", COM_NETINFO_IP_BIN, nullptr, "c0a80105"},
        {"eth0", COM_NETINFO_BROADCAST_PADDED, "192.168.001.255", nullptr},
        {"eth0", COM_NETINFO_NETMASK_BIN, nullptr, "ffffff00"},
        {"eth0", COM_NETINFO_MAC3_RAW, nullptr, "334455"},
    };
    for (const Case &c : cases) {
        unsigned char out[32] = {};
        dvrtest::CaptureStdout quiet;
        EXPECT_EQ(COM_GetNetInfo(c.flag, c.dev, out), 0) << c.dev << " flag " << c.flag << ": " << quiet.take();
        if (c.text) {
            EXPECT_STREQ(reinterpret_cast<const char *>(out), c.text) << c.dev << " flag " << c.flag;
        } else {
            char hex[2 * sizeof out + 1] = {};
            for (size_t i = 0; i < std::strlen(c.hex) / 2; ++i)
                std::snprintf(hex + 2 * i, 3, "%02x", out[i]);
            EXPECT_STREQ(hex, c.hex) << c.dev << " flag " << c.flag;
        }
    }
    for (const char *dev : {"eth0", "eth0.5"}) {
        int32_t mtu = 0;
        dvrtest::CaptureStdout quiet;
        EXPECT_EQ(COM_GetNetInfo(COM_NETINFO_MTU, dev, &mtu), 0) << dev;
        quiet.take();
        EXPECT_EQ(mtu, 1500) << dev;
    }
}

// The interface list keeps only the letters and digits of each name:
// eth0.5 is listed as "eth05", which names no interface.
TEST_F(RealVlan, InterfaceListDropsTheDot)
{
    char *list = nullptr;
    const int n = COM_GetAllNetDevice(&list);
    ASSERT_GT(n, 0);
    std::string names;
    for (int i = 0; i < n; ++i)
        names += std::string(list + 16 * i, strnlen(list + 16 * i, 16)) + " ";
    std::free(list);
    EXPECT_NE(names.find("eth05 "), std::string::npos) << names;
    EXPECT_NE(names.find("eth0 "), std::string::npos) << names;
    EXPECT_NE(names.find("lo "), std::string::npos) << names;
    EXPECT_EQ(names.find('.'), std::string::npos) << names;
    EXPECT_EQ(text(COM_NETINFO_IP, "eth05").rfind("(failed)", 0), 0u);
}

} // namespace
