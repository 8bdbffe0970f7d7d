// The board simulator's register window: a file (DVRPLAT_FPGA_SIM) that
// holds the register file, the status inputs, the two latches and the
// queue of coax bytes (layout in sim_file.h). A program runs on it
// without the board.
//
// The file is mapped (the mapping is published as Ce_Cpld), but the
// window's own accesses read and write the file through its descriptor:
// anyone may cut the file short while a program runs (`: > board.sim`),
// and touching a mapped page past the file's end raises SIGBUS, where a
// read past the end only comes back short. Each access first checks the
// file's size; on a file cut short the access fails (reads give 0, writes
// are dropped, the locked read gives -1) with a report when it is first
// seen, until the file is whole again (the next fpga_open extends it).
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim_file.h"
#include "window.h"
#include "report.h"
#include "wire.h"

namespace dvr::fpga {

namespace {

class SimulatedWindow final : public Window {
public:
    explicit SimulatedWindow(volatile uint8_t *base) noexcept : b_(base) {}

    // The file the window maps, checked before each access.
    void watch(sim::File file, std::string path)
    {
        file_ = std::move(file);
        path_ = std::move(path);
    }

    void write(Port p, uint8_t v) override
    {
        if (!whole())
            return;
        switch (p) {
        case Port::Address: put(sim::kLatchAddress, v); break;
        case Port::Offset: put(sim::kLatchOffset, v); break;
        case Port::Data:
            if (get(sim::kLatchAddress) == reg::kCoax)
                queue_coax(v);
            else
                store(v);
            break;
        case Port::Status: break; // read-only port
        }
    }

    uint8_t read(Port p) override
    {
        if (!whole())
            return 0;
        size_t r = sim::reg_index(get(sim::kLatchAddress), get(sim::kLatchOffset));
        if (p == Port::Status)
            return get(sim::kStatus + r);
        if (p == Port::Data)
            return get(sim::kRegisters + r);
        return 0; // latches are write-only
    }

    volatile uint8_t *base() const noexcept override { return b_; }

private:
    // True when the file is a whole board file. Otherwise the
    // access fails: the calling thread's access is marked failed, with a
    // report the first time the file is seen cut short.
    bool whole()
    {
        const off_t size = file_.size();
        if (size >= static_cast<off_t>(sim::kFileSize)) {
            cut_.store(false, std::memory_order_relaxed);
            return true;
        }
        note_access_failure();
        if (!cut_.exchange(true, std::memory_order_relaxed))
            FPGA_REPORT("simulator file %s is cut short (%lld bytes, a board file has %zu): register accesses fail "
                        "until it is whole again\n",
                        path_.c_str(), static_cast<long long>(size < 0 ? 0 : size),
                        sim::kFileSize);
        return false;
    }

    // One byte of the file; 0, the access marked failed, when it lies
    // past the file's end (cut short since the size was checked).
    uint8_t get(size_t at)
    {
        uint8_t v = 0;
        if (!file_.get(at, v)) {
            note_access_failure();
            return 0;
        }
        return v;
    }

    void put(size_t at, uint8_t v)
    {
        if (!file_.put(at, v))
            note_access_failure();
    }

    // A register byte. A glyph byte written to an output's font registers
    // lands in that output's font table as well, under the glyph index the
    // index register holds, and marks the glyph loaded.
    void store(uint8_t v)
    {
        const unsigned address = get(sim::kLatchAddress), offset = get(sim::kLatchOffset);
        put(sim::register_at(address, offset), v);
        if (offset >= sim::kFontGlyphBytes)
            return;
        for (unsigned mon = 0; mon < sim::kFontOutputs; ++mon) {
            if (address != reg::font_data(mon))
                continue;
            const size_t glyph = get(sim::register_at(reg::font_index(mon), 0));
            const size_t table = sim::font_table(mon);
            put(table + sim::kFontData + glyph * sim::kFontGlyphBytes + offset, v);
            put(table + sim::kFontLoaded + glyph, 1);
        }
    }

    // Coax bytes are queued in order behind a big-endian count; bytes past
    // the queue's capacity are dropped.
    void queue_coax(uint8_t v)
    {
        uint8_t cnt[4];
        for (int i = 0; i < 4; ++i)
            cnt[i] = get(sim::kCoaxCount + i);
        uint32_t n = dvr::get_be32(cnt);
        if (n >= sim::kCoaxCapacity)
            return;
        put(sim::kCoaxQueue + n, v);
        dvr::put_be32(cnt, n + 1);
        for (int i = 0; i < 4; ++i)
            put(sim::kCoaxCount + i, cnt[i]);
    }

    volatile uint8_t *b_;
    sim::File file_;
    std::string path_;
    std::atomic<bool> cut_{false};
};

// A simulator file with its window.
struct Opened {
    dev_t dev;
    ino_t ino;
    Window *window;
};

} // namespace

Window *open_simulated_window(const char *path, const dvr::Reporter &report)
{
    // The name the window keeps, copied first: once the file is mapped,
    // nothing may fail and leave the mapping and its descriptor behind.
    std::string name(path);
    sim::File file;
    switch (file.open(path, sim::File::Mode::Create)) {
    case sim::File::Failure::None: break;
    case sim::File::Failure::Open:
        DVR_REPORT_TO(report, "open(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    case sim::File::Failure::Stat:
    case sim::File::Failure::NotRegular:
        DVR_REPORT_TO(report, "fstat(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    case sim::File::Failure::Extend:
        DVR_REPORT_TO(report, "ftruncate(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    }
    // One window per file: a later fpga_open of a file that has a window
    // (the same device and inode, which stays taken while the window holds
    // its descriptor) reuses it, extended above as needed, and gives the
    // new descriptor back; a program that opens again and again holds one
    // descriptor and one mapping, not one each time.
    static std::vector<Opened> opened; // under fpga_open's lock
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) {
        DVR_REPORT_TO(report, "fstat(%s) error : %s\n", path, std::strerror(errno));
        return nullptr;
    }
    for (const Opened &o : opened)
        if (o.dev == st.st_dev && o.ino == st.st_ino)
            return o.window;
    opened.reserve(opened.size() + 1); // before the window: nothing to undo after it
    Window *w = map_window<SimulatedWindow>(file.fd(), sim::kFileSize, 0, report);
    if (w) {
        static_cast<SimulatedWindow *>(w)->watch(std::move(file), std::move(name));
        opened.push_back({st.st_dev, st.st_ino, w});
    }
    return w;
}

} // namespace dvr::fpga
