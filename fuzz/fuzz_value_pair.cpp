// Number pairs from any bytes, digit runs of any length included: only the
// given length is read, and what is stored is a non-negative int.
#include <cstdint>
#include <cstring>
#include <memory>

#include "COMMON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    // Exactly the bytes given, with no terminating NUL after them.
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    std::memcpy(text.get(), data, size);
    int a = -1, b = -1;
    int n = COM_GetValuePairInStr(text.get(), static_cast<int>(size), &a, &b);
    if (n < 0 || n > 2 || (n >= 1 && a < 0) || (n == 2 && b < 0) || (n < 2 && b != -1) || (n < 1 && a != -1))
        __builtin_trap();
    return 0;
}
