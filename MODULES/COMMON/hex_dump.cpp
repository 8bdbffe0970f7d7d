// Hexadecimal dumps: reading the digits of a dump file, printing bytes as
// a dump.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>

#include <unistd.h>

#include "boundary.h"
#include "hex.h"
#include "report.h"

namespace {

// Input bytes the hexadecimal dump reader takes at most. The dumps it
// serves, the IDE driver's "identify" and "smart_values" files, print 512
// bytes as 256 four-digit words: 1280 bytes. Fifty times that leaves room
// for any layout of a dump while an endless or huge file still ends.
constexpr size_t kHexDumpInputLimit = 65536;

} // namespace

extern "C" {

int COM_ReadHexDataInStrFormat(int fd, char **buf)
try {
    if (fd < 0)
        return -1;
    constexpr size_t kChunk = 80;
    size_t consumed = 0;
    int total = 0;
    for (;;) {
        char chunk[kChunk];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        // End of file and read errors both end the dump.
        if (n <= 0)
            break;
        // An endless source (a device, a FIFO that never closes, bytes
        // without digits) or a file far larger than any dump is refused
        // rather than read for ever.
        consumed += static_cast<size_t>(n);
        if (consumed > kHexDumpInputLimit) {
            COM_REPORT("input longer than %zu bytes refused\n", kHexDumpInputLimit);
            return -1;
        }
        // The digits of this chunk, in order; a NUL ends the chunk.
        char kept[kChunk];
        int k = 0;
        for (ssize_t i = 0; i < n && chunk[i] != '\0'; ++i)
            if (dvr::hex_digit_value(chunk[i]) >= 0)
                kept[k++] = chunk[i];
        if (k == 0)
            continue;
        if (total > INT_MAX - k ||
            !COM_ReallocAndCopyBuf(total + k, static_cast<void *>(buf), total, kept, k)) {
            COM_REPORT("COM_ReallocAndCopyBuf() failed!!\n");
            break;
        }
        total += k;
    }
    return total;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

int COM_ShowByteByByte(const char *title, const unsigned char *bytes, int len)
try {
    std::printf("[ %s ]\n====\n", title);
    for (int i = 0; i < len; ++i) {
        std::printf("%02X ", bytes[i]);
        if ((i + 1) % 16 == 0)
            std::printf("\n");
    }
    return std::printf("%s====\n", (len > 0 && len % 16 != 0) ? "\n" : "");
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
} // extern "C"
