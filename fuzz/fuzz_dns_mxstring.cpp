// The name text behind a compression pointer, on any response of 0 to 1023
// bytes followed by the zero byte the resolver guarantees. The pointer is
// the response byte chosen by the input's first byte.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DNS.h"
#include "fuzz_dns_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> response = fuzz_dns_response(data, size);
    const uint8_t *pointer = response.data() + (size ? data[0] % size : 0);
    std::vector<char> text(256, 'Z');
    int n = DNS_GetMXString(response.data(), int(size), nullptr, pointer, text.data(), int(text.size()));
    if (n >= int(text.size()) || (n >= 0 && std::strlen(text.data()) != size_t(n)) ||
        (n < 0 && text[0] != '\0'))
        __builtin_trap();
    if (n > 0 && text[size_t(n) - 1] != ',')
        __builtin_trap();
    return 0;
}
