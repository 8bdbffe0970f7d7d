// On-screen display: the text layer (cells, palette, font), the output
// background colours, the pointer cursor, and the start-up state of the
// whole display (fpga_init).
#include <algorithm>
#include <array>
#include <cstdint>

#include "fpga_internal.h"
#include "boundary.h"
#include "report.h"

using namespace dvr::fpga;

int FontBitY = 16;

namespace {

int OsdMaxY = 0;
constexpr int MainOutNr = 1; // only output 0 carries the text layer

// Text memory of an output: 12 pages of 128 two-byte cells, 45 cells a row.
constexpr int64_t kTextCells = reg::kTextPageCount * 128;
constexpr int kCellsPerRow = 45;

constexpr unsigned kDisplayAddress = reg::kDisplay;

constexpr unsigned text_base(int mon) { return reg::text_base(static_cast<unsigned>(mon)); }

struct Colour {
    int y, c1, c2;
};
constexpr std::array<Colour, 8> kDefaultPalette{{
    {250, 127, 127},
    {145, 100, 100},
    {200, 16, 149},
    {163, 135, 174},
    {146, 132, 165},
    {142, 103, 154},
    {50, 135, 174},
    {90, 128, 128},
}};

} // namespace

extern "C" {

int fpga_osd_set_fgcolor(int mon, int entry, int y, int c1, int c2)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    if (entry < 0 || entry > 7) {
        FPGA_REPORT("palette entry %d out of range [0-7]\n", entry);
        return -1;
    }
    const unsigned o = static_cast<unsigned>(entry) * 4;
    locked([&] {
        latch(reg::text_palette(static_cast<unsigned>(mon)), o);
        data_write(c1);
        latch_offset(o + 1);
        data_write(c2);
        latch_offset(o + 2);
        data_write(y);
        latch_offset(o + 3);
        data_write(0);
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_osd_set_bgcolor(int mon, int y, int c1, int c2)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    locked([&] {
        latch(reg::text_palette(static_cast<unsigned>(mon)), reg::kTextBackground);
        data_write(c1);
        latch_offset(reg::kTextBackground + 1);
        data_write(c2);
        latch_offset(reg::kTextBackground + 2);
        data_write(y);
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_mon_set_bgcolor(int mon, int y, int c1, int c2)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    const unsigned o = reg::background(static_cast<unsigned>(mon));
    locked([&] {
        latch(kDisplayAddress, o);
        data_write(y);
        latch_offset(o + 1);
        data_write(c1);
        latch_offset(o + 2);
        data_write(c2);
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_font_write(int mon, const unsigned char *const *glyphs)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    // Check the whole table first: a font is loaded completely or not at all.
    if (!glyphs) {
        FPGA_REPORT("no glyph table given\n");
        return -1;
    }
    for (int c = 0; c < 256; ++c) {
        if (!glyphs[c]) {
            FPGA_REPORT("glyph %d missing\n", c);
            return -1;
        }
    }
    const unsigned index_address = reg::font_index(static_cast<unsigned>(mon)),
                   data_address = reg::font_data(static_cast<unsigned>(mon));
    locked([&] {
        for (unsigned c = 0; c < 256; ++c) {
            latch(index_address, 0);
            data_write(c);
            port_write(Port::Address, data_address);
            for (unsigned r = 0; r < reg::kGlyphBytes; ++r) {
                latch_offset(r);
                data_write(glyphs[c][r + 2]); // each record starts with two bytes that are not glyph data
            }
        }
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_osd_write(int mon, const unsigned char *bytes, int len, int x, int y)
try {
    if (mon < 0 || mon >= MainOutNr) {
        FPGA_REPORT("output %d has no text layer\n", mon);
        return -1;
    }
    if (x < 0 || y < 0 || (len > 1 && !bytes)) {
        FPGA_REPORT("bad text write (%d bytes at %d, %d)\n", len, x, y);
        return -1;
    }
    // Cells past the end of the text memory would land in the palette and
    // font registers, so they are cut.
    constexpr int64_t kCells = kTextCells;
    const int64_t pos = static_cast<int64_t>(y) * kCellsPerRow + x;
    if (pos >= kCells) {
        FPGA_REPORT("text cell %lld beyond the text memory\n", static_cast<long long>(pos));
        return -1;
    }
    int64_t cells = len > 0 ? len / 2 : 0;
    int rc = 0;
    if (pos + cells > kCells) {
        FPGA_REPORT("text cut at the end of the text memory (%lld of %lld cells written)\n",
                    static_cast<long long>(kCells - pos), static_cast<long long>(cells));
        cells = kCells - pos;
        rc = -1;
    }
    locked([&] {
        unsigned page = text_base(mon) + reg::kTextPages + static_cast<unsigned>(pos / 128);
        unsigned cell = static_cast<unsigned>(pos % 128);
        port_write(Port::Address, page);
        for (int64_t i = 0; i < cells; ++i) {
            if (cell > 127) {
                ++page;
                cell = 0;
                port_write(Port::Address, page);
            }
            latch_offset(cell * 2);
            data_write(bytes[i * 2]);
            latch_offset(cell * 2 + 1);
            data_write(bytes[i * 2 + 1]);
            ++cell;
        }
    });
    return rc;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_move_cursor(int x, int y)
try {
    const int xs = x >> 2, ys = y >> 1;
    locked([&] {
        latch(kDisplayAddress, reg::kCursorX);
        data_write(static_cast<unsigned>(xs));
        latch_offset(reg::kCursorY);
        data_write(static_cast<unsigned>(ys));
        latch_offset(reg::kCursorControl);
        data_write(0x80u | ((static_cast<unsigned>(ys) >> 8) & 1u));
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_hide_cursor(void)
try {
    fpga_write(kDisplayAddress, reg::kCursorControl, 0);
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

void fpga_init(void)
try {
    fpga_open();
    bool clear_text = true;
    if (FontBitY <= 0) {
        FPGA_REPORT("character height %d unusable: text layer left as it is\n", FontBitY);
        clear_text = false;
    } else {
        OsdMaxY = 480 / FontBitY - 3;
    }
    std::array<unsigned char, 128> blank;
    for (size_t i = 0; i < blank.size(); i += 2) {
        blank[i] = 0x00;
        blank[i + 1] = 0x20;
    }
    for (int mon = 0; mon < 2; ++mon) {
        fpga_allpath_off(mon);
        for (int k = 0; k < 8; ++k)
            fpga_osd_set_fgcolor(mon, k, kDefaultPalette[k].y, kDefaultPalette[k].c1, kDefaultPalette[k].c2);
        fpga_osd_set_bgcolor(mon, 0, 128, 128);
        fpga_mon_set_bgcolor(mon, 0, 128, 128);
        // Only outputs with a text layer are cleared: the others would refuse.
        if (clear_text && mon < MainOutNr) {
            // The blank line is longer than a row; the last rows' lines are
            // shortened to end with the text memory.
            for (int row = 0; row <= OsdMaxY + 2; ++row) {
                const int64_t left = kTextCells - static_cast<int64_t>(row) * kCellsPerRow;
                if (left <= 0)
                    break;
                const int64_t cells = std::min<int64_t>(left, static_cast<int64_t>(blank.size() / 2));
                fpga_osd_write(mon, blank.data(), static_cast<int>(cells * 2), 0, row);
            }
        }
        fpga_motion_dot_onoff(mon, 0);
    }
} DVR_C_BOUNDARY("fpga")

} // extern "C"
