// The response side of the HTTP client, fed from a buffer: the
// Content-Length reader, the Digest challenge reader (and the
// authorisation text built from what it read), and the read phase that
// splits header from body, with chunk sizes taken from the input.
//
// Input: two bytes of chunk size, one flag byte (bit 0: keep the header),
// then the response bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "COMMON.h"
#include "http_internal.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

template <size_t N>
bool terminated(const char (&f)[N])
{
    return std::memchr(f, '\0', N) != nullptr;
}

// Where the body starts in the whole response: just past the first blank
// line ("\r\n\r\n" or "\n\n"), npos when the header never ends.
size_t body_start(std::string_view text)
{
    size_t crlf = text.find("\r\n\r\n");
    size_t lf = text.find("\n\n");
    size_t a = crlf == std::string_view::npos ? std::string_view::npos : crlf + 4;
    size_t b = lf == std::string_view::npos ? std::string_view::npos : lf + 2;
    return a < b ? a : b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const size_t step = 1 + ((data[0] | (data[1] << 8)) % dvr::kHttpChunkSize);
    const bool keep = (data[2] & 1) != 0;
    const char *text = reinterpret_cast<const char *>(data + 3);
    const size_t len = size - 3;

    int cl = COM_GetContentLengthInHttpHeader(text, static_cast<int>(len));
    check(cl >= -1);

    // The challenge reader takes a text: it stops at the first NUL.
    std::string z(text, len);
    COM_HTTP_AUTH auth;
    std::memset(&auth, 0, sizeof auth);
    if (COM_GetDigestStringInBuf(z.c_str(), &auth) == 0) {
        check(terminated(auth.realm) && terminated(auth.qop) && terminated(auth.nonce) &&
              terminated(auth.opaque));
        if (auth.nonce[0] != '\0') { // with a nonce no challenge is fetched
            auth.mode = COM_HTTP_AUTH_DIGEST;
            std::strcpy(auth.username, "user");
            std::strcpy(auth.password, "password");
            char out[512];
            int n = COM_GenHttpAuthStr((data[2] & 2) ? "POST" : "GET", "host.test/path?q", &auth, out);
            if (n >= 0) {
                check(static_cast<size_t>(n) == std::strlen(out) && n < 512);
                check(std::string_view(out).substr(static_cast<size_t>(n) - 4) == "\r\n\r\n");
            } else {
                check(out[0] == '\0');
            }
        }
    }

    // The read phase, chunk by chunk.
    char *content = nullptr;
    dvr::HttpResponseReader reader(&content, keep);
    size_t fed = 0;
    bool done = false;
    while (fed < len && !done) {
        size_t n = len - fed < step ? len - fed : step;
        done = reader.feed(text + fed, n);
        fed += n;
    }
    int result = reader.finish();
    check(result >= 0);
    const std::string_view all(text, fed);
    const size_t start = body_start(all);
    check(reader.header_done() == (start != std::string_view::npos));
    if (result == 0) {
        check(content == nullptr);
        check(!keep || fed == 0);
    } else {
        const size_t got = static_cast<size_t>(result - 1);
        check(content[got] == '\0');
        if (keep) {
            // Everything read is stored, header included, in order.
            check(got == fed && std::memcmp(content, text, got) == 0);
        } else {
            // Only the body: whatever followed the header's end, however the
            // chunks cut the header.
            check(start != std::string_view::npos && got == fed - start &&
                  std::memcmp(content, text + start, got) == 0);
        }
    }
    std::free(content);
    return 0;
}
