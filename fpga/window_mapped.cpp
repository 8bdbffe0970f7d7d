// The real register window: the board's physical range mapped from
// "/dev/mem".
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>

#include "window.h"

namespace fpga_detail {

namespace {

class MappedWindow final : public Window {
public:
    explicit MappedWindow(volatile uint8_t *base) noexcept : base_(base) {}
    void write(Port p, uint8_t v) override { base_[static_cast<uint32_t>(p)] = v; }
    uint8_t read(Port p) override { return base_[static_cast<uint32_t>(p)]; }
    volatile uint8_t *base() const noexcept override { return base_; }

private:
    volatile uint8_t *base_;
};

} // namespace

Window *open_mapped_window(const dvr::Reporter &report)
{
    std::string mem = dvr::board_path("/dev/mem");
    dvr::UniqueFd fd(::open(mem.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
    if (!fd) {
        DVR_REPORT_TO(report, "open(/dev/mem) error : %s\n", std::strerror(errno));
        return nullptr;
    }
    dvr::Mapping map(::mmap(nullptr, kWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(),
                            static_cast<off_t>(kWindowPhys)),
                     kWindowSize);
    if (!map.valid()) {
        DVR_REPORT_TO(report, "mmap(%d, %d) failed : %s\n", static_cast<int>(kWindowSize),
                       static_cast<int>(kWindowPhys), std::strerror(errno));
        return nullptr;
    }
    auto *w = new (std::nothrow) MappedWindow(static_cast<volatile uint8_t *>(map.get()));
    if (!w) {
        DVR_REPORT_TO(report, "out of memory\n");
        return nullptr;
    }
    map.release(); // mapped for the life of the process, with the window
    return w;
}

} // namespace fpga_detail
