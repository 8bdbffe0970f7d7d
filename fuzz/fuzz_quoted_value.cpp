// The quoted value after a key, for any text, key and output size: the
// output never exceeds its size and holds a terminated text whenever a
// position is returned.
#include <cstdio>

#include "COMMON.h"
#include "fuzz_quiet.h"
#include "fuzz_text_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzTextCase c;
    if (size > 65536 || !split_fuzz_case(data, size, c))
        return 0;
    char *r = COM_GetStrInDoubleQuotes(c.text.get(), c.key.get(), c.out.get(), c.size);
    check_text_value(c, r);
    return 0;
}
