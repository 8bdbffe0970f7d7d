// labels: root
// Mounts on real loop devices, the mount-table lookups, the kernel's
// file-system list, the boot-record check and mount-aware removal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "COMMON.h"
#include "DEV.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::shell;

namespace {

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// A file of `size` zero bytes.
void make_image(const std::string &path, uint64_t size)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.seekp(static_cast<std::streamoff>(size - 1));
    f.put('\0');
}

void mkfs(const std::string &type, const std::string &target)
{
    auto r = shell("mkfs." + type + " -q -F " + target + " >/dev/null 2>&1");
    if (r.status != 0)
        throw std::runtime_error("mkfs." + type + " " + target + " failed");
}

// A loop device over an image (or a part of it), detached at the end.
class Loop {
public:
    explicit Loop(const std::string &image, uint64_t offset = 0, uint64_t size = 0)
    {
        std::string cmd = "losetup --find --show";
        if (size)
            cmd += " --offset " + std::to_string(offset) + " --sizelimit " + std::to_string(size);
        auto r = shell(cmd + " " + image);
        dev_ = trim(r.out);
        if (r.status != 0 || dev_.empty())
            throw std::runtime_error("losetup failed: " + r.err);
    }
    ~Loop() { shell("losetup -d " + dev_ + " 2>/dev/null"); }
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;
    const std::string &dev() const { return dev_; }

private:
    std::string dev_;
};

// Detaches whatever is still mounted on a directory when the test ends.
struct Unmounter {
    std::vector<std::string> dirs;
    ~Unmounter()
    {
        for (const auto &d : dirs)
            while (::umount2(d.c_str(), MNT_DETACH) == 0) {
            }
    }
};

std::string mounted_type(const std::string &mpt)
{
    DEV_MTAB_ENTRY e{};
    if (Dev_GetEntryViaMtab(mpt.c_str(), &e) != 0)
        return "";
    return e.type;
}

std::string mounted_dev(const std::string &mpt)
{
    char dev[80] = {};
    if (Dev_GetDevViaMount(dev, mpt.c_str()) != 0)
        return "";
    return dev;
}

// Board root with the kernel's mount table, a "/var" for temporary files
// and a file-system list of the test's choosing.
class BoardRoot : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};

    BoardRoot()
    {
        dvrtest::make_dirs(root / "proc");
        dvrtest::make_dirs(root / "var");
        reset_fs_table();
    }
    ~BoardRoot() override { reset_fs_table(); }

    static void reset_fs_table()
    {
        for (auto &row : gDevFS)
            row.available = 1;
        gDevFsInit = 0;
    }
    void kernel_mounts() { ::symlink("/proc/self/mounts", (root / "proc/mounts").c_str()); }
    void filesystems(const std::string &text) { dvrtest::write_file(root / "proc/filesystems", text); }
    // The running kernel's list, as this test machine's kernel has it:
    // without vfat (removed here should a kernel list it).
    void real_filesystems()
    {
        std::string list = dvrtest::read_file("/proc/filesystems");
        for (size_t p; (p = list.find("\tvfat\n")) != std::string::npos;) {
            size_t begin = list.rfind('\n', p);
            begin = begin == std::string::npos ? 0 : begin + 1;
            list.erase(begin, p + 6 - begin);
        }
        filesystems(list);
    }
};

class Mounts : public BoardRoot {
protected:
    Unmounter unmounter;

    void SetUp() override
    {
        if (!dvrtest::is_root())
            GTEST_SKIP() << "mounting needs root";
        kernel_mounts();
        real_filesystems();
    }
    std::string mount_dir(const std::string &name)
    {
        std::string d = root / name;
        dvrtest::make_dirs(d);
        unmounter.dirs.push_back(d);
        return d;
    }
};

TEST_F(Mounts, AutomaticDetectionFindsExt3AndExt2)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("mkfs and losetup");
    make_image(root / "ext3.img", 8 << 20);
    make_image(root / "ext2.img", 8 << 20);
    mkfs("ext3", root / "ext3.img");
    mkfs("ext2", root / "ext2.img");
    Loop l3(root / "ext3.img"), l2(root / "ext2.img");
    std::string mnt = mount_dir("mnt");

    CaptureStdout cap;
    ASSERT_EQ(Dev_Mount(l3.dev().c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    std::string out = cap.take();
    // The file-system list was read once, on this first automatic mount.
    EXPECT_NE(out.find("Dev_InitFsArray(): [0] ext3 - Enable\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Dev_InitFsArray(): [1] ext2 - Enable\n"), std::string::npos);
    EXPECT_NE(out.find("Dev_InitFsArray(): [2] vfat - Disable\n"), std::string::npos);
    EXPECT_EQ(gDevFsInit, 1);
    EXPECT_EQ(mounted_type(mnt), "ext3");
    EXPECT_EQ(mounted_dev(mnt), l3.dev());
    EXPECT_EQ(Dev_uMount(mnt.c_str()), 0);
    EXPECT_EQ(mounted_dev(mnt), "");

    CaptureStdout again;
    ASSERT_EQ(Dev_Mount(l2.dev().c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(again.take().find("Dev_InitFsArray"), std::string::npos);
    EXPECT_EQ(mounted_type(mnt), "ext2");
    // Unmounting by the device node works as well.
    EXPECT_EQ(Dev_uMount(l2.dev().c_str()), 0);
    EXPECT_EQ(mounted_dev(mnt), "");

    // A chosen row is mounted as chosen: ext3 on the ext2 image fails.
    EXPECT_EQ(Dev_Mount(l2.dev().c_str(), mnt.c_str(), 0), -1);
    EXPECT_EQ(Dev_Mount(l2.dev().c_str(), mnt.c_str(), 1), 0);
    EXPECT_EQ(mounted_type(mnt), "ext2");
    EXPECT_EQ(Dev_uMount(mnt.c_str()), 0);
}

// A disk with an MBR partition table; each partition is its own loop
// device, named beside the disk's name for the suffix rule.
class PartitionedDisk : public Mounts {
protected:
    std::unique_ptr<Loop> disk, part1, part2;
    std::string dir;

    void SetUp() override
    {
        DVRTEST_SKIP_IN_BOARD_GUEST("losetup and mkfs");
        Mounts::SetUp();
        if (IsSkipped())
            return;
        const std::string image = root / "disk.img";
        make_image(image, 16 << 20);
        // Partition 1: sectors 2048..14335 (ext2); partition 2: 16384..28671 (ext3).
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        auto entry = [&](int i, uint32_t first, uint32_t count) {
            unsigned char e[16] = {};
            e[4] = 0x83;
            for (int k = 0; k < 4; ++k) {
                e[8 + k] = static_cast<unsigned char>(first >> (8 * k));
                e[12 + k] = static_cast<unsigned char>(count >> (8 * k));
            }
            f.seekp(446 + 16 * i);
            f.write(reinterpret_cast<char *>(e), sizeof e);
        };
        entry(0, 2048, 12288);
        entry(1, 16384, 12288);
        f.seekp(510);
        f.write("\x55\xAA", 2);
        f.close();
        disk = std::make_unique<Loop>(image);
        part1 = std::make_unique<Loop>(image, 2048 * 512ull, 12288 * 512ull);
        part2 = std::make_unique<Loop>(image, 16384 * 512ull, 12288 * 512ull);
        mkfs("ext2", part1->dev());
        mkfs("ext3", part2->dev());
        dir = root / "dev";
        dvrtest::make_dirs(dir);
    }
    void TearDown() override
    {
        for (const auto &d : unmounter.dirs)
            while (::umount2(d.c_str(), MNT_DETACH) == 0) {
            }
        part2.reset();
        part1.reset();
        disk.reset();
    }
    // Names the disk "disk" and the given suffixes after the partitions.
    void name(const std::vector<std::pair<std::string, const Loop *>> &links)
    {
        shell("rm -f " + dir + "/disk*");
        ::symlink(disk->dev().c_str(), (dir + "/disk").c_str());
        for (const auto &[suffix, loop] : links)
            ::symlink(loop->dev().c_str(), (dir + "/disk" + suffix).c_str());
    }
};

TEST_F(PartitionedDisk, SuffixesOneToNineAutomaticZeroToEightChosen)
{
    const std::string src = dir + "/disk";
    std::string mnt = mount_dir("mnt");
    CaptureStdout cap;

    // Automatic: each row over the partitions before the disk itself, so
    // the ext3 row finds partition 2 before the ext2 row reaches partition 1.
    // (The mount table keeps the source name as given.)
    name({{"1", part1.get()}, {"2", part2.get()}});
    ASSERT_EQ(Dev_Mount(src.c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(mounted_dev(mnt), src + "2");
    EXPECT_EQ(mounted_type(mnt), "ext3");
    ASSERT_EQ(Dev_uMount(mnt.c_str()), 0);

    // Automatic never tries suffix 0: the ext3 partition named disk0 is
    // passed over and the ext2 row mounts disk1.
    name({{"0", part2.get()}, {"1", part1.get()}});
    ASSERT_EQ(Dev_Mount(src.c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(mounted_dev(mnt), src + "1");
    EXPECT_EQ(mounted_type(mnt), "ext2");
    ASSERT_EQ(Dev_uMount(mnt.c_str()), 0);

    // A chosen row starts at suffix 0.
    ASSERT_EQ(Dev_Mount(src.c_str(), mnt.c_str(), 0), 0);
    EXPECT_EQ(mounted_dev(mnt), src + "0");
    ASSERT_EQ(Dev_uMount(mnt.c_str()), 0);

    // Suffix 9: reached automatically, never by a chosen row.
    name({{"9", part2.get()}});
    EXPECT_EQ(Dev_Mount(src.c_str(), mnt.c_str(), 0), -1);
    EXPECT_EQ(mounted_dev(mnt), "");
    ASSERT_EQ(Dev_Mount(src.c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(mounted_dev(mnt), src + "9");
    ASSERT_EQ(Dev_uMount(mnt.c_str()), 0);

    // A source ending in a digit names a partition: no suffix is added.
    name({{"1", part1.get()}, {"11", part2.get()}});
    ASSERT_EQ(Dev_Mount((src + "1").c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(mounted_dev(mnt), src + "1");
    ASSERT_EQ(Dev_uMount(mnt.c_str()), 0);
}

TEST_F(PartitionedDisk, BootRecordSignature)
{
    EXPECT_EQ(Dev_CheckPartition(disk->dev().c_str()), 0);
    EXPECT_EQ(Dev_CheckPartition(part1->dev().c_str()), 1);
}

TEST_F(Mounts, NoFileSystemStopsAtTheFirstUnavailableType)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("losetup");
    make_image(root / "blank.img", 4 << 20);
    Loop blank(root / "blank.img");
    std::string mnt = mount_dir("mnt");
    CaptureStdout cap;

    // This kernel lists no vfat: nothing after ext2 is tried, so the tmpfs
    // row (which would mount whatever the source) is never reached.
    ASSERT_EQ(dvrtest::read_file(root / "proc/filesystems").find("vfat"), std::string::npos);
    EXPECT_EQ(Dev_Mount(blank.dev().c_str(), mnt.c_str(), DEV_FS_AUTO), -1);
    EXPECT_EQ(mounted_dev(mnt), "");
    EXPECT_EQ(gDevFS[2].available, 0);

    // With every type listed the search runs through all rows to tmpfs.
    reset_fs_table();
    filesystems("\text3\n\text2\n\tvfat\n\tfat\n\txfs\n\tjffs2\n\tiso9660\n\tsmbfs\nnodev\tnfs\nnodev\ttmpfs\n");
    EXPECT_EQ(Dev_Mount(blank.dev().c_str(), mnt.c_str(), DEV_FS_AUTO), 0);
    EXPECT_EQ(mounted_type(mnt), "tmpfs");
    EXPECT_EQ(Dev_uMount(mnt.c_str()), 0);
}

TEST_F(Mounts, UnmountFailuresAreReported)
{
    std::string dir = mount_dir("plain");
    CaptureStdout cap;
    EXPECT_EQ(Dev_uMount(dir.c_str()), -1);
    EXPECT_EQ(Dev_uMount(nullptr), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_uMount(): umount(" + dir + ") failed : Invalid argument\n"), std::string::npos) << out;
}

TEST_F(Mounts, RmdirUnmountsFirst)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("mkfs and losetup");
    make_image(root / "ext2.img", 4 << 20);
    mkfs("ext2", root / "ext2.img");
    Loop loop(root / "ext2.img");
    std::string mnt = mount_dir("rm/mnt");
    ASSERT_EQ(Dev_Mount(loop.dev().c_str(), mnt.c_str(), 1), 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_Rmdir(mnt.c_str()), 0);
        std::string out = cap.take();
        EXPECT_NE(out.find("MODULES/COMMON,"), std::string::npos);
        EXPECT_NE(out.find("COM_Rmdir(): \"" + loop.dev() + "\" mounted on \"" + mnt + "\"\n"), std::string::npos) << out;
        EXPECT_FALSE(exists(mnt));
        EXPECT_EQ(mounted_dev(mnt), "");
    }

    // A busy file system stays mounted and the directory stays.
    dvrtest::make_dirs(mnt);
    ASSERT_EQ(Dev_Mount(loop.dev().c_str(), mnt.c_str(), 1), 0);
    {
        int busy = ::open((mnt + "/lost+found").c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(busy, 0);
        CaptureStdout cap;
        EXPECT_EQ(COM_Rmdir(mnt.c_str()), -1);
        std::string out = cap.take();
        ::close(busy);
        EXPECT_NE(out.find("Dev_uMount(): umount(" + mnt + ") failed : Device or resource busy\n"), std::string::npos) << out;
        EXPECT_NE(out.find("COM_Rmdir(): Dev_uMount(" + mnt + ") failed\n"), std::string::npos);
        EXPECT_EQ(out.find("rmdir("), std::string::npos);
        EXPECT_TRUE(exists(mnt));
        EXPECT_EQ(mounted_dev(mnt), loop.dev());
    }
    EXPECT_EQ(COM_Rmdir(mnt.c_str()), 0);
}

TEST_F(Mounts, RmdirOfPlainDirectories)
{
    std::string empty = root / "empty", full = root / "full", missing = root / "missing";
    dvrtest::make_dirs(empty);
    dvrtest::make_dirs(full);
    dvrtest::write_file(full + "/file", "x");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_Rmdir(empty.c_str()), 0);
        EXPECT_EQ(cap.take(), "");
        EXPECT_FALSE(exists(empty));
    }
    struct Case {
        std::string path, error;
    } cases[] = {{full, "Directory not empty"}, {missing, "No such file or directory"}};
    for (const Case &c : cases) {
        CaptureStdout cap;
        EXPECT_EQ(COM_Rmdir(c.path.c_str()), -1);
        std::string out = cap.take();
        EXPECT_EQ(out.rfind("MODULES/COMMON,", 0), 0u) << out;
        EXPECT_NE(out.find(":COM_Rmdir(): rmdir(" + c.path + ") failed : " + c.error + "\n"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
    EXPECT_TRUE(exists(full + "/file"));
}

// Lookups in a mount table written by the test (no root needed).
class MountTable : public BoardRoot {
protected:
    std::string long_point = "/mnt/" + std::string(90, 'p');
    std::string long_device = "/dev/" + std::string(200, 'd');
    std::string long_options = "rw," + std::string(300, 'o');

    void SetUp() override
    {
        dvrtest::write_file(root / "proc/mounts",
                            "rootfs / rootfs rw 0 0\n"
                            "/dev/sda1 /mnt/a ext3 rw,noatime 0 0\n"
                            "/dev/sda /mnt/whole ext2 rw 0 0\n"
                            "/dev/sdb1 /mnt/b ext2 ro 0 0\n"
                            "/dev/sdc1 /mnt/b ext3 rw 0 0\n"
                            "/dev/sdd1 " + long_point + " ext2 rw 0 0\n" +
                            long_device + " /mnt/long ext2 " + long_options + " 0 0\n"
                            "/dev/sde1\n"
                            "/dev/sde1 /mnt/e ext2\n"
                            "/dev/sde1 /mnt/e2 ext2 rw 0 0\n");
    }
};

TEST_F(MountTable, MountPointOfDeviceOrPartition)
{
    struct Case {
        const char *dev;
        int n;
        int result;
        std::string mpt;
    } cases[] = {
        {"/dev/sda", 0, 0, "/mnt/a"},      // first line whose device begins with it
        {"/dev/sda", 8, 0, "/mnt/whole"},  // only the whole-disk name
        {"/dev/sdb", 8, -1, "untouched"},
        {"/dev/sdb1", 0, 0, "/mnt/b"},
        {"/dev/sde1", 0, 0, "/mnt/e"},     // a line without a mount point is passed over
        {"/dev/sdz", 0, -1, "untouched"},
    };
    for (const Case &c : cases) {
        char mpt[DEV_MPT_SIZE] = "untouched";
        CaptureStdout cap;
        EXPECT_EQ(Dev_nGetMPT(c.dev, mpt, c.n), c.result) << c.dev << " " << c.n;
        EXPECT_EQ(std::string(mpt), c.mpt) << c.dev << " " << c.n;
    }
    char mpt[DEV_MPT_SIZE] = "untouched";
    EXPECT_EQ(Dev_GetMPT("/dev/sda", mpt), 0);
    EXPECT_STREQ(mpt, "/mnt/a");

    // A mount point longer than the 80-byte destination is refused.
    char guarded[DEV_MPT_SIZE + 16];
    std::memset(guarded, 'G', sizeof guarded);
    std::memcpy(guarded, "untouched", 10);
    CaptureStdout cap;
    EXPECT_EQ(Dev_GetMPT("/dev/sdd1", guarded), -1);
    EXPECT_STREQ(guarded, "untouched");
    EXPECT_EQ(guarded[DEV_MPT_SIZE], 'G');
    EXPECT_NE(cap.take().find("Dev_nGetMPT(): mount point of /dev/sdd1 longer than 79 characters"), std::string::npos);
}

TEST_F(MountTable, DeviceOnAMountPoint)
{
    struct Case {
        const char *mpt;
        int result;
        std::string dev;
    } cases[] = {
        {"/mnt/b", 0, "/dev/sdc1"},   // the last of two lines
        {"/mnt/a", 0, "/dev/sda1"},
        {"/mnt", -1, "untouched"},     // compared whole
        {"/mnt/a/", -1, "untouched"},
    };
    for (const Case &c : cases) {
        char dev[80] = "untouched";
        EXPECT_EQ(Dev_GetDevViaMount(dev, c.mpt), c.result) << c.mpt;
        EXPECT_EQ(std::string(dev), c.dev) << c.mpt;
    }
    // A device name longer than 79 characters is cut, and said so.
    char dev[96];
    std::memset(dev, 'G', sizeof dev);
    CaptureStdout cap;
    EXPECT_EQ(Dev_GetDevViaMount(dev, "/mnt/long"), 0);
    EXPECT_EQ(std::string(dev), long_device.substr(0, 79));
    EXPECT_EQ(dev[80], 'G');
    EXPECT_NE(cap.take().find("Dev_GetDevViaMount(): device name cut to 79 characters"), std::string::npos);
}

TEST_F(MountTable, EntryByDeviceOrMountPoint)
{
    DEV_MTAB_ENTRY e{};
    ASSERT_EQ(Dev_GetEntryViaMtab("/mnt/a", &e), 0);
    EXPECT_STREQ(e.dev, "/dev/sda1");
    EXPECT_STREQ(e.mpt, "/mnt/a");
    EXPECT_STREQ(e.type, "ext3");
    EXPECT_STREQ(e.opts, "rw,noatime");
    ASSERT_EQ(Dev_GetEntryViaMtab("/dev/sdb1", &e), 0);
    EXPECT_STREQ(e.mpt, "/mnt/b");
    // Lines with fewer than four fields are skipped.
    ASSERT_EQ(Dev_GetEntryViaMtab("/dev/sde1", &e), 0);
    EXPECT_STREQ(e.mpt, "/mnt/e2");
    // Fields are cut to their widths; a long line is read whole.
    ASSERT_EQ(Dev_GetEntryViaMtab("/mnt/long", &e), 0);
    EXPECT_EQ(std::string(e.dev), long_device.substr(0, 127));
    EXPECT_EQ(std::string(e.opts), long_options.substr(0, 239));
    EXPECT_EQ(Dev_GetEntryViaMtab("/mnt/none", &e), -1);
}

TEST_F(MountTable, NullArgumentsAndMissingTable)
{
    char buf[80];
    DEV_MTAB_ENTRY e{};
    CaptureStdout cap;
    EXPECT_EQ(Dev_nGetMPT(nullptr, buf, 0), -1);
    EXPECT_EQ(Dev_GetDevViaMount(nullptr, "/mnt/a"), -1);
    EXPECT_EQ(Dev_GetEntryViaMtab(nullptr, &e), -1);
    ::unlink((root / "proc/mounts").c_str());
    EXPECT_EQ(Dev_GetMPT("/dev/sda", buf), -1);
    EXPECT_EQ(Dev_GetDevViaMount(buf, "/mnt/a"), -1);
    EXPECT_EQ(Dev_GetEntryViaMtab("/mnt/a", &e), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_nGetMPT(): ((nil), "), std::string::npos) << out;
    EXPECT_NE(out.find("Dev_GetEntryViaMtab(): fopen(/proc/mounts) error : No such file or directory\n"),
              std::string::npos) << out;
}

TEST_F(BoardRoot, FileSystemListMarksMissingTypes)
{
    filesystems("nodev\tsysfs\nnodev\ttmpfs\n\text2\n\text4\n\tfuseblk\n");
    CaptureStdout cap;
    Dev_InitFsArray();
    std::string out = cap.take();
    const int enabled[DEV_FS_COUNT] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < DEV_FS_COUNT; ++i) {
        EXPECT_EQ(gDevFS[i].available, enabled[i]) << gDevFS[i].type;
        std::string line = "[" + std::to_string(i) + "] " + gDevFS[i].type + (enabled[i] ? " - Enable\n" : " - Disable\n");
        EXPECT_NE(out.find("Dev_InitFsArray(): " + line), std::string::npos) << line;
    }
    // A row once cleared is never set again; without the list none stays.
    filesystems("\text3\n\text2\n");
    CaptureStdout cap1;
    Dev_InitFsArray();
    EXPECT_NE(cap1.take().find("[0] ext3 - Disable\n"), std::string::npos);
    EXPECT_EQ(gDevFS[0].available, 0);
    EXPECT_EQ(gDevFS[1].available, 1);
    ::unlink((root / "proc/filesystems").c_str());
    CaptureStdout cap2;
    Dev_InitFsArray();
    for (const auto &row : gDevFS)
        EXPECT_EQ(row.available, 0) << row.type;
}

TEST_F(BoardRoot, BootRecordOfFiles)
{
    std::string with = root / "with", without = root / "without", shortf = root / "short";
    std::string sector(512, '\0');
    dvrtest::write_file(without, sector);
    sector[510] = '\x55';
    sector[511] = '\xAA';
    dvrtest::write_file(with, sector);
    dvrtest::write_file(shortf, std::string(100, '\0'));
    CaptureStdout cap;
    EXPECT_EQ(Dev_CheckPartition(with.c_str()), 0);
    EXPECT_EQ(Dev_CheckPartition(without.c_str()), 1);
    EXPECT_EQ(Dev_CheckPartition(shortf.c_str()), 2);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_CheckPartition(): read(" + shortf + ") error : "), std::string::npos) << out;
    CaptureStdout quiet;
    EXPECT_EQ(Dev_CheckPartition((root / "missing").c_str()), -1);
    EXPECT_EQ(quiet.take(), "");
}

} // namespace

namespace {

// The kernel writes a space, tab, line feed or backslash in a mount-table
// field as a backslash and three octal digits.
TEST_F(BoardRoot, EscapedMountTableFieldsAreDecoded)
{
    dvrtest::write_file(root / "proc/mounts",
                        "rootfs / rootfs rw 0 0\n"
                        "/dev/sdb1 /mnt/my\\040disk ext2 rw 0 0\n"
                        "/dev/disk\\011tab /mnt/t\\134x ext3 rw,a\\040b 0 0\n"
                        "/dev/sdc1 /mnt/odd\\9 ext2 rw 0 0\n");
    char mpt[DEV_MPT_SIZE] = {};
    EXPECT_EQ(Dev_GetMPT("/dev/sdb1", mpt), 0);
    EXPECT_STREQ(mpt, "/mnt/my disk");
    EXPECT_EQ(Dev_nGetMPT("/dev/disk\ttab", mpt, 13), 0);
    EXPECT_STREQ(mpt, "/mnt/t\\x");
    EXPECT_EQ(Dev_GetMPT("/dev/sdc1", mpt), 0);
    EXPECT_STREQ(mpt, "/mnt/odd\\9"); // no escape: kept as written
    char dev[80] = {};
    EXPECT_EQ(Dev_GetDevViaMount(dev, "/mnt/my disk"), 0);
    EXPECT_STREQ(dev, "/dev/sdb1");
    EXPECT_EQ(Dev_GetDevViaMount(dev, "/mnt/my\\040disk"), -1);
    DEV_MTAB_ENTRY e{};
    EXPECT_EQ(Dev_GetEntryViaMtab("/mnt/t\\x", &e), 0);
    EXPECT_STREQ(e.dev, "/dev/disk\ttab");
    EXPECT_STREQ(e.opts, "rw,a b");
}

// A real mount on a directory with a space, in a private mount namespace
// of a child process: found by every lookup and unmounted by its name.
TEST_F(BoardRoot, MountPointWithASpaceInAPrivateNamespace)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "mount namespaces need root";
    const std::string point = root / "my disk";
    dvrtest::make_dirs(point);
    ::unlink((root / "proc/mounts").c_str());
    ASSERT_EQ(::symlink("/proc/self/mounts", (root / "proc/mounts").c_str()), 0);
    fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(10);
        if (::mount("dvrtest space", point.c_str(), "tmpfs", 0, "size=64k") != 0)
            _exit(11);
        char mpt[DEV_MPT_SIZE] = {};
        if (Dev_GetMPT("dvrtest space", mpt) != 0 || point != mpt)
            _exit(1);
        char dev[80] = {};
        if (Dev_GetDevViaMount(dev, point.c_str()) != 0 || std::string(dev) != "dvrtest space")
            _exit(2);
        DEV_MTAB_ENTRY e{};
        if (Dev_GetEntryViaMtab(point.c_str(), &e) != 0 || std::string(e.type) != "tmpfs")
            _exit(3);
        if (Dev_uMount("dvrtest space") != 0)
            _exit(4);
        if (Dev_GetMPT("dvrtest space", mpt) != -1)
            _exit(5);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1-5: the check that failed; 10, 11: no namespace or mount";
}

} // namespace

// ---------------------------------------------------------------------
// Escapes at the edges of a field
// ---------------------------------------------------------------------

TEST_F(BoardRoot, EscapeAtTheVeryEndOfAFieldIsDecoded)
{
    dvrtest::write_file(root / "proc/mounts",
                        "/dev/sdb1 /mnt/end\\040 ext2 rw 0 0\n"
                        "/dev/sdc1 /mnt/cut\\04 ext2 rw 0 0\n"
                        "\\134dev/sdd1 \\040 ext2 rw,x\\011 0 0\n");
    char mpt[DEV_MPT_SIZE] = {};
    EXPECT_EQ(Dev_GetMPT("/dev/sdb1", mpt), 0);
    EXPECT_STREQ(mpt, "/mnt/end ");
    EXPECT_EQ(Dev_GetMPT("/dev/sdc1", mpt), 0);
    EXPECT_STREQ(mpt, "/mnt/cut\\04"); // two digits: no escape
    char dev[80] = {};
    EXPECT_EQ(Dev_GetDevViaMount(dev, "/mnt/end "), 0);
    EXPECT_STREQ(dev, "/dev/sdb1");
    // A field that is one escape, and one that begins with one.
    EXPECT_EQ(Dev_GetDevViaMount(dev, " "), 0);
    EXPECT_STREQ(dev, "\\dev/sdd1");
    DEV_MTAB_ENTRY e{};
    EXPECT_EQ(Dev_GetEntryViaMtab(" ", &e), 0);
    EXPECT_STREQ(e.dev, "\\dev/sdd1");
    EXPECT_STREQ(e.opts, "rw,x\t");
}
