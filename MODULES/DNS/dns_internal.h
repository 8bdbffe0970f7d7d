// Things the DNS resolver's files share: the message constants and the
// checked reader through which every byte of a response is read.
#ifndef DVRPLAT_DNS_INTERNAL_H
#define DVRPLAT_DNS_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "DNS.h"
#include "wire.h"

namespace dvr::dns {

// The ID of the header template DNS_CreateOutPacket writes. The exchange
// replaces it with a random ID per query; a reply must echo that one.
inline constexpr uint16_t kQueryId = 0xA9FA;
// Flags of a query: standard query, recursion desired.
inline constexpr uint16_t kQueryFlags = 0x0100;
// Flags of an answer whose response code is 3 (the name does not exist).
inline constexpr uint16_t kNameErrorFlags = 0x8183;
inline constexpr uint16_t kClassIn = 1;
inline constexpr size_t kHeaderLen = 12;
// Query and receive buffers. At most kRecvMax bytes are received, so the
// received data is always followed by at least one zero byte.
inline constexpr size_t kPacketBufLen = 1024;
inline constexpr size_t kRecvMax = kPacketBufLen - 1;
inline constexpr uint16_t kDnsPort = 53;

// Header field positions.
inline constexpr size_t kOffId = 0;
inline constexpr size_t kOffFlags = 2;
inline constexpr size_t kOffQdCount = 4;
inline constexpr size_t kOffAnCount = 6;
inline constexpr size_t kOffNsCount = 8;
inline constexpr size_t kOffArCount = 10;

// Untrusted response bytes. Every read names a position and is refused
// (empty result) when it would reach past the received length, so no
// reader can step outside the data whatever the bytes say.
class Reader {
public:
    Reader(const uint8_t *data, int len) noexcept
        : data_(data), len_(data && len > 0 ? static_cast<size_t>(len) : 0) {}

    size_t size() const noexcept { return len_; }
    bool has(size_t pos, size_t n) const noexcept { return pos <= len_ && n <= len_ - pos; }

    std::optional<uint8_t> u8(size_t pos) const noexcept
    {
        if (!has(pos, 1))
            return std::nullopt;
        return data_[pos];
    }
    std::optional<uint16_t> be16(size_t pos) const noexcept
    {
        if (!has(pos, 2))
            return std::nullopt;
        return dvr::get_be16(data_ + pos);
    }
    // n bytes at pos, only when all of them were received.
    const uint8_t *bytes(size_t pos, size_t n) const noexcept
    {
        return has(pos, n) ? data_ + pos : nullptr;
    }

private:
    const uint8_t *data_;
    size_t len_;
};

} // namespace dvr::dns

#endif
