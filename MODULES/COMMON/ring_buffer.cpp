// Copies between ring buffers.
#include <cstddef>
#include <cstring>

#include "boundary.h"
#include "report.h"

extern "C" {

void *COM_MemCopyBetweenRingBuf(void *dst, int dpos, int dsize, const void *src, int spos, int ssize, int count)
try {
    // Positions must lie within their rings and the count must fit the
    // smaller ring; anything else would reach outside the buffers.
    if (count < 0 || dpos < 0 || spos < 0 || (dsize > 0 && (dpos > dsize || count > dsize)) ||
        (ssize > 0 && (spos > ssize || count > ssize))) {
        COM_REPORT("bad ring copy (dpos, dsize, spos, ssize, count) = (%d, %d, %d, %d, %d)\n", dpos, dsize, spos,
                   ssize, count);
        return nullptr;
    }
    auto *d = static_cast<unsigned char *>(dst);
    const auto *s = static_cast<const unsigned char *>(src);
    const size_t n = static_cast<size_t>(count);
    const size_t droom = dsize > 0 ? static_cast<size_t>(dsize - dpos) : n;
    const size_t sroom = ssize > 0 ? static_cast<size_t>(ssize - spos) : n;
    unsigned char *const dat = d + dpos;
    const unsigned char *const sat = s + spos;

    if (droom >= n && sroom >= n) {
        std::memmove(dat, sat, n);
        return dat;
    }
    if (droom >= n) { // only the source wraps
        std::memmove(dat, sat, sroom);
        std::memmove(dat + sroom, s, n - sroom);
        return dat + sroom;
    }
    if (sroom >= n) { // only the destination wraps
        std::memmove(dat, sat, droom);
        std::memmove(d, sat + droom, n - droom);
        return d;
    }
    if (sroom < droom) { // both wrap, the source first
        std::memmove(dat, sat, sroom);
        std::memmove(dat + sroom, s, droom - sroom);
        std::memmove(d, s + (droom - sroom), n - droom);
        return d;
    }
    // both wrap, the destination first or together
    std::memmove(dat, sat, droom);
    std::memmove(d, sat + droom, sroom - droom);
    std::memmove(d + (sroom - droom), s, n - sroom);
    return d + (sroom - droom);
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)
} // extern "C"
