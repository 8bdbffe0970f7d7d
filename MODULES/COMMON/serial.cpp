// Terminal and serial devices: finding a serial port's device file,
// opening a terminal with the library's line settings, restoring it at
// close, and printing terminal settings by flag name.
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

static_assert(offsetof(COM_TERM_DEV_INFO, devname) == 0);
static_assert(offsetof(COM_TERM_DEV_INFO, fd) == 80);
static_assert(offsetof(COM_TERM_DEV_INFO, direction) == 84);
static_assert(offsetof(COM_TERM_DEV_INFO, speed) == 88);
static_assert(offsetof(COM_TERM_DEV_INFO, oldtio) == 92);
static_assert(offsetof(COM_TERM_DEV_INFO, newtio) == 92 + sizeof(struct termios));
static_assert(sizeof(COM_TERM_DEV_INFO) == 92 + 2 * sizeof(struct termios));
static_assert(sizeof(COM_TERM_FLAG_NAME) == 16);

extern "C" const char gCOM_UsbPortKeyword[5][4][8] = {
    {"---", "", "", ""},
    {"---", "", "", ""},
    {"1-2", "0-2", "0-3", ""},
    {"1-1", "", "", ""},
    {"0-1", "", "", ""},
};

namespace {

constexpr const char *kUsbSerialTable = "/proc/tty/driver/usb-serial";
constexpr const char *kUsbSerialTableOld = "/proc/tty/driver/usbserial";
constexpr const char *kOnBoardPrefix = "/dev/ttyTX";
constexpr const char *kUsbPrefix = "/dev/ttyUSB";
constexpr unsigned kUsbSerialMajor = 188;
// The tty number becomes the node's minor number: a few decimal digits.
constexpr size_t kMaxTtyDigits = 6;
constexpr unsigned kMaxMinor = (1u << 20) - 1;
constexpr size_t kLineSize = 256;

#define FLAG(x) {static_cast<int32_t>(x), #x}
constexpr COM_TERM_FLAG_NAME kIFlags[] = {
    FLAG(IGNBRK), FLAG(BRKINT), FLAG(IGNPAR), FLAG(PARMRK), FLAG(INPCK),
    FLAG(ISTRIP), FLAG(INLCR), FLAG(IGNCR), FLAG(ICRNL), FLAG(IUCLC),
    FLAG(IXON), FLAG(IXANY), FLAG(IXOFF), FLAG(IMAXBEL), {0, ""},
};
constexpr COM_TERM_FLAG_NAME kOFlags[] = {
    FLAG(OPOST), FLAG(OLCUC), FLAG(ONLCR), FLAG(OCRNL), FLAG(ONOCR),
    FLAG(ONLRET), FLAG(OFILL), FLAG(OFDEL), FLAG(NLDLY), FLAG(CRDLY),
    FLAG(TABDLY), FLAG(BSDLY), FLAG(VTDLY), FLAG(FFDLY), {0, ""},
};
constexpr COM_TERM_FLAG_NAME kCFlags[] = {
    FLAG(B0), FLAG(B50), FLAG(B75), FLAG(B110), FLAG(B134), FLAG(B150),
    FLAG(B200), FLAG(B300), FLAG(B600), FLAG(B1200), FLAG(B1800),
    FLAG(B2400), FLAG(B4800), FLAG(B9600), FLAG(B19200), FLAG(B38400),
    FLAG(B57600), FLAG(B115200), FLAG(B230400), FLAG(CSIZE), FLAG(CSTOPB),
    FLAG(CREAD), FLAG(PARENB), FLAG(PARODD), FLAG(HUPCL), FLAG(CLOCAL),
    {0, ""},
};
constexpr COM_TERM_FLAG_NAME kLFlags[] = {
    FLAG(ISIG), FLAG(ICANON), FLAG(XCASE), FLAG(ECHO), FLAG(ECHOE),
    FLAG(ECHOK), FLAG(ECHONL), FLAG(ECHOCTL), FLAG(NOFLSH), FLAG(TOSTOP),
    FLAG(IEXTEN), {0, ""},
};
constexpr COM_TERM_FLAG_NAME kCcNames[] = {
    FLAG(VINTR), FLAG(VQUIT), FLAG(VERASE), FLAG(VKILL), FLAG(VMIN),
    FLAG(VTIME), FLAG(VEOL2), FLAG(VSWTC), FLAG(VSTART), FLAG(VSTOP),
    FLAG(VSUSP), FLAG(VREPRINT), FLAG(VDISCARD), FLAG(VWERASE),
    FLAG(VLNEXT), FLAG(VEOF), FLAG(VEOL), {0, ""},
};
#undef FLAG

// The number of c_cc slots shown.
constexpr int kShownCc = 32;
static_assert(NCCS >= kShownCc, "c_cc holds at least the slots shown");

// The text after the line's last '.', without the line end.
std::string_view location_of(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    size_t dot = line.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    return line.substr(dot + 1);
}

bool matches_keyword(int idx, std::string_view location)
{
    for (const auto &kw : gCOM_UsbPortKeyword[idx]) {
        if (kw[0] == '\0')
            break;
        if (location == kw)
            return true;
    }
    return false;
}

} // namespace

extern "C" int COM_GetSerialPort(int idx, char *out)
try {
    if (!out || idx == 0)
        return -1;
    if (idx == 1) {
        std::snprintf(out, 20, "%s%d", kOnBoardPrefix, idx - 1);
        return 0;
    }
    if (idx < 0 || idx > 4) {
        COM_REPORT("Un-support idx = %d\n", idx);
        return -1;
    }

    dvr::UniqueFile table(std::fopen(dvr::board_path(kUsbSerialTable).c_str(), "re"));
    if (!table) {
        int err = errno;
        if (err == ENOENT) {
            table.reset(std::fopen(dvr::board_path(kUsbSerialTableOld).c_str(), "re"));
            if (!table)
                COM_REPORT("open(%s, %s) failed! : %s\n", kUsbSerialTable, kUsbSerialTableOld,
                           std::strerror(errno));
        } else {
            COM_REPORT("open(%s) failed! : %s\n", kUsbSerialTable, std::strerror(err));
        }
        if (!table)
            return -1;
    }

    char line[kLineSize];
    unsigned minor = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table.get())) {
        std::string_view text(line);
        if (text.empty() || (text.back() != '\n' && !std::feof(table.get()))) {
            // Longer than a line of the table: drop the rest of it unread.
            int c;
            while ((c = std::fgetc(table.get())) != EOF && c != '\n') {
            }
            continue;
        }
        if (!matches_keyword(idx, location_of(text)))
            continue;
        std::string_view tty = text.substr(0, text.find(':'));
        unsigned value = 0;
        auto [end, ec] = std::from_chars(tty.data(), tty.data() + tty.size(), value);
        if (tty.empty() || tty.size() > kMaxTtyDigits || ec != std::errc() ||
            end != tty.data() + tty.size() || value > kMaxMinor) {
            COM_REPORT("bad tty number [%.*s]\n", static_cast<int>(tty.size() > 32 ? 32 : tty.size()),
                       tty.data());
            continue;
        }
        std::snprintf(out, 20, "%s%.*s", kUsbPrefix, static_cast<int>(tty.size()), tty.data());
        minor = value;
        found = true;
    }
    table.reset();
    if (!found)
        return -1;

    // The node is made under the board root; the caller gets the plain path.
    COM_CheckDevFile(dvr::board_path(out).c_str(), S_IFCHR | 0664,
                     static_cast<uint64_t>(makedev(kUsbSerialMajor, minor)));
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

namespace {

// Whether s is one of the system's speed codes. Any other value would not
// be taken by the speed setter, and the line would then be applied with
// speed bits 0: hang-up.
bool known_speed(speed_t s) noexcept
{
    static constexpr speed_t kSpeeds[] = {
        B0,      B50,     B75,     B110,    B134,     B150,     B200,     B300,     B600,
        B1200,   B1800,   B2400,   B4800,   B9600,    B19200,   B38400,
#ifdef B57600
        B57600,
#endif
#ifdef B115200
        B115200,
#endif
#ifdef B230400
        B230400,
#endif
#ifdef B460800
        B460800,
#endif
#ifdef B500000
        B500000,
#endif
#ifdef B576000
        B576000,
#endif
#ifdef B921600
        B921600,
#endif
#ifdef B1000000
        B1000000,
#endif
#ifdef B1152000
        B1152000,
#endif
#ifdef B1500000
        B1500000,
#endif
#ifdef B2000000
        B2000000,
#endif
#ifdef B2500000
        B2500000,
#endif
#ifdef B3000000
        B3000000,
#endif
#ifdef B3500000
        B3500000,
#endif
#ifdef B4000000
        B4000000,
#endif
    };
    for (speed_t k : kSpeeds)
        if (k == s)
            return true;
    return false;
}

} // namespace

extern "C" int COM_OpenTermDevice(const char *path, COM_TERM_DEV_INFO *pDevInfo)
try {
    if (!path || !pDevInfo) {
        COM_REPORT("input error : (path, pDevInfo) = (%p, %p)\n", static_cast<const void *>(path),
                   static_cast<void *>(pDevInfo));
        return -2;
    }
    if (std::strlen(path) >= sizeof pDevInfo->devname) {
        COM_REPORT("device path too long (%zu characters, at most %zu) : %.40s...\n",
                   std::strlen(path), sizeof pDevInfo->devname - 1, path);
        return -2;
    }
    if (!known_speed(pDevInfo->speed)) {
        COM_REPORT("unsupported speed code 0x%X\n", static_cast<unsigned>(pDevInfo->speed));
        pDevInfo->fd = -1;
        return -2;
    }
    if (pDevInfo->direction != O_RDONLY && pDevInfo->direction != O_WRONLY &&
        pDevInfo->direction != O_RDWR) {
        COM_REPORT("pDevInfo->direction = %d, use default O_RDONLY\n", pDevInfo->direction);
        pDevInfo->direction = O_RDONLY;
    }

    int fd = open(path, pDevInfo->direction | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        COM_REPORT("open(%s) failed : %s\n", path, std::strerror(errno));
        pDevInfo->fd = -1;
        return -2;
    }
    pDevInfo->fd = fd;
    dvr::copy_bounded(pDevInfo->devname, sizeof pDevInfo->devname, path);

    int result = 0;
    if (tcgetattr(fd, &pDevInfo->oldtio) != 0) {
        COM_REPORT("tcgetattr(%s) error : %s\n", path, std::strerror(errno));
        result = -1;
    }

    NANOSLEEP(0, 500000000, nullptr, 0);

    struct termios &tio = pDevInfo->newtio;
    cfmakeraw(&tio);
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS8 | CREAD | HUPCL | CLOCAL;
    tio.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | IEXTEN;
    tio.c_cc[VINTR] = 3;
    tio.c_cc[VQUIT] = 28;
    tio.c_cc[VERASE] = 127;
    tio.c_cc[VKILL] = 21;
    tio.c_cc[VEOF] = 4;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VSWTC] = 0;
    tio.c_cc[VSTART] = 17;
    tio.c_cc[VSTOP] = 19;
    tio.c_cc[VSUSP] = 26;
    tio.c_cc[VEOL] = 0;
    tio.c_cc[VREPRINT] = 18;
    tio.c_cc[VDISCARD] = 15;
    tio.c_cc[VWERASE] = 23;
    tio.c_cc[VLNEXT] = 22;
    tio.c_cc[VEOL2] = 0;
    cfsetospeed(&tio, pDevInfo->speed);

    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        COM_REPORT("tcsetattr(%s) error : %s\n", path, std::strerror(errno));
        result = -1;
    }
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_CloseTermDevice(COM_TERM_DEV_INFO *pDevInfo)
try {
    if (!pDevInfo || pDevInfo->fd < 0) {
        COM_REPORT("no valid fd found\n");
        return -1;
    }
    tcflush(pDevInfo->fd, TCIFLUSH);
    if (tcsetattr(pDevInfo->fd, TCSANOW, &pDevInfo->oldtio) != 0)
        COM_REPORT("tcsetattr(%.*s) error : %s\n", static_cast<int>(sizeof pDevInfo->devname),
                   pDevInfo->devname, std::strerror(errno));
    std::memset(pDevInfo->devname, 0, sizeof pDevInfo->devname);
    int rc = close(pDevInfo->fd);
    if (rc != 0) {
        COM_REPORT("close(%d) failed : %s\n", pDevInfo->fd, std::strerror(errno));
        return rc;
    }
    pDevInfo->fd = -1;
    return rc;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SubShowTermAttr(const char *label, uint32_t flags, const COM_TERM_FLAG_NAME *table)
try {
    std::printf("%s = [0x%X] :", label ? label : "", flags);
    for (const COM_TERM_FLAG_NAME *f = table; f && f->name[0]; ++f) {
        uint32_t bits = static_cast<uint32_t>(f->value);
        if ((flags & bits) == bits)
            std::printf(" [%.*s]", static_cast<int>(sizeof f->name), f->name);
    }
    return std::printf("\n");
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ShowTermAttr(const char *title, const struct termios *tio)
try {
    if (!tio) {
        COM_REPORT("input error : tio == NULL\n");
        return -1;
    }
    COM_Message("MODULES/COMMON", __LINE__, nullptr, "%s\n======\n", title ? title : "");
    COM_SubShowTermAttr(" c_iflag", static_cast<uint32_t>(tio->c_iflag), kIFlags);
    COM_SubShowTermAttr(" c_oflag", static_cast<uint32_t>(tio->c_oflag), kOFlags);
    COM_SubShowTermAttr(" c_cflag", static_cast<uint32_t>(tio->c_cflag), kCFlags);
    COM_SubShowTermAttr(" c_lflag", static_cast<uint32_t>(tio->c_lflag), kLFlags);
    for (int i = 0; i < kShownCc; ++i) {
        const char *name = "unknown";
        for (const COM_TERM_FLAG_NAME *f = kCcNames; f->name[0]; ++f) {
            if (f->value == i) {
                name = f->name;
                break;
            }
        }
        std::printf(" [%02d/%02d] c_cc[%s] = %d\n", i, kShownCc, name, tio->c_cc[i]);
    }
    return std::printf("======\n");
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
