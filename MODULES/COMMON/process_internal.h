// Internals of the process functions shared with their tests. C++ only,
// never installed.
#ifndef DVRPLAT_PROCESS_INTERNAL_H
#define DVRPLAT_PROCESS_INTERNAL_H

namespace dvr {

// The whole budget of COM_PopenRead in milliseconds, for tests (0 or
// below puts back the 500 seconds).
void set_popen_budget_ms(int ms) noexcept;

} // namespace dvr

#endif
