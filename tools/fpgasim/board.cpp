// fpgasim: reading the simulator file, and the text form of the board.
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "sim_file.h"
#include "wire.h"

namespace fpgasim {

namespace sim = dvr::sim;
namespace reg = dvr::fpga::reg;

std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

bool parse_number(const char *s, unsigned long long max, unsigned long long &out)
{
    if (!s)
        return false;
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    auto digit = [base](char c) {
        return (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    };
    if (!*s)
        return false;
    for (const char *p = s; *p; ++p)
        if (!digit(*p))
            return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, base);
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

namespace {

uint8_t clamp8(double v) { return static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, v)))); }

std::string hex_colour(const Ycc &c)
{
    Rgb r = to_rgb(c);
    return format("Y %3d C1 %3d C2 %3d (#%02X%02X%02X)", c.y, c.c1, c.c2, r.r, r.g, r.b);
}

std::string bits16(uint16_t v)
{
    std::string s;
    for (int i = 0; i < 16; ++i)
        s += ((v >> i) & 1) ? '1' : '0';
    return s;
}

} // namespace

Rgb to_rgb(const Ycc &c)
{
    const double y = c.y, cb = c.c1 - 128.0, cr = c.c2 - 128.0;
    return {clamp8(y + 1.402 * cr), clamp8(y - 0.344136 * cb - 0.714136 * cr), clamp8(y + 1.772 * cb)};
}

const char *resolution_name(int r)
{
    switch (r) {
    case 0: return "D1";
    case 1: return "Half D1";
    case 2: return "CIF";
    default: return "unknown";
    }
}

bool Board::row_blank(int row) const
{
    for (int c = 0; c < kCols; ++c)
        if (cell(c, row) != 0x0020)
            return false;
    return true;
}

bool load(const std::string &path, Board &b, std::string &error)
{
    sim::File file;
    if (file.open(path.c_str(), sim::File::Mode::Read) != sim::File::Failure::None) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // A short file reads as fpga_open would extend it.
    std::vector<uint8_t> f;
    if (!file.read_all(f, true)) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    load_bytes(f.data(), f.size(), b);
    return true;
}

void load_bytes(const uint8_t *bytes, size_t n, Board &b)
{
    std::vector<uint8_t> f(bytes, bytes + std::min(n, sim::kFileSize));
    f.resize(sim::kFileSize, 0);
    auto regv = [&](unsigned a, unsigned o) { return f[sim::register_at(a, o)]; };

    for (int mon = 0; mon < 2; ++mon) {
        Output &out = b.outputs[static_cast<size_t>(mon)];
        out.mon = mon;
        const unsigned m = static_cast<unsigned>(mon), base = reg::output_base(m);
        for (unsigned i = 0; i < reg::kPaths; ++i) {
            Tile &t = out.tiles[i];
            const uint8_t p = regv(reg::kDisplay, base + reg::kPathRegister + i),
                          h = regv(reg::kDisplay, base + reg::kPathHorizontal + i),
                          v = regv(reg::kDisplay, base + reg::kPathVertical + i);
            t.path = static_cast<int>(i);
            t.raw = p;
            t.enabled = (p & 0x80) != 0;
            t.size = (p >> 5) & 3;
            t.camera = p & 0x1F;
            t.h = h & 0x7F;
            t.freeze_bit = (h & 0x80) != 0;
            t.v = v;
        }
        const uint8_t zh = regv(reg::kDisplay, base + reg::kZoomHorizontal),
                      zv = regv(reg::kDisplay, base + reg::kZoomVertical);
        out.zoom = (zh & 0x80) != 0;
        out.zoom_x = (zh & 0x7F) * 4;
        out.zoom_y = zv * 2;
        const unsigned bg = reg::background(m);
        out.background = {regv(reg::kDisplay, bg), regv(reg::kDisplay, bg + 1), regv(reg::kDisplay, bg + 2)};
        const unsigned pal = reg::text_palette(m), tb = reg::kTextBackground;
        for (unsigned k = 0; k < 8; ++k)
            out.palette[k] = {regv(pal, k * 4 + 2), regv(pal, k * 4), regv(pal, k * 4 + 1)};
        out.text_background = {regv(pal, tb + 2), regv(pal, tb), regv(pal, tb + 1)};
        out.overlay = ((regv(reg::kOverlay, reg::kOverlayEnable) >> mon) & 1) != 0;
    }
    for (int pos = 0; pos < Board::kCells; ++pos) {
        const unsigned page = reg::text_base(0) + reg::kTextPages + static_cast<unsigned>(pos / 128),
                       o = static_cast<unsigned>(pos % 128) * 2;
        b.text[static_cast<size_t>(pos)] = static_cast<uint16_t>(regv(page, o) << 8 | regv(page, o + 1));
    }
    const uint8_t ctl = regv(reg::kDisplay, reg::kCursorControl);
    b.cursor_shown = (ctl & 0x80) != 0;
    b.cursor_x = regv(reg::kDisplay, reg::kCursorX) * 4;
    b.cursor_y = (((ctl & 1) << 8) | regv(reg::kDisplay, reg::kCursorY)) * 2;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) {
            const unsigned o = static_cast<unsigned>(r * 2 + c / 8);
            b.dots[r][c] = (regv(reg::kOverlay, o) >> (c % 8)) & 1;
            b.cursor_cells[r][c] = (regv(reg::kOverlay, reg::kOverlayCursor + o) >> (c % 8)) & 1;
        }
    b.alarm = sim::alarm(f.data());
    b.vloss = sim::video_loss(f.data());
    b.motion = sim::motion(f.data());
    b.relays = regv(reg::kBoard, reg::kRelays) & 7;
    b.termination = sim::termination(f.data());
    b.keymap = sim::keys(f.data());
    b.resolution = regv(reg::kResolution, 0x00);
    for (unsigned p = 0; p < 16; ++p)
        b.record_cameras[p] = regv(reg::kCameraSelection + p / 4, p % 4);
    const uint32_t queued = dvr::get_be32(&f[sim::kCoaxCount]);
    b.coax.assign(f.begin() + sim::kCoaxQueue,
                  f.begin() + static_cast<long>(sim::kCoaxQueue + std::min<size_t>(queued, sim::kCoaxCapacity)));
    // Output 0's font: every glyph its font table marks loaded.
    const size_t table = sim::font_table(0);
    b.font_table = false;
    for (size_t c = 0; c < sim::kFontGlyphs; ++c) {
        b.glyphs[c].reset();
        if (!f[table + sim::kFontLoaded + c])
            continue;
        Board::Glyph g{};
        std::copy_n(f.begin() + static_cast<long>(table + sim::kFontData + c * sim::kFontGlyphBytes), g.size(),
                    g.begin());
        b.glyphs[c] = g;
        b.font_table = true;
    }
    if (b.font_table)
        return;
    // No font table: only the glyph the font registers hold; all zeros is
    // no font.
    Board::Glyph g{};
    bool any = false;
    for (unsigned r = 0; r < sim::kFontGlyphBytes; ++r) {
        g[r] = regv(reg::font_data(0), r);
        any = any || g[r];
    }
    if (any)
        b.glyphs[regv(reg::font_index(0), 0)] = g;
}

namespace {

// One output as a character drawing: 48 columns by 24 rows (a column is a
// quarter of a twelfth of the width, a row two and a half sixtieths of the
// height), with tile borders shared between neighbours.
constexpr int kGridW = 48, kGridH = 24;

std::vector<std::string> draw_output(const Output &out)
{
    std::vector<std::string> g(kGridH + 1, std::string(kGridW + 1, ' '));
    auto put = [&](int x, int y, char c) {
        if (x >= 0 && x <= kGridW && y >= 0 && y <= kGridH)
            g[static_cast<size_t>(y)][static_cast<size_t>(x)] = c;
    };
    auto box = [&](int x0, int y0, int x1, int y1, char hz, char vt, char corner) {
        for (int x = x0; x <= x1; ++x) {
            put(x, y0, hz);
            put(x, y1, hz);
        }
        for (int y = y0; y <= y1; ++y) {
            put(x0, y, vt);
            put(x1, y, vt);
        }
        put(x0, y0, corner);
        put(x1, y0, corner);
        put(x0, y1, corner);
        put(x1, y1, corner);
    };
    box(0, 0, kGridW, kGridH, '-', '|', '+');
    for (const Tile &t : out.tiles) {
        if (!t.enabled && t.raw == 0)
            continue; // path off
        const int x0 = t.h * 4, y0 = (t.v * 2 + 2) / 5;
        const int x1 = std::min(kGridW, x0 + kGridW / (t.size + 1)), y1 = std::min(kGridH, y0 + kGridH / (t.size + 1));
        if (x0 >= kGridW || y0 >= kGridH)
            continue;
        for (int y = y0 + 1; y < y1; ++y)
            for (int x = x0 + 1; x < x1; ++x)
                put(x, y, ' ');
        if (t.enabled)
            box(x0, y0, x1, y1, '-', '|', '+');
        else
            box(x0, y0, x1, y1, '.', ':', '.');
        std::vector<std::string> labels;
        if (!t.enabled)
            labels.push_back(format("off %02X", t.raw));
        else if (t.blank())
            labels.push_back("BLANK");
        else
            labels.push_back(format("cam %d", t.camera));
        labels.push_back(format("p%d", t.path));
        if (t.freeze_bit)
            labels.push_back("frz bit");
        for (size_t i = 0; i < labels.size(); ++i) {
            const int y = y0 + 1 + static_cast<int>(i);
            if (y >= y1)
                break;
            for (size_t k = 0; k < labels[i].size(); ++k) {
                const int x = x0 + 2 + static_cast<int>(k);
                if (x >= x1)
                    break;
                put(x, y, labels[i][k]);
            }
        }
    }
    return g;
}

const char *size_name(int s)
{
    static const char *const names[] = {"full", "2x2", "3x3", "4x4"};
    return names[s & 3];
}

char glyph_char(uint16_t cell)
{
    const unsigned c = cell & 0xFF;
    return (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
}

} // namespace

std::string render_text(const Board &b)
{
    std::string s;
    for (const Output &out : b.outputs) {
        s += format("Output %d: background %s; ", out.mon, hex_colour(out.background).c_str());
        if (out.zoom)
            s += format("zoom x2 on, window at x %d y %d (360 x 240)", out.zoom_x, out.zoom_y);
        else
            s += "zoom off";
        s += out.overlay ? "; motion overlay on\n" : "\n";
        for (const std::string &line : draw_output(out))
            s += "  " + line + "\n";
        for (const Tile &t : out.tiles) {
            if (t.raw == 0 && t.h == 0 && t.v == 0 && !t.freeze_bit)
                continue;
            s += format("  path %2d: 0x%02X %-3s %-4s camera %2d%s at x %2d/12 y %2d/60%s\n", t.path, t.raw,
                        t.enabled ? "on" : "off", size_name(t.size), t.camera, t.camera == 31 ? " (blank)" : "",
                        t.h, t.v, t.freeze_bit ? ", freeze bit set" : "");
        }
        s += "\n";
    }

    s += "Text layer (output 0), glyph index of each cell shown as its character ('?' outside ASCII):\n";
    bool any = false;
    for (int row = 0; row < Board::kRows; ++row) {
        if (b.row_blank(row))
            continue;
        any = true;
        std::string line;
        for (int c = 0; c < Board::kCols; ++c)
            line += glyph_char(b.cell(c, row));
        s += format("  row %2d |%s|\n", row, line.c_str());
    }
    if (!any)
        s += "  (blank)\n";
    int loaded = 0;
    for (const auto &g : b.glyphs)
        loaded += g.has_value();
    if (b.font_table)
        s += format("Font of output 0: %d of 256 glyphs loaded\n", loaded);
    else
        s += "Font of output 0: no font table\n";
    if (b.cursor_shown)
        s += format("Pointer cursor: shown at x %d y %d\n", b.cursor_x, b.cursor_y);
    else
        s += "Pointer cursor: hidden\n";
    for (const Output &out : b.outputs) {
        s += format("Palette of output %d:\n", out.mon);
        for (int k = 0; k < 8; ++k)
            s += format("  fg %d: %s\n", k, hex_colour(out.palette[static_cast<size_t>(k)]).c_str());
        s += format("  text background: %s\n", hex_colour(out.text_background).c_str());
    }

    bool overlay_used = b.outputs[0].overlay || b.outputs[1].overlay;
    for (int r = 0; r < 16 && !overlay_used; ++r)
        for (int c = 0; c < 16; ++c)
            overlay_used = overlay_used || b.dots[r][c] || b.cursor_cells[r][c];
    s += format("Motion overlay: output 0 %s, output 1 %s\n", b.outputs[0].overlay ? "on" : "off",
                b.outputs[1].overlay ? "on" : "off");
    if (overlay_used) {
        s += "  (o dot, X cursor, @ both)\n";
        for (int r = 0; r < 16; ++r) {
            std::string line;
            for (int c = 0; c < 16; ++c)
                line += b.dots[r][c] ? (b.cursor_cells[r][c] ? '@' : 'o') : (b.cursor_cells[r][c] ? 'X' : '.');
            s += format("  %2d %s\n", r, line.c_str());
        }
    }

    s += "Inputs and outputs (channel 0 first):\n";
    s += format("  alarm inputs   %s\n", bits16(b.alarm).c_str());
    s += format("  video loss     %s\n", bits16(b.vloss).c_str());
    s += format("  motion         %s\n", bits16(b.motion).c_str());
    s += format("  termination    %s\n", bits16(b.termination).c_str());
    s += format("  relays         %d%d%d\n", b.relays & 1, (b.relays >> 1) & 1, (b.relays >> 2) & 1);
    s += format("  key registers  0x%016llX%s\n", static_cast<unsigned long long>(b.keymap),
                b.keymap == ~uint64_t{0} ? " (no key)" : "");
    s += format("Recording selection: %s (%d)\n  cameras:", resolution_name(b.resolution), b.resolution);
    for (int p = 0; p < 16; ++p)
        s += format("%s %2d", p % 4 == 0 && p ? "  " : "", b.record_cameras[static_cast<size_t>(p)]);
    s += format("\nCoaxial queue: %zu bytes\n", b.coax.size());
    return s;
}

std::string decode_coax(const std::vector<uint8_t> &q)
{
    std::string s;
    size_t i = 0;
    int n = 0;
    while (i < q.size()) {
        const uint8_t h = q[i];
        ++n;
        size_t len = 0;
        const char *proto = nullptr;
        if (h == 0) {
            s += format("%3d: off      00\n", n);
            ++i;
            continue;
        }
        if ((h & 0xF0) == 0x10) {
            proto = "Pelco-D";
            len = 4;
        } else if ((h & 0xF0) == 0x30) {
            proto = "RQTL";
            len = 8;
        } else {
            s += format("%3d: unknown header %02X\n", n, h);
            ++i;
            continue;
        }
        std::string bytes;
        const size_t have = std::min(len, q.size() - i - 1);
        for (size_t k = 0; k < have; ++k)
            bytes += format(" %02X", q[i + 1 + k]);
        s += format("%3d: %-7s  camera %2d  %02X |%s", n, proto, h & 0x0F, h, bytes.c_str());
        if (have < len) {
            s += format("  (incomplete: %zu of %zu bytes)\n", have, len);
            break;
        }
        if (len == 4) {
            const uint8_t c1 = q[i + 1], c2 = q[i + 2], d1 = q[i + 3], d2 = q[i + 4];
            std::string what;
            if (c2 & 1) {
                switch (c2) {
                case 0x03: what = format("set preset %d", d2); break;
                case 0x05: what = format("clear preset %d", d2); break;
                case 0x07: what = format("go to preset %d", d2); break;
                default: what = format("extended command %02X (data %02X %02X)", c2, d1, d2); break;
                }
            } else {
                static const char *const c2_names[] = {nullptr,     "pan right", "pan left",  "tilt up",
                                                       "tilt down", "zoom tele", "zoom wide", "focus far"};
                static const char *const c1_names[] = {"focus near", "iris open", "iris close", "camera on/off",
                                                       "auto scan",  nullptr,     nullptr,      "sense"};
                for (int bit = 7; bit >= 0; --bit)
                    if (c1_names[bit] && ((c1 >> bit) & 1))
                        what += std::string(what.empty() ? "" : ", ") + c1_names[bit];
                for (int bit = 1; bit < 8; ++bit)
                    if ((c2 >> bit) & 1)
                        what += std::string(what.empty() ? "" : ", ") + c2_names[bit];
                if (what.empty())
                    what = "stop";
                what += format(" (pan speed %d, tilt speed %d)", d1, d2);
            }
            s += "  " + what;
        }
        s += "\n";
        i += 1 + len;
    }
    if (n == 0)
        s += "(queue empty)\n";
    return s;
}

} // namespace fpgasim
