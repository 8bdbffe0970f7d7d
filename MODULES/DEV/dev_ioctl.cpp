// The device layer's ioctl seam: every device-layer ioctl passes here and
// goes to the system, or to the simulated drives' handler when a program
// linked with the simulator library has put one in place.
#include <atomic>
#include <cerrno>

#include <sys/ioctl.h>

#include "dev_internal.h"

namespace dvr::dev {

namespace {

std::atomic<IoctlHandler> gHandler{nullptr};

} // namespace

void set_ioctl_handler(IoctlHandler handler) noexcept { gHandler.store(handler, std::memory_order_release); }

int ioctl(int fd, unsigned long request, void *arg)
{
    if (IoctlHandler handler = gHandler.load(std::memory_order_acquire)) {
        int result;
        int saved = errno;
        if (handler(fd, request, arg, &result))
            return result;
        errno = saved;
    }
    return ::ioctl(fd, request, arg);
}

} // namespace dvr::dev
