// Front-panel keypad poller and LED setters.
//
// fpga_read_keymap is called by one thread at a fixed 10 ms tick. Each call
// samples the five key registers, debounces them over three samples,
// generates auto-repeat for held keys and an idle mark after five minutes
// without keys, and passes the key maps through a four-slot queue.
#include <cstdint>

#include "fpga_internal.h"
#include "boundary.h"

using namespace dvr::fpga;

namespace {

constexpr uint64_t kNoKey = ~uint64_t{0};
constexpr uint64_t kLowBits = 0xFFFFFFu; // bits 23-0 are always set

constexpr uint32_t kTickMs = 10;
constexpr uint32_t MaxMenuIdleMs = 300000;
constexpr uint32_t KeyRepeatDelayNum = 400;
constexpr uint32_t KeyRepeatPeriodNum = 60;

// Poller state: one polling thread owns it.
uint64_t DebounceKey[3] = {0, 0, 0};
uint64_t CurrKeyMap = kNoKey;
uint32_t KeyinIdleMsec = 0;
uint32_t KeyRepeatDelayCnt = 0;
uint32_t KeyRepeatPeriodCnt = 0;
uint64_t KeyMapPool[4] = {0, 0, 0, 0};
int KeyPoolSema[4] = {0, 0, 0, 0};
unsigned KeyPooliIdx = 0;
unsigned KeyPooloIdx = 0;
unsigned pre_idx = 0;

// Key registers 0x30..0x34 of address 0x00 make bits 31-24 .. 63-56.
uint64_t sample_keys()
{
    return locked([] {
        uint64_t raw = kLowBits;
        port_write(Port::Address, reg::kBoard);
        for (unsigned k = 0; k < reg::kKeyRegisters; ++k) {
            latch_offset(reg::kKeys + k);
            raw |= static_cast<uint64_t>(data_read()) << (reg::kKeyMapShift + 8 * k);
        }
        return raw;
    });
}

} // namespace

extern "C" {

uint64_t fpga_read_keymap(void)
try {
    const uint64_t raw = sample_keys();

    DebounceKey[0] = DebounceKey[1];
    DebounceKey[1] = DebounceKey[2];
    DebounceKey[2] = raw;

    // A bit follows the newest sample only when the last three agree on it.
    const uint64_t unstable = (DebounceKey[2] ^ DebounceKey[0]) | (DebounceKey[2] ^ DebounceKey[1]);
    CurrKeyMap = (CurrKeyMap & unstable) | (DebounceKey[2] & ~unstable);

    if (CurrKeyMap == kNoKey) {
        KeyinIdleMsec += kTickMs;
        if (KeyinIdleMsec >= MaxMenuIdleMs) {
            CurrKeyMap = 0; // the idle mark
            KeyinIdleMsec = 0;
            // The spacing counter stands still while no key is down, but the
            // five quiet minutes are far longer than the spacing: let the
            // mark through now rather than drop it.
            if (KeyRepeatPeriodCnt < KeyRepeatPeriodNum)
                KeyRepeatPeriodCnt = KeyRepeatPeriodNum;
        }
    }

    const uint64_t last = KeyMapPool[pre_idx];
    if (CurrKeyMap == last && KeyRepeatDelayCnt < KeyRepeatDelayNum) {
        if (CurrKeyMap != kNoKey) {
            KeyRepeatDelayCnt += kTickMs;
            KeyRepeatPeriodCnt += kTickMs;
            KeyinIdleMsec = 0;
        }
    } else if (KeyRepeatPeriodCnt < KeyRepeatPeriodNum) {
        KeyRepeatPeriodCnt += kTickMs;
        KeyinIdleMsec = 0;
    } else if (KeyPoolSema[KeyPooliIdx]) {
        // The queue is full: the key map waits for a later call.
    } else {
        if (CurrKeyMap != last)
            KeyRepeatDelayCnt = 0;
        KeyRepeatPeriodCnt = 0;
        KeyMapPool[KeyPooliIdx] = CurrKeyMap;
        KeyPoolSema[KeyPooliIdx] = 1;
        pre_idx = KeyPooliIdx;
        KeyPooliIdx = (KeyPooliIdx + 1) % 4;
        KeyinIdleMsec = 0;
    }

    if (KeyPoolSema[KeyPooloIdx]) {
        const uint64_t key = KeyMapPool[KeyPooloIdx];
        KeyPoolSema[KeyPooloIdx] = 0;
        KeyPooloIdx = (KeyPooloIdx + 1) % 4;
        return key;
    }
    return kNoKey;
} DVR_C_BOUNDARY("fpga", 0)

// The front-panel LEDs are not wired to the register window on this board.
void fpga_set_alarm_led(int on) { (void)on; }
void fpga_set_all_led(int on) { (void)on; }
void fpga_set_call_led(int on) { (void)on; }
void fpga_set_copy_led(int on) { (void)on; }
void fpga_set_dome_led(int on) { (void)on; }
void fpga_set_freeze_led(int on) { (void)on; }
void fpga_set_menu_led(int on) { (void)on; }
void fpga_set_mode_led(int on) { (void)on; }
void fpga_set_pb_led(int on) { (void)on; }
void fpga_set_rec_led(int on) { (void)on; }
void fpga_set_search_led(int on) { (void)on; }
void fpga_set_seq_led(int on) { (void)on; }
void fpga_set_zoom_led(int on) { (void)on; }
void fpga_set_ch_led(int channel, int on)
try {
    (void)channel;
    (void)on;
} DVR_C_BOUNDARY("fpga")
void fpga_set_16chs_led(int on) { (void)on; }

} // extern "C"
