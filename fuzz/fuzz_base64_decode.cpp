// The Base64 decoder on any text, against a plain one-character-at-a-time
// decoder: same bytes, never more than 3 x (strlen / 4) + 2 of them, nothing
// read past the NUL. Any bytes also survive a round trip through the
// encoder.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "COMMON.h"

namespace {

std::string reference_decode(const char *in)
{
    std::string out;
    unsigned k = 0;
    unsigned char carry = 0;
    const char *p = in;
    for (;;) {
        if (*p == '=')
            break;
        unsigned v = 64;
        while (*p && (v = COM_Chr2Base(*p)) == 64)
            ++p;
        if (!*p)
            break;
        ++p;
        switch (k % 4) {
        case 0: carry = static_cast<unsigned char>(v << 2); break;
        case 1: out += static_cast<char>(carry | (v >> 4)); carry = static_cast<unsigned char>(v << 4); break;
        case 2: out += static_cast<char>(carry | (v >> 2)); carry = static_cast<unsigned char>(v << 6); break;
        default: out += static_cast<char>(carry | v); break;
        }
        ++k;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> in(new char[len + 1]);
    std::memcpy(in.get(), data, len);
    in[len] = '\0';
    const size_t room = 3 * (len / 4) + 2;
    std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
    int n = COM_Base64Decode(out.get(), in.get());
    if (n < 0 || static_cast<size_t>(n) > room)
        __builtin_trap();
    std::string want = reference_decode(in.get());
    if (want.size() != static_cast<size_t>(n) || std::memcmp(want.data(), out.get(), want.size()) != 0)
        __builtin_trap();

    const size_t tlen = 4 * ((size + 2) / 3);
    std::unique_ptr<char[]> text(new char[tlen + 1]);
    if (COM_Base64Encode(text.get(), data, static_cast<int>(size)) != static_cast<int>(tlen))
        __builtin_trap();
    std::unique_ptr<unsigned char[]> back(new unsigned char[3 * (tlen / 4) + 2]);
    if (COM_Base64Decode(back.get(), text.get()) != static_cast<int>(size) || std::memcmp(back.get(), data, size) != 0)
        __builtin_trap();
    return 0;
}
