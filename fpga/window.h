// The ways of reaching the register window's ports. fpga_open picks one
// and keeps it until the next fpga_open; register operations only call
// through it.
#ifndef DVRPLAT_FPGA_WINDOW_H
#define DVRPLAT_FPGA_WINDOW_H

#include <cerrno>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "fpga_internal.h"
#include "owners.h"
#include "report.h"

namespace dvr::fpga {

class Window {
public:
    Window() = default;
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    virtual ~Window() = default;

    // Not noexcept: a traced access writes a line (a cancellation point).
    virtual void write(Port p, uint8_t v) = 0;
    virtual uint8_t read(Port p) = 0;
    // The window's first byte, published as Ce_Cpld.
    virtual volatile uint8_t *base() const noexcept = 0;
};

// Windows are never freed: a register operation on another thread may
// still use the previous one while fpga_open puts a new one in place.
// Each opener reports its failure through report and gives nullptr.

// Maps len bytes of fd from offset for the life of the process and makes
// them a window of type W (constructed from the mapped base); nullptr
// after a report.
template <class W>
Window *map_window(int fd, size_t len, off_t offset, const dvr::Reporter &report)
{
    dvr::Mapping map(::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset), len);
    if (!map.valid()) {
        DVR_REPORT_TO(report, "mmap(%d, %d) failed : %s\n", static_cast<int>(len), static_cast<int>(offset),
                      std::strerror(errno));
        return nullptr;
    }
    auto *w = new (std::nothrow) W(static_cast<volatile uint8_t *>(map.get()));
    if (!w) {
        DVR_REPORT_TO(report, "out of memory\n");
        return nullptr;
    }
    map.release(); // stays mapped with the window
    return w;
}

// The board's physical register range mapped from "/dev/mem".
Window *open_mapped_window(const dvr::Reporter &report);

// What fpga_open opens: the mapped board, unless a program linked with the
// board simulator (the dvrplat_sim library, sim/) has put its opener in
// place before main. The board's library has no other window.
using WindowOpener = Window *(*)(const dvr::Reporter &report);
void set_window_opener(WindowOpener opener) noexcept;

// The simulator library's windows (defined in sim/, not in this library).
// The board simulator kept in the file at path (layout in sim/sim_file.h),
// created or extended as needed.
Window *open_simulated_window(const char *path, const dvr::Reporter &report);

// w itself when DVRPLAT_FPGA_TRACE names no file (or the file cannot be
// opened, after a report); otherwise a window that appends every port
// access of w to that file as one line.
Window *traced(Window *w, const dvr::Reporter &report);

} // namespace dvr::fpga

#endif
