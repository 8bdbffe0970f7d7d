// Coaxial camera control: messages queued at address 0x60.
#include <gtest/gtest.h>

#include <vector>

#include "fpga.h"
#include "fpga_expect.h"
#include "fpga_sim.h"

using dvrtest::FpgaSim;
using dvrtest::Trace;
using Bytes = std::vector<uint8_t>;

TEST(FpgaCoax, MessagesQueued)
{
    struct {
        const char *name;
        void (*op)();
        Bytes queued;
    } cases[] = {
        {"Pelco-D to camera 3", [] { fpga_coaxctl_pelcod(3, 0x00, 0x02, 0x20, 0x00); }, {0x13, 0x00, 0x02, 0x20, 0x00}},
        {"Pelco-D to camera 0", [] { fpga_coaxctl_pelcod(0, 0xFF, 0x80, 0x01, 0x3F); }, {0x10, 0xFF, 0x80, 0x01, 0x3F}},
        {"RQTL to camera 15", [] { fpga_coaxctl_rqtl(15, 1, 2, 3, 4, 5, 6, 7, 0xFF); },
         {0x3F, 1, 2, 3, 4, 5, 6, 7, 0xFF}},
        {"off", [] { fpga_coaxctl_disable(); }, {0x00}},
        // Only the low 8 bits of the header reach the queue.
        {"header cut to 8 bits", [] { fpga_coaxctl_pelcod(0x105, 9, 8, 7, 6); }, {0x15, 9, 8, 7, 6}},
    };
    FpgaSim sim;
    Bytes all;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_trace();
        c.op();
        Trace t;
        t.A(0x60);
        for (uint8_t b : c.queued)
            t.W(b);
        EXPECT_EQ(sim.trace(), t.lines());
        all.insert(all.end(), c.queued.begin(), c.queued.end());
        EXPECT_EQ(sim.coax(), all);
    }
    for (unsigned o = 0; o < 256; ++o)
        ASSERT_EQ(sim.reg(0x60, o), 0) << "register file untouched at offset " << o;
}
