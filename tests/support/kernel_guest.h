// Where a test program runs in the test command's kernel stage. The
// guests' init (scripts/kernel/guest-init.cpp) names the guest in
// DVRPLAT_GUEST: "x86" or "ppc". The board's guest ("ppc": its kernel and
// the test programs are PowerPC, its root file system is the build
// machine's, x86-64) runs no program of the build machine's: no shell, no
// mount, mkfs or losetup, no sg3_utils, no servers (dnsmasq, Apache,
// nginx, rpcbind). A case that needs one says so first:
//
//     DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
//
// and is skipped there with that reason.
#ifndef DVRPLAT_TEST_KERNEL_GUEST_H
#define DVRPLAT_TEST_KERNEL_GUEST_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace dvrtest {

inline bool in_board_guest()
{
    const char *guest = std::getenv("DVRPLAT_GUEST");
    return guest && std::strcmp(guest, "ppc") == 0;
}

// The interfaces the guest's init brought up, "eth0 eth0.5" (a dummy
// interface with an 802.1Q device on it; see the init): empty outside the
// guests or where the init could not make them.
inline std::string guest_network()
{
    const char *net = std::getenv("DVRPLAT_GUEST_NET");
    return net ? net : "";
}

} // namespace dvrtest

// Returns from the current (void) function like GTEST_SKIP() in the board's
// guest; stream more of the reason into it.
#define DVRTEST_SKIP_IN_BOARD_GUEST(what)                                                                    \
    if (!::dvrtest::in_board_guest())                                                                        \
        ;                                                                                                    \
    else                                                                                                     \
        GTEST_SKIP() << "the board's guest runs no program of the build machine's (x86-64), this case needs " \
                     << (what)

#endif
