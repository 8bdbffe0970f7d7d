// Front-panel keypad poller: sampling, debounce, auto-repeat, idle mark
// and queue, driven call by call through the simulator's key registers.
//
// The poller's state lives for the process and nothing resets it: the
// first test sees the state of a fresh process, the others first release
// every key and poll until the poller has settled.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::FpgaSim;
using dvrtest::Trace;

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// Key registers 0x30..0x34 from bits 24..63 of a key map (0 = pressed).
void set_keys(const FpgaSim &sim, uint64_t map)
{
    for (unsigned k = 0; k < 5; ++k)
        sim.set_reg(0x00, 0x30 + k, static_cast<uint8_t>(map >> (24 + 8 * k)));
}

// A key map with one key down: key register 0x30 + reg, bit.
uint64_t key(unsigned reg, unsigned bit) { return kNone & ~(uint64_t{1} << (24 + 8 * reg + bit)); }

// The calls (1-based) of the next n that return something other than the
// empty-queue value, with what they returned.
struct Hit {
    int call;
    uint64_t map;
    bool operator==(const Hit &o) const { return call == o.call && map == o.map; }
};
std::vector<Hit> poll(int n)
{
    std::vector<Hit> hits;
    for (int i = 1; i <= n; ++i) {
        uint64_t m = fpga_read_keymap();
        if (m != kNone)
            hits.push_back({i, m});
    }
    return hits;
}

// No key down, and the release queued: the poller's counters then stand
// still until a key is pressed.
void settle(const FpgaSim &sim)
{
    set_keys(sim, kNone);
    poll(20);
}

// Polls without tracing port accesses (for long runs).
class Untraced {
public:
    Untraced()
    {
        ::unsetenv("DVRPLAT_FPGA_TRACE");
        fpga_open();
    }
};

} // namespace

TEST(FpgaKeypad, FirstCallsAndSample)
{
    FpgaSim sim;
    set_keys(sim, kNone);
    // The all-ones state is queued once (seventh call), seen as all ones.
    EXPECT_TRUE(poll(7).empty());
    // One call reads the five key registers, in order, under one latch.
    sim.set_reg(0x00, 0x30, 0xFE);
    sim.set_reg(0x00, 0x31, 0xFD);
    sim.set_reg(0x00, 0x32, 0xFB);
    sim.set_reg(0x00, 0x33, 0xF7);
    sim.set_reg(0x00, 0x34, 0xEF);
    sim.clear_trace();
    EXPECT_EQ(fpga_read_keymap(), kNone); // not yet debounced
    EXPECT_EQ(sim.trace(), Trace().A(0x00).O(0x30).R(0xFE).O(0x31).R(0xFD).O(0x32).R(0xFB).O(0x33).R(0xF7)
                               .O(0x34).R(0xEF).lines());
    // Called 1 above; call 9 returns it, with the registers in bits 63..24.
    auto hits = poll(8);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].call, 8);
    EXPECT_EQ(hits[0].map, 0xEFF7FBFDFEFFFFFFull);
}

TEST(FpgaKeypad, HeldKeyRepeats)
{
    FpgaSim sim;
    Untraced quiet;
    settle(sim);
    const uint64_t k = key(2, 3);
    set_keys(sim, k);
    // Call 9 (3 samples to debounce, 6 calls of spacing), call 50 (400 ms
    // hold), then every 7th call.
    std::vector<Hit> expect;
    for (int call : {9, 50, 57, 64, 71, 78, 85, 92, 99})
        expect.push_back({call, k});
    EXPECT_EQ(poll(100), expect);
}

TEST(FpgaKeypad, DebounceNeedsThreeAgreeingSamples)
{
    FpgaSim sim;
    Untraced quiet;
    settle(sim);
    const uint64_t k = key(0, 0);
    // A key that bounces (down, up, down, up...) never settles.
    for (int i = 0; i < 40; ++i) {
        set_keys(sim, (i % 2) ? kNone : k);
        EXPECT_EQ(fpga_read_keymap(), kNone) << "call " << i;
    }
    // Down twice then up: still nothing; a third down sample is needed.
    set_keys(sim, k);
    poll(2);
    set_keys(sim, kNone);
    EXPECT_TRUE(poll(20).empty());
}

TEST(FpgaKeypad, SecondKeyWaitsForSpacing)
{
    FpgaSim sim;
    Untraced quiet;
    settle(sim);
    const uint64_t a = key(1, 0), b = key(4, 7);
    set_keys(sim, a);
    auto first = poll(9);
    ASSERT_EQ(first, (std::vector<Hit>{{9, a}}));
    // B replaces A at once: debounced on its third call, but queued only
    // when 60 ms have passed since A was queued.
    set_keys(sim, b);
    EXPECT_EQ(poll(10), (std::vector<Hit>{{7, b}}));
    // Several changes in a row all come through, in order, through the
    // four queue slots.
    const uint64_t seq[] = {key(0, 1), key(0, 2), key(3, 3), a, b, key(2, 6)};
    std::vector<uint64_t> got;
    for (uint64_t m : seq) {
        set_keys(sim, m);
        for (auto &h : poll(10))
            got.push_back(h.map);
    }
    EXPECT_EQ(got, std::vector<uint64_t>(std::begin(seq), std::end(seq)));
    for (uint64_t m : got)
        EXPECT_EQ(m & 0xFFFFFF, 0xFFFFFFu);
}

TEST(FpgaKeypad, IdleMarkAfterFiveMinutes)
{
    FpgaSim sim;
    Untraced quiet;
    settle(sim);
    // Hold a key, release it and count quiet calls from the release.
    set_keys(sim, key(0, 5));
    poll(30);
    set_keys(sim, kNone);
    int first_mark = 0, marks = 0;
    for (int call = 1; call <= 61000; ++call) {
        uint64_t m = fpga_read_keymap();
        if (m == 0) {
            ++marks;
            if (!first_mark)
                first_mark = call;
            else
                // The next mark comes five minutes after the return to no
                // key was queued, 7 calls after the previous mark.
                EXPECT_EQ(call - first_mark, 30007);
        } else {
            EXPECT_EQ(m, kNone) << "call " << call;
        }
    }
    // Five minutes (30000 calls) after the release was queued, which is
    // within ten calls of the release.
    EXPECT_GE(first_mark, 30000);
    EXPECT_LE(first_mark, 30010);
    EXPECT_EQ(marks, 2);
    // A key pressed after the mark is reported as usual.
    set_keys(sim, key(1, 1));
    auto hits = poll(20);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].map, key(1, 1));
}

TEST(FpgaKeypad, LedSettersTouchNothing)
{
    FpgaSim sim;
    fpga_set_alarm_led(1);
    fpga_set_all_led(1);
    fpga_set_call_led(1);
    fpga_set_copy_led(1);
    fpga_set_dome_led(1);
    fpga_set_freeze_led(1);
    fpga_set_menu_led(1);
    fpga_set_mode_led(1);
    fpga_set_pb_led(1);
    fpga_set_rec_led(1);
    fpga_set_search_led(1);
    fpga_set_seq_led(1);
    fpga_set_zoom_led(1);
    fpga_set_ch_led(3, 1);
    fpga_set_16chs_led(0);
    EXPECT_TRUE(sim.trace().empty());
}
