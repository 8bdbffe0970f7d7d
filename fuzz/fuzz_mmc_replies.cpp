// The optical-disc reply decoders on any reply bytes and any residual: a
// simulated drive in a memory file answers every command with the input's
// reply, sending the given number of bytes and reporting the given
// residual, and each command function reads it with the disc fields the
// input chooses. Every decoder must stay within what arrived and never
// produce a wrapped capacity.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "DEV.h"
#include "fuzz_quiet.h"

namespace {

// Input: byte 0 the function, bytes 1-3 type1, type2 and appendable, bytes
// 4-5 how many bytes the drive sends, bytes 6-7 the residual it reports
// (signed, 8000h: the true residual), then the reply.
const char *const kKeys[] = {"inquiry", "buffer_capacity", "format_capacities", "configuration",
                             "disc_info", "atip", "toc_msf", "toc_lba", "dvd_structure.00",
                             "dvd_structure.10"};

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8 || size > 8 + 4096)
        return 0;
    static bool rooted = false;
    if (!rooted) {
        setenv("DVRPLAT_ROOT", "/nonexistent-fuzz-root", 1);
        rooted = true;
    }
    const uint8_t *reply = data + 8;
    const size_t len = size - 8;
    const unsigned send = data[4] << 8 | data[5];
    const int resid = static_cast<int16_t>(data[6] << 8 | data[7]);
    std::string text = "#dvrplat-sim-drive\n";
    for (const char *key : kKeys) {
        text += std::string("reply ") + key + " " + hex(reply, len) + "\n";
        text += std::string("send ") + key + " " + std::to_string(send) + "\n";
        if (resid != INT16_MIN)
            text += std::string("resid ") + key + " " + std::to_string(resid) + "\n";
    }
    for (uint32_t t = 0; t < 4; ++t)
        text += "reply track." + std::to_string(t) + " " + hex(reply, len) + "\n";

    int fd = memfd_create("mmc", 0);
    if (fd < 0)
        return 0;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(fd);
        return 0;
    }
    DEV_DISC_INFO info{};
    info.type1 = data[1] % 8;
    info.type2 = data[2] % 6;
    info.appendable = data[3] % 4;
    info.last_track = data[3] >> 6;
    info.total_capacity = data[2] & 0x80 ? 4590208 : 0;
    char model[32];
    switch (data[0] % 12) {
    case 0: Dev_Inquiry("f", fd, model); break;
    case 1: Dev_ReadBufferCapacity("f", fd); break;
    case 2: Dev_ReadFormatCapacity("f", fd, &info); break;
    case 3: Dev_GetConfiguration("f", fd, &info); break;
    case 4: Dev_ReadDiscInfo("f", fd, &info); break;
    case 5: Dev_ReadCdATIP("f", fd, &info); break;
    case 6: Dev_ReadCdToc("f", fd, &info); break;
    case 7: Dev_ReadTrackInfo("f", fd, &info); break;
    case 8: Dev_ReadDvdStruct("f", fd, &info); break;
    case 9: Dev_ReadDvdRToc("f", fd, &info); break;
    case 10: Dev_GetCdInfo("f", fd, &info); break;
    default: Dev_GetDvdInfo("f", fd, &info); break;
    }
    close(fd);
    // No capacity wraps: a disc holds less than 2^40 KB.
    if (info.total_capacity >> 40 || info.used_capacity >> 40)
        abort();
    return 0;
}
