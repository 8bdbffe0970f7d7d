// Tagged item descriptions: one named <ITEM> of a <DATA> block.
#include <climits>
#include <cstddef>
#include <cstring>

#include "text_parsing.h"
#include "boundary.h"
#include "report.h"
#include "text.h"

using dvr::is_digit;
using dvr::warn_overflow;

static_assert(sizeof(COM_XML_ITEM) == 352, "COM_XML_ITEM: 80 + 4 x 4 + 256 bytes");
static_assert(offsetof(COM_XML_ITEM, Name) == 0);
static_assert(offsetof(COM_XML_ITEM, type) == 80);
static_assert(offsetof(COM_XML_ITEM, min) == 84);
static_assert(offsetof(COM_XML_ITEM, max) == 88);
static_assert(offsetof(COM_XML_ITEM, value) == 92);
static_assert(offsetof(COM_XML_ITEM, text) == 96);

namespace {

constexpr size_t kAttrSize = 80;            // work buffer of one quoted attribute value
constexpr size_t kItemText = sizeof(COM_XML_ITEM::text);
constexpr size_t kItemName = sizeof(COM_XML_ITEM::Name);

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

} // namespace

extern "C" {

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
                    warn_overflow(DVR_REPORTER("MODULES/COMMON"), static_cast<long>(used + need),
                                  static_cast<int>(kItemText));
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
} // extern "C"
