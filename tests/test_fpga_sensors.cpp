// Sensor inputs and outputs: alarm inputs, video loss, motion results,
// relays, termination and the motion overlay, from the port trace.
#include <gtest/gtest.h>

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
        // Each camera's cells are read in order up to its first non-zero one.
        Trace t;
        for (unsigned bank = 0; bank < 2; ++bank) {
            t.A(0xA3 + bank);
            for (unsigned j = 0; j < 8; ++j) {
                const unsigned cam = bank * 8 + j;
                unsigned first = 31;
                for (auto [cc, cell] : c.cells)
                    if (cc == cam && cell < first)
                        first = cell;
                for (unsigned k = 0; k < 31 && k <= first; ++k)
                    t.O(j * 31 + k).S(k == first ? 0x10 + k : 0);
            }
        }
        EXPECT_EQ(sim.trace(), t.lines());
    }
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
