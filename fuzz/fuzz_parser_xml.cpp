// Tagged item descriptions: any text and any wanted name (even one filling
// its field with no terminating NUL). The record's text stays terminated
// within its 256 bytes and the wanted name is not changed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "COMMON.h"
#include "fuzz_quiet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    // First byte: the length of the wanted name (0..80) taken from the
    // bytes that follow; the rest is the text.
    size_t nlen = data[0] % 81;
    if (nlen > size - 1)
        nlen = size - 1;
    auto item = std::make_unique<COM_XML_ITEM>();
    std::memset(item.get(), 0, sizeof *item);
    std::memcpy(item->Name, data + 1, nlen);
    COM_XML_ITEM before = *item;

    const char *p = reinterpret_cast<const char *>(data + 1 + nlen);
    size_t tlen = strnlen(p, size - 1 - nlen);
    std::unique_ptr<char[]> text(new char[tlen + 1]);
    std::memcpy(text.get(), p, tlen);
    text[tlen] = '\0';

    int rc = COM_ParserXml(text.get(), item.get());
    if (rc != 0 && rc != -1)
        __builtin_trap();
    if (std::memcmp(item->Name, before.Name, sizeof item->Name) != 0)
        __builtin_trap();
    if (strnlen(item->text, sizeof item->text) >= sizeof item->text)
        __builtin_trap();
    if (rc == -1 && std::memcmp(item.get(), &before, sizeof before) != 0)
        __builtin_trap();
    if (item->type < 0 || item->type > 2)
        __builtin_trap();
    return 0;
}
