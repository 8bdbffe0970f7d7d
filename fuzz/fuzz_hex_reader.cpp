// The hexadecimal dump reader on any content, read from a memory file in
// chunks of 80 bytes: it collects exactly the digits of each chunk up to
// the chunk's first NUL, into a heap block of exactly that size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "COMMON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    int fd = memfd_create("hexdump", 0);
    if (fd < 0)
        return 0;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    lseek(fd, 0, SEEK_SET);

    std::string want;
    for (size_t at = 0; at < size; at += 80) {
        for (size_t i = at; i < size && i < at + 80 && data[i] != 0; ++i) {
            char c = static_cast<char>(data[i]);
            if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
                want += c;
        }
    }

    char *buf = nullptr;
    int n = COM_ReadHexDataInStrFormat(fd, &buf);
    close(fd);
    if (n != static_cast<int>(want.size()) || (n > 0 && std::memcmp(buf, want.data(), want.size()) != 0) ||
        (n == 0 && buf != nullptr))
        __builtin_trap();
    std::free(buf);
    return 0;
}
