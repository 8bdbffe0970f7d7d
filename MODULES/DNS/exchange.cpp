// The query exchange with one name server over UDP: up to six attempts
// sharing one wait budget, replies taken only from the queried server.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "DNS.h"
#include "deadline_wait.h"
#include "dns_internal.h"
#include "boundary.h"
#include "random.h"
#include "report.h"
#include "wire.h"

namespace {

// Attempts of one query call (each sends the query once).
constexpr int kAttempts = 6;
// Waiting time of one query call, shared by all its waits, write and read
// alike: a server that never answers costs this much per query, not this
// much per attempt. It runs on the monotonic clock, so time spent outside
// the waits counts too (a stream of dropped datagrams cannot stretch it).
constexpr time_t kQueryWaitSec = 6;
// A flood of foreign datagrams must not flood the reports as well.
constexpr int kMaxDropReports = 4;

using Wait = dvr::WaitResult;

struct Reply {
    Wait wait = Wait::Timeout;
    int len = 0;
};

// True when the reply repeats the query's question: the same name (letters
// compared without regard to case; label lengths are below any letter),
// type and class, right after the header.
bool same_question(const uint8_t *query, int queryLen, const dvr::dns::Reader &reply)
{
    const size_t qlen = static_cast<size_t>(queryLen) - dvr::dns::kHeaderLen;
    const uint8_t *q = query + dvr::dns::kHeaderLen;
    const uint8_t *r = reply.bytes(dvr::dns::kHeaderLen, qlen);
    if (!r || reply.be16(dvr::dns::kOffQdCount).value_or(0) == 0)
        return false;
    for (size_t i = 0; i < qlen; ++i) {
        uint8_t a = q[i], b = r[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<uint8_t>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<uint8_t>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// Waits for the reply of the queried server and receives it into buf
// (cleared first, at most dvr::dns::kRecvMax bytes). A datagram from any other
// address or port, without the query's ID or without its question, is
// dropped and the wait goes on within the same budget: only the server
// asked may answer, and only to what it was asked.
Reply receive_reply(const dvr::Reporter &report, int fd, const sockaddr_in &server, const uint8_t *query,
                    int queryLen, uint8_t *buf, const dvr::Deadline &budget, int &dropReports)
{
    for (;;) {
        Reply rep;
        rep.wait = dvr::wait_fd(fd, POLLIN, budget);
        if (rep.wait != Wait::Ready)
            return rep;
        std::memset(buf, 0, dvr::dns::kPacketBufLen);
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(fd, buf, dvr::dns::kRecvMax, 0, reinterpret_cast<sockaddr *>(&from),
                               &fromLen);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            const int err = errno;
            DVR_REPORT_TO(report, "recvfrom() error : %s\n", std::strerror(err));
            // The caller names the same error in its own report.
            errno = err;
            rep.wait = Wait::Error;
            return rep;
        }
        const dvr::dns::Reader reader(buf, static_cast<int>(n));
        std::optional<uint16_t> id = reader.be16(dvr::dns::kOffId);
        bool fromServer = fromLen >= sizeof from && from.sin_family == AF_INET &&
                          from.sin_addr.s_addr == server.sin_addr.s_addr &&
                          from.sin_port == server.sin_port;
        if (fromServer && id == dvr::get_be16(query + dvr::dns::kOffId) &&
            same_question(query, queryLen, reader)) {
            std::memset(buf + n, 0, dvr::dns::kPacketBufLen - size_t(n));
            rep.len = static_cast<int>(n);
            return rep;
        }
        if (dropReports < kMaxDropReports) {
            ++dropReports;
            char addr[INET_ADDRSTRLEN] = "?";
            char want[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
            ::inet_ntop(AF_INET, &server.sin_addr, want, sizeof want);
            DVR_REPORT_TO(report, "dropped %d bytes from %s:%d (ID 0x%04X): not the reply of %s:%d\n",
                          static_cast<int>(n), addr, ntohs(from.sin_port), id ? unsigned(*id) : 0u, want,
                          ntohs(server.sin_port));
        }
    }
}

// Builds the query for pDomainName into query (dvr::dns::kPacketBufLen bytes)
// and gives it a fresh random ID, so that a blind sender cannot know the
// ID a reply must carry. Returns the query's length, or -1.
int make_query(const dvr::Reporter &report, const char *pDomainName, uint8_t *query, int type)
{
    int len = DNS_CreateOutPacket(pDomainName, query, type);
    if (len < 0)
        return -1;
    uint8_t id[2];
    if (!dvr::random_fill(id, sizeof id)) {
        DVR_REPORT_TO(report, "getrandom() error : %s\n", std::strerror(errno));
        return -1;
    }
    query[dvr::dns::kOffId] = id[0];
    query[dvr::dns::kOffId + 1] = id[1];
    return len;
}

bool valid_args(const dvr::Reporter &report, int nSocket, const sockaddr_in *pServer, const char *pDomainName,
                const DNS_ADDR_REC *pAddr)
{
    if (nSocket < 0 || !pServer || !pDomainName || !pAddr) {
        DVR_REPORT_TO(report, "invalid argument\n");
        return false;
    }
    return true;
}

// What the A and the MX exchange do differently: the query's type, the
// words of their reports and how a reply is read.
struct AQuery {
    static constexpr int kType = DNS_TYPE_A;
    static void send_failed(const dvr::Reporter &report, int sent, int queryLen)
    {
        DVR_REPORT_TO(report, "sendto() error : %d/%d - %s\n", sent, queryLen, std::strerror(errno));
    }
    static void not_writable(const dvr::Reporter &report, int fd)
    {
        DVR_REPORT_TO(report, "select(writeset:%d) timeout! : %s\n", fd, std::strerror(errno));
    }
    static void attempted(const dvr::Reporter &report, int attempt, int sent, int queryLen, int result)
    {
        DVR_REPORT_TO(report, "[%d] - %d/%d - r = %d\n", attempt, sent, queryLen, result);
    }
    static void no_reply(const dvr::Reporter &report, int attempt, Wait wait)
    {
        if (wait == Wait::Timeout)
            DVR_REPORT_TO(report, "[%d] select() timeout\n", attempt);
        else
            DVR_REPORT_TO(report, "[%d] select() error : %s\n", attempt, std::strerror(errno));
    }
    // The exchange's result for a reply; done when no attempt follows.
    static int read(const dvr::Reporter &report, const uint8_t *reply, int len, int, DNS_ADDR_REC *pAddr,
                    bool &done)
    {
        DVR_REPORT_TO(report, "Header = 0x%08X\n", unsigned(dvr::get_be32(reply)));
        if (dvr::get_be16(reply + dvr::dns::kOffFlags) == dvr::dns::kNameErrorFlags) {
            // ID and question were checked on receipt: the name does not exist.
            DVR_REPORT_TO(report, "Record Not Found!\n");
            done = true;
            return -1;
        }
        int result = DNS_ParserAPacket(reply, len, pAddr);
        done = result == 0;
        return result;
    }
};

struct MxQuery {
    static constexpr int kType = DNS_TYPE_MX;
    static void send_failed(const dvr::Reporter &report, int, int)
    {
        DVR_REPORT_TO(report, "sendto() error : %s\n", std::strerror(errno));
    }
    static void not_writable(const dvr::Reporter &report, int)
    {
        DVR_REPORT_TO(report, "select(&writeset) timeout!\n");
    }
    static void attempted(const dvr::Reporter &, int, int, int, int) {}
    static void no_reply(const dvr::Reporter &report, int, Wait)
    {
        DVR_REPORT_TO(report, "select(&readset) timeout!\n");
    }
    static int read(const dvr::Reporter &, const uint8_t *reply, int len, int queryLen, DNS_ADDR_REC *pAddr,
                    bool &done)
    {
        done = DNS_ParserMXPacket(reply, len, queryLen) == 0;
        return done ? DNS_ParserMX(reply, len, dvr::get_be16(reply + dvr::dns::kOffAnCount), pAddr) : -1;
    }
};

// One query exchange: the query is sent (a send that does not take the
// whole query counts as failed) and its reply awaited, up to kAttempts
// times within one budget, until a reply is read.
template <class Query>
int exchange(const dvr::Reporter &report, int nSocket, const sockaddr_in *pServer, const char *pDomainName,
             DNS_ADDR_REC *pAddr)
{
    if (!valid_args(report, nSocket, pServer, pDomainName, pAddr))
        return -1;
    uint8_t query[dvr::dns::kPacketBufLen] = {};
    uint8_t reply[dvr::dns::kPacketBufLen];
    int queryLen = make_query(report, pDomainName, query, Query::kType);
    if (queryLen < 0)
        return -1;
    const dvr::Deadline budget(kQueryWaitSec);
    int dropReports = 0;
    int result = -1;
    int sent = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        result = -1;
        std::memset(reply, 0, sizeof reply);
        if (dvr::wait_fd(nSocket, POLLOUT, budget) == Wait::Ready) {
            sent = static_cast<int>(::sendto(nSocket, query, size_t(queryLen), 0,
                                             reinterpret_cast<const sockaddr *>(pServer), sizeof *pServer));
            if (sent != queryLen) {
                Query::send_failed(report, sent, queryLen);
                result = -2;
            }
        } else {
            Query::not_writable(report, nSocket);
            result = -2;
        }
        Query::attempted(report, attempt, sent, queryLen, result);
        if (result != -1)
            continue;

        Reply rep = receive_reply(report, nSocket, *pServer, query, queryLen, reply, budget, dropReports);
        if (rep.wait != Wait::Ready) {
            Query::no_reply(report, attempt, rep.wait);
            continue;
        }
        bool done = false;
        result = Query::read(report, reply, rep.len, queryLen, pAddr, done);
        if (done)
            break;
    }
    return result;
}

} // namespace

extern "C" int DNS_SendAQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                              DNS_ADDR_REC *pAddr)
try {
    return exchange<AQuery>(DVR_REPORTER("MODULES/DNS"), nSocket, pServer, pDomainName, pAddr);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_SendMXQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                               DNS_ADDR_REC *pAddr)
try {
    return exchange<MxQuery>(DVR_REPORTER("MODULES/DNS"), nSocket, pServer, pDomainName, pAddr);
} DVR_C_BOUNDARY("MODULES/DNS", -1)
