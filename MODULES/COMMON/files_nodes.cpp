// Device nodes: making a node that is missing.
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "boundary.h"
#include "report.h"

extern "C" int COM_CheckDevFile(const char *path, mode_t mode, uint64_t dev)
try {
    if (!path) {
        COM_REPORT("stat(%s) fail : %s\n", "(null)", std::strerror(EINVAL));
        return -1;
    }
    struct stat st {};
    if (::stat(path, &st) == 0)
        return 0;
    if (errno != ENOENT) {
        COM_REPORT("stat(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    if (::mknod(path, mode, static_cast<dev_t>(dev)) != 0) {
        COM_REPORT("mknod(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    COM_REPORT("mknod(%s, 0x%08X, 0x%08X) success!\n", path, static_cast<unsigned>(mode),
               static_cast<unsigned>(dev));
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
