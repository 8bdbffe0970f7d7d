// Internal interface of the FPGA layer: the register window's ports and
// the layer's lock.
#ifndef DVRPLAT_FPGA_INTERNAL_H
#define DVRPLAT_FPGA_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

#include "owners.h"
#include "report.h"
#include "fpga.h"
#include "registers.h"

// The layer's lock: serialises every multi-register sequence.
extern pthread_mutex_t gFpgaMutex;

namespace dvr::fpga {

// Ports of the window, as offsets from its base.
enum class Port : uint32_t {
    Address = 0x400000,
    Offset = 0x440000,
    Status = 0x480000,
    Data = 0x4C0000,
};

constexpr uint32_t kWindowPhys = 0xF0000000u;
constexpr size_t kWindowSize = 0x1000000;

// True once fpga_open has mapped a window (real or simulated).
bool mapped() noexcept;

// One port access. Both are no-ops (reads give 0) while unmapped. Not
// noexcept: with a port trace, each access writes a line (a cancellation
// point), and a thread cancelled there unwinds through these.
void port_write(Port p, unsigned value);
uint8_t port_read(Port p);

// A port access that could not be made (a simulator file cut short) marks
// the calling thread's accesses failed; a sequence that gives a result
// clears the mark first and gives its failure result if it is set at the
// end.
void note_access_failure() noexcept;
bool take_access_failure() noexcept;

// Latch protocol helpers (no lock taken).
inline void latch(unsigned address, unsigned offset)
{
    port_write(Port::Address, address);
    port_write(Port::Offset, offset);
}
inline void latch_offset(unsigned offset) { port_write(Port::Offset, offset); }
inline void data_write(unsigned v) { port_write(Port::Data, v); }
inline uint8_t data_read() { return port_read(Port::Data); }
inline uint8_t status_read() { return port_read(Port::Status); }

// The board's video outputs: 0 and 1.
constexpr int kOutputs = 2;

// True (after a report) when mon names no output of the board: register
// offsets computed from it would land in another output's or another
// function's registers.
inline bool bad_output(const dvr::Reporter &report, int mon)
{
    if (mon >= 0 && mon < kOutputs)
        return false;
    DVR_REPORT_TO(report, "output %d out of range [0-%d]\n", mon, kOutputs - 1);
    return true;
}

// Report lines gathered while gFpgaMutex is held and printed once it is
// released: a standard output that blocks then holds up only the thread
// that reports, never another thread's register access.
class HeldReports {
public:
    // The lines are printed through report.
    explicit HeldReports(const dvr::Reporter &report) noexcept : report_(report) {}

    __attribute__((format(printf, 3, 4))) void add(int line, const char *format, ...) noexcept
    {
        if (count_ == kMaxLines)
            return;
        Entry &e = entries_[count_++];
        e.line = line;
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(e.text, sizeof e.text, format, ap);
        va_end(ap);
    }
    // Prints every line, in order; call with the lock released.
    void print() const
    {
        for (size_t i = 0; i < count_; ++i)
            report_(entries_[i].line, "%s", entries_[i].text);
    }

private:
    static constexpr size_t kMaxLines = 16; // the most any sequence reports
    struct Entry {
        int line;
        char text[128];
    };
    dvr::Reporter report_;
    Entry entries_[kMaxLines];
    size_t count_ = 0;
};

// Runs f with gFpgaMutex held; the lock is released when f returns, throws
// or the thread is cancelled inside the sequence.
template <class F>
auto locked(F &&f) -> decltype(f())
{
    dvr::MutexLock hold(gFpgaMutex);
    return f();
}

} // namespace dvr::fpga

#endif
