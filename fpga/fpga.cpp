// FPGA register access: the register window, its latch protocol and lock.
//
// The window is normally the board's physical register range mapped from
// /dev/mem. With DVRPLAT_FPGA_SIM naming a file, the window is a board
// simulator kept in that file instead, and with DVRPLAT_FPGA_TRACE naming a
// file every port access is appended there as one line. fpga_open picks
// the window (window.h); the register operations only call through it.
#include <atomic>
#include <cstdlib>
#include <mutex>

#include <sys/mman.h>

#include "window.h"
#include "boundary.h"
#include "report.h"

volatile unsigned char *Ce_Cpld = static_cast<volatile unsigned char *>(MAP_FAILED);
pthread_mutex_t gFpgaMutex = PTHREAD_MUTEX_INITIALIZER;

namespace fpga_detail {

namespace {

std::atomic<Window *> gWindow{nullptr};

thread_local bool tl_access_failed = false;

// Serialises fpga_open itself; register operations never take it.
std::mutex gOpenMutex;

// The window fpga_open's environment asks for; nullptr after a report.
Window *open_window(const dvr::Reporter &report)
{
    const char *simfile = ::secure_getenv("DVRPLAT_FPGA_SIM");
    Window *w = simfile && *simfile ? open_simulated_window(simfile, report) : open_mapped_window(report);
    return w ? traced(w, report) : nullptr;
}

} // namespace

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

} // namespace fpga_detail

using namespace fpga_detail;

extern "C" int fpga_open(void)
try {
    std::lock_guard<std::mutex> guard(gOpenMutex);
    // The new window is opened first and put in place under gFpgaMutex, so
    // that a thread in the middle of a latched sequence finishes it on one
    // window, never on a half-replaced one. A failed call leaves the
    // layer unmapped. The window stays for the life of the process; a
    // later call opens afresh and replaces it.
    Window *w = open_window(DVR_REPORTER("fpga"));
    locked([&] {
        gWindow.store(w, std::memory_order_release);
        Ce_Cpld = w ? w->base() : static_cast<volatile unsigned char *>(MAP_FAILED);
    });
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

extern "C" int fpga_subread_cpld(int offset) { return fpga_read(0x00, offset); }
extern "C" int fpga_read_pcbinfo(void) { return fpga_subread_cpld(0x00); }
extern "C" int fpga_read_brdid(void) { return fpga_subread_cpld(0x01); }
extern "C" int fpga_read_cpldver(void) { return fpga_subread_cpld(0x02); }
extern "C" int fpga_read_cpldver2(void) { return fpga_subread_cpld(0x02); }
extern "C" int fpga_read_topfpgaver(void) { return fpga_subread_cpld(0x03); }
extern "C" int fpga_read_botfpgaver(void) { return fpga_subread_cpld(0x04); }
extern "C" int fpga_read_brdver(void) { return fpga_subread_cpld(0x10); }
