// Library threads that end by cancellation (the thread watchdog, the
// temperature watch) under AddressSanitizer: the unwound frames' marks stay
// on the thread's stack, and the thread library's exit path then runs over
// that part of the stack. Such a thread clears its whole stack's marks as
// it ends. Nothing here exists in a build without the sanitizer.
#ifndef DVRPLAT_ASAN_STACK_H
#define DVRPLAT_ASAN_STACK_H

#if defined(__SANITIZE_ADDRESS__)
#define DVRPLAT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DVRPLAT_ASAN 1
#endif
#endif

#if DVRPLAT_ASAN
#include <cstddef>
#include <pthread.h>
#include <sanitizer/asan_interface.h>

#define DVRPLAT_NO_ASAN __attribute__((no_sanitize("address")))

namespace dvr::asan {

struct StackRange {
    void *low = nullptr;
    size_t size = 0;
};

inline StackRange own_stack()
{
    StackRange r;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &r.low, &r.size);
        pthread_attr_destroy(&attr);
    }
    return r;
}

// Cleanup handler: arg is the thread's StackRange.
DVRPLAT_NO_ASAN inline void clear_stack_marks(void *range)
{
    auto *r = static_cast<StackRange *>(range);
    if (r->low)
        __asan_unpoison_memory_region(r->low, r->size);
}

} // namespace dvr::asan
#else
#define DVRPLAT_NO_ASAN
#endif

#endif
