// Small stateless parsers: case-insensitive search and the value extractors
// built on it, number pairs, tagged item descriptions, an MSB-first bit
// reader with the MPEG-4 video object layer header on top of it, bit
// reversal, ring-buffer copies and a hex dump.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <unistd.h>

#include "dvr_internal.h"

static_assert(sizeof(COM_XML_ITEM) == 352, "COM_XML_ITEM: 80 + 4 x 4 + 256 bytes");
static_assert(offsetof(COM_XML_ITEM, Name) == 0);
static_assert(offsetof(COM_XML_ITEM, type) == 80);
static_assert(offsetof(COM_XML_ITEM, min) == 84);
static_assert(offsetof(COM_XML_ITEM, max) == 88);
static_assert(offsetof(COM_XML_ITEM, value) == 92);
static_assert(offsetof(COM_XML_ITEM, text) == 96);

namespace {

constexpr size_t kAttrSize = 80;            // work buffer of one quoted attribute value
// Input bytes the hexadecimal dump reader takes at most. The dumps it
// serves, the IDE driver's "identify" and "smart_values" files, print 512
// bytes as 256 four-digit words: 1280 bytes. Fifty times that leaves room
// for any layout of a dump while an endless or huge file still ends.
constexpr size_t kHexDumpInputLimit = 65536;
constexpr size_t kItemText = sizeof(COM_XML_ITEM::text);
constexpr size_t kItemName = sizeof(COM_XML_ITEM::Name);

inline unsigned char lower(unsigned char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool is_hex_digit(char c) noexcept
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// atoi's reading (leading blanks, optional sign, digits) without its
// undefined overflow: values beyond the int range are held at its ends.
int to_int(const char *s) noexcept
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    long long v = 0;
    for (; is_digit(*s); ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-v);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
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

void warn_overflow(const char *function, int line, long len, int size)
{
    COM_Message("MODULES/COMMON", line, function, "Warning! overflow (len, size) = (%d, %d)\n",
                static_cast<int>(len > INT_MAX ? INT_MAX : len), size);
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
            warn_overflow(__func__, __LINE__, len, size);
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
        warn_overflow(__func__, __LINE__, n, size);
        n = size;
    }
    if (n < 1)
        return nullptr;
    std::memcpy(out, after, static_cast<size_t>(n - 1));
    out[n - 1] = '\0';
    return after;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

int COM_ReadHexDataInStrFormat(int fd, char **buf)
try {
    if (fd < 0)
        return -1;
    constexpr size_t kChunk = 80;
    size_t consumed = 0;
    int total = 0;
    for (;;) {
        char chunk[kChunk];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        // End of file and read errors both end the dump.
        if (n <= 0)
            break;
        // An endless source (a device, a FIFO that never closes, bytes
        // without digits) or a file far larger than any dump is refused
        // rather than read for ever.
        consumed += static_cast<size_t>(n);
        if (consumed > kHexDumpInputLimit) {
            COM_REPORT("input longer than %zu bytes refused\n", kHexDumpInputLimit);
            return -1;
        }
        // The digits of this chunk, in order; a NUL ends the chunk.
        char kept[kChunk];
        int k = 0;
        for (ssize_t i = 0; i < n && chunk[i] != '\0'; ++i)
            if (is_hex_digit(chunk[i]))
                kept[k++] = chunk[i];
        if (k == 0)
            continue;
        if (total > INT_MAX - k ||
            !COM_ReallocAndCopyBuf(total + k, static_cast<void *>(buf), total, kept, k)) {
            COM_REPORT("COM_ReallocAndCopyBuf() failed!!\n");
            break;
        }
        total += k;
    }
    return total;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

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

int COM_ParserXml(const char *text, COM_XML_ITEM *item)
try {
    static constexpr char kData[] = "<DATA";
    static constexpr char kDataEnd[] = "</DATA>";
    static constexpr char kNameAttr[] = "Name=\"";
    static constexpr char kItem[] = "<ITEM";
    if (!text || !item)
        return -1;

    // The wanted name, bounded by its field even when the caller left it
    // unterminated.
    char want[kItemName + 1];
    const size_t want_len = strnlen(item->Name, kItemName);
    std::memcpy(want, item->Name, want_len);
    want[want_len] = '\0';

    const char *data = nullptr;
    const char *data_end = nullptr;
    const char *value = nullptr;
    const char *cursor = text;
    for (;;) {
        const char *d = std::strstr(cursor, kData);
        if (!d)
            break;
        const char *e = std::strstr(d + sizeof kData - 1, kDataEnd);
        if (!e) {
            COM_REPORT("Can't find [%s] pattern - [%.20s]\n", kDataEnd, d);
            break;
        }
        const char *attr = std::strstr(d + sizeof kData - 1, kNameAttr);
        if (!attr) {
            COM_REPORT("Can't find [%s] pattern - [%.20s]\n", kNameAttr, d);
            break;
        }
        const char *v = attr + sizeof kNameAttr - 1;
        if (std::strncmp(v, want, want_len) != 0) {
            cursor = attr;
            continue;
        }
        data = d;
        data_end = e;
        value = v;
        break;
    }
    if (!data)
        return -1;

    COM_REPORT("find [%s] pattern - [%.20s]\n", want, value);

    char attr[kAttrSize];
    if (COM_GetStrInDoubleQuotes(data, "type=", attr, sizeof attr)) {
        std::string_view t(attr);
        if (t == "INT")
            item->type = 0;
        else if (t == "VIRTKB" || t == "TEXT")
            item->type = 1;
        else
            item->type = 2;
    }

    if (item->type != 1) {
        if (COM_GetStrInDoubleQuotes(data, "min=", attr, sizeof attr))
            item->min = to_int(attr);
        if (COM_GetStrInDoubleQuotes(data, "max=", attr, sizeof attr))
            item->max = to_int(attr);
        if (COM_GetStrInDoubleQuotes(data, "value=", attr, sizeof attr))
            item->value = to_int(attr);

        // The names of the element's items, joined with commas and cut to
        // what the record holds.
        std::memset(item->text, 0, kItemText);
        size_t used = 0;
        bool full = false;
        const char *pos = data;
        for (;;) {
            const char *it = std::strstr(pos, kItem);
            if (!it || it >= data_end)
                break;
            if (!COM_GetStrInDoubleQuotes(it, "Name=", attr, sizeof attr))
                break;
            if (!full) {
                const size_t alen = std::strlen(attr);
                const size_t need = alen + (used ? 1 : 0);
                if (used + need > kItemText - 1) {
                    warn_overflow(__func__, __LINE__, static_cast<long>(used + need), static_cast<int>(kItemText));
                    full = true;
                }
                if (used && used < kItemText - 1)
                    item->text[used++] = ',';
                const size_t room = kItemText - 1 - used;
                const size_t take = alen < room ? alen : room;
                std::memcpy(item->text + used, attr, take);
                used += take;
                item->text[used] = '\0';
            }
            pos = it + sizeof kItem - 1;
        }
    } else if (COM_GetStrInDoubleQuotes(data, "value=", attr, sizeof attr)) {
        dvr::copy_cut(item->text, kItemText, attr);
    }

    COM_Message("MODULES/COMMON", __LINE__, nullptr, "[%s] (min, max, value)=(%d, %d, %d) - (%d)[%.*s]\n", want,
                item->min, item->max, item->value, item->type, static_cast<int>(strnlen(item->text, kItemText)),
                item->text);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

uint32_t COM_GetBits(const unsigned char **p, int *rem, int n)
try {
    if (n < 1 || n > 32 || *rem < 1 || *rem > 8) {
        COM_REPORT("bad bit request (n, rem) = (%d, %d)\n", n, *rem);
        return 0;
    }
    uint32_t result = 0;
    while (n > 0) {
        const int r = *rem;
        const uint32_t b = **p & ((1u << r) - 1u);
        if (n < r) {
            *rem = r - n;
            return (result << n) | (b >> (r - n));
        }
        // At most 32 bits are taken in all, so nothing wanted is shifted out.
        result = (result << r) | b;
        n -= r;
        ++*p;
        *rem = 8;
    }
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

int COM_ParserVideoObjectLayer(const unsigned char *data, int *width, int *height, int *rate)
try {
    const unsigned char *p = data;
    int rem = 8;
    auto bits = [&](int n) { return COM_GetBits(&p, &rem, n); };

    bits(1); // random accessible
    bits(8); // object type indication
    uint32_t verid = 1;
    if (bits(1)) { // object layer identifier
        verid = bits(4);
        bits(3); // priority
    }
    if (bits(4) == 15) { // extended pixel aspect ratio
        bits(8);
        bits(8);
    }
    if (bits(1)) { // control parameters
        bits(2); // chroma format
        bits(1); // low delay
        if (bits(1)) { // VBV parameters
            static constexpr int kVbv[] = {15, 1, 15, 1, 15, 1, 3, 11, 1, 15, 1};
            for (int n : kVbv)
                bits(n);
        }
    }
    const uint32_t shape = bits(2);
    if (shape == 3 && verid != 1)
        bits(4); // shape extension
    bits(1);     // marker
    const uint32_t resolution = bits(16);
    bits(1); // marker
    uint32_t increment = 0;
    if (bits(1)) { // fixed rate
        int width_bits = 1;
        while (width_bits < 16 && (1u << width_bits) < resolution)
            ++width_bits;
        increment = bits(width_bits);
    }

    if (shape != 0)
        return -1;
    bits(1);
    const uint32_t w = bits(13);
    bits(1);
    const uint32_t h = bits(13);
    bits(1);
    if (w == 0 || h == 0 || w > 1280 || h > 1024)
        return -1;

    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    if (increment != 0)
        *rate = static_cast<int>(resolution * 100 / increment);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

unsigned char COM_BitReverse(unsigned char value)
try {
    unsigned v = value;
    v = ((v & 0xF0u) >> 4) | ((v & 0x0Fu) << 4);
    v = ((v & 0xCCu) >> 2) | ((v & 0x33u) << 2);
    v = ((v & 0xAAu) >> 1) | ((v & 0x55u) << 1);
    return static_cast<unsigned char>(v);
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

void *COM_MemCopyBetweenRingBuf(void *dst, int dpos, int dsize, const void *src, int spos, int ssize, int count)
try {
    // Positions must lie within their rings and the count must fit the
    // smaller ring; anything else would reach outside the buffers.
    if (count < 0 || dpos < 0 || spos < 0 || (dsize > 0 && (dpos > dsize || count > dsize)) ||
        (ssize > 0 && (spos > ssize || count > ssize))) {
        COM_REPORT("bad ring copy (dpos, dsize, spos, ssize, count) = (%d, %d, %d, %d, %d)\n", dpos, dsize, spos,
                   ssize, count);
        return nullptr;
    }
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    const size_t n = static_cast<size_t>(count);
    const size_t droom = dsize > 0 ? static_cast<size_t>(dsize - dpos) : n;
    const size_t sroom = ssize > 0 ? static_cast<size_t>(ssize - spos) : n;
    unsigned char *const dat = d + dpos;
    const unsigned char *const sat = s + spos;

    if (droom >= n && sroom >= n) {
        std::memmove(dat, sat, n);
        return dat;
    }
    if (droom >= n) { // only the source wraps
        std::memmove(dat, sat, sroom);
        std::memmove(dat + sroom, s, n - sroom);
        return dat + sroom;
    }
    if (sroom >= n) { // only the destination wraps
        std::memmove(dat, sat, droom);
        std::memmove(d, sat + droom, n - droom);
        return d;
    }
    if (sroom < droom) { // both wrap, the source first
        std::memmove(dat, sat, sroom);
        std::memmove(dat + sroom, s, droom - sroom);
        std::memmove(d, s + (droom - sroom), n - droom);
        return d;
    }
    // both wrap, the destination first or together
    std::memmove(dat, sat, droom);
    std::memmove(d, sat + droom, sroom - droom);
    std::memmove(d + (sroom - droom), s, n - sroom);
    return d + (sroom - droom);
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

int COM_ShowByteByByte(const char *title, const unsigned char *bytes, int len)
try {
    std::printf("[ %s ]\n====\n", title);
    for (int i = 0; i < len; ++i) {
        std::printf("%02X ", bytes[i]);
        if ((i + 1) % 16 == 0)
            std::printf("\n");
    }
    return std::printf("%s====\n", (len > 0 && len % 16 != 0) ? "\n" : "");
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

} // extern "C"
