// On-screen display: palette, background colours, text cells, font,
// pointer cursor and the start-up state, checked from the port trace.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::allpath_off_trace;
using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::Trace;

TEST(FpgaOsd, Colours)
{
    struct {
        const char *name;
        int (*op)();
        int rc;
        Trace expect;
    } cases[] = {
        {"foreground 3 of output 0", [] { return fpga_osd_set_fgcolor(0, 3, 200, 16, 149); }, 0,
         Trace().A(0x1E).OW(0x0C, 16).OW(0x0D, 149).OW(0x0E, 200).OW(0x0F, 0)},
        {"foreground 7 of output 1", [] { return fpga_osd_set_fgcolor(1, 7, 90, 128, 0x1FF); }, 0,
         Trace().A(0x3E).OW(0x1C, 128).OW(0x1D, 0xFF).OW(0x1E, 90).OW(0x1F, 0)},
        {"foreground 8 refused", [] { return fpga_osd_set_fgcolor(0, 8, 1, 2, 3); }, -1, Trace()},
        {"foreground -1 refused", [] { return fpga_osd_set_fgcolor(0, -1, 1, 2, 3); }, -1, Trace()},
        {"text background of output 1", [] { return fpga_osd_set_bgcolor(1, 10, 20, 30); }, 0,
         Trace().A(0x3E).OW(0x20, 20).OW(0x21, 30).OW(0x22, 10)},
        {"output background 0", [] { return fpga_mon_set_bgcolor(0, 10, 20, 30); }, 0,
         Trace().A(0x01).OW(0x83, 10).OW(0x84, 20).OW(0x85, 30)},
        {"output background 1", [] { return fpga_mon_set_bgcolor(1, 10, 20, 30); }, 0,
         Trace().A(0x01).OW(0x8B, 10).OW(0x8C, 20).OW(0x8D, 30)},
    };
    FpgaSim sim;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_trace();
        CaptureStdout cap;
        EXPECT_EQ(c.op(), c.rc);
        std::string out = cap.take();
        EXPECT_EQ(sim.trace(), c.expect.lines());
        if (c.rc < 0) {
            EXPECT_NE(out.find("fpga_osd_set_fgcolor(): palette entry"), std::string::npos) << out;
        }
    }
}

namespace {
// Cells "A0", "B1", ... as bytes: high byte i, low byte 'A' + i.
std::vector<unsigned char> cells(int n, int extra_bytes = 0)
{
    std::vector<unsigned char> b;
    for (int i = 0; i < n; ++i) {
        b.push_back(static_cast<unsigned char>(i));
        b.push_back(static_cast<unsigned char>('A' + i));
    }
    for (int i = 0; i < extra_bytes; ++i)
        b.push_back(0xEE);
    return b;
}
} // namespace

TEST(FpgaOsd, TextWrites)
{
    struct {
        const char *name;
        int mon, cells, extra, x, y;
        int rc;
        Trace expect;
        const char *report;
    } cases[] = {
        // pos 134: page 0x11, cells 6..10, running from row 2 into row 3.
        {"end of row 2", 0, 5, 0, 44, 2, 0,
         Trace().A(0x11).OW(12, 0).OW(13, 'A').OW(14, 1).OW(15, 'B').OW(16, 2).OW(17, 'C').OW(18, 3).OW(19, 'D')
             .OW(20, 4).OW(21, 'E'),
         nullptr},
        {"odd last byte ignored", 0, 1, 1, 0, 0, 0, Trace().A(0x10).OW(0, 0).OW(1, 'A'), nullptr},
        {"page crossing at pos 127", 0, 2, 0, 37, 2, 0,
         Trace().A(0x10).OW(254, 0).OW(255, 'A').A(0x11).OW(0, 1).OW(1, 'B'), nullptr},
        {"output 1 has no text", 1, 2, 0, 0, 0, -1, Trace(), "fpga_osd_write(): output 1 has no text layer"},
        {"negative column", 0, 2, 0, -1, 3, -1, Trace(), "bad text write"},
        {"start past the text memory", 0, 1, 0, 6, 34, -1, Trace(), "beyond the text memory"},
        // pos 1535 is the last cell of page 0x1B; the second cell would be
        // the palette's first register.
        {"cut at the end of the text memory", 0, 2, 0, 5, 34, -1, Trace().A(0x1B).OW(254, 0).OW(255, 'A'),
         "text cut at the end of the text memory (1 of 2 cells written)"},
    };
    FpgaSim sim;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_trace();
        auto bytes = cells(c.cells, c.extra);
        CaptureStdout cap;
        EXPECT_EQ(fpga_osd_write(c.mon, bytes.data(), static_cast<int>(bytes.size()), c.x, c.y), c.rc);
        std::string out = cap.take();
        EXPECT_EQ(sim.trace(), c.expect.lines());
        if (c.report) {
            EXPECT_NE(out.find(c.report), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
    }
    EXPECT_EQ(sim.reg(0x1E, 0), 0) << "palette untouched";
}

TEST(FpgaOsd, Cursor)
{
    FpgaSim sim;
    struct {
        int x, y;
        unsigned xs, ys, ctl;
    } cases[] = {
        {100, 300, 25, 150, 0x80},
        {100, 600, 25, 44, 0x81},
        {-4, -2, 0xFF, 0xFF, 0x81}, // arithmetic shifts: -1 and -1
        {719, 479, 179, 239, 0x80},
    };
    for (auto &c : cases) {
        sim.clear_trace();
        EXPECT_EQ(fpga_move_cursor(c.x, c.y), 0);
        EXPECT_EQ(sim.trace(), Trace().A(0x01).OW(0x90, c.xs).OW(0x91, c.ys).OW(0x92, c.ctl).lines())
            << c.x << ", " << c.y;
    }
    sim.clear_trace();
    EXPECT_EQ(fpga_hide_cursor(), 0);
    EXPECT_EQ(sim.trace(), dvrtest::trace_write(0x01, 0x92, 0));
}

TEST(FpgaOsd, FontLoad)
{
    // Records of 34 bytes: two bytes not loaded, then the 32 glyph bytes.
    std::vector<std::array<unsigned char, 34>> records(256);
    std::vector<const unsigned char *> table(256);
    for (unsigned c = 0; c < 256; ++c) {
        records[c][0] = 0xEE;
        records[c][1] = 0xEE;
        for (unsigned r = 0; r < 32; ++r)
            records[c][r + 2] = static_cast<unsigned char>(c ^ r);
        table[c] = records[c].data();
    }
    FpgaSim sim;
    EXPECT_EQ(fpga_font_write(1, table.data()), 0);
    Trace t;
    for (unsigned c = 0; c < 256; ++c) {
        t.A(0x41).OW(0, c).A(0x40);
        for (unsigned r = 0; r < 32; ++r)
            t.OW(r, c ^ r);
    }
    EXPECT_EQ(sim.trace(), t.lines());

    // A table with a missing glyph loads nothing.
    table[200] = nullptr;
    sim.clear_trace();
    CaptureStdout cap;
    EXPECT_EQ(fpga_font_write(0, table.data()), -1);
    EXPECT_EQ(fpga_font_write(0, nullptr), -1);
    EXPECT_NE(cap.take().find("fpga_font_write(): glyph 200 missing"), std::string::npos);
    EXPECT_TRUE(sim.trace().empty());
}

namespace {
const unsigned kPalette[8][3] = {{250, 127, 127}, {145, 100, 100}, {200, 16, 149}, {163, 135, 174},
                                 {146, 132, 165}, {142, 103, 154}, {50, 135, 174},  {90, 128, 128}};

// Where each text row's blank line of 64 cells lands: rows are 45 cells
// apart, a page (address 10h upwards) holds 128 cells of two bytes, so a
// line that crosses a page's end goes on at offset 0 of the next page.
struct TextRun {
    unsigned address, offset, cells;
};
const TextRun kBlankLineRuns[30][2] = {
    {{0x10, 0x00, 64}},                   // row 0
    {{0x10, 0x5A, 64}},                   // row 1
    {{0x10, 0xB4, 38}, {0x11, 0x00, 26}}, // row 2
    {{0x11, 0x0E, 64}},                   // row 3
    {{0x11, 0x68, 64}},                   // row 4
    {{0x11, 0xC2, 31}, {0x12, 0x00, 33}}, // row 5
    {{0x12, 0x1C, 64}},                   // row 6
    {{0x12, 0x76, 64}},                   // row 7
    {{0x12, 0xD0, 24}, {0x13, 0x00, 40}}, // row 8
    {{0x13, 0x2A, 64}},                   // row 9
    {{0x13, 0x84, 62}, {0x14, 0x00, 2}},  // row 10
    {{0x13, 0xDE, 17}, {0x14, 0x00, 47}}, // row 11
    {{0x14, 0x38, 64}},                   // row 12
    {{0x14, 0x92, 55}, {0x15, 0x00, 9}},  // row 13
    {{0x14, 0xEC, 10}, {0x15, 0x00, 54}}, // row 14
    {{0x15, 0x46, 64}},                   // row 15
    {{0x15, 0xA0, 48}, {0x16, 0x00, 16}}, // row 16
    {{0x15, 0xFA, 3}, {0x16, 0x00, 61}},  // row 17
    {{0x16, 0x54, 64}},                   // row 18
    {{0x16, 0xAE, 41}, {0x17, 0x00, 23}}, // row 19
    {{0x17, 0x08, 64}},                   // row 20
    {{0x17, 0x62, 64}},                   // row 21
    {{0x17, 0xBC, 34}, {0x18, 0x00, 30}}, // row 22
    {{0x18, 0x16, 64}},                   // row 23
    {{0x18, 0x70, 64}},                   // row 24
    {{0x18, 0xCA, 27}, {0x19, 0x00, 37}}, // row 25
    {{0x19, 0x24, 64}},                   // row 26
    {{0x19, 0x7E, 64}},                   // row 27
    {{0x19, 0xD8, 20}, {0x1A, 0x00, 44}}, // row 28
    {{0x1A, 0x32, 64}},                   // row 29
};

// fpga_init's sequence with text rows 0..last_row cleared on output 0.
Trace init_trace(int last_row)
{
    Trace t;
    for (unsigned mon = 0; mon < 2; ++mon) {
        const unsigned pal = mon * 32 + 0x1E;
        t.add(allpath_off_trace(mon));
        for (unsigned k = 0; k < 8; ++k)
            t.A(pal).OW(k * 4, kPalette[k][1]).OW(k * 4 + 1, kPalette[k][2]).OW(k * 4 + 2, kPalette[k][0]).OW(k * 4 + 3, 0);
        t.A(pal).OW(0x20, 128).OW(0x21, 128).OW(0x22, 0);
        t.A(0x01).OW(0x83 + 8 * mon, 0).OW(0x84 + 8 * mon, 128).OW(0x85 + 8 * mon, 128);
        if (mon == 0) {
            for (int row = 0; row <= last_row; ++row) {
                // A 64-cell blank line from column 0 of the row, in the
                // text memory's pages as written out above.
                for (const TextRun &run : kBlankLineRuns[row]) {
                    if (run.cells == 0)
                        continue;
                    t.A(run.address);
                    for (unsigned i = 0; i < run.cells; ++i)
                        t.OW(run.offset + 2 * i, 0x00).OW(run.offset + 2 * i + 1, 0x20);
                }
            }
        }
        t.A(0xA2);
        for (unsigned o = 0; o < 0x40; ++o)
            t.OW(o, 0);
        t.OW(0x80, 0);
    }
    return t;
}
} // namespace

TEST(FpgaOsd, Init)
{
    FpgaSim sim;
    // Leftovers that fpga_init must clear.
    sim.set_reg(0x01, 0x05, 0x85);
    sim.set_reg(0x01, 0x70, 0x90);
    sim.set_reg(0x1A, 0x10, 0x41);
    sim.set_reg(0xA2, 0x80, 0x03);
    CaptureStdout cap;
    fpga_init();
    EXPECT_EQ(cap.take(), "");
    // 16-pixel rows: text rows 0 to 29 are cleared.
    EXPECT_EQ(sim.trace(), init_trace(29).lines());
    EXPECT_EQ(sim.reg(0x01, 0x05), 0);
    EXPECT_EQ(sim.reg(0x01, 0x70), 0);
    EXPECT_EQ(sim.reg(0x1A, 0x10), 0x00);
    EXPECT_EQ(sim.reg(0x1A, 0x11), 0x20);
    EXPECT_EQ(sim.reg(0xA2, 0x80), 0);
    EXPECT_EQ(sim.reg(0x3E, 0x1A), 50); // Y of foreground 6 on output 1

    // Taller characters: fewer rows.
    FontBitY = 24;
    sim.clear_trace();
    fpga_init();
    EXPECT_EQ(sim.trace(), init_trace(19).lines());
    FontBitY = 16;
}
