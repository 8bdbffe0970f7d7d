// The camera-selection command, run as a real process on the simulator.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

using dvrtest::run;
using dvrtest::TempDir;

namespace {

const std::string kHint = "\n\t\t Use -h for help \n\n";

const int kModes[9][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11},
    {0, 0, 0, 0, 4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12},
    {1, 1, 1, 1, 5, 5, 5, 5, 9, 9, 9, 9, 13, 13, 13, 13},
    {2, 2, 2, 2, 6, 6, 6, 6, 10, 10, 10, 10, 14, 14, 14, 14},
    {3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15},
    {0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13},
    {2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15},
    {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3},
};

std::string fmt(const char *f, int a, int b = 0, int c = 0)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

std::string camera_line(const int *cams)
{
    std::string s;
    for (int p = 0; p < 16; ++p) {
        if (p % 4 == 0)
            s += "\t";
        s += fmt(" %2d", cams[p]);
    }
    return s;
}

std::string usage()
{
    std::string s = "\n\n\nArguments: \n";
    s += "  -h  or --help                      : print this help message\n";
    s += "  -r  or --resolution    _num_       : 0            : 0-D1, 1-HD1, 2-CIF\n";
    s += "  -m  or --mode          _num_       : 0            : Max 9 modes of Camera selection\n";
    for (int m = 0; m < 9; ++m)
        s += fmt("        %2d :", m) + camera_line(kModes[m]) + "\n";
    s += "  -c  or --config        _name_      :              : No default\n\n\n";
    return s;
}

// The output of a successful run after the help hint.
std::string selection(const char *res_name, int res, const std::vector<int> &cams)
{
    std::string s = std::string("Cameras selected for [") + res_name + "] mode\n";
    s += camera_line(cams.data()) + "\n\n";
    s += fmt("./fpga 0xB0 0x00 0x%02X\n\n", res);
    for (int b = 0; b < 4; ++b) {
        for (int k = 0; k < 4; ++k)
            s += fmt("./fpga 0xB%1d 0x0%1d 0x%02X\n", b + 1, k, cams[4 * b + k]);
        s += "\n";
    }
    return s;
}

struct Sim {
    TempDir dir;
    std::string sim = dir / "fpga.sim";
    std::string trace = dir / "fpga.trace";

    dvrtest::RunResult camsel(std::vector<std::string> args)
    {
        args.insert(args.begin(), DVRPLAT_CAMSEL);
        return run(args, {"DVRPLAT_FPGA_SIM=" + sim, "DVRPLAT_FPGA_TRACE=" + trace});
    }
    std::string file() { return dvrtest::read_file(sim); }
    int reg(int a, int o) { return static_cast<unsigned char>(file().at(a * 256 + o)); }
    std::string traced() { return dvrtest::read_file(trace); }
};

std::vector<int> row(int m) { return std::vector<int>(kModes[m], kModes[m] + 16); }

} // namespace

TEST(Camsel, NoArgumentsWritesModeZeroAtD1)
{
    Sim s;
    auto r = s.camsel({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHint + selection("D1", 0, row(0)));
    // The seventeen registers, in order, each through the two latches.
    std::string want = "A B0\nO 00\nW 00\n";
    for (int p = 0; p < 16; ++p)
        want += fmt("A B%1d\nO %02X\nW %02X\n", p / 4 + 1, p % 4, p);
    EXPECT_EQ(s.traced(), want);
    for (int p = 0; p < 16; ++p)
        EXPECT_EQ(s.reg(0xB1 + p / 4, p % 4), p);
}

TEST(Camsel, ModesAndResolutions)
{
    struct Case {
        std::vector<std::string> args;
        const char *name;
        int res;
        int mode;
    } cases[] = {
        {{"-r", "1"}, "Half D1", 1, 0},
        {{"--resolution", "2", "--mode", "8"}, "CIF", 2, 8},
        {{"-m", "1"}, "D1", 0, 1},
        {{"-m", "6", "-r", "abc"}, "D1", 0, 6}, // non-numeric converts to 0
        {{"-m", "zz"}, "D1", 0, 0},
    };
    for (auto &c : cases) {
        Sim s;
        auto r = s.camsel(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, kHint + selection(c.name, c.res, row(c.mode))) << c.args[0];
        EXPECT_EQ(s.reg(0xB0, 0), c.res);
        EXPECT_EQ(s.reg(0xB4, 3), kModes[c.mode][15]);
    }
    // Mode 9 without a file: row 9 is all zeros.
    Sim s;
    auto r = s.camsel({"-m", "9"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHint + selection("D1", 0, std::vector<int>(16, 0)));
}

TEST(Camsel, BadCommandLinesWriteNothing)
{
    struct Case {
        std::vector<std::string> args;
        std::string messages;
        bool help;
    } cases[] = {
        {{"-r", "3"}, "Resolution[3] out of range[0-2]\n", false},
        {{"-m", "-1"}, "Mode[-1] out of range[0-9]\n", false},
        {{"-m", "10", "-r", "-4"}, "Mode[10] out of range[0-9]\nResolution[-4] out of range[0-2]\n", false},
        {{"-r"}, "", false},                // missing value, default in range
        {{"-m", "2", "-c"}, "", false},
        {{"--bogus"}, "", false},
        {{"-m", "12", "-c", "/nonexistent"}, "Mode[12] out of range[0-9]\n", false},
    };
    for (auto &c : cases) {
        Sim s;
        auto r = s.camsel(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, c.messages + kHint) << c.args[0];
        EXPECT_EQ(s.traced(), "") << c.args[0];
    }
}

TEST(Camsel, HelpPrintsWhereItStandsAndStillParses)
{
    Sim s;
    auto r = s.camsel({"-m", "11", "-h", "-r", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Mode[11] out of range[0-9]\n" + usage() + "Resolution[7] out of range[0-2]\n" + kHint);
    EXPECT_EQ(s.traced(), "");
    auto r2 = s.camsel({"--help"});
    EXPECT_EQ(r2.status, 1);
    EXPECT_EQ(r2.out, usage() + kHint);
}

TEST(Camsel, ConfigurationFile)
{
    Sim s;
    std::string cfg = s.dir / "cams.cfg";
    // Any white space separates; a sign is accepted; extra numbers ignored.
    dvrtest::write_file(cfg, "15 14 13 12\n11 10 9 8\n\t7 6 5 +4 3 2 1 300 99 98\n");
    std::vector<int> cams{15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 300};
    auto r = s.camsel({"-m", "3", "-c", cfg, "-r", "2"});
    EXPECT_EQ(r.status, 0);
    std::string out = kHint + "Config file [" + cfg + "] selected\n" + selection("CIF", 2, cams);
    EXPECT_EQ(r.out, out);
    EXPECT_NE(r.out.find("./fpga 0xB4 0x03 0x12C\n"), std::string::npos);
    EXPECT_EQ(s.reg(0xB4, 3), 0x2C);
    EXPECT_EQ(s.reg(0xB1, 0), 15);
}

TEST(Camsel, ConfigurationFileErrors)
{
    Sim s;
    std::string cfg = s.dir / "short.cfg";
    dvrtest::write_file(cfg, "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14\n");
    auto r = s.camsel({"-c", cfg});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kHint + "Config file [" + cfg + "] selected\nError Reading config file [" + cfg +
                         "] for camera [15]\n");
    std::string bad = s.dir / "bad.cfg";
    dvrtest::write_file(bad, "1 2 x 4");
    r = s.camsel({"--config", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("for camera [2]\n"), std::string::npos);
    std::string missing = s.dir / "missing.cfg";
    r = s.camsel({"-c", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kHint + "Config file [" + missing + "] selected\nOpen Config file [" + missing + "] failed\n");
    EXPECT_EQ(s.traced(), "");
}

TEST(Camsel, UnmappedWindowEndsBeforeAnyWrite)
{
    TempDir dir;
    // A simulator path that cannot be created: the window is not mapped.
    auto r = run({DVRPLAT_CAMSEL}, {"DVRPLAT_FPGA_SIM=" + (dir / "no/such/dir/sim"),
                                    "DVRPLAT_FPGA_TRACE=" + (dir / "trace")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("fpga_open(): open("), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("./fpga 0xB0"), std::string::npos);
    EXPECT_EQ(dvrtest::read_file(dir / "trace"), "");
}
