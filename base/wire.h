// Big-endian (wire order) fields. Network and SCSI bytes are only ever
// read and written through these, whatever the host's byte order. C++
// only, never installed.
#ifndef DVRPLAT_BASE_WIRE_H
#define DVRPLAT_BASE_WIRE_H

#include <cstdint>

namespace dvr {

constexpr void put_be16(uint8_t *p, uint16_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void put_be32(uint8_t *p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
constexpr uint16_t get_be16(const uint8_t *p) noexcept
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
constexpr uint32_t get_be24(const uint8_t *p) noexcept
{
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[2]);
}
constexpr uint32_t get_be32(const uint8_t *p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace dvr

#endif
