// A board simulator file and trace for FPGA tests.
#ifndef DVRPLAT_TEST_FPGA_SIM_H
#define DVRPLAT_TEST_FPGA_SIM_H

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace dvrtest {

class FpgaSim {
public:
    // Creates a fresh simulator and trace, points the environment at them
    // and calls fpga_open.
    FpgaSim();
    ~FpgaSim();

    const std::string &sim_path() const { return sim_; }
    const std::string &trace_path() const { return trace_; }

    // The trace lines ("A 01", "W FF", ...) since the last clear.
    std::vector<std::string> trace() const;
    void clear_trace() const;

    uint8_t reg(unsigned address, unsigned offset) const;
    void set_reg(unsigned address, unsigned offset, uint8_t v) const;
    void set_status(unsigned address, unsigned offset, uint8_t v) const;
    std::vector<uint8_t> coax() const;

private:
    TempDir dir_;
    std::string sim_, trace_;
};

// Trace lines for a locked read or write of one register.
std::vector<std::string> trace_write(unsigned address, unsigned offset, unsigned data);
std::vector<std::string> trace_read(unsigned address, unsigned offset, unsigned value);

} // namespace dvrtest

#endif
