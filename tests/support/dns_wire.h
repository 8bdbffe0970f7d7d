// Crafting DNS responses byte by byte for the resolver's tests: the
// counts in the header are whatever the test says, so a response may lie.
#ifndef DVRPLAT_TEST_DNS_WIRE_H
#define DVRPLAT_TEST_DNS_WIRE_H

#include <arpa/inet.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dvrtest::dns {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kId = 0xA9FA;
constexpr uint16_t kFlagsAnswer = 0x8180;   // response, RD, RA, no error
constexpr uint16_t kFlagsNameError = 0x8183; // the same with response code 3
constexpr size_t kQname = 12;               // where the question's name starts
constexpr uint16_t kTypeA = 1, kTypeNs = 2, kTypeCname = 5, kTypeMx = 15, kTypeOpt = 41;

inline void put16(Bytes &b, uint16_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
inline void put32(Bytes &b, uint32_t v)
{
    put16(b, uint16_t(v >> 16));
    put16(b, uint16_t(v));
}
inline void put_ip(Bytes &b, const char *dotted)
{
    uint8_t ip[4];
    if (inet_pton(AF_INET, dotted, ip) != 1)
        throw std::invalid_argument(dotted);
    b.insert(b.end(), ip, ip + 4);
}
// Labels of a dotted name, then the root byte (no compression).
inline Bytes encode_name(std::string_view name)
{
    Bytes out;
    while (!name.empty()) {
        size_t dot = name.find('.');
        std::string_view label = name.substr(0, dot);
        out.push_back(uint8_t(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        name.remove_prefix(dot == std::string_view::npos ? name.size() : dot + 1);
    }
    out.push_back(0);
    return out;
}

// A response: header, one question, then records appended in order.
class Response {
public:
    Response(std::string_view qname, uint16_t qtype, uint16_t an, uint16_t ns = 0, uint16_t ar = 0,
             uint16_t flags = kFlagsAnswer, uint16_t id = kId)
    {
        header(id, flags, an, ns, ar);
        Bytes n = encode_name(qname);
        b.insert(b.end(), n.begin(), n.end());
        put16(b, qtype);
        put16(b, 1);
    }
    // A response to a query as received: its ID and question are copied.
    Response(const Bytes &query, uint16_t an, uint16_t ns = 0, uint16_t ar = 0,
             uint16_t flags = kFlagsAnswer)
    {
        if (query.size() < kQname + 5)
            throw std::invalid_argument("short query");
        header(uint16_t(query[0] << 8 | query[1]), flags, an, ns, ar);
        b.insert(b.end(), query.begin() + kQname, query.end());
    }

    // An A record whose owner is a pointer to `owner`: 16 bytes.
    size_t a(size_t owner, const char *ip)
    {
        start_rr(owner, kTypeA);
        put16(b, 4);
        size_t at = b.size();
        put_ip(b, ip);
        return at;
    }
    // A record whose data is a name (CNAME, NS); returns the name's offset.
    size_t name_rr(size_t owner, uint16_t type, std::string_view target)
    {
        start_rr(owner, type);
        Bytes n = encode_name(target);
        put16(b, uint16_t(n.size()));
        size_t at = b.size();
        b.insert(b.end(), n.begin(), n.end());
        return at;
    }
    // An MX record; returns the offset of the exchange name.
    size_t mx(size_t owner, uint16_t pref, std::string_view exchange)
    {
        start_rr(owner, kTypeMx);
        Bytes n = encode_name(exchange);
        put16(b, uint16_t(n.size() + 2));
        put16(b, pref);
        size_t at = b.size();
        b.insert(b.end(), n.begin(), n.end());
        return at;
    }

    // A record with the data given byte by byte; returns the data's offset.
    size_t raw_rr(size_t owner, uint16_t type, const Bytes &data)
    {
        start_rr(owner, type);
        put16(b, uint16_t(data.size()));
        size_t at = b.size();
        b.insert(b.end(), data.begin(), data.end());
        return at;
    }
    // An OPT pseudo-record (root owner, no options) offering udpSize.
    void opt(uint16_t udpSize = 1232)
    {
        b.push_back(0);
        put16(b, kTypeOpt);
        put16(b, udpSize);
        put32(b, 0);
        put16(b, 0);
    }

    Bytes b;
    uint32_t ttl = 300; // TTL of the records appended from now on

private:
    void header(uint16_t id, uint16_t flags, uint16_t an, uint16_t ns, uint16_t ar)
    {
        put16(b, id);
        put16(b, flags);
        put16(b, 1);
        put16(b, an);
        put16(b, ns);
        put16(b, ar);
    }
    void start_rr(size_t owner, uint16_t type)
    {
        put16(b, uint16_t(0xC000 | owner));
        put16(b, type);
        put16(b, 1);
        put32(b, ttl);
    }
};

// The text form of a record's address (network byte order).
inline std::string ip_text(uint32_t ip)
{
    char s[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &ip, s, sizeof s);
    return s;
}

} // namespace dvrtest::dns

#endif
