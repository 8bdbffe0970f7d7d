// MD5: the RFC 1321 suite, agreement with md5sum on files and streams of
// many sizes fed in random pieces, the 64-bit bit count, the file digest's
// failure behaviour and the exported step functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "COMMON.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::TempDir;

namespace {

std::string hex_of(const unsigned char *d, size_t n)
{
    static const char *k = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += k[d[i] >> 4];
        s += k[d[i] & 15];
    }
    return s;
}

std::string digest_text(const std::string &data, std::mt19937 &rng)
{
    // Fed in random pieces, empty ones included.
    COM_MD5_CTX ctx;
    COM_MD5_Init(&ctx);
    size_t pos = 0;
    while (pos < data.size()) {
        size_t piece = std::uniform_int_distribution<size_t>(0, std::min<size_t>(data.size() - pos, 200))(rng);
        COM_MD5_Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()) + pos, static_cast<uint32_t>(piece));
        pos += piece;
    }
    unsigned char digest[16];
    COM_MD5_Final(digest, &ctx);
    return hex_of(digest, 16);
}

std::string random_bytes(size_t n, std::mt19937 &rng)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

// The first field of each line of md5sum's output.
std::vector<std::string> md5sum_of(const std::string &command)
{
    auto r = dvrtest::shell(command);
    EXPECT_EQ(r.status, 0) << command << r.err;
    std::vector<std::string> sums;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line))
        sums.push_back(line.substr(0, 32));
    return sums;
}

} // namespace

TEST(Md5, Rfc1321Suite)
{
    const struct {
        const char *text;
        const char *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        char text[40];
        std::memset(text, '#', sizeof text);
        COM_MakeBufMD5(text, c.text);
        EXPECT_EQ(std::string(text, 32), c.digest) << c.text;
        // Exactly 32 characters: the caller's next byte is not written.
        EXPECT_EQ(text[32], '#');
    }
}

TEST(Md5, AgreesWithMd5sumAcrossPaddingEdgesAndPieces)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("md5sum");
    std::mt19937 rng(1321);
    std::vector<size_t> sizes = {0, 1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129, 4095, 16383, 16384,
                                 16385, 65536 + 55, 1 << 20};
    for (int i = 0; i < 6; ++i)
        sizes.push_back(std::uniform_int_distribution<size_t>(1, 300000)(rng));

    TempDir dir;
    std::vector<std::string> data;
    std::string command = "cd '" + dir.path() + "' && md5sum";
    for (size_t i = 0; i < sizes.size(); ++i) {
        data.push_back(random_bytes(sizes[i], rng));
        dvrtest::write_file(dir / std::to_string(i), data.back());
        command += " " + std::to_string(i);
    }
    auto sums = md5sum_of(command);
    ASSERT_EQ(sums.size(), sizes.size());

    for (size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("size " + std::to_string(sizes[i]));
        EXPECT_EQ(digest_text(data[i], rng), sums[i]);

        char text[33] = {};
        EXPECT_EQ(COM_MakeFileMD5(text, (dir / std::to_string(i)).c_str()), 0);
        EXPECT_EQ(std::string(text), sums[i]);
    }
}

TEST(Md5, BitCountCarriesPastTwoToThe32)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell and md5sum");
    // 512 MiB and a tail: the bit count passes 2^32. The reference digest
    // comes from md5sum reading the same stream from a pipe.
    std::mt19937 rng(4242);
    const std::string block = random_bytes(1 << 20, rng);
    const std::string tail = random_bytes(77, rng);
    TempDir dir;
    dvrtest::write_file(dir / "block", block);
    dvrtest::write_file(dir / "tail", tail);
    auto sums = md5sum_of("cd '" + dir.path() + "' && (for i in $(seq 512); do cat block; done; cat tail) | md5sum");
    ASSERT_EQ(sums.size(), 1u);

    COM_MD5_CTX ctx;
    COM_MD5_Init(&ctx);
    for (int i = 0; i < 512; ++i)
        COM_MD5_Update(&ctx, reinterpret_cast<const unsigned char *>(block.data()), static_cast<uint32_t>(block.size()));
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
    COM_MD5_Update(&ctx, reinterpret_cast<const unsigned char *>(tail.data()), static_cast<uint32_t>(tail.size()));
    EXPECT_EQ(ctx.count[0], 77u * 8);
    EXPECT_EQ(ctx.count[1], 1u);
    unsigned char digest[16];
    COM_MD5_Final(digest, &ctx);
    EXPECT_EQ(hex_of(digest, 16), sums[0]);
}

TEST(Md5, CountLowWordCarry)
{
    COM_MD5_CTX ctx;
    std::memset(&ctx, 0, sizeof ctx);
    COM_MD5_Init(&ctx);
    ctx.count[0] = 0xFFFFFFF8u; // one byte short of the carry (fabricated)
    std::vector<unsigned char> zeros(64, 0);
    COM_MD5_Update(&ctx, zeros.data(), 1);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
}

TEST(Md5, FinalLeavesAZeroContext)
{
    COM_MD5_CTX ctx;
    COM_MD5_Init(&ctx);
    COM_MD5_Update(&ctx, reinterpret_cast<const unsigned char *>("abcdefghij"), 10);
    unsigned char digest[16];
    COM_MD5_Final(digest, &ctx);
    COM_MD5_CTX zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5, FileDigestFailuresAndEmptyFile)
{
    TempDir dir;
    dvrtest::write_file(dir / "empty", "");
    char text[33] = {};
    EXPECT_EQ(COM_MakeFileMD5(text, (dir / "empty").c_str()), 0);
    EXPECT_STREQ(text, "d41d8cd98f00b204e9800998ecf8427e");

    std::string missing = dir / "missing";
    char untouched[33];
    std::memset(untouched, 'z', 32);
    untouched[32] = '\0';
    CaptureStdout cap;
    EXPECT_EQ(COM_MakeFileMD5(untouched, missing.c_str()), -1);
    std::string out = cap.take();
    EXPECT_EQ(untouched, std::string(32, 'z'));
    EXPECT_NE(out.find("MODULES/COMMON,"), std::string::npos) << out;
    EXPECT_NE(out.find(":COM_MakeFileMD5(): open(" + missing + ") fail : No such file or directory\n"),
              std::string::npos)
        << out;

    // A directory opens but cannot be read: a read error fails, reported,
    // and leaves the text as it was.
    CaptureStdout cap2;
    EXPECT_EQ(COM_MakeFileMD5(untouched, dir.path().c_str()), -1);
    out = cap2.take();
    EXPECT_EQ(untouched, std::string(32, 'z'));
    EXPECT_NE(out.find(":COM_MakeFileMD5(): read(" + dir.path() + ") fail : Is a directory\n"), std::string::npos)
        << out;
}

TEST(Md5, DigestToStringAndByteOrderHelpers)
{
    unsigned char digest[16];
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<unsigned char>(i * 17 + 0x0A);
    char text[34];
    std::memset(text, '#', sizeof text);
    COM_MD5_DigestToString(text, digest);
    EXPECT_EQ(std::string(text, 32), hex_of(digest, 16));
    EXPECT_EQ(text[32], '#');

    const uint32_t words[2] = {0x04030201u, 0xA0B0C0D0u};
    unsigned char bytes[8];
    COM_MD5_Encode(bytes, words, 8);
    const unsigned char expect[8] = {0x01, 0x02, 0x03, 0x04, 0xD0, 0xC0, 0xB0, 0xA0};
    EXPECT_EQ(std::memcmp(bytes, expect, 8), 0);
    uint32_t back[2] = {};
    COM_MD5_Decode(back, expect, 8);
    EXPECT_EQ(back[0], words[0]);
    EXPECT_EQ(back[1], words[1]);
}

TEST(Md5, ExportedStepFunctionsRebuildTheDigest)
{
    // The auxiliary functions over every combination of input bits: x, y
    // and z hold the three columns of the truth table in each byte, so each
    // result byte is that function's truth table.
    {
        const uint32_t x = 0xF0F0F0F0, y = 0xCCCCCCCC, z = 0xAAAAAAAA;
        EXPECT_EQ(COM_MD5_F(x, y, z), 0xCACACACAu); // x ? y : z
        EXPECT_EQ(COM_MD5_G(x, y, z), 0xE4E4E4E4u); // z ? x : y
        EXPECT_EQ(COM_MD5_H(x, y, z), 0x96969696u); // odd number of ones
        EXPECT_EQ(COM_MD5_I(x, y, z), 0x39393939u); // y xor (x or not z)
    }

    const struct {
        uint32_t x;
        int s;
        uint32_t rotated;
    } rotations[] = {
        {0x12345678, 0, 0x12345678}, {0x12345678, 4, 0x23456781}, {0x12345678, 8, 0x34567812},
        {0x80000001, 1, 0x00000003}, {0x80000001, 31, 0xC0000000}, {0x12345678, 31, 0x091A2B3C},
    };
    for (const auto &r : rotations) {
        uint32_t word = r.x;
        EXPECT_EQ(COM_MD5_ROTATE_LEFT(&word, r.s), r.rotated) << std::hex << r.x << " by " << std::dec << r.s;
        EXPECT_EQ(word, r.x); // the operand is only read
    }

    // One whole digest through the exported steps alone: the 64 steps of
    // RFC 1321 over the padded block of "abc".
    // The additive constants, floor(|sin(i + 1)| x 2^32).
    static const uint32_t T[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
    };
#ifndef DVRPLAT_CROSSCOMPILING
    // (The target's emulator lacks an instruction its libm's sin uses.)
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(T[i], static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0))) << i;
#endif
    unsigned char block[64] = {'a', 'b', 'c', 0x80};
    block[56] = 24; // bit count, little-endian
    uint32_t x[16];
    COM_MD5_Decode(x, block, 64);
    uint32_t st[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t v[4] = {st[0], st[1], st[2], st[3]};
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        int k = round == 0 ? i : round == 1 ? (1 + 5 * i) % 16 : round == 2 ? (5 + 3 * i) % 16 : (7 * i) % 16;
        // Registers rotate: a, d, c, b take turns as the target.
        int ai = (64 - i) % 4, bi = (ai + 1) % 4, ci = (ai + 2) % 4, di = (ai + 3) % 4;
        auto fn = round == 0 ? COM_MD5_FF : round == 1 ? COM_MD5_GG : round == 2 ? COM_MD5_HH : COM_MD5_II;
        fn(&v[ai], v[bi], v[ci], v[di], x[k], shifts[round][i % 4], T[i]);
    }
    for (int i = 0; i < 4; ++i)
        st[i] += v[i];
    unsigned char digest[16];
    COM_MD5_Encode(digest, st, 16);
    EXPECT_EQ(hex_of(digest, 16), "900150983cd24fb0d6963f7d28e17f72");
}
