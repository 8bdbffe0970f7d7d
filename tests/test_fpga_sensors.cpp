// Sensor inputs and outputs: alarm inputs, video loss, motion results,
// relays, termination and the motion overlay, from the port trace.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::Trace;

TEST(FpgaSensors, AlarmAndVideoLoss)
{
    struct {
        uint32_t (*fn)(void);
        unsigned lo_off, hi_off;
        uint8_t lo, hi;
        uint32_t expect;
    } cases[] = {
        {fpga_get_almin, 0x21, 0x22, 0xFF, 0xFF, 0xFFFFFFFFu},
        {fpga_get_almin, 0x21, 0x22, 0x0F, 0xF0, 0xFFFFF00Fu},
        {fpga_get_almin, 0x21, 0x22, 0x00, 0x00, 0xFFFF0000u},
        {fpga_get_vloss, 0x26, 0x27, 0x80, 0x01, 0xFFFF0180u},
    };
    FpgaSim sim;
    for (auto &c : cases) {
        sim.set_status(0x00, c.lo_off, c.lo);
        sim.set_status(0x00, c.hi_off, c.hi);
        sim.set_reg(0x00, c.lo_off, 0x55); // the data port is not what is read
        sim.clear_trace();
        EXPECT_EQ(c.fn(), c.expect);
        EXPECT_EQ(sim.trace(), Trace().A(0x00).O(c.lo_off).S(c.lo).O(c.hi_off).S(c.hi).lines());
    }
}

TEST(FpgaSensors, MotionStopsAtFirstNonZeroCell)
{
    // Camera c's 31 cells are status bytes (c % 8) * 31 + cell of address
    // 0xA3 + c / 8; a camera has motion when any cell is non-zero.
    struct {
        const char *name;
        std::vector<std::pair<unsigned, unsigned>> cells; // (camera, cell) set non-zero
        uint32_t expect;
    } cases[] = {
        {"none", {}, 0},
        {"last byte of bank 0xA4", {{15, 30}}, 0x8000},
        {"first cell of camera 0 and middle of camera 9", {{0, 0}, {9, 12}, {9, 13}}, 0x0201},
        {"every camera", {{0, 5}, {1, 0}, {2, 30}, {3, 1}, {4, 2}, {5, 3}, {6, 4}, {7, 6},
                          {8, 0}, {9, 0}, {10, 0}, {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0}}, 0xFFFF},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        FpgaSim sim;
        for (auto [cam, cell] : c.cells)
            sim.set_status(0xA3 + cam / 8, (cam % 8) * 31 + cell, static_cast<uint8_t>(0x10 + cell));
        EXPECT_EQ(fpga_get_motion(), c.expect);
    }

    // The port accesses for one board: each camera's cells are read in
    // order up to its first non-zero one; camera 1 has motion in its second
    // cell, camera 8 none (all 31 cells read), camera 9 in its third.
    FpgaSim sim;
    for (unsigned cam = 0; cam < 16; ++cam)
        if (cam != 8)
            sim.set_status(0xA3 + cam / 8, (cam % 8) * 31 + (cam == 1 ? 1 : cam == 9 ? 2 : 0), 0x40 + cam);
    sim.clear_trace();
    EXPECT_EQ(fpga_get_motion(), 0xFEFFu);
    const char *const want =
        "A A3 O 00 S 40 O 1F S 00 O 20 S 41 O 3E S 42 O 5D S 43 O 7C S 44 O 9B S 45 O BA S 46 O D9 S 47 "
        "A A4 O 00 S 00 O 01 S 00 O 02 S 00 O 03 S 00 O 04 S 00 O 05 S 00 O 06 S 00 O 07 S 00 "
        "O 08 S 00 O 09 S 00 O 0A S 00 O 0B S 00 O 0C S 00 O 0D S 00 O 0E S 00 O 0F S 00 "
        "O 10 S 00 O 11 S 00 O 12 S 00 O 13 S 00 O 14 S 00 O 15 S 00 O 16 S 00 O 17 S 00 "
        "O 18 S 00 O 19 S 00 O 1A S 00 O 1B S 00 O 1C S 00 O 1D S 00 O 1E S 00 "
        "O 1F S 00 O 20 S 00 O 21 S 49 O 3E S 4A O 5D S 4B O 7C S 4C O 9B S 4D O BA S 4E O D9 S 4F";
    // Two words per trace line.
    std::vector<std::string> lines;
    std::istringstream in(want);
    for (std::string kind, value; in >> kind >> value;)
        lines.push_back(kind + " " + value);
    EXPECT_EQ(sim.trace(), lines);
}

TEST(FpgaSensors, Outputs)
{
    struct {
        const char *name;
        void (*op)();
        Trace expect;
    } cases[] = {
        {"relays 1, 0, 3", [] { fpga_relay_onoff(1, 0, 3); }, Trace().A(0x00).OW(0x23, 0x05)},
        {"relays 0, 1, 0", [] { fpga_relay_onoff(0, 1, 0); }, Trace().A(0x00).OW(0x23, 0x02)},
        {"termination 0x1234", [] { EXPECT_EQ(fpga_set_terminate(0x1234), 0); },
         Trace().A(0x00).OW(0x24, 0x34).OW(0x25, 0x12)},
        {"termination -1", [] { EXPECT_EQ(fpga_set_terminate(-1), 0); },
         Trace().A(0x00).OW(0x24, 0xFF).OW(0x25, 0xFF)},
        {"dot row 3", [] { fpga_set_motion_dot(99, 3, 0xABCD); }, Trace().A(0xA2).OW(0x06, 0xCD).OW(0x07, 0xAB)},
        {"dot row 15", [] { fpga_set_motion_dot(0, 15, 0x8001); }, Trace().A(0xA2).OW(0x1E, 0x01).OW(0x1F, 0x80)},
        {"cursor 10, 3", [] { fpga_set_motion_cursor(0, 10, 3); }, Trace().A(0xA2).OW(0x27, 0x04)},
        {"cursor 7, 0", [] { fpga_set_motion_cursor(0, 7, 0); }, Trace().A(0xA2).OW(0x20, 0x80)},
        {"clear cursor 10, 3", [] { fpga_clear_motion_cursor(0, 10, 3); }, Trace().A(0xA2).OW(0x27, 0x00)},
    };
    FpgaSim sim;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_trace();
        c.op();
        EXPECT_EQ(sim.trace(), c.expect.lines());
    }
    // A negative column has no cell: refused with a report.
    sim.clear_trace();
    CaptureStdout cap;
    fpga_set_motion_cursor(0, -3, 1);
    EXPECT_NE(cap.take().find("fpga_set_motion_cursor(): motion cursor column -3 out of range"), std::string::npos);
    EXPECT_TRUE(sim.trace().empty());
}

TEST(FpgaSensors, OverlayOnOff)
{
    struct {
        int mon, on;
        unsigned enable;
    } cases[] = {{1, 1, 0x02}, {0, 1, 0x01}, {0, 0, 0x00}, {1, 0, 0x00}, {1, 0x81, 0x02}};
    FpgaSim sim;
    for (auto &c : cases) {
        sim.set_reg(0xA2, 0x05, 0x7E);
        sim.set_reg(0xA2, 0x25, 0x01);
        sim.clear_trace();
        fpga_motion_dot_onoff(c.mon, c.on);
        Trace t;
        t.A(0xA2);
        for (unsigned o = 0; o < 0x40; ++o)
            t.OW(o, 0);
        t.OW(0x80, c.enable);
        EXPECT_EQ(sim.trace(), t.lines()) << c.mon << ", " << c.on;
        EXPECT_EQ(sim.reg(0xA2, 0x05), 0);
        EXPECT_EQ(sim.reg(0xA2, 0x25), 0);
    }
}
