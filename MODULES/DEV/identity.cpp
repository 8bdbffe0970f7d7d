// Disk identity and SMART values of IDE disks, read from the hexadecimal
// dumps the IDE driver publishes under "/proc/ide".
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "dev_internal.h"
#include "identity_internal.h"

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
    auto val = [](char c) -> unsigned {
        if (c >= '0' && c <= '9')
            return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f')
            return static_cast<unsigned>(c - 'a' + 10);
        return static_cast<unsigned>(c - 'A' + 10);
    };
    return static_cast<uint8_t>(val(digits[2 * k]) << 4 | val(digits[2 * k + 1]));
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

// Reads the first line of an open identity file into pID.
int read_id_line(FILE *f, char *pID)
{
    return std::fgets(pID, static_cast<int>(kIdLine), f) ? 0 : -1;
}

} // namespace

extern "C" {

int Dev_GetDevIdentify(const char *pDevPath, char *pSN, char *pFwRev, char *pModel)
{
    if (!pDevPath || (!pSN && !pFwRev && !pModel)) {
        DEV_REPORT("Invalid input : (pDevPath, pSN, pFwRev, pModel) = (%p, %p, %p, %p)\n",
                   static_cast<const void *>(pDevPath), static_cast<void *>(pSN),
                   static_cast<void *>(pFwRev), static_cast<void *>(pModel));
        return -1;
    }
    const std::string path = "/proc/ide/" + std::string(dvr::dev::ide_name(pDevPath)) + "/identify";
    dvr::UniqueFd fd(::open(dvr::board_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return -1;
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
}

int Dev_SaveID(const char *pMpt)
{
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
    return COM_SaveID(pMpt, serial);
}

int Dev_GetIDViaMount(char *pID, const char *pMpt)
{
    if (!pID || !pMpt) {
        DEV_REPORT("(%p, %p) : Null ptr\n", static_cast<void *>(pID), static_cast<const void *>(pMpt));
        return -1;
    }
    const std::string path = std::string(pMpt) + "/ID";
    dvr::UniqueFile f(std::fopen(path.c_str(), "re"));
    if (f)
        return read_id_line(f.get(), pID);
    if (errno != ENOENT) {
        DEV_REPORT("fopen(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (Dev_SaveID(pMpt) != 0)
        return -1;
    f.reset(std::fopen(path.c_str(), "re"));
    if (!f) {
        DEV_REPORT("fopen(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return read_id_line(f.get(), pID);
}

int Dev_GetIDViaDev(char *pID, const char *pDev)
{
    char mpt[DEV_MPT_SIZE] = {};
    if (Dev_GetMPT(pDev, mpt) != 0)
        return -1;
    return Dev_GetIDViaMount(pID, mpt);
}

int Dev_GetSmartValue(const char *pDev, DEV_SMART_REQ *pSmart)
{
    if (!pDev || !pSmart) {
        DEV_REPORT("Invalid Input : (pDev, pSmart) = (%s, %p)\n", pDev ? pDev : "(null)",
                   static_cast<void *>(pSmart));
        return -1;
    }
    const std::string path = "/proc/ide/" + std::string(dvr::dev::ide_name(pDev)) + "/smart_values";
    dvr::UniqueFd fd(::open(dvr::board_path(path).c_str(), O_RDONLY | O_CLOEXEC));
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
}

} // extern "C"
