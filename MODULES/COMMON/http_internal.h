// The HTTP client's parts and what they share: the request (URL, request
// text, line-break guards), the response reader, the authorisation, and
// the exchange over them. C++ only, never installed; the tests and the
// fuzz targets use it too.
#ifndef DVRPLAT_HTTP_INTERNAL_H
#define DVRPLAT_HTTP_INTERNAL_H

#include <cstddef>
#include <cstring>
#include <string_view>

#include <netinet/in.h>

#include "deadline_wait.h"
#include "report.h"

namespace dvr {

inline constexpr const char *kHttpSource = "MODULES/COMMON";
inline constexpr const char *kHttpOverflowFormat = "buffer overflow : (len, limit) = (%d, %d)\n";

// Fixed buffers of one request.
inline constexpr size_t kHttpAuthTextSize = 512;
inline constexpr size_t kHttpHostSize = 80;
inline constexpr size_t kHttpRequestSize = 4096;
inline constexpr size_t kHttpDigestPathSize = 256;
inline constexpr int kHttpDefaultPort = 80;

// A size as a report's int, capped at INT_MAX.
int http_report_size(size_t n) noexcept;

// A fixed text field of the authorisation record, which may fill its
// whole array without a terminator.
template <size_t N>
std::string_view auth_field(const char (&f)[N]) noexcept
{
    return std::string_view(f, strnlen(f, N));
}

// printf-style writer into a fixed buffer that remembers whether the text
// fitted and how long it would have been.
class FixedText {
public:
    FixedText(char *buf, size_t size) noexcept : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void add(const char *fmt, ...) COM_PRINTF_LIKE(2, 3);
    void add_bytes(std::string_view s) noexcept;
    // True when the text and its NUL fitted.
    bool fits() const noexcept { return !failed_ && len_ < size_; }
    size_t length() const noexcept { return len_; }
    // Leaves an empty text after a failure.
    void clear() noexcept
    {
        buf_[0] = '\0';
        len_ = 0;
    }

private:
    char *buf_;
    size_t size_;
    size_t len_ = 0;
    bool failed_ = false;
};

// ---------------------------------------------------------------------
// Request (http_request.cpp)
// ---------------------------------------------------------------------

// A URL, host[:port][/path] with no scheme, split once: the path is the
// URL from its first "/" on (query included), the host part the text
// before it (the whole URL without one), a ":" in it separating a decimal
// port (80 when absent; the number is taken modulo 65536).
struct HttpUrl {
    const char *text = nullptr; // the URL as given (may be null)
    const char *path = nullptr; // from the first "/"; null when there is none ("/" is asked)
    size_t host_part = 0;       // length of host[:port]
    char host[kHttpHostSize] = {}; // the host without its port; empty when host[:port] does not fit
    int port = kHttpDefaultPort;

    // host[:port] and its NUL fit the host field (a longer one is refused,
    // never cut).
    bool host_fits() const noexcept { return host_part < kHttpHostSize; }
    // The path the request asks for and Digest digests.
    std::string_view request_path() const noexcept { return path ? std::string_view(path) : std::string_view("/"); }
};

HttpUrl split_url(const char *url) noexcept;

// What one request carries; the texts are NUL-terminated, cookie and
// path may be null.
struct HttpRequest {
    int post = 0; // 0 GET, 1 POST; any other value sends an empty request
    const char *path = nullptr;
    const char *host = "";
    int port = kHttpDefaultPort;
    const char *cookie = nullptr;
    const char *auth_text = "\r\n"; // closes the header
    const char *body = nullptr;       // with POST
};

// Builds the request text into req (kHttpRequestSize bytes). Returns its
// length, or -1 (reported, req empty) when it does not fit.
int build_request(char *req, const HttpRequest &r, const Reporter &report);

// True when text holds a CR or LF: such a text would end a header line of
// the request and start one of its own.
bool breaks_line(std::string_view text) noexcept;
// Refuses (with a report naming it) a request part that holds CR or LF.
bool line_safe(const char *what, const char *text, const Reporter &report);
// The same for the authorisation record's texts, when it authorises.
bool auth_safe(const COM_HTTP_AUTH *auth, const Reporter &report);

// ---------------------------------------------------------------------
// Authorisation (http_auth.cpp)
// ---------------------------------------------------------------------

// Writes the authorisation text for method and url into out
// (kHttpAuthTextSize bytes; "\r\n" alone without authorisation). For
// Digest without a nonce the challenge is fetched first. Returns the
// text's length (0 for "\r\n"), or -1 (reported in the name of
// COM_GenHttpAuthStr, out empty).
int http_auth_text(const char *method, const HttpUrl &url, COM_HTTP_AUTH *auth, char *out);

// ---------------------------------------------------------------------
// Response (http_response.cpp)
// ---------------------------------------------------------------------

// Bytes asked of each receive.
inline constexpr size_t kHttpChunkSize = 4096;

// The library-wide content limit (COM_SetHttpMaxContent).
int http_max_content() noexcept;

// The fields of a response header named one name (any case), in order:
// each line after the status line that starts with the name, optional
// blanks and ":". Reading stops at the header's blank line or the end of
// the bytes. A folded line (one starting with a blank) continues the field
// before it and is never a field of its own.
class HeaderFields {
public:
    HeaderFields(std::string_view header, std::string_view name) noexcept : h_(header), name_(name) {}
    // The next such field's value, without the blanks and the CR around
    // it; false when there is none.
    bool next(std::string_view &value) noexcept;

private:
    std::string_view h_;
    std::string_view name_;
    size_t pos_ = 0;
};

// The Content-Length of a response header, read from all its fields.
struct ContentLength {
    enum class Kind {
        Absent,    // no field
        Value,     // every field holds value
        Malformed, // every field starts with no digit
        Disagree,  // fields differ: value is the first's, other the one that differs
    };
    Kind kind = Kind::Absent;
    long long value = -1; // capped at INT_MAX; -1 for a field that starts with no digit
    long long other = -1;
};
ContentLength read_content_length(std::string_view header) noexcept;

// What a step of reading a response leads to.
enum class HttpStep {
    More,   // the response goes on: receive more
    Done,   // the body is complete, or the content can take no more: stop and keep it
    Failed, // the response is refused (reported once): stop, finish() wipes it
};

// Collects one response as its chunks arrive: gathers the header (at most
// COM_HTTP_HEADER_MAX bytes) until its blank line, stores it too when asked,
// then appends the body bytes to the caller's content block (grown with
// COM_ReallocAndCopyBuf and kept NUL-terminated) and says when the body is
// complete.
//
// Interim (1xx) responses before the final one are dropped. The body's
// end: a Content-Length ends it at that many bytes; "chunked" transfer
// coding, the only coding taken and only alone, is decoded (the framing is
// not stored) and ends with the last chunk and its trailer; otherwise (no
// or a malformed Content-Length) the body runs until the peer closes.
//
// Failures: a header longer than COM_HTTP_HEADER_MAX, a Content-Length or
// a chunk above the content limit (refused before it is stored), a body
// that passes the limit, broken chunked framing, another transfer coding,
// Content-Length fields that disagree, or a body that ends (finish())
// short of its Content-Length or last chunk: reported once, reading stops,
// and finish() wipes what was stored and returns -1.
class HttpResponseReader {
public:
    // Reports go out under the name of the function reading the response.
    HttpResponseReader(char **content, bool keep_header, int max_content, const Reporter &report) noexcept
        : report_(report), content_(content), keep_header_(keep_header), max_content_(max_content) {}
    ~HttpResponseReader();
    HttpResponseReader(const HttpResponseReader &) = delete;
    HttpResponseReader &operator=(const HttpResponseReader &) = delete;

    // Takes n received bytes (at most kHttpChunkSize).
    HttpStep feed(const char *chunk, size_t n);

    // Once the header is complete, a receive may land straight in the
    // content: body_room() gives the block's free room (grown when none is
    // left) at dst and how many bytes it takes, up to the rest of a
    // Content-Length; commit() then takes the n bytes written there, with
    // the same result as feed(). 0 when the body is complete, the response
    // failed or the block cannot grow: the receive then goes through
    // feed(), which stores what it can and counts what it cannot.
    size_t body_room(char *&dst);
    HttpStep commit(size_t n);

    // Ends the response (the peer closed, or the read time ran out): the
    // bytes appended plus 1 for the terminating NUL, 0 when nothing was
    // appended, -1 when the response failed.
    int finish();

    bool header_done() const noexcept { return header_done_; }
    bool failed() const noexcept { return failed_; }
    bool chunked() const noexcept { return chunked_; }
    int content_length() const noexcept { return content_length_; }

private:
    static constexpr int kFirstContentSize = 16384;
    static constexpr long long kMaxReserve = 8LL << 20;
    // Longest chunk-size line (extensions included) taken.
    static constexpr int kMaxChunkLine = 4096;

    enum class Chunk { Size, Ext, SizeLf, Data, DataCr, DataLf, TrailerStart, TrailerLine, TrailerLf, Done };

    // Appends n bytes; expected_after is how many more the body is known
    // to bring. Bytes already at their place in the block (a receive into
    // body_room()) are not copied. Returns false when the content cannot
    // take any more bytes.
    bool append(const char *p, size_t n, long long expected_after = 0);
    // The size to grow the block to when it must hold need bytes and the
    // body is known to bring expected_after more.
    int grow_size(int need, long long expected_after) const noexcept;
    // Header complete at hdr_[0, end): reads how the body is framed and
    // stores the header when asked.
    HttpStep start_body(size_t end);
    // Body bytes, by the framing the header chose.
    HttpStep body(const char *p, size_t n);
    HttpStep chunked(const char *p, size_t n);
    HttpStep fail(int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    bool grow_room(int want) noexcept;
    // Not noexcept: giving back the block may report (a write).
    void wipe();

    Reporter report_;
    char **content_;
    bool keep_header_;
    int max_content_;
    bool header_done_ = false;
    bool failed_ = false;
    bool grow_reported_ = false;
    bool direct_off_ = false; // the block could not grow: receives go through feed()
    bool chunked_ = false;
    bool done_ = false;
    int content_length_ = -1; // -1: unknown, the body runs until the peer closes
    long long body_ = 0;      // body bytes received so far (decoded when chunked)
    int count_ = 0;           // bytes appended, lost ones included
    int stored_ = 0;          // bytes really held by the content block
    int size_ = 0;            // size of the content block (grown by this reader)
    long long cap_ = 0;       // the most the block needs (header kept plus limit)
    // The header as received so far.
    char *hdr_ = nullptr;
    size_t hdr_len_ = 0;
    // Chunked framing.
    Chunk state_ = Chunk::Size;
    long long chunk_left_ = 0;
    int digits_ = 0;
    int line_len_ = 0;
    size_t trailer_len_ = 0;
};

// Receives the response on sock into reader until the body is complete,
// the response fails, the peer closes or read_time passes; the header in
// chunks, the body straight into the content's free room. A failed
// receive is reported and ends the reading.
void receive_response(int sock, const Deadline &read_time, HttpResponseReader &reader, const Reporter &report);

// ---------------------------------------------------------------------
// Exchange (http.cpp)
// ---------------------------------------------------------------------

// One request of request_len bytes (built and checked) to one address:
// connect, send, read the response into *content. Returns the bytes
// stored plus 1, 0 when nothing was received (or no socket), -1 when the
// connection failed or the response was refused. Reports go out in the
// name of COM_SubSendHttpCmd.
int http_exchange(const sockaddr_in &server, const char *request, int request_len, char **content,
                  bool keep_header);

} // namespace dvr

#endif
