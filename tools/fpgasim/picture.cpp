// fpgasim: the board drawn as a picture (PNG through libpng when built
// with it).
//
// Layout: the two outputs side by side, each as a 720 x 480 screen under
// its title; under each its palette; at the bottom the recording selection
// and the inputs. Tiles are filled with a fixed colour per camera number
// (camera 0: #D62728) and labelled with the camera in large letters.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"

#ifdef DVRPLAT_HAVE_PNG
#include <png.h>
#endif

namespace fpgasim {

namespace {

constexpr int kMargin = 20, kTitleH = 40;
constexpr int kScreenY = kMargin + kTitleH;
constexpr int kPanelY = kScreenY + kScreenH + 16;
constexpr int kWidth = kMargin * 3 + kScreenW * 2;
constexpr int kHeight = kPanelY + 190;

constexpr int screen_x(int mon) { return kMargin + mon * (kScreenW + kMargin); }

// A fixed colour per camera number, neighbours in the usual layouts well
// apart; none of them grey, which marks blanked tiles.
constexpr Rgb kCameraColours[16] = {
    {0xD6, 0x27, 0x28}, {0x1F, 0x77, 0xB4}, {0x2C, 0xA0, 0x2C}, {0xFF, 0x7F, 0x0E},
    {0x94, 0x67, 0xBD}, {0x17, 0xBE, 0xCF}, {0x8C, 0x56, 0x4B}, {0xE3, 0x77, 0xC2},
    {0xBC, 0xBD, 0x22}, {0x39, 0x3B, 0x79}, {0x63, 0x79, 0x39}, {0x7B, 0x41, 0x73},
    {0xE7, 0xBA, 0x52}, {0x6B, 0x6E, 0xCF}, {0xAD, 0x49, 0x4A}, {0x17, 0x80, 0x6D},
};


#ifdef DVRPLAT_HAVE_PNG
// 5 x 7 glyphs for ASCII 0x20..0x7E, one byte per column, bit 0 the top row.
constexpr uint8_t kFont[95][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x14, 0x08, 0x3E, 0x08, 0x14}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x00},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x7F, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x0C, 0x52, 0x52, 0x52, 0x3E},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x08, 0x04, 0x08, 0x10, 0x08},
};

constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kPaper{236, 236, 232}, kInk{30, 30, 30};
constexpr Rgb kGrey{70, 70, 70}, kYellow{255, 220, 0}, kRed{230, 30, 30};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

class Canvas {
public:
    Canvas(int w, int h, Rgb fill) : w_(w), h_(h), px_(static_cast<size_t>(w) * h * 3)
    {
        rect(0, 0, w, h, fill);
    }
    int width() const { return w_; }
    int height() const { return h_; }
    const uint8_t *data() const { return px_.data(); }

    void pixel(int x, int y, Rgb c)
    {
        if (x < clip_x0_ || y < clip_y0_ || x >= clip_x1_ || y >= clip_y1_)
            return;
        uint8_t *p = &px_[(static_cast<size_t>(y) * w_ + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    // Half-way blend towards c.
    void tint(int x, int y, Rgb c)
    {
        if (x < clip_x0_ || y < clip_y0_ || x >= clip_x1_ || y >= clip_y1_)
            return;
        uint8_t *p = &px_[(static_cast<size_t>(y) * w_ + x) * 3];
        p[0] = static_cast<uint8_t>((p[0] + c.r) / 2);
        p[1] = static_cast<uint8_t>((p[1] + c.g) / 2);
        p[2] = static_cast<uint8_t>((p[2] + c.b) / 2);
    }
    void rect(int x, int y, int w, int h, Rgb c)
    {
        for (int j = std::max(y, clip_y0_); j < std::min(y + h, clip_y1_); ++j)
            for (int i = std::max(x, clip_x0_); i < std::min(x + w, clip_x1_); ++i)
                pixel(i, j, c);
    }
    // Outline of thickness t; dashed when dash > 0.
    void frame(int x, int y, int w, int h, int t, Rgb c, int dash = 0)
    {
        auto on = [&](int k) { return dash == 0 || (k / dash) % 2 == 0; };
        for (int i = 0; i < w; ++i)
            if (on(i)) {
                rect(x + i, y, 1, t, c);
                rect(x + i, y + h - t, 1, t, c);
            }
        for (int j = 0; j < h; ++j)
            if (on(j)) {
                rect(x, y + j, t, 1, c);
                rect(x + w - t, y + j, t, 1, c);
            }
    }
    static int text_width(const std::string &s, int scale) { return static_cast<int>(s.size()) * 6 * scale - scale; }
    void text(int x, int y, const std::string &s, int scale, Rgb c)
    {
        for (char ch : s) {
            glyph(x, y, static_cast<unsigned char>(ch), scale, c);
            x += 6 * scale;
        }
    }
    // Text with a one-step dark outline, readable on any fill.
    void label(int x, int y, const std::string &s, int scale, Rgb c)
    {
        const int d = std::max(1, scale / 2);
        for (int dy = -d; dy <= d; dy += d)
            for (int dx = -d; dx <= d; dx += d)
                if (dx || dy)
                    text(x + dx, y + dy, s, scale, kBlack);
        text(x, y, s, scale, c);
    }
    void glyph(int x, int y, unsigned char ch, int scale, Rgb c)
    {
        if (ch < 0x20 || ch > 0x7E)
            ch = '?';
        const uint8_t *cols = kFont[ch - 0x20];
        for (int i = 0; i < 5; ++i)
            for (int j = 0; j < 8; ++j)
                if ((cols[i] >> j) & 1)
                    rect(x + i * scale, y + j * scale, scale, scale, c);
    }
    void clip(int x, int y, int w, int h)
    {
        clip_x0_ = std::max(0, x);
        clip_y0_ = std::max(0, y);
        clip_x1_ = std::min(w_, x + w);
        clip_y1_ = std::min(h_, y + h);
    }
    void unclip() { clip(0, 0, w_, h_); }

private:
    int w_, h_;
    std::vector<uint8_t> px_;
    int clip_x0_ = 0, clip_y0_ = 0, clip_x1_ = w_, clip_y1_ = h_;
};


void draw_tile(Canvas &cv, int sx, const Tile &t)
{
    const int x = sx + t.x0(), y = kScreenY + t.y0(), w = t.width(), h = t.height();
    // Nothing of a tile spills over its neighbours or off the screen.
    cv.clip(std::max(x, sx), std::max(y, kScreenY), std::min(x + w, sx + kScreenW) - std::max(x, sx),
            std::min(y + h, kScreenY + kScreenH) - std::max(y, kScreenY));
    if (!t.enabled) {
        cv.frame(x + 2, y + 2, w - 4, h - 4, 2, Rgb{150, 150, 150}, 8);
        cv.label(x + 10, y + 10, format("PATH %d", t.path), 2, Rgb{190, 190, 190});
        cv.label(x + 10, y + 34, format("OFF (%02X)", t.raw), 2, Rgb{190, 190, 190});
        return;
    }
    const int big = t.size == 0 ? 8 : t.size == 1 ? 6 : t.size == 2 ? 4 : 3;
    if (t.blank()) {
        cv.rect(x, y, w, h, kGrey);
        for (int k = -h; k < w; k += 14) // hatching
            for (int j = 0; j < h; ++j)
                cv.pixel(x + k + j, y + j, Rgb{95, 95, 95});
        const std::string s = "BLANK";
        cv.label(x + (w - Canvas::text_width(s, big)) / 2, y + (h - 7 * big) / 2, s, big, Rgb{210, 210, 210});
    } else {
        cv.rect(x, y, w, h, camera_colour(t.camera));
        const std::string s = format("CAM %d", t.camera);
        cv.label(x + (w - Canvas::text_width(s, big)) / 2, y + (h - 7 * big) / 2, s, big, kWhite);
    }
    cv.frame(x, y, w, h, 2, kBlack);
    cv.label(x + 8, y + 8, format("PATH %d", t.path), 2, kWhite);
    if (t.freeze_bit) {
        const std::string f = "FREEZE BIT";
        cv.rect(x + 6, y + h - 26, Canvas::text_width(f, 2) + 8, 22, Rgb{20, 60, 160});
        cv.text(x + 10, y + h - 22, f, 2, kWhite);
    }
}

void draw_output(Canvas &cv, const Board &b, const Output &out)
{
    const int sx = screen_x(out.mon);
    std::string title = format("OUTPUT %d", out.mon);
    int tiles = 0;
    for (const Tile &t : out.tiles)
        tiles += t.enabled;
    title += tiles ? format("  %d PATH%s", tiles, tiles == 1 ? "" : "S") : "  NO PATHS";
    if (out.zoom)
        title += "  ZOOM X2";
    cv.text(sx, kMargin + 8, title, 3, kInk);

    cv.clip(sx, kScreenY, kScreenW, kScreenH);
    cv.rect(sx, kScreenY, kScreenW, kScreenH, to_rgb(out.background));
    for (const Tile &t : out.tiles)
        if (t.enabled || t.raw != 0)
            draw_tile(cv, sx, t);
    cv.clip(sx, kScreenY, kScreenW, kScreenH);

    if (out.mon == 0) {
        // The text layer: each cell drawn with its glyph's bitmap where the
        // font is known, else as the character of its glyph index.
        const Rgb fg = to_rgb(out.palette[0]), bg = to_rgb(out.text_background);
        for (int row = 0; row < Board::kRows; ++row)
            for (int col = 0; col < Board::kCols; ++col) {
                const uint16_t cell = b.cell(col, row);
                if (cell == 0x0020)
                    continue;
                const int x = sx + col * 16, y = kScreenY + row * 16;
                cv.rect(x, y, 16, 16, bg);
                const auto &g = b.glyphs[cell & 0xFF];
                if (g) {
                    for (int j = 0; j < 16; ++j) {
                        const unsigned bits = static_cast<unsigned>((*g)[static_cast<size_t>(j * 2)] << 8 |
                                                                    (*g)[static_cast<size_t>(j * 2 + 1)]);
                        for (int i = 0; i < 16; ++i)
                            if ((bits >> (15 - i)) & 1)
                                cv.pixel(x + i, y + j, fg);
                    }
                } else {
                    cv.glyph(x + 3, y + 1, static_cast<unsigned char>(cell & 0xFF), 2, fg);
                }
            }
    }
    if (out.overlay) {
        const int cw = kScreenW / 16, ch = kScreenH / 16;
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) {
                const int x = sx + c * cw, y = kScreenY + r * ch;
                if (b.dots[r][c])
                    for (int j = 0; j < ch; ++j)
                        for (int i = 0; i < cw; ++i)
                            cv.tint(x + i, y + j, kRed);
                if (b.cursor_cells[r][c])
                    cv.frame(x, y, cw, ch, 3, kYellow);
            }
        cv.frame(sx, kScreenY, kScreenW, kScreenH, 1, Rgb{255, 120, 120});
    }
    if (out.zoom) {
        const int x = sx + out.zoom_x, y = kScreenY + out.zoom_y;
        cv.frame(x, y, 360, 240, 4, kYellow, 12);
        cv.label(x + 10, y + 12, "ZOOM X2", 3, kYellow);
    }
    if (out.mon == 0 && b.cursor_shown) {
        // An arrow with its tip at the cursor position.
        const int x = sx + b.cursor_x, y = kScreenY + b.cursor_y;
        for (int j = 0; j < 16; ++j) {
            const int len = std::min(j + 1, 12);
            for (int i = 0; i < len; ++i)
                cv.pixel(x + i, y + j, (i == 0 || i == len - 1 || j == 15) ? kBlack : kWhite);
        }
        for (int j = 12; j < 24; ++j) // the tail
            cv.rect(x + 4 + (j - 12) / 2, y + j, 3, 1, kBlack);
    }
    cv.unclip();
    cv.frame(sx - 2, kScreenY - 2, kScreenW + 4, kScreenH + 4, 2, kInk);

    // Palette under the screen.
    int x = sx;
    const int y = kPanelY;
    cv.text(x, y + 6, "PALETTE", 2, kInk);
    x += Canvas::text_width("PALETTE", 2) + 12;
    auto swatch = [&](const Ycc &c, const std::string &name) {
        cv.rect(x, y, 44, 26, to_rgb(c));
        cv.frame(x, y, 44, 26, 1, kInk);
        cv.text(x + 4, y + 30, name, 1, kInk);
        x += 50;
    };
    for (int k = 0; k < 8; ++k)
        swatch(out.palette[static_cast<size_t>(k)], format("FG %d", k));
    swatch(out.text_background, "TEXT BG");
    swatch(out.background, "SCREEN");
}

void draw_panel(Canvas &cv, const Board &b)
{
    // Recording selection: resolution and the camera of each position.
    int x = kMargin, y = kPanelY + 56;
    cv.text(x, y, format("RECORDING  %s", resolution_name(b.resolution)), 2, kInk);
    y += 24;
    for (int p = 0; p < 16; ++p) {
        const int cx = x + (p % 4) * 56, cy = y + (p / 4) * 26;
        const int cam = b.record_cameras[static_cast<size_t>(p)];
        cv.rect(cx, cy, 52, 22, cam < 16 ? camera_colour(cam) : kGrey);
        cv.label(cx + 6, cy + 4, format("%d", cam), 2, kWhite);
    }

    // Inputs: one box per channel, dark red when the bit is set.
    x = kMargin + 300;
    y = kPanelY + 56;
    for (int ch = 0; ch < 16; ++ch)
        cv.text(x + 150 + ch * 26 + 2, y, format("%2d", ch), 1, kInk);
    struct Row {
        const char *name;
        uint16_t bits;
    } rows[] = {{"ALARM IN", b.alarm}, {"VIDEO LOSS", b.vloss}, {"MOTION", b.motion}, {"TERMINATION", b.termination}};
    y += 12;
    for (const Row &r : rows) {
        cv.text(x, y + 4, r.name, 2, kInk);
        for (int ch = 0; ch < 16; ++ch) {
            const bool on = (r.bits >> ch) & 1;
            cv.rect(x + 150 + ch * 26, y, 22, 20, on ? Rgb{200, 40, 40} : Rgb{210, 210, 205});
            cv.frame(x + 150 + ch * 26, y, 22, 20, 1, kInk);
        }
        y += 26;
    }
    x += 150 + 16 * 26 + 30;
    y = kPanelY + 68;
    cv.text(x, y, format("RELAYS %d %d %d", b.relays & 1, (b.relays >> 1) & 1, (b.relays >> 2) & 1), 2, kInk);
    cv.text(x, y + 26, b.keymap == ~uint64_t{0} ? std::string("KEYS NONE") : format("KEYS %010llX",
                                                                                     static_cast<unsigned long long>(b.keymap >> 24)),
            2, kInk);
    cv.text(x, y + 52, format("CURSOR %s", b.cursor_shown ? format("%d,%d", b.cursor_x, b.cursor_y).c_str() : "HIDDEN"),
            2, kInk);
    cv.text(x, y + 78, format("COAX QUEUE %zu BYTES", b.coax.size()), 2, kInk);
}

#endif // DVRPLAT_HAVE_PNG

} // namespace

void picture_size(int &w, int &h)
{
    w = kWidth;
    h = kHeight;
}

Rgb camera_colour(int cam) { return kCameraColours[cam & 15]; }

#ifdef DVRPLAT_HAVE_PNG
namespace {

Canvas draw(const Board &b)
{
    Canvas cv(kWidth, kHeight, kPaper);
    for (const Output &out : b.outputs)
        draw_output(cv, b, out);
    draw_panel(cv, b);
    return cv;
}

// The libpng description of a drawn canvas (8-bit RGB rows, no gaps).
png_image describe(const Canvas &cv)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(cv.width());
    image.height = static_cast<png_uint_32>(cv.height());
    image.format = PNG_FORMAT_RGB;
    return image;
}

} // namespace
#endif

bool render_png(const Board &b, std::vector<uint8_t> &png, std::string &error)
{
#ifdef DVRPLAT_HAVE_PNG
    const Canvas cv = draw(b);
    png_image image = describe(cv);
    // Drawn for every change a page is shown: speed before size.
    image.flags = PNG_IMAGE_FLAG_FAST;
    png_alloc_size_t size = 0;
    // First the size, then the bytes.
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, cv.data(), 0, nullptr)) {
        error = std::string("cannot draw the picture: ") + image.message;
        png_image_free(&image);
        return false;
    }
    png.resize(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, cv.data(), 0, nullptr)) {
        error = std::string("cannot draw the picture: ") + image.message;
        png_image_free(&image);
        return false;
    }
    png.resize(size);
    return true;
#else
    (void)b;
    png.clear();
    error = "PNG pictures are not available in this build (made without libpng)";
    return false;
#endif
}

bool write_png(const Board &b, const std::string &path, std::string &error)
{
#ifdef DVRPLAT_HAVE_PNG
    const Canvas cv = draw(b);
    png_image image = describe(cv);
    if (!png_image_write_to_file(&image, path.c_str(), 0, cv.data(), 0, nullptr)) {
        error = "cannot write " + path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
#else
    (void)b;
    (void)path;
    error = "PNG pictures are not available in this build (made without libpng)";
    return false;
#endif
}

} // namespace fpgasim
