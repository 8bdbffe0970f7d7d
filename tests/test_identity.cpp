// labels: root
// Disk identity and SMART values from the IDE driver's files under the
// board root, the identity file on a real mounted disk, and the
// temperature watch's state table step by step.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "DEV.h"
#include "dev_machine.h"
#include "identity_internal.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

const std::string kSerial = "     WD-WMAJ91234567";   // 20 characters, as the drive pads it
const std::string kFirmware = "20.06C06";
const std::string kModel = "WDC WD800JB-00JJC0                      "; // 40

class Ide : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};

    void identify(char letter, const std::string &text)
    {
        dvrtest::make_dirs(root / (std::string("proc/ide/hd") + letter));
        dvrtest::write_file(root / (std::string("proc/ide/hd") + letter + "/identify"), text);
    }
    void smart(char letter, const std::vector<std::pair<uint8_t, uint64_t>> &attributes)
    {
        dvrtest::make_dirs(root / (std::string("proc/ide/hd") + letter));
        dvrtest::write_file(root / (std::string("proc/ide/hd") + letter + "/smart_values"),
                            dvrtest::ide_dump(dvrtest::smart_data(attributes)));
    }
};

TEST_F(Ide, IdentifyGivesSerialFirmwareAndModel)
{
    identify('a', dvrtest::ide_dump(dvrtest::ata_identify(kSerial, kFirmware, kModel)));
    char sn[21], fw[9], model[41];
    std::memset(sn, 'x', sizeof sn);
    ASSERT_EQ(Dev_GetDevIdentify("/dev/hda", sn, fw, model), 0);
    EXPECT_EQ(std::string(sn), kSerial);
    EXPECT_EQ(std::string(fw), kFirmware);
    EXPECT_EQ(std::string(model), kModel);
    // Any buffer may be left out; a bare name works as well.
    char only[21] = {};
    EXPECT_EQ(Dev_GetDevIdentify("hda", only, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(only), kSerial);

    CaptureStdout cap;
    EXPECT_EQ(Dev_GetDevIdentify("/dev/hdb", sn, nullptr, nullptr), -1); // no such disk: silent
    EXPECT_EQ(cap.take(), "");

    // 90 bytes of text are too few.
    std::string dump = dvrtest::ide_dump(dvrtest::ata_identify(kSerial, kFirmware, kModel));
    identify('c', dump.substr(0, 45 * 5));
    CaptureStdout cap2;
    EXPECT_EQ(Dev_GetDevIdentify("/dev/hdc", sn, nullptr, nullptr), -1);
    EXPECT_EQ(Dev_GetDevIdentify("/dev/hda", nullptr, nullptr, nullptr), -1);
    std::string out = cap2.take();
    EXPECT_NE(out.find("Dev_GetDevIdentify(): count error : (count, size, limit) = (90, 180, 94)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Dev_GetDevIdentify(): Invalid input : (pDevPath, pSN, pFwRev, pModel) = ("), std::string::npos);
}

TEST_F(Ide, SmartAttributesFromTheDump)
{
    smart('a', {{1, 0}, {5, 0}, {9, 0x1234}, {12, 412}, {194, 41}});
    struct Case {
        uint8_t id;
        int result;
        uint8_t value;
    } cases[] = {{194, 0, 41}, {9, 0, 0x34}, {12, 0, 412 & 0xFF}, {1, 0, 0}, {200, -1, 0xEE}};
    for (const Case &c : cases) {
        DEV_SMART_REQ req{c.id, 0xEE};
        EXPECT_EQ(Dev_GetSmartValue("/dev/hda", &req), c.result) << int(c.id);
        EXPECT_EQ(req.value, c.value) << int(c.id);
    }
    // A temperature below zero reads as a signed byte.
    smart('b', {{194, 0xF6}});
    DEV_SMART_REQ cold{DEV_SMART_TEMPERATURE, 0};
    EXPECT_EQ(Dev_GetSmartValue("hdb", &cold), 0);
    EXPECT_EQ(static_cast<int8_t>(cold.value), -10);

    // The last table entry: its raw byte still lies within the text.
    std::vector<std::pair<uint8_t, uint64_t>> full;
    for (int i = 0; i < 29; ++i)
        full.push_back({static_cast<uint8_t>(100 + i), 0});
    full.push_back({194, 38});
    smart('d', full);
    DEV_SMART_REQ last{DEV_SMART_TEMPERATURE, 0};
    EXPECT_EQ(Dev_GetSmartValue("/dev/hdd", &last), 0);
    EXPECT_EQ(last.value, 38);

    CaptureStdout cap;
    DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
    EXPECT_EQ(Dev_GetSmartValue("/dev/hdh", &req), -1); // no such disk: silent
    // Fewer than 30 digits.
    dvrtest::make_dirs(root / "proc/ide/hde");
    dvrtest::write_file(root / "proc/ide/hde/smart_values", "0010 c200 2900 0000\n");
    EXPECT_EQ(Dev_GetSmartValue("/dev/hde", &req), -1);
    EXPECT_EQ(cap.take(), "");
    // A file that cannot be opened for another reason is reported,
    // without a function name.
    dvrtest::make_dirs(root / "proc/ide/hdf");
    ::symlink("smart_values", (root / "proc/ide/hdf/smart_values").c_str());
    CaptureStdout cap2;
    EXPECT_EQ(Dev_GetSmartValue("/dev/hdf", &req), -1);
    EXPECT_EQ(Dev_GetSmartValue(nullptr, &req), -1);
    std::string out = cap2.take();
    EXPECT_NE(out.find(": open(/proc/ide/hdf/smart_values) error : Too many levels of symbolic links\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Dev_GetSmartValue(): open"), std::string::npos);
    EXPECT_NE(out.find("Dev_GetSmartValue(): Invalid Input : (pDev, pSmart) = ((null), "), std::string::npos);
}

// The identity file on a real disk: a mounted loop device that the board's
// mount table names as the first partition of an IDE disk.
class IdentityFile : public Ide {
protected:
    std::vector<std::string> mounted;
    void SetUp() override
    {
        if (!dvrtest::is_root())
            GTEST_SKIP() << "loop devices and mounts need root";
    }
    void TearDown() override
    {
        for (const auto &d : mounted)
            while (::umount2(d.c_str(), MNT_DETACH) == 0) {
            }
    }
};

TEST_F(IdentityFile, WrittenOnceThenRead)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("mkfs and losetup");
    dvrtest::make_image(root / "disk.img", 4 << 20);
    dvrtest::make_fs("ext2", root / "disk.img");
    dvrtest::LoopDevice loop(root / "disk.img");
    const std::string mnt = root / "mnt/disk";
    const std::string other = root / "mnt/usb";
    dvrtest::make_dirs(mnt);
    dvrtest::make_dirs(other);
    mounted.push_back(mnt);
    ASSERT_EQ(::mount(loop.dev().c_str(), mnt.c_str(), "ext2", 0, ""), 0);
    identify('a', dvrtest::ide_dump(dvrtest::ata_identify(kSerial, kFirmware, kModel)));
    dvrtest::make_dirs(root / "proc");
    dvrtest::write_file(root / "proc/mounts", "rootfs / rootfs rw 0 0\n/dev/hda1 " + mnt +
                                                  " ext2 rw 0 0\n/dev/sda1 " + other + " ext2 rw 0 0\n");

    char id[256];
    std::memset(id, 'x', sizeof id);
    ASSERT_EQ(Dev_GetIDViaMount(id, mnt.c_str()), 0);
    EXPECT_EQ(std::string(id), kSerial);
    // On the disk itself, without a line end.
    EXPECT_EQ(dvrtest::read_file(mnt + "/ID"), kSerial);

    // An existing identity is only read, never rewritten.
    dvrtest::write_file(mnt + "/ID", "MOVED-DISK-0001");
    ASSERT_EQ(Dev_GetIDViaMount(id, mnt.c_str()), 0);
    EXPECT_STREQ(id, "MOVED-DISK-0001");
    EXPECT_EQ(dvrtest::read_file(mnt + "/ID"), "MOVED-DISK-0001");
    ASSERT_EQ(Dev_GetIDViaDev(id, "/dev/hda"), 0);
    EXPECT_STREQ(id, "MOVED-DISK-0001");
    EXPECT_EQ(Dev_SaveID(mnt.c_str()), 0);
    EXPECT_EQ(dvrtest::read_file(mnt + "/ID"), kSerial);

    // Only IDE disks have identities; unmounted devices have none.
    CaptureStdout cap;
    EXPECT_EQ(Dev_SaveID(other.c_str()), -1);
    EXPECT_EQ(Dev_GetIDViaMount(id, other.c_str()), -1);
    EXPECT_NE(access((other + "/ID").c_str(), F_OK), 0);
    EXPECT_EQ(Dev_GetIDViaDev(id, "/dev/hdb"), -1);
    EXPECT_EQ(Dev_SaveID((root / "mnt").c_str()), -1);
    EXPECT_EQ(Dev_GetIDViaMount(nullptr, mnt.c_str()), -1);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_GetIDViaMount(): ((nil), "), std::string::npos) << out;
}

// ---------------------------------------------------------------------
// The temperature watch's state table, one step at a time.
// ---------------------------------------------------------------------

time_t gNow = 0;
time_t fake_clock() { return gNow; }

struct Call {
    int index;
    const DEV_TEMP_DISK *disk;
    int32_t now;
};
std::vector<Call> gHigh, gNormal;
int on_high(int index, DEV_TEMP_DISK *d, int32_t now)
{
    gHigh.push_back({index, d, now});
    return 0;
}
int on_normal(int index, DEV_TEMP_DISK *d, int32_t now)
{
    gNormal.push_back({index, d, now});
    return 0;
}

class TempSteps : public Ide {
protected:
    DEV_TEMP_WATCH w{};
    DEV_TEMP_DISK &disk = w.disks[3];

    TempSteps()
    {
        dvr::dev::set_temp_watch_clock(fake_clock);
        gHigh.clear();
        gNormal.clear();
        w.high = 55;
        w.low = 50;
        w.hold = 600;
        w.on_high = on_high;
        w.on_normal = on_normal;
        std::strcpy(disk.name, "hdd");
        disk.state = DEV_TEMP_NORMAL;
        disk.since = -1;
    }
    ~TempSteps() override { dvr::dev::set_temp_watch_clock(nullptr); }

    int step(int temperature, time_t now)
    {
        smart('d', {{9, 1000}, {194, static_cast<uint64_t>(temperature & 0xFF)}});
        gNow = now;
        DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
        int s = Dev_SubTempWatch(&w, &disk, &req, 3);
        EXPECT_EQ(static_cast<int8_t>(req.value), temperature);
        return s;
    }
};

TEST_F(TempSteps, HotForTheHoldTimeThenBackToNormal)
{
    struct Step {
        int t;
        time_t now;
        int state, prev;
        int32_t since;
        size_t highs, normals;
    } steps[] = {
        {56, 1000, 2, 1, 1000, 0, 0},  // rising from now on
        {57, 1300, 2, 1, 1000, 0, 0},  // not yet for 600 seconds
        {56, 1600, 3, 2, 1000, 1, 0},  // 600 seconds at or above 55: hot
        {52, 1900, 3, 2, 1000, 1, 0},  // the band keeps a hot disk hot
        {58, 2000, 3, 2, 1000, 1, 0},
        {50, 2200, 4, 3, 2200, 1, 0},  // at the low mark: cooling
        {48, 2500, 4, 3, 2200, 1, 0},
        {50, 2800, 5, 4, 2200, 1, 1},  // 600 more seconds: back to normal
        {49, 3100, 1, 5, 2200, 1, 1},  // next pass: normal
        {45, 3400, 1, 1, 2200, 1, 1},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(std::to_string(s.t) + " at " + std::to_string(s.now));
        EXPECT_EQ(step(s.t, s.now), s.state);
        EXPECT_EQ(disk.state, s.state);
        EXPECT_EQ(disk.prev_state, s.prev);
        EXPECT_EQ(disk.since, s.since);
        EXPECT_EQ(gHigh.size(), s.highs);
        EXPECT_EQ(gNormal.size(), s.normals);
    }
    ASSERT_EQ(gHigh.size(), 1u);
    EXPECT_EQ(gHigh[0].index, 3);
    EXPECT_EQ(gHigh[0].disk, &disk);
    EXPECT_EQ(gHigh[0].now, 1600);
    ASSERT_EQ(gNormal.size(), 1u);
    EXPECT_EQ(gNormal[0].now, 2800);
}

TEST_F(TempSteps, TheBandTakesBackARisingOrCoolingStep)
{
    EXPECT_EQ(step(60, 100), 2);
    EXPECT_EQ(step(53, 200), 1); // rising taken back: the state before it
    EXPECT_EQ(disk.prev_state, 1);
    EXPECT_EQ(step(60, 300), 2);
    EXPECT_EQ(step(60, 900), 3);
    EXPECT_EQ(step(45, 1000), 4);
    EXPECT_EQ(step(53, 1100), 3); // cooling taken back: hot again
    EXPECT_EQ(disk.prev_state, 3);
    // Cooling, then hot again: rising, the clock restarted.
    EXPECT_EQ(step(45, 1200), 4);
    EXPECT_EQ(step(56, 1300), 2);
    EXPECT_EQ(disk.since, 1300);
    EXPECT_EQ(disk.prev_state, 4);
    // From back-to-normal, heat starts a new rise.
    w.hold = 0;
    EXPECT_EQ(step(45, 1400), 4);
    EXPECT_EQ(step(45, 1400), 5);
    EXPECT_EQ(step(70, 1500), 2);
    EXPECT_EQ(disk.since, 1500);
    EXPECT_EQ(gHigh.size(), 1u);
    EXPECT_EQ(gNormal.size(), 1u);
}

TEST_F(TempSteps, UnreadableDiskAndUnknownStateChangeNothing)
{
    w.on_high = nullptr;
    w.on_normal = nullptr;
    EXPECT_EQ(step(60, 100), 2);
    EXPECT_EQ(step(60, 800), 3); // without callbacks
    ::unlink((root / "proc/ide/hdd/smart_values").c_str());
    DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
    gNow = 5000;
    EXPECT_EQ(Dev_SubTempWatch(&w, &disk, &req, 3), 3);
    EXPECT_EQ(disk.prev_state, 2);

    disk.state = 9;
    CaptureStdout cap;
    EXPECT_EQ(step(60, 6000), 9);
    EXPECT_EQ(step(52, 6100), 9);
    EXPECT_EQ(step(40, 6200), 9);
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_SubTempWatch(): undeined status [9]\n"), std::string::npos) << out;
    // Reported for the hot and the cool reading, not for the band.
    size_t first = out.find("undeined"), second = out.find("undeined", first + 1);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(out.find("undeined", second + 1), std::string::npos);
}

} // namespace

namespace {

TEST_F(Ide, SmartSearchStaysInTheAttributeTable)
{
    // Thirty entries without 194, then vendor bytes shaped like one.
    std::vector<std::pair<uint8_t, uint64_t>> full;
    for (int i = 0; i < 30; ++i)
        full.push_back({static_cast<uint8_t>(100 + i), 0});
    auto block = dvrtest::smart_data(full);
    block[2 + 30 * 12] = 194;
    block[2 + 30 * 12 + 5] = 99;
    dvrtest::make_dirs(root / "proc/ide/hda");
    dvrtest::write_file(root / "proc/ide/hda/smart_values", dvrtest::ide_dump(block));
    DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0xEE};
    EXPECT_EQ(Dev_GetSmartValue("/dev/hda", &req), -1);
    EXPECT_EQ(req.value, 0xEE);
}

} // namespace

namespace {

// Board and disk files that are links, dangling links, FIFOs, devices or
// huge: refused with a report, never followed, never waited on.
TEST_F(Ide, HostileIdentityFilesAreRefused)
{
    const std::string disk = root / "mnt/disk";
    dvrtest::make_dirs(disk);
    dvrtest::make_dirs(root / "proc");
    dvrtest::write_file(root / "proc/mounts", "/dev/hda1 " + disk + " ext2 rw 0 0\n");
    identify('a', dvrtest::ide_dump(dvrtest::ata_identify(kSerial, kFirmware, kModel)));
    dvrtest::write_file(root / "secret", "root:SECRET:0:0\n");
    char id[256] = {};

    // ID a link to a secret file: not read.
    ASSERT_EQ(::symlink((root / "secret").c_str(), (disk + "/ID").c_str()), 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_GetIDViaMount(id, disk.c_str()), -1);
        EXPECT_EQ(Dev_SaveID(disk.c_str()), -1);
        std::string out = cap.take();
        EXPECT_NE(out.find("Dev_GetIDViaMount(): fopen(" + disk + "/ID) error : Too many levels of symbolic links\n"),
                  std::string::npos) << out;
        EXPECT_NE(out.find("Dev_SaveID(): " + disk + "/ID is not a regular file : not replaced\n"), std::string::npos);
        EXPECT_EQ(std::string(id).find("SECRET"), std::string::npos);
        EXPECT_EQ(dvrtest::read_file(root / "secret"), "root:SECRET:0:0\n");
    }
    // A dangling link: nothing is created where it points.
    ::unlink((disk + "/ID").c_str());
    ASSERT_EQ(::symlink((root / "outside").c_str(), (disk + "/ID").c_str()), 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_GetIDViaMount(id, disk.c_str()), -1);
        EXPECT_EQ(Dev_SaveID(disk.c_str()), -1);
        cap.take();
        EXPECT_NE(::access((root / "outside").c_str(), F_OK), 0);
    }
    // A FIFO: neither read nor written, and the call returns.
    ::unlink((disk + "/ID").c_str());
    ASSERT_EQ(::mkfifo((disk + "/ID").c_str(), 0600), 0);
    {
        CaptureStdout cap;
        EXPECT_EQ(Dev_GetIDViaMount(id, disk.c_str()), -1);
        EXPECT_EQ(Dev_SaveID(disk.c_str()), -1);
        EXPECT_NE(cap.take().find("Dev_GetIDViaMount(): fopen(" + disk + "/ID) error : Invalid argument\n"),
                  std::string::npos);
    }
    // A missing ID is written as a regular file, replacing nothing else.
    ::unlink((disk + "/ID").c_str());
    ASSERT_EQ(Dev_GetIDViaMount(id, disk.c_str()), 0);
    EXPECT_EQ(std::string(id), kSerial);
    EXPECT_EQ(dvrtest::read_file(disk + "/ID"), kSerial);

    // The IDE driver's dumps: a link to /dev/zero, a FIFO, a huge file.
    char sn[21];
    DEV_SMART_REQ req{DEV_SMART_TEMPERATURE, 0};
    struct Case {
        char letter;
        const char *error;
    } cases[] = {{'b', "Too many levels of symbolic links"}, {'c', "Invalid argument"}, {'d', "File too large"}};
    dvrtest::make_dirs(root / "proc/ide/hdb");
    ::symlink("/dev/zero", (root / "proc/ide/hdb/identify").c_str());
    ::symlink("/dev/zero", (root / "proc/ide/hdb/smart_values").c_str());
    dvrtest::make_dirs(root / "proc/ide/hdc");
    ::mkfifo((root / "proc/ide/hdc/identify").c_str(), 0600);
    ::mkfifo((root / "proc/ide/hdc/smart_values").c_str(), 0600);
    dvrtest::make_dirs(root / "proc/ide/hdd");
    for (const char *f : {"identify", "smart_values"})
        ASSERT_EQ(::truncate((dvrtest::write_file(root / ("proc/ide/hdd/" + std::string(f)), "0040\n"),
                              (root / ("proc/ide/hdd/" + std::string(f))).c_str()),
                             61 << 20), 0);
    for (const Case &c : cases) {
        const std::string name = std::string("/dev/hd") + c.letter;
        CaptureStdout cap;
        EXPECT_EQ(Dev_GetDevIdentify(name.c_str(), sn, nullptr, nullptr), -1) << c.letter;
        EXPECT_EQ(Dev_GetSmartValue(name.c_str(), &req), -1) << c.letter;
        std::string out = cap.take();
        const std::string dir = std::string("/proc/ide/hd") + c.letter;
        EXPECT_NE(out.find("Dev_GetDevIdentify(): open(" + dir + "/identify) error : " + c.error + "\n"),
                  std::string::npos) << out;
        EXPECT_NE(out.find(": open(" + dir + "/smart_values) error : " + std::string(c.error) + "\n"), std::string::npos)
            << out;
    }
}

} // namespace

// ---------------------------------------------------------------------
// The identity file's mode, read back with stat
// ---------------------------------------------------------------------

TEST_F(Ide, IdentityFileIsWrittenReadableByAllWhateverTheUmask)
{
    const std::string mnt = root / "mnt/disk";
    dvrtest::make_dirs(mnt);
    identify('a', dvrtest::ide_dump(dvrtest::ata_identify(kSerial, kFirmware, kModel)));
    dvrtest::make_dirs(root / "proc");
    dvrtest::write_file(root / "proc/mounts", "/dev/hda1 " + mnt + " ext2 rw 0 0\n");
    // A fresh file and one rewritten over a file of another mode.
    for (mode_t mask : {mode_t(0077), mode_t(0), mode_t(0222)}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        const mode_t old = ::umask(mask);
        const int rc = Dev_SaveID(mnt.c_str());
        ::umask(old);
        ASSERT_EQ(rc, 0);
        struct stat st;
        ASSERT_EQ(::stat((mnt + "/ID").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, mode_t(S_IFREG | 0644));
        EXPECT_EQ(dvrtest::read_file(mnt + "/ID"), kSerial);
        ASSERT_EQ(::chmod((mnt + "/ID").c_str(), 04777), 0);
    }
}
