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
#define DNS_TYPE_MX 15

/** Longest name text a query carries (wire names are at most 255 bytes),
 * and so the largest query: DNS_QUERY_MAX_LEN bytes. */
#define DNS_NAME_MAX_LEN 253
#define DNS_QUERY_MAX_LEN (DNS_NAME_MAX_LEN + 18)

/** Writes the query for pDomainName (the text after its first "@" when it
 * has one) into pOutPacket, which has room for the name's length + 18 bytes
 * (at most DNS_QUERY_MAX_LEN). Returns the query length, or -1 (reported)
 * for a name that cannot be encoded: empty, empty label, label over 63
 * characters, name over DNS_NAME_MAX_LEN characters, or a type outside
 * 1..255. */
int DNS_CreateOutPacket(const char *pDomainName, unsigned char *pOutPacket, int nType);

/** Reads the A answers of a response of nRecvLen bytes into pAddr (room for
 * DNS_ADDR_REC_MAX entries): the A records (class IN) of the question's
 * name, or of the name its chain of CNAME answers ends at, in answer
 * order. 0 when at least one address was stored, -1 otherwise (pAddr
 * untouched): a response code other than 0, an answer section that does
 * not lie whole within the data (a truncated response's too), no such
 * record. */
int DNS_ParserAPacket(const unsigned char *pPacket, int nRecvLen, DNS_ADDR_REC *pAddr);

/** 0 when the response carries at least one answer, -1 otherwise. */
int DNS_ParserMXPacket(const unsigned char *pPacket, int nRecvLen, int nQueryLen);

/** Reads the mail exchangers' addresses into pAddr (room for
 * DNS_ADDR_REC_MAX entries), best preference first: the additional A
 * records whose owner is the exchange name of an MX answer. nAnswerCount
 * takes no part. 0 when addresses were stored, -1 otherwise ("Packet Size
 * error!" reported when the records do not lie within the data). */
int DNS_ParserMX(const unsigned char *pPacket, int nRecvLen, int nAnswerCount,
                 DNS_ADDR_REC *pAddr);

/** qsort comparison of two DNS_ADDR_REC: ascending preference. */
int DNS_SortMXPrefix(const void *pA, const void *pB);

/** Writes the text of the name at the response offset held in the byte
 * pPointer points at (the second byte of a compression pointer, or an
 * offset field of a DNS_ADDR_REC): "." for each label length below 30, ","
 * at the end, other bytes unchanged, then a NUL, into pOutText of nOutSize
 * bytes. Only the nRecvLen bytes of pPacket are read; pName takes no part.
 * Returns the text length, or -1 (pOutText "" when it has room) when the
 * name leaves the response, loops, or does not fit. */
int DNS_GetMXString(const unsigned char *pPacket, int nRecvLen, const char *pName,
                    const unsigned char *pPointer, char *pOutText, int nOutSize);

/* ---------------------------------------------------------------------
 * Resolver operations
 * ------------------------------------------------------------------- */

/** Name server table: DNS_NAMESERVER_MAX entries of DNS_NAMESERVER_LEN
 * characters (a dotted IPv4 address and its NUL). */
#define DNS_NAMESERVER_MAX 4
#define DNS_NAMESERVER_LEN 16

/** Addresses of a host (pDomainName: host name, dotted address, or e-mail
 * address whose text after the first "@" is used) into pAddr (room for
 * DNS_ADDR_REC_MAX entries). 0: entry 0 holds the address; -1: invalid
 * name, no name server or no answer; -2: the last name server tried could
 * not be sent to. Every failure has been reported. Blocks up to 6 s per
 * query against each name server of "/etc/resolv.conf" that does not
 * answer. Reentrant: lookups may run on several threads at once. */
int DNS_GetA(const char *pDomainName, DNS_ADDR_REC *pAddr);
/** Addresses of a mail domain's exchangers, best preference first, falling
 * back to the domain's own address; results as DNS_GetA. */
int DNS_GetMX(const char *pDomainName, DNS_ADDR_REC *pAddr);
/** Fills the table from "/etc/resolv.conf"; returns the count, 0 to 4. */
int DNS_GetNameServer(char pNameServer[][DNS_NAMESERVER_LEN]);
/** One lookup against one name server (dotted address text). */
int DNS_GetAviaNameServer(const char *pNameServer, const char *pDomainName, DNS_ADDR_REC *pAddr);
int DNS_GetMXviaNameServer(const char *pNameServer, const char *pDomainName, DNS_ADDR_REC *pAddr);
struct sockaddr_in; /**< <netinet/in.h> */
/** The exchange on an open UDP socket with pServer (IPv4, port 53):
 * 0 stored, -1 no usable answer, -2 the last attempt could not send. */
int DNS_SendAQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                   DNS_ADDR_REC *pAddr);
int DNS_SendMXQuery(int nSocket, const struct sockaddr_in *pServer, const char *pDomainName,
                    DNS_ADDR_REC *pAddr);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DNS_H */
