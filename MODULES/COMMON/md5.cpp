// MD5 message digest (RFC 1321) and the digest-text conveniences.
//
// Words and bytes are converted with explicit little-endian shifts, so the
// result does not depend on the host's byte order. The step functions are
// written once as inline functions: the block transform uses them directly
// (always inlined, the chaining values staying in registers across the
// blocks of one update), and the exported step and auxiliary functions are
// thin wrappers around the very same code.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "boundary.h"
#include "hex.h"
#include "owners.h"
#include "report.h"

static_assert(sizeof(COM_MD5_CTX) == 88, "COM_MD5_CTX: 4 + 2 words and a 64-byte block");
static_assert(offsetof(COM_MD5_CTX, state) == 0);
static_assert(offsetof(COM_MD5_CTX, count) == 16);
static_assert(offsetof(COM_MD5_CTX, buffer) == 24);

#if defined(__GNUC__)
#define MD5_INLINE inline __attribute__((always_inline))
#define MD5_INLINE_LAMBDA __attribute__((always_inline))
#else
#define MD5_INLINE inline
#define MD5_INLINE_LAMBDA
#endif

namespace {

constexpr size_t kBlock = 64;
// Bytes read from a file per read call. One fixed buffer on the stack;
// large enough that the read calls cost next to nothing beside the hashing.
constexpr size_t kFileChunk = 16384;

constexpr uint8_t kPadding[kBlock] = {0x80};

MD5_INLINE uint32_t load_le32(const uint8_t *p) noexcept
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

MD5_INLINE void store_le32(uint8_t *p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

MD5_INLINE uint32_t rotl(uint32_t x, unsigned n) noexcept
{
    n &= 31u;
    return (x << n) | (x >> ((32u - n) & 31u));
}

// The auxiliary functions, in forms with the same value as RFC 1321's but
// fewer dependent operations.
MD5_INLINE uint32_t aux_f(uint32_t x, uint32_t y, uint32_t z) noexcept { return ((y ^ z) & x) ^ z; }
// (x & z) and (y & ~z) never share a bit, so their sum equals their OR; the
// sum lets the two halves be added into the step independently.
MD5_INLINE uint32_t aux_g(uint32_t x, uint32_t y, uint32_t z) noexcept { return (x & z) + (y & ~z); }
MD5_INLINE uint32_t aux_h(uint32_t x, uint32_t y, uint32_t z) noexcept { return x ^ y ^ z; }
MD5_INLINE uint32_t aux_i(uint32_t x, uint32_t y, uint32_t z) noexcept { return y ^ (x | ~z); }

MD5_INLINE void step_ff(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t t) noexcept
{
    a = b + rotl(a + aux_f(b, c, d) + x + t, s);
}
MD5_INLINE void step_gg(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t t) noexcept
{
    a = b + rotl(a + (c & ~d) + x + t + (b & d), s);
}
MD5_INLINE void step_hh(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t t) noexcept
{
    a = b + rotl(a + aux_h(b, c, d) + x + t, s);
}
MD5_INLINE void step_ii(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s, uint32_t t) noexcept
{
    a = b + rotl(a + aux_i(b, c, d) + x + t, s);
}

// Per-round shift amounts.
constexpr unsigned S11 = 7, S12 = 12, S13 = 17, S14 = 22;
constexpr unsigned S21 = 5, S22 = 9, S23 = 14, S24 = 20;
constexpr unsigned S31 = 4, S32 = 11, S33 = 16, S34 = 23;
constexpr unsigned S41 = 6, S42 = 10, S43 = 15, S44 = 21;

// The block transform over nblocks consecutive 64-byte blocks, read where
// they lie. Private to the library.
MD5_INLINE void md5_blocks(uint32_t state[4], const uint8_t *block, size_t nblocks) noexcept
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; nblocks > 0; --nblocks, block += kBlock) {
        // Message words are read where they lie, each as it is needed.
        auto x = [block](int i) MD5_INLINE_LAMBDA { return load_le32(block + 4 * i); };
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        // Round 1
        step_ff(a, b, c, d, x(0), S11, 0xd76aa478);
        step_ff(d, a, b, c, x(1), S12, 0xe8c7b756);
        step_ff(c, d, a, b, x(2), S13, 0x242070db);
        step_ff(b, c, d, a, x(3), S14, 0xc1bdceee);
        step_ff(a, b, c, d, x(4), S11, 0xf57c0faf);
        step_ff(d, a, b, c, x(5), S12, 0x4787c62a);
        step_ff(c, d, a, b, x(6), S13, 0xa8304613);
        step_ff(b, c, d, a, x(7), S14, 0xfd469501);
        step_ff(a, b, c, d, x(8), S11, 0x698098d8);
        step_ff(d, a, b, c, x(9), S12, 0x8b44f7af);
        step_ff(c, d, a, b, x(10), S13, 0xffff5bb1);
        step_ff(b, c, d, a, x(11), S14, 0x895cd7be);
        step_ff(a, b, c, d, x(12), S11, 0x6b901122);
        step_ff(d, a, b, c, x(13), S12, 0xfd987193);
        step_ff(c, d, a, b, x(14), S13, 0xa679438e);
        step_ff(b, c, d, a, x(15), S14, 0x49b40821);

        // Round 2
        step_gg(a, b, c, d, x(1), S21, 0xf61e2562);
        step_gg(d, a, b, c, x(6), S22, 0xc040b340);
        step_gg(c, d, a, b, x(11), S23, 0x265e5a51);
        step_gg(b, c, d, a, x(0), S24, 0xe9b6c7aa);
        step_gg(a, b, c, d, x(5), S21, 0xd62f105d);
        step_gg(d, a, b, c, x(10), S22, 0x02441453);
        step_gg(c, d, a, b, x(15), S23, 0xd8a1e681);
        step_gg(b, c, d, a, x(4), S24, 0xe7d3fbc8);
        step_gg(a, b, c, d, x(9), S21, 0x21e1cde6);
        step_gg(d, a, b, c, x(14), S22, 0xc33707d6);
        step_gg(c, d, a, b, x(3), S23, 0xf4d50d87);
        step_gg(b, c, d, a, x(8), S24, 0x455a14ed);
        step_gg(a, b, c, d, x(13), S21, 0xa9e3e905);
        step_gg(d, a, b, c, x(2), S22, 0xfcefa3f8);
        step_gg(c, d, a, b, x(7), S23, 0x676f02d9);
        step_gg(b, c, d, a, x(12), S24, 0x8d2a4c8a);

        // Round 3
        step_hh(a, b, c, d, x(5), S31, 0xfffa3942);
        step_hh(d, a, b, c, x(8), S32, 0x8771f681);
        step_hh(c, d, a, b, x(11), S33, 0x6d9d6122);
        step_hh(b, c, d, a, x(14), S34, 0xfde5380c);
        step_hh(a, b, c, d, x(1), S31, 0xa4beea44);
        step_hh(d, a, b, c, x(4), S32, 0x4bdecfa9);
        step_hh(c, d, a, b, x(7), S33, 0xf6bb4b60);
        step_hh(b, c, d, a, x(10), S34, 0xbebfbc70);
        step_hh(a, b, c, d, x(13), S31, 0x289b7ec6);
        step_hh(d, a, b, c, x(0), S32, 0xeaa127fa);
        step_hh(c, d, a, b, x(3), S33, 0xd4ef3085);
        step_hh(b, c, d, a, x(6), S34, 0x04881d05);
        step_hh(a, b, c, d, x(9), S31, 0xd9d4d039);
        step_hh(d, a, b, c, x(12), S32, 0xe6db99e5);
        step_hh(c, d, a, b, x(15), S33, 0x1fa27cf8);
        step_hh(b, c, d, a, x(2), S34, 0xc4ac5665);

        // Round 4
        step_ii(a, b, c, d, x(0), S41, 0xf4292244);
        step_ii(d, a, b, c, x(7), S42, 0x432aff97);
        step_ii(c, d, a, b, x(14), S43, 0xab9423a7);
        step_ii(b, c, d, a, x(5), S44, 0xfc93a039);
        step_ii(a, b, c, d, x(12), S41, 0x655b59c3);
        step_ii(d, a, b, c, x(3), S42, 0x8f0ccc92);
        step_ii(c, d, a, b, x(10), S43, 0xffeff47d);
        step_ii(b, c, d, a, x(1), S44, 0x85845dd1);
        step_ii(a, b, c, d, x(8), S41, 0x6fa87e4f);
        step_ii(d, a, b, c, x(15), S42, 0xfe2ce6e0);
        step_ii(c, d, a, b, x(6), S43, 0xa3014314);
        step_ii(b, c, d, a, x(13), S44, 0x4e0811a1);
        step_ii(a, b, c, d, x(4), S41, 0xf7537e82);
        step_ii(d, a, b, c, x(11), S42, 0xbd3af235);
        step_ii(c, d, a, b, x(2), S43, 0x2ad7d2bb);
        step_ii(b, c, d, a, x(9), S44, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

// One block into the context's state (the RFC's MD5Transform).
void COM_MD5_Transform(COM_MD5_CTX *context, const uint8_t block[kBlock]) noexcept
{
    md5_blocks(context->state, block, 1);
}

void update(COM_MD5_CTX *ctx, const uint8_t *input, uint32_t len) noexcept
{
    uint32_t index = (ctx->count[0] >> 3) & 63u;
    uint32_t bits = len << 3;
    ctx->count[0] += bits;
    if (ctx->count[0] < bits)
        ctx->count[1] += 1;
    ctx->count[1] += len >> 29;

    uint32_t part = static_cast<uint32_t>(kBlock) - index;
    uint32_t i = 0;
    if (len >= part) {
        std::memcpy(ctx->buffer + index, input, part);
        COM_MD5_Transform(ctx, ctx->buffer);
        // Whole blocks straight from the input, no copy.
        uint32_t whole = (len - part) / kBlock;
        md5_blocks(ctx->state, input + part, whole);
        i = part + whole * static_cast<uint32_t>(kBlock);
        index = 0;
    }
    if (len > i)
        std::memcpy(ctx->buffer + index, input + i, len - i);
}

void to_text(char *out, const uint8_t digest[16]) noexcept
{
    dvr::write_hex(out, digest, 16);
}

} // namespace

extern "C" {

void COM_MD5_Init(COM_MD5_CTX *context)
try {
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
} DVR_C_BOUNDARY("MODULES/COMMON")

void COM_MD5_Update(COM_MD5_CTX *context, const unsigned char *input, uint32_t inputLen)
try {
    update(context, input, inputLen);
} DVR_C_BOUNDARY("MODULES/COMMON")

void COM_MD5_Final(unsigned char digest[16], COM_MD5_CTX *context)
try {
    uint8_t bits[8];
    store_le32(bits, context->count[0]);
    store_le32(bits + 4, context->count[1]);

    uint32_t index = (context->count[0] >> 3) & 63u;
    uint32_t padLen = index < 56 ? 56 - index : 120 - index;
    update(context, kPadding, padLen);
    update(context, bits, 8);

    for (int i = 0; i < 4; ++i)
        store_le32(digest + 4 * i, context->state[i]);
    // Leave nothing of the message behind.
    explicit_bzero(context, sizeof *context);
} DVR_C_BOUNDARY("MODULES/COMMON")

void COM_MD5_DigestToString(char *text, const unsigned char digest[16])
try {
    // Exactly 32 characters; the byte after them is the caller's.
    char local[33];
    to_text(local, digest);
    std::memcpy(text, local, 32);
} DVR_C_BOUNDARY("MODULES/COMMON")

void COM_MakeBufMD5(char *text, const char *str)
try {
    COM_MD5_CTX ctx;
    COM_MD5_Init(&ctx);
    // Strings longer than the 32-bit length field are taken in pieces.
    size_t len = std::strlen(str);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(str);
    while (len > 0) {
        uint32_t piece = len > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(len);
        update(&ctx, p, piece);
        p += piece;
        len -= piece;
    }
    uint8_t digest[16];
    COM_MD5_Final(digest, &ctx);
    COM_MD5_DigestToString(text, digest);
} DVR_C_BOUNDARY("MODULES/COMMON")

int COM_MakeFileMD5(char *text, const char *path)
try {
    // Owned, so that a caller cancelled in the read does not leave it open.
    dvr::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        COM_REPORT("open(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }

    COM_MD5_CTX ctx;
    COM_MD5_Init(&ctx);
    uint8_t buf[kFileChunk];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0) {
            // A digest of part of the file would pass for the file's: the
            // caller's text stays as it was.
            COM_REPORT("read(%s) fail : %s\n", path, std::strerror(errno));
            explicit_bzero(buf, sizeof buf);
            return -1;
        }
        update(&ctx, buf, static_cast<uint32_t>(n));
    }
    // The file's bytes do not stay behind on the stack.
    explicit_bzero(buf, sizeof buf);

    uint8_t digest[16];
    COM_MD5_Final(digest, &ctx);
    COM_MD5_DigestToString(text, digest);
    // A cancel pending here would leave the given-up descriptor open.
    dvr::NoCancel guard;
    int raw = fd.release();
    return COM_CloseFd(&raw) == 0 ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

void COM_MD5_Encode(unsigned char *output, const uint32_t *input, uint32_t len)
try {
    for (uint32_t i = 0, j = 0; j + 3 < len; ++i, j += 4)
        store_le32(output + j, input[i]);
} DVR_C_BOUNDARY("MODULES/COMMON")

void COM_MD5_Decode(uint32_t *output, const unsigned char *input, uint32_t len)
try {
    for (uint32_t i = 0, j = 0; j + 3 < len; ++i, j += 4)
        output[i] = load_le32(input + j);
} DVR_C_BOUNDARY("MODULES/COMMON")

uint32_t COM_MD5_F(uint32_t x, uint32_t y, uint32_t z) { return aux_f(x, y, z); }
uint32_t COM_MD5_G(uint32_t x, uint32_t y, uint32_t z) { return aux_g(x, y, z); }
uint32_t COM_MD5_H(uint32_t x, uint32_t y, uint32_t z) { return aux_h(x, y, z); }
uint32_t COM_MD5_I(uint32_t x, uint32_t y, uint32_t z) { return aux_i(x, y, z); }

uint32_t COM_MD5_ROTATE_LEFT(const uint32_t *x, int n)
try {
    return rotl(*x, static_cast<unsigned>(n));
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

void COM_MD5_FF(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac)
try {
    step_ff(*a, b, c, d, x, static_cast<unsigned>(s), ac);
} DVR_C_BOUNDARY("MODULES/COMMON")
void COM_MD5_GG(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac)
try {
    step_gg(*a, b, c, d, x, static_cast<unsigned>(s), ac);
} DVR_C_BOUNDARY("MODULES/COMMON")
void COM_MD5_HH(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac)
try {
    step_hh(*a, b, c, d, x, static_cast<unsigned>(s), ac);
} DVR_C_BOUNDARY("MODULES/COMMON")
void COM_MD5_II(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac)
try {
    step_ii(*a, b, c, d, x, static_cast<unsigned>(s), ac);
} DVR_C_BOUNDARY("MODULES/COMMON")

} // extern "C"
