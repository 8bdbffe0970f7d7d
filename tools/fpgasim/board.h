// fpgasim: the board simulator file read into a picture of the board.
#ifndef DVRPLAT_FPGASIM_BOARD_H
#define DVRPLAT_FPGASIM_BOARD_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fpgasim {

struct Ycc {
    int y = 0, c1 = 128, c2 = 128;
};
struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};
// Y, C1 (blue difference), C2 (red difference), full-range BT.601.
Rgb to_rgb(const Ycc &c);

// Screen geometry the position registers describe: twelfths of the width
// and sixtieths of the height of a 720 x 480 picture.
constexpr int kScreenW = 720, kScreenH = 480;

struct Tile {
    int path = 0;
    uint8_t raw = 0;      // path register
    bool enabled = false; // bit 7
    int size = 0;         // 0 full, 1 quarter, 2 ninth, 3 sixteenth
    int camera = 0;       // 31: no picture
    int h = 0, v = 0;     // twelfths, sixtieths (bit 7 of h removed)
    bool freeze_bit = false;
    // The tile in screen pixels.
    int x0() const { return h * kScreenW / 12; }
    int y0() const { return v * kScreenH / 60; }
    int width() const { return kScreenW / (size + 1); }
    int height() const { return kScreenH / (size + 1); }
    bool blank() const { return camera == 31; }
};

struct Output {
    int mon = 0;
    std::array<Tile, 16> tiles;
    bool zoom = false;
    int zoom_x = 0, zoom_y = 0; // window of 360 x 240 pixels at this corner
    Ycc background;             // where no path shows
    std::array<Ycc, 8> palette; // text foreground colours
    Ycc text_background;
    bool overlay = false; // motion overlay enabled on this output
};

struct Board {
    std::array<Output, 2> outputs;
    // Text layer of output 0: 12 pages of 128 cells, 45 cells a row.
    static constexpr int kCols = 45, kRows = 30, kCells = 12 * 128;
    std::array<uint16_t, kCells> text{};
    bool cursor_shown = false;
    int cursor_x = 0, cursor_y = 0;
    // Motion overlay planes: [row][column].
    bool dots[16][16] = {};
    bool cursor_cells[16][16] = {};
    // Inputs and outputs.
    uint16_t alarm = 0, vloss = 0, motion = 0, termination = 0;
    uint8_t relays = 0;
    uint64_t keymap = 0;
    // Recording selection.
    int resolution = 0;
    std::array<int, 16> record_cameras{};
    std::vector<uint8_t> coax;

    // Glyph bitmaps of output 0's font that are known: 16 rows of two bytes
    // (first byte the left half, bit 7 the leftmost pixel). The file's font
    // table holds every glyph the library has loaded; a file without one
    // (made by an earlier version) shows only the glyph the font registers
    // hold, and a watcher that sees such a file over time collects more.
    // Cells whose glyph is unknown are drawn as the character of their
    // glyph index.
    using Glyph = std::array<uint8_t, 32>;
    std::array<std::optional<Glyph>, 256> glyphs{};
    // True when the glyphs come from the file's font table (at least one
    // glyph loaded there).
    bool font_table = false;

    uint16_t cell(int col, int row) const { return text[static_cast<size_t>(row * kCols + col)]; }
    bool row_blank(int row) const;
};

// The simulator file's bytes (at least the register, status and queue
// regions; a shorter file reads as zeros beyond its end, an empty one as
// the new board fpga_open would make of it).
bool load(const std::string &path, Board &b, std::string &error);
// The same from the file's bytes already in memory (kFileSize bytes; a
// shorter buffer reads as zeros beyond its end).
void load_bytes(const uint8_t *bytes, size_t n, Board &b);

const char *resolution_name(int r);

// Text form of the board; Picture form in picture.cpp.
std::string render_text(const Board &b);

// Writes the picture as a PNG file; false with a message on failure.
bool write_png(const Board &b, const std::string &path, std::string &error);
// The same picture as PNG bytes in memory.
bool render_png(const Board &b, std::vector<uint8_t> &png, std::string &error);
// The fill colour of camera cam's tiles in the picture.
Rgb camera_colour(int cam);
// The picture's size in pixels.
void picture_size(int &w, int &h);

// The coaxial queue, one message a line.
std::string decode_coax(const std::vector<uint8_t> &q);

// A number as the tool's help gives it: decimal digits ("010" is ten), or
// "0x" and hexadecimal digits, at most max. Nothing else is taken: no
// sign, no blanks.
bool parse_number(const char *s, unsigned long long max, unsigned long long &out);

// printf into a string (at most 511 characters).
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace fpgasim

#endif
