// The escape decoder on any text: it writes at most strlen(in) bytes and
// never reads past the terminating NUL; and any bytes survive a round trip
// through the encoder.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "COMMON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    // The text: the input up to its first NUL, in a block of exactly its size.
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> in(new char[len + 1]);
    std::memcpy(in.get(), data, len);
    in[len] = '\0';
    std::unique_ptr<unsigned char[]> out(new unsigned char[len]);
    int n = COM_QPDecode(out.get(), in.get());
    if (n < 0 || static_cast<size_t>(n) > len)
        __builtin_trap();

    std::unique_ptr<char[]> text(new char[3 * size + 1]);
    if (COM_QPEncode(text.get(), data, static_cast<int>(size)) != static_cast<int>(3 * size))
        __builtin_trap();
    std::unique_ptr<unsigned char[]> back(new unsigned char[3 * size + 1]);
    if (COM_QPDecode(back.get(), text.get()) != static_cast<int>(size) || std::memcmp(back.get(), data, size) != 0)
        __builtin_trap();
    return 0;
}
