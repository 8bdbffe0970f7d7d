/* A plain C99 caller of the installed library. */
#include <stdio.h>
#include <string.h>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "dvrplat_version.h"
#include "fpga.h"

int main(void)
{
    char when[32];
    int fd = -1;
    COM_Message("c99", 7, "main", "hello from C %d\n", 42);
    /* The library loaded is the one the headers describe. */
    if (strcmp(COM_GetLibraryVersion(NULL, NULL, NULL), DVRPLAT_VERSION_STRING) != 0)
        return 1;
    if (COM_ConvertTimetToStr(when, 0) != 0 || strcmp(when, "1970/01/01 00:00:00") != 0)
        return 1;
    if (COM_CloseFd(&fd) != -1)
        return 1;
    /* The register window is not mapped: reads give 0. */
    if (fpga_read(0x00, 0x02) != 0)
        return 1;
    fflush(stdout);
    return 0;
}
