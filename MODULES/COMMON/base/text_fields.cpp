// Text fields and hexadecimal text.
#include "dvr_internal.h"

namespace dvr {

std::string_view next_field(std::string_view &s, std::string_view seps) noexcept
{
    size_t b = s.find_first_not_of(seps);
    if (b == std::string_view::npos) {
        s = {};
        return {};
    }
    s.remove_prefix(b);
    size_t e = s.find_first_of(seps);
    std::string_view field = s.substr(0, e);
    s = e == std::string_view::npos ? std::string_view{} : s.substr(e);
    return field;
}

void append_hex(std::string &out, const uint8_t *bytes, size_t n)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
}

} // namespace dvr
