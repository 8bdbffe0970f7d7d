// HTML tag stripping, for pages fetched with the HTTP client.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "boundary.h"
#include "report.h"

namespace {
constexpr long long kFirstOutputSize = 256;

bool is_break_tag(const char *after_lt) noexcept
{
    return (after_lt[0] == 'b' || after_lt[0] == 'B') && (after_lt[1] == 'r' || after_lt[1] == 'R');
}

// The output text of one stripping: a heap block grown in doubling steps,
// so that a large page costs linear time, with room for the terminator
// kept at every step.
class StrippedText {
public:
    StrippedText(char **out, const dvr::Reporter &report) noexcept : out_(out), report_(report) {}

    // Appends n bytes; false (reported) when the block cannot grow.
    bool put(const char *src, size_t n)
    {
        if (n > static_cast<size_t>(INT_MAX - 1 - stored_)) {
            DVR_REPORT_TO(report_, "COM_ReallocAndCopyBuf(%d) error\n", INT_MAX);
            return false;
        }
        const int len = static_cast<int>(n);
        const int need = stored_ + len + 1;
        if (need <= size_) {
            std::memcpy(*out_ + stored_, src, n);
            stored_ += len;
            return true;
        }
        long long doubled = size_ > 0 ? 2LL * size_ : kFirstOutputSize;
        int want = doubled > need ? static_cast<int>(doubled < INT_MAX ? doubled : INT_MAX) : need;
        if (!COM_ReallocAndCopyBuf(want, out_, stored_, src, len)) {
            if (want == need || !COM_ReallocAndCopyBuf(want = need, out_, stored_, src, len)) {
                DVR_REPORT_TO(report_, "COM_ReallocAndCopyBuf(%d) error\n", need);
                return false;
            }
        }
        size_ = want;
        stored_ += len;
        return true;
    }

    // Terminates the text and trims the block to it; the stored count plus
    // 1, or -1 when nothing was stored.
    int finish()
    {
        if (stored_ == 0)
            return -1;
        (*out_)[stored_] = '\0';
        // A failed trim keeps the larger block, terminated as well.
        if (size_ > stored_ + 1)
            COM_ReallocAndCopyBuf(stored_ + 1, out_, stored_, "", 1);
        return stored_ + 1;
    }

private:
    char **out_;
    dvr::Reporter report_;
    int stored_ = 0;
    int size_ = 0; // bytes of *out_ this stripping has grown it to
};

} // namespace

extern "C" int COM_StripHtmlCode(char *html, char **out)
try {
    if (!html || !out) {
        COM_REPORT("invalid argument : (html, out) = (%p, %p)\n", static_cast<void *>(html),
                   static_cast<void *>(out));
        return -1;
    }
    StrippedText text(out, DVR_REPORTER("MODULES/COMMON"));
    char *p = html;
    bool in_tag = false;
    bool break_tag = false;
    while (*p) {
        if (!in_tag) {
            // Text up to the next tag is kept as it is.
            char *lt = ::strchrnul(p, '<');
            if (lt > p && !text.put(p, static_cast<size_t>(lt - p)))
                break;
            if (!*lt)
                break;
            in_tag = true;
            break_tag = is_break_tag(lt + 1);
            p = lt + 1;
        } else {
            // A tag is dropped up to its ">"; a line-break tag leaves a line
            // feed, in the input as in the output.
            char *gt = ::strchrnul(p, '>');
            if (!*gt)
                break;
            in_tag = false;
            p = gt + 1;
            if (break_tag) {
                *gt = '\n';
                if (!text.put(gt, 1))
                    break;
            }
        }
    }
    return text.finish();
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetStrippedHtml(const char *url, char **out, COM_HTTP_AUTH *auth)
try {
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
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
