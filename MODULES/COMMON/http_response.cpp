// The HTTP client's response: the header's fields, the reader that
// collects a response as it arrives (interim responses dropped, the body
// framed by its length, chunked or the peer's close), and the receive
// loop that feeds it.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>

#include "boundary.h"
#include "deadline_wait.h"
#include "hex.h"
#include "http_internal.h"
#include "report.h"

namespace dvr {

namespace {

std::atomic<int> g_max_content{COM_HTTP_CONTENT_MAX_DEFAULT};

// Longest part of a refused field value a report shows.
constexpr size_t kMaxReportedValue = 64;

bool equal_nocase(const char *p, std::string_view word) noexcept
{
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(p[i])) !=
            std::tolower(static_cast<unsigned char>(word[i])))
            return false;
    return true;
}

// Position just past the first blank line ("\r\n\r\n" or "\n\n") of
// buf[0, n), 0 when there is none.
size_t header_end(const char *buf, size_t n) noexcept
{
    for (size_t i = 0; i + 1 < n; ++i) {
        if (buf[i] != '\n')
            continue;
        if (buf[i + 1] == '\n')
            return i + 2;
        if (i + 2 < n && buf[i + 1] == '\r' && buf[i + 2] == '\n' && i > 0 && buf[i - 1] == '\r')
            return i + 3;
    }
    return 0;
}

// A field's value without the blanks and the CR around it.
std::string_view trimmed(std::string_view v) noexcept
{
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r'))
        v.remove_suffix(1);
    return v;
}

// True for the status line of an interim (1xx) response, which another
// response follows on the same connection: "HTTP/", the version, a blank,
// then a status code 100 to 199 other than 101 (the connection would then
// leave HTTP, and what follows is no response of this client's).
bool interim_status(const char *h, size_t n)
{
    constexpr std::string_view kProto = "HTTP/";
    if (n < kProto.size() || std::string_view(h, kProto.size()) != kProto)
        return false;
    size_t i = kProto.size();
    while (i < n && h[i] != ' ' && h[i] != '\n')
        ++i;
    while (i < n && h[i] == ' ')
        ++i;
    if (i + 3 > n || h[i] != '1' || !std::isdigit(static_cast<unsigned char>(h[i + 1])) ||
        !std::isdigit(static_cast<unsigned char>(h[i + 2])))
        return false;
    return !(h[i + 1] == '0' && h[i + 2] == '1');
}

// The number a Content-Length value starts with (blanks first), capped at
// INT_MAX; -1 when it starts with no digit.
long long length_value(std::string_view v) noexcept
{
    if (v.empty() || !std::isdigit(static_cast<unsigned char>(v.front())))
        return -1;
    long long n = 0;
    for (char c : v) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            break;
        n = std::min<long long>(n * 10 + (c - '0'), INT_MAX);
    }
    return n;
}

} // namespace

int http_max_content() noexcept
{
    return g_max_content.load(std::memory_order_relaxed);
}

bool HeaderFields::next(std::string_view &value) noexcept
{
    const size_t n = h_.size();
    while (pos_ < n) {
        const size_t start = pos_;
        const size_t lf = h_.find('\n', start);
        const size_t end = lf == std::string_view::npos ? n : lf;
        pos_ = end + 1;
        if (start == 0)
            continue; // the status line
        // The blank line ends the header.
        if (end == start || (end == start + 1 && h_[start] == '\r'))
            break;
        if (end - start <= name_.size() || !equal_nocase(h_.data() + start, name_))
            continue;
        size_t i = start + name_.size();
        while (i < end && (h_[i] == ' ' || h_[i] == '\t'))
            ++i;
        if (i < end && h_[i] == ':') {
            value = trimmed(h_.substr(i + 1, end - i - 1));
            return true;
        }
    }
    pos_ = n;
    return false;
}

ContentLength read_content_length(std::string_view header) noexcept
{
    ContentLength cl;
    HeaderFields fields(header, "Content-Length");
    std::string_view value;
    while (fields.next(value)) {
        const long long v = length_value(value);
        if (cl.kind == ContentLength::Kind::Absent) {
            cl.value = v;
            cl.kind = v < 0 ? ContentLength::Kind::Malformed : ContentLength::Kind::Value;
        } else if (v != cl.value) {
            cl.kind = ContentLength::Kind::Disagree;
            cl.other = v;
            break;
        }
    }
    return cl;
}

HttpResponseReader::~HttpResponseReader()
{
    std::free(hdr_);
}

HttpStep HttpResponseReader::fail(int line, const char *fmt, ...)
{
    if (!failed_) {
        char text[160];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        report_(line, "%s", text);
    }
    failed_ = true;
    return HttpStep::Failed;
}

void HttpResponseReader::wipe()
{
    if (size_ > 0 && *content_) {
        std::memset(*content_, 0, static_cast<size_t>(size_));
        // Give back the block's room: one byte holding the empty text.
        if (COM_ReallocAndCopyBuf(1, content_, 0, "", 1))
            size_ = 1;
    }
    count_ = stored_ = 0;
}

int HttpResponseReader::grow_size(int need, long long expected_after) const noexcept
{
    // The block grows in doubling steps, as a step per receive would make
    // a large download cost quadratic time. The rest of a body of known
    // length is given room at once, but never more than a doubling or a
    // few MiB ahead of what arrived, so that a false length cannot claim
    // much memory; and never more than the limits allow. finish() trims
    // the block.
    long long target;
    if (expected_after > 0)
        target = need + std::min(expected_after, std::max<long long>(kMaxReserve, size_));
    else
        target = size_ > 0 ? 2LL * size_ : static_cast<long long>(kFirstContentSize);
    if (cap_ > 0 && target > cap_)
        target = cap_;
    return target > need ? static_cast<int>(target < INT_MAX ? target : INT_MAX) : need;
}

bool HttpResponseReader::append(const char *p, size_t n, long long expected_after)
{
    if (n == 0)
        return true;
    if (n > static_cast<size_t>(INT_MAX - 1 - count_)) {
        DVR_REPORT_TO(report_, kHttpOverflowFormat, INT_MAX, INT_MAX - 1);
        return false;
    }
    const int len = static_cast<int>(n);
    // Room for the bytes and a terminator; finish() covers with zeros
    // whatever follows the stored bytes (lost parts included).
    const int need = count_ + len + 1;
    if (need <= size_) {
        // A receive into the free room left its bytes in place; decoded
        // chunks move down over their framing.
        char *to = *content_ + stored_;
        if (to != p)
            std::memmove(to, p, n);
        stored_ += len;
    } else {
        // The bytes may lie in the block itself (chunks decoded in place):
        // they move with it.
        const uintptr_t base = reinterpret_cast<uintptr_t>(*content_), at = reinterpret_cast<uintptr_t>(p);
        const bool inside = size_ > 0 && base != 0 && at >= base && at - base < static_cast<uintptr_t>(size_);
        int want = grow_size(need, expected_after);
        if (grow_room(want) || (want != need && grow_room(want = need))) {
            std::memmove(*content_ + stored_, inside ? *content_ + (at - base) : p, n);
            stored_ += len;
            size_ = want;
        } else if (!grow_reported_) {
            // Reported once: a long body would otherwise give a line per
            // lost chunk.
            grow_reported_ = true;
            DVR_REPORT_TO(report_, "COM_ReallocAndCopyBuf(%d) error\n", need);
        }
    }
    count_ += len;
    return true;
}

bool HttpResponseReader::grow_room(int want) noexcept
{
    // The room is for the body's bytes to fill, so it is not zeroed first
    // (for a large body that would be a second pass over every byte): only
    // the terminator after the stored bytes is written. finish() zeroes
    // what stays unfilled.
    void *grown = std::realloc(*content_, static_cast<size_t>(want));
    if (!grown)
        return false;
    *content_ = static_cast<char *>(grown);
    (*content_)[stored_] = '\0';
    return true;
}

size_t HttpResponseReader::body_room(char *&dst)
{
    // Until a byte is stored the caller's block is left as it is: the
    // first body bytes go through feed().
    if (!header_done_ || failed_ || done_ || direct_off_ || count_ == 0)
        return 0;
    long long left = -1; // what the body still brings; -1 unknown
    if (!chunked_ && content_length_ >= 0) {
        left = content_length_ - body_;
        if (left <= 0)
            return 0;
    }
    if (size_ - count_ - 1 <= 0) {
        // Room for at least one more byte and the terminator, within the
        // limits (past them feed() says why the response fails).
        if (count_ > INT_MAX - 2 || (cap_ > 0 && count_ + 2 > cap_))
            return 0;
        const int need = count_ + 2;
        int want = grow_size(need, left > 0 ? left - 1 : 0);
        if (!grow_room(want)) {
            // Short of memory: one receive's room, else the receives go
            // through feed() and what cannot be stored is counted.
            const long long small = std::min<long long>(
                static_cast<long long>(count_) + 1 + static_cast<long long>(kHttpChunkSize),
                cap_ > 0 ? cap_ : INT_MAX);
            if (small >= want || !grow_room(static_cast<int>(small))) {
                direct_off_ = true;
                return 0;
            }
            want = static_cast<int>(small);
        }
        size_ = want;
    }
    size_t room = static_cast<size_t>(size_ - count_ - 1);
    if (left > 0 && static_cast<unsigned long long>(left) < room)
        room = static_cast<size_t>(left);
    dst = *content_ + stored_;
    return room;
}

HttpStep HttpResponseReader::commit(size_t n)
{
    if (failed_)
        return HttpStep::Failed;
    if (done_ || size_ <= 0)
        return HttpStep::Done;
    n = std::min(n, static_cast<size_t>(size_ - count_ - 1));
    const int end = stored_ + static_cast<int>(n);
    const HttpStep step = body(*content_ + stored_, n);
    // Received bytes the body did not keep (chunked framing, bytes after
    // the last chunk) lie past the content: the block stays zero there.
    if (!failed_ && end > stored_)
        std::memset(*content_ + stored_, 0, static_cast<size_t>(end - stored_));
    if (!failed_ && stored_ < size_)
        (*content_)[stored_] = '\0';
    return step;
}

HttpStep HttpResponseReader::start_body(size_t end)
{
    header_done_ = true;
    if (keep_header_)
        cap_ = static_cast<long long>(end);
    cap_ += static_cast<long long>(max_content_) + 1;
    const std::string_view header(hdr_, end);
    // Codings: only chunked is decoded, and only as the one coding named
    // (the request asks for none); any other is refused, as its bytes
    // could only be handed back still coded.
    HeaderFields codings(header, "Transfer-Encoding");
    std::string_view coding, another;
    if (codings.next(coding)) {
        if (coding.size() != 7 || !equal_nocase(coding.data(), "chunked") || codings.next(another))
            return fail(__LINE__, "Transfer-Encoding \"%.*s\" refused : only chunked is decoded\n",
                        static_cast<int>(std::min<size_t>(coding.size(), kMaxReportedValue)), coding.data());
        chunked_ = true;
    } else {
        // Content-Length fields that disagree leave the body's end
        // unknown; one that starts with no digit is no length.
        const ContentLength cl = read_content_length(header);
        if (cl.kind == ContentLength::Kind::Disagree)
            return fail(__LINE__, "Content-Length fields disagree : %lld and %lld\n", cl.value, cl.other);
        if (cl.kind == ContentLength::Kind::Value)
            content_length_ = static_cast<int>(cl.value);
        if (content_length_ > max_content_)
            return fail(__LINE__, "Content-Length %d over the limit of %d bytes\n", content_length_,
                        max_content_);
    }
    if (keep_header_ && !append(hdr_, end))
        return HttpStep::Done;
    return HttpStep::More;
}

HttpStep HttpResponseReader::body(const char *p, size_t n)
{
    if (chunked_)
        return chunked(p, n);
    if (content_length_ < 0 && body_ + static_cast<long long>(n) > max_content_)
        return fail(__LINE__, "content longer than the limit of %d bytes\n", max_content_);
    // Bytes past the Content-Length that came in the same receive as the
    // body's end belong to no body: they are dropped, not stored.
    if (content_length_ >= 0 && body_ + static_cast<long long>(n) > content_length_)
        n = static_cast<size_t>(std::max<long long>(content_length_ - body_, 0));
    long long expected_after = 0;
    if (content_length_ > 0 && body_ + static_cast<long long>(n) < content_length_)
        expected_after = content_length_ - body_ - static_cast<long long>(n);
    if (!append(p, n, expected_after))
        return HttpStep::Done;
    body_ += static_cast<long long>(n);
    return content_length_ >= 0 && body_ >= content_length_ ? HttpStep::Done : HttpStep::More;
}

// Chunked transfer coding: size line (hexadecimal, optional extensions),
// data, CRLF; a size of 0 starts the trailer, which ends with a blank line.
// A bare LF is taken for CRLF.
HttpStep HttpResponseReader::chunked(const char *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const char c = p[i];
        switch (state_) {
        case Chunk::Size: {
            const int d = hex_digit_value(c);
            if (d >= 0) {
                if (chunk_left_ > max_content_)
                    return fail(__LINE__, "chunk over the limit of %d bytes\n", max_content_);
                chunk_left_ = chunk_left_ * 16 + d;
                ++digits_;
                ++i;
                break;
            }
            if (digits_ == 0)
                return fail(__LINE__, "chunked framing error : no chunk size\n");
            if (c == ';' || c == ' ' || c == '\t') {
                state_ = Chunk::Ext;
                line_len_ = digits_;
            } else if (c == '\r') {
                state_ = Chunk::SizeLf;
                ++i;
            } else if (c == '\n') {
                state_ = Chunk::SizeLf;
            } else {
                return fail(__LINE__, "chunked framing error : bad chunk size\n");
            }
            break;
        }
        case Chunk::Ext:
            // Extensions are skipped up to the line's end.
            if (c == '\n') {
                state_ = Chunk::SizeLf;
                break;
            }
            if (++line_len_ > kMaxChunkLine)
                return fail(__LINE__, "chunked framing error : chunk size line too long\n");
            ++i;
            break;
        case Chunk::SizeLf:
            if (c != '\n')
                return fail(__LINE__, "chunked framing error : bad chunk size\n");
            ++i;
            digits_ = 0;
            if (chunk_left_ == 0) {
                state_ = Chunk::TrailerStart;
            } else if (chunk_left_ > max_content_ - body_) {
                return fail(__LINE__, "content longer than the limit of %d bytes\n", max_content_);
            } else {
                state_ = Chunk::Data;
            }
            break;
        case Chunk::Data: {
            const size_t take = static_cast<size_t>(
                std::min<long long>(chunk_left_, static_cast<long long>(n - i)));
            if (!append(p + i, take))
                return HttpStep::Done;
            body_ += static_cast<long long>(take);
            chunk_left_ -= static_cast<long long>(take);
            i += take;
            if (chunk_left_ == 0)
                state_ = Chunk::DataCr;
            break;
        }
        case Chunk::DataCr:
            if (c == '\r')
                state_ = Chunk::DataLf;
            else if (c == '\n')
                state_ = Chunk::Size;
            else
                return fail(__LINE__, "chunked framing error : chunk data not followed by CRLF\n");
            ++i;
            break;
        case Chunk::DataLf:
            if (c != '\n')
                return fail(__LINE__, "chunked framing error : chunk data not followed by CRLF\n");
            state_ = Chunk::Size;
            ++i;
            break;
        case Chunk::TrailerStart:
        case Chunk::TrailerLine:
        case Chunk::TrailerLf:
            if (++trailer_len_ > COM_HTTP_HEADER_MAX)
                return fail(__LINE__, "response header longer than %d bytes\n", COM_HTTP_HEADER_MAX);
            ++i;
            if (c == '\n') {
                if (state_ != Chunk::TrailerLine) {
                    state_ = Chunk::Done;
                    done_ = true;
                    return HttpStep::Done;
                }
                state_ = Chunk::TrailerStart;
            } else if (c == '\r' && state_ == Chunk::TrailerStart) {
                state_ = Chunk::TrailerLf;
            } else {
                state_ = Chunk::TrailerLine;
            }
            break;
        case Chunk::Done:
            return HttpStep::Done;
        }
    }
    return state_ == Chunk::Done ? HttpStep::Done : HttpStep::More;
}

HttpStep HttpResponseReader::feed(const char *chunk, size_t n)
{
    if (failed_)
        return HttpStep::Failed;
    if (done_)
        return HttpStep::Done;
    if (n > kHttpChunkSize)
        n = kHttpChunkSize;
    if (header_done_)
        return body(chunk, n);

    if (!hdr_) {
        hdr_ = static_cast<char *>(std::malloc(COM_HTTP_HEADER_MAX));
        if (!hdr_)
            return fail(__LINE__, "malloc(%d) error\n", COM_HTTP_HEADER_MAX);
    }
    // The blank line may have begun in the bytes before this chunk.
    size_t from = hdr_len_ >= 3 ? hdr_len_ - 3 : 0;
    size_t used = 0; // bytes of this receive gathered into the header
    for (;;) {
        const size_t take = std::min(n - used, COM_HTTP_HEADER_MAX - hdr_len_);
        std::memcpy(hdr_ + hdr_len_, chunk + used, take);
        hdr_len_ += take;
        used += take;
        size_t end = header_end(hdr_ + from, hdr_len_ - from);
        if (!end) {
            if (hdr_len_ == COM_HTTP_HEADER_MAX)
                return fail(__LINE__, "response header longer than %d bytes\n", COM_HTTP_HEADER_MAX);
            return HttpStep::More;
        }
        end += from;
        if (interim_status(hdr_, end)) {
            // An interim response (100 Continue, 103 Early Hints) is
            // dropped, kept header or not: the bytes after it begin the
            // next response.
            hdr_len_ -= end;
            std::memmove(hdr_, hdr_ + end, hdr_len_);
            from = 0;
            continue;
        }
        // Bytes received after the header are body bytes (up to the
        // Content-Length: body() drops what lies past it).
        const size_t extra = hdr_len_ - end;
        hdr_len_ = end;
        if (const HttpStep step = start_body(end); step != HttpStep::More)
            return step;
        if (extra > 0) {
            if (const HttpStep step = body(hdr_ + end, extra); step != HttpStep::More)
                return step;
        }
        if (used < n)
            return body(chunk + used, n - used);
        return extra == 0 && content_length_ == 0 ? HttpStep::Done : HttpStep::More;
    }
}

int HttpResponseReader::finish()
{
    if (!header_done_ && !failed_ && keep_header_ && hdr_len_ > 0) {
        // The header never ended: what came of it is the content.
        cap_ = static_cast<long long>(hdr_len_) + 1;
        append(hdr_, hdr_len_);
    }
    // A body whose framing says more was due is not whole: the server
    // closed early or the read time ran out. It is no content.
    if (header_done_ && chunked_ && state_ != Chunk::Done)
        fail(__LINE__, "chunked body ends before its last chunk\n");
    if (header_done_ && !chunked_ && content_length_ >= 0 && body_ < content_length_)
        fail(__LINE__, "body cut short : %lld of %d bytes\n", body_, content_length_);
    if (failed_) {
        wipe();
        return -1;
    }
    if (count_ == 0)
        return 0;
    const int want = count_ + 1;
    // Trim the block to the content and its terminator.
    if (size_ != want && COM_ReallocAndCopyBuf(want, content_, stored_, "", 1)) {
        size_ = want;
        return want;
    }
    // Otherwise cover with zeros what follows the stored bytes: bytes whose
    // growth failed and room no receive filled.
    if (const int unfilled = std::min(size_, want) - stored_; unfilled > 0)
        std::memset(*content_ + stored_, 0, static_cast<size_t>(unfilled));
    if (size_ < want) {
        DVR_REPORT_TO(report_, "COM_ReallocAndCopyBuf(%d) error\n", want);
        // Report only what the block holds: its data and its zeros.
        return size_;
    }
    return want;
}

void receive_response(int sock, const Deadline &read_time, HttpResponseReader &reader, const Reporter &report)
{
    char chunk[kHttpChunkSize];
    while (!read_time.passed()) {
        // The header comes in chunks; the body, once the header is
        // complete, straight into the content's free room, as much as it
        // takes per receive.
        char *to = chunk;
        size_t room = kHttpChunkSize;
        char *body_at = nullptr;
        if (size_t direct = reader.header_done() ? reader.body_room(body_at) : 0) {
            to = body_at;
            room = direct;
        }
        // Data already waiting is taken at once (the wait would return at
        // once too); otherwise wait within the read time.
        ssize_t n = ::recv(sock, to, room, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // An error or hang-up is read by the receive below.
            if (wait_fd(sock, POLLIN, read_time) == WaitResult::Timeout)
                break;
            n = ::recv(sock, to, room, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
        }
        if (n == 0)
            break;
        if (n < 0) {
            DVR_REPORT_TO(report, "recv() = %d : %s\n", static_cast<int>(n), std::strerror(errno));
            break;
        }
        const size_t got = static_cast<size_t>(n);
        if ((to == chunk ? reader.feed(chunk, got) : reader.commit(got)) != HttpStep::More)
            break;
    }
}

} // namespace dvr

extern "C" int COM_SetHttpMaxContent(int nBytes)
try {
    if (nBytes < 1)
        return dvr::g_max_content.load();
    return dvr::g_max_content.exchange(nBytes);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetContentLengthInHttpHeader(const char *buf, int len)
try {
    if (!buf || len <= 0)
        return 0;
    // The same reading of the fields as the response reader's: absent 0,
    // fields that start with no digit or disagree -1.
    const dvr::ContentLength cl = dvr::read_content_length(std::string_view(buf, static_cast<size_t>(len)));
    switch (cl.kind) {
    case dvr::ContentLength::Kind::Absent:
        return 0;
    case dvr::ContentLength::Kind::Value:
        return static_cast<int>(cl.value);
    case dvr::ContentLength::Kind::Malformed:
    case dvr::ContentLength::Kind::Disagree:
        break;
    }
    return -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
