// DNS messages: building A and MX queries, and reading the addresses out
// of the responses by walking their questions and records.
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "DNS.h"
#include "dns_internal.h"
#include "boundary.h"
#include "report.h"
#include "wire.h"

static_assert(sizeof(DNS_ADDR_REC) == 8, "DNS_ADDR_REC is 8 bytes");
static_assert(offsetof(DNS_ADDR_REC, flag) == 0);
static_assert(offsetof(DNS_ADDR_REC, offset) == 1);
static_assert(offsetof(DNS_ADDR_REC, prefix) == 2);
static_assert(offsetof(DNS_ADDR_REC, type) == 3);
static_assert(offsetof(DNS_ADDR_REC, ip) == 4);

namespace {

using dvr::dns::Reader;

// Labels are at most 63 bytes: a length byte of 64 or more would be read
// as a compression pointer or a reserved label type.
constexpr size_t kMaxLabelLen = 63;
// The two high bits of a label length byte: 11 a compression pointer
// (the other 14 bits an offset in the message), 00 a label, 01 and 10
// label types this reader does not know.
constexpr uint8_t kLabelKindMask = 0xC0;
constexpr uint8_t kPointerByte = 0xC0;
constexpr size_t kPointerHighMask = 0x3F;
// A wire name is at most 255 bytes, root byte included.
constexpr size_t kMaxWireName = 255;
// A 255-byte name has at most 127 labels, so a longer chain of compression
// pointers can only be a loop.
constexpr int kMaxPointerJumps = 127;
// Bytes of a name text: a label length below this is shown as ".", other
// bytes up to the pointer range are shown as they are.
constexpr uint8_t kFirstTextByte = 30;
// A wire name's text is at most 255 characters.
constexpr size_t kMaxNameText = 255;

// The response code in the flags.
constexpr uint16_t kRcodeMask = 0x000F;
// Fixed part of a question after its name (QTYPE, QCLASS) and of a
// resource record after its owner name (TYPE, CLASS, TTL, RDLENGTH).
constexpr size_t kQuestionTail = 4;
constexpr size_t kRecordFixed = 10;
constexpr uint16_t kTypeCname = 5;
constexpr uint16_t kRdLengthA = 4;
// MX data: the preference (2 bytes), then the exchange name.
constexpr size_t kMxPreferenceLen = 2;
// The offset field of a DNS_ADDR_REC holds offsets below this only.
constexpr size_t kOffsetFieldLimit = 256;
// CNAME links followed from the question's name; a longer chain is
// taken for a loop.
constexpr int kMaxCnameLinks = 16;
constexpr uint8_t kNoAddress[4] = {};

void set_address(DNS_ADDR_REC &rec, const uint8_t *ip4) noexcept
{
    std::memcpy(&rec.ip, ip4, sizeof rec.ip); // kept in network byte order
}

// A name read out of a message: its labels uncompressed, each a length
// byte and its characters, with letters in lower case so that names
// compare as DNS compares them; the root byte ends it.
struct WireName {
    uint8_t len = 0;
    uint8_t b[kMaxWireName] = {};

    bool operator==(const WireName &o) const noexcept
    {
        return len == o.len && std::memcmp(b, o.b, len) == 0;
    }
};

// Reads the name at pos, following compression pointers (14-bit offsets)
// at most kMaxPointerJumps times. Returns the position just after the
// name where it starts (after its first pointer, when it has one), or
// nothing when the name leaves the message, loops, is longer than a name
// can be or uses an unknown label type.
std::optional<size_t> read_name(const Reader &rd, size_t pos, WireName &out) noexcept
{
    out.len = 0;
    std::optional<size_t> after;
    int jumps = 0;
    for (;;) {
        std::optional<uint8_t> c = rd.u8(pos);
        if (!c)
            return std::nullopt;
        if ((*c & kLabelKindMask) == kPointerByte) {
            std::optional<uint8_t> low = rd.u8(pos + 1);
            if (!low || ++jumps > kMaxPointerJumps)
                return std::nullopt;
            if (!after)
                after = pos + 2;
            pos = (size_t(*c) & kPointerHighMask) << 8 | *low;
            continue;
        }
        if ((*c & kLabelKindMask) != 0)
            return std::nullopt;
        const size_t labelLen = *c;
        if (size_t(out.len) + 1 + labelLen > kMaxWireName)
            return std::nullopt;
        const uint8_t *label = rd.bytes(pos + 1, labelLen);
        if (!label)
            return std::nullopt;
        out.b[out.len++] = *c;
        for (size_t i = 0; i < labelLen; ++i) {
            uint8_t ch = label[i];
            out.b[out.len++] = ch >= 'A' && ch <= 'Z' ? static_cast<uint8_t>(ch - 'A' + 'a') : ch;
        }
        pos += 1 + labelLen;
        if (labelLen == 0)
            return after ? *after : pos;
    }
}

// One resource record: owner, TYPE, CLASS, where its data lies and where
// the next record starts. The TTL takes no part.
struct Record {
    WireName owner;
    uint16_t type = 0;
    uint16_t klass = 0;
    uint16_t rdLength = 0;
    size_t data = 0;
    size_t next = 0;

    // The address of an A record of class IN with 4 bytes of data.
    const uint8_t *address(const Reader &rd) const noexcept
    {
        if (type != DNS_TYPE_A || klass != dvr::dns::kClassIn || rdLength != kRdLengthA)
            return nullptr;
        return rd.bytes(data, kRdLengthA);
    }
    // A name held in the data from offset `at` on, ending within the data.
    std::optional<WireName> name_in_data(const Reader &rd, size_t at) const noexcept
    {
        WireName n;
        std::optional<size_t> end = read_name(rd, data + at, n);
        if (!end || *end > data + rdLength)
            return std::nullopt;
        return n;
    }
};

// The record at pos, or nothing when any part of it, data included, lies
// beyond the message.
std::optional<Record> read_record(const Reader &rd, size_t pos) noexcept
{
    Record r;
    std::optional<size_t> fixed = read_name(rd, pos, r.owner);
    if (!fixed || !rd.has(*fixed, kRecordFixed))
        return std::nullopt;
    r.type = *rd.be16(*fixed);
    r.klass = *rd.be16(*fixed + 2);
    r.rdLength = *rd.be16(*fixed + 8);
    r.data = *fixed + kRecordFixed;
    if (!rd.has(r.data, r.rdLength))
        return std::nullopt;
    r.next = r.data + r.rdLength;
    return r;
}

// Where the sections of a response start, its counts and the question's
// name, once the sections asked for have been walked record by record.
struct Message {
    WireName qname;
    unsigned rcode = 0;
    uint16_t an = 0;
    uint16_t ns = 0;
    uint16_t ar = 0;
    size_t answers = 0;
    size_t authority = 0;
    size_t additional = 0;
};

// Walks the header, the questions and the first `sections` sections after
// them (1: answers; 3: answers, authority and additional). Nothing when
// the header is short, there is no question or any of those records does
// not lie wholly within the message: a truncated (TC) response whose
// answers were cut off ends here too.
std::optional<Message> read_message(const Reader &rd, int sections) noexcept
{
    Message m;
    std::optional<uint16_t> flags = rd.be16(dvr::dns::kOffFlags);
    std::optional<uint16_t> qd = rd.be16(dvr::dns::kOffQdCount);
    std::optional<uint16_t> an = rd.be16(dvr::dns::kOffAnCount);
    std::optional<uint16_t> ns = rd.be16(dvr::dns::kOffNsCount);
    std::optional<uint16_t> ar = rd.be16(dvr::dns::kOffArCount);
    if (!flags || !qd || !an || !ns || !ar || *qd == 0)
        return std::nullopt;
    m.rcode = *flags & kRcodeMask;
    m.an = *an;
    m.ns = *ns;
    m.ar = *ar;
    size_t pos = dvr::dns::kHeaderLen;
    for (uint16_t q = 0; q < *qd; ++q) {
        WireName name;
        std::optional<size_t> end = read_name(rd, pos, name);
        if (!end || !rd.has(*end, kQuestionTail))
            return std::nullopt;
        if (q == 0)
            m.qname = name;
        pos = *end + kQuestionTail;
    }
    const uint16_t counts[3] = {m.an, m.ns, m.ar};
    size_t *starts[3] = {&m.answers, &m.authority, &m.additional};
    for (int s = 0; s < 3; ++s) {
        *starts[s] = pos;
        if (s >= sections)
            continue;
        for (uint16_t i = 0; i < counts[s]; ++i) {
            std::optional<Record> r = read_record(rd, pos);
            if (!r)
                return std::nullopt;
            pos = r->next;
        }
    }
    return m;
}

// The name the question's name stands for: the end of its chain of
// CNAME answers (class IN). Nothing for a chain that does not end.
std::optional<WireName> chain_end(const Reader &rd, const Message &m) noexcept
{
    WireName name = m.qname;
    for (int link = 0; link <= kMaxCnameLinks; ++link) {
        bool moved = false;
        size_t pos = m.answers;
        for (uint16_t i = 0; i < m.an && !moved; ++i) {
            Record r = *read_record(rd, pos);
            pos = r.next;
            if (r.type != kTypeCname || r.klass != dvr::dns::kClassIn || !(r.owner == name))
                continue;
            std::optional<WireName> target = r.name_in_data(rd, 0);
            if (!target)
                return std::nullopt;
            name = *target;
            moved = true;
        }
        if (!moved)
            return name;
    }
    return std::nullopt;
}

// A mail exchanger named in the MX answers of `owner`: its best
// preference and where its name lies in the first such answer.
struct Exchanger {
    uint16_t preference = 0;
    size_t name = 0;
};

std::optional<Exchanger> exchanger_named(const Reader &rd, const Message &m, const WireName &owner,
                                         const WireName &host) noexcept
{
    std::optional<Exchanger> best;
    size_t pos = m.answers;
    for (uint16_t i = 0; i < m.an; ++i) {
        Record r = *read_record(rd, pos);
        pos = r.next;
        if (r.type != DNS_TYPE_MX || r.klass != dvr::dns::kClassIn || r.rdLength <= kMxPreferenceLen ||
            !(r.owner == owner))
            continue;
        std::optional<WireName> exchange = r.name_in_data(rd, kMxPreferenceLen);
        if (!exchange || !(*exchange == host))
            continue;
        const uint16_t pref = *rd.be16(r.data);
        if (!best || pref < best->preference)
            best = Exchanger{pref, r.data + kMxPreferenceLen};
    }
    return best;
}

// Keeps the best DNS_ADDR_REC_MAX entries in ascending preference (all 16
// bits of it; the entries hold its low byte only); an entry goes after
// those of equal preference, so equal ones keep their order in the
// response.
struct BestExchangers {
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    uint16_t pref[DNS_ADDR_REC_MAX] = {};
    size_t count = 0;

    void add(const DNS_ADDR_REC &r, uint16_t preference) noexcept
    {
        size_t at = count;
        while (at > 0 && preference < pref[at - 1])
            --at;
        if (at >= DNS_ADDR_REC_MAX)
            return;
        size_t last = count < DNS_ADDR_REC_MAX ? count : DNS_ADDR_REC_MAX - 1;
        for (size_t i = last; i > at; --i) {
            rec[i] = rec[i - 1];
            pref[i] = pref[i - 1];
        }
        rec[at] = r;
        pref[at] = preference;
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
    dvr::put_be16(p + dvr::dns::kOffId, dvr::dns::kQueryId);
    dvr::put_be16(p + dvr::dns::kOffFlags, dvr::dns::kQueryFlags);
    dvr::put_be16(p + dvr::dns::kOffQdCount, 1);
    dvr::put_be16(p + dvr::dns::kOffAnCount, 0);
    dvr::put_be16(p + dvr::dns::kOffNsCount, 0);
    dvr::put_be16(p + dvr::dns::kOffArCount, 0);
    size_t pos = dvr::dns::kHeaderLen;
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
    dvr::put_be16(p + pos, dvr::dns::kClassIn);
    pos += 2;
    return static_cast<int>(pos);
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserAPacket(const unsigned char *pPacket, int nRecvLen, DNS_ADDR_REC *pAddr)
try {
    if (!pAddr)
        return -1;
    const Reader rd(pPacket, nRecvLen);
    std::optional<Message> msg = read_message(rd, 1);
    if (!msg || msg->rcode != 0)
        return -1;
    std::optional<WireName> owner = chain_end(rd, *msg);
    if (!owner)
        return -1;

    // The A answers of the name the chain ends at, in answer order; an
    // address of 0.0.0.0 is no address to connect to.
    DNS_ADDR_REC found[DNS_ADDR_REC_MAX] = {};
    size_t count = 0;
    size_t pos = msg->answers;
    for (uint16_t i = 0; i < msg->an && count < DNS_ADDR_REC_MAX; ++i) {
        Record r = *read_record(rd, pos);
        pos = r.next;
        const uint8_t *ip4 = r.address(rd);
        if (!ip4 || !(r.owner == *owner) || std::memcmp(ip4, kNoAddress, sizeof kNoAddress) == 0)
            continue;
        found[count].flag = 1;
        found[count].type = DNS_TYPE_A;
        set_address(found[count], ip4);
        ++count;
    }
    if (count == 0)
        return -1;
    std::memcpy(pAddr, found, count * sizeof found[0]);
    return 0;
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserMXPacket(const unsigned char *pPacket, int nRecvLen, int nQueryLen)
try {
    (void)nQueryLen;
    std::optional<uint16_t> answers = Reader(pPacket, nRecvLen).be16(dvr::dns::kOffAnCount);
    return answers && *answers != 0 ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/DNS", -1)

extern "C" int DNS_ParserMX(const unsigned char *pPacket, int nRecvLen, int nAnswerCount,
                            DNS_ADDR_REC *pAddr)
try {
    (void)nAnswerCount;
    if (!pAddr)
        return -1;
    const Reader rd(pPacket, nRecvLen);
    std::optional<uint16_t> ar = rd.be16(dvr::dns::kOffArCount);
    if (!ar || !rd.has(0, dvr::dns::kHeaderLen)) {
        DNS_REPORT("Packet Size error!\n");
        return -1;
    }
    if (*ar == 0)
        return -1;
    // Every record of every section must lie within the response.
    std::optional<Message> msg = read_message(rd, 3);
    if (!msg) {
        DNS_REPORT("Packet Size error!\n");
        return -1;
    }
    if (msg->rcode != 0)
        return -1;
    std::optional<WireName> owner = chain_end(rd, *msg);
    if (!owner)
        return -1;

    // Each A record of the additional section whose owner is the exchange
    // name of an MX answer gives an exchanger's address, with the best
    // preference any MX answer gives that name.
    BestExchangers best;
    size_t pos = msg->additional;
    for (uint16_t i = 0; i < msg->ar; ++i) {
        Record glue = *read_record(rd, pos);
        pos = glue.next;
        const uint8_t *ip4 = glue.address(rd);
        if (!ip4)
            continue;
        std::optional<Exchanger> ex = exchanger_named(rd, *msg, *owner, glue.owner);
        if (!ex)
            continue;
        DNS_ADDR_REC r = {};
        r.flag = 1;
        r.type = DNS_TYPE_MX;
        r.offset = ex->name < kOffsetFieldLimit ? static_cast<uint8_t>(ex->name) : 0;
        r.prefix = static_cast<uint8_t>(ex->preference & 0xFF);
        set_address(r, ip4);
        best.add(r, ex->preference);
    }
    if (best.count == 0)
        return -1;
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
