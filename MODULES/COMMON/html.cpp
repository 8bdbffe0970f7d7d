// HTML tag stripping, for pages fetched with the HTTP client.
#include <climits>
#include <cstdlib>

#include "dvr_internal.h"

namespace {
constexpr int kFirstOutputSize = 256;

bool is_break_tag(const char *after_lt) noexcept
{
    return (after_lt[0] == 'b' || after_lt[0] == 'B') && (after_lt[1] == 'r' || after_lt[1] == 'R');
}
} // namespace

extern "C" int COM_StripHtmlCode(char *html, char **out)
{
    if (!html || !out) {
        COM_REPORT("invalid argument : (html, out) = (%p, %p)\n", static_cast<void *>(html),
                   static_cast<void *>(out));
        return -1;
    }
    int stored = 0;
    int size = 0; // bytes of *out this call has grown it to
    bool in_tag = false;
    bool break_tag = false;
    for (char *p = html; *p; ++p) {
        char c = *p;
        if (!in_tag) {
            if (c == '<') {
                in_tag = true;
                break_tag = is_break_tag(p + 1);
                continue;
            }
        } else {
            if (c != '>')
                continue;
            in_tag = false;
            if (!break_tag)
                continue;
            *p = '\n';
            c = '\n';
        }
        // Room for this character and the terminator; the block grows in
        // doubling steps so that large pages cost linear time.
        if (stored + 2 > size) {
            if (size > INT_MAX / 2) {
                COM_REPORT("COM_ReallocAndCopyBuf(%d) error\n", INT_MAX);
                break;
            }
            int want = size ? size * 2 : kFirstOutputSize;
            if (!COM_ReallocAndCopyBuf(want, out, stored, &c, 1)) {
                COM_REPORT("COM_ReallocAndCopyBuf(%d) error\n", want);
                break;
            }
            size = want;
            ++stored;
            continue;
        }
        (*out)[stored++] = c;
    }
    if (stored == 0)
        return -1;
    (*out)[stored] = '\0';
    // Hand back a block of the text's size; a failure keeps the larger one,
    // which is terminated as well.
    if (size > stored + 1)
        COM_ReallocAndCopyBuf(stored + 1, out, stored, "", 1);
    return stored + 1;
}

extern "C" int COM_GetStrippedHtml(const char *url, char **out, COM_HTTP_AUTH *auth)
{
    if (!out) {
        COM_REPORT("invalid argument : out is NULL\n");
        return -1;
    }
    struct Content {
        char *p = nullptr;
        ~Content() { std::free(p); }
    } content;
    int r = COM_GetHttpContent(url, &content.p, auth);
    if (r < 1)
        return r;
    return COM_StripHtmlCode(content.p, out);
}
