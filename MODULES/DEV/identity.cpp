// Disk identity and SMART values of IDE disks, read from the hexadecimal
// dumps the IDE driver publishes under "/proc/ide".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dev_internal.h"
#include "identity_internal.h"
#include "board_root.h"
#include "boundary.h"
#include "hex.h"
#include "owners.h"
#include "report.h"

static_assert(sizeof(DEV_SMART_REQ) == 2);

namespace dvr::dev {

HexDump::~HexDump()
{
    std::free(digits);
}

int HexDump::read(int fd)
{
    count = COM_ReadHexDataInStrFormat(fd, &digits);
    return count;
}

uint8_t HexDump::byte(size_t k) const noexcept
{
    // The dump holds hexadecimal digits only (the reader keeps nothing else).
    return static_cast<uint8_t>(dvr::hex_digit_value(digits[2 * k]) << 4 | dvr::hex_digit_value(digits[2 * k + 1]));
}

// The part of a device path after its last '/'.
std::string_view ide_name(const char *path)
{
    std::string_view p(path);
    size_t slash = p.rfind('/');
    return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

} // namespace dvr::dev

namespace {

constexpr int kIdentifyBytes = 94;
constexpr size_t kSmartAttributes = 30;
constexpr size_t kDevNameSize = 80;
constexpr size_t kIdLine = 256;

struct Field {
    size_t offset, length;
};
constexpr Field kSerial{20, 20}, kFirmware{46, 8}, kModel{54, 40};

void copy_field(const dvr::dev::HexDump &hex, Field f, char *out)
{
    if (!out)
        return;
    for (size_t i = 0; i < f.length; ++i)
        out[i] = static_cast<char>(hex.byte(f.offset + i));
    out[f.length] = '\0';
}

// The IDE driver's dumps are a few hundred bytes; a file that says it is
// larger than this is no dump.
constexpr off_t kMaxDumpBytes = 65536;

// Opens a file for reading without following a link in its last part and
// without waiting on a FIFO: only a regular file is kept. On failure the
// descriptor is invalid and errno tells why (ELOOP for a link, EINVAL
// for anything that is not a regular file).
dvr::UniqueFd open_regular(const char *path)
{
    dvr::UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return fd;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return dvr::UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return dvr::UniqueFd();
    }
    return fd;
}

// Opens a "/proc/ide" dump: a regular file of at most kMaxDumpBytes.
// False with errno set (EFBIG for a larger file) when it is not one.
dvr::UniqueFd open_dump(const std::string &path)
{
    dvr::UniqueFd fd = open_regular(dvr::board_path(path).c_str());
    struct stat st;
    if (fd && ::fstat(fd.get(), &st) == 0 && st.st_size > kMaxDumpBytes) {
        errno = EFBIG;
        return dvr::UniqueFd();
    }
    return fd;
}

// Reads the first line of an open identity file into pID.
int read_id_line(dvr::UniqueFd fd, char *pID)
{
    dvr::UniqueFile f(::fdopen(fd.get(), "re"));
    if (!f)
        return -1;
    fd.release();
    return std::fgets(pID, static_cast<int>(kIdLine), f.get()) ? 0 : -1;
}

// Writes the identity file "ID" in dir without ever writing through a
// link or into anything but a regular file: the text goes to a new file
// beside it, is synced, and is renamed over "ID" (a link there is
// refused). 0 written, -1 failure (reported).
int write_id_file(const char *dir, const char *text, const dvr::Reporter &report)
{
    const std::string path = std::string(dir) + "/ID";
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        DVR_REPORT_TO(report, "%s is not a regular file : not replaced\n", path.c_str());
        return -1;
    }
    std::string temp = path + ".XXXXXX";
    dvr::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        DVR_REPORT_TO(report, "mkostemp(%s) error : %s\n", temp.c_str(), std::strerror(errno));
        return -1;
    }
    const size_t len = std::strlen(text);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd.get(), text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done != len || ::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0) {
        DVR_REPORT_TO(report, "write(%s) error : %s\n", temp.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return -1;
    }
    fd.reset();
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        DVR_REPORT_TO(report, "rename(%s, %s) error : %s\n", temp.c_str(), path.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return -1;
    }
    dvr::UniqueFd d(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d)
        ::fsync(d.get());
    return len > 0 ? 0 : -1;
}

} // namespace

extern "C" {

int Dev_GetDevIdentify(const char *pDevPath, char *pSN, char *pFwRev, char *pModel)
try {
    if (!pDevPath || (!pSN && !pFwRev && !pModel)) {
        DEV_REPORT("Invalid input : (pDevPath, pSN, pFwRev, pModel) = (%p, %p, %p, %p)\n",
                   static_cast<const void *>(pDevPath), static_cast<void *>(pSN),
                   static_cast<void *>(pFwRev), static_cast<void *>(pModel));
        return -1;
    }
    const std::string path = "/proc/ide/" + std::string(dvr::dev::ide_name(pDevPath)) + "/identify";
    dvr::UniqueFd fd = open_dump(path);
    if (!fd) {
        if (errno != ENOENT)
            DEV_REPORT("open(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    dvr::dev::HexDump hex;
    const int digits = hex.read(fd.get());
    const int bytes = digits > 0 ? digits / 2 : 0;
    if (bytes < kIdentifyBytes) {
        DEV_REPORT("count error : (count, size, limit) = (%d, %d, %d)\n", bytes, digits, kIdentifyBytes);
        return -1;
    }
    copy_field(hex, kSerial, pSN);
    copy_field(hex, kFirmware, pFwRev);
    copy_field(hex, kModel, pModel);
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_SaveID(const char *pMpt)
try {
    if (!pMpt) {
        DEV_REPORT("(%p) : Null ptr\n", static_cast<const void *>(pMpt));
        return -1;
    }
    char dev[kDevNameSize] = {};
    if (Dev_GetDevViaMount(dev, pMpt) != 0)
        return -1;
    if (std::strncmp(dev, "/dev/hd", 7) != 0)
        return -1;
    // The whole disk: the partition number goes, never the first character.
    size_t len = std::strlen(dev);
    while (len > 1 && dev[len - 1] >= '0' && dev[len - 1] <= '9')
        dev[--len] = '\0';
    char serial[21] = {};
    if (Dev_GetDevIdentify(dev, serial, nullptr, nullptr) != 0)
        return -1;
    return write_id_file(pMpt, serial, DEV_REPORTER());
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetIDViaMount(char *pID, const char *pMpt)
try {
    if (!pID || !pMpt) {
        DEV_REPORT("(%p, %p) : Null ptr\n", static_cast<void *>(pID), static_cast<const void *>(pMpt));
        return -1;
    }
    const std::string path = std::string(pMpt) + "/ID";
    dvr::UniqueFd f = open_regular(path.c_str());
    if (f)
        return read_id_line(std::move(f), pID);
    if (errno != ENOENT) {
        DEV_REPORT("fopen(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (Dev_SaveID(pMpt) != 0)
        return -1;
    f = open_regular(path.c_str());
    if (!f) {
        DEV_REPORT("fopen(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return read_id_line(std::move(f), pID);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetIDViaDev(char *pID, const char *pDev)
try {
    char mpt[DEV_MPT_SIZE] = {};
    if (Dev_GetMPT(pDev, mpt) != 0)
        return -1;
    return Dev_GetIDViaMount(pID, mpt);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetSmartValue(const char *pDev, DEV_SMART_REQ *pSmart)
try {
    if (!pDev || !pSmart) {
        DEV_REPORT("Invalid Input : (pDev, pSmart) = (%s, %p)\n", pDev ? pDev : "(null)",
                   static_cast<void *>(pSmart));
        return -1;
    }
    const std::string path = "/proc/ide/" + std::string(dvr::dev::ide_name(pDev)) + "/smart_values";
    dvr::UniqueFd fd = open_dump(path);
    if (!fd) {
        if (errno != ENOENT)
            COM_Message("MODULES/DEV", __LINE__, nullptr, "open(%s) error : %s\n", path.c_str(),
                        std::strerror(errno));
        return -1;
    }
    dvr::dev::HexDump hex;
    const int digits = hex.read(fd.get());
    if (digits < 30)
        return -1;
    // Text byte k is SMART byte k XOR 1: the attribute ids (SMART bytes 2,
    // 14, 26, ...) are text bytes 3, 15, 27, ..., and the low byte of an
    // attribute's raw value lies 3 text bytes after its id. The table has
    // 30 entries; what follows it is the drive's own data, never an
    // attribute.
    const size_t bytes = static_cast<size_t>(digits) / 2;
    for (size_t at = 3; at < 3 + 12 * kSmartAttributes && at + 3 < bytes; at += 12) {
        if (hex.byte(at) == pSmart->id) {
            pSmart->value = hex.byte(at + 3);
            return 0;
        }
    }
    return -1;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
