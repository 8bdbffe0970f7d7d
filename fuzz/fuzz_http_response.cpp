// The response side of the HTTP client, fed from a buffer: the
// Content-Length reader, the Digest challenge reader (and the
// authorisation text built from what it read), and the read phase that
// splits header from body (dropping interim 1xx responses) and decodes
// chunked bodies, with receive sizes taken from the input and a small or
// a large content limit; the body both through the chunk buffer and
// straight into the content.
//
// Input: two bytes of receive size, one flag byte (bit 0: keep the header,
// bit 1: POST for the Digest text, bit 2: a content limit of 64 bytes
// instead of 1 MiB), then the response bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "COMMON.h"
#include "fuzz_quiet.h"
#include "http_internal.h"
#include "report.h"

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

// True when the header at the start of text is that of an interim
// response the reader drops: "HTTP/" and a version, blanks, then a status
// code from 100 to 199 other than 101.
bool interim(std::string_view text)
{
    if (text.substr(0, 5) != "HTTP/")
        return false;
    size_t i = text.find_first_of(" \n", 5);
    if (i == std::string_view::npos)
        return false;
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (i + 3 > text.size())
        return false;
    const std::string_view code = text.substr(i, 3);
    return code[0] == '1' && code[1] >= '0' && code[1] <= '9' && code[2] >= '0' && code[2] <= '9' && code != "101";
}

// Where the final response begins: past every interim response whose
// header ended.
size_t final_start(std::string_view text)
{
    size_t at = 0;
    for (;;) {
        const size_t end = body_start(text.substr(at));
        if (end == std::string_view::npos || !interim(text.substr(at, end)))
            return at;
        at += end;
    }
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

    // The read phase, receive by receive.
    const int limit = (data[2] & 4) ? 64 : (1 << 20);
    struct Run {
        char *content = nullptr;
        int result = 0;
        size_t fed = 0;
        bool header_done = false;
        bool chunked = false;
        int content_length = -1;
        ~Run() { std::free(content); }
    };
    // direct: once the header is complete, the bytes are written straight
    // into the content's free room, as the exchange's receives do.
    auto run = [&](Run &out, size_t receive, bool direct = false) {
        dvr::HttpResponseReader reader(&out.content, keep, limit, dvr::Reporter("MODULES/COMMON", "COM_SubSendHttpCmd"));
        bool done = false;
        while (out.fed < len && !done) {
            size_t n = len - out.fed < receive ? len - out.fed : receive;
            char *room_at = nullptr;
            const size_t room = direct && reader.header_done() ? reader.body_room(room_at) : 0;
            if (room > 0) {
                n = n < room ? n : room;
                std::memcpy(room_at, text + out.fed, n);
                done = reader.commit(n) != dvr::HttpStep::More;
            } else {
                done = reader.feed(text + out.fed, n) != dvr::HttpStep::More;
            }
            out.fed += n;
        }
        out.result = reader.finish();
        out.header_done = reader.header_done();
        out.chunked = reader.chunked();
        out.content_length = reader.content_length();
    };
    Run a;
    run(a, step);
    check(a.result >= -1);
    // The final response, after any interim ones.
    const size_t head = final_start(std::string_view(text, a.fed));
    const std::string_view all(text + head, a.fed - head);
    const size_t start = body_start(all);
    if (a.result == -1) {
        // A refused response hands back no stored bytes.
        check(a.content == nullptr || a.content[0] == '\0');
    } else if (a.result == 0) {
        check(a.content == nullptr);
    } else {
        const size_t got = static_cast<size_t>(a.result - 1);
        check(a.content[got] == '\0');
        check(!a.header_done || start != std::string_view::npos);
        if (!a.header_done) {
            // A header that never ended, kept as it came.
            check(keep && got == all.size() && std::memcmp(a.content, all.data(), got) == 0);
        } else {
            check(start != std::string_view::npos);
            // The body: whatever followed the header's end, however the
            // receives cut the header, up to the Content-Length when there
            // is one (bytes past it in the same receive are no body).
            size_t body = all.size() - start;
            if (a.content_length >= 0 && static_cast<size_t>(a.content_length) < body)
                body = static_cast<size_t>(a.content_length);
            if (keep) {
                // The final header as received comes first.
                check(got >= start && std::memcmp(a.content, all.data(), start) == 0);
                if (!a.chunked)
                    check(got == start + body && std::memcmp(a.content, all.data(), got) == 0);
            } else if (!a.chunked) {
                check(got == body && std::memcmp(a.content, all.data() + start, got) == 0);
            }
        }
        // Within the limits: the kept header and the body.
        if (a.header_done)
            check(got <= (keep ? start : 0) + static_cast<size_t>(limit));
    }
    // Receiving the body straight into the content gives the same result
    // (with a Content-Length, both stop right at its end).
    {
        Run d;
        run(d, step, true);
        if (a.chunked || a.content_length < 0) {
            check(d.result == a.result);
            if (a.result > 0)
                check(std::memcmp(a.content, d.content, static_cast<size_t>(a.result)) == 0);
        } else {
            check((d.result == -1) == (a.result == -1) && d.result <= a.result);
            if (d.result > 0)
                check(d.content[d.result - 1] == '\0' &&
                      std::memcmp(a.content, d.content, static_cast<size_t>(d.result - 1)) == 0);
        }
    }
    // A chunked body, decoded, does not depend on where the receives cut
    // its framing.
    if (a.chunked) {
        Run b;
        run(b, 1 + (step * 7 + 3) % dvr::kHttpChunkSize);
        check(b.result == a.result);
        if (a.result > 0)
            check(std::memcmp(a.content, b.content, static_cast<size_t>(a.result)) == 0);
    }
    return 0;
}
