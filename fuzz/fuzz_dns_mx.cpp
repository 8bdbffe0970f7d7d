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
        if (rec[0].flag != 1 || rec[0].type != DNS_TYPE_MX)
            __builtin_trap();
        // Best preference first: where the exchange name's offset is
        // known, the 16-bit preference just before it never falls; the
        // entry holds its low byte. Every address is an A record's data.
        long last = -1;
        for (size_t i = 0; i < rec.size() && rec[i].flag; ++i) {
            const DNS_ADDR_REC &r = rec[i];
            if (r.flag != 1 || r.type != DNS_TYPE_MX || !fuzz_is_a_record_data(data, size, &r.ip))
                __builtin_trap();
            if (r.offset >= 2 && r.offset < size) {
                long pref = long(data[r.offset - 2]) << 8 | data[r.offset - 1];
                if (pref < last || (pref & 0xFF) != r.prefix)
                    __builtin_trap();
                last = pref;
            }
        }
    }
    return 0;
}
