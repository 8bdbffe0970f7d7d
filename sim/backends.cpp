// The board simulator library's hook into the platform library: linked
// into a program (the tests, the PC tools, a developer's commands), it puts
// the simulated backends in place of the real paths before main, with the
// environment's meaning unchanged:
//   the register window  DVRPLAT_FPGA_SIM names the simulator file that
//                        fpga_open maps instead of the board, and
//                        DVRPLAT_FPGA_TRACE a file every port access of
//                        either window is appended to;
//   the SCSI ioctls      under a board root (DVRPLAT_ROOT), a descriptor of
//                        a simulated drive's file is answered by the
//                        simulation (dev_sim.h).
// The board's library holds none of this: only the two hooks it calls.
#include <cstdlib>

#include "dev_internal.h"
#include "board_root.h"
#include "dev_sim.h"
#include "window.h"

namespace {

dvr::fpga::Window *open_window(const dvr::Reporter &report)
{
    const char *simfile = ::secure_getenv("DVRPLAT_FPGA_SIM");
    dvr::fpga::Window *w = simfile && *simfile ? dvr::fpga::open_simulated_window(simfile, report)
                                               : dvr::fpga::open_mapped_window(report);
    return w ? dvr::fpga::traced(w, report) : nullptr;
}

bool answer_ioctl(int fd, unsigned long request, void *arg, int *result)
{
    return !dvr::board_root().empty() && dvr::dev::sim::handle(fd, request, arg, result);
}

__attribute__((constructor)) void put_in_place() noexcept
{
    dvr::fpga::set_window_opener(&open_window);
    dvr::dev::set_ioctl_handler(&answer_ioctl);
}

} // namespace

// Named by the library's link option (-u) so that a program linking the
// archive takes this member, and with it the constructor above.
extern "C" const char dvrplat_sim_backends[] = "dvrplat_sim";
