// The hexadecimal-escape and Base64 codecs, the latter against the base64
// tool in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>
#include <random>
#include <string>
#include <vector>

#include "COMMON.h"
#include "test_support.h"

using dvrtest::TempDir;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string random_bytes(size_t n, std::mt19937 &rng)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

const unsigned char *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

std::string qp_decode(const std::string &text)
{
    std::vector<unsigned char> out(text.size() + 8, 0xEE);
    int n = COM_QPDecode(out.data(), text.c_str());
    EXPECT_GE(n, 0);
    EXPECT_EQ(out[static_cast<size_t>(n)], 0xEE) << "wrote past its count";
    return std::string(reinterpret_cast<char *>(out.data()), static_cast<size_t>(n));
}

// Decodes into a buffer of exactly the documented size, guarded after.
std::string b64_decode(const std::string &text)
{
    size_t room = 3 * (text.size() / 4) + 2;
    std::vector<unsigned char> out(room + 4, 0xEE);
    int n = COM_Base64Decode(out.data(), text.c_str());
    EXPECT_GE(n, 0);
    EXPECT_LE(static_cast<size_t>(n), room);
    for (size_t i = room; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xEE) << "wrote past the documented size";
    EXPECT_EQ(out[static_cast<size_t>(n)], 0xEE) << "no terminating NUL is written";
    return std::string(reinterpret_cast<char *>(out.data()), static_cast<size_t>(n));
}

std::string b64_encode(const std::string &data)
{
    std::vector<char> out(4 * ((data.size() + 2) / 3) + 1 + 4, '#');
    int n = COM_Base64Encode(out.data(), bytes(data), static_cast<int>(data.size()));
    EXPECT_EQ(static_cast<size_t>(n), 4 * ((data.size() + 2) / 3));
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    EXPECT_EQ(out[static_cast<size_t>(n) + 1], '#');
    return std::string(out.data(), static_cast<size_t>(n));
}

} // namespace

TEST(Encodings, CharacterConversions)
{
    for (int c = 0; c < 256; ++c) {
        char ch = static_cast<char>(c);
        int hex = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : 255;
        EXPECT_EQ(COM_Chr2Hex(ch), hex) << c;
        const char *at = c ? std::strchr(kAlphabet, c) : nullptr;
        EXPECT_EQ(COM_Chr2Base(ch), at ? at - kAlphabet : 64) << c;
        // Only the low bits of the value count.
        EXPECT_EQ(COM_Hex2Chr(c), "0123456789ABCDEF"[c & 15]);
        EXPECT_EQ(COM_Base2Chr(c), kAlphabet[c & 63]);
    }
    EXPECT_EQ(COM_Chr2Base('='), 64);
    EXPECT_EQ(COM_Chr2Hex('g'), 255);
    EXPECT_EQ(COM_Chr2Hex('G'), 255);
}

TEST(Encodings, QuotedEscapes)
{
    char out[16];
    std::memset(out, '#', sizeof out);
    const unsigned char two[] = {0x00, 0xFF};
    EXPECT_EQ(COM_QPEncode(out, two, 2), 6);
    EXPECT_STREQ(out, "=00=FF");
    EXPECT_EQ(COM_QPEncode(out, two, 0), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(COM_QPEncode(out, two, -3), 0);
    EXPECT_STREQ(out, "");

    const struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"a=3d=3Db", "a==b"}, {"x=4", "x=4"},       {"=zz", "=zz"},         {"abc=", "abc="},
        {"=", "="},           {"=4g", "=4g"},       {"=\r\nx", "=\r\nx"},   {"=00=ff", std::string("\0\xff", 2)},
        {"", ""},             {"==41", "=A"},        {"=4=41", "=4A"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qp_decode(c.in), c.out) << c.in;

    std::mt19937 rng(8);
    for (size_t n : {1u, 2u, 100u, 4096u}) {
        std::string data = random_bytes(n, rng);
        std::vector<char> text(3 * n + 1);
        ASSERT_EQ(COM_QPEncode(text.data(), bytes(data), static_cast<int>(n)), static_cast<int>(3 * n));
        EXPECT_EQ(qp_decode(text.data()), data);
    }
}

TEST(Encodings, Base64EdgeCases)
{
    EXPECT_EQ(b64_encode(""), "");
    EXPECT_EQ(b64_encode("A"), "QQ==");
    EXPECT_EQ(b64_encode("AB"), "QUI=");
    EXPECT_EQ(b64_encode("ABC"), "QUJD");
    EXPECT_EQ(b64_encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");

    const struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"Q", ""},                    // a lone symbol gives no byte
        {"QU", "A"},
        {"QUJ", "AB"},
        {"QU\r\nJD\n", "ABC"},        // line breaks are passed over
        {" Q U J D ", "ABC"},
        {"QQ==QUJD", "A"},            // a "=" where a symbol is due ends the text
        {"=QUJD", ""},
        {"QUJD\n=QUJD", "ABCABC"},    // a "=" met while passing over others is passed over too
        {"QU*JD", "ABC"},
        {"", ""},
        {"!!!!", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(b64_decode(c.in), c.out) << c.in;

    // Long texts, whose end the decoder finds a block at a time: ends,
    // passed-over characters and a closing "=" at and around every
    // multiple of 4096 up to 64 KiB.
    for (size_t edge = 4096; edge <= 65536; edge += 4096) {
        for (size_t at = edge - 5; at <= edge + 5; ++at) {
            SCOPED_TRACE(at);
            std::string groups, bytes;
            for (size_t i = 0; i < at / 4 + 2; ++i) {
                groups += "QUJD";
                bytes += "ABC";
            }
            // The text ends at "at".
            std::string cut = groups.substr(0, at);
            std::string want = bytes.substr(0, at / 4 * 3 + (at % 4 == 2 ? 1 : at % 4 == 3 ? 2 : 0));
            EXPECT_EQ(b64_decode(cut), want);
            // A line break inserted at "at" is passed over.
            std::string broken = groups;
            broken.insert(at / 4 * 4, "\r\n");
            EXPECT_EQ(b64_decode(broken), bytes);
            // A "=" at a group boundary near "at" ends the text there.
            std::string closed = groups.substr(0, at / 4 * 4) + "=" + groups;
            EXPECT_EQ(b64_decode(closed), bytes.substr(0, at / 4 * 3));
        }
    }
}

TEST(Encodings, Base64AgreesWithTheBase64Tool)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("base64");
    std::mt19937 rng(4648);
    TempDir dir;
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 56u, 57u, 58u, 1000u, 65537u, 300001u}) {
        SCOPED_TRACE(n);
        std::string data = random_bytes(n, rng);
        dvrtest::write_file(dir / "data", data);

        // Ours against the tool's unwrapped encoding.
        auto enc = dvrtest::shell("base64 -w0 '" + (dir / "data") + "'");
        ASSERT_EQ(enc.status, 0);
        std::string ours = b64_encode(data);
        EXPECT_EQ(ours, enc.out);

        // The tool's default output is wrapped in lines of 76: decoded as if
        // the line breaks were absent.
        auto wrapped = dvrtest::shell("base64 '" + (dir / "data") + "'");
        ASSERT_EQ(wrapped.status, 0);
        EXPECT_EQ(b64_decode(wrapped.out), data);

        // The tool decodes ours.
        dvrtest::write_file(dir / "text", ours);
        auto dec = dvrtest::shell("base64 -d '" + (dir / "text") + "'");
        ASSERT_EQ(dec.status, 0);
        EXPECT_EQ(dec.out, data);
    }
}

// ---------------------------------------------------------------------
// The encoder reads nothing past its input
// ---------------------------------------------------------------------

namespace {

// Base64 by the bit: every six bits of the input, most significant first,
// one symbol; "=" fills the last group of four.
std::string b64_by_bits(const std::string &data)
{
    std::string bits;
    for (unsigned char c : data)
        for (int b = 7; b >= 0; --b)
            bits.push_back((c >> b) & 1 ? '1' : '0');
    while (bits.size() % 6)
        bits.push_back('0');
    std::string out;
    for (size_t i = 0; i < bits.size(); i += 6)
        out.push_back(kAlphabet[std::stoi(bits.substr(i, 6), nullptr, 2)]);
    while (out.size() % 4)
        out.push_back('=');
    return out;
}

} // namespace

TEST(Encodings, Base64EncoderReadsNothingPastItsInput)
{
    EXPECT_EQ(b64_by_bits("Many hands make light work."), "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu");
    // Each input ends at the last byte of a page whose next page cannot be
    // read: a read past the end ends the child with SIGSEGV (or the
    // sanitizer's report), whatever the build.
    EXPECT_EXIT(
        {
            const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
            auto *map = static_cast<unsigned char *>(
                ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            if (map == MAP_FAILED || ::mprotect(map + page, page, PROT_NONE) != 0)
                std::_Exit(2);
            const std::string text = "Many hands make light work. Many hands make light work. Many hands";
            for (size_t n = 1; n <= text.size(); ++n) {
                unsigned char *in = map + page - n;
                std::memcpy(in, text.data(), n);
                char out[128];
                if (COM_Base64Encode(out, in, static_cast<int>(n)) != static_cast<int>(4 * ((n + 2) / 3)) ||
                    out != b64_by_bits(text.substr(0, n)))
                    std::_Exit(3);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
