#include "fpga_sim.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "fpga.h"
#include "sim_file.h"

namespace dvrtest {

namespace {
std::string hex2(unsigned v)
{
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// One byte into the file as it is (a file cut short stays short).
void poke(const std::string &path, size_t at, uint8_t v)
{
    dvr::sim::File file;
    if (file.open(path.c_str(), dvr::sim::File::Mode::Patch) == dvr::sim::File::Failure::None)
        file.put(at, v);
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
    dvr::sim::File file;
    if (file.open(sim_.c_str(), dvr::sim::File::Mode::Read) != dvr::sim::File::Failure::None ||
        !file.get(dvr::sim::register_at(address, offset), v))
        v = 0;
    return v;
}

void FpgaSim::set_reg(unsigned address, unsigned offset, uint8_t v) const
{
    poke(sim_, dvr::sim::register_at(address, offset), v);
}

void FpgaSim::set_status(unsigned address, unsigned offset, uint8_t v) const
{
    poke(sim_, dvr::sim::status_at(address, offset), v);
}

std::vector<uint8_t> FpgaSim::coax() const
{
    std::vector<uint8_t> out;
    dvr::sim::File file;
    if (file.open(sim_.c_str(), dvr::sim::File::Mode::Read) != dvr::sim::File::Failure::None)
        return out;
    uint8_t c[4] = {};
    if (!file.get(dvr::sim::kCoaxCount, c, sizeof c))
        return out;
    const uint32_t n = (uint32_t(c[0]) << 24) | (uint32_t(c[1]) << 16) | (uint32_t(c[2]) << 8) | c[3];
    out.resize(n);
    if (n && !file.get(dvr::sim::kCoaxQueue, out.data(), n))
        out.clear();
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
