// Display routing: the path registers of the two video outputs (screen
// layouts and camera blanking), freezing, the double-size zoom window and
// the call-monitor entry points.
//
// All registers live at address 0x01; output mon's block starts at offset
// mon*64 (8-bit arithmetic): path registers at +0..15, horizontal positions
// at +16..31 (bit 7 is the freeze control bit), vertical positions at
// +32..47, the zoom window at +0x30 and +0x31.
#include <algorithm>
#include <cstdint>

#include "fpga_internal.h"
#include "boundary.h"
#include "report.h"

using namespace dvr::fpga;

namespace {

constexpr unsigned kDisplayAddress = reg::kDisplay;

constexpr unsigned base_of(int mon) { return reg::output_base(static_cast<unsigned>(mon)); }

// One screen layout: n paths on a grid of `cols` columns; each tile is
// 12/cols twelfths wide and 60/cols sixtieths high.
struct Layout {
    unsigned paths;
    unsigned cols;
    uint8_t shown;   // OR-ed with the camera number
    uint8_t blanked; // written for a masked camera
};

constexpr Layout kFull{1, 1, 0x80, 0x9F};
constexpr Layout kQuad{4, 2, 0xA0, 0xBF};
constexpr Layout kNine{9, 3, 0xC0, 0xDF};
// The 4x4 blank value clears the enable bit instead of selecting camera 31.
constexpr Layout kSixteen{16, 4, 0xE0, 0x7F};

bool masked(unsigned camera, uint32_t mask_a, uint32_t mask_b)
{
    if (camera >= 32)
        return false; // no such mask bit
    return (((mask_a | mask_b) >> camera) & 1u) != 0;
}

// Paths and zoom of output mon off; the caller holds gFpgaMutex.
void allpath_off_unlocked(int mon)
{
    const unsigned base = base_of(mon);
    port_write(Port::Address, kDisplayAddress);
    for (unsigned i = 0; i < reg::kPaths; ++i) {
        latch_offset(base + reg::kPathRegister + i);
        data_write(0);
    }
    latch_offset(base + reg::kZoomHorizontal);
    data_write(0);
    latch_offset(base + reg::kZoomVertical);
    data_write(0);
}

// Clears output mon and writes one layout. The whole sequence, the clearing
// included, runs under one hold of gFpgaMutex, so another thread's register
// traffic never lands between the latch and data writes of a layout and no
// other thread sees the output half cleared. The values and their order are
// those of fpga_allpath_off followed by the layout writes.
int show_layout(const dvr::Reporter &report, const Layout &l, int mon, const unsigned char *cameras, uint32_t mask_a,
                uint32_t mask_b)
{
    if (bad_output(report, mon))
        return -1;
    if (!cameras) {
        DVR_REPORT_TO(report, "no camera list given\n");
        return -1;
    }
    const unsigned base = base_of(mon);
    const unsigned step_h = 12 / l.cols, step_v = 60 / l.cols;
    HeldReports reports(dvr::Reporter("fpga", nullptr)); // the layout lines name no function
    locked([&] {
        allpath_off_unlocked(mon);
        port_write(Port::Address, kDisplayAddress);
        for (unsigned i = 0; i < l.paths; ++i) {
            const unsigned c = cameras[i];
            const unsigned path = masked(c, mask_a, mask_b) ? l.blanked : ((c | l.shown) & 0xFFu);
            const unsigned h = (i % l.cols) * step_h, v = (i / l.cols) * step_v;
            latch_offset(base + reg::kPathRegister + i);
            data_write(path);
            latch_offset(base + reg::kPathHorizontal + i);
            data_write(h);
            latch_offset(base + reg::kPathVertical + i);
            data_write(v);
            if (l.paths == 16)
                reports.add(__LINE__, "(0x%02X, 0x%02X) - x(0x%02X, 0x%02X) y(0x%02X, 0x%02X)\n", i, path,
                            i + 16, h, i + 32, v);
        }
        if (l.paths == 1)
            reports.add(__LINE__, "ch%02d (0x%02X, 0x%02X), (0x%02X, 0x%02X), (0x%02X, 0x%02X)\n",
                        cameras[0], 0, (cameras[0] | 0x80) & 0xFF, (base + reg::kPathHorizontal) & 0xFF, 0, (base + reg::kPathVertical) & 0xFF, 0);
    });
    reports.print();
    return 0;
}

// Zoom window state, shared by both outputs. Changed under gFpgaMutex so
// that concurrent relative moves neither race nor lose a step.
int h_start = 0;
int v_start = 0;
const int B_Pal = 0;

} // namespace

extern "C" {

fpga_split_fn gFpgaOsdSplitFn[17] = {
    nullptr, fpga_fullscr_disp, nullptr, nullptr, fpga_4split_disp, nullptr, nullptr, nullptr, nullptr,
    fpga_9split_disp, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, fpga_16split_disp,
};

void fpga_allpath_off(int mon)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return;
    locked([&] { allpath_off_unlocked(mon); });
} DVR_C_BOUNDARY("fpga")

int fpga_fullscr_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b)
try {
    return show_layout(DVR_REPORTER("fpga"), kFull, mon, cameras, mask_a, mask_b);
} DVR_C_BOUNDARY("fpga", -1)

int fpga_4split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b)
try {
    return show_layout(DVR_REPORTER("fpga"), kQuad, mon, cameras, mask_a, mask_b);
} DVR_C_BOUNDARY("fpga", -1)

int fpga_9split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b)
try {
    return show_layout(DVR_REPORTER("fpga"), kNine, mon, cameras, mask_a, mask_b);
} DVR_C_BOUNDARY("fpga", -1)

int fpga_16split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b)
try {
    return show_layout(DVR_REPORTER("fpga"), kSixteen, mon, cameras, mask_a, mask_b);
} DVR_C_BOUNDARY("fpga", -1)

int fpga_split_disp(int mon, int tiles, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b)
try {
    fpga_split_fn fn = (tiles >= 0 && tiles < 17) ? gFpgaOsdSplitFn[tiles] : nullptr;
    if (!fn) {
        FPGA_REPORT("no layout of %d tiles\n", tiles);
        return -1;
    }
    return fn(mon, cameras, mask_a, mask_b) < 0 ? -1 : 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_freeze_onoff(int mon, int on)
try {
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    const unsigned base = base_of(mon);
    HeldReports reports(DVR_REPORTER("fpga"));
    const int last = locked([&] {
        unsigned last = 0;
        port_write(Port::Address, kDisplayAddress);
        for (unsigned i = 0; i < reg::kPaths; ++i) {
            const unsigned offset = (base + reg::kPathHorizontal + i) & 0xFF;
            latch_offset(offset);
            unsigned v = data_read() & 0x7Fu;
            latch_offset(offset);
            if (on == 0)
                v |= 0x80u;
            data_write(v);
            last = v;
            reports.add(__LINE__, "(Addr, Offset, Data) = (0x%02X, 0x%02X, 0x%02X)(%d)\n",
                        kDisplayAddress, offset, v, on);
        }
        return static_cast<int>(last);
    });
    reports.print();
    return last;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_x2zoom_disp(int mon, int selector, int dh, int dv, int unused1, int unused2)
try {
    (void)unused1;
    (void)unused2;
    if (bad_output(DVR_REPORTER("fpga"), mon))
        return -1;
    if (selector < 0)
        return -1;
    const unsigned base = base_of(mon);
    locked([&] {
        // Wide arithmetic: a huge step clamps instead of overflowing.
        int64_t h = static_cast<int64_t>(h_start) + dh;
        int64_t v = static_cast<int64_t>(v_start) + dv;
        h = std::min<int64_t>(std::max<int64_t>(h, 0), 358);
        v = std::min<int64_t>(std::max<int64_t>(v, 0), 238 + 48 * B_Pal);
        h_start = static_cast<int>(h);
        v_start = static_cast<int>(v);
        port_write(Port::Address, kDisplayAddress);
        latch_offset(base + reg::kZoomHorizontal);
        data_write(((static_cast<unsigned>(h_start) / 4) & 0x7Fu) | 0x80u);
        latch_offset(base + reg::kZoomVertical);
        data_write(static_cast<unsigned>(v_start) / 2);
    });
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_playback_x2zoom(int dh, int dv) { return fpga_x2zoom_disp(0, 0, dh, dv, 0, 0); }

int fpga_set_callmonitor(int value)
try {
    locked([] {});
    return value;
} DVR_C_BOUNDARY("fpga", -1)

int fpga_get_callmonitor(void) { return 0; }
int fpga_set_second_callmonitor(int value) { return value; }
int fpga_get_second_callmonitor(void) { return 0; }

} // extern "C"
