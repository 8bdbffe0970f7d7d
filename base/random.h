// The system's random source. C++ only, never installed.
#ifndef DVRPLAT_BASE_RANDOM_H
#define DVRPLAT_BASE_RANDOM_H

#include <cerrno>
#include <cstddef>

#include <sys/random.h>
#include <sys/types.h>

namespace dvr {

// Fills buf with n bytes from the system's random source. False (errno
// set) when it cannot. Not noexcept: getrandom is a cancellation point.
inline bool random_fill(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t r = ::getrandom(p, n, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace dvr

#endif
