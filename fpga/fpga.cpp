// FPGA register access: the register window, its latch protocol and lock.
//
// The window is normally the board's physical register range mapped from
// /dev/mem. With DVRPLAT_FPGA_SIM naming a file, the window is a board
// simulator kept in that file instead (see fpga_internal.h for its layout),
// and with DVRPLAT_FPGA_TRACE naming a file every port access is appended
// there as one line.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fpga_internal.h"

volatile unsigned char *Ce_Cpld = static_cast<volatile unsigned char *>(MAP_FAILED);
pthread_mutex_t gFpgaMutex = PTHREAD_MUTEX_INITIALIZER;

namespace fpga_detail {

namespace {

// One mapped window. Windows are never freed: a register operation on
// another thread may still hold the previous one while fpga_open maps anew.
struct Window {
    volatile uint8_t *base;
    bool simulated;
    int trace_fd; // -1 when not tracing
};

std::atomic<const Window *> gWindow{nullptr};

void trace(const Window *w, char kind, unsigned value)
{
    if (w->trace_fd < 0)
        return;
    static constexpr char hex[] = "0123456789ABCDEF";
    char line[5] = {kind, ' ', hex[(value >> 4) & 0xF], hex[value & 0xF], '\n'};
    // O_APPEND: each line lands whole, even between processes.
    ssize_t rc;
    do {
        rc = ::write(w->trace_fd, line, sizeof line);
    } while (rc < 0 && errno == EINTR);
}

char kind_of_write(Port p) noexcept
{
    switch (p) {
    case Port::Address: return 'A';
    case Port::Offset: return 'O';
    default: return 'W';
    }
}

// A glyph byte written to an output's font registers lands in that
// output's font table as well, under the glyph index the index register
// holds, and marks the glyph loaded.
void sim_font_byte(volatile uint8_t *b, uint8_t v) noexcept
{
    const unsigned address = b[sim::kLatchAddress], offset = b[sim::kLatchOffset];
    if (offset >= sim::kFontGlyphBytes)
        return;
    for (unsigned mon = 0; mon < sim::kFontOutputs; ++mon) {
        if (address != sim::font_data_address(mon))
            continue;
        const size_t glyph = b[sim::kRegisters + sim::reg(sim::font_index_address(mon), 0)];
        const size_t table = sim::font_table(mon);
        b[table + sim::kFontData + glyph * sim::kFontGlyphBytes + offset] = v;
        b[table + sim::kFontLoaded + glyph] = 1;
    }
}

void sim_write(volatile uint8_t *b, Port p, uint8_t v) noexcept
{
    switch (p) {
    case Port::Address: b[sim::kLatchAddress] = v; break;
    case Port::Offset: b[sim::kLatchOffset] = v; break;
    case Port::Data:
        if (b[sim::kLatchAddress] == sim::kCoaxAddress) {
            uint8_t cnt[4];
            for (int i = 0; i < 4; ++i)
                cnt[i] = b[sim::kCoaxCount + i];
            uint32_t n = dvr::get_be32(cnt);
            if (n < sim::kCoaxCapacity) {
                b[sim::kCoaxQueue + n] = v;
                dvr::put_be32(cnt, n + 1);
                for (int i = 0; i < 4; ++i)
                    b[sim::kCoaxCount + i] = cnt[i];
            }
        } else {
            b[sim::reg(b[sim::kLatchAddress], b[sim::kLatchOffset])] = v;
            sim_font_byte(b, v);
        }
        break;
    case Port::Status: break; // read-only port
    }
}

uint8_t sim_read(volatile uint8_t *b, Port p) noexcept
{
    size_t r = sim::reg(b[sim::kLatchAddress], b[sim::kLatchOffset]);
    if (p == Port::Status)
        return b[sim::kStatus + r];
    if (p == Port::Data)
        return b[sim::kRegisters + r];
    return 0; // latches are write-only
}

// Serialises fpga_open itself; register operations never take it.
std::mutex gOpenMutex;

// The trace file stays open for the process; reopening the same file on a
// later fpga_open reuses the descriptor.
int open_trace()
{
    static std::string open_path;
    static int open_fd = -1;
    const char *path = ::secure_getenv("DVRPLAT_FPGA_TRACE");
    if (!path || !*path)
        return -1;
    if (open_fd >= 0 && open_path == path)
        return open_fd;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        FPGA_REPORT_AS("fpga_open", "open(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    open_fd = fd; // an earlier trace file stays open: an older window may still use it
    open_path = path;
    return fd;
}

// Maps the simulator file, creating or extending it as needed.
void *map_simulator(const char *path)
{
    dvr::UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        FPGA_REPORT_AS("fpga_open", "open(%s) error : %s\n", path, std::strerror(errno));
        return MAP_FAILED;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        FPGA_REPORT_AS("fpga_open", "fstat(%s) error : %s\n", path, std::strerror(errno));
        return MAP_FAILED;
    }
    if (st.st_size < static_cast<off_t>(sim::kFileSize) &&
        ::ftruncate(fd.get(), static_cast<off_t>(sim::kFileSize)) != 0) {
        FPGA_REPORT_AS("fpga_open", "ftruncate(%s) error : %s\n", path, std::strerror(errno));
        return MAP_FAILED;
    }
    void *p = ::mmap(nullptr, sim::kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        FPGA_REPORT_AS("fpga_open", "mmap(%d, %d) failed : %s\n", static_cast<int>(sim::kFileSize), 0, std::strerror(errno));
    return p;
}

} // namespace

bool mapped() noexcept { return gWindow.load(std::memory_order_acquire) != nullptr; }

void port_write(Port p, unsigned value)
{
    const Window *w = gWindow.load(std::memory_order_acquire);
    if (!w)
        return;
    uint8_t v = static_cast<uint8_t>(value);
    if (w->simulated)
        sim_write(w->base, p, v);
    else
        w->base[static_cast<uint32_t>(p)] = v;
    trace(w, kind_of_write(p), v);
}

uint8_t port_read(Port p)
{
    const Window *w = gWindow.load(std::memory_order_acquire);
    if (!w)
        return 0;
    uint8_t v = w->simulated ? sim_read(w->base, p) : w->base[static_cast<uint32_t>(p)];
    trace(w, p == Port::Status ? 'S' : 'R', v);
    return v;
}

void unlock_cleanup(void *mutex) noexcept
{
    pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

} // namespace fpga_detail

using namespace fpga_detail;

extern "C" int fpga_open(void)
try {
    std::lock_guard<std::mutex> guard(gOpenMutex);
    // The new window is mapped first and put in place under gFpgaMutex, so
    // that a thread in the middle of a latched sequence finishes it on one
    // window, never on a half-replaced one. A failed call leaves the
    // layer unmapped.
    auto install = [](Window *w) {
        locked([&] {
            gWindow.store(w, std::memory_order_release);
            Ce_Cpld = w ? w->base
                        : static_cast<volatile unsigned char *>(MAP_FAILED);
        });
    };

    const char *simfile = ::secure_getenv("DVRPLAT_FPGA_SIM");
    bool simulated = simfile && *simfile;
    void *base;
    if (simulated) {
        base = map_simulator(simfile);
        if (base == MAP_FAILED) {
            install(nullptr);
            return -1;
        }
    } else {
        std::string mem = dvr::board_path("/dev/mem");
        int fd = ::open(mem.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
        if (fd < 0) {
            FPGA_REPORT("open(/dev/mem) error : %s\n", std::strerror(errno));
            install(nullptr);
            return -1;
        }
        base = ::mmap(nullptr, kWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                      static_cast<off_t>(kWindowPhys));
        if (base == MAP_FAILED) {
            FPGA_REPORT("mmap(%d, %d) failed : %s\n", static_cast<int>(kWindowSize),
                        static_cast<int>(kWindowPhys), std::strerror(errno));
        }
        COM_CloseFd(&fd);
        if (base == MAP_FAILED) {
            install(nullptr);
            return -1;
        }
    }

    // The window stays mapped for the life of the process; a later call
    // maps afresh and replaces it.
    auto *w = new (std::nothrow) Window{static_cast<volatile uint8_t *>(base), simulated, open_trace()};
    if (!w) {
        FPGA_REPORT("out of memory\n");
        install(nullptr);
        return -1;
    }
    install(w);
    return 0;
} DVR_C_BOUNDARY("fpga", -1)

extern "C" int fpga_read(int address, int offset)
try {
    return locked([&] {
        latch(address, offset);
        return static_cast<int>(data_read());
    });
} DVR_C_BOUNDARY("fpga", -1)

extern "C" void fpga_write(int address, int offset, int data)
try {
    locked([&] {
        latch(address, offset);
        data_write(data);
    });
} DVR_C_BOUNDARY("fpga")

extern "C" unsigned char fpga_read_wo_lock(int address, int offset)
try {
    latch(address, offset);
    return data_read();
} DVR_C_BOUNDARY("fpga", 0)

extern "C" void fpga_write_wo_lock(int address, int offset, int data)
try {
    latch(address, offset);
    data_write(data);
} DVR_C_BOUNDARY("fpga")

extern "C" int fpga_subread_cpld(int offset) { return fpga_read(0x00, offset); }
extern "C" int fpga_read_pcbinfo(void) { return fpga_subread_cpld(0x00); }
extern "C" int fpga_read_brdid(void) { return fpga_subread_cpld(0x01); }
extern "C" int fpga_read_cpldver(void) { return fpga_subread_cpld(0x02); }
extern "C" int fpga_read_cpldver2(void) { return fpga_subread_cpld(0x02); }
extern "C" int fpga_read_topfpgaver(void) { return fpga_subread_cpld(0x03); }
extern "C" int fpga_read_botfpgaver(void) { return fpga_subread_cpld(0x04); }
extern "C" int fpga_read_brdver(void) { return fpga_subread_cpld(0x10); }
