// Internal interface of the disk identity and temperature watch: the
// hexadecimal dump reader they share, and the watch's clock and pause
// between passes, which tests replace.
#ifndef DVRPLAT_IDENTITY_INTERNAL_H
#define DVRPLAT_IDENTITY_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace dvr::dev {

// The hexadecimal digits of a "/proc/ide" dump (COM_ReadHexDataInStrFormat),
// freed however the reader's scope ends, thread cancellation included.
struct HexDump {
    char *digits = nullptr;
    int count = 0;
    HexDump() = default;
    HexDump(const HexDump &) = delete;
    HexDump &operator=(const HexDump &) = delete;
    ~HexDump();
    // Reads every digit of fd; the digit count (-1 for a bad descriptor).
    int read(int fd);
    // Byte k: digits 2k and 2k+1 (k below count / 2).
    uint8_t byte(size_t k) const noexcept;
};

// The part of a device path after its last '/'.
std::string_view ide_name(const char *path);

// The temperature watch's current time in seconds and its pause between
// two passes. nullptr / 0 restore the defaults (time(), 300 seconds).
using TempWatchClock = time_t (*)();
void set_temp_watch_clock(TempWatchClock clock) noexcept;
void set_temp_watch_pause_ms(unsigned ms) noexcept;

} // namespace dvr::dev

#endif
