// SCSI command transport against simulated drives under a board root.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "DEV.h"
#include "dev_internal.h"
#include "sim_drive.h"
#include "test_support.h"
#include "owners.h"
#include "wire.h"

using dvrtest::CaptureStdout;
using dvrtest::SimDrive;

namespace {

std::string hex(const std::vector<uint8_t> &b)
{
    std::string s;
    char buf[3];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

class Scsi : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};
    SimDrive drive;
    dvr::UniqueFd fd;
    dvrtest::CountedUnitReadyPauses pauses;

    Scsi() { drive.log_path = root / "requests.log"; }

    // Writes the drive at /dev/sg0 of the board root and opens it as the
    // library's callers do.
    int attach()
    {
        drive.write(root / "dev/sg0");
        fd.reset(::open((root / "dev/sg0").c_str(), O_RDWR | O_NONBLOCK));
        EXPECT_TRUE(fd.valid());
        return fd.get();
    }
    std::vector<dvrtest::SimRequest> requests() { return SimDrive::read_log(root / "requests.log"); }

    // A request reading a reply of `alloc` bytes with the given block.
    struct Request {
        DEV_MMC_CMD cmd{};
        uint8_t cdb[16]{};
        uint8_t reply[65536]{};
        uint8_t sense[64]{};
        Request(const char *name, std::vector<uint8_t> block, unsigned alloc)
        {
            std::snprintf(cmd.name, sizeof cmd.name, "%s", name);
            std::memcpy(cdb, block.data(), block.size());
            cmd.io.interface_id = 'S';
            cmd.io.dxfer_direction = alloc ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
            cmd.io.cmd_len = static_cast<unsigned char>(block.size());
            cmd.io.mx_sb_len = sizeof sense;
            cmd.io.dxfer_len = alloc;
            cmd.io.dxferp = reply;
            cmd.io.cmdp = cdb;
            cmd.io.sbp = sense;
            cmd.io.timeout = 20000;
        }
    };
};

TEST_F(Scsi, DriverVersionBelowInterfaceThreeIsRefused)
{
    struct Case {
        int version;
        int result;
    } cases[] = {{29999, -2}, {30000, 0}, {30536, 0}};
    for (const Case &c : cases) {
        drive.identity.driver_version = c.version;
        int f = attach();
        Request r("(/dev/scd0) INQUIRY", {0x12, 0, 0, 0, 0x60, 0}, 96);
        CaptureStdout cap;
        EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 0), c.result) << c.version;
        std::string out = cap.take();
        if (c.result == -2) {
            EXPECT_NE(out.find("ExecMMC(): \"(/dev/scd0) INQUIRY\"(12h) ver. too old(29999)\n"), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
            EXPECT_EQ(std::string(reinterpret_cast<char *>(r.reply) + 8, 6), "DVRSIM");
        }
    }
}

TEST_F(Scsi, IoctlFailuresGiveTheirOwnResults)
{
    // A node that is no SCSI generic device: the version ioctl fails.
    dvrtest::write_file(root / "dev/plain", "not a device\n");
    dvr::UniqueFd plain(::open((root / "dev/plain").c_str(), O_RDWR | O_NONBLOCK));
    Request r("(x) INQUIRY", {0x12, 0, 0, 0, 0x60, 0}, 96);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_ExecMMC(&r.cmd, plain.get(), 1), -1);
        EXPECT_NE(cap.take().find("Dev_ExecMMC(): ioctl() error : "), std::string::npos);
    }
    drive.ioctl_errno["sg_io"] = EIO;
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 1), -3);
    EXPECT_NE(cap.take().find("(x) INQUIRY (12h) SG_IO ioctl error : Input/output error\n"), std::string::npos);
    EXPECT_EQ(Dev_ExecMMC(nullptr, f, 0), -3);
}

TEST_F(Scsi, FailingCommandIsDetailedOnlyWhenVerbose)
{
    // Byte 2 holds the filemark, end-of-medium and incorrect-length bits
    // beside the sense key: the key shown is its low four bits.
    dvrtest::SimFailure fail = SimDrive::sense(0x05, 0x24, 0x00);
    fail.sense[2] = 0xE5;
    fail.host = 0x07;
    drive.failures[0x51] = fail;
    int f = attach();
    Request r("(/dev/scd0) READ DISC INFORMATION", {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0}, 34);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 0), -4);
        std::string out = cap.take();
        EXPECT_NE(out.find("Dev_ExecMMC(): ((/dev/scd0) READ DISC INFORMATION) Fail\n"), std::string::npos);
        EXPECT_EQ(out.find("sense"), std::string::npos) << out;
        EXPECT_EQ(out.find("status"), std::string::npos) << out;
    }
    CaptureStdout cap;
    EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 1), -4);
    std::string out = cap.take();
    const std::string expected_dump =
        " 0x70 0x00 0xE5 0x00 0x00 0x00 0x00 0x0A 0x00 0x00\n"
        " 0x00 0x00 0x24 0x00 0x00 0x00 0x00 0x00\n"
        "Sense Key = 0x05 \n"
        "Additional Sense Code = 0x24 \n"
        "Additional Sense Code Qualifier= 0x00\n";
    EXPECT_NE(out.find("(/dev/scd0) READ DISC INFORMATION (51h) sense data :\n" + expected_dump), std::string::npos) << out;
    EXPECT_NE(out.find("(/dev/scd0) READ DISC INFORMATION scsi status = 0x02\n"), std::string::npos);
    EXPECT_NE(out.find("(/dev/scd0) READ DISC INFORMATION host status = 0x07\n"), std::string::npos);
    EXPECT_NE(out.find("(/dev/scd0) READ DISC INFORMATION driver status = 0x08\n"), std::string::npos);
    EXPECT_NE(out.find("((/dev/scd0) READ DISC INFORMATION) Fail\n"), std::string::npos);
}

TEST_F(Scsi, NotReadyDriveAnswersMediumNotPresent)
{
    drive.ready = false;
    int f = attach();
    Request r("(sim) TEST UNIT READY", {0, 0, 0, 0, 0, 0}, 0);
    CaptureStdout cap;
    EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 1), -4);
    std::string out = cap.take();
    EXPECT_NE(out.find("Sense Key = 0x02 \nAdditional Sense Code = 0x3A \nAdditional Sense Code Qualifier= 0x00\n"),
              std::string::npos) << out;
    // INQUIRY still answers without a medium.
    EXPECT_EQ(Dev_Inquiry("sim", f, nullptr), 1);
}

TEST_F(Scsi, VerboseSuccessDumpsTheWholeAllocation)
{
    drive.medium.disc_info = dvrtest::SimDiscInfo{};
    drive.medium.disc_info->status = 1;
    int f = attach();
    Request r("(sim) READ DISC INFORMATION", {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0}, 34);
    CaptureStdout cap;
    EXPECT_EQ(Dev_ExecMMC(&r.cmd, f, 1), 0);
    std::string out = cap.take();
    const std::string dump =
        std::string("0000h  00 20 01 01 01 01 01 00 00 00 00 00 00 00 00 00 |. ..............|\n"
        "0010h  FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 |................|\n") +
        "0020h  00 00 " + std::string(42, ' ') + "|..|\n"
        "\n";
    EXPECT_NE(out.find("Dev_ExecMMC(): ((sim) READ DISC INFORMATION) Success\n\n" + dump), std::string::npos) << out;
}

TEST_F(Scsi, VerboseDumpCoversWhatArrivedAndIsCapped)
{
    // A configuration whose length field says 0xFFFB: first sending only
    // its 12 bytes, then sending every byte asked for.
    std::vector<uint8_t> conf(12, 0);
    conf[2] = 0xFF;
    conf[3] = 0xFB;
    conf[11] = 0;
    drive.raw["configuration"] = conf;
    int f = attach();
    const uint8_t gc[10] = {0x46, 0x02, 0, 0, 0, 0, 0, 0, 0x08, 0};
    {
        dvr::dev::MmcCommand cmd("GET CONFIGURATION", "sim", gc, sizeof gc, 8);
        CaptureStdout cap;
        EXPECT_EQ(cmd.issue_probed(f, 1, dvr::dev::kProbeConfiguration), 0);
        std::string out = cap.take();
        EXPECT_EQ(cmd.length(), 65535u);
        EXPECT_EQ(cmd.received(), 12u);
        EXPECT_NE(out.find("0000h  00 00 FF FB 00 00 00 00 00 00 00 00 " + std::string(12, ' ') + "|............|\n\n"),
                  std::string::npos) << out;
        EXPECT_EQ(out.find("0010h"), std::string::npos) << out.size();
    }
    conf.resize(65535, 0x41);
    drive.raw["configuration"] = conf;
    f = attach();
    dvr::dev::MmcCommand cmd("GET CONFIGURATION", "sim", gc, sizeof gc, 8);
    CaptureStdout cap;
    EXPECT_EQ(cmd.issue_probed(f, 1, dvr::dev::kProbeConfiguration), 0);
    std::string out = cap.take();
    EXPECT_NE(out.find("00f0h  41 41 "), std::string::npos);
    EXPECT_EQ(out.find("0100h  "), std::string::npos);
    EXPECT_NE(out.find("|AAAAAAAAAAAAAAAA|\n(65279 more bytes not shown)\n\n"), std::string::npos);
    EXPECT_LT(std::count(out.begin(), out.end(), '\n'), 40);
}

TEST_F(Scsi, DriveTextReachesTheTerminalEscaped)
{
    // An escape sequence in the vendor field, a bell and a byte above 7Fh
    // in the product field, a backslash in the revision.
    drive.identity.vendor = "\x1B]0;X\x07";
    drive.identity.product = "AB\x07\xC3\x9B[2J";
    drive.identity.revision = "1\\2";
    int f = attach();
    char model[25];
    CaptureStdout cap;
    ASSERT_EQ(Dev_Inquiry("/dev/scd0", f, model), 1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Vendor          = \\x1B]0;X\\x07  \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Product ID      = AB\\x07\\xC3\\x9B[2J        \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Revision        = 1\\x5C2 \n"), std::string::npos) << out;
    for (char c : out)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7E)) << int(static_cast<unsigned char>(c));
    EXPECT_STREQ(model, "0X AB2J");

    // A reply shorter than its additional length: what did not arrive is
    // no text; one without the vendor field is no answer.
    drive.send_only["inquiry"] = 20;
    f = attach();
    CaptureStdout cap2;
    ASSERT_EQ(Dev_Inquiry("/dev/scd0", f, model), 1);
    out = cap2.take();
    EXPECT_NE(out.find("Revision        = \nVendor Specific = \n"), std::string::npos) << out;
    drive.send_only["inquiry"] = 12;
    f = attach();
    CaptureStdout cap3;
    EXPECT_EQ(Dev_Inquiry("/dev/scd0", f, model), 0);
    EXPECT_NE(cap3.take().find("Dev_Inquiry(): (/dev/scd0) : reply of 12 bytes (12 arrived) too short for the vendor field (16 bytes)\n"),
              std::string::npos);
}

TEST_F(Scsi, CapacityListLongerThanTheReplyIsRefused)
{
    // The list length says 255 bytes; 12 arrive.
    drive.raw["format_capacities"] = {0, 0, 0, 0xFF, 0, 0x23, 0x05, 0x40, 0x02, 0, 0x08, 0};
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_ReadFormatCapacity("sim", f, nullptr), 0);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_ReadFormatCapacity(): (sim) : reply of 12 bytes (12 arrived) too short for its capacity list (259 bytes)\n"),
              std::string::npos) << out;
    EXPECT_EQ(out.find("reply_buf_len"), std::string::npos);
}

TEST_F(Scsi, TestUnitReadyTriesThreeTimes)
{
    int f = attach();
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_TestUnitReady("/dev/scd0", f), 1);
        EXPECT_EQ(cap.take(), "");
    }
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_EQ(hex(requests()[0].cdb), "000000000000");
    EXPECT_EQ(requests()[0].length, 0u);
    EXPECT_EQ(pauses.pauses(), 0u);

    // Not ready: three attempts, each failure followed by a pause of one
    // second.
    drive.ready = false;
    ::unlink((root / "requests.log").c_str());
    f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_TestUnitReady("/dev/scd0", f), 0);
    std::string out = cap.take();
    size_t fails = 0;
    for (size_t p = 0; (p = out.find("((/dev/scd0) TEST UNIT READY) Fail\n", p)) != std::string::npos; ++p)
        ++fails;
    EXPECT_EQ(fails, 3u);
    EXPECT_EQ(requests().size(), 3u);
    EXPECT_EQ(pauses.pauses(), 3u);
    EXPECT_EQ(pauses.seconds(), 3u);
}

TEST_F(Scsi, InquiryPrintsIdentityAndCompactsTheModel)
{
    struct Case {
        std::string vendor, product, model;
    } cases[] = {
        {"ABC", "XY-Z 12", "ABC XYZ 12"},
        {" AB", "C", " AB C"},
        {"VENDOR12", "ABCDEFGHIJKLMNOP", "VENDOR12ABCDEFGHIJKLMNOP"},
        {"A_B..C", "  (D)  ", "ABC D"},
    };
    for (const Case &c : cases) {
        drive.identity.vendor = c.vendor;
        drive.identity.product = c.product;
        drive.identity.revision = "R1";
        drive.identity.vendor_specific = "FW 2008/02/20";
        int f = attach();
        char model[32];
        std::memset(model, 'Z', sizeof model);
        CaptureStdout cap;
        ASSERT_EQ(Dev_Inquiry("/dev/scd0", f, model), 1);
        std::string out = cap.take();
        EXPECT_EQ(std::string(model), c.model) << c.vendor << "/" << c.product;
        for (int i = static_cast<int>(std::strlen(model)); i < 25; ++i)
            EXPECT_EQ(model[i], '\0') << i;
        EXPECT_EQ(model[25], 'Z'); // nothing written past the 25 bytes
        std::string vendor8 = (c.vendor + "        ").substr(0, 8);
        std::string product16 = (c.product + "                ").substr(0, 16);
        EXPECT_NE(out.find("Dev_Inquiry(): (/dev/scd0) :\n"), std::string::npos);
        EXPECT_NE(out.find("Vendor          = " + vendor8 + "\nProduct ID      = " + product16 +
                           "\nRevision        = R1  \nVendor Specific = FW 2008/02/20       \n"),
                  std::string::npos) << out;
    }
    // The model stops at a NUL inside the vendor field.
    std::vector<uint8_t> inq = dvrtest::sim_inquiry(drive.identity);
    std::memcpy(inq.data() + 8, "AB\0CDEFGHIJ", 11);
    drive.raw["inquiry"] = inq;
    int f = attach();
    char model[25];
    CaptureStdout cap;
    ASSERT_EQ(Dev_Inquiry("x", f, model), 1);
    EXPECT_STREQ(model, "AB");
}

TEST_F(Scsi, BufferCapacityReportsWholeMegabytesAboveOne)
{
    struct Case {
        uint32_t length;
        const char *report;
    } cases[] = {{1048576, "buffer_size = ???\n"},
                 {1048577, "buffer_size = 2 MB\n"},
                 {2097152, "buffer_size = 2 MB\n"},
                 {0xFFFFFFFFu, "buffer_size = 4096 MB\n"}};
    for (const Case &c : cases) {
        drive.medium.buffer_length = c.length;
        int f = attach();
        CaptureStdout cap;
        EXPECT_EQ(Dev_ReadBufferCapacity("sim", f), 1);
        EXPECT_NE(cap.take().find(std::string("Dev_ReadBufferCapacity(): ") + c.report), std::string::npos) << c.length;
    }
    drive.medium.buffer_length.reset();
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_ReadBufferCapacity("sim", f), 0);
}

TEST_F(Scsi, CommandBlocksAreSentAsDefined)
{
    drive.medium.buffer_length = 4096;
    drive.medium.capacity = std::make_pair(uint32_t{2295103}, uint32_t{2048});
    drive.raw["dvd_structure.0e"] = {0x00, 0x02, 0x00, 0x00};
    drive.medium.format_capacities = std::vector<dvrtest::SimFormatCapacity>{{2295104, 0, 2, 2048}};
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_TestUnitReady("sim", f), 1);
    EXPECT_EQ(Dev_Inquiry("sim", f, nullptr), 1);
    EXPECT_EQ(Dev_ReadBufferCapacity("sim", f), 1);
    EXPECT_EQ(Dev_ReadCapacity("sim", f, nullptr), 1);
    EXPECT_EQ(Dev_ReadFormatCapacity("sim", f, nullptr), 1);
    EXPECT_EQ(Dev_ReadPreInfo("sim", f, nullptr), 1);
    cap.take();
    struct Expected {
        std::vector<uint8_t> cdb;
        unsigned length;
    } expected[] = {
        {{0x00, 0, 0, 0, 0, 0}, 0},
        {{0x12, 0, 0, 0, 0x60, 0}, 96},
        {{0x5C, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0}, 12},
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8},
        // The probe: first with 252, then the list length plus 4.
        {{0x23, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0}, 252},
        {{0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0}, 12},
        {{0xAD, 0, 0, 0, 0, 0, 0, 0x0E, 0, 0x04, 0, 0}, 4},
    };
    auto log = requests();
    ASSERT_EQ(log.size(), std::size(expected));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(hex(log[i].cdb), hex(expected[i].cdb)) << i;
        EXPECT_EQ(log[i].length, expected[i].length) << i;
    }
}

TEST_F(Scsi, FormatCapacityDumpsTheCapacityList)
{
    std::vector<dvrtest::SimFormatCapacity> list;
    for (uint32_t i = 0; i < 3; ++i)
        list.push_back({0x41424344u + i, 0x10, 1, 0x000800});
    drive.medium.format_capacities = list;
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_ReadFormatCapacity("/dev/scd0", f, nullptr), 1);
    std::string out = cap.take();
    const std::string dump =
        "41 42 43 44 41 00 08 00  41 42 43 45 41 00 08 00  |ABCDA...ABCEA...|\n"
        "41 42 43 46 41 00 08 00  \n";
    EXPECT_NE(out.find("Dev_ReadFormatCapacity(): (/dev/scd0) : reply_buf_len = 24\n" + dump), std::string::npos) << out;
    auto log = requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].length, 28u);
}

TEST_F(Scsi, ProbeIssuesOnceWhenTheFirstIssueFails)
{
    drive.failures[0x23] = SimDrive::sense(0x03, 0x11, 0x00);
    int f = attach();
    CaptureStdout cap;
    EXPECT_EQ(Dev_ReadFormatCapacity("sim", f, nullptr), 0);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(Scsi, ProbeCutsToTheLimitAndWritesTheAllocationBytes)
{
    // A disc-information reply claiming 300 bytes is read with 255; a DVD
    // structure of 2052 bytes has its allocation in bytes 8 and 9.
    std::vector<uint8_t> big(302, 0x11);
    big[0] = 0x01;
    big[1] = 0x2C;
    drive.raw["disc_info"] = big;
    drive.medium.dvd_structures[0x00] = dvrtest::SimDvdPhysical{};
    int f = attach();
    CaptureStdout cap;
    const uint8_t di[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0};
    dvr::dev::MmcCommand disc("READ DISC INFORMATION", "sim", di, sizeof di, 34);
    EXPECT_EQ(disc.issue_probed(f, 0, dvr::dev::kProbeDiscInfo), 0);
    EXPECT_EQ(disc.length(), 255u);
    EXPECT_EQ(disc.reply()[254], 0x11);
    EXPECT_EQ(disc.reply()[255], 0x00);

    const uint8_t ds[12] = {0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0, 0x04, 0, 0};
    dvr::dev::MmcCommand dvd("READ DVD STRUCTURE", "sim", ds, sizeof ds, 4);
    EXPECT_EQ(dvd.issue_probed(f, 0, dvr::dev::kProbeDvdStructure), 0);
    EXPECT_EQ(dvd.length(), 2052u);
    EXPECT_EQ(std::string(dvd.request().name), "(sim) READ DVD STRUCTURE");
    auto log = requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(hex(log[1].cdb), hex({0x51, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0}));
    EXPECT_EQ(hex(log[3].cdb), hex({0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x04, 0, 0}));
    EXPECT_EQ(log[3].length, 2052u);
}

TEST_F(Scsi, SeamAnswersAddressHostAndSizeIoctls)
{
    drive.identity.host = 2;
    drive.identity.channel = 1;
    drive.identity.id = 5;
    drive.identity.lun = 3;
    drive.identity.host_text = "SCSI emulation for USB Mass Storage devices";
    drive.device_bytes = 80026361856ull;
    int f = attach();
    int bus = -1;
    EXPECT_EQ(dvr::dev::ioctl(f, SCSI_IOCTL_GET_BUS_NUMBER, &bus), 0);
    EXPECT_EQ(bus, 2);
    int idlun[2] = {0, 0};
    EXPECT_EQ(dvr::dev::ioctl(f, SCSI_IOCTL_GET_IDLUN, idlun), 0);
    EXPECT_EQ(idlun[0], 0x02010305);
    char text[512] = {};
    int len = sizeof text;
    std::memcpy(text, &len, sizeof len);
    EXPECT_GE(dvr::dev::ioctl(f, SCSI_IOCTL_PROBE_HOST, text), 0);
    EXPECT_STREQ(text, "SCSI emulation for USB Mass Storage devices");
    uint64_t bytes = 0;
    EXPECT_EQ(dvr::dev::ioctl(f, BLKGETSIZE64, &bytes), 0);
    EXPECT_EQ(bytes, 80026361856ull);
    unsigned long sectors = 0;
    EXPECT_EQ(dvr::dev::ioctl(f, BLKGETSIZE, &sectors), 0);
    EXPECT_EQ(sectors, 80026361856ul / 512);

    drive.ioctl_errno["idlun"] = EINVAL;
    drive.device_bytes.reset();
    f = attach();
    errno = 0;
    EXPECT_EQ(dvr::dev::ioctl(f, SCSI_IOCTL_GET_IDLUN, idlun), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dvr::dev::ioctl(f, BLKGETSIZE64, &bytes), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(Scsi, WithoutBoardRootAFileIsNoDrive)
{
    drive.write(root / "dev/sg0");
    dvr::UniqueFd f(::open((root / "dev/sg0").c_str(), O_RDWR | O_NONBLOCK));
    // Each of these names no board root for the paths the library opens,
    // so none may make a file answer as a drive either.
    for (const char *none : {"", "/", "//", "///"}) {
        dvrtest::ScopedEnv unset("DVRPLAT_ROOT", none);
        int version = 0;
        EXPECT_EQ(dvr::dev::ioctl(f.get(), SG_GET_VERSION_NUM, &version), -1) << '"' << none << '"';
    }
}

} // namespace

namespace {

// The medium replies the disc-information commands read, each through its
// command block and length probe, checked at the fields they decode.
TEST_F(Scsi, SimulatedMediumRepliesFollowTheCommandLayouts)
{
    using dvr::dev::MmcCommand;
    drive.medium.profiles = {{0x0008, 0}, {0x0009, 1}, {0x000A, 0}};
    dvrtest::SimDiscInfo di;
    di.status = 1;
    di.erasable = true;
    di.sessions = 0x0102;
    di.last_track_last_session = 0x0304;
    drive.medium.disc_info = di;
    drive.medium.atip = dvrtest::SimAtip{};
    drive.medium.atip->rewritable = true;
    drive.medium.atip->sub_type = 2;
    drive.medium.toc = dvrtest::SimToc{{{1, 4, 1, 0}}, dvrtest::msf_to_lba({10, 0, 0})};
    dvrtest::SimTrackInfo track;
    track.nwa_valid = true;
    track.next_writable = 1000;
    track.free_blocks = 123456;
    track.size = 654321;
    drive.medium.tracks[1] = track;
    dvrtest::SimDvdPhysical phys;
    phys.start_sector = 0x030000;
    phys.end_sector = 0x26053F;
    drive.medium.dvd_structures[0x10] = phys;
    int f = attach();
    CaptureStdout cap;

    const uint8_t gc[10] = {0x46, 0x02, 0, 0, 0, 0, 0, 0, 0x08, 0};
    MmcCommand conf("GET CONFIGURATION", "sim", gc, sizeof gc, 8);
    ASSERT_EQ(conf.issue_probed(f, 0, dvr::dev::kProbeConfiguration), 0);
    const uint8_t *r = conf.reply();
    EXPECT_EQ(conf.length(), 24u);
    EXPECT_EQ(r[11] / 4, 3);
    EXPECT_EQ(dvr::get_be16(r + 6), 0x0009);
    EXPECT_EQ(dvr::get_be16(r + 16), 0x0009);
    EXPECT_EQ(r[18], 1);

    const uint8_t rd[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0};
    MmcCommand disc("READ DISC INFORMATION", "sim", rd, sizeof rd, 34);
    ASSERT_EQ(disc.issue_probed(f, 0, dvr::dev::kProbeDiscInfo), 0);
    r = disc.reply();
    EXPECT_EQ(r[2] & 3, 1);
    EXPECT_EQ(r[2] & 0x10, 0x10);
    EXPECT_EQ(r[9] << 8 | r[4], 0x0102);
    EXPECT_EQ(r[11] << 8 | r[6], 0x0304);

    const uint8_t at[10] = {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 0x04, 0};
    MmcCommand atip("(0100b ; ATIP -MSF-)", "sim", at, sizeof at, 4);
    ASSERT_EQ(atip.issue_probed(f, 0, dvr::dev::kProbeToc), 0);
    const uint8_t *d = atip.reply() + 4;
    EXPECT_EQ(atip.length(), 28u);
    EXPECT_EQ(d[2] & 0x40, 0x40);
    EXPECT_EQ((d[2] >> 3) & 7, 2);
    EXPECT_EQ(std::vector<uint8_t>(d + 8, d + 11), (std::vector<uint8_t>{79, 59, 74})); // lead-out 79:59:74

    const uint8_t tm[10] = {0x43, 0x02, 0x00, 0, 0, 0, 0x01, 0, 0x04, 0};
    MmcCommand toc("(0000b ; Formatted TOC -MSF-)", "sim", tm, sizeof tm, 4);
    ASSERT_EQ(toc.issue_probed(f, 0, dvr::dev::kProbeToc), 0);
    r = toc.reply();
    EXPECT_EQ(r[3], 1);
    EXPECT_EQ(std::vector<uint8_t>(r + 4 + 5, r + 4 + 8), (std::vector<uint8_t>{0, 2, 0}));
    EXPECT_EQ(r[4 + 8 + 2], 0xAA);
    EXPECT_EQ(std::vector<uint8_t>(r + 4 + 8 + 5, r + 4 + 16), (std::vector<uint8_t>{10, 0, 0}));

    const uint8_t tl[10] = {0x43, 0x00, 0x00, 0, 0, 0, 0x00, 0, 0x04, 0};
    MmcCommand tocl("(0000b ; Formatted TOC -MSF-)", "sim", tl, sizeof tl, 4);
    ASSERT_EQ(tocl.issue_probed(f, 0, dvr::dev::kProbeToc), 0);
    EXPECT_EQ(tocl.length(), 20u);
    EXPECT_EQ(dvr::get_be32(tocl.reply() + 4 + 8 + 4), 44850u);

    const uint8_t ti[10] = {0x52, 0x01, 0, 0, 0, 1, 0, 0, 0x24, 0};
    MmcCommand ti_cmd("READ TRACK INFORMATION", "sim", ti, sizeof ti, 36);
    ASSERT_EQ(ti_cmd.issue_probed(f, 0, dvr::dev::kProbeTrackInfo), 0);
    r = ti_cmd.reply();
    EXPECT_EQ(r[7] & 1, 1);
    EXPECT_EQ(dvr::get_be32(r + 12), 1000u);
    EXPECT_EQ(dvr::get_be32(r + 16), 123456u);
    EXPECT_EQ(dvr::get_be32(r + 24), 654321u);

    const uint8_t ds[12] = {0xAD, 0, 0, 0, 0, 0, 0, 0x10, 0, 0x04, 0, 0};
    MmcCommand dvd("READ DVD STRUCTURE", "sim", ds, sizeof ds, 4);
    ASSERT_EQ(dvd.issue_probed(f, 0, dvr::dev::kProbeDvdStructure), 0);
    d = dvd.reply() + 4;
    EXPECT_EQ(dvr::get_be24(d + 5), 0x030000u);
    EXPECT_EQ(dvr::get_be24(d + 9), 0x26053Fu);

    // Format 00h was not described: the drive refuses it.
    const uint8_t d0[12] = {0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0, 0x04, 0, 0};
    MmcCommand dvd0("READ DVD STRUCTURE", "sim", d0, sizeof d0, 4);
    EXPECT_EQ(dvd0.issue(f, 0), -4);
}

} // namespace

// ---------------------------------------------------------------------
// The INQUIRY reply's own length field
// ---------------------------------------------------------------------

TEST_F(Scsi, InquiryTextPastItsAdditionalLengthIsNoText)
{
    // All 96 bytes arrive, but byte 4 says 27 follow the first five: the
    // reply ends after the product field. What lies past it (a revision
    // and vendor-specific text) is not the drive's answer.
    std::vector<uint8_t> reply(96, 0);
    reply[0] = 0x05; // CD/DVD device
    reply[4] = 27;
    std::memcpy(&reply[8], "VENDOR01", 8);
    std::memcpy(&reply[16], "PRODUCT NAME 016", 16);
    std::memcpy(&reply[32], "REV9", 4);
    std::memcpy(&reply[36], "SPECIFIC TEXT 020...", 20);
    drive.raw["inquiry"] = reply;
    int f = attach();
    char model[25];
    CaptureStdout cap;
    ASSERT_EQ(Dev_Inquiry("/dev/scd0", f, model), 1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Vendor          = VENDOR01\nProduct ID      = PRODUCT NAME 016\n"
                       "Revision        = \nVendor Specific = \n"),
              std::string::npos)
        << out;
    // One byte more (28): the revision's first letter is part of the reply.
    reply[4] = 28;
    drive.raw["inquiry"] = reply;
    f = attach();
    CaptureStdout cap2;
    ASSERT_EQ(Dev_Inquiry("/dev/scd0", f, model), 1);
    out = cap2.take();
    EXPECT_NE(out.find("Revision        = R\nVendor Specific = \n"), std::string::npos) << out;
}
