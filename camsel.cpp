// camsel: sets the video FPGA's camera selection for one recording
// resolution, from a built-in mode or a file of sixteen camera numbers,
// echoing every register write as a "./fpga" command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "COMMON.h"
#include "fpga.h"
#include "dvrplat_version.h"
#include "fpga/registers.h"

namespace {
struct CloseFile {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};

constexpr int kModes = 10;        // rows of d1_cameras; row 9 is the file's
constexpr int kBuiltinModes = 9;  // modes 0..8 shown in the help text
constexpr int kPositions = 16;
constexpr int kConfigRow = 9;
constexpr int kMaxResolution = 2;
constexpr int kMaxMode = 9;
} // namespace

int g_resolution = 0;
int g_mode = 0;
char *g_config = nullptr;

int d1_cameras[kModes][kPositions] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11},
    {0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12},
    {1, 1, 1, 1, 5, 5, 5, 5, 9, 9, 9, 9, 13, 13, 13, 13},
    {2, 2, 2, 2, 6, 6, 6, 6, 10, 10, 10, 10, 14, 14, 14, 14},
    {3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15},
    {0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13},
    {2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15},
    {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

static void print_cameras(const int *row)
{
    for (int p = 0; p < kPositions; ++p) {
        if (p % 4 == 0)
            std::printf("\t");
        std::printf(" %2d", row[p]);
    }
}

void print_usage(void)
{
    std::printf("\n\n");
    std::printf("\nArguments: \n");
    std::printf("  -h  or --help                      : print this help message\n");
    std::printf("  -r  or --resolution    _num_       : 0            : 0-D1, 1-HD1, 2-CIF\n");
    std::printf("  -m  or --mode          _num_       : 0            : Max %d modes of Camera selection\n",
                kMaxMode);
    for (int m = 0; m < kBuiltinModes; ++m) {
        std::printf("        %2d :", m);
        print_cameras(d1_cameras[m]);
        std::printf("\n");
    }
    std::printf("  -c  or --config        _name_      :              : No default\n");
    std::printf("\n\n");
}

static bool is(const char *arg, const char *shortopt, const char *longopt)
{
    return std::strcmp(arg, shortopt) == 0 || std::strcmp(arg, longopt) == 0;
}

int user_options(int argc, char **argv)
{
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (is(arg, "-h", "--help")) {
            print_usage();
            result = 1;
        } else if (is(arg, "-r", "--resolution")) {
            if (i + 1 < argc)
                g_resolution = std::atoi(argv[++i]);
            else
                result = 1;
            if (g_resolution < 0 || g_resolution > kMaxResolution) {
                std::printf("Resolution[%d] out of range[%d-%d]\n", g_resolution, 0, kMaxResolution);
                result = 1;
            }
        } else if (is(arg, "-m", "--mode")) {
            if (i + 1 < argc)
                g_mode = std::atoi(argv[++i]);
            else
                result = 1;
            if (g_mode < 0 || g_mode > kMaxMode) {
                std::printf("Mode[%d] out of range[%d-%d]\n", g_mode, 0, kMaxMode);
                result = 1;
            }
        } else if (is(arg, "-c", "--config")) {
            if (i + 1 < argc)
                g_config = argv[++i];
            else
                result = 1;
        } else {
            result = 1;
        }
    }
    return result;
}

int main(int argc, char **argv)
{
    // --version alone prints the version and touches nothing else.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("camsel %s\n", DVRPLAT_VERSION);
        return 0;
    }
    fpga_open();
    int rc = user_options(argc, argv);
    std::printf("\n\t\t Use -h for help \n");
    std::printf("\n");
    if (rc != 0)
        return 1;

    if (g_config) {
        std::printf("Config file [%s] selected\n", g_config);
        g_mode = kConfigRow;
        std::unique_ptr<FILE, CloseFile> f(std::fopen(g_config, "r"));
        if (!f) {
            std::printf("Open Config file [%s] failed\n", g_config);
            return 1;
        }
        for (int p = 0; p < kPositions; ++p) {
            if (std::fscanf(f.get(), "%d", &d1_cameras[kConfigRow][p]) != 1) {
                std::printf("Error Reading config file [%s] for camera [%d]\n", g_config, p);
                return 1;
            }
        }
    }

    const char *name = g_resolution == 0 ? "D1" : g_resolution == 1 ? "Half D1" : "CIF";
    std::printf("Cameras selected for [%s] mode\n", name);
    const int *row = d1_cameras[g_mode];
    print_cameras(row);
    std::printf("\n\n");

    // Never write through a window that could not be mapped: fpga_open has
    // already said why.
    if (Ce_Cpld == reinterpret_cast<volatile unsigned char *>(-1))
        return 1;

    char echo[64];
    namespace reg = dvr::fpga::reg;
    std::snprintf(echo, sizeof echo, "./fpga 0x%02X 0x%02X 0x%02X", reg::kResolution, 0u, g_resolution);
    std::printf("%s\n", echo);
    fpga_write(reg::kResolution, 0x00, g_resolution);
    std::printf("\n");

    for (int b = 0; b < 4; ++b) {
        for (int k = 0; k < 4; ++k) {
            int cam = row[4 * b + k];
            const unsigned address = reg::kCameraSelection + static_cast<unsigned>(b);
            std::snprintf(echo, sizeof echo, "./fpga 0x%02X 0x%02X 0x%02X", address, static_cast<unsigned>(k), cam);
            std::printf("%s\n", echo);
            fpga_write(static_cast<int>(address), k, cam);
        }
        std::printf("\n");
    }
    return 0;
}
