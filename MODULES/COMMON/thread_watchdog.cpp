// Thread log and thread watchdog: a process-wide registry of the threads
// that announced themselves (with a pid file each), and a checking thread
// that warns, once per interval, about every registered thread that is
// gone, a zombie or stopped.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <pthread.h>
#include <sys/types.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

#include "asan_stack.h"

static_assert(offsetof(COM_THREAD_INFO, nPid) == 0);
static_assert(offsetof(COM_THREAD_INFO, szState) == 4);
static_assert(offsetof(COM_THREAD_INFO, nMemUsage) == 8);
static_assert(offsetof(COM_THREAD_INFO, szName) == 12);
static_assert(sizeof(COM_THREAD_INFO) == 88);

// The lock is statically initialised: threads may register before (and
// after) a watchdog runs, so it is never initialised again or destroyed.
COM_THREAD_WATCHDOG gComThreadWatchdog = {pthread_t{}, PTHREAD_MUTEX_INITIALIZER, {0, 0}, nullptr};

namespace {

constexpr const char *kPidDir = "/var/run";
constexpr const char *kWatchdogName = "COM_ThreadWatchdog";
constexpr size_t kStatLineSize = 256;

// Serialises starting and stopping the checking thread.
pthread_mutex_t gControlMutex = PTHREAD_MUTEX_INITIALIZER;
bool gRunning = false;              // under gControlMutex
int gWatchdogRecord = -1;           // index of the checking thread's record, under the registry lock

int32_t current_id()
{
    return static_cast<int32_t>(gettid());
}

// Writes "/var/run/<name>.thread.pid" holding id. Failures are reported
// in the reporter's name and do not stop a registration.
void write_pid_file(const char *name, int32_t id, const dvr::Reporter &report)
{
    std::string dir = dvr::board_path(kPidDir);
    COM_Mkdir(dir.c_str(), 0775);
    std::string shown = std::string(kPidDir) + "/" + name + ".thread.pid";
    if (std::strchr(name, '/')) {
        // The name would lead out of the pid directory.
        DVR_REPORT_TO(report, "fopen(%s) error : %s\n", shown.c_str(), std::strerror(EINVAL));
        return;
    }
    std::string path = dir + "/" + name + ".thread.pid";
    // Written straight to the descriptor, not through a stream: the write
    // is a cancellation point (a registration blocked there can be
    // cancelled), and the owner closes the descriptor however the write
    // ends, where a stream cancelled inside fclose's write stayed open.
    dvr::UniqueFd file;
    {
        // A cancel waits until the descriptor is in its owner's hands.
        dvr::NoCancel guard;
        file.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    }
    if (!file) {
        DVR_REPORT_TO(report, "fopen(%s) error : %s\n", shown.c_str(), std::strerror(errno));
        return;
    }
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%d", id);
    int err = 0;
    for (int done = 0; done < len && err == 0;) {
        ssize_t n = ::write(file.get(), text + done, static_cast<size_t>(len - done));
        if (n > 0)
            done += static_cast<int>(n);
        else if (n < 0 && errno != EINTR)
            err = errno;
    }
    if (err == 0) {
        // Closed here rather than by the owner, to learn whether it went well.
        dvr::NoCancel guard;
        if (::close(file.release()) != 0)
            err = errno;
    }
    if (err != 0)
        DVR_REPORT_TO(report, "[%s] fprintf() error : %s\n", name, std::strerror(err));
}

size_t count_records(const COM_THREAD_INFO *info)
{
    size_t n = 0;
    if (info)
        while (info[n].nPid != 0)
            ++n;
    return n;
}

// A copy of the registry's records, taken under the registry lock so that
// their reports (and the watchdog's "/proc" reads) happen after its
// release: a standard output that blocks then holds up only the reporting
// thread, never a registration.
struct Snapshot {
    struct Free {
        void operator()(COM_THREAD_INFO *p) const noexcept { std::free(p); }
    };
    std::unique_ptr<COM_THREAD_INFO, Free> records;
    size_t count = 0;
    bool failed = false; // the copy could not be allocated
};

// The caller holds the registry lock.
void take_snapshot(const COM_THREAD_WATCHDOG &wd, Snapshot &snap) noexcept
{
    const size_t n = count_records(wd.pInfo);
    if (n == 0)
        return;
    auto *copy = static_cast<COM_THREAD_INFO *>(std::malloc(n * sizeof(COM_THREAD_INFO)));
    if (!copy) {
        snap.failed = true;
        return;
    }
    std::memcpy(copy, wd.pInfo, n * sizeof(COM_THREAD_INFO));
    snap.records.reset(copy);
    snap.count = n;
}

} // namespace

extern "C" int COM_LogThread(const char *name)
try {
    if (!name) {
        COM_REPORT("input error : name == NULL\n");
        return -1;
    }
    COM_THREAD_INFO rec[2];
    std::memset(rec, 0, sizeof rec);
    rec[0].nPid = current_id();
    if (std::strlen(name) >= sizeof rec[0].szName)
        COM_REPORT("thread name cut to %zu characters : [%.40s...]\n", sizeof rec[0].szName - 1, name);
    dvr::copy_cut(rec[0].szName, sizeof rec[0].szName, name);

    write_pid_file(name, rec[0].nPid, DVR_REPORTER("MODULES/COMMON"));

    int result = -1;
    bool full = false;
    size_t n = 0;
    COM_THREAD_WATCHDOG &wd = gComThreadWatchdog;
    {
        dvr::MutexLock hold(wd.mutex);
        n = count_records(wd.pInfo);
        if (n + 2 > static_cast<size_t>(INT_MAX) / sizeof(COM_THREAD_INFO)) {
            full = true;
        } else if (COM_ReallocAndCopyBuf(static_cast<int>((n + 2) * sizeof(COM_THREAD_INFO)), &wd.pInfo,
                                         static_cast<int>(n * sizeof(COM_THREAD_INFO)), rec,
                                         static_cast<int>(sizeof rec))) {
            result = static_cast<int>(n + 1);
        }
    }
    if (full)
        COM_REPORT("thread registry full (%zu records)\n", n);
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_LogThreadMemUsage(int32_t nChange)
try {
    int result = 0;
    int32_t id = current_id();
    int found = -1;
    COM_THREAD_INFO shown{};
    COM_THREAD_WATCHDOG &wd = gComThreadWatchdog;
    {
        dvr::MutexLock hold(wd.mutex);
        if (!wd.pInfo) {
            result = -1;
        } else {
            for (int i = 0; wd.pInfo[i].nPid != 0; ++i) {
                COM_THREAD_INFO &rec = wd.pInfo[i];
                if (rec.nPid != id)
                    continue;
                int32_t sum;
                if (__builtin_add_overflow(rec.nMemUsage, nChange, &sum))
                    sum = nChange > 0 ? INT32_MAX : INT32_MIN;
                rec.nMemUsage = sum;
                found = i;
                shown = rec;
                break;
            }
        }
    }
    if (found >= 0)
        COM_REPORT("[%d] : %d - [%ld] - %.*s\n", found, shown.nPid, static_cast<long>(shown.nMemUsage),
                   static_cast<int>(sizeof shown.szName), shown.szName);
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" void COM_ShowThread(void)
try {
    COM_THREAD_WATCHDOG &wd = gComThreadWatchdog;
    Snapshot snap;
    {
        dvr::MutexLock hold(wd.mutex);
        take_snapshot(wd, snap);
    }
    if (snap.failed)
        COM_REPORT("out of memory\n");
    for (size_t i = 0; i < snap.count; ++i) {
        const COM_THREAD_INFO &rec = snap.records.get()[i];
        COM_REPORT("[%d] : %d - [%.*s] - [%.*s] - [%ld]\n", static_cast<int>(i), rec.nPid,
                   static_cast<int>(sizeof rec.szName), rec.szName, static_cast<int>(sizeof rec.szState),
                   rec.szState, static_cast<long>(rec.nMemUsage));
    }
} DVR_C_BOUNDARY("MODULES/COMMON")

extern "C" int COM_SubThreadWatchdog(COM_THREAD_INFO *pInfo)
try {
    if (!pInfo)
        return -1;
    char fixed[32];
    std::snprintf(fixed, sizeof fixed, "/proc/%d/stat", pInfo->nPid);
    dvr::UniqueFile stat(std::fopen(dvr::board_path(fixed).c_str(), "re"));
    if (!stat)
        return -1;
    char line[kStatLineSize];
    if (!std::fgets(line, sizeof line, stat.get()))
        return -1;
    // "id (command name) state ...": the command name may itself hold
    // spaces, slashes and parentheses, so the state is the first field
    // after the last ')'.
    char *p = std::strrchr(line, ')');
    if (!p)
        return -1;
    ++p;
    while (*p == ' ')
        ++p;
    size_t len = std::strcspn(p, " \r\n");
    if (len == 0)
        return -1;
    dvr::copy_cut(pInfo->szState, sizeof pInfo->szState, std::string_view(p, len));
    switch (p[0]) {
    case 'Z': // zombie
    case 'X': // dead
    case 'T': // stopped
    case 't': // stopped by a tracer
        return -1;
    default:
        return 0;
    }
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

namespace {

// The first checking thread registers itself; a later one (after a
// destroy) takes over that record, so the registry does not keep a record
// of a thread that has gone.
void register_watchdog(COM_THREAD_WATCHDOG &wd, const dvr::Reporter &report)
{
    int32_t id = current_id();
    int own = -1;
    {
        dvr::MutexLock hold(wd.mutex);
        if (gWatchdogRecord >= 0 && wd.pInfo) {
            own = gWatchdogRecord;
            wd.pInfo[own].nPid = id;
            wd.pInfo[own].szState[0] = '\0';
        }
    }
    if (own >= 0) {
        write_pid_file(kWatchdogName, id, report);
        return;
    }
    int n = COM_LogThread(kWatchdogName);
    if (n > 0) {
        {
            dvr::MutexLock hold(wd.mutex);
            gWatchdogRecord = n - 1;
        }
    }
}

// One check of every record. The records are copied under the registry
// lock, checked in "/proc" and reported without it; the states read are
// then put back under the lock into the records that still hold the same
// id.
void check_cycle(COM_THREAD_WATCHDOG &wd, const dvr::Reporter &report)
{
    Snapshot snap;
    {
        dvr::MutexLock hold(wd.mutex);
        take_snapshot(wd, snap);
    }
    if (snap.failed) {
        DVR_REPORT_TO(report, "out of memory\n");
        return;
    }
    COM_THREAD_INFO *recs = snap.records.get();
    for (size_t i = 0; i < snap.count; ++i)
        if (COM_SubThreadWatchdog(&recs[i]) != 0)
            DVR_REPORT_TO(report, "Warnning!! [pid = %d] [%.*s] process error\n", recs[i].nPid,
                          static_cast<int>(sizeof recs[i].szName), recs[i].szName);

    {
        dvr::MutexLock hold(wd.mutex);
        for (size_t i = 0; i < snap.count && wd.pInfo && wd.pInfo[i].nPid != 0; ++i)
            if (wd.pInfo[i].nPid == recs[i].nPid)
                std::memcpy(wd.pInfo[i].szState, recs[i].szState, sizeof recs[i].szState);
    }
}

} // namespace

extern "C" DVRPLAT_NO_ASAN void *COM_ThreadWatchdog(void *pArg)
try {
    COM_THREAD_WATCHDOG &wd = pArg ? *static_cast<COM_THREAD_WATCHDOG *>(pArg) : gComThreadWatchdog;
#if DVRPLAT_ASAN
    dvr::asan::StackRange stack = dvr::asan::own_stack();
    pthread_cleanup_push(dvr::asan::clear_stack_marks, &stack);
#endif
    const dvr::Reporter report = DVR_REPORTER("MODULES/COMMON");
    register_watchdog(wd, report);
    for (;;) {
        check_cycle(wd, report);
        pthread_testcancel();
        struct timespec interval = wd.interval;
        nanosleep(&interval, nullptr);
    }
#if DVRPLAT_ASAN
    pthread_cleanup_pop(0);
#endif
    return nullptr;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

extern "C" int COM_CreateThreadWatchdog(int nSec)
try {
    if (nSec < 1) {
        COM_REPORT("invalid interval %d\n", nSec);
        return EINVAL;
    }
    int rc = 0;
    {
        dvr::MutexLock hold(gControlMutex);
        if (gRunning) {
            COM_REPORT("thread watchdog already running\n");
            rc = EBUSY;
        } else {
            gComThreadWatchdog.interval.tv_sec = nSec;
            gComThreadWatchdog.interval.tv_nsec = 0;
            rc = pthread_create(&gComThreadWatchdog.thread, nullptr, COM_ThreadWatchdog, &gComThreadWatchdog);
            if (rc != 0)
                COM_REPORT("pthread_create() error = %d\n", rc);
            else
                gRunning = true;
        }
    }
    return rc;
} DVR_C_BOUNDARY("MODULES/COMMON", ENOMEM)

extern "C" int COM_DestroyThreadWatchdog(void)
try {
    int rc = 0;
    {
        dvr::MutexLock hold(gControlMutex);
        if (!gRunning) {
            COM_REPORT("thread watchdog not running\n");
            rc = ESRCH;
        } else {
            rc = pthread_cancel(gComThreadWatchdog.thread);
            if (rc != 0) {
                COM_REPORT("pthread_cancel() error [%d]\n", rc);
            } else {
                // The checking thread ends at once; a cancel pending for
                // the caller acts after the join, so that the watchdog is
                // never left cancelled but not joined.
                dvr::NoCancel guard;
                pthread_join(gComThreadWatchdog.thread, nullptr);
                gRunning = false;
            }
        }
    }
    return rc;
} DVR_C_BOUNDARY("MODULES/COMMON", ENOMEM)
