// FPGA register access: the register window, its latch protocol and lock.
//
// The window is the board's physical register range mapped from /dev/mem.
// A program linked with the board simulator library (sim/) opens the
// simulator's windows instead (window.h). fpga_open picks the window; the
// register operations only call through it.
#include <atomic>
#include <mutex>

#include <sys/mman.h>

#include "window.h"
#include "boundary.h"
#include "report.h"

volatile unsigned char *Ce_Cpld = static_cast<volatile unsigned char *>(MAP_FAILED);
pthread_mutex_t gFpgaMutex = PTHREAD_MUTEX_INITIALIZER;

namespace dvr::fpga {

namespace {

std::atomic<Window *> gWindow{nullptr};

thread_local bool tl_access_failed = false;

// Serialises fpga_open itself; register operations never take it.
std::mutex gOpenMutex;

std::atomic<WindowOpener> gOpener{nullptr};

// The window fpga_open opens; nullptr after a report.
Window *open_window(const dvr::Reporter &report)
{
    WindowOpener opener = gOpener.load(std::memory_order_acquire);
    return opener ? opener(report) : open_mapped_window(report);
}

} // namespace

void set_window_opener(WindowOpener opener) noexcept { gOpener.store(opener, std::memory_order_release); }

void note_access_failure() noexcept { tl_access_failed = true; }

bool take_access_failure() noexcept
{
    const bool failed = tl_access_failed;
    tl_access_failed = false;
    return failed;
}

bool mapped() noexcept { return gWindow.load(std::memory_order_acquire) != nullptr; }

void port_write(Port p, unsigned value)
{
    if (Window *w = gWindow.load(std::memory_order_acquire))
        w->write(p, static_cast<uint8_t>(value));
}

uint8_t port_read(Port p)
{
    Window *w = gWindow.load(std::memory_order_acquire);
    return w ? w->read(p) : 0;
}

} // namespace dvr::fpga

using namespace dvr::fpga;

extern "C" int fpga_open(void)
try {
    std::lock_guard<std::mutex> guard(gOpenMutex);
    // The new window is opened first and put in place under gFpgaMutex, so
    // that a thread in the middle of a latched sequence finishes it on one
    // window, never on a half-replaced one. A failed call leaves the
    // layer unmapped. The window stays for the life of the process; a
    // later call opens afresh and replaces it (a simulator file that has a
    // window already gets that window again).
    auto publish = [](Window *w) {
        locked([&] {
            gWindow.store(w, std::memory_order_release);
            Ce_Cpld = w ? w->base() : static_cast<volatile unsigned char *>(MAP_FAILED);
        });
    };
    Window *w;
    try {
        w = open_window(DVR_REPORTER("fpga"));
    } catch (...) {
        // A failure of any kind (no memory) leaves the layer unmapped too.
        publish(nullptr);
        throw;
    }
    publish(w);
    return w ? 0 : -1;
} DVR_C_BOUNDARY("fpga", -1)

extern "C" int fpga_read(int address, int offset)
try {
    return locked([&] {
        take_access_failure();
        latch(address, offset);
        const int v = data_read();
        return take_access_failure() ? -1 : v;
    });
} DVR_C_BOUNDARY("fpga", -1)

extern "C" void fpga_write(int address, int offset, int data)
try {
    locked([&] {
        latch(address, offset);
        data_write(data);
    });
} DVR_C_BOUNDARY("fpga")

extern "C" unsigned char fpga_read_wo_lock(int address, int offset)
try {
    latch(address, offset);
    return data_read();
} DVR_C_BOUNDARY("fpga", 0)

extern "C" void fpga_write_wo_lock(int address, int offset, int data)
try {
    latch(address, offset);
    data_write(data);
} DVR_C_BOUNDARY("fpga")

extern "C" int fpga_subread_cpld(int offset) { return fpga_read(reg::kBoard, offset); }
extern "C" int fpga_read_pcbinfo(void) { return fpga_subread_cpld(reg::kPcbInfo); }
extern "C" int fpga_read_brdid(void) { return fpga_subread_cpld(reg::kBoardId); }
extern "C" int fpga_read_cpldver(void) { return fpga_subread_cpld(reg::kCpldVersion); }
extern "C" int fpga_read_cpldver2(void) { return fpga_subread_cpld(reg::kCpldVersion); }
extern "C" int fpga_read_topfpgaver(void) { return fpga_subread_cpld(reg::kTopFpgaVersion); }
extern "C" int fpga_read_botfpgaver(void) { return fpga_subread_cpld(reg::kBottomFpgaVersion); }
extern "C" int fpga_read_brdver(void) { return fpga_subread_cpld(reg::kBoardVersion); }
