// MX response acceptance and the exchanger reader on any response of 0 to
// 1023 bytes, followed by the zero byte the resolver guarantees.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DNS.h"
#include "fuzz_dns_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> response = fuzz_dns_response(data, size);
    if (DNS_ParserMXPacket(response.data(), int(size), 29) != 0)
        return 0;
    std::vector<DNS_ADDR_REC> rec(DNS_ADDR_REC_MAX);
    if (DNS_ParserMX(response.data(), int(size), 0, rec.data()) == 0) {
        // Best preference first.
        if (rec[0].flag != 1 || rec[0].type != DNS_TYPE_MX)
            __builtin_trap();
        for (size_t i = 1; i < rec.size() && rec[i].flag; ++i)
            if (rec[i].type != DNS_TYPE_MX || rec[i].prefix < rec[i - 1].prefix)
                __builtin_trap();
    }
    return 0;
}
