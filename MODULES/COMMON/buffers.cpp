// Small heap and byte buffer helpers.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <malloc.h>

#include "boundary.h"
#include "report.h"

extern "C" void *COM_ReallocAndCopyBuf(int nSize, void *ppBuf, int nOffset, const void *src, int nLen)
try {
    if (!ppBuf) {
        COM_REPORT("invalid buffer address (NULL)\n");
        return nullptr;
    }
    // The copy must land inside the new block. A size of 0 is refused as
    // well: realloc would free the block and the caller's pointer would
    // dangle.
    if (nSize <= 0 || nOffset < 0 || nLen < 0 || nOffset > nSize || nLen > nSize - nOffset ||
        (nLen > 0 && !src)) {
        COM_REPORT("invalid copy : (size, offset, length, src) = (%d, %d, %d, %p)\n", nSize, nOffset,
                   nLen, src);
        return nullptr;
    }

    // ppBuf is the address of the caller's pointer, whatever it points to.
    void *old = nullptr;
    std::memcpy(&old, ppBuf, sizeof old);

    // A source inside the old block moves with it.
    const unsigned char *from = static_cast<const unsigned char *>(src);
    bool inside = false;
    size_t inside_at = 0;
    if (old && from) {
        auto base = reinterpret_cast<uintptr_t>(old);
        auto s = reinterpret_cast<uintptr_t>(from);
        size_t extent = malloc_usable_size(old);
        if (s >= base && s < base + extent) {
            inside = true;
            inside_at = s - base;
            // Only what the old block held can be copied from it.
            if (static_cast<size_t>(nLen) > extent - inside_at)
                nLen = static_cast<int>(extent - inside_at);
        }
    }

    void *grown = std::realloc(old, static_cast<size_t>(nSize));
    if (!grown) {
        COM_REPORT("realloc(%d) failed : %s\n", nSize, std::strerror(errno));
        return nullptr;
    }
    auto *bytes = static_cast<unsigned char *>(grown);
    if (inside) {
        if (inside_at + static_cast<size_t>(nLen) > static_cast<size_t>(nSize))
            nLen = nSize - static_cast<int>(inside_at) > 0 ? nSize - static_cast<int>(inside_at) : 0;
        from = bytes + inside_at;
    }
    std::memcpy(ppBuf, &grown, sizeof grown);
    // Same outcome as zeroing from the offset and then copying, but a
    // source that lies in the zeroed range survives.
    if (nLen > 0)
        std::memmove(bytes + nOffset, from, static_cast<size_t>(nLen));
    std::memset(bytes + nOffset + nLen, 0, static_cast<size_t>(nSize - nOffset - nLen));
    return grown;
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

extern "C" int COM_XorBuffer(void *buf, int len)
try {
    if (!buf)
        return -1;
    auto *p = static_cast<unsigned char *>(buf);
    for (int i = 0; i < len; ++i)
        p[i] = static_cast<unsigned char>(~p[i]);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
