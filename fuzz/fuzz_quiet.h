// Shared start-up of the fuzz targets whose functions report on standard
// output: the reports are expected and are not what is tested, so standard
// output goes to the null device.
#ifndef DVRPLAT_FUZZ_QUIET_H
#define DVRPLAT_FUZZ_QUIET_H

#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

#endif
