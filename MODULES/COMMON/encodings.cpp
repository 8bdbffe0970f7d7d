// Text encodings: "=XX" hexadecimal escapes of every byte, and Base64.
//
// Nothing here allocates; the caller provides the output. The Base64 codec
// works on whole groups (three bytes, four symbols) in its inner loops and
// falls back to one symbol at a time only around characters that are not
// symbols, so the result is that of the one-symbol-at-a-time walk.
//
// The inner loops are plain C++ for any processor (the board's included):
// the encoder turns six bytes, read as one 64-bit word, into eight symbols
// with four lookups of symbol pairs and one 64-bit store; the decoder turns
// eight symbols into six bytes with eight lookups in tables that already
// hold each symbol's bits in place, so ORing them gives the group's value
// and a single test finds a character that is not a symbol.
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "boundary.h"
#include "hex.h"

namespace {

constexpr uint8_t kNotHex = 255;
constexpr uint8_t kNotBase64 = 64;

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> make_base64_values()
{
    std::array<uint8_t, 256> t{};
    for (auto &v : t)
        v = kNotBase64;
    for (int i = 0; i < 64; ++i)
        t[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<uint8_t>(i);
    return t;
}

constexpr auto kBase64Value = make_base64_values();

// Symbol pairs for every 12-bit value (one lookup writes two symbols), as
// 16-bit words whose bytes lie in memory in symbol order.
constexpr std::array<uint16_t, 4096> make_base64_pair_words()
{
    std::array<uint16_t, 4096> t{};
    for (int v = 0; v < 4096; ++v) {
        const auto first = static_cast<uint16_t>(static_cast<uint8_t>(kBase64Alphabet[v >> 6]));
        const auto second = static_cast<uint16_t>(static_cast<uint8_t>(kBase64Alphabet[v & 63]));
        t[v] = std::endian::native == std::endian::little ? static_cast<uint16_t>(first | second << 8)
                                                          : static_cast<uint16_t>(first << 8 | second);
    }
    return t;
}
constexpr auto kBase64PairWords = make_base64_pair_words();

// A symbol's six bits already shifted to their place in a group's 24-bit
// value, one table per position; a character that is not a symbol gives
// kBase64Bad, which no OR of valid entries can produce.
constexpr uint32_t kBase64Bad = 1u << 24;
constexpr std::array<uint32_t, 256> make_base64_placed(unsigned shift)
{
    std::array<uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = kBase64Value[c] == kNotBase64 ? kBase64Bad : uint32_t(kBase64Value[c]) << shift;
    return t;
}
constexpr auto kBase64At0 = make_base64_placed(18);
constexpr auto kBase64At1 = make_base64_placed(12);
constexpr auto kBase64At2 = make_base64_placed(6);
constexpr auto kBase64At3 = make_base64_placed(0);

// Whole words in and out in wire order, whatever the host's byte order.
inline uint64_t load_be64(const unsigned char *p) noexcept
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

inline void store_be64_prefix(unsigned char *p, uint64_t v, size_t n) noexcept
{
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    std::memcpy(p, &v, n);
}

// Six bytes (the top 48 bits of word) as eight symbols.
inline void encode_six(char *o, uint64_t word) noexcept
{
    const uint64_t a = kBase64PairWords[(word >> 52) & 0xFFF];
    const uint64_t b = kBase64PairWords[(word >> 40) & 0xFFF];
    const uint64_t c = kBase64PairWords[(word >> 28) & 0xFFF];
    const uint64_t d = kBase64PairWords[(word >> 16) & 0xFFF];
    const uint64_t out = std::endian::native == std::endian::little ? a | b << 16 | c << 32 | d << 48
                                                                    : a << 48 | b << 32 | c << 16 | d;
    std::memcpy(o, &out, sizeof out);
}

// A group of four symbols as its 24-bit value, kBase64Bad set when one of
// them is not a symbol.
inline uint32_t decode_four(const uint8_t *p) noexcept
{
    return kBase64At0[p[0]] | kBase64At1[p[1]] | kBase64At2[p[2]] | kBase64At3[p[3]];
}

// Two characters loaded as one native 16-bit word give, through one
// table look-up, their 12 bits (the first symbol's six above the second's),
// or kBase64PairBad when either is not a symbol. Half the loads of looking
// up each character: the decoder's main loop is bound by its loads. The
// table takes 128 KiB, of which the pairs of symbols touch about 24 KiB.
constexpr uint16_t kBase64PairBad = 0x8000;
constexpr std::array<uint16_t, 65536> make_base64_pair_values()
{
    std::array<uint16_t, 65536> t{};
    for (auto &v : t)
        v = kBase64PairBad;
    for (unsigned first = 0; first < 64; ++first) {
        for (unsigned second = 0; second < 64; ++second) {
            const auto c1 = static_cast<uint8_t>(kBase64Alphabet[first]);
            const auto c2 = static_cast<uint8_t>(kBase64Alphabet[second]);
            const unsigned w = std::endian::native == std::endian::little ? c1 | c2 << 8 : c1 << 8 | c2;
            t[w] = static_cast<uint16_t>(first << 6 | second);
        }
    }
    return t;
}
constexpr auto kBase64PairValue = make_base64_pair_values();

inline uint16_t pair_value(const uint8_t *p) noexcept
{
    uint16_t w;
    std::memcpy(&w, p, sizeof w);
    return kBase64PairValue[w];
}

// The decoder looks for the text's end this far ahead at a time: small
// enough that the bytes are still in the cache when they are decoded.
constexpr size_t kBase64ScanBlock = 16384;

// Decodes blocks of sixteen symbols into twelve bytes each while sixteen
// characters remain before end and all of them are symbols. Returns where
// it stopped; out moves on past what it wrote. Kept out of line so that
// its loop has the registers to itself.
__attribute__((noinline)) const uint8_t *decode_blocks(const uint8_t *p, const uint8_t *const end,
                                                       unsigned char *&out) noexcept
{
    unsigned char *o = out;
    while (end - p >= 16) {
        // The next scan for the text's end reads a block further on: have
        // those bytes on their way meanwhile. A hint only, never a fault
        // (the address, past the text at its end, is formed as a number).
        __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(p) + kBase64ScanBlock));
        const uint32_t a0 = pair_value(p), a1 = pair_value(p + 2);
        const uint32_t b0 = pair_value(p + 4), b1 = pair_value(p + 6);
        const uint32_t first_bad = a0 | a1 | b0 | b1;
        const uint64_t ab = uint64_t(a0 << 12 | a1) << 40 | uint64_t(b0 << 12 | b1) << 16;
        const uint32_t c0 = pair_value(p + 8), c1 = pair_value(p + 10);
        const uint32_t d0 = pair_value(p + 12), d1 = pair_value(p + 14);
        const uint32_t second_bad = c0 | c1 | d0 | d1;
        const uint32_t c = c0 << 12 | c1, d = d0 << 12 | d1;
        if ((first_bad | second_bad) & kBase64PairBad)
            break;
        // Twelve bytes as one 8-byte and one 4-byte store.
        store_be64_prefix(o, ab | c >> 8, 8);
        store_be64_prefix(o + 8, uint64_t(c) << 56 | uint64_t(d) << 32, 4);
        o += 12;
        p += 16;
    }
    out = o;
    return p;
}

inline uint8_t hex_value(char c) noexcept
{
    const int v = dvr::hex_digit_value(c);
    return v < 0 ? kNotHex : static_cast<uint8_t>(v);
}
inline uint8_t base64_value(char c) noexcept { return kBase64Value[static_cast<uint8_t>(c)]; }

} // namespace

extern "C" {

char COM_Hex2Chr(int value)
try {
    return dvr::hex_digit(static_cast<unsigned>(value), dvr::HexCase::Upper);
} DVR_C_BOUNDARY("MODULES/COMMON", '0')

unsigned char COM_Chr2Hex(char c)
try {
    return hex_value(c);
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

char COM_Base2Chr(int value)
try {
    return kBase64Alphabet[value & 0x3F];
} DVR_C_BOUNDARY("MODULES/COMMON", 'A')

unsigned char COM_Chr2Base(char c)
try {
    return base64_value(c);
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

int COM_QPEncode(char *out, const unsigned char *in, int n)
try {
    // A result that cannot be counted in an int is refused (empty text).
    if (n <= 0 || n > (INT_MAX - 1) / 3) {
        out[0] = '\0';
        return n <= 0 ? 0 : -1;
    }
    char *o = out;
    for (int i = 0; i < n; ++i) {
        o[0] = '=';
        dvr::write_hex(o + 1, in + i, 1, dvr::HexCase::Upper);
        o += 3;
    }
    *o = '\0';
    return static_cast<int>(o - out);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

int COM_QPDecode(unsigned char *out, const char *in)
try {
    unsigned char *o = out;
    const char *p = in;
    while (*p) {
        uint8_t hi, lo;
        // The second digit is looked at only when the first one is a digit,
        // so nothing after the terminating NUL is read.
        if (*p == '=' && (hi = hex_value(p[1])) != kNotHex && (lo = hex_value(p[2])) != kNotHex) {
            *o++ = static_cast<unsigned char>(hi << 4 | lo);
            p += 3;
        } else {
            *o++ = static_cast<unsigned char>(*p++);
        }
    }
    size_t written = static_cast<size_t>(o - out);
    return written > INT_MAX ? -1 : static_cast<int>(written);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

int COM_Base64Encode(char *out, const unsigned char *in, int n)
try {
    if (n <= 0 || n > INT_MAX / 4 * 3) {
        out[0] = '\0';
        return n <= 0 ? 0 : -1;
    }
    const size_t len = static_cast<size_t>(n);
    const size_t whole = len / 3 * 3;
    char *o = out;
    size_t i = 0;
    // Twelve bytes a turn while two 8-byte reads stay inside the input.
    for (; len - i >= 14; i += 12, o += 16) {
        encode_six(o, load_be64(in + i));
        encode_six(o + 8, load_be64(in + i + 6));
    }
    for (; i < whole; i += 3, o += 4) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(o, &kBase64PairWords[v >> 12], 2);
        std::memcpy(o + 2, &kBase64PairWords[v & 0xFFF], 2);
    }
    if (len - whole == 1) {
        uint32_t v = in[i];
        o[0] = kBase64Alphabet[v >> 2];
        o[1] = kBase64Alphabet[(v & 0x03) << 4];
        o[2] = '=';
        o[3] = '=';
        o += 4;
    } else if (len - whole == 2) {
        uint32_t v = (uint32_t(in[i]) << 8) | in[i + 1];
        o[0] = kBase64Alphabet[v >> 10];
        o[1] = kBase64Alphabet[(v >> 4) & 0x3F];
        o[2] = kBase64Alphabet[(v & 0x0F) << 2];
        o[3] = '=';
        o += 4;
    }
    *o = '\0';
    return static_cast<int>(o - out);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

int COM_Base64Decode(unsigned char *out, const char *in)
try {
    // The text's end is found a block at a time, just ahead of the decoding,
    // so that a long text is read from memory once rather than twice.
    const uint8_t *const start = reinterpret_cast<const uint8_t *>(in);
    const uint8_t *p = start;
    const uint8_t *end = p + ::strnlen(in, kBase64ScanBlock); // bytes known to precede the NUL
    bool whole = static_cast<size_t>(end - p) < kBase64ScanBlock; // end is the text's end
    // Looks further for the NUL; false when the text has no more bytes.
    auto extend = [&]() noexcept {
        if (whole)
            return false;
        const size_t more = ::strnlen(reinterpret_cast<const char *>(end), kBase64ScanBlock);
        end += more;
        whole = more < kBase64ScanBlock;
        return more > 0;
    };
    unsigned char *o = out;
    unsigned k = 0;     // symbols taken so far
    uint8_t carry = 0;  // bits of the previous symbol waiting for the next

    for (;;) {
        if (!whole && end - p < 64) {
            extend();
            // The count of bytes written must fit the int result.
            if (static_cast<size_t>(end - start) / 4 * 3 + 2 > INT_MAX)
                return -1;
        }
        // At a group boundary, take whole groups of four symbols at once.
        if ((k & 3u) == 0) {
            p = decode_blocks(p, end, o);
            while (end - p >= 4) {
                const uint32_t v = decode_four(p);
                if (v & kBase64Bad)
                    break;
                o[0] = static_cast<unsigned char>(v >> 16);
                o[1] = static_cast<unsigned char>(v >> 8);
                o[2] = static_cast<unsigned char>(v);
                o += 3;
                p += 4;
            }
        }
        // A "=" where the next symbol is due ends the text.
        if ((p == end && !extend()) || *p == '=')
            break;
        // Anything that is not a symbol is passed over ("=" included).
        uint8_t v = kNotBase64;
        while ((p < end || extend()) && (v = kBase64Value[*p]) == kNotBase64)
            ++p;
        if (p == end)
            break;
        ++p;
        switch (k & 3u) {
        case 0:
            carry = static_cast<uint8_t>(v << 2);
            break;
        case 1:
            *o++ = static_cast<unsigned char>(carry | (v >> 4));
            carry = static_cast<uint8_t>(v << 4);
            break;
        case 2:
            *o++ = static_cast<unsigned char>(carry | (v >> 2));
            carry = static_cast<uint8_t>(v << 6);
            break;
        default:
            *o++ = static_cast<unsigned char>(carry | v);
            break;
        }
        ++k;
    }
    return static_cast<int>(o - out);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

} // extern "C"
