// Case-insensitive search and the value extractors built on it: a quoted
// value after a key, the rest of a line after a key, a pair of numbers.
#include <climits>
#include <cstddef>
#include <cstring>

#include "text_parsing.h"
#include "boundary.h"
#include "report.h"

using dvr::is_digit;
using dvr::warn_overflow;

namespace {

inline unsigned char lower(unsigned char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// A run of digits as a non-negative int, held at INT_MAX when larger.
int digits_to_int(const char *s, size_t n) noexcept
{
    long long v = 0;
    for (size_t i = 0; i < n; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(v);
}

} // namespace

extern "C" {

char *COM_StrNCaseStr(const char *text, const char *pattern)
try {
    if (!text || !pattern)
        return nullptr;
    const size_t plen = std::strlen(pattern);
    const size_t tlen = std::strlen(text);
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    const auto *p = reinterpret_cast<const unsigned char *>(pattern);
    // The occurrence must be followed by at least one more character.
    for (size_t i = 0; i + plen < tlen; ++i) {
        size_t j = 0;
        while (j < plen && lower(t[i + j]) == lower(p[j]))
            ++j;
        if (j == plen)
            return const_cast<char *>(text + i);
    }
    return nullptr;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

char *COM_GetStrInDoubleQuotes(const char *text, const char *key, char *out, int size)
try {
    char *found = COM_StrNCaseStr(text, key);
    if (!found)
        return nullptr;
    char *after = found + std::strlen(key);

    long len = 0;
    const char *open = std::strchr(after, '"');
    const char *close = open ? std::strchr(open + 1, '"') : nullptr;
    if (close) {
        len = close - open - 1;
        long keep = len;
        if (len >= size) {
            warn_overflow(DVR_REPORTER("MODULES/COMMON"), len, size);
            keep = size - 1;
        }
        // No room even for the terminating NUL: nothing can be written.
        if (keep < 0)
            return nullptr;
        std::memcpy(out, open + 1, static_cast<size_t>(keep));
        out[keep] = '\0';
    }
    return len >= 1 ? after : nullptr;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

char *COM_GetStrBeforeNewLine(const char *text, const char *key, char *out, int size)
try {
    char *found = COM_StrNCaseStr(text, key);
    if (!found)
        return nullptr;
    char *after = found + std::strlen(key);

    const char *end = std::strchr(after, '\r');
    if (!end)
        end = std::strchr(after, '\n');
    if (!end)
        return nullptr;
    long n = (end - after) + 1;
    if (n > size) {
        warn_overflow(DVR_REPORTER("MODULES/COMMON"), n, size);
        n = size;
    }
    if (n < 1)
        return nullptr;
    std::memcpy(out, after, static_cast<size_t>(n - 1));
    out[n - 1] = '\0';
    return after;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

int COM_GetValuePairInStr(const char *text, int len, int *first, int *second)
try {
    int stored = 0;
    int i = 0;
    while (i < len && stored < 2) {
        if (!is_digit(text[i])) {
            ++i;
            continue;
        }
        int start = i;
        while (i < len && is_digit(text[i]))
            ++i;
        int v = digits_to_int(text + start, static_cast<size_t>(i - start));
        *(stored == 0 ? first : second) = v;
        ++stored;
    }
    return stored;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
} // extern "C"
