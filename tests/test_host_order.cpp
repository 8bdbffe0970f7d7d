// Deliberately host-dependent checks: they hold on a 64-bit little-endian
// build machine only, and show that the cross build runs as the board does
// (32-bit long and pointers, big-endian byte order).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "dvr_internal.h"

TEST(HostOrder, LongAndPointersAreEightBytes)
{
    EXPECT_EQ(sizeof(long), 8u);
    EXPECT_EQ(sizeof(void *), 8u);
}

TEST(HostOrder, WireFieldReadThroughAHostOrderCast)
{
    // A DNS message ID as it arrives: a9 fa.
    const unsigned char wire[2] = {0xa9, 0xfa};
    uint16_t host_cast;
    std::memcpy(&host_cast, wire, sizeof host_cast); // host order, no conversion
    EXPECT_EQ(host_cast, 0xfaa9) << "host-order read of a wire field";
    EXPECT_EQ(dvr::get_be16(wire), 0xa9fa) << "wire-order read (holds everywhere)";
}
