// The device test menu, and the devtest command driven through its
// standard input over a simulated machine under the board root.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DEV.h"
#include "dev_machine.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

TEST(Menu, PrintsEveryEntryWithTheCurrentValues)
{
    DEV_TEST_MENU m{};
    std::strcpy(m.sg, "/dev/sg1");
    std::strcpy(m.sd, "/dev/sdb");
    std::strcpy(m.dev, "/dev/hda");
    m.major = 3;
    m.minor = 65;
    CaptureStdout cap;
    EXPECT_GT(Dev_TestMenu(&m), 0);
    EXPECT_EQ(cap.take(),
              "\n\t0) Reload\n"
              "\t1) Modify SG Name : \"/dev/sg1\"\n"
              "\t2) Modify SD Name : \"/dev/sdb\"\n"
              "\t3) Modify DEV Name : \"/dev/hda\"\n"
              "\t4) Rescan SCSI Bus\n"
              "\t5) Query All Devices\n"
              "\t6) Get DEV MPT (Dev_GetMPT(/dev/hda, pMPT))\n"
              "\t7) Get DEV MPT (Dev_nGetMPT(/dev/hda, pMPT, 8))\n"
              "\t8) Convert SG to SD\n"
              "\t9) Convert SD to SG\n"
              "\t10) Get DEV(/dev/hda) Disc Info\n"
              "\t11) Test Dev_Mount() nfs mount\n"
              "\t12) Dev_CheckPartition(/dev/hda)\n"
              "\t13) Modify major number : \"3\"\n"
              "\t14) Modify minor number : \"65\"\n"
              "\t15) Convert (major, minor) = (3, 65) to device name\n"
              "\t16) Get [/dev/hda] smart value [0xC2 - Temperature]\n"
              "\t17) Exit\n\n");
    // Names that fill their whole field are never read past.
    std::memset(m.dev, 'x', sizeof m.dev);
    CaptureStdout cap2;
    Dev_TestMenu(&m);
    EXPECT_NE(cap2.take().find("\t3) Modify DEV Name : \"xxxxxxxxxxxx\"\n"), std::string::npos);
    EXPECT_EQ(Dev_TestMenu(nullptr), -1);
}

// A recorder with one drive per medium kind (scd0 ... scd11, then sr0 ...),
// a USB disk and an IDE disk.
class Tool : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    std::vector<std::pair<std::string, std::string>> drives; // node, medium kind

    Tool()
    {
        std::vector<dvrtest::ScsiDrive> scsi;
        int k = 0;
        for (const auto &m : dvrtest::real_discs()) {
            std::string node = k < 12 ? "/dev/scd" + std::to_string(k) : "/dev/sr" + std::to_string(k - 12);
            dvrtest::SimDrive d = dvrtest::scsi_drive(5, k, 0, "PIONEER", "DVD-RW  DVR-111D", "ide-scsi");
            d.medium = m.medium;
            scsi.push_back({node, k, d});
            drives.push_back({node, m.kind});
            ++k;
        }
        dvrtest::SimDrive usb = dvrtest::scsi_drive(0, 30, 0, "Generic", "USB Flash Disk",
                                                    "SCSI emulation for USB Mass Storage devices");
        usb.device_bytes = 1 << 30;
        scsi.push_back({"/dev/sda", k, usb});
        dvrtest::IdeDrive hda;
        hda.letter = 'a';
        hda.model = "ST3250823A";
        hda.bytes = 250059350016ull;
        dvrtest::make_dirs(root / "mnt/hda1");
        dvrtest::write_machine(root.path(), {hda}, scsi, false,
                               "/dev/hda1 " + root / "mnt/hda1" + " ext3 rw 0 0\n");
        dvrtest::write_file(root / "proc/ide/hda/smart_values",
                            dvrtest::ide_dump(dvrtest::smart_data({{9, 1200}, {194, 43}})));
    }

    dvrtest::RunResult devtest(const std::string &input, std::vector<std::string> args = {})
    {
        std::vector<std::string> argv = {DVRPLAT_DEVTEST};
        argv.insert(argv.end(), args.begin(), args.end());
        return dvrtest::run(argv, {"DVRPLAT_ROOT=" + root.path()}, &input);
    }
};

TEST_F(Tool, DiscInformationOfEveryMediumKind)
{
    std::string input;
    for (const auto &[node, kind] : drives)
        input += "3\n" + node + "\n10\n";
    input += "17\n";
    auto r = devtest(input);
    ASSERT_EQ(r.status, 0) << r.err;

    struct Want {
        const char *kind;
        int result;
        const char *show; // the capacities line, for a result of 0
    } want[] = {
        {"cd-r-blank", 0, "(719698, 0)"},        {"cd-r-open", 0, "(719698, 112500)"},
        {"cd-r-closed", 0, "(719698, 719698)"},  {"cd-rw-blank", 0, "(719698, 0)"},
        {"cd-rw-open", 0, "(719698, 133800)"},   {"cd-rw-closed", 0, "(719698, 719698)"},
        {"cd-rom", 0, "(0, 0)"},                 {"dvd-rom", 0, "(0, 0)"},
        {"dvd-r", 0, "(4596992, 4596992)"},      {"dvd-rw-ro", 0, "(0, 0)"},
        {"dvd-rw-seq", 0, "(0, 0)"},             {"dvd+r-open", 0, "(4590208, 2129920)"},
        {"dvd+r-closed", 0, "(4590208, 4590208)"}, {"dvd+rw", 0, "(4590208, 0)"},
        {"dvd-ram", -130, nullptr},              {"ddcd-rom", -130, nullptr},
        {"ddcd-r", -130, nullptr},               {"ddcd-rw", -130, nullptr},
        {"bd-rom", -130, nullptr},
    };
    ASSERT_EQ(std::size(want), drives.size());
    size_t at = 0;
    for (size_t i = 0; i < drives.size(); ++i) {
        const std::string &node = drives[i].first;
        SCOPED_TRACE(drives[i].second);
        ASSERT_EQ(want[i].kind, drives[i].second);
        // The menu shows the drive chosen, then its disc information.
        size_t menu = r.out.find("Get DEV(" + node + ") Disc Info\n", at);
        ASSERT_NE(menu, std::string::npos);
        std::string done = "Dev_GetDiscInfo(" + node + ") = " + std::to_string(want[i].result) + "\n";
        size_t p = r.out.find(done, menu);
        ASSERT_NE(p, std::string::npos) << r.out.substr(menu, 4000);
        if (want[i].show) {
            const std::string line = "Dev_ShowDiscInfo(): (total_capacity(KB), used_capacity(KB)) = ";
            size_t s = r.out.find(line, p);
            ASSERT_NE(s, std::string::npos);
            EXPECT_EQ(r.out.substr(s + line.size(), std::strlen(want[i].show) + 1), want[i].show + std::string("\n"));
        }
        at = p;
    }
    EXPECT_NE(r.out.find("Next Lead-in at 12:32:00\n"), std::string::npos);
    EXPECT_NE(r.out.find("Disc Space is 719998 KB\n"), std::string::npos);
}

TEST_F(Tool, EntriesRunTheirOperations)
{
    // CheckPartition reads the node under the board root.
    std::string mbr(512, '\0');
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    dvrtest::write_file(root / "dev/hdb", mbr);

    const std::string input =
        "13\n3\n14\n65\n15\n"                 // (3, 65)
        "3\n/dev/hda\n16\n6\n7\n"             // temperature, mount points
        "2\n/dev/sda\n9\n8\n"                 // SD -> SG -> SD
        "3\n/dev/hdb\n12\n"                   // boot record
        "3\n/dev/a-name-far-too-long\n"       // refused
        "13\nforty\n"                         // refused
        "99\nhello\n4\n5\n0\n";               // unknown entries, rescan, query, reload; end of input
    auto r = devtest(input);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string &out = r.out;
    const char *expected[] = {
        "Dev_ConvertMajorMinor(3, 65) = 0 : \"/dev/hdb1\"\n",
        "Dev_GetSmartValue(/dev/hda) = 0 : 43 degree\n",
        "Dev_nGetMPT(/dev/hda) = -1 : \"\"\n",
        "Dev_SdToSg(/dev/sda) = 0 : \"/dev/sg19\"\n",
        "Dev_SgToSd(/dev/sg19) = 0 : \"/dev/sda\"\n",
        "Dev_CheckPartition(/dev/hdb) = 0\n",
        "Name \"/dev/a-name-far-too-long\" refused: 1 to 11 characters\n",
        "Number \"forty\" refused\n",
        "No entry 99\n",
        "No entry \"hello\"\n",
        "Dev_Rescan() = 0\n",
        "Dev_Get() = 21\n",
        "  [0] ST3250823A               /dev/hda   /dev/hda   Ready     HDD    bus 0 (-1,-1,97,-1)",
        "\t1) Modify SG Name : \"/dev/sg0\"\n", // reloaded
    };
    for (const char *e : expected)
        EXPECT_NE(out.find(e), std::string::npos) << e << "\n" << out.substr(out.size() > 6000 ? out.size() - 6000 : 0);
    EXPECT_NE(out.find("Dev_GetMPT(/dev/hda) = 0 : \"" + root / "mnt/hda1" + "\"\n"), std::string::npos);
    // The menu after the swap shows the names found.
    EXPECT_NE(out.find("\t1) Modify SG Name : \"/dev/sg19\"\n"), std::string::npos);
}

// An input line is read only up to a bound: a longer one is refused
// unread past the bound, and the next line is a choice again.
TEST_F(Tool, OverLongInputLineIsRefused)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("a shell");
    // Given from a file: a tool that echoed the line back would otherwise
    // fill its output while the test still writes its input.
    const std::string huge(4 << 20, '1');
    dvrtest::TempDir dir;
    dvrtest::write_file(dir / "input", "1\n" + huge + "\n" + huge + "\n17\n");
    auto r = dvrtest::shell("DVRPLAT_ROOT='" + root.path() + "' " + dvrtest::target_shell_command({DVRPLAT_DEVTEST}) +
                            " < '" + (dir / "input") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("1111111111"), std::string::npos) << "the long line is not echoed";
    size_t refused = 0;
    for (size_t at = r.out.find("Line longer than 255 characters refused\n"); at != std::string::npos;
         at = r.out.find("Line longer than 255 characters refused\n", at + 1))
        ++refused;
    EXPECT_EQ(refused, 2u) << r.out.substr(0, 2000);
    EXPECT_NE(r.out.find("\t1) Modify SG Name : \"/dev/sg0\"\n"), std::string::npos);
    EXPECT_LT(r.out.size(), 16384u);
}

TEST_F(Tool, CommandLine)
{
    auto r = devtest("17\n", {"-d", "/dev/hdc", "-g", "/dev/sg3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\t3) Modify DEV Name : \"/dev/hdc\"\n"), std::string::npos);
    EXPECT_NE(r.out.find("\t1) Modify SG Name : \"/dev/sg3\"\n"), std::string::npos);
    EXPECT_EQ(devtest("", {"-d", "/dev/much-too-long-name"}).status, 2);
    EXPECT_EQ(devtest("", {"extra"}).status, 2);
    for (const char *help : {"-h", "--help"}) {
        auto h = devtest("", {help});
        EXPECT_EQ(h.status, 0) << help;
        EXPECT_EQ(h.out.rfind("usage: devtest", 0), 0u) << help << ": " << h.out;
        EXPECT_EQ(h.err, "") << help;
    }
}

} // namespace
