// Hexadecimal text: the one reader of a digit and the one writer of bytes
// as digits for the whole library. C++ only, never installed.
#ifndef DVRPLAT_BASE_HEX_H
#define DVRPLAT_BASE_HEX_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dvr {

namespace hex_tables {
// The value of every character as a digit, -1 for a character that is not one.
inline constexpr std::array<int8_t, 256> kDigitValues = [] {
    std::array<int8_t, 256> t{};
    for (auto &v : t)
        v = -1;
    for (int i = 0; i < 10; ++i)
        t['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        t['a' + i] = static_cast<int8_t>(10 + i);
        t['A' + i] = static_cast<int8_t>(10 + i);
    }
    return t;
}();
inline constexpr char kLower[] = "0123456789abcdef";
inline constexpr char kUpper[] = "0123456789ABCDEF";
} // namespace hex_tables

// The value of a hexadecimal digit (either case), or -1.
constexpr int hex_digit_value(char c) noexcept
{
    return hex_tables::kDigitValues[static_cast<unsigned char>(c)];
}

// Which letters the writer uses for the digits 10 to 15.
enum class HexCase { Lower, Upper };

// The digit of the low four bits of v.
constexpr char hex_digit(unsigned v, HexCase letters = HexCase::Lower) noexcept
{
    return (letters == HexCase::Upper ? hex_tables::kUpper : hex_tables::kLower)[v & 0x0F];
}

// Writes each byte as two digits, high half first: 2 * n characters at
// out, no terminating NUL.
constexpr void write_hex(char *out, const uint8_t *bytes, size_t n, HexCase letters = HexCase::Lower) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = hex_digit(bytes[i] >> 4, letters);
        out[2 * i + 1] = hex_digit(bytes[i], letters);
    }
}

// Appends each byte as two digits, high half first.
inline void append_hex(std::string &out, const uint8_t *bytes, size_t n, HexCase letters = HexCase::Lower)
{
    for (size_t i = 0; i < n; ++i) {
        out.push_back(hex_digit(bytes[i] >> 4, letters));
        out.push_back(hex_digit(bytes[i], letters));
    }
}

} // namespace dvr

#endif
