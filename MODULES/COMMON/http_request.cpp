// The HTTP client's request: the URL taken apart, the request text, and
// the guards against line breaks in the caller's texts.
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http_internal.h"
#include "report.h"

namespace dvr {

namespace {

constexpr const char *kUserAgent = "$Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $";

} // namespace

int http_report_size(size_t n) noexcept
{
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

void FixedText::add(const char *fmt, ...)
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

void FixedText::add_bytes(std::string_view s) noexcept
{
    if (len_ + s.size() < size_) {
        std::memcpy(buf_ + len_, s.data(), s.size());
        buf_[len_ + s.size()] = '\0';
    }
    len_ += s.size();
}

HttpUrl split_url(const char *url) noexcept
{
    HttpUrl u;
    u.text = url;
    if (!url)
        return u;
    u.path = std::strchr(url, '/');
    u.host_part = u.path ? static_cast<size_t>(u.path - url) : std::strlen(url);
    if (!u.host_fits())
        return u;
    std::memcpy(u.host, url, u.host_part);
    if (char *colon = std::strchr(u.host, ':')) {
        *colon = '\0';
        // strtol saturates where atoi would overflow; the port is the
        // number modulo 65536.
        u.port = static_cast<uint16_t>(static_cast<unsigned long>(std::strtol(colon + 1, nullptr, 10)));
    }
    return u;
}

int build_request(char *req, const HttpRequest &r, const Reporter &report)
{
    FixedText t(req, kHttpRequestSize);
    if (r.post != 0 && r.post != 1)
        return 0; // no method: an empty request
    const char *method = r.post == 1 ? "POST" : "GET";
    t.add("%s %s HTTP/1.1\r\n", method, r.path ? r.path : "/");
    t.add("Accept: */*\r\n");
    t.add("Accept-Language: *\r\n");
    t.add("Accept-Encoding: *\r\n");
    t.add("User-Agent: %s\r\n", kUserAgent);
    t.add("Host: %s:%d\r\n", r.host, r.port);
    if (r.post == 1)
        t.add("content-length: %zu\r\n", std::strlen(r.body));
    t.add("Connection: close\r\n");
    if (r.cookie)
        t.add("Cookie: %s\r\n", r.cookie);
    t.add("%s", r.auth_text);
    if (r.post == 1)
        t.add_bytes(r.body);
    if (!t.fits()) {
        DVR_REPORT_TO(report, kHttpOverflowFormat, http_report_size(t.length() + 1),
                      static_cast<int>(kHttpRequestSize));
        t.clear();
        return -1;
    }
    return static_cast<int>(t.length());
}

bool breaks_line(std::string_view text) noexcept
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool line_safe(const char *what, const char *text, const Reporter &report)
{
    if (!text || !breaks_line(text))
        return true;
    DVR_REPORT_TO(report, "CR or LF in the %s : request refused\n", what);
    return false;
}

bool auth_safe(const COM_HTTP_AUTH *auth, const Reporter &report)
{
    if (!auth || (auth->mode != COM_HTTP_AUTH_BASIC && auth->mode != COM_HTTP_AUTH_DIGEST))
        return true;
    const struct {
        const char *what;
        std::string_view text;
    } parts[] = {{"user name", auth_field(auth->username)},
                 {"password", auth_field(auth->password)},
                 {"realm", auth_field(auth->realm)},
                 {"nonce", auth_field(auth->nonce)},
                 {"opaque", auth_field(auth->opaque)},
                 {"qop", auth_field(auth->qop)}};
    for (const auto &part : parts) {
        if (breaks_line(part.text)) {
            DVR_REPORT_TO(report, "CR or LF in the %s : request refused\n", part.what);
            return false;
        }
    }
    return true;
}

} // namespace dvr
