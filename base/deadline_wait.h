// Waiting on one socket against a deadline on the monotonic clock, for the
// HTTP client and the DNS resolver. A deadline counts real time, so time
// spent outside the waits (reading a fast sender's data, dropping foreign
// datagrams) is counted too. C++ only, never installed.
#ifndef DVRPLAT_DEADLINE_WAIT_H
#define DVRPLAT_DEADLINE_WAIT_H

#include <ctime>

namespace dvr {

class Deadline {
public:
    // A deadline sec seconds and usec microseconds from now.
    explicit Deadline(time_t sec, long usec = 0) noexcept;

    // Time left, never negative.
    timespec remaining() const noexcept;
    // Microseconds left, never negative.
    long long remaining_us() const noexcept;
    bool passed() const noexcept { return remaining_us() == 0; }

private:
    timespec end_{};
};

enum class WaitResult { Ready, Timeout, Error };

// Waits until fd is ready for events (POLLIN, POLLOUT) or the deadline
// passes; once it has passed this only looks at the socket's present
// state. Interrupted waits go on. On Error errno says why (a descriptor
// reported as hung up or failed without the asked event gives EIO, an
// invalid one EBADF); on Timeout errno is ETIMEDOUT. Not noexcept: the
// wait is a cancellation point, and a cancelled caller unwinds through it.
WaitResult wait_fd(int fd, short events, const Deadline &deadline);

} // namespace dvr

#endif
