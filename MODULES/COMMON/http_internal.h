// Read side of the HTTP client, shared by the exchange and the fuzz
// targets. C++ only, never installed.
#ifndef DVRPLAT_HTTP_INTERNAL_H
#define DVRPLAT_HTTP_INTERNAL_H

#include <cstddef>

#include "report.h"

namespace dvr {

// Bytes asked of each receive.
inline constexpr size_t kHttpChunkSize = 4096;

// The library-wide content limit (COM_SetHttpMaxContent).
int http_max_content() noexcept;

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

    // Takes n received bytes (at most kHttpChunkSize). Returns true when
    // reading should stop (the body is complete or the response failed).
    bool feed(const char *chunk, size_t n);

    // Once the header is complete, a receive may land straight in the
    // content: body_room() gives the block's free room (grown when none is
    // left) at dst and how many bytes it takes, up to the rest of a
    // Content-Length; commit() then takes the n bytes written there, with
    // the same result as feed(). 0 when the body is complete, the response
    // failed or the block cannot grow: the receive then goes through
    // feed(), which stores what it can and counts what it cannot.
    size_t body_room(char *&dst);
    bool commit(size_t n);

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
    // stores the header when asked. True when the response failed.
    bool start_body(size_t end);
    // Body bytes, by the framing the header chose.
    bool body(const char *p, size_t n);
    bool chunked(const char *p, size_t n);
    bool fail(int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
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

} // namespace dvr

#endif
