// Text encodings: "=XX" hexadecimal escapes of every byte, and Base64.
//
// Nothing here allocates; the caller provides the output. The Base64 codec
// works on whole groups (three bytes, four symbols) in its inner loops and
// falls back to one symbol at a time only around characters that are not
// symbols, so the result is that of the one-symbol-at-a-time walk.
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dvr_internal.h"

namespace {

constexpr uint8_t kNotHex = 255;
constexpr uint8_t kNotBase64 = 64;

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> make_hex_values()
{
    std::array<uint8_t, 256> t{};
    for (auto &v : t)
        v = kNotHex;
    for (int i = 0; i < 10; ++i)
        t['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        t['A' + i] = static_cast<uint8_t>(10 + i);
        t['a' + i] = static_cast<uint8_t>(10 + i);
    }
    return t;
}

constexpr std::array<uint8_t, 256> make_base64_values()
{
    std::array<uint8_t, 256> t{};
    for (auto &v : t)
        v = kNotBase64;
    for (int i = 0; i < 64; ++i)
        t[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<uint8_t>(i);
    return t;
}

constexpr auto kHexValue = make_hex_values();
constexpr auto kBase64Value = make_base64_values();

// Symbol pairs for every 12-bit value: one lookup writes two symbols.
constexpr std::array<char, 8192> make_base64_pairs()
{
    std::array<char, 8192> t{};
    for (int v = 0; v < 4096; ++v) {
        t[2 * v] = kBase64Alphabet[v >> 6];
        t[2 * v + 1] = kBase64Alphabet[v & 63];
    }
    return t;
}
constexpr auto kBase64Pairs = make_base64_pairs();

inline uint8_t hex_value(char c) noexcept { return kHexValue[static_cast<uint8_t>(c)]; }
inline uint8_t base64_value(char c) noexcept { return kBase64Value[static_cast<uint8_t>(c)]; }

} // namespace

extern "C" {

char COM_Hex2Chr(int value)
{
    return kHexDigits[value & 0x0F];
}

unsigned char COM_Chr2Hex(char c)
{
    return hex_value(c);
}

char COM_Base2Chr(int value)
{
    return kBase64Alphabet[value & 0x3F];
}

unsigned char COM_Chr2Base(char c)
{
    return base64_value(c);
}

int COM_QPEncode(char *out, const unsigned char *in, int n)
{
    // A result that cannot be counted in an int is refused (empty text).
    if (n <= 0 || n > (INT_MAX - 1) / 3) {
        out[0] = '\0';
        return n <= 0 ? 0 : -1;
    }
    char *o = out;
    for (int i = 0; i < n; ++i) {
        o[0] = '=';
        o[1] = kHexDigits[in[i] >> 4];
        o[2] = kHexDigits[in[i] & 0x0F];
        o += 3;
    }
    *o = '\0';
    return static_cast<int>(o - out);
}

int COM_QPDecode(unsigned char *out, const char *in)
{
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
}

int COM_Base64Encode(char *out, const unsigned char *in, int n)
{
    if (n <= 0 || n > INT_MAX / 4 * 3) {
        out[0] = '\0';
        return n <= 0 ? 0 : -1;
    }
    const size_t len = static_cast<size_t>(n);
    const size_t whole = len / 3 * 3;
    char *o = out;
    size_t i = 0;
    for (; i < whole; i += 3, o += 4) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(o, &kBase64Pairs[2 * (v >> 12)], 2);
        std::memcpy(o + 2, &kBase64Pairs[2 * (v & 0xFFF)], 2);
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
}

int COM_Base64Decode(unsigned char *out, const char *in)
{
    const size_t len = std::strlen(in);
    if (len / 4 * 3 + 2 > INT_MAX)
        return -1;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(in);
    const uint8_t *const end = p + len;
    unsigned char *o = out;
    unsigned k = 0;     // symbols taken so far
    uint8_t carry = 0;  // bits of the previous symbol waiting for the next

    for (;;) {
        // At a group boundary, take whole groups of four symbols at once.
        if ((k & 3u) == 0) {
            while (end - p >= 4) {
                uint32_t a = kBase64Value[p[0]], b = kBase64Value[p[1]];
                uint32_t c = kBase64Value[p[2]], d = kBase64Value[p[3]];
                if ((a | b | c | d) & 0xC0u)
                    break;
                uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
                o[0] = static_cast<unsigned char>(v >> 16);
                o[1] = static_cast<unsigned char>(v >> 8);
                o[2] = static_cast<unsigned char>(v);
                o += 3;
                p += 4;
            }
        }
        // A "=" where the next symbol is due ends the text.
        if (p == end || *p == '=')
            break;
        // Anything that is not a symbol is passed over ("=" included).
        uint8_t v = kNotBase64;
        while (p < end && (v = kBase64Value[*p]) == kNotBase64)
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
}

} // extern "C"
