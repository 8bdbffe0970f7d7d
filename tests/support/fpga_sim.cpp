#include "fpga_sim.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "fpga.h"

namespace dvrtest {

namespace {
constexpr off_t kStatus = 65536;
constexpr off_t kCoaxCount = 131076;
constexpr off_t kCoaxQueue = 131080;

std::string hex2(unsigned v)
{
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

void poke(const std::string &path, off_t at, uint8_t v)
{
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd >= 0) {
        if (::pwrite(fd, &v, 1, at) != 1) {
        }
        ::close(fd);
    }
}
} // namespace

FpgaSim::FpgaSim() : sim_(dir_ / "fpga.sim"), trace_(dir_ / "fpga.trace")
{
    ::setenv("DVRPLAT_FPGA_SIM", sim_.c_str(), 1);
    ::setenv("DVRPLAT_FPGA_TRACE", trace_.c_str(), 1);
    fpga_open();
    clear_trace();
}

FpgaSim::~FpgaSim()
{
    ::unsetenv("DVRPLAT_FPGA_SIM");
    ::unsetenv("DVRPLAT_FPGA_TRACE");
}

std::vector<std::string> FpgaSim::trace() const
{
    std::vector<std::string> lines;
    std::ifstream in(trace_);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void FpgaSim::clear_trace() const
{
    if (::truncate(trace_.c_str(), 0) != 0) {
    }
}

uint8_t FpgaSim::reg(unsigned address, unsigned offset) const
{
    uint8_t v = 0;
    int fd = ::open(sim_.c_str(), O_RDONLY);
    if (fd >= 0) {
        if (::pread(fd, &v, 1, (address & 0xFF) * 256 + (offset & 0xFF)) != 1)
            v = 0;
        ::close(fd);
    }
    return v;
}

void FpgaSim::set_reg(unsigned address, unsigned offset, uint8_t v) const
{
    poke(sim_, (address & 0xFF) * 256 + (offset & 0xFF), v);
}

void FpgaSim::set_status(unsigned address, unsigned offset, uint8_t v) const
{
    poke(sim_, kStatus + (address & 0xFF) * 256 + (offset & 0xFF), v);
}

std::vector<uint8_t> FpgaSim::coax() const
{
    std::vector<uint8_t> out;
    int fd = ::open(sim_.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    uint8_t c[4] = {};
    if (::pread(fd, c, 4, kCoaxCount) == 4) {
        uint32_t n = (uint32_t(c[0]) << 24) | (uint32_t(c[1]) << 16) | (uint32_t(c[2]) << 8) | c[3];
        out.resize(n);
        if (n && ::pread(fd, out.data(), n, kCoaxQueue) != static_cast<ssize_t>(n))
            out.clear();
    }
    ::close(fd);
    return out;
}

std::vector<std::string> trace_write(unsigned address, unsigned offset, unsigned data)
{
    return {"A " + hex2(address), "O " + hex2(offset), "W " + hex2(data)};
}

std::vector<std::string> trace_read(unsigned address, unsigned offset, unsigned value)
{
    return {"A " + hex2(address), "O " + hex2(offset), "R " + hex2(value)};
}

} // namespace dvrtest
