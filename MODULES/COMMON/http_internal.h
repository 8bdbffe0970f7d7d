// Read side of the HTTP client, shared by the exchange and the fuzz
// targets. C++ only, never installed.
#ifndef DVRPLAT_HTTP_INTERNAL_H
#define DVRPLAT_HTTP_INTERNAL_H

#include <cstddef>

namespace dvr {

// Bytes asked of each receive.
inline constexpr size_t kHttpChunkSize = 4096;

// Collects one response as its chunks arrive: finds the end of the header,
// stores the header too when asked, appends the body bytes to the caller's
// content block (grown with COM_ReallocAndCopyBuf and kept NUL-terminated)
// and says when the body is complete.
//
// The header's end and the Content-Length are looked for in the header
// lines received so far, so a header cut anywhere between two chunks (even
// inside its terminating blank line or inside the Content-Length line) is
// read the same as a header received whole. A missing Content-Length counts
// as 0: the body then ends with the first chunk that carries body bytes,
// or with the header when its chunk carried none. A malformed one leaves
// the length unknown: reading goes on until the peer closes or goes quiet.
class HttpResponseReader {
public:
    HttpResponseReader(char **content, bool keep_header) noexcept
        : content_(content), keep_header_(keep_header) {}
    HttpResponseReader(const HttpResponseReader &) = delete;
    HttpResponseReader &operator=(const HttpResponseReader &) = delete;

    // Takes n received bytes (at most kHttpChunkSize). Returns true when
    // reading should stop.
    bool feed(const char *chunk, size_t n);

    // Ends the response: the bytes appended plus 1 for the terminating NUL,
    // or 0 when nothing was appended.
    int finish();

    bool header_done() const noexcept { return header_done_; }
    int content_length() const noexcept { return content_length_; }

private:
    static constexpr size_t kCarry = 256;
    static constexpr int kFirstContentSize = 16384;
    static constexpr long long kMaxReserve = 8LL << 20;

    // Appends n bytes; expected_after is how many more the body is known
    // to bring. Returns false when the content cannot take any more bytes.
    bool append(const char *p, size_t n, long long expected_after = 0);

    char **content_;
    bool keep_header_;
    bool header_done_ = false;
    bool length_known_ = false;
    int content_length_ = -1;
    long long body_ = 0; // body bytes received so far
    int count_ = 0;      // bytes appended, lost ones included
    int stored_ = 0;     // bytes really held by the content block
    int size_ = 0;       // size of the content block (grown by this reader)
    // The unfinished header line (and the few bytes before it) carried over
    // to the next chunk, followed by that chunk while it is examined.
    size_t carry_len_ = 0;
    char joined_[kCarry + kHttpChunkSize] = {};
};

} // namespace dvr

#endif
