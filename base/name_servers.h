// Name servers of the board's "/etc/resolv.conf", the one reader for the
// resolver and the network information. C++ only, never installed.
#ifndef DVRPLAT_BASE_NAME_SERVERS_H
#define DVRPLAT_BASE_NAME_SERVERS_H

#include <cstddef>

namespace dvr {

// Room for one name server's text as written (longer text is cut).
inline constexpr size_t kNameServerTextSize = 64;

// Reads the addresses of the "nameserver" lines, in file order, into out
// (at most max entries). The rule is the C library's: the keyword starts
// the line and is followed by a space or tab, the address is the next
// word; lines starting with "#" or ";" are comments; a line without an
// address is skipped. Lines are read through a fixed buffer; the rest of an
// overlong line is skipped, never read as a line of its own. Returns the
// number of addresses, or -1 (errno set, nothing reported) when the file
// cannot be opened. Not noexcept: opening and reading the file are
// cancellation points.
int read_name_servers(char (*out)[kNameServerTextSize], int max);

} // namespace dvr

#endif
