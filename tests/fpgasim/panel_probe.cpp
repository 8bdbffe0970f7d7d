// The program under test for the panel's browser test: drives and reads the
// simulated board through the library, on the file DVRPLAT_FPGA_SIM names.
//   panel_probe init3x3   fpga_init, then a 3x3 layout of cameras 0-8 on output 0
//   panel_probe font      loads a font whose glyph 'F' is a checkerboard (the
//                         top row's leftmost pixel lit; the other glyphs are
//                         empty) and writes "F" at column 2 of text row 1
//   panel_probe alarm     prints the alarm inputs (fpga_get_almin) as 0xHHHHHHHH
//   panel_probe keymap    polls fpga_read_keymap until it returns a key map
//                         other than "no key" (at most 200 calls) and prints it
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fpga.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: panel_probe init3x3|font|alarm|keymap\n");
        return 2;
    }
    if (fpga_open() != 0) {
        std::fprintf(stderr, "panel_probe: no board\n");
        return 1;
    }
    if (std::strcmp(argv[1], "init3x3") == 0) {
        fpga_init();
        const unsigned char cams[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
        return fpga_9split_disp(0, cams, 0, 0) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "font") == 0) {
        // Each record starts with two bytes that are not glyph data.
        static std::array<std::array<unsigned char, 34>, 256> records{};
        std::array<const unsigned char *, 256> table{};
        for (size_t c = 0; c < 256; ++c)
            table[c] = records[c].data();
        for (size_t r = 0; r < 32; ++r)
            records['F'][r + 2] = (r / 2) % 2 ? 0x55 : 0xAA;
        const unsigned char text[2] = {0x00, 'F'};
        return fpga_font_write(0, table.data()) == 0 && fpga_osd_write(0, text, 2, 2, 1) == 0 ? 0 : 1;
    }
    if (std::strcmp(argv[1], "alarm") == 0) {
        std::printf("0x%08" PRIX32 "\n", fpga_get_almin());
        return 0;
    }
    if (std::strcmp(argv[1], "keymap") == 0) {
        // The keys are read by calls, not by time: debouncing and queueing
        // count calls, so no pacing is needed here.
        for (int i = 0; i < 200; ++i) {
            const uint64_t map = fpga_read_keymap();
            if (map != ~uint64_t{0}) {
                std::printf("0x%016" PRIX64 " after %d calls\n", map, i + 1);
                return 0;
            }
        }
        std::printf("no key\n");
        return 1;
    }
    std::fprintf(stderr, "panel_probe: unknown request %s\n", argv[1]);
    return 2;
}
