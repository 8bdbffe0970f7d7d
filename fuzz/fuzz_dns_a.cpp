// The A answer reader on any response of 0 to 1023 bytes, followed by the
// zero byte the resolver's receive buffer guarantees and nothing else;
// every address it gives must be the data of an A record of the input.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DNS.h"
#include "fuzz_dns_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> response = fuzz_dns_response(data, size);
    std::vector<DNS_ADDR_REC> rec(DNS_ADDR_REC_MAX);
    std::memset(rec.data(), 0x5A, rec.size() * sizeof rec[0]);

    int rc = DNS_ParserAPacket(response.data(), int(size), rec.data());
    if (rc == 0) {
        if (rec[0].flag != 1 || rec[0].type != DNS_TYPE_A || rec[0].ip == 0)
            __builtin_trap();
        // Every address taken is the data of an A record of the input.
        for (const DNS_ADDR_REC &r : rec)
            if (r.flag == 1 && !fuzz_is_a_record_data(data, size, &r.ip))
                __builtin_trap();
    } else {
        for (const DNS_ADDR_REC &r : rec)
            if (r.flag != 0x5A) // a failed read leaves the array alone
                __builtin_trap();
    }
    return 0;
}
