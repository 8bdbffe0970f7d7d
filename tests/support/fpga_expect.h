// Expected port-access traces for FPGA tests, written as the sequences the
// register operations are meant to produce.
#ifndef DVRPLAT_TEST_FPGA_EXPECT_H
#define DVRPLAT_TEST_FPGA_EXPECT_H

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace dvrtest {

class Trace {
public:
    Trace &A(unsigned v) { return line('A', v); }
    Trace &O(unsigned v) { return line('O', v); }
    Trace &W(unsigned v) { return line('W', v); }
    Trace &R(unsigned v) { return line('R', v); }
    Trace &S(unsigned v) { return line('S', v); }
    // Offset latch then data write.
    Trace &OW(unsigned offset, unsigned v) { return O(offset).W(v); }
    Trace &add(const Trace &t)
    {
        lines_.insert(lines_.end(), t.lines_.begin(), t.lines_.end());
        return *this;
    }
    const std::vector<std::string> &lines() const { return lines_; }
    operator const std::vector<std::string> &() const { return lines_; }

private:
    Trace &line(char kind, unsigned v)
    {
        char b[8];
        std::snprintf(b, sizeof b, "%c %02X", kind, v & 0xFF);
        lines_.push_back(b);
        return *this;
    }
    std::vector<std::string> lines_;
};

// fpga_allpath_off of output mon.
inline Trace allpath_off_trace(unsigned mon)
{
    Trace t;
    t.A(0x01);
    for (unsigned i = 0; i < 16; ++i)
        t.OW(mon * 64 + i, 0);
    t.OW(mon * 64 + 0x30, 0).OW(mon * 64 + 0x31, 0);
    return t;
}

} // namespace dvrtest

#endif
