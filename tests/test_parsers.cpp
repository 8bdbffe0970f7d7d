// Text search and extraction, tagged item descriptions, the bit reader and
// the video object layer header, ring-buffer copies, the hex dump and the
// hexadecimal dump reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "COMMON.h"
#include "bounded_call.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::TempDir;

namespace {

// Builds a bitstream most significant bit first.
class BitWriter {
public:
    void put(uint32_t value, int n)
    {
        for (int i = n - 1; i >= 0; --i) {
            if (bits_ % 8 == 0)
                bytes_.push_back(0);
            if ((value >> i) & 1u)
                bytes_.back() |= static_cast<unsigned char>(0x80u >> (bits_ % 8));
            ++bits_;
        }
    }
    // The bytes, padded with zeros so that any header read stays inside.
    std::vector<unsigned char> bytes() const
    {
        auto b = bytes_;
        b.resize(b.size() + 16, 0);
        return b;
    }

private:
    std::vector<unsigned char> bytes_;
    size_t bits_ = 0;
};

struct Vol {
    bool layer_id = false;
    uint32_t verid = 1;
    uint32_t aspect = 1;
    bool control = false;
    bool vbv = false;
    uint32_t shape = 0;
    uint32_t resolution = 25;
    bool fixed = false;
    uint32_t increment = 1;
    int increment_bits = 0; // 0: derived from the resolution
    uint32_t width = 720;
    uint32_t height = 480;
};

std::vector<unsigned char> build_vol(const Vol &v)
{
    BitWriter w;
    w.put(1, 1);    // random accessible
    w.put(0x11, 8); // object type
    w.put(v.layer_id, 1);
    if (v.layer_id) {
        w.put(v.verid, 4);
        w.put(5, 3);
    }
    w.put(v.aspect, 4);
    if (v.aspect == 15) {
        w.put(0xA5, 8);
        w.put(0x5A, 8);
    }
    w.put(v.control, 1);
    if (v.control) {
        w.put(1, 2);
        w.put(1, 1);
        w.put(v.vbv, 1);
        if (v.vbv)
            for (int n : {15, 1, 15, 1, 15, 1, 3, 11, 1, 15, 1})
                w.put(n == 1 ? 1u : 0x5555u, n); // markers set, fields a pattern
    }
    w.put(v.shape, 2);
    if (v.shape == 3 && v.verid != 1)
        w.put(0xF, 4);
    w.put(1, 1);
    w.put(v.resolution, 16);
    w.put(1, 1);
    w.put(v.fixed, 1);
    if (v.fixed) {
        int n = v.increment_bits;
        if (n == 0)
            while ((1u << ++n) < v.resolution) {
            }
        w.put(v.increment, n);
    }
    if (v.shape == 0) {
        w.put(1, 1);
        w.put(v.width, 13);
        w.put(1, 1);
        w.put(v.height, 13);
        w.put(1, 1);
    }
    w.put(0x3FF, 10); // whatever follows
    return w.bytes();
}

struct VolResult {
    int rc, width, height, rate;
};

VolResult parse_vol(const Vol &v)
{
    auto b = build_vol(v);
    VolResult r{0, -1, -1, -1};
    r.rc = COM_ParserVideoObjectLayer(b.data(), &r.width, &r.height, &r.rate);
    return r;
}

} // namespace

TEST(Parsers, CaseInsensitiveSearch)
{
    const struct {
        const char *text, *pattern;
        int at; // -1: not found
    } cases[] = {
        {"Realm=x", "realm", 0}, {"xrealm", "realm", -1}, {"xREALMy", "realm", 1}, {"abc", "", 0},
        {"", "", -1},           {"ab", "abc", -1},       {"aab", "ab", -1},      {"aabc", "AB", 1},
    };
    for (const auto &c : cases) {
        const char *r = COM_StrNCaseStr(c.text, c.pattern);
        if (c.at < 0)
            EXPECT_EQ(r, nullptr) << c.text << " / " << c.pattern;
        else
            EXPECT_EQ(r, c.text + c.at) << c.text << " / " << c.pattern;
    }
    EXPECT_EQ(COM_StrNCaseStr(nullptr, "a"), nullptr);
    EXPECT_EQ(COM_StrNCaseStr("a", nullptr), nullptr);
}

TEST(Parsers, QuotedValueAfterKey)
{
    char out[80];
    const char *text = "realm=\"dvr@board\", nonce=\"\", qop=\"auth\"";
    EXPECT_EQ(COM_GetStrInDoubleQuotes(text, "REALM=", out, sizeof out), text + 6);
    EXPECT_STREQ(out, "dvr@board");
    std::strcpy(out, "old");
    EXPECT_EQ(COM_GetStrInDoubleQuotes(text, "nonce=", out, sizeof out), nullptr); // empty quotes
    EXPECT_STREQ(out, "");
    EXPECT_EQ(COM_GetStrInDoubleQuotes("key=x", "key", out, sizeof out), nullptr);
    EXPECT_EQ(COM_GetStrInDoubleQuotes(text, "opaque=", out, sizeof out), nullptr);

    std::string longtext = "k=\"" + std::string(100, 'v') + "\"";
    CaptureStdout cap;
    EXPECT_NE(COM_GetStrInDoubleQuotes(longtext.c_str(), "k=", out, 80), nullptr);
    std::string msg = cap.take();
    EXPECT_EQ(std::string(out), std::string(79, 'v'));
    EXPECT_NE(msg.find(":COM_GetStrInDoubleQuotes(): Warning! overflow (len, size) = (100, 80)\n"), std::string::npos)
        << msg;
}

TEST(Parsers, RestOfLineAfterKey)
{
    char out[80];
    const char *text = "Key: abc\r\nNext: x\n";
    EXPECT_EQ(COM_GetStrBeforeNewLine(text, "key:", out, sizeof out), text + 4);
    EXPECT_STREQ(out, " abc");
    // The search for the line end starts after the key.
    EXPECT_EQ(COM_GetStrBeforeNewLine(text, "Next:", out, sizeof out), text + 15);
    EXPECT_STREQ(out, " x");
    // Any carriage return wins over a nearer line feed.
    const char *mixed = "A: 1\nB: 2\r";
    EXPECT_EQ(COM_GetStrBeforeNewLine(mixed, "A:", out, sizeof out), mixed + 2);
    EXPECT_STREQ(out, " 1\nB: 2");
    EXPECT_EQ(COM_GetStrBeforeNewLine("Key: no end", "Key:", out, sizeof out), nullptr);

    CaptureStdout cap;
    char small[4];
    EXPECT_NE(COM_GetStrBeforeNewLine(text, "Key:", small, sizeof small), nullptr);
    std::string msg = cap.take();
    EXPECT_STREQ(small, " ab");
    EXPECT_NE(msg.find("Warning! overflow (len, size) = (5, 4)\n"), std::string::npos) << msg;
}

TEST(Parsers, NumberPairs)
{
    const struct {
        const char *text;
        int len, count, first, second;
    } cases[] = {
        {"12x34", 5, 2, 12, 34}, {"12", 2, 1, 12, -1},     {"ab", 2, 0, -1, -1},      {"12x34", 4, 2, 12, 3},
        {"-5,+6,7", 7, 2, 5, 6}, {"1 2 3", 5, 2, 1, 2},    {"007 08", 6, 2, 7, 8},    {"12x34", 0, 0, -1, -1},
        {"99999999999999999999999999999999999999 1", 40, 2, 2147483647, 1},
    };
    for (const auto &c : cases) {
        int a = -1, b = -1;
        EXPECT_EQ(COM_GetValuePairInStr(c.text, c.len, &a, &b), c.count) << c.text;
        EXPECT_EQ(a, c.first) << c.text;
        EXPECT_EQ(b, c.second) << c.text;
    }
}

TEST(Parsers, TaggedItemDescriptions)
{
    const char *text = "<DATA Name=\"Brightness\" type=\"INT\" min=\"0\" max=\"255\" value=\"128\"></DATA>\n"
                       "<DATA Name=\"Mode\" type=\"LIST\" min=\"1\" max=\"3\" value=\"2\">"
                       "<ITEM Name=\"A\"/><ITEM Name=\"B\"/><ITEM Name=\"C\"/></DATA>\n"
                       "<DATA Name=\"Title\" type=\"TEXT\" value=\"Front door\"></DATA>\n";
    COM_XML_ITEM item;
    std::memset(&item, 0, sizeof item);
    std::strcpy(item.Name, "Bright");
    CaptureStdout cap;
    EXPECT_EQ(COM_ParserXml(text, &item), 0);
    std::string out = cap.take();
    EXPECT_EQ(item.type, 0);
    EXPECT_EQ(item.min, 0);
    EXPECT_EQ(item.max, 255);
    EXPECT_EQ(item.value, 128);
    EXPECT_STREQ(item.text, "");
    EXPECT_NE(out.find(":COM_ParserXml(): find [Bright] pattern - [Brightness\" type=\"IN]\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("MODULES/COMMON,"), std::string::npos);
    EXPECT_NE(out.find(": [Bright] (min, max, value)=(0, 255, 128) - (0)[]\n"), std::string::npos) << out;

    std::memset(&item, 0, sizeof item);
    std::strcpy(item.Name, "Mode");
    CaptureStdout cap2;
    EXPECT_EQ(COM_ParserXml(text, &item), 0);
    cap2.take();
    EXPECT_EQ(item.type, 2);
    EXPECT_EQ(item.min, 1);
    EXPECT_EQ(item.max, 3);
    EXPECT_EQ(item.value, 2);
    EXPECT_STREQ(item.text, "A,B,C");

    std::memset(&item, 0, sizeof item);
    std::strcpy(item.Name, "Title");
    CaptureStdout cap3;
    EXPECT_EQ(COM_ParserXml(text, &item), 0);
    cap3.take();
    EXPECT_EQ(item.type, 1);
    EXPECT_STREQ(item.text, "Front door");

    std::memset(&item, 0, sizeof item);
    std::strcpy(item.Name, "Contrast");
    CaptureStdout cap4;
    EXPECT_EQ(COM_ParserXml(text, &item), -1);
    EXPECT_EQ(cap4.take(), "");

    CaptureStdout cap5;
    EXPECT_EQ(COM_ParserXml("<DATA Name=\"Contrast\" type=\"INT\">", &item), -1);
    EXPECT_NE(cap5.take().find("Can't find [</DATA>] pattern - [<DATA Name=\"Contrast]\n"), std::string::npos);
}

TEST(Parsers, ItemListIsCutToTheRecord)
{
    std::string text = "<DATA Name=\"Big\" type=\"LIST\">";
    std::string joined;
    for (int i = 0; i < 40; ++i) {
        std::string name = "Item" + std::to_string(i) + std::string(20, 'x');
        text += "<ITEM Name=\"" + name + "\"/>";
        joined += (i ? "," : "") + name;
    }
    text += "</DATA>";
    COM_XML_ITEM item;
    std::memset(&item, 0xAB, sizeof item);
    std::strcpy(item.Name, "Big");
    CaptureStdout cap;
    EXPECT_EQ(COM_ParserXml(text.c_str(), &item), 0);
    std::string out = cap.take();
    EXPECT_EQ(std::string(item.text), joined.substr(0, 255));
    EXPECT_NE(out.find("Warning! overflow"), std::string::npos);
}

TEST(Parsers, BitReader)
{
    const unsigned char ab[] = {0xAB, 0xCD, 0xEF};
    const unsigned char *p = ab;
    int rem = 8;
    EXPECT_EQ(COM_GetBits(&p, &rem, 12), 0xABCu);
    EXPECT_EQ(p, ab + 1);
    EXPECT_EQ(rem, 4);
    EXPECT_EQ(COM_GetBits(&p, &rem, 4), 0xDu);
    EXPECT_EQ(p, ab + 2);
    EXPECT_EQ(rem, 8);

    // Random reads against a plain bit-by-bit reference, 32-bit ones included.
    std::mt19937 rng(14496);
    std::vector<unsigned char> data(4096);
    for (auto &b : data)
        b = static_cast<unsigned char>(rng());
    p = data.data();
    rem = 8;
    size_t bit = 0;
    while (bit + 32 < data.size() * 8 - 64) {
        int n = static_cast<int>(rng() % 32) + 1;
        uint32_t want = 0;
        for (int i = 0; i < n; ++i, ++bit)
            want = (want << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1u);
        ASSERT_EQ(COM_GetBits(&p, &rem, n), want) << n << " at bit " << bit;
        ASSERT_EQ(p, data.data() + bit / 8);
        ASSERT_EQ(rem, 8 - static_cast<int>(bit % 8));
    }
}

TEST(Parsers, VideoObjectLayerHeader)
{
    Vol fixed;
    fixed.resolution = 30000;
    fixed.fixed = true;
    fixed.increment = 1001;
    auto r = parse_vol(fixed);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.width, 720);
    EXPECT_EQ(r.height, 480);
    EXPECT_EQ(r.rate, 2997);

    // A resolution of 16 makes the increment 4 bits wide.
    Vol sixteen;
    sixteen.resolution = 16;
    sixteen.fixed = true;
    sixteen.increment_bits = 4;
    sixteen.increment = 2;
    sixteen.width = 352;
    sixteen.height = 288;
    r = parse_vol(sixteen);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.width, 352);
    EXPECT_EQ(r.height, 288);
    EXPECT_EQ(r.rate, 800);

    // Every optional part present, and a resolution of 1 (1-bit increment).
    Vol full;
    full.layer_id = true;
    full.verid = 2;
    full.aspect = 15;
    full.control = true;
    full.vbv = true;
    full.resolution = 1;
    full.fixed = true;
    full.increment_bits = 1;
    full.increment = 1;
    full.width = 1280;
    full.height = 1024;
    r = parse_vol(full);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.width, 1280);
    EXPECT_EQ(r.height, 1024);
    EXPECT_EQ(r.rate, 100);

    // Without a fixed rate, or with an increment of 0, the rate stays.
    Vol variable;
    r = parse_vol(variable);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.rate, -1);
    Vol zero = fixed;
    zero.increment = 0;
    r = parse_vol(zero);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.rate, -1);

    // Unusable headers store nothing.
    for (auto bad : {std::pair<uint32_t, uint32_t>{0, 480}, {720, 0}, {1281, 480}, {720, 1025}}) {
        Vol v = fixed;
        v.width = bad.first;
        v.height = bad.second;
        r = parse_vol(v);
        EXPECT_EQ(r.rc, -1) << bad.first << "x" << bad.second;
        EXPECT_EQ(r.width, -1);
        EXPECT_EQ(r.height, -1);
        EXPECT_EQ(r.rate, -1);
    }
    for (uint32_t shape : {1u, 2u, 3u}) {
        Vol v = full;
        v.shape = shape;
        r = parse_vol(v);
        EXPECT_EQ(r.rc, -1) << shape;
        EXPECT_EQ(r.width, -1);
    }
}

TEST(Parsers, BitReverse)
{
    EXPECT_EQ(COM_BitReverse(0x01), 0x80);
    EXPECT_EQ(COM_BitReverse(0xF0), 0x0F);
    for (int v = 0; v < 256; ++v) {
        int want = 0;
        for (int i = 0; i < 8; ++i)
            if (v & (1 << i))
                want |= 0x80 >> i;
        EXPECT_EQ(COM_BitReverse(static_cast<unsigned char>(v)), want);
    }
}

TEST(Parsers, RingCopyMatchesAModularCopy)
{
    std::mt19937 rng(2024);
    for (int round = 0; round < 20000; ++round) {
        int dsize = static_cast<int>(rng() % 40) + 1;
        int ssize = static_cast<int>(rng() % 40) + 1;
        // Sometimes one side is not a ring.
        bool dring = rng() % 5 != 0, sring = rng() % 5 != 0;
        int count = static_cast<int>(rng() % (std::min(dring ? dsize : 40, sring ? ssize : 40) + 1));
        int dpos = static_cast<int>(rng() % (dring ? dsize : 40));
        int spos = static_cast<int>(rng() % (sring ? ssize : 40));
        std::vector<unsigned char> src(100), dst(100, 0xEE), want(100, 0xEE);
        for (auto &b : src)
            b = static_cast<unsigned char>(rng());
        for (int k = 0; k < count; ++k) {
            int s = sring ? (spos + k) % ssize : spos + k;
            int d = dring ? (dpos + k) % dsize : dpos + k;
            want[static_cast<size_t>(d)] = src[static_cast<size_t>(s)];
        }
        void *last = COM_MemCopyBetweenRingBuf(dst.data(), dpos, dring ? dsize : 0, src.data(), spos,
                                               sring ? ssize : -1, count);
        ASSERT_EQ(dst, want) << "round " << round << " d " << dpos << "/" << dsize << " s " << spos << "/" << ssize
                             << " n " << count;
        ASSERT_NE(last, nullptr);
        auto *l = static_cast<unsigned char *>(last);
        ASSERT_GE(l, dst.data());
        ASSERT_LE(l, dst.data() + 100);
    }

    // The address of the last piece: the destination's start after it wraps.
    std::vector<unsigned char> src(8), dst(8);
    EXPECT_EQ(COM_MemCopyBetweenRingBuf(dst.data(), 6, 8, src.data(), 0, 8, 4), dst.data());
    EXPECT_EQ(COM_MemCopyBetweenRingBuf(dst.data(), 1, 8, src.data(), 6, 8, 4), dst.data() + 3);
    EXPECT_EQ(COM_MemCopyBetweenRingBuf(dst.data(), 1, 8, src.data(), 1, 8, 4), dst.data() + 1);

    // A count beyond a ring is refused rather than written outside it.
    CaptureStdout cap;
    EXPECT_EQ(COM_MemCopyBetweenRingBuf(dst.data(), 0, 8, src.data(), 0, 8, 9), nullptr);
    EXPECT_EQ(COM_MemCopyBetweenRingBuf(dst.data(), 9, 8, src.data(), 0, 8, 1), nullptr);
    EXPECT_NE(cap.take().find("bad ring copy"), std::string::npos);
}

TEST(Parsers, HexDump)
{
    std::vector<unsigned char> b(17);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<unsigned char>(i * 16 + 1);
    const std::string line16 = "01 11 21 31 41 51 61 71 81 91 A1 B1 C1 D1 E1 F1 \n";
    const struct {
        int len;
        std::string out;
    } cases[] = {
        {16, "[ T ]\n====\n" + line16 + "====\n"},
        {17, "[ T ]\n====\n" + line16 + "01 \n====\n"},
        {1, "[ T ]\n====\n01 \n====\n"},
        {0, "[ T ]\n====\n====\n"},
    };
    for (const auto &c : cases) {
        CaptureStdout cap;
        int n = COM_ShowByteByByte("T", b.data(), c.len);
        EXPECT_EQ(cap.take(), c.out) << c.len;
        EXPECT_EQ(n, c.len % 16 ? 6 : 5);
    }
}

TEST(Parsers, HexDumpReader)
{
    TempDir dir;
    // Digits in chunks of 80 bytes: a NUL drops the rest of its chunk only.
    std::string chunk1 = "0x1F aB:cd\n" + std::string(69, 'z');
    ASSERT_EQ(chunk1.size(), 80u);
    std::string chunk2 = std::string("12") + '\0' + "34" + std::string(76, ' ');
    std::string chunk3 = "ef 9";
    dvrtest::write_file(dir / "dump", chunk1 + chunk2 + chunk3);
    int fd = open((dir / "dump").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char *buf = nullptr;
    int n = COM_ReadHexDataInStrFormat(fd, &buf);
    close(fd);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "01FaBcd12ef9");
    std::free(buf);

    // Appends to what the caller's buffer held, a pipe's short reads too.
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big += "a0 ";
    ASSERT_EQ(write(pipefd[1], big.data(), big.size()), static_cast<ssize_t>(big.size()));
    close(pipefd[1]);
    buf = static_cast<char *>(std::malloc(5));
    n = COM_ReadHexDataInStrFormat(pipefd[0], &buf);
    close(pipefd[0]);
    ASSERT_EQ(n, 6000);
    std::string want;
    for (int i = 0; i < 3000; ++i)
        want += "a0";
    EXPECT_EQ(std::string(buf, 6000), want);
    std::free(buf);

    dvrtest::write_file(dir / "none", "xyz\n");
    fd = open((dir / "none").c_str(), O_RDONLY);
    buf = nullptr;
    EXPECT_EQ(COM_ReadHexDataInStrFormat(fd, &buf), 0);
    EXPECT_EQ(buf, nullptr);
    close(fd);
    EXPECT_EQ(COM_ReadHexDataInStrFormat(-1, &buf), -1);

    // A buffer that cannot grow stops the reading with a report.
    fd = open((dir / "dump").c_str(), O_RDONLY);
    CaptureStdout cap;
    EXPECT_EQ(COM_ReadHexDataInStrFormat(fd, nullptr), 0);
    close(fd);
    EXPECT_NE(cap.take().find(":COM_ReadHexDataInStrFormat(): COM_ReallocAndCopyBuf() failed!!\n"), std::string::npos);
}

// The reader ends on every input: NUL-only and endless input, and input
// past its limit of 65536 bytes, are refused with a report and -1. The
// IDE driver's dumps it serves are 1280 bytes.
TEST(Parsers, HexDumpReaderRefusesEndlessAndHugeInput)
{
    TempDir dir;
    constexpr size_t kLimit = 65536;
    auto read_path = [](const std::string &path) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return std::string("open failed");
        char *buf = nullptr;
        CaptureStdout cap;
        int n = COM_ReadHexDataInStrFormat(fd, &buf);
        std::string out = cap.take();
        close(fd);
        std::free(buf);
        return std::to_string(n) + "|" + out;
    };
    std::string line;
    for (int i = 0; i < 8; ++i)
        line += "0a1b ";
    line += "\n"; // 41 bytes, 32 digits
    std::string at_limit;
    while (at_limit.size() + line.size() <= kLimit)
        at_limit += line;
    const size_t digits_at_limit = at_limit.size() / line.size() * 32;
    at_limit += std::string(kLimit - at_limit.size(), ' ');
    ASSERT_EQ(at_limit.size(), kLimit);
    dvrtest::write_file(dir / "at-limit", at_limit);
    dvrtest::write_file(dir / "past-limit", at_limit + "0");
    std::string huge;
    for (int i = 0; i < 50000; ++i)
        huge += line;
    dvrtest::write_file(dir / "huge", huge);
    // NUL-only content, as a file full of zero bytes gives.
    dvrtest::write_file(dir / "zeros", std::string(2 * kLimit, '\0'));
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero-link").c_str()), 0);

    const std::string refused = ":COM_ReadHexDataInStrFormat(): input longer than 65536 bytes refused\n";
    struct Case {
        const char *file;
        int result;
        bool reported;
    } cases[] = {
        {"at-limit", static_cast<int>(digits_at_limit), false},
        {"past-limit", -1, true},
        {"huge", -1, true},
        {"zeros", -1, true},
        {"zero-link", -1, true},
    };
    for (const Case &c : cases) {
        std::string path = dir / c.file;
        auto got = dvrtest::call_in_child([&] { return read_path(path); }, 30);
        ASSERT_TRUE(got.has_value()) << c.file << ": the reader did not end";
        const size_t bar = got->find('|');
        EXPECT_EQ(got->substr(0, bar), std::to_string(c.result)) << c.file;
        const std::string out = got->substr(bar + 1);
        if (c.reported) {
            EXPECT_NE(out.find(refused), std::string::npos) << c.file << ": " << out;
        } else {
            EXPECT_EQ(out, "") << c.file;
        }
    }
}
