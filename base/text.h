// Bounded copies into fixed buffers, text fields and whole lines. C++
// only, never installed.
#ifndef DVRPLAT_BASE_TEXT_H
#define DVRPLAT_BASE_TEXT_H

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace dvr {

// Copies src into a fixed buffer of n bytes. Returns false, leaving the
// buffer unchanged, when src does not fit with its terminating NUL.
bool copy_bounded(char *dst, size_t n, std::string_view src) noexcept;

// Copies as much of src as fits (cutting), always NUL-terminating.
void copy_cut(char *dst, size_t n, std::string_view src) noexcept;

// Splits off the next field of s, fields separated by runs of any of seps
// (leading separators skipped). s keeps what follows the field, from the
// separator on; both are empty when no field is left.
std::string_view next_field(std::string_view &s, std::string_view seps) noexcept;

// Reads a whole line of f into buf. The rest of a line longer than the
// buffer is read up to its end and dropped (skipped set); the start stays
// in buf. False at the end of the file.
bool read_line(FILE *f, char *buf, size_t size, bool &skipped);

} // namespace dvr

#endif
