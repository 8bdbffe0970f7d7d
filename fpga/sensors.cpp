// Sensor inputs and outputs: alarm inputs, video loss, motion results,
// relays, input termination and the motion-detection overlay.
#include <cstdint>

#include "fpga_internal.h"
#include "boundary.h"
#include "report.h"

using namespace dvr::fpga;

namespace {

constexpr unsigned kBoardAddress = reg::kBoard;
constexpr unsigned kOverlayAddress = reg::kOverlay;
constexpr unsigned kMotionAddress = reg::kMotion; // cameras 0-7; the next address for 8-15
constexpr unsigned kMotionCells = reg::kMotionCells;

// Two status bytes as the low half of a mask whose high half is set.
uint32_t read_status_pair(unsigned lo_offset, unsigned hi_offset)
{
    return locked([&] {
        latch(kBoardAddress, lo_offset);
        const uint32_t lo = status_read();
        latch_offset(hi_offset);
        const uint32_t hi = status_read();
        return 0xFFFF0000u | (hi << 8) | lo;
    });
}

} // namespace

extern "C" {

uint32_t fpga_get_almin(void) { return read_status_pair(reg::kAlarmLow, reg::kAlarmLow + 1); }

uint32_t fpga_get_vloss(void) { return read_status_pair(reg::kVideoLossLow, reg::kVideoLossLow + 1); }

uint32_t fpga_get_motion(void)
try {
    return locked([] {
        uint32_t result = 0;
        for (unsigned bank = 0; bank < 2; ++bank) {
            port_write(Port::Address, kMotionAddress + bank);
            for (unsigned cam = 0; cam < 8; ++cam) {
                for (unsigned k = 0; k < kMotionCells; ++k) {
                    latch_offset(cam * kMotionCells + k);
                    if (status_read() != 0) {
                        result |= 1u << (bank * 8 + cam);
                        break; // one moving cell is enough for this camera
                    }
                }
            }
        }
        return result;
    });
} DVR_C_BOUNDARY("fpga", 0)

void fpga_relay_onoff(int bit0, int bit1, int bit2)
try {
    const unsigned v = (bit0 & 1) | ((bit1 & 1) << 1) | ((bit2 & 1) << 2);
    locked([&] {
        latch(kBoardAddress, reg::kRelays);
        data_write(v);
    });
} DVR_C_BOUNDARY("fpga")

int fpga_set_terminate(int mask)
try {
    const unsigned m = static_cast<unsigned>(mask);
    locked([&] {
        latch(kBoardAddress, reg::kTerminationLow);
        data_write(m & 0xFF);
        latch_offset(reg::kTerminationLow + 1);
        data_write((m >> 8) & 0xFF);
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

void fpga_motion_dot_onoff(int mon, int on)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return;
    const unsigned enable = (static_cast<unsigned>(on) << mon) & 0xFFu;
    locked([&] {
        port_write(Port::Address, kOverlayAddress);
        for (unsigned o = 0; o < reg::kOverlayRows; ++o) {
            latch_offset(o);
            data_write(0);
        }
        latch_offset(reg::kOverlayEnable);
        data_write(enable);
    });
} DVR_C_BOUNDARY("fpga")

void fpga_set_motion_dot(int unused, int row, int pattern)
try {
    (void)unused;
    const unsigned o = static_cast<unsigned>(row) * 2;
    const unsigned p = static_cast<unsigned>(pattern);
    locked([&] {
        latch(kOverlayAddress, o);
        data_write(p & 0xFF);
        latch_offset(o + 1);
        data_write((p >> 8) & 0xFF);
    });
} DVR_C_BOUNDARY("fpga")

void fpga_set_motion_cursor(int unused, int column, int row)
try {
    (void)unused;
    // A negative column has no cell bit to set.
    if (column < 0) {
        FPGA_REPORT("motion cursor column %d out of range\n", column);
        return;
    }
    const unsigned o = reg::kOverlayCursor + static_cast<unsigned>(row) * 2 + static_cast<unsigned>(column / 8);
    const unsigned bit = 1u << (column % 8);
    locked([&] {
        latch(kOverlayAddress, o);
        data_write(bit);
    });
} DVR_C_BOUNDARY("fpga")

void fpga_clear_motion_cursor(int unused, int column, int row)
try {
    (void)unused;
    const unsigned o = reg::kOverlayCursor + static_cast<unsigned>(row) * 2 + static_cast<unsigned>(column / 8);
    locked([&] {
        latch(kOverlayAddress, o);
        data_write(0);
    });
} DVR_C_BOUNDARY("fpga")

} // extern "C"
