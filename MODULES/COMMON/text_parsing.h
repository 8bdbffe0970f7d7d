// Helpers shared by the common library's text parsers.
#ifndef DVRPLAT_TEXT_PARSING_H
#define DVRPLAT_TEXT_PARSING_H

#include <climits>

#include "report.h"

namespace dvr {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Reports that a value of len bytes did not fit a buffer of size bytes.
inline void warn_overflow(const Reporter &report, long len, int size)
{
    const int shown = static_cast<int>(len > INT_MAX ? INT_MAX : len);
    DVR_REPORT_TO(report, "Warning! overflow (len, size) = (%d, %d)\n", shown, size);
}

} // namespace dvr

#endif
