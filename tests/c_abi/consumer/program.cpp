// A C++ caller of the installed library.
#include <cstdio>
#include <cstring>
#include <string>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "fpga.h"

int main()
{
    char encoded[16] = {};
    const std::string text = "board";
    if (COM_Base64Encode(encoded, reinterpret_cast<const unsigned char *>(text.data()),
                         static_cast<int>(text.size())) != 8 ||
        std::strcmp(encoded, "Ym9hcmQ=") != 0)
        return 1;
    COM_Message("c++", 18, "main", "hello from C++ %s\n", encoded);
    // The register window is not mapped: reads give 0.
    if (fpga_read(0x00, 0x02) != 0)
        return 1;
    std::fflush(stdout);
    return 0;
}
