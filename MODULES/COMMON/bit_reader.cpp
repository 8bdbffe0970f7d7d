// An MSB-first bit reader, the MPEG-4 video object layer header read with
// it, and bit reversal.
#include <cstdint>

#include "boundary.h"
#include "report.h"

extern "C" {

uint32_t COM_GetBits(const unsigned char **p, int *rem, int n)
try {
    if (n < 1 || n > 32 || *rem < 1 || *rem > 8) {
        COM_REPORT("bad bit request (n, rem) = (%d, %d)\n", n, *rem);
        return 0;
    }
    uint32_t result = 0;
    while (n > 0) {
        const int r = *rem;
        const uint32_t b = **p & ((1u << r) - 1u);
        if (n < r) {
            *rem = r - n;
            return (result << n) | (b >> (r - n));
        }
        // At most 32 bits are taken in all, so nothing wanted is shifted out.
        result = (result << r) | b;
        n -= r;
        ++*p;
        *rem = 8;
    }
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", 0)

int COM_ParserVideoObjectLayer(const unsigned char *data, int *width, int *height, int *rate)
try {
    const unsigned char *p = data;
    int rem = 8;
    auto bits = [&](int n) { return COM_GetBits(&p, &rem, n); };

    bits(1); // random accessible
    bits(8); // object type indication
    uint32_t verid = 1;
    if (bits(1)) { // object layer identifier
        verid = bits(4);
        bits(3); // priority
    }
    if (bits(4) == 15) { // extended pixel aspect ratio
        bits(8);
        bits(8);
    }
    if (bits(1)) { // control parameters
        bits(2); // chroma format
        bits(1); // low delay
        if (bits(1)) { // VBV parameters
            static constexpr int kVbv[] = {15, 1, 15, 1, 15, 1, 3, 11, 1, 15, 1};
            for (int n : kVbv)
                bits(n);
        }
    }
    const uint32_t shape = bits(2);
    if (shape == 3 && verid != 1)
        bits(4); // shape extension
    bits(1);     // marker
    const uint32_t resolution = bits(16);
    bits(1); // marker
    uint32_t increment = 0;
    if (bits(1)) { // fixed rate
        int width_bits = 1;
        while (width_bits < 16 && (1u << width_bits) < resolution)
            ++width_bits;
        increment = bits(width_bits);
    }

    if (shape != 0)
        return -1;
    bits(1);
    const uint32_t w = bits(13);
    bits(1);
    const uint32_t h = bits(13);
    bits(1);
    if (w == 0 || h == 0 || w > 1280 || h > 1024)
        return -1;

    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    if (increment != 0)
        *rate = static_cast<int>(resolution * 100 / increment);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

unsigned char COM_BitReverse(unsigned char value)
try {
    unsigned v = value;
    v = ((v & 0xF0u) >> 4) | ((v & 0x0Fu) << 4);
    v = ((v & 0xCCu) >> 2) | ((v & 0x33u) << 2);
    v = ((v & 0xAAu) >> 1) | ((v & 0x55u) << 1);
    return static_cast<unsigned char>(v);
} DVR_C_BOUNDARY("MODULES/COMMON", 0)
} // extern "C"
