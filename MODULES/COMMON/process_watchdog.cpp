// The process watchdog: finds the listed programs among the running
// processes and restarts those that are missing.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include <dirent.h>

#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"

// The process watch list is a fixed record layout (32-bit pointers on the
// board).
static_assert(offsetof(COM_WATCHDOG_ITEM, pName) == 0);
static_assert(offsetof(COM_WATCHDOG_ITEM, nFound) == sizeof(void *));
static_assert(sizeof(void *) != 4 || (offsetof(COM_WATCHDOG_ITEM, pRestart) == 8 && sizeof(COM_WATCHDOG_ITEM) == 12));
static_assert(offsetof(COM_WATCHDOG_LIST, nItem) == 0);
static_assert(sizeof(void *) != 4 || (offsetof(COM_WATCHDOG_LIST, pItem) == 4 && sizeof(COM_WATCHDOG_LIST) == 8));

namespace {
constexpr size_t kCmdlineSize = 80; // first argument of a process's command line
} // namespace

extern "C" int COM_WatchDog(COM_WATCHDOG_LIST *list)
try {
    if (!list)
        return -1;
    if (list->nItem < 0 || (list->nItem > 0 && !list->pItem)) {
        COM_REPORT("invalid list : (nItem, pItem) = (%d, %p)\n", static_cast<int>(list->nItem),
                   static_cast<void *>(list->pItem));
        return -1;
    }
    const std::string proc = dvr::board_path("/proc");
    dvr::UniqueDir dir(::opendir(proc.c_str()));
    if (!dir) {
        COM_REPORT("opendir(%s) error : %s\n", "/proc", std::strerror(errno));
        return -1;
    }
    COM_WATCHDOG_ITEM *items = list->pItem;
    const int count = list->nItem;
    for (int i = 0; i < count; ++i)
        items[i].nFound = 0;

    while (struct dirent *e = ::readdir(dir.get())) {
        const char *name = e->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..") || !std::strcmp(name, "lost+found"))
            continue;
        std::string path = proc + "/" + name + "/cmdline";
        dvr::UniqueFile f(std::fopen(path.c_str(), "re"));
        if (!f)
            continue; // not a process, or it has just ended
        char first[kCmdlineSize] = {};
        if (!std::fgets(first, sizeof first, f.get()))
            continue;
        // The arguments are NUL-separated: the text is the first one.
        first[std::strcspn(first, "\n")] = '\0';
        if (!first[0])
            continue; // kernel thread
        for (int i = 0; i < count; ++i) {
            const char *want = items[i].pName;
            if (want && std::strncmp(first, want, std::strlen(want)) == 0)
                ++items[i].nFound;
        }
    }

    for (int i = 0; i < count; ++i) {
        if (items[i].nFound != 0)
            continue;
        COM_REPORT("[%d - %s] : not found\n", i, items[i].pName ? items[i].pName : "(null)");
        if (items[i].pRestart)
            items[i].pRestart();
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
