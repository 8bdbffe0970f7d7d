// The fpgasim command on simulator files prepared through the library:
// the text rendering, the PNG picture, inputs set for a program and the
// coaxial queue decoding.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#ifdef DVRPLAT_HAVE_PNG
#include <png.h>
#endif

#include "fpga.h"
#include "fpga_sim.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::FpgaSim;
using dvrtest::RunResult;

#ifndef DVRPLAT_FPGASIM
#define DVRPLAT_FPGASIM DVRPLAT_BINARY_DIR "/tools/fpgasim/fpgasim"
#endif

namespace {

RunResult fpgasim(const FpgaSim &sim, std::vector<std::string> args)
{
    args.insert(args.begin(), {DVRPLAT_FPGASIM, "--sim", sim.sim_path()});
    return dvrtest::run(args);
}

// The character drawing of output mon from `fpgasim show`.
std::vector<std::string> drawing(const std::string &out, int mon)
{
    std::vector<std::string> lines;
    const std::string head = "Output " + std::to_string(mon) + ":";
    size_t at = out.find(head);
    if (at == std::string::npos)
        return lines;
    at = out.find('\n', at) + 1;
    for (int i = 0; i < 25; ++i) {
        size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        ++n;
    return n;
}

void init_quietly()
{
    CaptureStdout cap;
    fpga_init();
}

} // namespace

TEST(Fpgasim, ShowsLayoutsAsText)
{
    FpgaSim sim;
    init_quietly();
    const unsigned char quad[4] = {3, 7, 11, 15};
    fpga_4split_disp(0, quad, 1u << 7, 0);
    const unsigned char one[1] = {9};
    {
        CaptureStdout cap;
        fpga_fullscr_disp(1, one, 0, 0);
    }
    RunResult r = fpgasim(sim, {"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> quad_drawing = {
        "  +-----------------------+-----------------------+",
        "  | cam 3                 | BLANK                 |",
        "  | p0                    | p1                    |",
    };
    auto d0 = drawing(r.out, 0);
    ASSERT_EQ(d0.size(), 25u) << r.out;
    EXPECT_EQ(std::vector<std::string>(d0.begin(), d0.begin() + 3), quad_drawing);
    EXPECT_EQ(d0[12], "  +-----------------------+-----------------------+");
    EXPECT_EQ(d0[13], "  | cam 11                | cam 15                |");
    EXPECT_EQ(d0[24], "  +-----------------------+-----------------------+");
    EXPECT_NE(r.out.find("  path  1: 0xBF on  2x2  camera 31 (blank) at x  6/12 y  0/60\n"), std::string::npos);
    auto d1 = drawing(r.out, 1);
    ASSERT_EQ(d1.size(), 25u);
    EXPECT_EQ(d1[1], "  | cam 9                                         |");
    EXPECT_EQ(d1[12], "  |                                               |");
    EXPECT_NE(r.out.find("Output 0: background Y   0 C1 128 C2 128 (#000000); zoom off\n"), std::string::npos);

    // A 3x3 layout with masks, frozen, zoomed, with text and the cursor.
    const unsigned char nine[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    fpga_9split_disp(0, nine, (1u << 2) | (1u << 4), 1u << 6);
    {
        CaptureStdout cap;
        fpga_freeze_onoff(0, 0);
    }
    // The window moves from where the previous call left it, which lives
    // as long as the process: a move far up and left clamps it to the
    // corner first.
    fpga_x2zoom_disp(0, 0, -100000, -100000, 0, 0);
    fpga_x2zoom_disp(0, 0, 100, 50, 0, 0);
    const unsigned char text[] = {0, 'H', 0, 'i', 0x01, '!'};
    fpga_osd_write(0, text, sizeof text, 43, 2);
    fpga_move_cursor(360, 240);
    r = fpgasim(sim, {"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    d0 = drawing(r.out, 0);
    EXPECT_EQ(count(r.out, "BLANK"), 3u) << r.out;
    EXPECT_EQ(count(r.out, "frz bit"), 9u);
    EXPECT_EQ(d0[1], "  | cam 0         | cam 1         | BLANK         |");
    EXPECT_EQ(d0[8], "  +---------------+---------------+---------------+");
    EXPECT_NE(r.out.find("zoom x2 on, window at x 100 y 50 (360 x 240)"), std::string::npos);
    EXPECT_NE(r.out.find("  row  2 |" + std::string(43, ' ') + "Hi|\n  row  3 |!" + std::string(44, ' ') + "|\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Pointer cursor: shown at x 360 y 240\n"), std::string::npos);
    EXPECT_NE(r.out.find("  fg 2: Y 200 C1  16 C2 149 (#E5E002)\n"), std::string::npos);
}

TEST(Fpgasim, ShowsInputsOverlayAndRecordingSelection)
{
    FpgaSim sim;
    init_quietly();
    fpga_motion_dot_onoff(1, 1);
    fpga_set_motion_dot(0, 0, 0x8001);
    fpga_set_motion_cursor(0, 2, 1);
    fpga_relay_onoff(1, 0, 1);
    fpga_set_terminate(0x8001);
    // The recording selection as the camera-selection command leaves it.
    RunResult cs = dvrtest::run({DVRPLAT_CAMSEL, "-r", "2", "-m", "1"}, {"DVRPLAT_FPGA_SIM=" + sim.sim_path()});
    ASSERT_EQ(cs.status, 0) << cs.out << cs.err;
    RunResult set = fpgasim(sim, {"set", "alarm", "0x0003", "vloss", "0x8000", "motion-cell", "9", "30", "7"});
    ASSERT_EQ(set.status, 0) << set.err;
    RunResult r = fpgasim(sim, {"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Motion overlay: output 0 off, output 1 on\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   0 o..............o\n   1 ..X.............\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  alarm inputs   1100000000000000\n"
                         "  video loss     0000000000000001\n"
                         "  motion         0000000001000000\n"
                         "  termination    1000000000000001\n"
                         "  relays         101\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Recording selection: CIF (2)\n"
                         "  cameras:  4  5  6  7    0  1  2  3   12 13 14 15    8  9 10 11\n"),
              std::string::npos)
        << r.out;
}

// A new simulator file is the board idle as it powers up: no key down, no
// input set, both outputs black until fpga_init. It makes no difference
// whether the library or `fpgasim set` creates the file.
TEST(Fpgasim, NewFileIsTheIdleBoard)
{
    FpgaSim sim; // fpga_open made the file
    dvrtest::TempDir dir;
    const std::string by_set = dir / "set.sim";
    RunResult made = dvrtest::run({DVRPLAT_FPGASIM, "--sim", by_set, "set", "reg", "0x7E", "1", "2"});
    ASSERT_EQ(made.status, 0) << made.err;
    for (const std::string &path : {sim.sim_path(), by_set}) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> f(131072);
        FILE *in = std::fopen(path.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        ASSERT_EQ(std::fread(f.data(), 1, f.size(), in), f.size());
        std::fclose(in);
        // Key registers 0x00/0x30-0x34: every bit 1, no key pressed.
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x30, f.begin() + 0x35),
                  std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        // Screen backgrounds 0x01/0x83-0x85 and 0x01/0x8B-0x8D: Y 0, C1 128,
        // C2 128, black.
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x183, f.begin() + 0x186), std::vector<uint8_t>({0x00, 0x80, 0x80}));
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x18B, f.begin() + 0x18E), std::vector<uint8_t>({0x00, 0x80, 0x80}));
        // Text background 0x1E/0x20-0x22 of output 0 (C1, C2, Y): black.
        EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x1E20, f.begin() + 0x1E23), std::vector<uint8_t>({0x80, 0x80, 0x00}));
        // Alarm inputs and video loss (status 0x00/0x21, 0x22, 0x26, 0x27): clear.
        for (size_t at : {0x10021u, 0x10022u, 0x10026u, 0x10027u})
            EXPECT_EQ(f[at], 0) << std::hex << at;

        RunResult r = dvrtest::run({DVRPLAT_FPGASIM, "--sim", path, "show"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("Simulator file: " + path + "\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Output 0: background Y   0 C1 128 C2 128 (#000000); zoom off\n"), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Output 1: background Y   0 C1 128 C2 128 (#000000); zoom off\n"), std::string::npos);
        EXPECT_NE(r.out.find("Text layer (output 0), glyph index of each cell shown as its character "
                             "('?' outside ASCII):\n  (blank)\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("  alarm inputs   0000000000000000\n"
                             "  video loss     0000000000000000\n"
                             "  motion         0000000000000000\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("  key registers  0xFFFFFFFFFFFFFFFF (no key)\n"), std::string::npos);
    }
    // The library sees no key down.
    for (unsigned k = 0x30; k <= 0x34; ++k)
        EXPECT_EQ(fpga_read(0x00, k), 0xFF) << k;
}

TEST(Fpgasim, SetInputsReachTheLibrary)
{
    FpgaSim sim;
    // The keypad poller keeps its state for the process: with no key down,
    // a few calls let any earlier key's release through and settle it.
    for (unsigned k = 0x30; k <= 0x34; ++k)
        sim.set_reg(0x00, k, 0xFF);
    for (int i = 0; i < 20; ++i)
        fpga_read_keymap();
    RunResult r = fpgasim(sim, {"set", "alarm", "0x1234", "vloss", "65535", "motion", "0x8001", "key", "0x32", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fpga_get_almin(), 0xFFFF1234u);
    EXPECT_EQ(fpga_get_vloss(), 0xFFFFFFFFu);
    EXPECT_EQ(fpga_get_motion(), 0x8001u);
    uint64_t key = ~uint64_t{0};
    for (int i = 0; i < 20 && key == ~uint64_t{0}; ++i)
        key = fpga_read_keymap();
    EXPECT_EQ(key, ~(uint64_t{1} << (24 + 16 + 3)));
    EXPECT_EQ(fpgasim(sim, {"set", "motion", "0"}).status, 0);
    EXPECT_EQ(fpga_get_motion(), 0u);
    EXPECT_EQ(fpgasim(sim, {"set", "keys", "none"}).status, 0);
    for (unsigned k = 0x30; k <= 0x34; ++k)
        EXPECT_EQ(sim.reg(0x00, k), 0xFF);

    // Bad input is refused as a whole. A command line of the wrong shape
    // shows the usage; a wrong value only says what is wanted.
    struct Bad {
        std::vector<std::string> args;
        bool usage;
    };
    for (const Bad &bad : {Bad{{"set", "alarm", "0x10000"}, false},
                           Bad{{"set", "alarm", "1", "vloss"}, false},
                           Bad{{"set", "motion-cell", "16", "0", "1"}, false},
                           Bad{{"set", "key", "0x35", "0"}, false},
                           Bad{{"set", "reg", "1", "2", "-3"}, false},
                           Bad{{"set", "lamp", "1"}, true},
                           Bad{{"show", "--png"}, true},
                           Bad{{"frobnicate"}, true},
                           Bad{{"--frobnicate", "show"}, true}}) {
        RunResult b = fpgasim(sim, bad.args);
        EXPECT_EQ(b.status, 2) << bad.args[0];
        EXPECT_EQ(b.err.find("Usage: fpgasim") != std::string::npos, bad.usage) << b.err;
        if (!bad.usage) {
            EXPECT_NE(b.err.find("(see fpgasim --help)\n"), std::string::npos) << b.err;
        }
    }
    for (const char *help : {"--help", "-h"}) {
        RunResult h = fpgasim(sim, {help});
        EXPECT_EQ(h.status, 0) << help;
        EXPECT_EQ(h.out.rfind("Usage: fpgasim", 0), 0u) << help;
        EXPECT_EQ(h.err, "") << help;
    }
    EXPECT_EQ(fpga_get_almin(), 0xFFFF1234u);
    RunResult none = dvrtest::run({DVRPLAT_FPGASIM, "show"}, {"DVRPLAT_FPGA_SIM="});
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no simulator file"), std::string::npos);
    EXPECT_EQ(none.err.find("Usage:"), std::string::npos);
}

// Numbers are decimal or 0x hexadecimal, as the help says: a leading
// zero is no octal prefix, and nothing else is taken.
TEST(Fpgasim, NumbersAreDecimalOrHexadecimal)
{
    FpgaSim sim;
    struct Case {
        const char *text;
        unsigned value; // what register 0x7E, 0x01 then holds
    } good[] = {{"010", 10}, {"0", 0}, {"00", 0}, {"255", 255}, {"0x1F", 0x1F}, {"0XfE", 0xFE}, {"0099", 99}};
    for (const Case &c : good) {
        RunResult r = fpgasim(sim, {"set", "reg", "0x7E", "1", c.text});
        ASSERT_EQ(r.status, 0) << c.text << ": " << r.err;
        EXPECT_EQ(sim.reg(0x7E, 0x01), c.value) << c.text;
    }
    for (const char *bad : {"08x", "0x", "0b1", " 5", "5 ", "1e2", "0x-1", "256", "+1", ""}) {
        RunResult r = fpgasim(sim, {"set", "reg", "0x7E", "1", bad});
        EXPECT_EQ(r.status, 2) << "\"" << bad << "\"";
    }
    EXPECT_EQ(sim.reg(0x7E, 0x01), 99);
}

TEST(Fpgasim, DecodesCoaxQueue)
{
    FpgaSim sim;
    fpga_coaxctl_pelcod(3, 0x00, 0x02, 0x20, 0x00);
    fpga_coaxctl_pelcod(0, 0x00, 0x07, 0x00, 0x05);
    fpga_coaxctl_rqtl(15, 1, 2, 3, 4, 5, 6, 7, 0xFF);
    fpga_coaxctl_disable();
    fpga_coaxctl_pelcod(1, 0x00, 0x00, 0x00, 0x00);
    RunResult r = fpgasim(sim, {"coax", "--clear"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Coaxial queue: 25 bytes\n"
                     "  1: Pelco-D  camera  3  13 | 00 02 20 00  pan right (pan speed 32, tilt speed 0)\n"
                     "  2: Pelco-D  camera  0  10 | 00 07 00 05  go to preset 5\n"
                     "  3: RQTL     camera 15  3F | 01 02 03 04 05 06 07 FF\n"
                     "  4: off      00\n"
                     "  5: Pelco-D  camera  1  11 | 00 00 00 00  stop (pan speed 0, tilt speed 0)\n");
    EXPECT_TRUE(sim.coax().empty());
    r = fpgasim(sim, {"coax"});
    EXPECT_EQ(r.out, "Coaxial queue: 0 bytes\n(queue empty)\n");
}

#ifdef DVRPLAT_HAVE_PNG
namespace {
struct Picture {
    unsigned w = 0, h = 0;
    std::vector<uint8_t> rgb;
    std::array<uint8_t, 3> at(unsigned x, unsigned y) const
    {
        const uint8_t *p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

bool read_png(const std::string &path, Picture &pic)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    pic.w = image.width;
    pic.h = image.height;
    pic.rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, pic.rgb.data(), 0, nullptr) != 0;
}
} // namespace

// Draws the simulator file with `fpgasim show --png` and reads the picture back.
static void draw(FpgaSim &sim, Picture &pic)
{
    dvrtest::TempDir dir;
    const std::string png = dir / "board.png";
    RunResult r = fpgasim(sim, {"show", "--png", png});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(read_png(png, pic));
}

TEST(Fpgasim, DrawsPicture)
{
    FpgaSim sim;
    init_quietly();
    const unsigned char nine[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    fpga_9split_disp(0, nine, 1u << 4, 1u << 8);
    fpga_mon_set_bgcolor(1, 81, 90, 240); // red
    Picture pic;
    ASSERT_NO_FATAL_FAILURE(draw(sim, pic));
    EXPECT_EQ(pic.w, 1500u);
    EXPECT_EQ(pic.h, 746u);
    // Output 0's screen starts at (20, 60); path 0 fills its top-left ninth
    // (240 x 160) in camera 0's colour.
    EXPECT_EQ(pic.at(220, 210), (std::array<uint8_t, 3>{0xD6, 0x27, 0x28}));
    // Path 4 (camera 4, masked) is blanked: grey.
    auto blank = pic.at(270, 370);
    EXPECT_TRUE(blank[0] == blank[1] && blank[1] == blank[2] && blank[0] < 110) << int(blank[0]);
    // Output 1 shows no path: its background colour, Y 81 C1 90 C2 240.
    EXPECT_EQ(pic.at(780 + 360, 60 + 240), (std::array<uint8_t, 3>{238, 14, 14}));
}

namespace {
// A font whose glyph 'F' is a checkerboard (the top row's leftmost pixel
// set) and whose other glyphs are empty. Each record starts with two bytes
// that are not glyph data.
struct CheckerFont {
    std::array<std::array<unsigned char, 34>, 256> records{};
    std::array<const unsigned char *, 256> table{};
    CheckerFont()
    {
        for (size_t c = 0; c < 256; ++c) {
            records[c][0] = records[c][1] = 0xEE;
            table[c] = records[c].data();
        }
        for (int r = 0; r < 32; ++r)
            records['F'][static_cast<size_t>(r + 2)] = (r / 2) % 2 ? 0x55 : 0xAA;
    }
};

// Whether text cell (col, row) of output 0 shows exactly the pixels lit(i,
// j) in one foreground colour over the black text background.
template <class Lit>
bool cell_shows(const Picture &pic, int col, int row, Lit lit)
{
    const unsigned x0 = 20 + static_cast<unsigned>(col) * 16, y0 = 60 + static_cast<unsigned>(row) * 16;
    const std::array<uint8_t, 3> black{0, 0, 0};
    std::array<uint8_t, 3> fg{};
    bool have_fg = false;
    for (unsigned j = 0; j < 16; ++j)
        for (unsigned i = 0; i < 16; ++i) {
            const auto px = pic.at(x0 + i, y0 + j);
            if (!lit(i, j)) {
                if (px != black)
                    return false;
            } else if (!have_fg) {
                fg = px;
                have_fg = true;
                if (fg == black)
                    return false;
            } else if (px != fg) {
                return false;
            }
        }
    return true;
}
} // namespace

// Text cells are drawn with the glyphs loaded for their codes, wherever the
// font came from; only codes without a loaded glyph fall back to shapes.
TEST(Fpgasim, DrawsTextWithTheLoadedGlyphs)
{
    const CheckerFont font;
    auto checker = [](unsigned i, unsigned j) { return (i + j) % 2 == 0; };
    auto nothing = [](unsigned, unsigned) { return false; };
    const struct Case {
        const char *what;
        void (*load)(const dvrtest::FpgaSim &, const CheckerFont &);
        bool f_checker, z_blank;
        const char *font_line;
    } cases[] = {
        {"font loaded into output 0",
         [](const dvrtest::FpgaSim &, const CheckerFont &f) { ASSERT_EQ(fpga_font_write(0, f.table.data()), 0); },
         true, true, "Font of output 0: 256 of 256 glyphs loaded\n"},
        {"font loaded into output 1 only",
         [](const dvrtest::FpgaSim &, const CheckerFont &f) { ASSERT_EQ(fpga_font_write(1, f.table.data()), 0); },
         false, false, "Font of output 0: no font table\n"},
        // A file made before fonts were kept: only the glyph the font
        // registers hold is known.
        {"file without a font table, F in the font registers",
         [](const dvrtest::FpgaSim &sim, const CheckerFont &f) {
             sim.set_reg(0x21, 0, 'F');
             for (unsigned r = 0; r < 32; ++r)
                 sim.set_reg(0x20, r, f.records['F'][r + 2]);
         },
         true, false, "Font of output 0: no font table\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FpgaSim sim;
        init_quietly();
        const unsigned char text[4] = {0x00, 'F', 0x00, 'Z'};
        ASSERT_EQ(fpga_osd_write(0, text, sizeof text, 3, 2), 0);
        c.load(sim, font);
        Picture pic;
        ASSERT_NO_FATAL_FAILURE(draw(sim, pic));
        RunResult r;
        EXPECT_EQ(cell_shows(pic, 3, 2, checker), c.f_checker);
        // An empty glyph leaves its cell blank; the character shape of Z
        // lights some pixels.
        EXPECT_EQ(cell_shows(pic, 4, 2, nothing), c.z_blank);
        EXPECT_TRUE(cell_shows(pic, 5, 2, nothing)) << "a blank cell";
        r = fpgasim(sim, {"show"});
        EXPECT_NE(r.out.find(c.font_line), std::string::npos) << r.out;
    }
}
#else
TEST(Fpgasim, PictureNeedsLibpng)
{
    FpgaSim sim;
    dvrtest::TempDir dir;
    RunResult r = fpgasim(sim, {"show", "--png", dir / "board.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not available"), std::string::npos) << r.err;
}
#endif
