/**
 * @file
 * DNS: the DNS resolver (A and MX lookups over UDP).
 * Plain C interface (C99 and C++), every function with C linkage.
 */
#ifndef DVRPLAT_DNS_H
#define DVRPLAT_DNS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's interface, exported from the
 * shared library; all else in it is hidden. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ---------------------------------------------------------------------
 * DNS message format
 * ------------------------------------------------------------------- */

/** Result entries handed back by the lookups: arrays of DNS_ADDR_REC_MAX. */
#define DNS_ADDR_REC_MAX 10

/** One address found by a lookup, 8 bytes. A caller zero-fills its array
 * first; the list ends at the first entry whose flag is 0. */
typedef struct {
    uint8_t flag;   /**< 1: this entry holds an address; 0: empty entry */
    uint8_t offset; /**< MX: offset of the exchanger's name in the response
                       when below 256, else 0; A: 0 */
    uint8_t prefix; /**< MX: low byte of the exchanger's preference; A: 0 */
    uint8_t type;   /**< origin of the address: 1 (A) or 15 (MX) */
    uint32_t ip;    /**< IPv4 address in network byte order, ready for
                       sin_addr.s_addr */
} DNS_ADDR_REC;

/** Query types accepted by DNS_CreateOutPacket. */
#define DNS_TYPE_A 1
/** Query type MX (mail exchanger). */
#define DNS_TYPE_MX 15

/** Longest name text a query carries (wire names are at most 255 bytes),
 * and so the largest query: DNS_QUERY_MAX_LEN bytes. */
#define DNS_NAME_MAX_LEN 253
/** Bytes of the largest query (a name of DNS_NAME_MAX_LEN characters). */
#define DNS_QUERY_MAX_LEN (DNS_NAME_MAX_LEN + 18)

/**
 * Writes the query for pDomainName (the text after its first "@" when it
 * has one): a recursive query of class IN with the fixed ID A9FAh (the exchange
 * functions put a random ID in its place).
 * @param pDomainName the name
 * @param pOutPacket  receives the query; room for the name's length + 18
 *                    bytes (at most DNS_QUERY_MAX_LEN)
 * @param nType       query type, 1..255 (DNS_TYPE_A, DNS_TYPE_MX)
 * @return the query length, or -1 (reported) for a name that cannot be
 *         encoded: empty, empty label, label over 63 characters, name over
 *         DNS_NAME_MAX_LEN characters, or a type outside 1..255.
 * Thread-safe (as every message function of this header).
 */
int DNS_CreateOutPacket(const char *pDomainName, unsigned char *pOutPacket, int nType);

/**
 * Reads the A answers of a response into pAddr: the A records (class IN) of
 * the question's name, or of the name its chain of CNAME answers ends at,
 * in answer order.
 * @param pPacket  the response
 * @param nRecvLen its length in bytes
 * @param pAddr    receives the addresses; room for DNS_ADDR_REC_MAX entries
 * @return 0 when at least one address was stored, -1 otherwise (pAddr
 *         untouched): a response code other than 0, an answer section that
 *         does not lie whole within the data (a truncated response's too),
 *         no such record.
 */
int DNS_ParserAPacket(const unsigned char *pPacket, int nRecvLen, DNS_ADDR_REC *pAddr);

/**
 * Checks a response to an MX query.
 * @param pPacket   the response
 * @param nRecvLen  its length in bytes
 * @param nQueryLen length of the query it answers
 * @return 0 when the response carries at least one answer, -1 otherwise.
 */
int DNS_ParserMXPacket(const unsigned char *pPacket, int nRecvLen, int nQueryLen);

/**
 * Reads the mail exchangers' addresses into pAddr, best preference first:
 * the additional A records whose owner is the exchange name of an MX
 * answer.
 * @param pPacket      the response
 * @param nRecvLen     its length in bytes
 * @param nAnswerCount takes no part
 * @param pAddr        receives the addresses; room for DNS_ADDR_REC_MAX
 *                     entries
 * @return 0 when addresses were stored, -1 otherwise ("Packet Size error!"
 *         reported when the records do not lie within the data).
 */
int DNS_ParserMX(const unsigned char *pPacket, int nRecvLen, int nAnswerCount,
                 DNS_ADDR_REC *pAddr);

/**
 * qsort comparison of two DNS_ADDR_REC: ascending preference.
 * @param pA first record
 * @param pB second record
 * @return negative, 0 or positive as the first's preference is lower,
 *         equal or higher.
 */
int DNS_SortMXPrefix(const void *pA, const void *pB);

/**
 * Writes the text of the name at the response offset held in the byte
 * pPointer points at (the second byte of a compression pointer, or an
 * offset field of a DNS_ADDR_REC): "." for each label length below 30, ","
 * at the end, other bytes unchanged, then a NUL.
 * @param pPacket  the response; only its nRecvLen bytes are read
 * @param nRecvLen its length in bytes
 * @param pName    takes no part
 * @param pPointer the byte holding the offset
 * @param pOutText receives the text
 * @param nOutSize bytes of pOutText
 * @return the text length, or -1 (pOutText "" when it has room) when the
 *         name leaves the response, loops, or does not fit.
 */
int DNS_GetMXString(const unsigned char *pPacket, int nRecvLen, const char *pName,
                    const unsigned char *pPointer, char *pOutText, int nOutSize);

/* ---------------------------------------------------------------------
 * Resolver operations
 * ------------------------------------------------------------------- */

/** Name server table: DNS_NAMESERVER_MAX entries of DNS_NAMESERVER_LEN
 * characters (a dotted IPv4 address and its NUL). */
#define DNS_NAMESERVER_MAX 4
/** Bytes of a name server table entry. */
#define DNS_NAMESERVER_LEN 16

/**
 * Addresses of a host. A dotted address is handed back at once; a name is
 * asked of each name server of "/etc/resolv.conf" (under DVRPLAT_ROOT) in
 * turn until one answers.
 * @param pDomainName host name, dotted address, or e-mail address whose
 *                    text after the first "@" is used; it must hold a "."
 * @param pAddr       receives the addresses (zero-filled by the caller);
 *                    room for DNS_ADDR_REC_MAX entries
 * @return 0: entry 0 holds the address; -1: invalid name, no name server or
 *         no answer; -2: the last name server tried could not be sent to.
 *         Every failure has been reported.
 * Blocks up to 6 s for each name server that does not answer (six sends
 * within the 6 s), at most four servers: 24 s. Reentrant: lookups may run
 * on several threads at once (each on a socket of its own).
 */
int DNS_GetA(const char *pDomainName, DNS_ADDR_REC *pAddr);
/**
 * Addresses of a mail domain's exchangers, best preference first; a server
 * without MX answers is asked for the domain's own address.
 * @param pDomainName the domain, or an e-mail address
 * @param pAddr       receives the addresses (zero-filled by the caller);
 *                    room for DNS_ADDR_REC_MAX entries
 * @return as DNS_GetA.
 * Blocks up to 12 s for each name server that does not answer (the MX
 * query, then the A query, 6 s each), at most four servers. Reentrant.
 */
int DNS_GetMX(const char *pDomainName, DNS_ADDR_REC *pAddr);
/**
 * Fills the table from the "nameserver" lines of "/etc/resolv.conf" (under
 * DVRPLAT_ROOT) and reports each server.
 * @param pNameServer table of DNS_NAMESERVER_MAX entries
 * @return the count, 0 to 4 (0 reported when the file cannot be read).
 * Thread-safe.
 */
int DNS_GetNameServer(char pNameServer[][DNS_NAMESERVER_LEN]);
/**
 * One A lookup against one name server, on a socket of its own; reports the
 * addresses found.
 * @param pNameServer dotted IPv4 address of the server
 * @param pDomainName the name
 * @param pAddr       receives the addresses; room for DNS_ADDR_REC_MAX
 * @return 0 stored, -1 bad server address, socket failure or no usable
 *         answer, -2 the last attempt could not send (reported).
 * Blocks up to 6 s. Reentrant.
 */
int DNS_GetAviaNameServer(const char *pNameServer, const char *pDomainName, DNS_ADDR_REC *pAddr);
/**
 * One MX lookup against one name server, falling back to the A records of
 * the domain when there are no MX answers.
 * @param pNameServer dotted IPv4 address of the server
 * @param pDomainName the domain
 * @param pAddr       receives the addresses; room for DNS_ADDR_REC_MAX
 * @return as DNS_GetAviaNameServer. Blocks up to 12 s. Reentrant.
 */
int DNS_GetMXviaNameServer(const char *pNameServer, const char *pDomainName, DNS_ADDR_REC *pAddr);
struct sockaddr_in; /**< <netinet/in.h> */
/**
 * The A query exchange on an open UDP socket: the query (a random ID) is
 * sent up to six times within one 6 s budget; only a reply from the server's
 * address and port carrying the query's ID and question is read.
 * @param nSocket     an open UDP socket
 * @param pServer     the server (IPv4, port 53)
 * @param pDomainName the name
 * @param pAddr       receives the addresses; room for DNS_ADDR_REC_MAX
 * @return 0 stored, -1 bad arguments or no usable answer, -2 the last
 *         attempt could not send (reported).
 * Blocks up to 6 s. Thread-safe for different sockets.
 */
int DNS_SendAQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                   DNS_ADDR_REC *pAddr);
/**
 * The MX query exchange on an open UDP socket, as DNS_SendAQuery.
 * @param nSocket     an open UDP socket
 * @param pServer     the server (IPv4, port 53)
 * @param pDomainName the domain
 * @param pAddr       receives the addresses; room for DNS_ADDR_REC_MAX
 * @return as DNS_SendAQuery. Blocks up to 6 s. Thread-safe for different
 *         sockets.
 */
int DNS_SendMXQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                    DNS_ADDR_REC *pAddr);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DNS_H */
