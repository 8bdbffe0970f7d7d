// labels: root
// Device discovery over a simulated machine under the board root, disk
// statistics on real loop devices, and the node-name conversions.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DEV.h"
#include "dev_machine.h"
#include "owners.h"
#include "sim_drive.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::IdeDrive;
using dvrtest::ScsiDrive;
using dvrtest::scsi_drive;

namespace {

const char kUsbHost[] = "SCSI emulation for USB Mass Storage devices";
// IEEE-1394 at offset 19, and at the start.
const char kSbpHostAt19[] = "SBP-2 Protocol for IEEE-1394 storage devices";
const char kSbpHostAt0[] = "IEEE-1394 SBP-2 storage";

std::vector<std::string> dir_entries(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        ::closedir(d);
    }
    return out;
}

class Machine : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};
    dvrtest::CountedUnitReadyPauses pauses;

    Machine() { reset_fs_table(); }
    ~Machine() override { reset_fs_table(); }
    static void reset_fs_table()
    {
        for (auto &row : gDevFS)
            row.available = 1;
        gDevFsInit = 0;
    }
};

// The recorder of the examples: two IDE disks (and an IDE CD-ROM and a
// disk without a model file, both left out), a USB disk, a SCSI disk that
// is not ready, two IEEE-1394 writers of which one is not ready, a tape,
// a node no generic node answers for, and a node whose bus ioctl fails.
std::vector<ScsiDrive> recorder_scsi()
{
    std::vector<ScsiDrive> s;
    ScsiDrive usb{"/dev/sda", 0, scsi_drive(0, 0, 0, "Generic", "USB Flash Disk", kUsbHost)};
    usb.drive.device_bytes = 8004304896ull;
    s.push_back(usb);
    ScsiDrive sleepy{"/dev/sdb", 1, scsi_drive(0, 1, 0, "SEAGATE", "ST373207LW", "aic7xxx")};
    sleepy.drive.ready = false;
    sleepy.drive.device_bytes = 73407865856ull;
    s.push_back(sleepy);
    s.push_back({"/dev/scd0", 2, scsi_drive(5, 2, 0, "PIONEER", "DVD-RW  DVR-111D", kSbpHostAt19)});
    ScsiDrive cd{"/dev/scd1", 3, scsi_drive(5, 3, 1, "PLEXTOR", "CD-R   PX-W4824A", kSbpHostAt0)};
    cd.drive.ready = false;
    s.push_back(cd);
    s.push_back({"/dev/nst0", 4, scsi_drive(1, 4, 5, "HP", "C5683A", "sym53c8xx")});
    return s;
}

std::vector<IdeDrive> recorder_ide()
{
    IdeDrive hda;
    hda.letter = 'a';
    hda.model = "ST3250823A";
    hda.bytes = 250059350016ull;
    IdeDrive hdb;
    hdb.letter = 'b';
    hdb.driver = "ide-cdrom version 4.61";
    hdb.model = "LITE-ON LTR-52327S";
    IdeDrive hdc;
    hdc.letter = 'c';
    IdeDrive hdd;
    hdd.letter = 'd';
    hdd.model = "Maxtor 6Y080L0  (rev.A) -- very long model name exceeding forty";
    return {hda, hdb, hdc, hdd};
}

TEST_F(Machine, DiscoversIdeAndScsiDevices)
{
    dvrtest::make_dirs(root / "mnt/hda1");
    dvrtest::make_dirs(root / "mnt/sda1");
    dvrtest::write_machine(root.path(), recorder_ide(), recorder_scsi(), false,
                           "/dev/hda1 " + root / "mnt/hda1" + " ext3 rw 0 0\n" + "/dev/sda1 " +
                               root / "mnt/sda1" + " vfat rw 0 0\n");
    // A node with an address no generic node has, and one whose bus
    // number cannot be read.
    dvrtest::scsi_drive(5, 9, 9, "LOST", "DRIVE", "x").write(root / "dev/sr0");
    dvrtest::SimDrive broken = scsi_drive(0, 5, 0, "BROKEN", "DISK", "x");
    broken.ioctl_errno["bus"] = EIO;
    broken.write(root / "dev/sdc");

    DEV_INFO table[DEV_MAX_DEVICES] = {};
    CaptureStdout cap;
    ASSERT_EQ(Dev_Get(table), 6);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_Get(): (ide, scsi) = (2, 4)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("get bus No. ioctl on /dev/sdc failed\n"), std::string::npos);

    struct Want {
        const char *model, *dev, *sg;
        int host, channel, id, lun;
        int ready, cdrom, bus;
    } want[] = {
        {"ST3250823A", "/dev/hda", "/dev/hda", -1, -1, 'a', -1, 1, 0, 0},
        {"Maxtor 6Y080L0 revA very long mo", "/dev/hdd", "/dev/hdd", -1, -1, 'd', -1, 1, 0, 0},
        {"Generic USB Flash Disk", "/dev/sda", "/dev/sg0", 0, 0, 0, 0, 1, 0, 1},
        {"PIONEER DVDRW DVR111D", "/dev/scd0", "/dev/sg2", 2, 0, 0, 0, 1, 1, 2},
        {"PLEXTOR CDR PXW4824A", "/dev/scd1", "/dev/sg3", 3, 0, 1, 0, 0, 1, 2},
        {"HP C5683A", "/dev/nst0", "/dev/sg4", 4, 0, 5, 0, 1, 1, 0},
    };
    for (size_t i = 0; i < std::size(want); ++i) {
        const DEV_INFO &d = table[i];
        const Want &w = want[i];
        SCOPED_TRACE(w.dev);
        EXPECT_STREQ(d.model, w.model);
        EXPECT_STREQ(d.dev, w.dev);
        EXPECT_STREQ(d.sg, w.sg);
        EXPECT_EQ(d.host, w.host);
        EXPECT_EQ(d.channel, w.channel);
        EXPECT_EQ(d.id, w.id);
        EXPECT_EQ(d.lun, w.lun);
        EXPECT_EQ(d.ready, w.ready);
        EXPECT_EQ(d.cdrom, w.cdrom);
        EXPECT_EQ(d.bus, w.bus);
    }
    // Mounted disks: statistics of the mount, sizes from the nodes.
    struct statfs tmp;
    ASSERT_EQ(::statfs((root / "mnt/hda1").c_str(), &tmp), 0);
    EXPECT_STREQ(table[0].mpt, (root / "mnt/hda1").c_str());
    EXPECT_EQ(table[0].details.hd.device_bytes, 250059350016ull);
    EXPECT_EQ(table[0].details.hd.fs_type, static_cast<uint32_t>(tmp.f_type));
    EXPECT_EQ(table[0].details.hd.block_size, static_cast<uint32_t>(tmp.f_bsize));
    EXPECT_EQ(table[0].details.hd.total_bytes, uint64_t(tmp.f_blocks) * uint64_t(tmp.f_bsize));
    EXPECT_EQ(table[2].details.hd.device_bytes, 8004304896ull);
    EXPECT_STREQ(table[2].mpt, (root / "mnt/sda1").c_str());
    // hdd is neither mounted nor mountable: the temporary mount point is
    // gone again and the record keeps no mount point.
    EXPECT_NE(out.find("Dev_GetHDStat(): open(/dev/hdd) failed : No such file or directory\n"), std::string::npos);
    EXPECT_EQ(table[1].mpt[0], '\0');
    EXPECT_TRUE(dir_entries(root / "var").empty());
    // Optical drives and tapes carry no statistics.
    EXPECT_EQ(table[3].details.hd.device_bytes, 0u);
    EXPECT_EQ(table[6].model[0], '\0');

    // The first four records are printed.
    char line[256];
    std::snprintf(line, sizeof line, "  pDev[0] : ST3250823A : /dev/hda : /dev/hda : Ready : HDD : ATA, -1,-1,97,-1 : %llu MB(238475)\n",
                  static_cast<unsigned long long>(table[0].details.hd.free_bytes / 1048576));
    EXPECT_NE(out.find(line), std::string::npos) << out;
    std::snprintf(line, sizeof line, "  pDev[2] : Generic USB Flash Disk : /dev/sda : /dev/sg0 : Ready : HDD : USB, 0,0,0,0 : %llu MB(7633)\n",
                  static_cast<unsigned long long>(table[2].details.hd.free_bytes / 1048576));
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(out.find("  pDev[3] : PIONEER DVDRW DVR111D : /dev/scd0 : /dev/sg2 : Ready : CD-ROM : IEEE-1394, 2,0,0,0 : 0 MB(0)\n"),
              std::string::npos);
    EXPECT_EQ(out.find("pDev[4]"), std::string::npos);
    // Only the not-ready disk was refused; the not-ready writer is listed.
    EXPECT_EQ(out.find("ST373207LW"), std::string::npos);
}

TEST_F(Machine, LetterNamedGenericNodes)
{
    std::vector<ScsiDrive> scsi = {
        {"/dev/sda", 0, scsi_drive(0, 0, 0, "Generic", "USB Flash Disk", kUsbHost)},
        {"/dev/sr0", 1, scsi_drive(5, 1, 0, "PIONEER", "DVD-RW  DVR-111D", "ide-scsi")},
    };
    scsi[0].drive.device_bytes = 1 << 30;
    dvrtest::write_machine(root.path(), {}, scsi, true, "");

    DEV_SG_MAP map[DEV_SG_MAP_SIZE];
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_BuildSgMap(map), 2);
        std::string out = cap.take();
        EXPECT_NE(out.find("Dev_MakeDevName(): k = 26, out of range\n"), std::string::npos) << out;
        EXPECT_NE(out.find("Dev_MakeDevName(): k = 31, out of range\n"), std::string::npos);
    }
    EXPECT_STREQ(map[0].name, "/dev/sga");
    EXPECT_STREQ(map[1].name, "/dev/sgb");
    EXPECT_STREQ(map[25].name, "/dev/sgz");
    EXPECT_STREQ(map[31].name, "/dev/sgxx");
    EXPECT_EQ(map[1].ready, 1);
    EXPECT_EQ(map[1].host, 1);
    EXPECT_EQ(map[2].host, -1);
    EXPECT_EQ(map[2].lun, -1);
    EXPECT_EQ(map[2].ready, 0);

    DEV_INFO table[DEV_MAX_DEVICES] = {};
    CaptureStdout cap;
    ASSERT_EQ(Dev_Get(table), 2);
    cap.take();
    EXPECT_STREQ(table[0].sg, "/dev/sga");
    EXPECT_STREQ(table[1].dev, "/dev/sr0");
    EXPECT_STREQ(table[1].sg, "/dev/sgb");
    EXPECT_EQ(table[1].bus, 0);
    // The USB disk was not mounted and could not be: no statistics.
    EXPECT_EQ(table[0].details.hd.device_bytes, uint64_t(1) << 30);
    EXPECT_EQ(table[0].details.hd.total_bytes, 0u);
}

TEST_F(Machine, NodeNamesBetweenDiskAndGenericNodes)
{
    std::vector<ScsiDrive> scsi = {
        {"/dev/sda", 0, scsi_drive(0, 0, 0, "Generic", "USB Flash Disk", kUsbHost)},
        {"/dev/scd0", 1, scsi_drive(5, 2, 0, "PIONEER", "DVD-RW  DVR-111D", kSbpHostAt0)},
    };
    dvrtest::write_machine(root.path(), {}, scsi, false, "");
    // scd0 is a file of its own with the same address as its generic node.
    ::unlink((root / "dev/scd0").c_str());
    scsi[1].drive.write(root / "dev/scd0");
    // A generic node without a disk or optical node.
    scsi_drive(5, 7, 0, "ALONE", "NO NODE", "x").write(root / "dev/sg3");

    char name[DEV_NODE_SIZE];
    CaptureStdout cap;
    EXPECT_EQ(Dev_SdToSg(name, "/dev/sda"), 0);
    EXPECT_STREQ(name, "/dev/sg0");
    EXPECT_EQ(Dev_SdToSg(name, "/dev/scd0"), 0);
    EXPECT_STREQ(name, "/dev/sg1");
    EXPECT_EQ(Dev_SgToSd(name, "/dev/sg1"), 0);
    EXPECT_STREQ(name, "/dev/scd0");
    std::strcpy(name, "unchanged");
    EXPECT_EQ(Dev_SgToSd(name, "/dev/sg3"), -1);
    EXPECT_STREQ(name, "unchanged");
    EXPECT_EQ(Dev_SdToSg(name, "/dev/sdz"), -1);
    EXPECT_EQ(Dev_SgToSd(name, "/dev/sg9"), -1);
    EXPECT_EQ(Dev_SdToSg(nullptr, "/dev/sda"), -1);
    EXPECT_EQ(Dev_SgToSd(name, nullptr), -1);
    // A destination full of characters is reported without reading past it.
    char full[DEV_NODE_SIZE + 4];
    std::memset(full, 'x', sizeof full);
    full[sizeof full - 1] = '\0';
    EXPECT_EQ(Dev_SdToSg(full, nullptr), -1);

    // A writer that is not ready: found, result 1.
    dvrtest::SimDrive cd = scsi_drive(5, 3, 0, "PLEXTOR", "CD-R   PX-W4824A", kSbpHostAt0);
    cd.ready = false;
    cd.write(root / "dev/sg2");
    dvrtest::SimDrive::link(root / "dev/scd1", root / "dev/sg2");
    // Each lookup tries TEST UNIT READY three times on the writer; two
    // lookups may run at once, so these two do.
    char sg_name[DEV_NODE_SIZE] = {};
    int sd_to_sg = -2;
    std::thread other([&] { sd_to_sg = Dev_SdToSg(sg_name, "/dev/scd1"); });
    EXPECT_EQ(Dev_SgToSd(name, "/dev/sg2"), 1);
    other.join();
    EXPECT_EQ(sd_to_sg, 1);
    EXPECT_STREQ(sg_name, "/dev/sg2");
    EXPECT_STREQ(name, "/dev/scd1");
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_SdToSg(): (/dev/sg2, /dev/scd1) : device not ready!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Dev_SdToSg(): open(/dev/sdz) failed : No such file or directory\n"), std::string::npos);
    EXPECT_NE(out.find("Dev_SdToSg(): ((null), /dev/sda) : Null ptr\n"), std::string::npos);
    EXPECT_NE(out.find("Dev_SdToSg(): (" + std::string(DEV_NODE_SIZE, 'x') + ", (null)) : Null ptr\n"),
              std::string::npos);
    EXPECT_NE(out.find("Dev_SgToSd(): open(/dev/sg9) fail : No such file or directory\n"), std::string::npos);
}

TEST(Names, MajorMinorToNodeName)
{
    struct Case {
        int major, minor, result;
        const char *name;
    } cases[] = {
        {3, 65, 0, "/dev/hdb1"},  {22, 0, 0, "/dev/hdc"},  {8, 31, 0, "/dev/sdb15"}, {65, 0, 0, "/dev/sdq"},
        {71, 255, 0, "/dev/sddx15"}, {9, 1, 0, "/dev/md1"}, {1, 250, 0, "/dev/ram250"}, {57, 64, 0, "/dev/hdl"},
        {31, 5, 1, "/dev/mtdblock"}, {4, 0, -1, "untouched"}, {8, 256, 1, ""}, {8, -1, 1, ""},
    };
    CaptureStdout cap;
    for (const Case &c : cases) {
        char dst[16];
        std::strcpy(dst, "untouched");
        EXPECT_EQ(Dev_ConvertMajorMinor(c.major, c.minor, dst), c.result) << c.major << "," << c.minor;
        EXPECT_STREQ(dst, c.name) << c.major << "," << c.minor;
    }
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_ConvertMajorMinor(): invalid (major, minor) = (31, 5)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("invalid (major, minor) = (8, 256)\n"), std::string::npos);
}

TEST(Names, NumbersToLetters)
{
    struct Case {
        int n;
        const char *letters;
    } cases[] = {{0, "a"}, {25, "z"}, {26, "aa"}, {51, "az"}, {52, "ba"}, {127, "dx"}, {701, "zz"}, {702, "aaa"}};
    for (const Case &c : cases) {
        char dst[16] = "x";
        Dev_ConvertToAlpha(c.n, dst, 0);
        EXPECT_EQ(std::string(dst), std::string("x") + c.letters) << c.n;
    }
    char dst[16] = "";
    EXPECT_EQ(Dev_ConvertToAlpha(-3, dst, 0), -1);
    EXPECT_STREQ(dst, "");
}

TEST(Names, GenericNodeNamesAndRescan)
{
    char name[DEV_NODE_SIZE];
    Dev_MakeDevName(name, 31, 1);
    EXPECT_STREQ(name, "/dev/sg31");
    Dev_MakeDevName(name, 25, 0);
    EXPECT_STREQ(name, "/dev/sgz");
    CaptureStdout cap;
    Dev_MakeDevName(name, 26, 0);
    EXPECT_STREQ(name, "/dev/sgxx");
    EXPECT_EQ(Dev_Get(nullptr), 0);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_Get(): ((nil)) : Null Ptr\n"), std::string::npos) << out;
    EXPECT_EQ(Dev_Rescan(), 0);
}

// Disk statistics of a real block device: a loop device named under the
// board root, the kernel's own mount table.
class HdStat : public Machine {
protected:
    std::vector<std::string> mounted;
    void SetUp() override
    {
        if (!dvrtest::is_root())
            GTEST_SKIP() << "loop devices and mounts need root";
        dvrtest::make_dirs(root / "var");
        dvrtest::make_dirs(root / "dev");
        dvrtest::make_dirs(root / "proc");
        ::symlink("/proc/self/mounts", (root / "proc/mounts").c_str());
        dvrtest::write_file(root / "proc/filesystems", "nodev\ttmpfs\n\text3\n\text2\n");
    }
    void TearDown() override
    {
        for (const auto &d : mounted)
            while (::umount2(d.c_str(), MNT_DETACH) == 0) {
            }
        // Temporary mounts a failing call left under the board's /var.
        dvrtest::unmount_under(root.path());
    }
    DEV_INFO record(const dvrtest::LoopDevice &loop)
    {
        std::string name = loop.dev().substr(loop.dev().rfind('/') + 1);
        ::symlink(loop.dev().c_str(), (root / ("dev/" + name)).c_str());
        DEV_INFO d{};
        std::strcpy(d.dev, loop.dev().c_str());
        std::strcpy(d.model, "LOOP");
        d.ready = 1;
        return d;
    }
    static struct statfs probe(const std::string &dir)
    {
        struct statfs s{};
        EXPECT_EQ(::statfs(dir.c_str(), &s), 0);
        return s;
    }
};

TEST_F(HdStat, UnmountedDiskIsMountedForTheCall)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("mkfs and losetup");
    dvrtest::make_image(root / "disk.img", 8 << 20);
    dvrtest::make_fs("ext2", root / "disk.img");
    dvrtest::LoopDevice loop(root / "disk.img");
    DEV_INFO d = record(loop);

    // What the file system reports when mounted.
    dvrtest::make_dirs(root / "mnt");
    mounted.push_back(root / "mnt");
    ASSERT_EQ(::mount(loop.dev().c_str(), (root / "mnt").c_str(), "ext2", 0, ""), 0);
    struct statfs want = probe(root / "mnt");

    // Mounted: statistics of the existing mount, which stays.
    CaptureStdout cap;
    EXPECT_EQ(Dev_GetHDStat(&d, DEV_FS_AUTO), 0);
    EXPECT_STREQ(d.mpt, (root / "mnt").c_str());
    EXPECT_EQ(d.details.hd.device_bytes, uint64_t(8) << 20);
    EXPECT_EQ(d.details.hd.fs_type, static_cast<uint32_t>(want.f_type));
    EXPECT_EQ(d.details.hd.total_blocks, static_cast<uint32_t>(want.f_blocks));
    EXPECT_EQ(d.details.hd.free_blocks, static_cast<uint32_t>(want.f_bfree));
    EXPECT_EQ(d.details.hd.total_bytes, uint64_t(want.f_blocks) * want.f_bsize);
    EXPECT_EQ(d.details.hd.free_bytes, uint64_t(want.f_bfree) * want.f_bsize);
    ASSERT_EQ(::umount((root / "mnt").c_str()), 0);

    // Not mounted: a temporary mount under the board's /var, released.
    DEV_INFO t = record(loop);
    EXPECT_EQ(Dev_GetHDStat(&t, DEV_FS_AUTO), 1);
    std::string out = cap.take();
    EXPECT_EQ(std::memcmp(t.mpt, std::string(DEV_MPT_SIZE, '\0').data(), DEV_MPT_SIZE), 0);
    EXPECT_EQ(t.details.hd.total_bytes, d.details.hd.total_bytes);
    EXPECT_EQ(t.details.hd.free_bytes, d.details.hd.free_bytes);
    EXPECT_EQ(t.details.hd.device_bytes, uint64_t(8) << 20);
    EXPECT_TRUE(dir_entries(root / "var").empty());
    EXPECT_EQ(dvrtest::read_file("/proc/self/mounts").find(loop.dev()), std::string::npos);
    EXPECT_EQ(out.find("error"), std::string::npos) << out;

    // A chosen row works the same way.
    DEV_INFO c = record(loop);
    CaptureStdout again;
    EXPECT_EQ(Dev_GetHDStat(&c, 1), 1);
    again.take();
    EXPECT_EQ(c.details.hd.total_bytes, d.details.hd.total_bytes);
}

TEST_F(HdStat, DiskWithoutFileSystemFailsCleanly)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("losetup");
    dvrtest::make_image(root / "blank.img", 4 << 20);
    dvrtest::LoopDevice loop(root / "blank.img");
    DEV_INFO d = record(loop);
    CaptureStdout cap;
    EXPECT_EQ(Dev_GetHDStat(&d, DEV_FS_AUTO), -1);
    cap.take();
    EXPECT_EQ(d.details.hd.device_bytes, uint64_t(4) << 20);
    EXPECT_EQ(d.details.hd.total_bytes, 0u);
    EXPECT_EQ(d.mpt[0], '\0');
    EXPECT_TRUE(dir_entries(root / "var").empty());
}

TEST_F(HdStat, TemporaryMountNeedsTheBoardVar)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("mkfs and losetup");
    dvrtest::make_image(root / "disk.img", 8 << 20);
    dvrtest::make_fs("ext2", root / "disk.img");
    dvrtest::LoopDevice loop(root / "disk.img");
    DEV_INFO d = record(loop);
    ::rmdir((root / "var").c_str());
    CaptureStdout cap;
    EXPECT_EQ(Dev_GetHDStat(&d, DEV_FS_AUTO), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_GetHDStat(): mkdtemp(/var/Dev_GetHDStat_XXXXXX) error : No such file or directory\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(d.mpt[0], '\0');
}

} // namespace

namespace {

// Descriptor 0 is a descriptor like any other; opens that fail for want of
// descriptors are reported, never taken for "no device".
TEST_F(Machine, DescriptorZeroAndDescriptorLimits)
{
    std::vector<ScsiDrive> scsi;
    scsi.push_back({"/dev/scd0", 0, scsi_drive(5, 2, 0, "PIONEER", "DVD-RW  DVR-111D", "aic7xxx")});
    dvrtest::write_machine(root.path(), {}, scsi, false, "");
    DEV_INFO table[DEV_MAX_DEVICES] = {};
    {
        // Standard input closed: the lowest free descriptor is 0.
        dvr::UniqueFd saved(::dup(0));
        ASSERT_TRUE(saved.valid());
        ::close(0);
        CaptureStdout cap;
        const int n = Dev_Get(table);
        std::string out = cap.take();
        ::dup2(saved.get(), 0);
        EXPECT_EQ(n, 1) << out;
        EXPECT_STREQ(table[0].dev, "/dev/scd0");
        EXPECT_STREQ(table[0].model, "PIONEER DVDRW DVR111D");
    }
    // No descriptor left: every open fails with EMFILE, and says so.
    struct rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    CaptureStdout cap;
    int free_fd = ::dup(0);
    ASSERT_GE(free_fd, 0);
    ::close(free_fd);
    struct rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(free_fd);
    int n = -1;
    if (::setrlimit(RLIMIT_NOFILE, &low) == 0) {
        n = Dev_Get(table);
        ::setrlimit(RLIMIT_NOFILE, &old);
    }
    std::string out = cap.take();
    if (n == -1)
        GTEST_SKIP() << "the descriptor limit cannot be lowered here";
    EXPECT_EQ(n, 0);
    EXPECT_NE(out.find("Dev_BuildSgMap(): open(/dev/sg0) failed : Too many open files\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Dev_Get(): open(/dev/scd0) failed : Too many open files\n"), std::string::npos) << out;
}

} // namespace
