// A DNS response as the resolver hands it to its readers: at most 1023
// received bytes followed by the zero byte its receive buffer guarantees.
#ifndef DVRPLAT_FUZZ_DNS_RESPONSE_H
#define DVRPLAT_FUZZ_DNS_RESPONSE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_quiet.h"

constexpr size_t kFuzzDnsMaxResponse = 1023;

// The response bytes (size cut to the limit), with the zero byte after them.
inline std::vector<uint8_t> fuzz_dns_response(const uint8_t *data, size_t &size)
{
    if (size > kFuzzDnsMaxResponse)
        size = kFuzzDnsMaxResponse;
    std::vector<uint8_t> response(data, data + size);
    response.push_back(0);
    return response;
}

// True when ip4 is the data of an A record somewhere in the response: the
// bytes TYPE 00 01, CLASS 00 01, a TTL, RDLENGTH 00 04, then the address.
// Found by a plain search, independent of how the readers walk records.
inline bool fuzz_is_a_record_data(const uint8_t *data, size_t size, const void *ip4)
{
    static constexpr size_t kBefore = 10; // TYPE, CLASS, TTL, RDLENGTH
    for (size_t at = kBefore; at + 4 <= size; ++at) {
        const uint8_t *f = data + at - kBefore;
        if (f[0] == 0 && f[1] == 1 && f[2] == 0 && f[3] == 1 && f[8] == 0 && f[9] == 4 &&
            std::memcmp(data + at, ip4, 4) == 0)
            return true;
    }
    return false;
}

#endif
