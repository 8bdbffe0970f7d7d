// The board simulator's register window: a file (DVRPLAT_FPGA_SIM) that
// holds the register file, the status inputs, the two latches and the
// queue of coax bytes (layout in fpga_internal.h). A program runs on it
// without the board.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "window.h"

namespace fpga_detail {

namespace {

class SimulatedWindow final : public Window {
public:
    explicit SimulatedWindow(volatile uint8_t *base) noexcept : b_(base) {}

    void write(Port p, uint8_t v) override
    {
        switch (p) {
        case Port::Address: b_[sim::kLatchAddress] = v; break;
        case Port::Offset: b_[sim::kLatchOffset] = v; break;
        case Port::Data:
            if (b_[sim::kLatchAddress] == sim::kCoaxAddress)
                queue_coax(v);
            else
                store(v);
            break;
        case Port::Status: break; // read-only port
        }
    }

    uint8_t read(Port p) override
    {
        size_t r = sim::reg(b_[sim::kLatchAddress], b_[sim::kLatchOffset]);
        if (p == Port::Status)
            return b_[sim::kStatus + r];
        if (p == Port::Data)
            return b_[sim::kRegisters + r];
        return 0; // latches are write-only
    }

    volatile uint8_t *base() const noexcept override { return b_; }

private:
    // A register byte. A glyph byte written to an output's font registers
    // lands in that output's font table as well, under the glyph index the
    // index register holds, and marks the glyph loaded.
    void store(uint8_t v) noexcept
    {
        const unsigned address = b_[sim::kLatchAddress], offset = b_[sim::kLatchOffset];
        b_[sim::reg(address, offset)] = v;
        if (offset >= sim::kFontGlyphBytes)
            return;
        for (unsigned mon = 0; mon < sim::kFontOutputs; ++mon) {
            if (address != sim::font_data_address(mon))
                continue;
            const size_t glyph = b_[sim::kRegisters + sim::reg(sim::font_index_address(mon), 0)];
            const size_t table = sim::font_table(mon);
            b_[table + sim::kFontData + glyph * sim::kFontGlyphBytes + offset] = v;
            b_[table + sim::kFontLoaded + glyph] = 1;
        }
    }

    // Coax bytes are queued in order behind a big-endian count; bytes past
    // the queue's capacity are dropped.
    void queue_coax(uint8_t v) noexcept
    {
        uint8_t cnt[4];
        for (int i = 0; i < 4; ++i)
            cnt[i] = b_[sim::kCoaxCount + i];
        uint32_t n = dvr::get_be32(cnt);
        if (n >= sim::kCoaxCapacity)
            return;
        b_[sim::kCoaxQueue + n] = v;
        dvr::put_be32(cnt, n + 1);
        for (int i = 0; i < 4; ++i)
            b_[sim::kCoaxCount + i] = cnt[i];
    }

    volatile uint8_t *b_;
};

} // namespace

Window *open_simulated_window(const char *path, const dvr::Reporter &report)
{
    dvr::UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        DVR_REPORT_TO(report, "open(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        DVR_REPORT_TO(report, "fstat(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    }
    if (st.st_size < static_cast<off_t>(sim::kFileSize) &&
        ::ftruncate(fd.get(), static_cast<off_t>(sim::kFileSize)) != 0) {
        DVR_REPORT_TO(report, "ftruncate(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    }
    return map_window<SimulatedWindow>(fd.get(), sim::kFileSize, 0, report);
}

} // namespace fpga_detail
