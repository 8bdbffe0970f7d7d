// The video object layer header and the bit reader under it, on any bytes.
// The input is padded with zeros to the longest header (191 bits: 24 bytes)
// and no further, so a read past the header's end is caught. Then runs of
// bit reads of the sizes the input gives stay inside the buffer.
#include <cstdint>
#include <cstring>
#include <memory>

#include "COMMON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    constexpr size_t kLongestHeader = 24;
    const size_t len = size < kLongestHeader ? kLongestHeader : size;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[len]);
    std::memset(buf.get(), 0, len);
    std::memcpy(buf.get(), data, size);

    int w = -7, h = -7, rate = -7;
    int rc = COM_ParserVideoObjectLayer(buf.get(), &w, &h, &rate);
    if (rc == 0) {
        if (w < 1 || w > 1280 || h < 1 || h > 1024 || (rate != -7 && rate < 0))
            __builtin_trap();
    } else if (rc != -1 || w != -7 || h != -7 || rate != -7) {
        __builtin_trap();
    }

    // Bit reads of 1..32 bits, the sizes taken from the input itself.
    const unsigned char *p = buf.get();
    int rem = 8;
    size_t left = len * 8;
    for (size_t i = 0; i < size; ++i) {
        int n = data[i] % 32 + 1;
        if (static_cast<size_t>(n) > left)
            break;
        uint32_t v = COM_GetBits(&p, &rem, n);
        left -= static_cast<size_t>(n);
        if (n < 32 && (v >> n) != 0)
            __builtin_trap();
        if (rem < 1 || rem > 8 || static_cast<size_t>(p - buf.get()) * 8 + static_cast<size_t>(8 - rem) != len * 8 - left)
            __builtin_trap();
    }
    return 0;
}
