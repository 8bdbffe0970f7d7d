// DNS messages: queries byte for byte, the A and MX readers and the name
// text on crafted responses, including lying and cut-off ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DNS.h"
#include "dns_wire.h"
#include "test_support.h"

using dvrtest::dns::Bytes;
using dvrtest::dns::ip_text;
using dvrtest::dns::kQname;
using dvrtest::dns::Response;

namespace {

Bytes query_of(const char *name, int type)
{
    Bytes out(1024, 0xEE);
    int n = DNS_CreateOutPacket(name, out.data(), type);
    if (n < 0)
        return {};
    out.resize(size_t(n));
    return out;
}

// Response bytes in a buffer that ends right after them plus the zero byte
// the resolver guarantees, so a read past the data is caught by ASan.
int parse_a(const Bytes &r, DNS_ADDR_REC *out)
{
    Bytes buf(r);
    buf.push_back(0);
    return DNS_ParserAPacket(buf.data(), int(r.size()), out);
}
int parse_mx(const Bytes &r, DNS_ADDR_REC *out)
{
    Bytes buf(r);
    buf.push_back(0);
    return DNS_ParserMX(buf.data(), int(r.size()), 0, out);
}

std::vector<std::string> ips(const DNS_ADDR_REC *rec, size_t n)
{
    std::vector<std::string> v;
    for (size_t i = 0; i < n && rec[i].flag; ++i)
        v.push_back(ip_text(rec[i].ip));
    return v;
}

} // namespace

TEST(DnsQuery, ByteExactForAAndMx)
{
    const Bytes a = query_of("mail.example.com", DNS_TYPE_A);
    const Bytes want = {0xa9, 0xfa, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        4,    'm',  'a',  'i',  'l',  7,    'e',  'x',  'a',  'm',  'p',  'l',
                        'e',  3,    'c',  'o',  'm',  0x00, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(a, want);
    EXPECT_EQ(a.size(), std::strlen("mail.example.com") + 18);

    Bytes mx = query_of("mail.example.com", DNS_TYPE_MX);
    Bytes wantMx = want;
    wantMx[want.size() - 3] = 15;
    EXPECT_EQ(mx, wantMx);

    // An e-mail address queries its domain; 11 characters make 29 bytes.
    EXPECT_EQ(query_of("someone@example.com", DNS_TYPE_MX), query_of("example.com", DNS_TYPE_MX));
    EXPECT_EQ(query_of("example.com", DNS_TYPE_A).size(), 29u);
}

TEST(DnsQuery, NamesThatCannotBeEncodedAreRefused)
{
    const std::string label63(63, 'a'), label64(64, 'a');
    // 253 characters: the longest name a query carries.
    std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(longest.size(), 253u);
    EXPECT_EQ(query_of(longest.c_str(), 1).size(), 271u);
    EXPECT_EQ(query_of((label63 + ".com").c_str(), 1).size(), 67u + 18u);

    const std::string refused[] = {"", "a..b", ".a.b", "a.b.", "x@", label64 + ".com",
                                   longest + "c", "a@b..c"};
    for (const std::string &name : refused) {
        dvrtest::CaptureStdout cap;
        unsigned char buf[DNS_QUERY_MAX_LEN + 8];
        std::memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(DNS_CreateOutPacket(name.c_str(), buf, DNS_TYPE_A), -1) << name;
        EXPECT_NE(cap.take().find("cannot encode name"), std::string::npos) << name;
        EXPECT_EQ(buf[0], 0xEE) << "nothing written for " << name;
    }
    unsigned char buf[64];
    dvrtest::CaptureStdout cap;
    EXPECT_EQ(DNS_CreateOutPacket("a.b", buf, 0), -1);
    EXPECT_EQ(DNS_CreateOutPacket("a.b", buf, 256), -1);
    EXPECT_EQ(DNS_CreateOutPacket(nullptr, buf, 1), -1);
}

TEST(DnsParseA, PlainAnswersCnameAndTheTenEntryLimit)
{
    // One plain answer.
    {
        Response r("host.example.com", 1, 1);
        r.a(kQname, "192.0.2.7");
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        ASSERT_EQ(parse_a(r.b, rec), 0);
        EXPECT_EQ(rec[0].flag, 1);
        EXPECT_EQ(rec[0].type, 1);
        EXPECT_EQ(rec[0].offset, 0);
        EXPECT_EQ(rec[0].prefix, 0);
        EXPECT_EQ(ip_text(rec[0].ip), "192.0.2.7");
        EXPECT_EQ(rec[1].flag, 0);
    }
    // A CNAME then the A answer: the reader moves on to the first RDLENGTH
    // of 4 and takes that address.
    {
        Response r("alias.example.com", 1, 2);
        size_t target = r.name_rr(kQname, dvrtest::dns::kTypeCname, "real.example.com");
        r.a(target, "198.51.100.9");
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        ASSERT_EQ(parse_a(r.b, rec), 0);
        EXPECT_EQ(ips(rec, DNS_ADDR_REC_MAX), std::vector<std::string>{"198.51.100.9"});
    }
    // Twelve answers: ten entries; nothing past the tenth is written.
    {
        Response r("many.example.com", 1, 12);
        std::vector<std::string> want;
        for (int i = 1; i <= 12; ++i) {
            std::string ip = "10.0.0." + std::to_string(i);
            r.a(kQname, ip.c_str());
            if (i <= 10)
                want.push_back(ip);
        }
        DNS_ADDR_REC rec[12];
        std::memset(rec, 0x5A, sizeof rec);
        ASSERT_EQ(parse_a(r.b, rec), 0);
        EXPECT_EQ(ips(rec, 10), want);
        EXPECT_EQ(rec[10].flag, 0x5A);
        EXPECT_EQ(rec[11].flag, 0x5A);
    }
}

TEST(DnsParseA, ResponsesWithoutAUsableAddressLeaveTheArrayAlone)
{
    Response none("host.example.com", 1, 0);
    Response zero("host.example.com", 1, 1);
    zero.a(kQname, "0.0.0.0");
    Response mxOnly("host.example.com", 15, 1); // no 00 00 01 00 question end
    mxOnly.mx(kQname, 10, "mx.example.com");
    Response cut("host.example.com", 1, 1);
    cut.a(kQname, "192.0.2.7");
    cut.b.resize(cut.b.size() - 2); // address cut in half
    const struct {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"no answers", none.b},
        {"only 0.0.0.0", zero.b},
        {"no A question", mxOnly.b},
        {"address cut off", cut.b},
        {"header only", Bytes(none.b.begin(), none.b.begin() + 12)},
        {"empty", Bytes{}},
    };
    for (const auto &c : cases) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX];
        std::memset(rec, 0x5A, sizeof rec);
        EXPECT_EQ(parse_a(c.bytes, rec), -1) << c.what;
        EXPECT_EQ(rec[0].flag, 0x5A) << c.what;
    }
}

TEST(DnsParseA, EveryCutOfAGoodResponseIsReadSafely)
{
    Response r("many.example.com", 1, 3);
    r.a(kQname, "10.0.0.1");
    r.a(kQname, "10.0.0.2");
    r.a(kQname, "10.0.0.3");
    for (size_t len = 0; len <= r.b.size(); ++len) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        int rc = parse_a(Bytes(r.b.begin(), r.b.begin() + long(len)), rec);
        // A response whose answers are not all there gives no address.
        const bool whole = len == r.b.size();
        EXPECT_EQ(rc, whole ? 0 : -1) << len;
        const std::vector<std::string> all = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
        EXPECT_EQ(ips(rec, DNS_ADDR_REC_MAX), whole ? all : std::vector<std::string>()) << len;
    }
}

TEST(DnsParseA, NamesAreWalkedWithinTheMessage)
{
    // The answer's owner: a pointer to itself, a pointer beyond the
    // message, a reserved label type; a name of more than 255 bytes.
    auto with_owner = [](Bytes owner) {
        Response r("host.example.com", 1, 1);
        size_t at = r.b.size();
        r.a(kQname, "192.0.2.7");
        r.b.erase(r.b.begin() + long(at), r.b.begin() + long(at) + 2);
        if (owner.size() == 2 && owner[0] == 0xC0 && owner[1] == 0)
            owner[1] = uint8_t(at); // itself
        r.b.insert(r.b.begin() + long(at), owner.begin(), owner.end());
        return r.b;
    };
    Bytes longName;
    for (int i = 0; i < 5; ++i) {
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'a');
    }
    longName.push_back(0);
    const struct {
        const char *what;
        Bytes bytes;
    } cases[] = {
        {"pointer to itself", with_owner({0xC0, 0})},
        {"pointer beyond the message", with_owner({0xC3, 0xFF})},
        {"label type 01", with_owner({0x40, 0x0C})},
        {"name of 321 bytes", with_owner(longName)},
    };
    for (const auto &c : cases) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        EXPECT_EQ(parse_a(c.bytes, rec), -1) << c.what;
    }
    // A pointer with its high offset bits set: a text record of 250 bytes
    // first puts the CNAME's target past byte 256.
    Response r("host.example.com", 1, 3);
    r.raw_rr(kQname, 16, Bytes(250, 'x'));
    size_t target = r.name_rr(kQname, dvrtest::dns::kTypeCname, "real.example.com");
    ASSERT_GT(target, 256u);
    r.a(target, "192.0.2.8");
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    ASSERT_EQ(parse_a(r.b, rec), 0);
    EXPECT_EQ(ips(rec, DNS_ADDR_REC_MAX), std::vector<std::string>{"192.0.2.8"});
}

TEST(DnsParseMx, ExchangersSortedByPreference)
{
    Response r("example.com", 15, 3, 0, 3);
    size_t mx1 = r.mx(kQname, 30, "mx1.example.com");
    size_t mx2 = r.mx(kQname, 10, "mx2.example.com");
    size_t mx3 = r.mx(kQname, 20, "mx3.example.com");
    r.a(mx1, "10.3.0.1");
    r.a(mx2, "10.3.0.2");
    r.a(mx3, "10.3.0.3");
    ASSERT_LT(mx3, 256u);
    Bytes buf(r.b);
    buf.push_back(0);
    EXPECT_EQ(DNS_ParserMXPacket(buf.data(), int(r.b.size()), 29), 0);

    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    ASSERT_EQ(parse_mx(r.b, rec), 0);
    EXPECT_EQ(ips(rec, DNS_ADDR_REC_MAX), (std::vector<std::string>{"10.3.0.2", "10.3.0.3", "10.3.0.1"}));
    EXPECT_EQ(rec[0].prefix, 10);
    EXPECT_EQ(rec[1].prefix, 20);
    EXPECT_EQ(rec[2].prefix, 30);
    EXPECT_EQ(rec[0].offset, mx2);
    EXPECT_EQ(rec[0].type, 15);

    // The offset names the exchanger: its text through DNS_GetMXString.
    char text[64];
    EXPECT_EQ(DNS_GetMXString(buf.data(), int(r.b.size()), nullptr, &rec[0].offset, text, sizeof text),
              17);
    EXPECT_STREQ(text, ".mx2.example.com,");
}

TEST(DnsParseMx, AdditionalSectionCases)
{
    // Glue only for name servers: no exchanger's address (the lookup
    // falls back to the domain's own), and no report.
    {
        Response r("example.com", 15, 1, 1, 1);
        r.mx(kQname, 5, "mx.example.com");
        size_t ns = r.name_rr(kQname, dvrtest::dns::kTypeNs, "ns.example.com");
        r.a(ns, "10.7.0.1");
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(parse_mx(r.b, rec), -1);
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(rec[0].flag, 0);
    }
    // No additional records: fails without a report.
    {
        Response r("example.com", 15, 1);
        r.mx(kQname, 5, "mx.example.com");
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX];
        std::memset(rec, 0x5A, sizeof rec);
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(parse_mx(r.b, rec), -1);
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(rec[0].flag, 0x5A);
    }
    // More additional records claimed than the response can hold, or a
    // response too short for its header.
    for (const Bytes &bad : {Response("example.com", 15, 1, 0, 2).b, Bytes{0xa9, 0xfa, 0x81}}) {
        DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
        dvrtest::CaptureStdout cap;
        EXPECT_EQ(parse_mx(bad, rec), -1);
        EXPECT_NE(cap.take().find("Packet Size error!\n"), std::string::npos);
    }
    // Twelve exchangers: the ten best.
    {
        Response r("example.com", 15, 12, 0, 12);
        std::vector<size_t> names;
        for (int i = 0; i < 12; ++i)
            names.push_back(r.mx(kQname, uint16_t(12 - i), std::string(1, char('a' + i))));
        ASSERT_LT(names.back(), 256u); // the offsets are single bytes
        for (int i = 0; i < 12; ++i) {
            std::string ip = "10.8.0." + std::to_string(i);
            r.a(names[size_t(i)], ip.c_str());
        }
        DNS_ADDR_REC rec[12];
        std::memset(rec, 0x5A, sizeof rec);
        ASSERT_EQ(parse_mx(r.b, rec), 0);
        std::vector<std::string> want;
        for (int i = 11; i >= 2; --i)
            want.push_back("10.8.0." + std::to_string(i));
        EXPECT_EQ(ips(rec, 10), want);
        EXPECT_EQ(rec[10].flag, 0x5A);
    }
    // Acceptance looks at the answer count only.
    Bytes noAnswer = Response("example.com", 15, 0).b;
    EXPECT_EQ(DNS_ParserMXPacket(noAnswer.data(), int(noAnswer.size()), 29), -1);
    EXPECT_EQ(DNS_ParserMXPacket(noAnswer.data(), 7, 29), -1);
}

TEST(DnsParseMx, SortComparesPreferenceOnly)
{
    DNS_ADDR_REC rec[4] = {{1, 0, 40, 15, 1}, {1, 0, 3, 15, 2}, {1, 0, 255, 15, 3}, {1, 0, 0, 15, 4}};
    std::qsort(rec, 4, sizeof rec[0], DNS_SortMXPrefix);
    EXPECT_EQ(rec[0].prefix, 0);
    EXPECT_EQ(rec[1].prefix, 3);
    EXPECT_EQ(rec[2].prefix, 40);
    EXPECT_EQ(rec[3].prefix, 255);
    EXPECT_EQ(DNS_SortMXPrefix(&rec[3], &rec[0]), 255);
}

TEST(DnsMxString, PointersLoopsAndBounds)
{
    // 12: "\x02ab\x03com\x00"; 20: "\x01x" then a pointer to 12;
    // 24: a pointer to itself; 26: a pointer to 28, which points back to 26;
    // 30: a name running to the end without its root byte.
    Bytes b(12, 0);
    auto add = [&](std::initializer_list<int> v) { for (int x : v) b.push_back(uint8_t(x)); };
    add({2, 'a', 'b', 3, 'c', 'o', 'm', 0});
    add({1, 'x', 0xC0, 12});
    add({0xC0, 24});
    add({0xC0, 28, 0xC0, 26});
    add({5, 'l', 'o', 'n', 'g'});
    const int len = int(b.size());
    b.push_back(0);
    auto text = [&](uint8_t at, int size = 64) {
        Bytes ptr(b);
        ptr[1] = at; // the second byte of a compression pointer in the header
        std::vector<char> out(size_t(size), 'Z');
        dvrtest::CaptureStdout cap;
        int rc = DNS_GetMXString(ptr.data(), len, nullptr, ptr.data() + 1, out.data(), size);
        cap.take();
        return std::make_pair(rc, std::string(out.data()));
    };
    EXPECT_EQ(text(12), std::make_pair(8, std::string(".ab.com,")));
    EXPECT_EQ(text(20), std::make_pair(10, std::string(".x.ab.com,")));
    EXPECT_EQ(text(20, 11).first, 10);
    EXPECT_EQ(text(20, 10), std::make_pair(-1, std::string()));
    EXPECT_EQ(text(24), std::make_pair(-1, std::string()));
    EXPECT_EQ(text(26), std::make_pair(-1, std::string()));
    EXPECT_EQ(text(30), std::make_pair(-1, std::string()));
    EXPECT_EQ(text(200), std::make_pair(-1, std::string()));

    EXPECT_EQ(text(12, 1), std::make_pair(-1, std::string()));
    char out[8] = "keep";
    dvrtest::CaptureStdout cap;
    EXPECT_EQ(DNS_GetMXString(b.data(), len, nullptr, b.data() + 1, out, 0), -1);
    EXPECT_STREQ(out, "keep");
}
