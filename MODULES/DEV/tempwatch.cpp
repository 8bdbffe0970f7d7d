// SMART temperature watch of the IDE disks: one thread per watch record
// reads each disk's temperature every five minutes and tells the caller
// when a disk has been too hot, or back to normal, for a set time.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include <pthread.h>

#include "dev_internal.h"
#include "identity_internal.h"

#include "asan_stack.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"

static_assert(sizeof(DEV_TEMP_DISK) == 16);
static_assert(offsetof(DEV_TEMP_DISK, state) == 8);
static_assert(offsetof(DEV_TEMP_DISK, prev_state) == 10);
static_assert(offsetof(DEV_TEMP_DISK, since) == 12);
static_assert(offsetof(DEV_TEMP_WATCH, high) == offsetof(DEV_TEMP_WATCH, running) + 4);
static_assert(offsetof(DEV_TEMP_WATCH, low) == offsetof(DEV_TEMP_WATCH, running) + 5);
static_assert(offsetof(DEV_TEMP_WATCH, hold) == offsetof(DEV_TEMP_WATCH, running) + 6);
static_assert(offsetof(DEV_TEMP_WATCH, on_high) == offsetof(DEV_TEMP_WATCH, running) + 8);
static_assert(offsetof(DEV_TEMP_WATCH, disks) ==
              offsetof(DEV_TEMP_WATCH, on_normal) + sizeof(DEV_TEMP_FN));
static_assert(sizeof(((DEV_TEMP_WATCH *)nullptr)->disks) == 8 * 16);

namespace {

constexpr unsigned kDefaultPauseMs = 300u * 1000u;

std::atomic<dvr::dev::TempWatchClock> gClock{nullptr};
std::atomic<unsigned> gPauseMs{kDefaultPauseMs};

int32_t now_seconds()
{
    dvr::dev::TempWatchClock c = gClock.load(std::memory_order_acquire);
    return static_cast<int32_t>(c ? c() : std::time(nullptr));
}

// The pause between passes; a cancellation point.
void pause_between_passes()
{
    const unsigned ms = gPauseMs.load(std::memory_order_relaxed);
    struct timespec ts = {static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}


DVRPLAT_NO_ASAN void *watch_thread(void *arg)
{
#if DVRPLAT_ASAN
    dvr::asan::StackRange stack = dvr::asan::own_stack();
    pthread_cleanup_push(dvr::asan::clear_stack_marks, &stack);
#endif
    Dev_TempWatchThread(static_cast<DEV_TEMP_WATCH *>(arg));
#if DVRPLAT_ASAN
    pthread_cleanup_pop(0);
#endif
    return nullptr;
}

void move_to(DEV_TEMP_DISK *d, int state)
{
    d->prev_state = d->state;
    d->state = static_cast<int16_t>(state);
}

// Starts a timed move: the disk enters state, timed from now.
void start_timing(DEV_TEMP_DISK *d, int state)
{
    move_to(d, state);
    d->since = now_seconds();
}

// Ends a timed move once the temperature has held for the watch's hold
// time: tells notify (when set), then enters state.
void end_timing(const DEV_TEMP_WATCH *w, DEV_TEMP_DISK *d, int index, DEV_TEMP_FN notify, int state)
{
    const int32_t now = now_seconds();
    if (static_cast<int64_t>(now) - d->since < w->hold)
        return;
    if (notify)
        notify(index, d, now);
    move_to(d, state);
}

} // namespace

namespace dvr::dev {

void set_temp_watch_clock(TempWatchClock clock) noexcept
{
    gClock.store(clock, std::memory_order_release);
}

void set_temp_watch_pause_ms(unsigned ms) noexcept
{
    gPauseMs.store(ms ? ms : kDefaultPauseMs, std::memory_order_relaxed);
}

} // namespace dvr::dev

extern "C" {

int Dev_SubTempWatch(DEV_TEMP_WATCH *pWatch, DEV_TEMP_DISK *pDisk, DEV_SMART_REQ *pSmart, int index)
try {
    if (!pWatch || !pDisk || !pSmart) {
        DEV_REPORT("(%p, %p, %p, %d) : Null ptr\n", static_cast<void *>(pWatch), static_cast<void *>(pDisk),
                   static_cast<void *>(pSmart), index);
        return -1;
    }
    pDisk->name[sizeof pDisk->name - 1] = '\0';
    if (Dev_GetSmartValue(pDisk->name, pSmart) != 0)
        return pDisk->state;
    const int t = static_cast<int8_t>(pSmart->value);
    const bool hot = t >= pWatch->high;
    const bool cool = t <= pWatch->low;
    const bool band = !hot && !cool;

    switch (pDisk->state) {
    case DEV_TEMP_NORMAL:
        if (hot)
            start_timing(pDisk, DEV_TEMP_RISING);
        else if (cool)
            move_to(pDisk, DEV_TEMP_NORMAL);
        break;
    case DEV_TEMP_RISING:
        if (hot)
            end_timing(pWatch, pDisk, index, pWatch->on_high, DEV_TEMP_HOT);
        else if (band)
            pDisk->state = pDisk->prev_state;
        else
            start_timing(pDisk, DEV_TEMP_COOLING);
        break;
    case DEV_TEMP_HOT:
        if (cool)
            start_timing(pDisk, DEV_TEMP_COOLING);
        break;
    case DEV_TEMP_COOLING:
        if (hot)
            start_timing(pDisk, DEV_TEMP_RISING);
        else if (band)
            pDisk->state = pDisk->prev_state;
        else
            end_timing(pWatch, pDisk, index, pWatch->on_normal, DEV_TEMP_BACK_TO_NORMAL);
        break;
    case DEV_TEMP_BACK_TO_NORMAL:
        if (hot)
            start_timing(pDisk, DEV_TEMP_RISING);
        else if (cool)
            move_to(pDisk, DEV_TEMP_NORMAL);
        break;
    default:
        if (!band)
            DEV_REPORT("undeined status [%d]\n", pDisk->state);
        break;
    }
    return pDisk->state;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_TempWatchThread(DEV_TEMP_WATCH *pWatch)
try {
    if (!pWatch)
        return 0;
    for (int i = 0; i < DEV_TEMP_DISKS; ++i) {
        DEV_TEMP_DISK &d = pWatch->disks[i];
        std::snprintf(d.name, sizeof d.name, "hd%c", 'a' + i);
        DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
        if (Dev_GetSmartValue(d.name, &req) == 0) {
            d.state = DEV_TEMP_NORMAL;
            DEV_REPORT("[%s] - Temperature = %d degree\n", d.name, static_cast<int8_t>(req.value));
        } else {
            d.state = DEV_TEMP_NOT_WATCHED;
        }
        d.since = -1;
    }
    // The flag is written under the record's lock by the destroying
    // thread; the atomic read keeps this unlocked read well defined.
    while (__atomic_load_n(&pWatch->running, __ATOMIC_ACQUIRE) != 0) {
        for (int i = 0; i < DEV_TEMP_DISKS; ++i) {
            DEV_TEMP_DISK &d = pWatch->disks[i];
            if (d.state == DEV_TEMP_NOT_WATCHED)
                continue;
            const int before = d.state;
            DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
            const int after = Dev_SubTempWatch(pWatch, &d, &req, i);
            if (after != before)
                DEV_REPORT("[%s] : [%d -> %d] : %d degree\n", d.name, d.prev_state, after,
                           static_cast<int8_t>(req.value));
        }
        pause_between_passes();
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_DiskTempWatchDogCreate(DEV_TEMP_WATCH *pWatch)
try {
    if (!pWatch)
        return -1;
    // A running watch keeps its thread: a second one would never be joined.
    if (__atomic_load_n(&pWatch->running, __ATOMIC_ACQUIRE) != 0) {
        DEV_REPORT("temperature watch already running\n");
        return EBUSY;
    }
    pthread_mutex_init(&pWatch->lock, nullptr);
    __atomic_store_n(&pWatch->running, 1, __ATOMIC_RELEASE);
    const int err = pthread_create(&pWatch->thread, nullptr, watch_thread, pWatch);
    if (err != 0) {
        DEV_REPORT("pthread_create() error = %d\n", err);
        __atomic_store_n(&pWatch->running, 0, __ATOMIC_RELEASE);
        pthread_mutex_destroy(&pWatch->lock);
    }
    return err;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_DiskTempWatchDogDestroy(DEV_TEMP_WATCH *pWatch)
try {
    if (!pWatch)
        return -1;
    // Only a running watch (of a zero-filled record) has a thread to stop;
    // of two destroys at once, only one finds it running.
    int32_t expected = 1;
    if (!__atomic_compare_exchange_n(&pWatch->running, &expected, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        DEV_REPORT("temperature watch not running\n");
        return ESRCH;
    }
    {
        dvr::MutexLock hold(pWatch->lock);
    }
    const int err = pthread_cancel(pWatch->thread);
    if (err == 0) {
        // The watch thread ends at once; a cancel pending for the caller
        // acts after the join, so that the thread is always joined.
        dvr::NoCancel guard;
        pthread_join(pWatch->thread, nullptr);
        pthread_mutex_destroy(&pWatch->lock);
    } else {
        DEV_REPORT("pthread_cancel() error [%d]\n", err);
    }
    return err;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
