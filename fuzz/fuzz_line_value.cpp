// The rest of the line after a key, for any text, key and output size: the
// output never exceeds its size and is terminated whenever a position is
// returned.
#include <cstdio>

#include "COMMON.h"
#include "fuzz_text_values.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzTextCase c;
    if (size > 65536 || !split_fuzz_case(data, size, c))
        return 0;
    char *r = COM_GetStrBeforeNewLine(c.text.get(), c.key.get(), c.out.get(), c.size);
    if (r) {
        if (r < c.text.get() || r > c.text.get() + std::strlen(c.text.get()))
            __builtin_trap();
        if (c.size < 1 || strnlen(c.out.get(), static_cast<size_t>(c.size)) >= static_cast<size_t>(c.size))
            __builtin_trap();
    }
    return 0;
}
