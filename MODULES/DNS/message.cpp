// DNS messages: building A and MX queries, and reading the addresses out
// of the responses with fixed-layout rules (no general message parser).
#include <cstddef>
#include <cstring>
#include <string_view>

#include "DNS.h"
#include "dns_internal.h"

static_assert(sizeof(DNS_ADDR_REC) == 8, "DNS_ADDR_REC is 8 bytes");
static_assert(offsetof(DNS_ADDR_REC, flag) == 0);
static_assert(offsetof(DNS_ADDR_REC, offset) == 1);
static_assert(offsetof(DNS_ADDR_REC, prefix) == 2);
static_assert(offsetof(DNS_ADDR_REC, type) == 3);
static_assert(offsetof(DNS_ADDR_REC, ip) == 4);

namespace {

using dns::Reader;

// Labels are at most 63 bytes: a length byte of 64 or more would be read
// as a compression pointer or a reserved label type.
constexpr size_t kMaxLabelLen = 63;
// An A answer whose owner name is a compression pointer: pointer (2), TYPE
// (2), CLASS (2), TTL (4), RDLENGTH (2), address (4).
constexpr size_t kAnswerALen = 16;
// From the first byte of the pattern 00 00 01 00 (root label, QTYPE A, first
// QCLASS byte) to the first answer's address when that answer is kAnswerALen
// bytes: 1 + 2 + 2 (question end) + 12 (answer up to its data).
constexpr size_t kQuestionEndToData = 17;
constexpr uint8_t kQuestionEndA[] = {0x00, 0x00, 0x01, 0x00};
constexpr uint16_t kRdLengthA = 4;
// Additional records read by the MX reader: A records with a compressed
// owner name, kAnswerALen bytes each, at the very end of the response.
constexpr size_t kAdditionalLen = kAnswerALen;
constexpr size_t kAdditionalNameOffset = 1; // low byte of the owner pointer
constexpr size_t kAdditionalAddress = 12;
// Preference given to an exchanger whose preference byte cannot be read
// (owner offset 0, or beyond the data): the worst, so it sorts last.
constexpr uint8_t kUnknownPreference = 0xFF;
// Bytes of a name text: a label length below this is shown as ".", other
// bytes up to the pointer range are shown as they are.
constexpr uint8_t kFirstTextByte = 30;
constexpr uint8_t kPointerByte = 0xC0;
// A wire name is at most 255 bytes, so its text is at most 255 characters.
constexpr size_t kMaxNameText = 255;
// A 255-byte name has at most 127 labels, so a longer chain of compression
// pointers can only be a loop.
constexpr int kMaxPointerJumps = 127;

void set_address(DNS_ADDR_REC &rec, const uint8_t *ip4) noexcept
{
    std::memcpy(&rec.ip, ip4, sizeof rec.ip); // kept in network byte order
}

// Keeps the best DNS_ADDR_REC_MAX entries in ascending preference; an
// entry goes after those of equal preference, so equal ones keep their
// order in the response.
struct BestExchangers {
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    size_t count = 0;

    void add(const DNS_ADDR_REC &r) noexcept
    {
        size_t at = count;
        while (at > 0 && DNS_SortMXPrefix(&r, &rec[at - 1]) < 0)
            --at;
        if (at >= DNS_ADDR_REC_MAX)
            return;
        size_t last = count < DNS_ADDR_REC_MAX ? count : DNS_ADDR_REC_MAX - 1;
        for (size_t i = last; i > at; --i)
            rec[i] = rec[i - 1];
        rec[at] = r;
        if (count < DNS_ADDR_REC_MAX)
            ++count;
    }
};

} // namespace

extern "C" int DNS_CreateOutPacket(const char *pDomainName, unsigned char *pOutPacket, int nType)
try {
    if (!pDomainName || !pOutPacket) {
        DNS_REPORT("invalid argument\n");
        return -1;
    }
    if (nType < 1 || nType > 255) {
        DNS_REPORT("invalid query type %d\n", nType);
        return -1;
    }
    std::string_view name(pDomainName);
    if (size_t at = name.find('@'); at != std::string_view::npos)
        name.remove_prefix(at + 1);
    if (name.empty() || name.size() > DNS_NAME_MAX_LEN) {
        DNS_REPORT("cannot encode name \"%s\" : length %zu not in 1..%d\n", pDomainName,
                   name.size(), DNS_NAME_MAX_LEN);
        return -1;
    }
    // Check every label before writing anything.
    for (std::string_view rest = name;;) {
        size_t dot = rest.find('.');
        size_t len = dot == std::string_view::npos ? rest.size() : dot;
        if (len == 0 || len > kMaxLabelLen) {
            DNS_REPORT("cannot encode name \"%s\" : label of %zu characters\n", pDomainName, len);
            return -1;
        }
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }

    uint8_t *p = pOutPacket;
    dvr::put_be16(p + dns::kOffId, dns::kQueryId);
    dvr::put_be16(p + dns::kOffFlags, dns::kQueryFlags);
    dvr::put_be16(p + dns::kOffQdCount, 1);
    dvr::put_be16(p + dns::kOffAnCount, 0);
    dvr::put_be16(p + dns::kOffNsCount, 0);
    dvr::put_be16(p + dns::kOffArCount, 0);
    size_t pos = dns::kHeaderLen;
    for (std::string_view rest = name;;) {
        size_t dot = rest.find('.');
        std::string_view label = rest.substr(0, dot);
        p[pos++] = static_cast<uint8_t>(label.size());
        std::memcpy(p + pos, label.data(), label.size());
        pos += label.size();
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    p[pos++] = 0; // root label
    dvr::put_be16(p + pos, static_cast<uint16_t>(nType));
    pos += 2;
    dvr::put_be16(p + pos, dns::kClassIn);
    pos += 2;
    return static_cast<int>(pos);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserAPacket(const unsigned char *pPacket, int nRecvLen, DNS_ADDR_REC *pAddr)
try {
    if (!pAddr)
        return -1;
    Reader rd(pPacket, nRecvLen);
    std::optional<uint16_t> answers = rd.be16(dns::kOffAnCount);
    if (!answers || *answers == 0)
        return -1;

    // The end of the question: root label, QTYPE A, first byte of QCLASS.
    size_t pos = 0;
    for (;; ++pos) {
        const uint8_t *b = rd.bytes(pos, sizeof kQuestionEndA);
        if (!b)
            return -1;
        if (std::memcmp(b, kQuestionEndA, sizeof kQuestionEndA) == 0)
            break;
    }
    pos += kQuestionEndToData;
    if (pos >= rd.size())
        return -1;
    // The first RDLENGTH of 4 from there on ends in front of an address.
    while (rd.be16(pos - 2) != kRdLengthA) {
        if (++pos >= rd.size())
            return -1;
    }

    // Each further answer is taken to be a 16-byte A answer.
    DNS_ADDR_REC found[DNS_ADDR_REC_MAX] = {};
    size_t wanted = *answers < DNS_ADDR_REC_MAX ? *answers : DNS_ADDR_REC_MAX;
    bool stored = false;
    for (size_t i = 0; i < wanted; ++i) {
        const uint8_t *ip4 = rd.bytes(pos, 4);
        static constexpr uint8_t kNoAddress[4] = {};
        // A cut-off address or 0.0.0.0 ends the list.
        if (!ip4 || std::memcmp(ip4, kNoAddress, 4) == 0)
            break;
        found[i].flag = 1;
        found[i].type = DNS_TYPE_A;
        set_address(found[i], ip4);
        stored = true;
        if (pos + kAnswerALen >= rd.size())
            break;
        pos += kAnswerALen;
    }
    if (!stored)
        return -1;
    std::memcpy(pAddr, found, wanted * sizeof found[0]);
    return 0;
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserMXPacket(const unsigned char *pPacket, int nRecvLen, int nQueryLen)
try {
    (void)nQueryLen;
    std::optional<uint16_t> answers = Reader(pPacket, nRecvLen).be16(dns::kOffAnCount);
    return answers && *answers != 0 ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserMX(const unsigned char *pPacket, int nRecvLen, int nAnswerCount,
                            DNS_ADDR_REC *pAddr)
try {
    (void)nAnswerCount;
    if (!pAddr)
        return -1;
    Reader rd(pPacket, nRecvLen);
    std::optional<uint16_t> ar = rd.be16(dns::kOffArCount);
    std::optional<uint16_t> ns = rd.be16(dns::kOffNsCount);
    if (!ar || !ns) {
        DNS_REPORT("Packet Size error!\n");
        return -1;
    }
    if (*ar == 0)
        return -1;
    // Additional records of the exchangers, taken to come before those of
    // the name servers; at least one is read.
    size_t wanted = *ar > *ns ? size_t(*ar - *ns) : 1;
    size_t total = size_t(*ar) * kAdditionalLen;
    if (rd.size() <= total) {
        DNS_REPORT("Packet Size error!\n");
        return -1;
    }
    size_t start = rd.size() - total;

    BestExchangers best;
    for (size_t k = 0; k < wanted; ++k) {
        size_t rec = start + k * kAdditionalLen;
        DNS_ADDR_REC r = {};
        r.flag = 1;
        r.type = DNS_TYPE_MX;
        r.offset = *rd.u8(rec + kAdditionalNameOffset);
        // The preference's low byte directly precedes the exchange name.
        std::optional<uint8_t> pref;
        if (r.offset > 0)
            pref = rd.u8(size_t(r.offset) - 1);
        r.prefix = pref ? *pref : kUnknownPreference;
        set_address(r, rd.bytes(rec + kAdditionalAddress, 4));
        best.add(r);
    }
    std::memcpy(pAddr, best.rec, best.count * sizeof best.rec[0]);
    return 0;
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_SortMXPrefix(const void *pA, const void *pB)
try {
    const auto *a = static_cast<const DNS_ADDR_REC *>(pA);
    const auto *b = static_cast<const DNS_ADDR_REC *>(pB);
    return int(a->prefix) - int(b->prefix);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_GetMXString(const unsigned char *pPacket, int nRecvLen, const char *pName,
                               const unsigned char *pPointer, char *pOutText, int nOutSize)
try {
    (void)pName;
    if (!pOutText || nOutSize <= 0) {
        DNS_REPORT("invalid output buffer\n");
        return -1;
    }
    pOutText[0] = '\0';
    if (!pPacket || !pPointer) {
        DNS_REPORT("invalid argument\n");
        return -1;
    }
    Reader rd(pPacket, nRecvLen);
    size_t pos = *pPointer;
    size_t room = size_t(nOutSize) - 1 < kMaxNameText ? size_t(nOutSize) - 1 : kMaxNameText;
    size_t len = 0;
    int jumps = 0;
    for (;;) {
        std::optional<uint8_t> c = rd.u8(pos);
        if (!c) {
            DNS_REPORT("name at offset %zu runs past the %zu bytes received\n", pos, rd.size());
            pOutText[0] = '\0';
            return -1;
        }
        if (*c >= kPointerByte) {
            std::optional<uint8_t> next = rd.u8(pos + 1);
            if (!next || ++jumps > kMaxPointerJumps) {
                DNS_REPORT("name pointer at offset %zu %s\n", pos,
                           next ? "loops" : "is cut off");
                pOutText[0] = '\0';
                return -1;
            }
            pos = *next;
            continue;
        }
        if (len >= room) {
            DNS_REPORT("name longer than %zu characters\n", room);
            pOutText[0] = '\0';
            return -1;
        }
        pOutText[len++] = *c == 0 ? ',' : *c < kFirstTextByte ? '.' : static_cast<char>(*c);
        if (*c == 0)
            break;
        ++pos;
    }
    pOutText[len] = '\0';
    return static_cast<int>(len);
} DVR_C_BOUNDARY("MODULES/DNS", -1)
