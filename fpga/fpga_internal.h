// Internal interface of the FPGA layer: the register window's ports, the
// board simulator behind them, and the layer's lock.
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

// The layer's lock: serialises every multi-register sequence.
extern pthread_mutex_t gFpgaMutex;

namespace fpga_detail {

// Ports of the window, as offsets from its base.
enum class Port : uint32_t {
    Address = 0x400000,
    Offset = 0x440000,
    Status = 0x480000,
    Data = 0x4C0000,
};

constexpr uint32_t kWindowPhys = 0xF0000000u;
constexpr size_t kWindowSize = 0x1000000;

// Board simulator file layout (DVRPLAT_FPGA_SIM).
namespace sim {
constexpr size_t kRegisters = 0;          // [0, 65536): register file
constexpr size_t kStatus = 65536;         // [65536, 131072): status inputs
constexpr size_t kLatchAddress = 131072;  // address latch
constexpr size_t kLatchOffset = 131073;   // offset latch
constexpr size_t kCoaxCount = 131076;     // big-endian count of queued coax bytes
constexpr size_t kCoaxQueue = 131080;     // queued coax bytes, in order
constexpr size_t kCoaxCapacity = 65536;   // bytes past this are dropped
// Fonts loaded into the outputs, one table per output after the queue:
// a byte per glyph index (1 once any byte of that glyph was written), then
// the 32 bytes of each glyph in index order. The font registers hold one
// glyph at a time; the table keeps every glyph written through them.
constexpr size_t kFontTable = 0x31000;
constexpr size_t kFontGlyphs = 256;        // glyph indexes
constexpr size_t kFontGlyphBytes = 32;     // bytes of one glyph
constexpr size_t kFontLoaded = 0;          // loaded flags, within a table
constexpr size_t kFontData = kFontGlyphs;  // glyph bytes, within a table
constexpr size_t kFontTableSize = kFontData + kFontGlyphs * kFontGlyphBytes;
constexpr size_t kFontOutputs = 2;
constexpr size_t kFileSize = 262144;
constexpr uint8_t kCoaxAddress = 0x60;
static_assert(kCoaxQueue + kCoaxCapacity <= kFontTable);
static_assert(kFontTable + kFontOutputs * kFontTableSize <= kFileSize);
constexpr size_t reg(unsigned address, unsigned offset) { return (address & 0xFF) * 256 + (offset & 0xFF); }
// Font registers of output mon: the glyph index and the glyph's bytes.
constexpr unsigned font_index_address(unsigned mon) { return mon * 32 + 0x21; }
constexpr unsigned font_data_address(unsigned mon) { return mon * 32 + 0x20; }
constexpr size_t font_table(unsigned mon) { return kFontTable + mon * kFontTableSize; }
} // namespace sim

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

} // namespace fpga_detail

#endif
