// labels: threads
// The HTTP client's response side with no server: the header's fields,
// Content-Length, and the reader fed a response cut at every place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "COMMON.h"
#include "http_client.h"
#include "http_internal.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::http::Content;

// ---------------------------------------------------------------------
// The response reader alone: framing cut at every place
// ---------------------------------------------------------------------

namespace {

// Feeds text to a reader in pieces cut at the given places; gives back the
// result and the content.
std::pair<int, std::string> read_response(const std::string &text, bool keep, int limit,
                                          const std::vector<size_t> &cuts)
{
    Content c;
    int r;
    {
        dvr::HttpResponseReader reader(&c.p, keep, limit, dvr::Reporter("MODULES/COMMON", "COM_SubSendHttpCmd"));
        size_t from = 0;
        bool stop = false;
        std::vector<size_t> ends = cuts;
        ends.push_back(text.size());
        for (size_t to : ends) {
            while (!stop && from < to) {
                size_t n = std::min(to - from, dvr::kHttpChunkSize);
                stop = reader.feed(text.data() + from, n) != dvr::HttpStep::More;
                from += n;
            }
        }
        r = reader.finish();
    }
    // A refused response leaves no stored bytes, whether the block had
    // grown (an empty text) or not (null).
    std::string bytes;
    if (r > 0)
        bytes = c.bytes(r);
    else if (c.p)
        bytes = r < 0 && c.p[0] == '\0' ? "" : "(empty block)";
    else
        bytes = r < 0 ? "" : "(null)";
    return {r, bytes};
}

} // namespace

TEST(HttpHeader, ContentLengthCases)
{
    struct Case {
        const char *text;
        int expected;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", 10},
        {"HTTP/1.1 200 OK\r\ncontent-length:7\r\nServer: x\r\n\r\n", 7},
        {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", 0},                // absent
        {"HTTP/1.1 200 OK\r\nContent-Length:\r\n 5\r\n\r\n", -1},    // line ends before a digit
        {"HTTP/1.1 200 OK\r\nContent-Length: none\r\n\r\n", -1},     // no digit on its line
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n", 2147483647}, // saturates
        {"Content-Length:", 0}, // too close to the end: needs two bytes after the name
    };
    for (const auto &c : cases)
        EXPECT_EQ(COM_GetContentLengthInHttpHeader(c.text, static_cast<int>(std::strlen(c.text))),
                  c.expected)
            << c.text;
    // Only the given bytes are looked at.
    const char *t = "HTTP/1.1 200 OK\r\nContent-Length: 42\r\n\r\n";
    EXPECT_EQ(COM_GetContentLengthInHttpHeader(t, 16), 0);
    EXPECT_EQ(COM_GetContentLengthInHttpHeader(t, 34), 4);
    EXPECT_EQ(COM_GetContentLengthInHttpHeader(nullptr, 10), 0);
}

// The Content-Length the public reader gives and the one the body start
// takes come from the same fields: whole header lines after the status
// line, named in any case, a folded line never a field of its own, and
// nothing past the blank line.
TEST(HttpHeader, ContentLengthIsReadFromWholeFieldLinesOnly)
{
    struct Case {
        const char *name;
        std::string response; // then the peer closes
        int public_result;    // COM_GetContentLengthInHttpHeader over all the bytes
        int length;           // the reader's: -1 unknown (the body runs until the close)
        const char *body;     // nullptr: refused
    } cases[] = {
        {"another field ending in the name", "HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\n\r\nhello", 0, -1, "hello"},
        {"another field starting with the name", "HTTP/1.1 200 OK\r\nContent-Lengthy: 3\r\n\r\nhello", 0, -1,
         "hello"},
        {"the name in another field's value",
         "HTTP/1.1 200 OK\r\nVary: Content-Length\r\nContent-Length: 5\r\n\r\nhello", 5, 5, "hello"},
        {"the name on a folded line", "HTTP/1.1 200 OK\r\nX-Note: a\r\n Content-Length: 9\r\n\r\nhello", 0, -1,
         "hello"},
        {"odd case, blanks before the colon", "HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh \t: 5 \r\n\r\nhello", 5, 5, "hello"},
        {"two fields that agree", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\nhello", 5, 5,
         "hello"},
        {"two fields that disagree", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\nhello", -1,
         -1, nullptr},
        {"the name in the body", "HTTP/1.1 200 OK\r\n\r\nContent-Length: 3\r\nhello", 0, -1,
         "Content-Length: 3\r\nhello"},
        {"bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 5\n\nhello", 5, 5, "hello"},
        {"a sign is no digit", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello", -1, -1, "hello"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(COM_GetContentLengthInHttpHeader(k.response.data(), static_cast<int>(k.response.size())),
                  k.public_result);
        int length = -1;
        std::pair<int, std::string> whole, bytewise;
        {
            // The refusal's report is no concern here.
            CaptureStdout cap;
            Content c;
            dvr::HttpResponseReader reader(&c.p, false, 64, dvr::Reporter("MODULES/COMMON", "COM_SubSendHttpCmd"));
            reader.feed(k.response.data(), k.response.size());
            length = reader.content_length();
            whole = read_response(k.response, false, 64, {});
            std::vector<size_t> bytes;
            for (size_t i = 1; i < k.response.size(); ++i)
                bytes.push_back(i);
            bytewise = read_response(k.response, false, 64, bytes);
        }
        if (k.body) {
            EXPECT_EQ(length, k.length);
        }
        const auto want = k.body ? std::make_pair(static_cast<int>(std::strlen(k.body)) + 1, std::string(k.body))
                                 : std::make_pair(-1, std::string());
        EXPECT_EQ(whole, want);
        EXPECT_EQ(bytewise, want) << "fed a byte at a time";
    }
}

TEST(HttpReader, FramingsReadTheSameWhereverTheyAreCut)
{
    const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string name;
        std::string text;
        int limit;
        int result;       // for the body alone; -1 refused
        std::string body; // the body handed back
    } cases[] = {
        {"chunked", chunked_head + "5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n", 64, 12,
         "hello world"},
        {"chunked, capitals and bare line feeds", chunked_head + "A\n0123456789\n0\n\n", 64, 11, "0123456789"},
        {"chunked with \"chunked\" in capitals",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: CHUNKED\r\nContent-Length: 3\r\n\r\n2\r\nab\r\n0\r\n\r\n", 64, 3,
         "ab"},
        {"chunked after another coding",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: gzip, CHUNKED\r\n\r\n2\r\nab\r\n0\r\n\r\n", 64, -1, ""},
        {"interim responses first",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: <a>\r\n\r\nHTTP/1.1 200 OK\r\n"
         "Content-Length: 4\r\n\r\nabcd",
         64, 5, "abcd"},
        {"close-delimited", "HTTP/1.0 200 OK\r\nServer: s\r\n\r\nfirst second", 64, 13, "first second"},
        {"Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd", 64, 5, "abcd"},
        {"Content-Length 0", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 64, 0, "(null)"},
        {"Content-Length at the limit", "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n12345678", 8, 9, "12345678"},
        {"Content-Length over the limit", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n123456789", 8, -1, ""},
        {"close-delimited over the limit", "HTTP/1.0 200 OK\r\n\r\n123456789", 8, -1, ""},
        {"chunk over the limit", chunked_head + "9\r\n123456789\r\n0\r\n\r\n", 8, -1, ""},
        {"chunks over the limit", chunked_head + "5\r\n12345\r\n4\r\n6789\r\n0\r\n\r\n", 8, -1, ""},
        {"chunk size of 40 digits", chunked_head + std::string(40, 'f') + "\r\n", 1 << 20, -1, ""},
        {"chunk size missing", chunked_head + "\r\nabc\r\n0\r\n\r\n", 64, -1, ""},
        {"chunk size not hexadecimal", chunked_head + "5x\r\nhello\r\n0\r\n\r\n", 64, -1, ""},
        {"chunk longer than its size", chunked_head + "3\r\nhello\r\n0\r\n\r\n", 64, -1, ""},
    };
    for (const Case &k : cases) {
        for (bool keep : {false, true}) {
            SCOPED_TRACE(k.name + (keep ? ", header kept" : ""));
            // The final response's header (interim ones are dropped).
            const size_t start = k.text.rfind("HTTP/1.");
            const size_t head = k.text.find("\r\n\r\n", start) + 4;
            std::string want = k.body;
            int want_r = k.result;
            if (keep && k.result >= 0) {
                // The header as received, then the body without framing.
                std::string header = k.text.substr(start, head - start);
                want = header + (k.result > 0 ? k.body : "");
                want_r = static_cast<int>(want.size()) + 1;
            }
            auto whole = read_response(k.text, keep, k.limit, {});
            EXPECT_EQ(whole.first, want_r);
            if (want_r >= 0) {
                EXPECT_EQ(whole.second, want);
            } else {
                EXPECT_EQ(whole.second, "");
            }
            // Cut in two at every place, and fed a byte at a time.
            for (size_t cut = 1; cut < k.text.size(); ++cut)
                ASSERT_EQ(read_response(k.text, keep, k.limit, {cut}), whole) << "cut at " << cut;
            std::vector<size_t> bytes;
            for (size_t i = 1; i < k.text.size(); ++i)
                bytes.push_back(i);
            EXPECT_EQ(read_response(k.text, keep, k.limit, bytes), whole);
        }
    }
    // A body cut off before its last chunk or its length is refused.
    CaptureStdout cap;
    EXPECT_EQ(read_response(chunked_head + "5\r\nhello\r\n", false, 64, {}), std::make_pair(-1, std::string()));
    EXPECT_EQ(read_response("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nhello", true, 64, {}),
              std::make_pair(-1, std::string()));
    const std::string out = cap.take();
    EXPECT_NE(out.find("chunked body ends before its last chunk\n"), std::string::npos) << out;
    EXPECT_NE(out.find("body cut short : 5 of 6 bytes\n"), std::string::npos) << out;
}

TEST(HttpReader, HeaderPastItsLimitIsRefused)
{
    std::string header = "HTTP/1.1 200 OK\r\n";
    while (header.size() < COM_HTTP_HEADER_MAX)
        header += "X-Fill: " + std::string(100, 'f') + "\r\n";
    CaptureStdout cap;
    auto r = read_response(header + "\r\nbody", true, 64, {});
    EXPECT_EQ(r.first, -1);
    EXPECT_EQ(r.second, "");
    EXPECT_NE(cap.take().find("response header longer than 65536 bytes"), std::string::npos);
    // Just within: taken.
    std::string fits = "HTTP/1.1 200 OK\r\nX: " +
                       std::string(COM_HTTP_HEADER_MAX - 21 - 4, 'f') + "\r\n\r\nbody";
    auto ok = read_response(fits, false, 64, {});
    EXPECT_EQ(ok.first, 5);
}

TEST(HttpReader, ChunkSizeLineWithItsExtensionsIsBounded)
{
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    // The size line with its extensions and its CR fills 4096 bytes: read.
    const std::string fits = "5;" + std::string(4093, 'e');
    ASSERT_EQ(fits.size() + 1, 4096u);
    EXPECT_EQ(read_response(head + fits + "\r\nhello\r\n0\r\n\r\n", false, 64, {}),
              std::make_pair(6, std::string("hello")));
    // One byte more: refused, however the line is cut.
    const std::string over = fits + "e";
    for (std::vector<size_t> cuts : {std::vector<size_t>{}, std::vector<size_t>{head.size() + 2000}}) {
        CaptureStdout cap;
        EXPECT_EQ(read_response(head + over + "\r\nhello\r\n0\r\n\r\n", false, 64, cuts),
                  std::make_pair(-1, std::string()));
        EXPECT_NE(cap.take().find("chunked framing error : chunk size line too long\n"), std::string::npos);
    }
    // A line that never ends is refused at the bound, not read on.
    CaptureStdout cap;
    EXPECT_EQ(read_response(head + "5;" + std::string(100000, 'e'), false, 64, {}).first, -1);
    cap.take();
}

TEST(HttpLimits, ContentLimitIsLibraryWide)
{
    EXPECT_EQ(COM_SetHttpMaxContent(1000), COM_HTTP_CONTENT_MAX_DEFAULT);
    EXPECT_EQ(COM_SetHttpMaxContent(0), 1000);  // below 1 changes nothing
    EXPECT_EQ(COM_SetHttpMaxContent(-5), 1000);
    EXPECT_EQ(COM_SetHttpMaxContent(COM_HTTP_CONTENT_MAX_DEFAULT), 1000);
}
