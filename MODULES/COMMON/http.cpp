// HTTP/1.1 client: one GET or POST per TCP connection, with an optional
// cookie and Basic or Digest authorisation; the response body (or the
// whole response) is handed back in a heap block that grows as data
// arrives.
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
#include <ctime>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DNS.h"
#include "boundary.h"
#include "deadline_wait.h"
#include "owners.h"
#include "random.h"
#include "report.h"
#include "text.h"
#include "http_internal.h"

static_assert(sizeof(COM_HTTP_AUTH) == 528);
static_assert(offsetof(COM_HTTP_AUTH, mode) == 0);
static_assert(offsetof(COM_HTTP_AUTH, username) == 4);
static_assert(offsetof(COM_HTTP_AUTH, password) == 32);
static_assert(offsetof(COM_HTTP_AUTH, realm) == 64);
static_assert(offsetof(COM_HTTP_AUTH, qop) == 144);
static_assert(offsetof(COM_HTTP_AUTH, nonce) == 160);
static_assert(offsetof(COM_HTTP_AUTH, opaque) == 240);
static_assert(offsetof(COM_HTTP_AUTH, nc) == 320);
static_assert(offsetof(COM_HTTP_AUTH, ha1) == 336);
static_assert(offsetof(COM_HTTP_AUTH, cnonce) == 384);
static_assert(offsetof(COM_HTTP_AUTH, ha2) == 432);
static_assert(offsetof(COM_HTTP_AUTH, response) == 480);

namespace {

constexpr const char *kSource = "MODULES/COMMON";
constexpr size_t kAuthTextSize = 512;
constexpr size_t kHostSize = 80;
constexpr size_t kRequestSize = 4096;
constexpr size_t kDigestPathSize = 256;
constexpr int kDefaultPort = 80;
constexpr time_t kWriteWaitSeconds = 3;
constexpr time_t kReadWaitSeconds = 6;
constexpr long kPauseNanoseconds = 30000000;
constexpr const char *kUserAgent = "$Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $";
constexpr const char *kOverflowFormat = "buffer overflow : (len, limit) = (%d, %d)\n";
constexpr const char *kNonceCount = "00000001";
constexpr const char *kChallengeHeader = "WWW-Authenticate: Digest";
constexpr size_t kDigestTextSize = 32;

// A fixed text field of the authorisation record, which may fill its
// whole array without a terminator.
template <size_t N>
std::string_view field(const char (&f)[N]) noexcept
{
    return std::string_view(f, strnlen(f, N));
}

template <size_t N>
void store_digest(char (&f)[N], const char *input)
{
    static_assert(N > kDigestTextSize);
    COM_MakeBufMD5(f, input);
    f[kDigestTextSize] = '\0';
}

int as_int(size_t n) noexcept
{
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// printf-style writer into a fixed buffer that remembers whether the text
// fitted and how long it would have been.
class FixedText {
public:
    FixedText(char *buf, size_t size) noexcept : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void add(const char *fmt, ...) COM_PRINTF_LIKE(2, 3)
    {
        va_list ap;
        va_start(ap, fmt);
        size_t room = len_ < size_ ? size_ - len_ : 0;
        int n = std::vsnprintf(room ? buf_ + len_ : nullptr, room, fmt, ap);
        va_end(ap);
        if (n < 0) {
            failed_ = true;
            return;
        }
        len_ += static_cast<size_t>(n);
    }
    void add_bytes(std::string_view s) noexcept
    {
        if (len_ + s.size() < size_) {
            std::memcpy(buf_ + len_, s.data(), s.size());
            buf_[len_ + s.size()] = '\0';
        }
        len_ += s.size();
    }
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

// Builds the request text into req (kRequestSize bytes). Returns its
// length, or -1 (reported, req empty) when it does not fit.
int build_request(char *req, int post, const char *path, const char *host, int port,
                  const char *cookie, const char *auth_text, const char *body, const dvr::Reporter &report)
{
    FixedText t(req, kRequestSize);
    if (post != 0 && post != 1)
        return 0; // no method: an empty request
    const char *method = post == 1 ? "POST" : "GET";
    t.add("%s %s HTTP/1.1\r\n", method, path ? path : "/");
    t.add("Accept: */*\r\n");
    t.add("Accept-Language: *\r\n");
    t.add("Accept-Encoding: *\r\n");
    t.add("User-Agent: %s\r\n", kUserAgent);
    t.add("Host: %s:%d\r\n", host, port);
    if (post == 1)
        t.add("content-length: %zu\r\n", std::strlen(body));
    t.add("Connection: close\r\n");
    if (cookie)
        t.add("Cookie: %s\r\n", cookie);
    t.add("%s", auth_text);
    if (post == 1)
        t.add_bytes(body);
    if (!t.fits()) {
        DVR_REPORT_TO(report, kOverflowFormat, as_int(t.length() + 1), static_cast<int>(kRequestSize));
        t.clear();
        return -1;
    }
    return static_cast<int>(t.length());
}

// True when text holds a CR or LF: such a text would end a header line of
// the request and start one of its own.
bool breaks_line(std::string_view text) noexcept
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// Refuses (with a report naming it) a request part that holds CR or LF.
bool line_safe(const char *what, const char *text, const dvr::Reporter &report)
{
    if (!text || !breaks_line(text))
        return true;
    DVR_REPORT_TO(report, "CR or LF in the %s : request refused\n", what);
    return false;
}

bool auth_safe(const COM_HTTP_AUTH *auth, const dvr::Reporter &report)
{
    if (!auth || (auth->mode != COM_HTTP_AUTH_BASIC && auth->mode != COM_HTTP_AUTH_DIGEST))
        return true;
    const struct {
        const char *what;
        std::string_view text;
    } parts[] = {{"user name", field(auth->username)},
                 {"password", field(auth->password)},
                 {"realm", field(auth->realm)},
                 {"nonce", field(auth->nonce)},
                 {"opaque", field(auth->opaque)},
                 {"qop", field(auth->qop)}};
    for (const auto &part : parts) {
        if (breaks_line(part.text)) {
            DVR_REPORT_TO(report, "CR or LF in the %s : request refused\n", part.what);
            return false;
        }
    }
    return true;
}

// Connects sock to server within the deadline. 0, or -1 with errno set
// (ETIMEDOUT when the deadline passed first).
int connect_within(int sock, const sockaddr_in &server, const dvr::Deadline &deadline)
{
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int r = ::connect(sock, reinterpret_cast<const sockaddr *>(&server), sizeof server);
    if (r < 0 && errno == EINPROGRESS) {
        dvr::WaitResult w = dvr::wait_fd(sock, POLLOUT, deadline);
        if (w == dvr::WaitResult::Timeout)
            return -1; // errno is ETIMEDOUT
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return -1;
        if (err == 0 && w == dvr::WaitResult::Error)
            err = errno;
        if (err != 0) {
            errno = err;
            return -1;
        }
        r = 0;
    }
    if (r < 0)
        return -1;
    // The rest of the exchange uses its own waits on a blocking socket.
    return ::fcntl(sock, F_SETFL, flags) < 0 ? -1 : 0;
}

// Writes 32 lowercase hexadecimal digits from the system's random source
// into a digest field. False when the source fails.
template <size_t N>
bool random_hex(char (&f)[N])
{
    static_assert(N > kDigestTextSize);
    unsigned char bytes[kDigestTextSize / 2];
    if (!dvr::random_fill(bytes, sizeof bytes))
        return false;
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof bytes; ++i) {
        f[2 * i] = kHex[bytes[i] >> 4];
        f[2 * i + 1] = kHex[bytes[i] & 15];
    }
    f[kDigestTextSize] = '\0';
    return true;
}

// Restores Digest mode and frees the challenge response however the fetch
// ends (thread cancellation included).
struct ChallengeScope {
    COM_HTTP_AUTH *auth;
    char *content = nullptr;
    ~ChallengeScope()
    {
        std::free(content);
        auth->mode = COM_HTTP_AUTH_DIGEST;
    }
};

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

} // namespace

// ---------------------------------------------------------------------
// Read side
// ---------------------------------------------------------------------

namespace dvr {

namespace {

std::atomic<int> g_max_content{COM_HTTP_CONTENT_MAX_DEFAULT};

// Longest part of a refused field value a report shows.
constexpr size_t kMaxReportedValue = 64;

// True when one of the header's lines (after the status line), from the
// line starting at `from` on, starts with the field name (any case)
// followed by ":" (optional blanks before it). Gives the value's first
// byte and its line's end.
bool find_field(const char *h, size_t n, std::string_view name, size_t &value, size_t &line_end,
                size_t from = 0)
{
    size_t pos = from;
    while (pos < n) {
        const void *lf = std::memchr(h + pos, '\n', n - pos);
        const size_t end = lf ? static_cast<size_t>(static_cast<const char *>(lf) - h) : n;
        if (pos > 0 && end - pos > name.size() && equal_nocase(h + pos, name)) {
            size_t i = pos + name.size();
            while (i < end && (h[i] == ' ' || h[i] == '\t'))
                ++i;
            if (i < end && h[i] == ':') {
                value = i + 1;
                line_end = end;
                return true;
            }
        }
        pos = end + 1;
    }
    return false;
}

// A field's value without the blanks and the CR around it.
std::string_view trimmed(const char *p, size_t n)
{
    std::string_view v(p, n);
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
long long length_value(std::string_view v)
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

// 0-15 for a hexadecimal digit of either case, -1 otherwise.
int hex_digit(char c) noexcept
{
    const unsigned char v = COM_Chr2Hex(c);
    return v < 16 ? v : -1;
}

} // namespace

int http_max_content() noexcept
{
    return g_max_content.load(std::memory_order_relaxed);
}

HttpResponseReader::~HttpResponseReader()
{
    std::free(hdr_);
}

bool HttpResponseReader::fail(int line, const char *fmt, ...)
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
    return true;
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
        DVR_REPORT_TO(report_, kOverflowFormat, INT_MAX,
                    INT_MAX - 1);
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
            DVR_REPORT_TO(report_, "COM_ReallocAndCopyBuf(%d) error\n",
                        need);
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

bool HttpResponseReader::commit(size_t n)
{
    if (failed_ || done_ || size_ <= 0)
        return true;
    n = std::min(n, static_cast<size_t>(size_ - count_ - 1));
    const int end = stored_ + static_cast<int>(n);
    const bool stop = body(*content_ + stored_, n);
    // Received bytes the body did not keep (chunked framing, bytes after
    // the last chunk) lie past the content: the block stays zero there.
    if (!failed_ && end > stored_)
        std::memset(*content_ + stored_, 0, static_cast<size_t>(end - stored_));
    if (!failed_ && stored_ < size_)
        (*content_)[stored_] = '\0';
    return stop;
}

bool HttpResponseReader::start_body(size_t end)
{
    header_done_ = true;
    if (keep_header_)
        cap_ = static_cast<long long>(end);
    cap_ += static_cast<long long>(max_content_) + 1;
    size_t value = 0, line_end = 0;
    // Codings: only chunked is decoded, and only as the one coding named
    // (the request asks for none); any other is refused, as its bytes
    // could only be handed back still coded.
    if (find_field(hdr_, end, "Transfer-Encoding", value, line_end)) {
        const std::string_view coding = trimmed(hdr_ + value, line_end - value);
        size_t next_value = 0, next_end = 0;
        if (coding.size() != 7 || !equal_nocase(coding.data(), "chunked") ||
            find_field(hdr_, end, "Transfer-Encoding", next_value, next_end, line_end + 1))
            return fail(__LINE__, "Transfer-Encoding \"%.*s\" refused : only chunked is decoded\n",
                        static_cast<int>(std::min<size_t>(coding.size(), kMaxReportedValue)), coding.data());
        chunked_ = true;
    } else {
        // Content-Length fields that disagree leave the body's end unknown.
        long long first = -1;
        for (size_t from = 0; find_field(hdr_, end, "Content-Length", value, line_end, from);
             from = line_end + 1) {
            const long long v = length_value(trimmed(hdr_ + value, line_end - value));
            if (first < 0)
                first = v;
            else if (v != first)
                return fail(__LINE__, "Content-Length fields disagree : %lld and %lld\n", first, v);
        }
        int cl = COM_GetContentLengthInHttpHeader(hdr_, static_cast<int>(end));
        // A value of 0 is a length only where the field is there.
        if (cl > 0 || (cl == 0 && find_field(hdr_, end, "Content-Length", value, line_end)))
            content_length_ = cl;
        if (content_length_ > max_content_)
            return fail(__LINE__, "Content-Length %d over the limit of %d bytes\n", content_length_,
                        max_content_);
    }
    if (keep_header_ && !append(hdr_, end))
        return true;
    return false;
}

bool HttpResponseReader::body(const char *p, size_t n)
{
    if (chunked_)
        return chunked(p, n);
    if (content_length_ < 0 && body_ + static_cast<long long>(n) > max_content_)
        return fail(__LINE__, "content longer than the limit of %d bytes\n", max_content_);
    long long expected_after = 0;
    if (content_length_ > 0 && body_ + static_cast<long long>(n) < content_length_)
        expected_after = content_length_ - body_ - static_cast<long long>(n);
    if (!append(p, n, expected_after))
        return true;
    body_ += static_cast<long long>(n);
    return content_length_ >= 0 && body_ >= content_length_;
}

// Chunked transfer coding: size line (hexadecimal, optional extensions),
// data, CRLF; a size of 0 starts the trailer, which ends with a blank line.
// A bare LF is taken for CRLF.
bool HttpResponseReader::chunked(const char *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const char c = p[i];
        switch (state_) {
        case Chunk::Size: {
            const int d = hex_digit(c);
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
                return true;
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
                    return done_ = true;
                }
                state_ = Chunk::TrailerStart;
            } else if (c == '\r' && state_ == Chunk::TrailerStart) {
                state_ = Chunk::TrailerLf;
            } else {
                state_ = Chunk::TrailerLine;
            }
            break;
        case Chunk::Done:
            return true;
        }
    }
    return state_ == Chunk::Done;
}

bool HttpResponseReader::feed(const char *chunk, size_t n)
{
    if (failed_ || done_)
        return true;
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
            return false;
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
        // Bytes received after the header are body bytes (kept even past
        // a Content-Length, as for any receive that completes the body).
        const size_t extra = hdr_len_ - end;
        hdr_len_ = end;
        if (start_body(end))
            return true;
        if (extra > 0 && body(hdr_ + end, extra))
            return true;
        if (used < n)
            return body(chunk + used, n - used);
        return extra == 0 && content_length_ == 0;
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

} // namespace dvr

extern "C" int COM_SetHttpMaxContent(int nBytes)
try {
    if (nBytes < 1)
        return dvr::g_max_content.load();
    return dvr::g_max_content.exchange(nBytes);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

// ---------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------

extern "C" int COM_GetHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 0, nullptr, 0, nullptr);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_PostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                                   const char *body)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 1, body, 0, nullptr);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 0, nullptr, 1, nullptr);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_PostHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth,
                                             const char *body)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 1, body, 1, nullptr);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                                        const char *cookie)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 0, nullptr, 0, cookie);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_PostCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                                         const char *body, const char *cookie)
try {
    return COM_SubGetPostHttpContent(url, content, auth, 1, body, 0, cookie);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubGetPostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                                         int post, const char *body, int keepHeader,
                                         const char *cookie)
try {
    if (!url || !content) {
        COM_REPORT("invalid argument : (url, content) = (%p, %p)\n", static_cast<const void *>(url),
                   static_cast<void *>(content));
        return -1;
    }
    if (post == 1 && !body) {
        COM_REPORT("no body to post to %s\n", url);
        return -1;
    }
    // A CR or LF would let the text add header lines of its own: refused
    // before anything is sent (the Digest challenge request included).
    if (!line_safe("URL", url, DVR_REPORTER(kSource)) || !line_safe("cookie", cookie, DVR_REPORTER(kSource)) ||
        !auth_safe(auth, DVR_REPORTER(kSource)))
        return -1;
    char auth_text[kAuthTextSize] = {};
    char host[kHostSize] = {};
    const char *method = post == 1 ? "POST" : "GET";

    // The authorisation comes first: for Digest it may run a whole
    // challenge request of its own.
    if (COM_GenHttpAuthStr(method, url, auth, auth_text) < 0)
        return -1;

    // The host (and port) before the path, or the whole URL without one,
    // must fit the host field: a longer one is refused, never cut.
    const char *slash = std::strchr(url, '/');
    const size_t host_len = slash ? static_cast<size_t>(slash - url) : std::strlen(url);
    if (host_len > kHostSize - 1) {
        COM_REPORT(kOverflowFormat, as_int(host_len + 1), static_cast<int>(kHostSize));
        return -1;
    }
    std::memcpy(host, url, host_len);
    int port = kDefaultPort;
    if (char *colon = std::strchr(host, ':')) {
        *colon = '\0';
        // strtol saturates where atoi would overflow; the port is the
        // number modulo 65536.
        port = static_cast<uint16_t>(static_cast<unsigned long>(std::strtol(colon + 1, nullptr, 10)));
    }

    // Refuse a request that does not fit before anything goes out.
    char request[kRequestSize];
    if (build_request(request, post, slash, host, port, cookie, auth_text, body, DVR_REPORTER(kSource)) < 0)
        return -1;

    DNS_ADDR_REC addrs[DNS_ADDR_REC_MAX] = {};
    if (DNS_GetA(host, addrs) != 0) {
        COM_REPORT("DNS_GetA(%s) return error [%s]\n", host, url);
        return -1;
    }
    int result = -1;
    for (const DNS_ADDR_REC &a : addrs) {
        if (a.flag != 1)
            continue;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<uint16_t>(port));
        server.sin_addr.s_addr = a.ip;
        result = COM_SubSendHttpCmd(&server, host, auth_text, slash, content, auth, post, body,
                                    keepHeader, cookie);
        if (result != -1)
            break;
    }
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubSendHttpCmd(const struct sockaddr_in *server, const char *host,
                                  const char *authStr, const char *path, char **content,
                                  COM_HTTP_AUTH *auth, int post, const char *body, int keepHeader,
                                  const char *cookie)
try {
    (void)auth; // carried for the caller's convenience; the text is ready
    if (!server || !content) {
        COM_REPORT("invalid argument : (server, content) = (%p, %p)\n",
                   static_cast<const void *>(server), static_cast<void *>(content));
        return -1;
    }
    if (post == 1 && !body) {
        COM_REPORT("no body to post\n");
        return -1;
    }
    if (!line_safe("host", host, DVR_REPORTER(kSource)) || !line_safe("path", path, DVR_REPORTER(kSource)) ||
        !line_safe("cookie", cookie, DVR_REPORTER(kSource)) || !auth_safe(auth, DVR_REPORTER(kSource)))
        return -1;
    char request[kRequestSize];
    int request_len = build_request(request, post, path, host ? host : "", ntohs(server->sin_port),
                                    cookie, authStr ? authStr : "\r\n", body, DVR_REPORTER(kSource));
    if (request_len < 0)
        return -1;

    int result = 0;
    dvr::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        COM_REPORT("socket() error : %s\n", std::strerror(errno));
        return 0;
    }
    // The write wait's time covers the connection as well: an address
    // whose listener drops the attempts costs 3 seconds, not the kernel's
    // minutes of retries.
    const dvr::Deadline write_wait(kWriteWaitSeconds);
    if (connect_within(sock.get(), *server, write_wait) < 0) {
        int saved = errno;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &server->sin_addr, dotted, sizeof dotted);
        COM_REPORT("connect(%s) error : %s\n", dotted, std::strerror(saved));
        return -1;
    }

    dvr::WaitResult w = dvr::wait_fd(sock.get(), POLLOUT, write_wait);
    if (w == dvr::WaitResult::Timeout) {
        COM_REPORT("select() timeout\n");
    } else if (w == dvr::WaitResult::Error) {
        int saved = errno;
        long long left = write_wait.remaining_us();
        COM_REPORT("select(%d, %d.%06d sec) error : %s\n", sock.get(), static_cast<int>(left / 1000000),
                   static_cast<int>(left % 1000000), std::strerror(saved));
        result = -1;
    } else if (request_len > 0) {
        if (COM_SendTcpPackage(sock.get(), request, request_len) != 0)
            COM_REPORT("send() failed : %s\n", std::strerror(errno));
    }

    timespec pause{0, kPauseNanoseconds};
    if (::nanosleep(&pause, nullptr) != 0)
        COM_REPORT("nanosleep(), error!!\n");

    // Six seconds of reading plus what the write wait left of its
    // fraction of a second. The time runs whether the client waits or
    // not, so a fast sender cannot hold it longer than a slow one; and
    // the limits are checked on every pass.
    const dvr::Deadline read_time(kReadWaitSeconds, static_cast<long>(write_wait.remaining_us() % 1000000));
    dvr::HttpResponseReader reader(content, keepHeader != 0, dvr::http_max_content(), DVR_REPORTER(kSource));
    char chunk[dvr::kHttpChunkSize];
    while (!read_time.passed()) {
        // The header comes in chunks; the body, once the header is
        // complete, straight into the content's free room, as much as it
        // takes per receive.
        char *to = chunk;
        size_t room = dvr::kHttpChunkSize;
        char *body_at = nullptr;
        if (size_t direct = reader.header_done() ? reader.body_room(body_at) : 0) {
            to = body_at;
            room = direct;
        }
        // Data already waiting is taken at once (the wait would return at
        // once too); otherwise wait within the read time.
        ssize_t n = ::recv(sock.get(), to, room, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // An error or hang-up is read by the receive below.
            if (dvr::wait_fd(sock.get(), POLLIN, read_time) == dvr::WaitResult::Timeout)
                break;
            n = ::recv(sock.get(), to, room, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
        }
        if (n == 0)
            break;
        if (n < 0) {
            COM_REPORT("recv() = %d : %s\n", static_cast<int>(n), std::strerror(errno));
            break;
        }
        const size_t got = static_cast<size_t>(n);
        if (to == chunk ? reader.feed(chunk, got) : reader.commit(got))
            break;
    }
    int stored = reader.finish();
    if (stored != 0)
        result = stored;
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

// ---------------------------------------------------------------------
// Authorisation
// ---------------------------------------------------------------------

extern "C" int COM_GenHttpAuthStr(const char *method, const char *url, COM_HTTP_AUTH *auth,
                                  char *out)
try {
    if (!out) {
        COM_REPORT("invalid argument : output is NULL\n");
        return -1;
    }
    std::memset(out, 0, kAuthTextSize);
    if (!auth || (auth->mode != COM_HTTP_AUTH_BASIC && auth->mode != COM_HTTP_AUTH_DIGEST)) {
        std::memcpy(out, "\r\n", 3);
        return 0;
    }
    if (!auth_safe(auth, DVR_REPORTER(kSource)) || !line_safe("URL", url, DVR_REPORTER(kSource))) {
        out[0] = '\0';
        return -1;
    }
    FixedText text(out, kAuthTextSize);

    if (auth->mode == COM_HTTP_AUTH_BASIC) {
        char pair[80];
        int n = std::snprintf(pair, sizeof pair, "%.*s:%.*s",
                              static_cast<int>(field(auth->username).size()), auth->username,
                              static_cast<int>(field(auth->password).size()), auth->password);
        if (n < 0)
            n = 0;
        if (static_cast<size_t>(n) >= sizeof pair)
            n = sizeof pair - 1;
        char encoded[4 * ((sizeof pair + 2) / 3) + 1];
        COM_Base64Encode(encoded, reinterpret_cast<const unsigned char *>(pair), n);
        text.add("Authorization: Basic %s\r\n\r\n", encoded);
        return static_cast<int>(text.length());
    }

    // Digest: the path is part of the digested text.
    const char *slash = url ? std::strchr(url, '/') : nullptr;
    std::string_view path = slash ? std::string_view(slash) : std::string_view("/");
    if (path.size() > kDigestPathSize - 1) {
        COM_REPORT(kOverflowFormat, as_int(path.size() + 1), static_cast<int>(kDigestPathSize));
        out[0] = '\0';
        return -1;
    }
    if (auth->nonce[0] == '\0')
        COM_GetDigestString(url, auth);
    if (!auth_safe(auth, DVR_REPORTER(kSource))) {
        out[0] = '\0';
        return -1;
    }
    if (auth->nonce[0] == '\0') {
        std::memcpy(out, "\r\n", 3);
        return 0;
    }
    const std::string_view user = field(auth->username);
    const std::string_view pass = field(auth->password);
    const std::string_view realm = field(auth->realm);
    const std::string_view nonce = field(auth->nonce);
    const std::string_view opaque = field(auth->opaque);
    std::string_view qop = field(auth->qop);
    const bool with_qop = !qop.empty();
    if (size_t comma = qop.find(','); comma != std::string_view::npos)
        qop = qop.substr(0, comma);

    // Sized for the longest fields the record can hold.
    char input[512];
    std::snprintf(input, sizeof input, "%.*s:%.*s:%.*s", static_cast<int>(user.size()), user.data(),
                  static_cast<int>(realm.size()), realm.data(), static_cast<int>(pass.size()),
                  pass.data());
    store_digest(auth->ha1, input);
    std::snprintf(input, sizeof input, "%s:%.*s", method ? method : "GET",
                  static_cast<int>(path.size()), path.data());
    store_digest(auth->ha2, input);

#define AUTH_FIELD(sv) static_cast<int>((sv).size()), (sv).data()
    if (!with_qop) {
        std::snprintf(input, sizeof input, "%s:%.*s:%s", auth->ha1, AUTH_FIELD(nonce), auth->ha2);
        store_digest(auth->response, input);
        text.add("Authorization: Digest username=\"%.*s\",realm=\"%.*s\",nonce=\"%.*s\",uri=\"%.*s\","
                 "response=\"%s\"\r\n\r\n",
                 AUTH_FIELD(user), AUTH_FIELD(realm), AUTH_FIELD(nonce), AUTH_FIELD(path),
                 auth->response);
    } else {
        // A fresh client nonce for every request.
        if (!random_hex(auth->cnonce)) {
            COM_REPORT("getrandom() error : %s\n", std::strerror(errno));
            out[0] = '\0';
            return -1;
        }
        dvr::copy_cut(auth->nc, sizeof auth->nc, kNonceCount);
        std::snprintf(input, sizeof input, "%s:%.*s:%s:%s:%.*s:%s", auth->ha1, AUTH_FIELD(nonce),
                      auth->nc, auth->cnonce, AUTH_FIELD(qop), auth->ha2);
        store_digest(auth->response, input);
        text.add("Authorization: Digest username=\"%.*s\",realm=\"%.*s\",nonce=\"%.*s\",uri=\"%.*s\","
                 "cnonce=\"%s\",nc=\"%s\",algorithms=\"MD5\",response=\"%s\",qop=\"%.*s\"",
                 AUTH_FIELD(user), AUTH_FIELD(realm), AUTH_FIELD(nonce), AUTH_FIELD(path),
                 auth->cnonce, auth->nc, auth->response, AUTH_FIELD(qop));
        // An opaque the server did not send is left out: an empty one is
        // refused as a wrong opaque.
        if (!opaque.empty())
            text.add(",opaque=\"%.*s\"", AUTH_FIELD(opaque));
        text.add("\r\n\r\n");
    }
#undef AUTH_FIELD
    if (!text.fits()) {
        COM_REPORT(kOverflowFormat, as_int(text.length() + 1), static_cast<int>(kAuthTextSize));
        text.clear();
        return -1;
    }
    return static_cast<int>(text.length());
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetDigestString(const char *url, COM_HTTP_AUTH *auth)
try {
    if (!auth) {
        COM_REPORT("invalid argument : auth is NULL\n");
        return -1;
    }
    ChallengeScope scope{auth};
    // No authorisation on the challenge request itself: it cannot recurse.
    auth->mode = COM_HTTP_AUTH_NONE;
    int r = COM_SubGetPostHttpContent(url, &scope.content, auth, 0, nullptr, 1, nullptr);
    if (r > 0 && scope.content) {
        COM_REPORT("Content(%d): \n=====\n%s\n=====\n", r, scope.content);
        COM_GetDigestStringInBuf(scope.content, auth);
    }
    return r;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetDigestStringInBuf(const char *text, COM_HTTP_AUTH *auth)
try {
    if (!text || !auth)
        return -1;
    const char *challenge = COM_StrNCaseStr(text, kChallengeHeader);
    if (!challenge)
        return -1;
    COM_GetStrInDoubleQuotes(challenge, "realm=", auth->realm, sizeof auth->realm);
    COM_GetStrInDoubleQuotes(challenge, "qop=", auth->qop, sizeof auth->qop);
    COM_GetStrInDoubleQuotes(challenge, "nonce=", auth->nonce, sizeof auth->nonce);
    COM_GetStrInDoubleQuotes(challenge, "opaque=", auth->opaque, sizeof auth->opaque);
    // A value holding CR or LF would add lines to every authorised
    // request: the challenge is refused, and with no nonce none is sent.
    const struct {
        const char *what;
        char *f;
        size_t size;
    } values[] = {{"realm", auth->realm, sizeof auth->realm},
                  {"nonce", auth->nonce, sizeof auth->nonce},
                  {"opaque", auth->opaque, sizeof auth->opaque},
                  {"qop", auth->qop, sizeof auth->qop}};
    bool refused = false;
    for (const auto &v : values) {
        if (breaks_line(std::string_view(v.f, strnlen(v.f, v.size)))) {
            COM_REPORT("CR or LF in the challenge's %s : challenge refused\n", v.what);
            refused = true;
        }
    }
    if (refused) {
        for (const auto &v : values)
            std::memset(v.f, 0, v.size);
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

// ---------------------------------------------------------------------
// Header and socket helpers
// ---------------------------------------------------------------------

extern "C" int COM_GetContentLengthInHttpHeader(const char *buf, int len)
try {
    constexpr std::string_view name = "Content-Length";
    int result = 0;
    if (!buf)
        return 0;
    for (int i = 0; i <= len - 16; ++i) {
        if (!equal_nocase(buf + i, name))
            continue;
        int j = i + static_cast<int>(name.size());
        while (j < len && !std::isdigit(static_cast<unsigned char>(buf[j]))) {
            if (buf[j] == '\r' && j + 1 < len && buf[j + 1] == '\n')
                result = -1;
            ++j;
        }
        if (result != 0)
            continue;
        long long v = 0;
        while (j < len && std::isdigit(static_cast<unsigned char>(buf[j]))) {
            v = v * 10 + (buf[j] - '0');
            if (v > INT_MAX)
                v = INT_MAX;
            ++j;
        }
        result = static_cast<int>(v);
    }
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SendTcpPackage(int sock, const char *buf, int len)
try {
    if (len <= 0)
        return 0;
    if (!buf)
        return len;
    int left = len;
    while (left > 0) {
        ssize_t n = ::send(sock, buf + (len - left), static_cast<size_t>(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        left -= static_cast<int>(n);
    }
    return left;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
