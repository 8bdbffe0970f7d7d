// Stream socket helpers.
#include "socket.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace dvr {

int connect_within(int sock, const sockaddr_in &server, const Deadline &deadline)
{
    const int flags = ::fcntl(sock, F_GETFL);
    if (flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int r = ::connect(sock, reinterpret_cast<const sockaddr *>(&server), sizeof server);
    if (r < 0 && errno == EINPROGRESS) {
        WaitResult w = wait_fd(sock, POLLOUT, deadline);
        if (w == WaitResult::Timeout)
            return -1; // errno is ETIMEDOUT
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            return -1;
        if (err == 0 && w == WaitResult::Error)
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

int send_all(int sock, const char *buf, int len)
{
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
}

} // namespace dvr
