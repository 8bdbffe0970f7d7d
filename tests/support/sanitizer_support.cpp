// Runtime help for the sanitized test programs.
//
// AddressSanitizer as GCC 12 ships it checks its own call to sigaltstack
// when a thread is cancelled (__asan_handle_no_return, reached from a
// cleanup during the unwind, asks for the signal stack first). The forced
// unwind of cancellation leaves the poison of the frames it skipped on the
// stack, so that check reports a stack-buffer overflow or underflow, or
// fails an internal CHECK, inside the runtime itself. The test programs
// provide sigaltstack as the plain system call: the runtime's own call then
// goes unchecked and goes on to clear the stale poison, while every memory
// access of the program stays checked.
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define DVRTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DVRTEST_ASAN 1
#endif
#endif

#ifdef DVRTEST_ASAN
extern "C" int sigaltstack(const stack_t *ss, stack_t *old) noexcept
{
    return static_cast<int>(::syscall(SYS_sigaltstack, ss, old));
}
#endif

// Referenced at link time (tests/CMakeLists.txt) so that this file is
// linked into every test program.
extern "C" {
extern const int dvrtest_sanitizer_support;
const int dvrtest_sanitizer_support = 1;
}
