// HTML stripping against a plain reference of the same rules: tags are
// dropped, a tag starting with "BR" (any case) becomes a line feed, every
// other character is kept.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "COMMON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The input is a text: it ends at its first NUL.
    std::string html(reinterpret_cast<const char *>(data), size);
    html.resize(std::strlen(html.c_str()));

    std::string expected;
    bool in_tag = false, br = false;
    for (size_t i = 0; i < html.size(); ++i) {
        char c = html[i];
        if (!in_tag && c == '<') {
            in_tag = true;
            br = i + 2 < html.size() &&
                 std::tolower(static_cast<unsigned char>(html[i + 1])) == 'b' &&
                 std::tolower(static_cast<unsigned char>(html[i + 2])) == 'r';
        } else if (!in_tag) {
            expected += c;
        } else if (c == '>') {
            in_tag = false;
            if (br)
                expected += '\n';
        }
    }

    std::string input = html;
    char *out = nullptr;
    int r = COM_StripHtmlCode(input.data(), &out);
    if (expected.empty()) {
        if (r != -1 || out != nullptr)
            std::abort();
        return 0;
    }
    if (r != static_cast<int>(expected.size()) + 1 || out == nullptr ||
        std::memcmp(out, expected.data(), expected.size()) != 0 || out[expected.size()] != '\0')
        std::abort();
    std::free(out);
    return 0;
}
