// The device layer's ioctl seam: every device-layer ioctl passes here and
// goes either to the system or, under a board root, to a simulated drive.
#include <cerrno>

#include <sys/ioctl.h>

#include "dev_internal.h"
#include "dev_sim.h"
#include "board_root.h"

namespace dvr::dev {

int ioctl(int fd, unsigned long request, void *arg)
{
    if (!board_root().empty()) {
        int result;
        int saved = errno;
        if (sim::handle(fd, request, arg, &result))
            return result;
        errno = saved;
    }
    return ::ioctl(fd, request, arg);
}

} // namespace dvr::dev
