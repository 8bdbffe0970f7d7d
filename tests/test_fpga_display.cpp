// Display routing: layouts, blanking, freeze, zoom, checked from the
// simulator's port trace.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::allpath_off_trace;
using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::Trace;

namespace {

struct Path {
    unsigned value, h, v;
};

// The trace of a layout: clear the output, then per path its register,
// horizontal and vertical position.
Trace layout_trace(unsigned mon, const std::vector<Path> &paths)
{
    Trace t = allpath_off_trace(mon);
    t.A(0x01);
    for (unsigned i = 0; i < paths.size(); ++i)
        t.OW(mon * 64 + i, paths[i].value).OW(mon * 64 + 16 + i, paths[i].h).OW(mon * 64 + 32 + i, paths[i].v);
    return t;
}

struct LayoutCase {
    const char *name;
    int mon, tiles;
    std::vector<unsigned char> cameras;
    uint32_t mask_a, mask_b;
    std::vector<Path> expect;
};

} // namespace

TEST(FpgaDisplay, Layouts)
{
    const std::vector<unsigned char> ident16{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const std::vector<LayoutCase> cases = {
        {"full screen", 0, 1, {7}, 0, 0, {{0x87, 0, 0}}},
        {"full screen masked, output 1", 1, 1, {5}, 0, 1u << 5, {{0x9F, 0, 0}}},
        {"2x2", 0, 4, {3, 7, 11, 15}, 0, 0, {{0xA3, 0, 0}, {0xA7, 6, 0}, {0xAB, 0, 30}, {0xAF, 6, 30}}},
        {"2x2 masks A and B, output 1",
         1,
         4,
         {3, 7, 11, 15},
         1u << 7,
         1u << 15,
         {{0xA3, 0, 0}, {0xBF, 6, 0}, {0xAB, 0, 30}, {0xBF, 6, 30}}},
        {"3x3 with masks",
         0,
         9,
         {0, 1, 2, 3, 4, 5, 6, 7, 8},
         (1u << 1) | (1u << 4),
         1u << 8,
         {{0xC0, 0, 0},
          {0xDF, 4, 0},
          {0xC2, 8, 0},
          {0xC3, 0, 20},
          {0xDF, 4, 20},
          {0xC5, 8, 20},
          {0xC6, 0, 40},
          {0xC7, 4, 40},
          {0xDF, 8, 40}}},
        {"4x4, camera 5 masked in B, output 1",
         1,
         16,
         ident16,
         0,
         1u << 5,
         {{0xE0, 0, 0},
          {0xE1, 3, 0},
          {0xE2, 6, 0},
          {0xE3, 9, 0},
          {0xE4, 0, 15},
          {0x7F, 3, 15},
          {0xE6, 6, 15},
          {0xE7, 9, 15},
          {0xE8, 0, 30},
          {0xE9, 3, 30},
          {0xEA, 6, 30},
          {0xEB, 9, 30},
          {0xEC, 0, 45},
          {0xED, 3, 45},
          {0xEE, 6, 45},
          {0xEF, 9, 45}}},
    };
    FpgaSim sim;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Directly and through the table.
        for (bool by_table : {false, true}) {
            sim.clear_trace();
            CaptureStdout cap;
            int rc = -2;
            if (by_table) {
                rc = fpga_split_disp(c.mon, c.tiles, c.cameras.data(), c.mask_a, c.mask_b);
            } else {
                switch (c.tiles) {
                case 1: rc = fpga_fullscr_disp(c.mon, c.cameras.data(), c.mask_a, c.mask_b); break;
                case 4: rc = fpga_4split_disp(c.mon, c.cameras.data(), c.mask_a, c.mask_b); break;
                case 9: rc = fpga_9split_disp(c.mon, c.cameras.data(), c.mask_a, c.mask_b); break;
                case 16: rc = fpga_16split_disp(c.mon, c.cameras.data(), c.mask_a, c.mask_b); break;
                }
            }
            std::string out = cap.take();
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(sim.trace(), layout_trace(c.mon, c.expect).lines());
            // Only the full-screen and 4x4 layouts print traces.
            size_t lines = 0;
            for (char ch : out)
                lines += ch == '\n';
            EXPECT_EQ(lines, c.tiles == 1 ? 1u : c.tiles == 16 ? 16u : 0u) << out;
        }
    }
}

TEST(FpgaDisplay, LayoutTraceMessages)
{
    FpgaSim sim;
    CaptureStdout cap;
    const unsigned char cam[1] = {5};
    fpga_fullscr_disp(1, cam, 0, 1u << 5); // blanked, yet the trace shows camera OR 0x80
    std::vector<unsigned char> ident16{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    fpga_16split_disp(0, ident16.data(), 1u << 5, 0);
    std::string out = cap.take();
    EXPECT_NE(out.find(": ch05 (0x00, 0x85), (0x50, 0x00), (0x60, 0x00)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("fpga,"), std::string::npos);
    EXPECT_EQ(out.find("()"), std::string::npos) << "layout traces carry no function name";
    EXPECT_NE(out.find(": (0x05, 0x7F) - x(0x15, 0x03) y(0x25, 0x0F)\n"), std::string::npos) << out;
    EXPECT_NE(out.find(": (0x0F, 0xEF) - x(0x1F, 0x09) y(0x2F, 0x2D)\n"), std::string::npos) << out;
}

TEST(FpgaDisplay, BadTileCountOrCamerasWriteNothing)
{
    FpgaSim sim;
    const unsigned char cams[16] = {};
    for (int tiles : {0, 2, 3, 5, 8, 15, 17, 100, -1}) {
        CaptureStdout cap;
        EXPECT_EQ(fpga_split_disp(0, tiles, cams, 0, 0), -1) << tiles;
        EXPECT_NE(cap.take().find("no layout of"), std::string::npos);
    }
    CaptureStdout cap;
    EXPECT_EQ(fpga_4split_disp(0, nullptr, 0, 0), -1);
    cap.take();
    EXPECT_TRUE(sim.trace().empty());
}

// The board has outputs 0 and 1. Every function that takes an output
// number refuses any other with a report (and -1 where it has a result),
// writing and reading no register.
TEST(FpgaDisplay, OutputNumbersOutsideTheBoardAreRefused)
{
    FpgaSim sim;
    for (unsigned a = 0; a < 256; a += 7)
        for (unsigned o = 0; o < 256; o += 3)
            sim.set_reg(a, o, static_cast<uint8_t>(a ^ o));
    unsigned char glyph[34] = {};
    const unsigned char *glyphs[256];
    for (auto &g : glyphs)
        g = glyph;
    const unsigned char cams[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};
    const unsigned char text[4] = {0x00, 0x41, 0x00, 0x42};
    constexpr int kNone = -99; // functions without a result
    struct Fn {
        const char *name;
        std::function<int(int)> call;
    } fns[] = {
        {"fpga_allpath_off", [](int mon) { fpga_allpath_off(mon); return kNone; }},
        {"fpga_fullscr_disp", [&](int mon) { return fpga_fullscr_disp(mon, cams, 0, 0); }},
        {"fpga_4split_disp", [&](int mon) { return fpga_4split_disp(mon, cams, 0, 0); }},
        {"fpga_9split_disp", [&](int mon) { return fpga_9split_disp(mon, cams, 0, 0); }},
        {"fpga_16split_disp", [&](int mon) { return fpga_16split_disp(mon, cams, 0, 0); }},
        {"fpga_16split_disp", [&](int mon) { return fpga_split_disp(mon, 16, cams, 0, 0); }},
        {"fpga_freeze_onoff", [](int mon) { return fpga_freeze_onoff(mon, 0); }},
        {"fpga_x2zoom_disp", [](int mon) { return fpga_x2zoom_disp(mon, 0, 40, 40, 0, 0); }},
        {"fpga_osd_set_fgcolor", [](int mon) { return fpga_osd_set_fgcolor(mon, 1, 10, 20, 30); }},
        {"fpga_osd_set_bgcolor", [](int mon) { return fpga_osd_set_bgcolor(mon, 10, 20, 30); }},
        {"fpga_mon_set_bgcolor", [](int mon) { return fpga_mon_set_bgcolor(mon, 10, 20, 30); }},
        {"fpga_font_write", [&](int mon) { return fpga_font_write(mon, glyphs); }},
        {"fpga_osd_write", [&](int mon) { return fpga_osd_write(mon, text, 4, 0, 0); }},
        {"fpga_motion_dot_onoff", [](int mon) { fpga_motion_dot_onoff(mon, 1); return kNone; }},
    };
    // The zoom window's place, to see that refused moves leave it.
    fpga_x2zoom_disp(0, 0, 0, 0, 0, 0);
    const uint8_t zoom_h = sim.reg(0x01, 0x30), zoom_v = sim.reg(0x01, 0x31);
    const std::string before = dvrtest::read_file(sim.sim_path()).substr(0, 131072);
    sim.clear_trace();
    for (const Fn &f : fns) {
        for (int mon : {-1, 2, 3, 4, -16, 64, INT_MIN, INT_MAX}) {
            CaptureStdout cap;
            const int rc = f.call(mon);
            const std::string out = cap.take();
            if (rc != kNone) {
                EXPECT_EQ(rc, -1) << f.name << " output " << mon;
            }
            EXPECT_NE(out.find(std::string(":") + f.name + "(): output " + std::to_string(mon)), std::string::npos)
                << f.name << " output " << mon << ": " << out;
            EXPECT_TRUE(sim.trace().empty()) << f.name << " output " << mon;
            sim.clear_trace();
        }
    }
    EXPECT_TRUE(dvrtest::read_file(sim.sim_path()).substr(0, 131072) == before) << "register file changed";
    fpga_x2zoom_disp(0, 0, 0, 0, 0, 0);
    EXPECT_EQ(sim.reg(0x01, 0x30), zoom_h);
    EXPECT_EQ(sim.reg(0x01, 0x31), zoom_v);
}

TEST(FpgaDisplay, AllPathsOffAndCallMonitor)
{
    FpgaSim sim;
    fpga_allpath_off(1);
    EXPECT_EQ(sim.trace(), allpath_off_trace(1).lines());
    sim.clear_trace();
    EXPECT_EQ(fpga_set_callmonitor(7), 7);
    EXPECT_EQ(fpga_set_second_callmonitor(-3), -3);
    EXPECT_EQ(fpga_get_callmonitor(), 0);
    EXPECT_EQ(fpga_get_second_callmonitor(), 0);
    EXPECT_TRUE(sim.trace().empty());
}

TEST(FpgaDisplay, FreezeKeepsOtherBits)
{
    FpgaSim sim;
    struct {
        int mon, on;
        unsigned before, after;
    } cases[] = {
        {0, 0, 0x05, 0x85}, // set
        {0, 0, 0x85, 0x85}, // kept
        {0, 1, 0x8B, 0x0B}, // cleared
        {1, 7, 0x03, 0x03}, // any non-zero clears
        {1, 0, 0x7F, 0xFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "mon " << c.mon << " on " << c.on << " before " << c.before);
        const unsigned base = c.mon * 64 + 16;
        for (unsigned i = 0; i < 16; ++i)
            sim.set_reg(0x01, base + i, static_cast<uint8_t>(c.before));
        sim.clear_trace();
        CaptureStdout cap;
        EXPECT_EQ(fpga_freeze_onoff(c.mon, c.on), static_cast<int>(c.after));
        std::string out = cap.take();
        Trace t;
        t.A(0x01);
        for (unsigned i = 0; i < 16; ++i) {
            t.O(base + i).R(c.before).O(base + i).W(c.after);
            EXPECT_EQ(sim.reg(0x01, base + i), c.after);
        }
        EXPECT_EQ(sim.trace(), t.lines());
        char line[96];
        std::snprintf(line, sizeof line, ":fpga_freeze_onoff(): (Addr, Offset, Data) = (0x01, 0x%02X, 0x%02X)(%d)\n",
                      base + 15, c.after, c.on);
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
}

// The zoom window moves relative to where the last call left it, for either
// output; its state lives for the process, so the steps run in order here.
TEST(FpgaDisplay, ZoomStepsAndClamps)
{
    FpgaSim sim;
    struct {
        int mon, selector, dh, dv;
        int rc;
        unsigned h_reg, v_reg; // written values; ignored when rc is -1
    } steps[] = {
        {0, 0, 1000, -5, 0, 0xD9, 0x00},   // h clamps to 358, v to 0
        {0, 3, -100, 50, 0, 0xC0, 0x19},   // 258, 50
        {1, 0, 0, 500, 0, 0xC0, 0x77},     // v clamps to 238
        {0, -1, -1000, -1000, -1, 0, 0},   // refused, nothing changes
        {1, 0, -3, -1, 0, 0xBF, 0x76},     // 255, 237
        {0, 0, -2147483647, 2147483647, 0, 0x80, 0x77}, // no overflow: 0, 238
        {0, 0, 7, 3, 0, 0x81, 0x77},       // 7, 241 clamps to 238
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << "step " << s.dh << ", " << s.dv << " on output " << s.mon);
        sim.clear_trace();
        EXPECT_EQ(fpga_x2zoom_disp(s.mon, s.selector, s.dh, s.dv, 99, 99), s.rc);
        if (s.rc < 0) {
            EXPECT_TRUE(sim.trace().empty());
            continue;
        }
        const unsigned o = s.mon * 64 + 0x30;
        EXPECT_EQ(sim.trace(), Trace().A(0x01).OW(o, s.h_reg).OW(o + 1, s.v_reg).lines());
    }
    // Playback zoom is output 0, selector 0: from (7, 238) by (-7, -238).
    sim.clear_trace();
    EXPECT_EQ(fpga_playback_x2zoom(-7, -238), 0);
    EXPECT_EQ(sim.trace(), Trace().A(0x01).OW(0x30, 0x80).OW(0x31, 0x00).lines());
    // A layout switches the zoom off again.
    const unsigned char cam[1] = {2};
    CaptureStdout cap;
    fpga_fullscr_disp(0, cam, 0, 0);
    EXPECT_EQ(sim.reg(0x01, 0x30), 0);
    EXPECT_EQ(sim.reg(0x01, 0x31), 0);
}
