// A DNS response as the resolver hands it to its readers: at most 1023
// received bytes followed by the zero byte its receive buffer guarantees.
#ifndef DVRPLAT_FUZZ_DNS_RESPONSE_H
#define DVRPLAT_FUZZ_DNS_RESPONSE_H

#include <cstddef>
#include <cstdint>
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

#endif
