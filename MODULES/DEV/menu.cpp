// The device test menu: the numbered entries of the device test tool,
// with the values it currently works with.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "dev_internal.h"
#include "boundary.h"
#include "report.h"

static_assert(sizeof(DEV_TEST_MENU) == 44);
static_assert(offsetof(DEV_TEST_MENU, sd) == 12);
static_assert(offsetof(DEV_TEST_MENU, dev) == 24);
static_assert(offsetof(DEV_TEST_MENU, major) == 36);
static_assert(offsetof(DEV_TEST_MENU, minor) == 40);

extern "C" int Dev_TestMenu(const DEV_TEST_MENU *pMenu)
try {
    if (!pMenu) {
        DEV_REPORT("(%p) : Null ptr\n", static_cast<const void *>(pMenu));
        return -1;
    }
    // The names are fixed fields: never read past them.
    auto text = [](const char (&field)[DEV_NODE_SIZE]) { return std::string(field, strnlen(field, sizeof field)); };
    const std::string sg = text(pMenu->sg), sd = text(pMenu->sd), dev = text(pMenu->dev);
    int n = 0;
    std::printf("\n\t%d) Reload\n", n++);
    std::printf("\t%d) Modify SG Name : \"%s\"\n", n++, sg.c_str());
    std::printf("\t%d) Modify SD Name : \"%s\"\n", n++, sd.c_str());
    std::printf("\t%d) Modify DEV Name : \"%s\"\n", n++, dev.c_str());
    std::printf("\t%d) Rescan SCSI Bus\n", n++);
    std::printf("\t%d) Query All Devices\n", n++);
    std::printf("\t%d) Get DEV MPT (Dev_GetMPT(%s, pMPT))\n", n++, dev.c_str());
    std::printf("\t%d) Get DEV MPT (Dev_nGetMPT(%s, pMPT, 8))\n", n++, dev.c_str());
    std::printf("\t%d) Convert SG to SD\n", n++);
    std::printf("\t%d) Convert SD to SG\n", n++);
    std::printf("\t%d) Get DEV(%s) Disc Info\n", n++, dev.c_str());
    std::printf("\t%d) Test Dev_Mount() nfs mount\n", n++);
    std::printf("\t%d) Dev_CheckPartition(%s)\n", n++, dev.c_str());
    std::printf("\t%d) Modify major number : \"%d\"\n", n++, pMenu->major);
    std::printf("\t%d) Modify minor number : \"%d\"\n", n++, pMenu->minor);
    std::printf("\t%d) Convert (major, minor) = (%d, %d) to device name\n", n++, pMenu->major, pMenu->minor);
    std::printf("\t%d) Get [%s] smart value [0xC2 - Temperature]\n", n++, dev.c_str());
    return std::printf("\t%d) Exit\n\n", n);
} DVR_C_BOUNDARY("MODULES/DEV", -1)
