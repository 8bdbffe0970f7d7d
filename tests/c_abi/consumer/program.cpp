// A C++ caller of the installed library, naming the headers by their
// directory (program.c names them without).
#include <cstdio>
#include <cstring>
#include <string>

#include <dvrplat/COMMON.h>
#include <dvrplat/DEV.h>
#include <dvrplat/DNS.h>
#include <dvrplat/dvrplat_version.h>
#include <dvrplat/fpga.h>

int main()
{
    char encoded[16] = {};
    const std::string text = "board";
    if (COM_Base64Encode(encoded, reinterpret_cast<const unsigned char *>(text.data()),
                         static_cast<int>(text.size())) != 8 ||
        std::strcmp(encoded, "Ym9hcmQ=") != 0)
        return 1;
    if (std::strcmp(COM_GetLibraryVersion(nullptr, nullptr, nullptr), DVRPLAT_VERSION_STRING) != 0)
        return 1;
    COM_Message("c++", 18, "main", "hello from C++ %s\n", encoded);
    // The register window is not mapped: reads give 0.
    if (fpga_read(0x00, 0x02) != 0)
        return 1;
    std::fflush(stdout);
    return 0;
}
