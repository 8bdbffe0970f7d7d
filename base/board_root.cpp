// Board root: fixed paths of the board, optionally under another directory.
#include <cstdlib>
#include <cstring>

#include "board_root.h"

namespace dvr {

std::string_view board_root() noexcept
{
    const char *r = ::secure_getenv("DVRPLAT_ROOT");
    if (!r || !*r)
        return {};
    std::string_view v(r);
    while (v.size() > 1 && v.back() == '/')
        v.remove_suffix(1);
    if (v == "/")
        return {};
    return v;
}

std::string board_path(std::string_view fixed)
{
    std::string_view root = board_root();
    if (root.empty() || fixed.empty() || fixed.front() != '/')
        return std::string(fixed);
    std::string out;
    out.reserve(root.size() + fixed.size());
    out.append(root);
    out.append(fixed);
    return out;
}

bool board_path(const char *fixed, char *out, size_t outlen) noexcept
{
    if (!out || outlen == 0)
        return false;
    out[0] = '\0';
    if (!fixed)
        return false;
    std::string_view root = board_root();
    std::string_view f(fixed);
    if (root.empty() || f.empty() || f.front() != '/')
        root = {};
    if (root.size() + f.size() + 1 > outlen)
        return false;
    // An empty root may have no storage at all: nothing to copy from it.
    if (!root.empty())
        std::memcpy(out, root.data(), root.size());
    std::memcpy(out + root.size(), f.data(), f.size());
    out[root.size() + f.size()] = '\0';
    return true;
}

} // namespace dvr
