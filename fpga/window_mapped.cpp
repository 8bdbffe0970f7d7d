// The real register window: the board's physical range mapped from
// "/dev/mem".
#include <string>

#include <fcntl.h>

#include "window.h"
#include "board_root.h"
#include "owners.h"
#include "report.h"

namespace dvr::fpga {

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
    return map_window<MappedWindow>(fd.get(), kWindowSize, static_cast<off_t>(kWindowPhys), report);
}

} // namespace dvr::fpga
