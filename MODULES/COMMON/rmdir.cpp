// Mount-aware directory removal: a file system mounted on the directory
// is unmounted through the device layer before the directory is removed.
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "DEV.h"
#include "boundary.h"
#include "report.h"

extern "C" {

int COM_Rmdir(const char *path)
try {
    if (!path) {
        COM_REPORT("path == NULL\n");
        return -1;
    }
    char device[80] = {};
    if (Dev_GetDevViaMount(device, path) == 0) {
        COM_REPORT("\"%s\" mounted on \"%s\"\n", device, path);
        int r = Dev_uMount(path);
        if (r != 0) {
            COM_REPORT("Dev_uMount(%s) failed\n", path);
            return r;
        }
    }
    if (::rmdir(path) != 0) {
        COM_REPORT("rmdir(%s) failed : %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

} // extern "C"
