// Fixtures the test machines provide: servers the tests start (rpcbind,
// dnsmasq), network and UTS namespaces, installed tools and the parts of a
// build that depend on them.
//
// When one does not come up, the case reports it with
//
//     DVRTEST_FIXTURE_MISSING() << "why";
//
// which skips the case with that reason by default, and fails it when
// DVRPLAT_REQUIRE_FIXTURES is set to anything but "0" (the test command sets
// it): on a test machine a fixture that does not start is a broken machine,
// not a case that does not apply. What a machine truly cannot have (no
// root, a build or an emulator without the feature) stays a GTEST_SKIP.
#ifndef DVRPLAT_TEST_FIXTURES_H
#define DVRPLAT_TEST_FIXTURES_H

#include <gtest/gtest.h>

#include "kernel_guest.h"

namespace dvrtest {

// Whether a missing fixture fails (DVRPLAT_REQUIRE_FIXTURES set) or skips.
// In the kernel stage's board guest the fixtures (servers, tools) are
// programs of the build machine's, which do not run there, or need what
// the board's kernel leaves out (network namespaces): skipped.
bool fixtures_required();

inline ::testing::TestPartResult::Type fixture_missing_result()
{
    return fixtures_required() && !in_board_guest() ? ::testing::TestPartResult::kFatalFailure
                                                    : ::testing::TestPartResult::kSkip;
}

inline const char *fixture_missing_heading()
{
    if (in_board_guest())
        return "The board's guest lacks this fixture (it runs no program of the build machine's, x86-64, and its "
               "kernel has what the board needs, no network namespaces):";
    return fixtures_required() ? "A fixture the test machines provide is missing (DVRPLAT_REQUIRE_FIXTURES is set):"
                               : "A fixture is missing (with DVRPLAT_REQUIRE_FIXTURES=1 this fails):";
}

} // namespace dvrtest

// Returns from the current (void) function like GTEST_SKIP() or FAIL();
// stream the reason into it.
#define DVRTEST_FIXTURE_MISSING() \
    return GTEST_MESSAGE_(::dvrtest::fixture_missing_heading(), ::dvrtest::fixture_missing_result())

#endif
