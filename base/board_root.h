// Board root: every fixed absolute path the library names itself goes
// through here. With DVRPLAT_ROOT set (read once, at the first use) the
// path is opened under that directory; messages and records keep the
// plain path.
// C++ only, never installed.
#ifndef DVRPLAT_BASE_BOARD_ROOT_H
#define DVRPLAT_BASE_BOARD_ROOT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace dvr {

// The board root: DVRPLAT_ROOT without its trailing slashes; empty when
// the variable is unset, empty or "/". Read at the first call, by
// whichever thread comes first; later calls give that root. Points into
// the environment.
std::string_view board_root() noexcept;

// Makes the next board_root() read DVRPLAT_ROOT again: for a test that
// changes the variable while the process runs.
void reread_board_root() noexcept;

// The path to open for a fixed path of the board.
std::string board_path(std::string_view fixed);

// The same into a caller's buffer; false (buffer holds "") when it does
// not fit. Allocates nothing, so it may be used where allocation is not
// allowed once the buffer is on the stack.
bool board_path(const char *fixed, char *out, size_t outlen) noexcept;

} // namespace dvr

#endif
