// Splits a fuzz input into an output size, a key and a text, each in a
// block of exactly its own size.
#ifndef DVRPLAT_FUZZ_TEXT_VALUES_H
#define DVRPLAT_FUZZ_TEXT_VALUES_H

#include <cstdint>
#include <cstring>
#include <memory>

struct FuzzTextCase {
    int size = 0;
    std::unique_ptr<char[]> key;
    std::unique_ptr<char[]> text;
    std::unique_ptr<char[]> out;
};

// Layout: one byte of size (0..127: -2..125), the key up to the first
// "\x01" (at most 16 bytes), then the text up to its first NUL.
inline bool split_fuzz_case(const uint8_t *data, size_t size, FuzzTextCase &c)
{
    if (size < 1)
        return false;
    c.size = static_cast<int>(data[0] & 0x7F) - 2;
    const char *p = reinterpret_cast<const char *>(data + 1);
    size_t rest = size - 1;
    size_t klen = 0;
    while (klen < rest && klen < 16 && p[klen] != '\x01' && p[klen] != '\0')
        ++klen;
    c.key.reset(new char[klen + 1]);
    std::memcpy(c.key.get(), p, klen);
    c.key[klen] = '\0';
    if (klen < rest)
        ++klen;
    p += klen;
    rest -= klen;
    size_t tlen = strnlen(p, rest);
    c.text.reset(new char[tlen + 1]);
    std::memcpy(c.text.get(), p, tlen);
    c.text[tlen] = '\0';
    c.out.reset(new char[c.size > 0 ? c.size : 1]);
    std::memset(c.out.get(), 0x5A, c.size > 0 ? c.size : 1);
    return true;
}

// What both value extractors promise: a returned position lies inside the
// text, and the output then holds a terminated text within its size.
inline void check_text_value(const FuzzTextCase &c, const char *r)
{
    if (!r)
        return;
    if (r < c.text.get() || r > c.text.get() + std::strlen(c.text.get()))
        __builtin_trap();
    if (c.size < 1 || strnlen(c.out.get(), static_cast<size_t>(c.size)) >= static_cast<size_t>(c.size))
        __builtin_trap();
}

#endif
