// labels: root realfs
// Automatic detection and mount-aware removal on file systems that many
// build machines' kernels lack (vfat, udf): each case runs where the
// running kernel lists the type and is skipped with the reason elsewhere.
// The kernel stage of the test command runs this program inside its
// virtual machine, whose kernel has them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "COMMON.h"
#include "DEV.h"
#include "dev_machine.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string mounted_type(const std::string &mpt)
{
    DEV_MTAB_ENTRY e{};
    if (Dev_GetEntryViaMtab(mpt.c_str(), &e) != 0)
        return "";
    return e.type;
}

class RealFileSystems : public ::testing::Test {
protected:
    dvrtest::TempDir root;

    RealFileSystems() { reset_fs_table(); }
    ~RealFileSystems() override
    {
        dvrtest::unmount_under(root.path());
        reset_fs_table();
    }
    static void reset_fs_table()
    {
        for (auto &row : gDevFS)
            row.available = 1;
        gDevFsInit = 0;
    }
    void SetUp() override
    {
        DVRTEST_SKIP_IN_BOARD_GUEST("mkfs, genisoimage and losetup");
        if (!dvrtest::is_root())
            GTEST_SKIP() << "loop devices and mounts need root";
    }
    // An image of the type made by its own mkfs command.
    std::string image(const std::string &name, const std::string &mkfs)
    {
        const std::string path = root / name;
        dvrtest::make_image(path, 8 << 20);
        auto r = dvrtest::shell(mkfs + " " + path + " 2>&1");
        EXPECT_EQ(r.status, 0) << mkfs << ": " << r.out;
        return path;
    }
};

#define NEED_FS(type)                                                                                        \
    do {                                                                                                     \
        if (!dvrtest::kernel_has_fs(type))                                                                   \
            GTEST_SKIP() << "this kernel lists no " type " in /proc/filesystems (the kernel stage of the test " \
                            "command runs this case in a virtual machine that has it)";                      \
    } while (0)

// A vfat image is found by automatic detection (its row comes after ext3
// and ext2), is written through the mount, and COM_Rmdir unmounts it
// before removing the directory.
TEST_F(RealFileSystems, VfatIsDetectedAutomaticallyAndRemovedMountAware)
{
    NEED_FS("vfat");
    const std::string img = image("vfat.img", "mkfs.vfat -n DVRVFAT");
    dvrtest::LoopDevice loop(img);
    const std::string mnt = root / "mnt/vfat";
    dvrtest::make_dirs(mnt);
    {
        CaptureStdout cap;
        const int result = Dev_Mount(loop.dev().c_str(), mnt.c_str(), DEV_FS_AUTO);
        std::string out = cap.take();
        ASSERT_EQ(result, 0) << out;
        EXPECT_NE(out.find("Dev_InitFsArray(): [2] vfat - Enable\n"), std::string::npos) << out;
    }
    EXPECT_EQ(mounted_type(mnt), "vfat");
    dvrtest::write_file(mnt + "/CLIP0001.DAT", "recorded\n");
    EXPECT_EQ(dvrtest::read_file(mnt + "/CLIP0001.DAT"), "recorded\n");

    CaptureStdout cap;
    EXPECT_EQ(COM_Rmdir(mnt.c_str()), 0);
    std::string out = cap.take();
    EXPECT_NE(out.find("COM_Rmdir(): \"" + loop.dev() + "\" mounted on \"" + mnt + "\"\n"), std::string::npos) << out;
    EXPECT_FALSE(exists(mnt));
    EXPECT_EQ(mounted_type(mnt), "");
    // The data reached the image: mounted again, the file is there.
    dvrtest::make_dirs(mnt);
    ASSERT_EQ(Dev_Mount(loop.dev().c_str(), mnt.c_str(), 2), 0);
    EXPECT_EQ(dvrtest::read_file(mnt + "/CLIP0001.DAT"), "recorded\n");
    EXPECT_EQ(Dev_uMount(mnt.c_str()), 0);
}

// The file-system table has no udf row: automatic detection does not
// mount a udf image (the search ends at the first type the kernel does
// not list), though the kernel mounts it when asked by name; COM_Rmdir
// removes such a mount as any other.
TEST_F(RealFileSystems, UdfIsNotAmongTheAutomaticTypesButRemovedMountAware)
{
    NEED_FS("udf");
    const std::string img = image("udf.img", "mkudffs --media-type=hd --blocksize=512 --label=DVRUDF");
    dvrtest::LoopDevice loop(img);
    const std::string mnt = root / "mnt/udf";
    dvrtest::make_dirs(mnt);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_Mount(loop.dev().c_str(), mnt.c_str(), DEV_FS_AUTO), -1);
        std::string out = cap.take();
        EXPECT_EQ(mounted_type(mnt), "") << out;
    }
    ASSERT_EQ(::mount(loop.dev().c_str(), mnt.c_str(), "udf", 0, nullptr), 0) << std::strerror(errno);
    EXPECT_EQ(mounted_type(mnt), "udf");
    dvrtest::write_file(mnt + "/clip.dat", "recorded\n");
    CaptureStdout cap;
    EXPECT_EQ(COM_Rmdir(mnt.c_str()), 0);
    std::string out = cap.take();
    EXPECT_NE(out.find("COM_Rmdir(): \"" + loop.dev() + "\" mounted on \"" + mnt + "\"\n"), std::string::npos) << out;
    EXPECT_FALSE(exists(mnt));
}

// An ISO image is found by automatic detection on the iso9660 row (read
// only) when every row before it is listed or the kernel lists them;
// where an earlier type is missing the search ends there.
TEST_F(RealFileSystems, IsoImageDetectionFollowsTheKernelsList)
{
    NEED_FS("iso9660");
    dvrtest::make_dirs(root / "iso");
    dvrtest::write_file(root / "iso/readme.txt", "disc\n");
    auto r = dvrtest::shell("genisoimage -quiet -V DVRISO -o " + root / "disc.iso" + " " + root / "iso");
    ASSERT_EQ(r.status, 0) << r.err;
    dvrtest::LoopDevice loop(root / "disc.iso");
    const std::string mnt = root / "mnt/iso";
    dvrtest::make_dirs(mnt);
    bool all_listed = true;
    for (const char *t : {"ext3", "ext2", "vfat", "fat", "xfs", "jffs2"})
        all_listed = all_listed && dvrtest::kernel_has_fs(t);
    CaptureStdout cap;
    const int result = Dev_Mount(loop.dev().c_str(), mnt.c_str(), DEV_FS_AUTO);
    std::string out = cap.take();
    if (all_listed) {
        EXPECT_EQ(result, 0) << out;
        EXPECT_EQ(mounted_type(mnt), "iso9660");
    } else {
        EXPECT_EQ(result, -1) << out;
        EXPECT_EQ(mounted_type(mnt), "");
    }
    // By its row it mounts whatever the earlier rows.
    Dev_uMount(mnt.c_str());
    ASSERT_EQ(Dev_Mount(loop.dev().c_str(), mnt.c_str(), 6), 0);
    EXPECT_EQ(dvrtest::read_file(mnt + "/readme.txt"), "disc\n");
    EXPECT_EQ(COM_Rmdir(mnt.c_str()), 0);
    EXPECT_FALSE(exists(mnt));
}

} // namespace
