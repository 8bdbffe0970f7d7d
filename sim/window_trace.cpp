// The port tracer: with DVRPLAT_FPGA_TRACE naming a file, every port access
// is appended there as one line, the access's kind ('A' address latch,
// 'O' offset latch, 'W' data write, 'R' data read, 'S' status read), a
// space and the byte in two hexadecimal digits.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "window.h"
#include "hex.h"
#include "report.h"

namespace dvr::fpga {

namespace {

class TracedWindow final : public Window {
public:
    TracedWindow(Window *inner, int fd) noexcept : inner_(inner), fd_(fd) {}

    void write(Port p, uint8_t v) override
    {
        inner_->write(p, v);
        trace(kind_of_write(p), v);
    }

    uint8_t read(Port p) override
    {
        uint8_t v = inner_->read(p);
        trace(p == Port::Status ? 'S' : 'R', v);
        return v;
    }

    volatile uint8_t *base() const noexcept override { return inner_->base(); }

private:
    static char kind_of_write(Port p) noexcept
    {
        switch (p) {
        case Port::Address: return 'A';
        case Port::Offset: return 'O';
        default: return 'W';
        }
    }

    void trace(char kind, unsigned value) const
    {
        char line[5] = {kind, ' ', dvr::hex_digit(value >> 4, dvr::HexCase::Upper),
                        dvr::hex_digit(value, dvr::HexCase::Upper), '\n'};
        // O_APPEND: each line lands whole, even between processes.
        ssize_t rc;
        do {
            rc = ::write(fd_, line, sizeof line);
        } while (rc < 0 && errno == EINTR);
    }

    Window *inner_;
    int fd_;
};

// The trace file stays open for the process; reopening the same file on a
// later fpga_open reuses the descriptor. Called under fpga_open's lock.
int open_trace(const char *path, const dvr::Reporter &report)
{
    static std::string open_path;
    static int open_fd = -1;
    if (open_fd >= 0 && open_path == path)
        return open_fd;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        DVR_REPORT_TO(report, "open(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    open_fd = fd; // an earlier trace file stays open: an older window may still use it
    open_path = path;
    return fd;
}

} // namespace

Window *traced(Window *w, const dvr::Reporter &report)
{
    const char *path = ::secure_getenv("DVRPLAT_FPGA_TRACE");
    if (!path || !*path)
        return w;
    int fd = open_trace(path, report);
    if (fd < 0)
        return w;
    auto *t = new (std::nothrow) TracedWindow(w, fd);
    if (!t) {
        DVR_REPORT_TO(report, "out of memory\n");
        return nullptr;
    }
    return t;
}

} // namespace dvr::fpga
