// Network information of one interface (hardware address, addresses,
// MTU through socket ioctls; default gateway from the kernel's route
// table; name server from the resolver configuration), address text
// validation, interface listings and switching an interface up or down.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board_root.h"
#include "boundary.h"
#include "name_servers.h"
#include "owners.h"
#include "report.h"
#include "text.h"
#include "wire.h"

namespace {

using dvr::read_line;

constexpr const char *kSource = "MODULES/COMMON";
constexpr const char *kDefaultDev = "eth0";
constexpr const char *kRouteTable = "/proc/net/route";
constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr const char *kNetDevList = "/proc/net/dev";
constexpr const char *kWirelessList = "/proc/net/wireless";
constexpr const char *kIfconfig = "/sbin/ifconfig";
constexpr const char *kPaddedZero = "000.000.000.000";
constexpr size_t kAddrTextSize = 16;   // "255.255.255.255" and its NUL
constexpr size_t kDevEntrySize = 16;   // one name of an interface list
constexpr size_t kRouteLineSize = 256;
constexpr size_t kCmdSize = 256;

// The three ways an IPv4 address is handed out.
enum class AddrForm { Dotted, Padded, Binary };

AddrForm form_of(int flag, int first)
{
    switch ((flag - first) % 3) {
    case 0:
        return AddrForm::Dotted;
    case 1:
        return AddrForm::Padded;
    default:
        return AddrForm::Binary;
    }
}

// Writes an address whose bytes are in network order.
void put_addr(AddrForm form, const uint8_t bytes[4], void *out)
{
    char *text = static_cast<char *>(out);
    switch (form) {
    case AddrForm::Dotted:
        std::snprintf(text, kAddrTextSize, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        break;
    case AddrForm::Padded:
        std::snprintf(text, kAddrTextSize, "%03u.%03u.%03u.%03u", bytes[0], bytes[1], bytes[2],
                      bytes[3]);
        break;
    case AddrForm::Binary:
        std::memcpy(out, bytes, 4);
        break;
    }
}

void put_placeholder(AddrForm form, void *out)
{
    if (form == AddrForm::Binary)
        std::memset(out, 0, 4);
    else
        dvr::copy_bounded(static_cast<char *>(out), kAddrTextSize, kPaddedZero);
}

// The interface name to use (NULL means the default). Names that do not
// fit an interface request are refused with a report.
const char *iface_name(const char *dev, const dvr::Reporter &report)
{
    if (!dev)
        return kDefaultDev;
    if (std::strlen(dev) >= IFNAMSIZ) {
        DVR_REPORT_TO(report, "interface name too long (%zu characters, at most %d) : %.15s...\n",
                    std::strlen(dev), IFNAMSIZ - 1, dev);
        return nullptr;
    }
    return dev;
}

// One interface request on a fresh IPv4 datagram socket. false when the
// socket could not be opened (reported) or the ioctl failed (errno set).
bool if_ioctl(unsigned long request, const char *name, struct ifreq &ifr, const dvr::Reporter &report,
              bool *socket_failed = nullptr)
{
    dvr::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        DVR_REPORT_TO(report, "socket() error : %s\n", std::strerror(errno));
        if (socket_failed)
            *socket_failed = true;
        return false;
    }
    std::memset(&ifr, 0, sizeof ifr);
    dvr::copy_bounded(ifr.ifr_name, sizeof ifr.ifr_name, name);
    return ioctl(sock.get(), request, &ifr) == 0;
}

} // namespace

extern "C" int COM_GetMAC(int flag, const char *dev, void *out)
try {
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    if (flag < 0 || flag > 6) {
        COM_REPORT("flag(%d) not implemented.\n", flag);
        return -1;
    }
    uint8_t hw[6] = {};
    bool ok = false;
    if (const char *name = iface_name(dev, DVR_REPORTER(kSource))) {
        struct ifreq ifr;
        bool socket_failed = false;
        if (if_ioctl(SIOCGIFHWADDR, name, ifr, DVR_REPORTER(kSource), &socket_failed)) {
            std::memcpy(hw, ifr.ifr_hwaddr.sa_data, sizeof hw);
            ok = true;
        } else if (!socket_failed) {
            COM_REPORT("ioctl() error : %s\n", std::strerror(errno));
        }
    }

    if (flag == 6) {
        std::memcpy(out, hw + 3, 3);
        return ok ? 0 : -1;
    }
    static constexpr int kShown[3] = {6, 4, 3};
    int count = kShown[flag % 3];
    bool colons = flag >= 3;
    char *text = static_cast<char *>(out);
    size_t pos = 0;
    for (int i = 6 - count; i < 6; ++i) {
        if (colons && pos > 0)
            text[pos++] = ':';
        std::snprintf(text + pos, 3, "%02X", hw[i]);
        pos += 2;
    }
    text[pos] = '\0';
    return ok ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubGetNetInfo(int flag, const char *dev, void *out)
try {
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    unsigned long request;
    if (flag >= 7 && flag <= 9)
        request = SIOCGIFADDR;
    else if (flag >= 10 && flag <= 12)
        request = SIOCGIFBRDADDR;
    else if (flag >= 13 && flag <= 15)
        request = SIOCGIFNETMASK;
    else {
        COM_REPORT("flag(%d) not implemented.\n", flag);
        return -1;
    }
    AddrForm form = form_of(flag, 7);
    const char *name = iface_name(dev, DVR_REPORTER(kSource));
    struct ifreq ifr;
    // The kernel's own failure (no such interface, no address) is the
    // placeholder's meaning: it is not reported.
    if (!name || !if_ioctl(request, name, ifr, DVR_REPORTER(kSource)) ||
        ifr.ifr_addr.sa_family != AF_INET) {
        put_placeholder(form, out);
        return -1;
    }
    struct sockaddr_in sin;
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    uint8_t bytes[4];
    std::memcpy(bytes, &sin.sin_addr.s_addr, 4);
    put_addr(form, bytes, out);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubGetGateway(int flag, const char *dev, void *out)
try {
    (void)dev; // the first default route of any interface is the gateway
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    if (flag < 16 || flag > 18) {
        COM_REPORT("flag(%d) not implemented.\n", flag);
        return -1;
    }
    AddrForm form = form_of(flag, 16);
    dvr::UniqueFile route(std::fopen(dvr::board_path(kRouteTable).c_str(), "re"));
    if (!route) {
        COM_REPORT("fopen(%s) : %s\n", kRouteTable, std::strerror(errno));
        put_placeholder(form, out);
        return -1;
    }
    char line[kRouteLineSize];
    bool skipped;
    while (read_line(route.get(), line, sizeof line, skipped)) {
        if (skipped)
            continue;
        // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
        std::string_view fields[11];
        size_t nfields = 0;
        std::string_view rest(line);
        while (!rest.empty() && rest.back() == '\n')
            rest.remove_suffix(1);
        while (nfields < 11) {
            size_t tab = rest.find('\t');
            std::string_view f = rest.substr(0, tab);
            // Fields may be padded with spaces after the tab.
            while (!f.empty() && f.front() == ' ')
                f.remove_prefix(1);
            while (!f.empty() && f.back() == ' ')
                f.remove_suffix(1);
            fields[nfields++] = f;
            if (tab == std::string_view::npos)
                break;
            rest.remove_prefix(tab + 1);
        }
        if (nfields < 8 || fields[1] != "00000000" || fields[7] != "00000000" || fields[2].empty())
            continue;
        std::string gw(fields[2]);
        errno = 0;
        char *end = nullptr;
        unsigned long value = std::strtoul(gw.c_str(), &end, 16);
        if (errno == 0 && (end == gw.c_str() || *end != '\0' || value > 0xFFFFFFFFul))
            errno = EINVAL;
        if (errno != 0 || value == 0xFFFFFFFFul) {
            COM_REPORT("strtoul() error : %s\n", std::strerror(errno));
            continue;
        }
        // The table shows the address word as the kernel holds it in
        // memory: stored back the same way, its bytes are in network order.
        uint32_t word = static_cast<uint32_t>(value);
        uint8_t bytes[4];
        std::memcpy(bytes, &word, 4);
        put_addr(form, bytes, out);
        return 0;
    }
    put_placeholder(form, out);
    return -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubGetDNS(int flag, const char *dev, void *out)
try {
    (void)dev;
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    if (flag < 19 || flag > 21) {
        COM_REPORT("flag(%d) not implemented.\n", flag);
        return -1;
    }
    AddrForm form = form_of(flag, 19);
    char servers[1][dvr::kNameServerTextSize];
    int count = dvr::read_name_servers(servers, 1);
    if (count < 0) {
        COM_REPORT("fopen(%s) : %s\n", kResolvConf, std::strerror(errno));
        put_placeholder(form, out);
        return -1;
    }
    if (count == 0) {
        put_placeholder(form, out);
        return -1;
    }
    const char *token = servers[0];
    if (form == AddrForm::Dotted) {
        // Copied as written; it must fit the 16-byte address field.
        if (!dvr::copy_bounded(static_cast<char *>(out), kAddrTextSize, token)) {
            COM_REPORT("name server [%.40s] longer than %zu characters\n", token, kAddrTextSize - 1);
            put_placeholder(form, out);
            return -1;
        }
        return 0;
    }
    struct in_addr addr;
    if (inet_aton(token, &addr) == 0) {
        COM_REPORT("[%.40s] is not a valid ip address\n", token);
        put_placeholder(form, out);
        return -1;
    }
    uint8_t bytes[4];
    std::memcpy(bytes, &addr.s_addr, 4);
    put_addr(form, bytes, out);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetMTU(int flag, const char *dev, void *out)
try {
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    if (flag != 22) {
        COM_REPORT("flag(%d) not implemented.\n", flag);
        return -1;
    }
    const char *name = iface_name(dev, DVR_REPORTER(kSource));
    if (!name)
        return -1;
    struct ifreq ifr;
    bool socket_failed = false;
    if (!if_ioctl(SIOCGIFMTU, name, ifr, DVR_REPORTER(kSource), &socket_failed)) {
        if (!socket_failed)
            COM_REPORT("ioctl() error : %s\n", std::strerror(errno));
        return -1;
    }
    int32_t mtu = ifr.ifr_mtu;
    std::memcpy(out, &mtu, sizeof mtu);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetNetInfo(int flag, const char *dev, void *out)
try {
    if (!out) {
        COM_REPORT("input error : out == NULL\n");
        return -1;
    }
    if (flag >= 0 && flag <= 6)
        return COM_GetMAC(flag, dev, out);
    if (flag >= 7 && flag <= 15)
        return COM_SubGetNetInfo(flag, dev, out);
    if (flag >= 16 && flag <= 18)
        return COM_SubGetGateway(flag, dev, out);
    if (flag >= 19 && flag <= 21)
        return COM_SubGetDNS(flag, dev, out);
    if (flag == 22)
        return COM_GetMTU(flag, dev, out);
    std::memcpy(out, "unknown", 8);
    COM_REPORT("flag(%d) not implemented yet.\n", flag);
    return -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ConvertNetworkAddr(const char *text, uint32_t *pAddr, uint32_t *pMask)
try {
    if (!pAddr || !pMask) {
        COM_REPORT("input error : (pAddr, pMask) = (%p, %p)\n", static_cast<void *>(pAddr),
                   static_cast<void *>(pMask));
        return -1;
    }
    *pAddr = 0;
    std::memset(pMask, 0xFF, sizeof *pMask);
    if (!text)
        return -1;

    char buf[256];
    dvr::copy_cut(buf, sizeof buf, text);
    char *save = nullptr;
    char *first = strtok_r(buf, "/ \r\n", &save);
    if (!first)
        return -1;
    struct in_addr addr;
    if (inet_aton(first, &addr) == 0) {
        COM_REPORT("[%s] is not a valid ip address\n", first);
        return -1;
    }
    std::memcpy(pAddr, &addr.s_addr, 4);

    char *second = strtok_r(nullptr, "/ \r\n", &save);
    if (!second)
        return 0;
    if (std::strchr(second, '.')) {
        struct in_addr mask;
        if (inet_aton(second, &mask) == 0)
            COM_REPORT("[%s] is not a valid netmask\n", second);
        else
            std::memcpy(pMask, &mask.s_addr, 4);
        return 0;
    }
    int bits = std::atoi(second);
    if (bits < 0 || bits > 32) {
        COM_REPORT("offset : (%s, %d) : isn't resonable\n", second, bits);
        return 0;
    }
    uint32_t mask = bits == 0 ? 0u : 0xFFFFFFFFu << (32 - bits);
    dvr::put_be32(reinterpret_cast<uint8_t *>(pMask), mask);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

// Lists the interface names of a kernel table whose lines read
// "name: counters ...": one 16-byte entry per line holding a ':'.
static int COM_GetDeviceFromProc(const char *table, char **ppList)
{
    if (!ppList || *ppList) {
        COM_REPORT("Warnning!! (*pBuf != NULL)\n");
        return -1;
    }
    dvr::UniqueFile file(std::fopen(dvr::board_path(table).c_str(), "re"));
    if (!file) {
        COM_REPORT("fopen(%s) error : %s\n", table, std::strerror(errno));
        return -1;
    }
    int count = 0;
    char line[256];
    bool skipped;
    while (read_line(file.get(), line, sizeof line, skipped)) {
        // A line longer than the buffer (counters of many digits) still
        // names its interface in its first part; the rest was skipped.
        char *colon = std::strchr(line, ':');
        if (!colon)
            continue;
        void *grown = std::realloc(*ppList, (static_cast<size_t>(count) + 1) * kDevEntrySize);
        if (!grown) {
            COM_REPORT("realloc() failed : %s\n", std::strerror(errno));
            continue;
        }
        *ppList = static_cast<char *>(grown);
        char *entry = *ppList + static_cast<size_t>(count) * kDevEntrySize;
        size_t len = 0;
        bool cut = false;
        for (const char *p = line; p < colon; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
                continue;
            if (len + 1 < kDevEntrySize)
                entry[len++] = static_cast<char>(c);
            else
                cut = true;
        }
        entry[len] = '\0';
        if (cut)
            COM_REPORT("interface name cut to %zu characters : [%s]\n", kDevEntrySize - 1, entry);
        ++count;
    }
    return count;
}

extern "C" int COM_GetAllNetDevice(char **ppList)
try {
    return COM_GetDeviceFromProc(kNetDevList, ppList);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetAllWirelessDevice(char **ppList)
try {
    return COM_GetDeviceFromProc(kWirelessList, ppList);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

// Runs "/sbin/ifconfig <dev> <action>" as root.
static int COM_SubNetDevSwitch(const char *dev, const char *action, const dvr::Reporter &report)
{
    if (getuid() != 0)
        return -1;
    const char *name = dev ? dev : kDefaultDev;
    size_t len = std::strlen(name);
    // The command line is split at spaces: a name holding one, or starting
    // with "-", would pass other arguments or options to the program.
    if (len == 0 || len >= IFNAMSIZ || name[0] == '-' || std::strpbrk(name, " \t\r\n")) {
        DVR_REPORT_TO(report, "invalid interface name [%.40s]\n", name);
        return -1;
    }
    char cmd[kCmdSize];
    std::string program = dvr::board_path(kIfconfig);
    int n = std::snprintf(cmd, sizeof cmd, "%s %s %s", program.c_str(), name, action);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
        DVR_REPORT_TO(report, "command too long : %s %s %s\n", kIfconfig, name, action);
        return -1;
    }
    return COM_System(cmd, nullptr);
}

extern "C" int COM_NetDevUp(const char *dev)
try {
    return COM_SubNetDevSwitch(dev, "up", DVR_REPORTER(kSource));
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_NetDevDown(const char *dev)
try {
    return COM_SubNetDevSwitch(dev, "down", DVR_REPORTER(kSource));
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
