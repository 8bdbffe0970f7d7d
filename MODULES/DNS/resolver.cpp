// Lookups: dotted addresses answered at once, names asked of the name
// servers of "/etc/resolv.conf" one after the other.
#include <cerrno>
#include <climits>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "DNS.h"
#include "dns_internal.h"
#include "boundary.h"
#include "name_servers.h"
#include "owners.h"
#include "report.h"
#include "text.h"

namespace {

constexpr const char *kResolvConf = "/etc/resolv.conf";

using NameServerTable = char[DNS_NAMESERVER_MAX][DNS_NAMESERVER_LEN];

// Opens a UDP socket on an ephemeral local port and addresses the name
// server (dotted text) at port 53. Reports and returns false on failure.
bool open_server_socket(const dvr::Reporter &report, const char *pNameServer, dvr::UniqueFd &fd,
                        sockaddr_in &server)
{
    in_addr_t addr = pNameServer ? ::inet_addr(pNameServer) : INADDR_NONE;
    if (addr == INADDR_NONE) {
        errno = EINVAL;
        DVR_REPORT_TO(report, "inet_addr(%s) error : %s\n", pNameServer ? pNameServer : "(null)",
                      std::strerror(errno));
        return false;
    }
    fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        DVR_REPORT_TO(report, "socket() error : %s\n", std::strerror(errno));
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        DVR_REPORT_TO(report, "bind() error : %s\n", std::strerror(errno));
        fd.reset();
        return false;
    }
    server = {};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = addr;
    server.sin_port = htons(dvr::dns::kDnsPort);
    return true;
}

// Asks one name server, on a socket of its own, for the A records of the
// name, or for its MX records and, when there are none, its A records.
int ask_server(const dvr::Reporter &report, int type, const char *pNameServer, const char *pDomainName,
               DNS_ADDR_REC *pAddr)
{
    dvr::UniqueFd fd;
    sockaddr_in server{};
    if (!open_server_socket(report, pNameServer, fd, server))
        return -1;
    if (type == DNS_TYPE_MX) {
        if (DNS_SendMXQuery(fd.get(), &server, pDomainName, pAddr) == 0)
            return 0;
        DVR_REPORT_TO(report, "MX record not found! Try A record.\n");
    }
    int result = DNS_SendAQuery(fd.get(), &server, pDomainName, pAddr);
    if (result != 0) {
        DVR_REPORT_TO(report, "A record not found!\n");
        return result;
    }
    for (int i = 0; type == DNS_TYPE_A && i < DNS_ADDR_REC_MAX && pAddr[i].flag != 0; ++i) {
        uint8_t ip[4];
        std::memcpy(ip, &pAddr[i].ip, sizeof ip);
        DVR_REPORT_TO(report, "%d: flag = %d, offset = 0x%02X, prefix = %X, ip = %d.%d.%d.%d\n", i, pAddr[i].flag,
                      pAddr[i].offset, pAddr[i].prefix, ip[0], ip[1], ip[2], ip[3]);
    }
    return result;
}

using PerServer = int (*)(const char *, const char *, DNS_ADDR_REC *);

// The common road of DNS_GetA and DNS_GetMX.
int lookup(const dvr::Reporter &report, const char *pDomainName, DNS_ADDR_REC *pAddr, PerServer perServer)
{
    if (!pDomainName || !std::strchr(pDomainName, '.')) {
        DVR_REPORT_TO(report, "invalid pDomainName\n");
        return -1;
    }
    if (!pAddr) {
        DVR_REPORT_TO(report, "invalid argument\n");
        return -1;
    }
    // A dotted address (alone or after "@") needs no query. 255.255.255.255
    // reads as inet_addr's failure and is looked up as a name.
    const char *at = std::strchr(pDomainName, '@');
    in_addr_t addr = ::inet_addr(at ? at + 1 : pDomainName);
    if (addr != INADDR_NONE) {
        pAddr[0].flag = 1;
        pAddr[0].type = DNS_TYPE_A;
        pAddr[0].ip = addr;
        return 0;
    }

    NameServerTable servers = {};
    int count = DNS_GetNameServer(servers);
    if (count <= 0) {
        DVR_REPORT_TO(report, "no nameserver found\n");
        return -1;
    }
    int result = -1;
    for (int i = 0; i < count; ++i) {
        result = perServer(servers[i], pDomainName, pAddr);
        if (result == 0)
            break;
    }
    return result;
}

} // namespace

extern "C" int DNS_GetA(const char *pDomainName, DNS_ADDR_REC *pAddr)
try {
    return lookup(DVR_REPORTER("MODULES/DNS"), pDomainName, pAddr, DNS_GetAviaNameServer);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_GetMX(const char *pDomainName, DNS_ADDR_REC *pAddr)
try {
    return lookup(DVR_REPORTER("MODULES/DNS"), pDomainName, pAddr, DNS_GetMXviaNameServer);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_GetNameServer(char pNameServer[][DNS_NAMESERVER_LEN])
try {
    if (!pNameServer)
        return 0;
    char found[DNS_NAMESERVER_MAX][dvr::kNameServerTextSize];
    int count = dvr::read_name_servers(found, DNS_NAMESERVER_MAX);
    if (count < 0) {
        DNS_REPORT("fopen(%s) error : %s\n", kResolvConf, std::strerror(errno));
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        dvr::copy_cut(pNameServer[i], DNS_NAMESERVER_LEN, found[i]);
        DNS_REPORT("DNS[%d] = %s\n", i, pNameServer[i]);
    }
    return count;
} DVR_C_BOUNDARY("MODULES/DNS", 0)

extern "C" int DNS_GetAviaNameServer(const char *pNameServer, const char *pDomainName,
                                     DNS_ADDR_REC *pAddr)
try {
    return ask_server(DVR_REPORTER("MODULES/DNS"), DNS_TYPE_A, pNameServer, pDomainName, pAddr);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_GetMXviaNameServer(const char *pNameServer, const char *pDomainName,
                                      DNS_ADDR_REC *pAddr)
try {
    return ask_server(DVR_REPORTER("MODULES/DNS"), DNS_TYPE_MX, pNameServer, pDomainName, pAddr);
} DVR_C_BOUNDARY("MODULES/DNS", -1)
