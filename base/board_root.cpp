// Board root: fixed paths of the board, optionally under another directory.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "board_root.h"

namespace dvr {

namespace {

// DVRPLAT_ROOT as first read: the variable's text in the environment (or
// nullptr for none), kUnread until the first use. The environment's
// strings outlive a later change of the variable, so the text stays
// valid. A pointer swapped atomically: no lock, no allocation, so a child
// between fork and exec may build paths as well.
const char kUnreadMark = 0;
const char *const kUnread = &kUnreadMark;
std::atomic<const char *> gRoot{kUnread};

const char *root_text() noexcept
{
    const char *r = gRoot.load(std::memory_order_acquire);
    if (r != kUnread)
        return r;
    const char *read = ::secure_getenv("DVRPLAT_ROOT");
    // The first reader's text stands for every thread.
    return gRoot.compare_exchange_strong(r, read, std::memory_order_acq_rel) ? read : r;
}

} // namespace

std::string_view board_root() noexcept
{
    const char *r = root_text();
    if (!r || !*r)
        return {};
    std::string_view v(r);
    while (v.size() > 1 && v.back() == '/')
        v.remove_suffix(1);
    if (v == "/")
        return {};
    return v;
}

void reread_board_root() noexcept { gRoot.store(kUnread, std::memory_order_release); }

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
