// Deadline waits shared by the HTTP client and the DNS resolver.
#include "deadline_wait.h"

#include <cerrno>

#include <poll.h>

namespace dvr {

namespace {

constexpr long kNsPerSec = 1000000000L;

timespec now_monotonic() noexcept
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

} // namespace

Deadline::Deadline(time_t sec, long usec) noexcept : end_(now_monotonic())
{
    if (sec < 0)
        sec = 0;
    if (usec < 0)
        usec = 0;
    end_.tv_sec += sec + usec / 1000000;
    end_.tv_nsec += (usec % 1000000) * 1000;
    if (end_.tv_nsec >= kNsPerSec) {
        end_.tv_nsec -= kNsPerSec;
        ++end_.tv_sec;
    }
}

timespec Deadline::remaining() const noexcept
{
    const timespec now = now_monotonic();
    timespec left{end_.tv_sec - now.tv_sec, end_.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += kNsPerSec;
        --left.tv_sec;
    }
    if (left.tv_sec < 0)
        left = {0, 0};
    return left;
}

long long Deadline::remaining_us() const noexcept
{
    const timespec left = remaining();
    return static_cast<long long>(left.tv_sec) * 1000000 + left.tv_nsec / 1000;
}

WaitResult wait_fd(int fd, short events, const Deadline &deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        timespec left = deadline.remaining();
        int r = ::ppoll(&p, 1, &left, nullptr);
        if (r > 0) {
            if (p.revents & events)
                return WaitResult::Ready;
            errno = (p.revents & POLLNVAL) ? EBADF : EIO;
            return WaitResult::Error;
        }
        if (r == 0) {
            errno = ETIMEDOUT;
            return WaitResult::Timeout;
        }
        if (errno != EINTR)
            return WaitResult::Error;
    }
}

} // namespace dvr
