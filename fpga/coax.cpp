// Coaxial camera control: Pelco-D and RQTL messages handed to the FPGA's
// transmitter queue at address 0x60. The queue takes one byte per data-port
// write; the offset latch is not used. Bytes pass through unchanged.
#include <initializer_list>

#include "fpga_internal.h"
#include "boundary.h"

using namespace dvr::fpga;

namespace {

constexpr unsigned kCoaxAddress = reg::kCoax;

// Header then message bytes, as one locked sequence so that a message is
// never interleaved with another thread's register traffic.
void queue_message(unsigned header, std::initializer_list<unsigned char> bytes)
{
    locked([&] {
        port_write(Port::Address, kCoaxAddress);
        data_write(header);
        for (unsigned char b : bytes)
            data_write(b);
    });
}

} // namespace

extern "C" {

void fpga_coaxctl_pelcod(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4)
try {
    queue_message(static_cast<unsigned>(channel) | 0x10u, {b1, b2, b3, b4});
} DVR_C_BOUNDARY("fpga")

void fpga_coaxctl_rqtl(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4,
                       unsigned char b5, unsigned char b6, unsigned char b7, unsigned char b8)
try {
    queue_message(static_cast<unsigned>(channel) | 0x30u, {b1, b2, b3, b4, b5, b6, b7, b8});
} DVR_C_BOUNDARY("fpga")

void fpga_coaxctl_disable(void) { queue_message(0, {}); }

} // extern "C"
