// Bounded copies into fixed buffers, text fields and whole lines.
#include <cstdio>
#include <cstring>

#include "text.h"

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

bool copy_bounded(char *dst, size_t n, std::string_view src) noexcept
{
    if (!dst || src.size() + 1 > n)
        return false;
    std::memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
    return true;
}

void copy_cut(char *dst, size_t n, std::string_view src) noexcept
{
    if (!dst || n == 0)
        return;
    size_t k = src.size() < n - 1 ? src.size() : n - 1;
    std::memcpy(dst, src.data(), k);
    dst[k] = '\0';
}

bool read_line(FILE *f, char *buf, size_t size, bool &skipped)
{
    skipped = false;
    if (!std::fgets(buf, static_cast<int>(size), f))
        return false;
    size_t len = std::strlen(buf);
    if (len + 1 == size && buf[len - 1] != '\n' && !std::feof(f)) {
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
        skipped = true;
    }
    return true;
}

} // namespace dvr
