// HTTP/1.1 client: one GET or POST per TCP connection, with an optional
// cookie and Basic or Digest authorisation; the response body (or the
// whole response) is handed back in a heap block that grows as data
// arrives. The public entry points over one exchange: a request is
// checked and its text built once, then tried on each address of the
// host. The request's parts, the response reader and the authorisation
// are in http_request.cpp, http_response.cpp and http_auth.cpp.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "DNS.h"
#include "boundary.h"
#include "deadline_wait.h"
#include "http_internal.h"
#include "owners.h"
#include "report.h"
#include "socket.h"

namespace dvr {

namespace {

constexpr time_t kWriteWaitSeconds = 3;
constexpr time_t kReadWaitSeconds = 6;
constexpr long kPauseNanoseconds = 30000000;

} // namespace

int http_exchange(const sockaddr_in &server, const char *request, int request_len, char **content,
                  bool keep_header)
{
    const Reporter report(kHttpSource, "COM_SubSendHttpCmd");
    int result = 0;
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        DVR_REPORT_TO(report, "socket() error : %s\n", std::strerror(errno));
        return 0;
    }
    // The write wait's time covers the connection as well: an address
    // whose listener drops the attempts costs 3 seconds, not the kernel's
    // minutes of retries.
    const Deadline write_wait(kWriteWaitSeconds);
    if (connect_within(sock.get(), server, write_wait) < 0) {
        int saved = errno;
        char dotted[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &server.sin_addr, dotted, sizeof dotted);
        DVR_REPORT_TO(report, "connect(%s) error : %s\n", dotted, std::strerror(saved));
        return -1;
    }

    WaitResult w = wait_fd(sock.get(), POLLOUT, write_wait);
    if (w == WaitResult::Timeout) {
        DVR_REPORT_TO(report, "select() timeout\n");
    } else if (w == WaitResult::Error) {
        int saved = errno;
        long long left = write_wait.remaining_us();
        DVR_REPORT_TO(report, "select(%d, %d.%06d sec) error : %s\n", sock.get(),
                      static_cast<int>(left / 1000000), static_cast<int>(left % 1000000), std::strerror(saved));
        result = -1;
    } else if (request_len > 0) {
        if (send_all(sock.get(), request, request_len) != 0)
            DVR_REPORT_TO(report, "send() failed : %s\n", std::strerror(errno));
    }

    timespec pause{0, kPauseNanoseconds};
    if (::nanosleep(&pause, nullptr) != 0)
        DVR_REPORT_TO(report, "nanosleep(), error!!\n");

    // Six seconds of reading plus what the write wait left of its
    // fraction of a second. The time runs whether the client waits or
    // not, so a fast sender cannot hold it longer than a slow one; and
    // the limits are checked on every pass.
    const Deadline read_time(kReadWaitSeconds, static_cast<long>(write_wait.remaining_us() % 1000000));
    HttpResponseReader reader(content, keep_header, http_max_content(), report);
    receive_response(sock.get(), read_time, reader, report);
    int stored = reader.finish();
    if (stored != 0)
        result = stored;
    return result;
}

} // namespace dvr

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
    const dvr::Reporter report = DVR_REPORTER(dvr::kHttpSource);
    // A CR or LF would let the text add header lines of its own: refused
    // before anything is sent (the Digest challenge request included).
    if (!dvr::line_safe("URL", url, report) || !dvr::line_safe("cookie", cookie, report) ||
        !dvr::auth_safe(auth, report))
        return -1;
    const dvr::HttpUrl u = dvr::split_url(url);

    // The authorisation comes first: for Digest it may run a whole
    // challenge request of its own.
    char auth_text[dvr::kHttpAuthTextSize] = {};
    if (dvr::http_auth_text(post == 1 ? "POST" : "GET", u, auth, auth_text) < 0)
        return -1;

    // The host (and port) before the path, or the whole URL without one,
    // must fit the host field: a longer one is refused, never cut.
    if (!u.host_fits()) {
        COM_REPORT(dvr::kHttpOverflowFormat, dvr::http_report_size(u.host_part + 1),
                   static_cast<int>(dvr::kHttpHostSize));
        return -1;
    }

    // Refuse a request that does not fit before anything goes out.
    char request[dvr::kHttpRequestSize];
    const int request_len =
        dvr::build_request(request, {post, u.path, u.host, u.port, cookie, auth_text, body}, report);
    if (request_len < 0)
        return -1;

    DNS_ADDR_REC addrs[DNS_ADDR_REC_MAX] = {};
    if (DNS_GetA(u.host, addrs) != 0) {
        COM_REPORT("DNS_GetA(%s) return error [%s]\n", u.host, url);
        return -1;
    }
    int result = -1;
    for (const DNS_ADDR_REC &a : addrs) {
        if (a.flag != 1)
            continue;
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<uint16_t>(u.port));
        server.sin_addr.s_addr = a.ip;
        result = dvr::http_exchange(server, request, request_len, content, keepHeader != 0);
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
    if (!server || !content) {
        COM_REPORT("invalid argument : (server, content) = (%p, %p)\n",
                   static_cast<const void *>(server), static_cast<void *>(content));
        return -1;
    }
    if (post == 1 && !body) {
        COM_REPORT("no body to post\n");
        return -1;
    }
    // The record is carried for the caller's convenience (the text is
    // ready); its texts are still checked, as the caller's own are.
    const dvr::Reporter report = DVR_REPORTER(dvr::kHttpSource);
    if (!dvr::line_safe("host", host, report) || !dvr::line_safe("path", path, report) ||
        !dvr::line_safe("cookie", cookie, report) || !dvr::auth_safe(auth, report))
        return -1;
    char request[dvr::kHttpRequestSize];
    const int request_len = dvr::build_request(
        request, {post, path, host ? host : "", ntohs(server->sin_port), cookie, authStr ? authStr : "\r\n", body},
        report);
    if (request_len < 0)
        return -1;
    return dvr::http_exchange(*server, request, request_len, content, keepHeader != 0);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SendTcpPackage(int sock, const char *buf, int len)
try {
    return dvr::send_all(sock, buf, len);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
