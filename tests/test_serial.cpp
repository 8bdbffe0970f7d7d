// labels: root
// Serial ports: the port lookup over a USB serial table under the board
// root (with the device node it makes), opening and closing a terminal on
// a pseudo-terminal pair, and the settings dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "COMMON.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::ScopedEnv;
using dvrtest::TempDir;

namespace {

// Reports carry the line of the call; tests compare everything else.
std::string without_lines(const std::string &text)
{
    static const std::regex line_no("MODULES/COMMON,[0-9]+:");
    return std::regex_replace(text, line_no, "MODULES/COMMON,#:");
}

// A pseudo-terminal pair: the master stays open for the test's length.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        char name[128];
        if (ptsname_r(master_, name, sizeof name) == 0)
            slave_ = name;
    }
    ~Pty()
    {
        if (master_ >= 0)
            close(master_);
    }
    const std::string &slave() const { return slave_; }

private:
    int master_ = -1;
    std::string slave_;
};

struct termios settings_of(const std::string &path)
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
    }
    return t;
}

void expect_same_settings(const struct termios &a, const struct termios &b)
{
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
    EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
}

} // namespace

TEST(SerialOpenClose, AppliesTheLineSettingsAndRestoresThePreviousOnes)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());

    // Distinctive settings before the open: raw at 4800 baud.
    struct termios before = settings_of(pty.slave());
    cfmakeraw(&before);
    cfsetospeed(&before, B4800);
    cfsetispeed(&before, B4800);
    before.c_cc[VMIN] = 7;
    {
        int fd = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
        close(fd);
    }
    before = settings_of(pty.slave());

    COM_TERM_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    info.direction = 2;
    info.speed = B9600;
    CaptureStdout cap;
    ASSERT_EQ(COM_OpenTermDevice(pty.slave().c_str(), &info), 0);
    EXPECT_EQ(cap.take(), "");
    EXPECT_GE(info.fd, 0);
    EXPECT_EQ(fcntl(info.fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_STREQ(info.devname, pty.slave().c_str());
    expect_same_settings(info.oldtio, before);

    struct termios now = settings_of(pty.slave());
    EXPECT_EQ(now.c_iflag, tcflag_t(ICRNL | IXON));
    EXPECT_EQ(now.c_oflag, tcflag_t(OPOST | ONLCR));
    EXPECT_EQ(now.c_lflag, tcflag_t(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | IEXTEN));
    EXPECT_EQ(now.c_cflag & ~tcflag_t(CBAUD | CBAUDEX), tcflag_t(CS8 | CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(cfgetospeed(&now), speed_t(B9600));
    const std::map<int, int> cc = {
        {VINTR, 3},  {VQUIT, 28},    {VERASE, 127},  {VKILL, 21},    {VEOF, 4},   {VTIME, 0},
        {VMIN, 1},   {VSWTC, 0},     {VSTART, 17},   {VSTOP, 19},    {VSUSP, 26}, {VEOL, 0},
        {VREPRINT, 18}, {VDISCARD, 15}, {VWERASE, 23}, {VLNEXT, 22}, {VEOL2, 0},
    };
    for (auto [index, value] : cc)
        EXPECT_EQ(now.c_cc[index], value) << "c_cc[" << index << "]";

    int fd = info.fd;
    ASSERT_EQ(COM_CloseTermDevice(&info), 0);
    EXPECT_EQ(info.fd, -1);
    EXPECT_EQ(std::string(info.devname, sizeof info.devname), std::string(sizeof info.devname, '\0'));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor closed";
    expect_same_settings(settings_of(pty.slave()), before);

    CaptureStdout again;
    EXPECT_EQ(COM_CloseTermDevice(&info), -1);
    EXPECT_EQ(without_lines(again.take()), "MODULES/COMMON,#:COM_CloseTermDevice(): no valid fd found\n");
}

// A speed that is none of the system's speed codes (a baud number given
// for its code, say) is refused before the device is opened: the line
// keeps its settings instead of being set to hang-up.
TEST(SerialOpenClose, UnknownSpeedIsRefusedAndTheLineLeftAlone)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    const struct termios before = settings_of(pty.slave());
    ASSERT_NE(cfgetospeed(&before), speed_t(B0));
    for (speed_t speed : {speed_t(9600), speed_t(12345), speed_t(0x1000), speed_t(0xFFFFFFFFu)}) {
        COM_TERM_DEV_INFO info;
        std::memset(&info, 0, sizeof info);
        info.direction = O_RDWR;
        info.speed = speed;
        CaptureStdout cap;
        const int rc = COM_OpenTermDevice(pty.slave().c_str(), &info);
        const std::string out = cap.take();
        EXPECT_EQ(rc, -2) << speed;
        char want[96];
        std::snprintf(want, sizeof want, "MODULES/COMMON,#:COM_OpenTermDevice(): unsupported speed code 0x%X\n",
                      static_cast<unsigned>(speed));
        EXPECT_EQ(without_lines(out), want);
        EXPECT_EQ(info.fd, -1) << speed;
        expect_same_settings(settings_of(pty.slave()), before);
    }
    // Every speed code of the system is taken.
    for (speed_t speed : {speed_t(B50), speed_t(B9600), speed_t(B38400), speed_t(B115200), speed_t(B230400)}) {
        COM_TERM_DEV_INFO info;
        std::memset(&info, 0, sizeof info);
        info.direction = O_RDWR;
        info.speed = speed;
        CaptureStdout cap;
        const int opened = COM_OpenTermDevice(pty.slave().c_str(), &info);
        const int closed = COM_CloseTermDevice(&info);
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(opened, 0) << speed;
        EXPECT_EQ(cfgetospeed(&info.newtio), speed);
        EXPECT_EQ(closed, 0);
    }
}

TEST(SerialOpenClose, BadDirectionOpensReadOnly)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    COM_TERM_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    info.direction = 7;
    info.speed = B115200;
    CaptureStdout cap;
    EXPECT_EQ(COM_OpenTermDevice(pty.slave().c_str(), &info), 0);
    EXPECT_EQ(without_lines(cap.take()),
              "MODULES/COMMON,#:COM_OpenTermDevice(): pDevInfo->direction = 7, use default O_RDONLY\n");
    EXPECT_EQ(info.direction, 0);
    EXPECT_EQ(fcntl(info.fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(cfgetospeed(&info.newtio), speed_t(B115200));
    EXPECT_EQ(COM_CloseTermDevice(&info), 0);
}

TEST(SerialOpenClose, PathsUpTo79CharactersFitTheRecord)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    TempDir dir;
    // Links to the terminal whose paths are exactly 79 and 80 characters.
    auto link_of_length = [&](size_t len) {
        std::string path = dir.path() + "/";
        path += std::string(len - path.size(), 'p');
        EXPECT_EQ(symlink(pty.slave().c_str(), path.c_str()), 0);
        return path;
    };
    std::string fits = link_of_length(79), too_long = link_of_length(80);

    COM_TERM_DEV_INFO info;
    std::memset(&info, 0xAA, sizeof info);
    info.direction = 2;
    info.speed = B9600;
    CaptureStdout cap;
    EXPECT_EQ(COM_OpenTermDevice(too_long.c_str(), &info), -2);
    std::string out = cap.take();
    EXPECT_NE(out.find("COM_OpenTermDevice(): device path too long"), std::string::npos) << out;
    EXPECT_EQ(static_cast<unsigned char>(info.devname[0]), 0xAA) << "record left alone";

    std::memset(&info, 0, sizeof info);
    info.direction = 2;
    info.speed = B9600;
    ASSERT_EQ(COM_OpenTermDevice(fits.c_str(), &info), 0);
    EXPECT_STREQ(info.devname, fits.c_str());
    EXPECT_EQ(COM_CloseTermDevice(&info), 0);
}

TEST(SerialOpenClose, FailuresToOpenAndToSetAreTold)
{
    COM_TERM_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_OpenTermDevice("/nonexistent/ttyS9", &info), -2);
        EXPECT_EQ(without_lines(cap.take()),
                  "MODULES/COMMON,#:COM_OpenTermDevice(): open(/nonexistent/ttyS9) failed : "
                  "No such file or directory\n");
    }
    // Not a terminal: it opens, the settings cannot be read or set, and the
    // device stays open for the caller to close.
    CaptureStdout cap;
    EXPECT_EQ(COM_OpenTermDevice("/dev/null", &info), -1);
    EXPECT_GE(info.fd, 0);
    EXPECT_EQ(COM_CloseTermDevice(&info), 0);
    std::string out = without_lines(cap.take());
    EXPECT_NE(out.find("COM_OpenTermDevice(): tcgetattr(/dev/null) error : "), std::string::npos) << out;
    EXPECT_NE(out.find("COM_OpenTermDevice(): tcsetattr(/dev/null) error : "), std::string::npos) << out;
    EXPECT_NE(out.find("COM_CloseTermDevice(): tcsetattr(/dev/null) error : "), std::string::npos) << out;
    EXPECT_EQ(info.fd, -1);
}

// The kernel's USB serial table under a board root.
class SerialPortLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        dvrtest::make_dirs(root / "proc/tty/driver");
        dvrtest::make_dirs(root / "dev");
    }
    void table(const std::string &name, const std::string &text)
    {
        dvrtest::write_file(root / ("proc/tty/driver/" + name), text);
    }
    TempDir root;
    ScopedEnv env{"DVRPLAT_ROOT", root.path()};
};

constexpr const char *kUsbSerialTable =
    "usbserinfo:1.0 driver:2.0\n"
    "0: module:pl2303 name:\"pl2303\" vendor:067b product:2303 num_ports:1 port:1 path:usb-ppc.0-1\n"
    "x1: module:ftdi_sio name:\"FTDI\" vendor:0403 product:6001 num_ports:1 port:1 path:usb-ppc.0-3\n"
    "1: module:ftdi_sio name:\"FTDI\" vendor:0403 product:6001 num_ports:1 port:1 path:usb-ppc.1-1\n"
    "12: module:ftdi_sio name:\"FTDI\" vendor:0403 product:6001 num_ports:1 port:1 path:usb-ppc.0-3\n"
    "3: module:ftdi_sio name:\"FTDI\" vendor:0403 product:6001 num_ports:1 port:1 path:usb-ppc.0-2\n";

TEST_F(SerialPortLookup, FindsEachPortAndMakesItsNode)
{
    table("usb-serial", kUsbSerialTable);
    struct Case {
        int idx;
        const char *path;
        unsigned minor;
        const char *report; // besides the node's creation
    };
    const Case cases[] = {
        {3, "/dev/ttyUSB1", 1, ""},
        {4, "/dev/ttyUSB0", 0, ""},
        // Port 2's keywords in turn: the first line holding any of them
        // wins; a line whose tty number is not a number is passed over.
        {2, "/dev/ttyUSB12", 12, "MODULES/COMMON,#:COM_GetSerialPort(): bad tty number [x1]\n"},
    };
    for (const Case &c : cases) {
        char out[32] = "";
        CaptureStdout cap;
        EXPECT_EQ(COM_GetSerialPort(c.idx, out), 0) << c.idx;
        std::string text = without_lines(cap.take());
        EXPECT_STREQ(out, c.path);
        EXPECT_EQ(text.substr(0, std::strlen(c.report)), c.report);
        EXPECT_NE(text.find("mknod("), std::string::npos) << text;

        struct stat st;
        ASSERT_EQ(lstat((root.path() + c.path).c_str(), &st), 0) << c.path;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(major(st.st_rdev), 188u);
        EXPECT_EQ(minor(st.st_rdev), c.minor);
    }

    // A second lookup finds the node in place and makes nothing.
    char out[32] = "";
    CaptureStdout cap;
    EXPECT_EQ(COM_GetSerialPort(3, out), 0);
    EXPECT_EQ(cap.take(), "");
}

TEST_F(SerialPortLookup, OnBoardPortAndBadIndexes)
{
    char out[32] = "";
    CaptureStdout cap;
    EXPECT_EQ(COM_GetSerialPort(1, out), 0);
    EXPECT_STREQ(out, "/dev/ttyTX0");
    EXPECT_EQ(COM_GetSerialPort(0, out), -1);
    EXPECT_EQ(COM_GetSerialPort(2, nullptr), -1);
    EXPECT_EQ(COM_GetSerialPort(5, out), -1);
    EXPECT_EQ(COM_GetSerialPort(-1, out), -1);
    EXPECT_EQ(without_lines(cap.take()),
              "MODULES/COMMON,#:COM_GetSerialPort(): Un-support idx = 5\n"
              "MODULES/COMMON,#:COM_GetSerialPort(): Un-support idx = -1\n");
    struct stat st;
    EXPECT_NE(lstat((root.path() + "/dev/ttyTX0").c_str(), &st), 0) << "no node for the on-board port";
}

TEST_F(SerialPortLookup, OlderTableNameAndMissingTables)
{
    char out[32] = "";
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_GetSerialPort(3, out), -1);
        EXPECT_EQ(without_lines(cap.take()),
                  "MODULES/COMMON,#:COM_GetSerialPort(): open(/proc/tty/driver/usb-serial, "
                  "/proc/tty/driver/usbserial) failed! : No such file or directory\n");
    }
    table("usbserial", kUsbSerialTable);
    EXPECT_EQ(COM_GetSerialPort(3, out), 0);
    EXPECT_STREQ(out, "/dev/ttyUSB1");

    // No line for the port: nothing written, nothing told.
    table("usb-serial", "usbserinfo:1.0 driver:2.0\n0: module:pl2303 path:usb-ppc.0-1\n");
    char none[32] = "untouched";
    CaptureStdout cap;
    EXPECT_EQ(COM_GetSerialPort(3, none), -1);
    EXPECT_STREQ(none, "untouched");
    EXPECT_EQ(cap.take(), "");
}

TEST(SerialShowTermAttr, ListsFlagsByNameAndEveryControlCharacter)
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    t.c_lflag = ICANON | ECHO;
    t.c_cc[VINTR] = 3;
    t.c_cc[VMIN] = 1;
    t.c_cc[31] = 200;

    CaptureStdout cap;
    int last = COM_ShowTermAttr("ttyS0", &t);
    std::string out = without_lines(cap.take());
    EXPECT_EQ(last, 7);

    // Spelled out for each target's termios values (the flags and the c_cc
    // slots differ between them): every record whose bits are all set is
    // named, B0 (value 0) always, every speed whose bits lie inside
    // B9600's, and the whole CSIZE field for CS8.
#if defined(__x86_64__)
    // ICRNL 0400, IXON 02000; OPOST 01, ONLCR 04; B9600 015, CS8 060,
    // CREAD 0200, CLOCAL 04000; ICANON 02, ECHO 010; VMIN is slot 6.
    const char *want = "MODULES/COMMON,#: ttyS0\n======\n"
                       " c_iflag = [0x500] : [ICRNL] [IXON]\n"
                       " c_oflag = [0x5] : [OPOST] [ONLCR]\n"
                       " c_cflag = [0x8BD] : [B0] [B50] [B134] [B150] [B600] [B1200] [B4800] [B9600] [CSIZE] "
                       "[CREAD] [CLOCAL]\n"
                       " c_lflag = [0xA] : [ICANON] [ECHO]\n"
                       " [00/32] c_cc[VINTR] = 3\n [01/32] c_cc[VQUIT] = 0\n [02/32] c_cc[VERASE] = 0\n"
                       " [03/32] c_cc[VKILL] = 0\n [04/32] c_cc[VEOF] = 0\n [05/32] c_cc[VTIME] = 0\n"
                       " [06/32] c_cc[VMIN] = 1\n [07/32] c_cc[VSWTC] = 0\n [08/32] c_cc[VSTART] = 0\n"
                       " [09/32] c_cc[VSTOP] = 0\n [10/32] c_cc[VSUSP] = 0\n [11/32] c_cc[VEOL] = 0\n"
                       " [12/32] c_cc[VREPRINT] = 0\n [13/32] c_cc[VDISCARD] = 0\n [14/32] c_cc[VWERASE] = 0\n"
                       " [15/32] c_cc[VLNEXT] = 0\n [16/32] c_cc[VEOL2] = 0\n";
#elif defined(__powerpc__) && !defined(__powerpc64__)
    // ICRNL 0400, IXON 01000; OPOST 01, ONLCR 02; B9600 015, CS8 01400,
    // CREAD 04000, CLOCAL 0100000; ICANON 0x100, ECHO 0x8; VMIN is slot 5.
    const char *want = "MODULES/COMMON,#: ttyS0\n======\n"
                       " c_iflag = [0x300] : [ICRNL] [IXON]\n"
                       " c_oflag = [0x3] : [OPOST] [ONLCR]\n"
                       " c_cflag = [0x8B0D] : [B0] [B50] [B134] [B150] [B600] [B1200] [B4800] [B9600] [CSIZE] "
                       "[CREAD] [CLOCAL]\n"
                       " c_lflag = [0x108] : [ICANON] [ECHO]\n"
                       " [00/32] c_cc[VINTR] = 3\n [01/32] c_cc[VQUIT] = 0\n [02/32] c_cc[VERASE] = 0\n"
                       " [03/32] c_cc[VKILL] = 0\n [04/32] c_cc[VEOF] = 0\n [05/32] c_cc[VMIN] = 1\n"
                       " [06/32] c_cc[VEOL] = 0\n [07/32] c_cc[VTIME] = 0\n [08/32] c_cc[VEOL2] = 0\n"
                       " [09/32] c_cc[VSWTC] = 0\n [10/32] c_cc[VWERASE] = 0\n [11/32] c_cc[VREPRINT] = 0\n"
                       " [12/32] c_cc[VSUSP] = 0\n [13/32] c_cc[VSTART] = 0\n [14/32] c_cc[VSTOP] = 0\n"
                       " [15/32] c_cc[VLNEXT] = 0\n [16/32] c_cc[VDISCARD] = 0\n";
#else
    const char *want = nullptr;
    GTEST_SKIP() << "no attribute text written out for this machine's termios values";
#endif
    // Slots 17 to 31 have no name on either target.
    std::string tail;
    for (int i = 17; i < 32; ++i)
        tail += " [" + std::to_string(i) + "/32] c_cc[unknown] = " + (i == 31 ? "200" : "0") + "\n";
    EXPECT_EQ(out, want + tail + "======\n");
}

TEST(SerialShowTermAttr, SubListsZeroRecordsAlwaysAndFieldsOnlyWhenWhole)
{
    const COM_TERM_FLAG_NAME table[] = {
        {0, "ZERO"}, {3, "BOTH"}, {1, "ONE"}, {4, "FOUR"}, {0, ""}, {1, "AFTER_END"},
    };
    CaptureStdout cap;
    EXPECT_EQ(COM_SubShowTermAttr("lab", 1, table), 1);
    EXPECT_EQ(COM_SubShowTermAttr("lab", 7, table), 1);
    EXPECT_EQ(cap.take(), "lab = [0x1] : [ZERO] [ONE]\nlab = [0x7] : [ZERO] [BOTH] [ONE] [FOUR]\n");
}

// ---------------------------------------------------------------------
// Refusals before the device is touched, seen by the kernel's own notes
// ---------------------------------------------------------------------

namespace {

// The number of times path was opened while fn ran, as the kernel's
// file-event notices count them.
int opens_during(const std::string &path, const std::function<void()> &fn)
{
    const int in = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in < 0)
        return -1;
    if (::inotify_add_watch(in, path.c_str(), IN_OPEN) < 0) {
        ::close(in);
        return -1;
    }
    fn();
    int opens = 0;
    alignas(struct inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(in, buf, sizeof buf)) > 0;) {
        for (char *p = buf; p < buf + n;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(p);
            if (ev->mask & IN_OPEN)
                ++opens;
            p += sizeof *ev + ev->len;
        }
    }
    ::close(in);
    return opens;
}

} // namespace

TEST(SerialOpenClose, UnknownSpeedOpensNothing)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    for (speed_t speed : {speed_t(9600), speed_t(0xFFFFFFFFu)}) {
        COM_TERM_DEV_INFO info;
        std::memset(&info, 0, sizeof info);
        info.direction = O_RDWR;
        info.speed = speed;
        CaptureStdout cap;
        int rc = 0;
        EXPECT_EQ(opens_during(pty.slave(), [&] { rc = COM_OpenTermDevice(pty.slave().c_str(), &info); }), 0)
            << speed;
        cap.take();
        EXPECT_EQ(rc, -2);
        EXPECT_EQ(info.fd, -1);
    }
    // The same watch sees the open of a speed that is taken.
    COM_TERM_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    info.direction = O_RDWR;
    info.speed = B9600;
    CaptureStdout cap;
    EXPECT_EQ(opens_during(pty.slave(), [&] { ASSERT_EQ(COM_OpenTermDevice(pty.slave().c_str(), &info), 0); }), 1);
    EXPECT_EQ(COM_CloseTermDevice(&info), 0);
    cap.take();
}
