// Mounts and file systems: mounting with automatic file-system detection,
// unmounting, the mount-table lookups, the kernel's file-system list and
// the boot-record check.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include "DEV.h"
#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

extern "C" {

DEV_FS_ENTRY gDevFS[DEV_FS_COUNT] = {
    {1, "ext3", 0, nullptr},
    {1, "ext2", 0, nullptr},
    {1, "vfat", 0, nullptr},
    {1, "fat", 0, nullptr},
    {1, "xfs", 0, nullptr},
    {1, "jffs2", 0, nullptr},
    {1, "iso9660", MS_RDONLY, nullptr},
    {1, "smbfs", 0, nullptr},
    {1, "nfs", 0, "rw,rsize=8192,wsize=8192,soft,udp,nolock"},
    {1, "tmpfs", 0, nullptr},
};

int gDevFsInit = 0;

} // extern "C"

namespace {

constexpr int kNfsRow = 8;
constexpr unsigned long kMountMagic = 0xC0ED0000UL;
constexpr char kProcMounts[] = "/proc/mounts";
constexpr char kProcFilesystems[] = "/proc/filesystems";

// One mount system call with a row of the table; errno is kept from it.
bool mount_row(const char *src, const char *dst, int row)
{
    const DEV_FS_ENTRY &fs = gDevFS[row];
    return ::mount(src, dst, fs.type, fs.flags | kMountMagic, "") == 0;
}

// Tries src with each suffix of [first, last] appended when src does not
// name a partition already, then src itself.
bool mount_with_suffixes(const std::string &src, const char *dst, int row, char first, char last,
                         bool ends_in_digit)
{
    if (!ends_in_digit) {
        std::string part = src + ' ';
        for (char c = first; c <= last; ++c) {
            part.back() = c;
            if (mount_row(part.c_str(), dst, row))
                return true;
        }
    }
    return mount_row(src.c_str(), dst, row);
}

// Reads "/proc/mounts" (board root) line by line, whole lines whatever
// their length. fn(line) returns false to stop.
template <class F>
int for_each_mount_line(const dvr::Reporter &report, F fn)
{
    dvr::UniqueFile f(std::fopen(dvr::board_path(kProcMounts).c_str(), "re"));
    if (!f) {
        DVR_REPORT_TO(report, "fopen(%s) error : %s\n", kProcMounts, std::strerror(errno));
        return -1;
    }
    // getline's buffer, released however the loop ends.
    struct LineBuffer {
        char *text = nullptr;
        size_t cap = 0;
        ~LineBuffer() { std::free(text); }
    } buf;
    ssize_t n;
    while ((n = ::getline(&buf.text, &buf.cap, f.get())) >= 0) {
        if (!fn(std::string_view(buf.text, static_cast<size_t>(n))))
            break;
    }
    return 0;
}

using dvr::next_field;

constexpr std::string_view kSeps = " \t\n";

// A field of the mount table as the kernel means it: the kernel writes a
// space, tab, line feed or backslash in a device or mount point as a
// backslash and three octal digits ("\040" for a space).
std::string unescape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            out.push_back(static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 |
                                            (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

} // namespace

extern "C" {

int Dev_Mount(const char *src, const char *dst, int fs)
try {
    if (!src) {
        DEV_REPORT("pSrc == NULL\n");
        return -1;
    }
    if (src[0] == '\0') {
        DEV_REPORT("strlen(pSrc) == 0\n");
        return -1;
    }
    if (!dst) {
        DEV_REPORT("pDst == NULL\n");
        return -1;
    }
    const std::string source(src);
    const bool ends_in_digit = source.back() >= '0' && source.back() <= '9';
    const bool nfs = source.find(':') != std::string::npos;

    if (fs < 0 || fs >= DEV_FS_COUNT) {
        if (gDevFsInit == 0) {
            Dev_InitFsArray();
            gDevFsInit = 1;
        }
        if (nfs)
            return Dev_NfsMount(src, dst);
        for (int row = 0; row < DEV_FS_COUNT && gDevFS[row].available == 1; ++row) {
            if (mount_with_suffixes(source, dst, row, '1', '9', ends_in_digit))
                return 0;
        }
        return -1;
    }

    if (fs == kNfsRow) {
        if (nfs)
            return Dev_NfsMount(src, dst);
        DEV_REPORT("Try mount pSrc(%s) with wrong fs type(NFS)\n", src);
        return -1;
    }
    return mount_with_suffixes(source, dst, fs, '0', '8', ends_in_digit) ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_uMount(const char *path)
try {
    if (!path) {
        DEV_REPORT("pPath == NULL\n");
        return -1;
    }
    DEV_MTAB_ENTRY entry{};
    const bool found = Dev_GetEntryViaMtab(path, &entry) == 0;
    const bool nfs = found && std::strcmp(entry.type, gDevFS[kNfsRow].type) == 0;

    // The kernel unmounts by mount point: a device node given here is
    // unmounted through the mount point the table names for it.
    const char *target = path;
    if (found && std::strcmp(entry.dev, path) == 0 && std::strcmp(entry.mpt, path) != 0 &&
        strnlen(entry.mpt, sizeof entry.mpt) < sizeof entry.mpt - 1)
        target = entry.mpt;

    if (::umount(target) != 0) {
        DEV_REPORT("umount(%s) failed : %s\n", path, std::strerror(errno));
        return -1;
    }
    if (nfs)
        Dev_NfsuMountRPCCall(entry.dev, entry.opts);
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

void Dev_InitFsArray(void)
try {
    const std::string table = dvr::board_path(kProcFilesystems);
    for (int row = 0; row < DEV_FS_COUNT; ++row) {
        COM_REPLACE_ITEM item{};
        int n = std::snprintf(item.szKey, sizeof item.szKey, "\t%s", gDevFS[row].type);
        item.nKeyLen = n;
        COM_REPLACE_LIST list{};
        list.nItem = 1;
        list.bCheckOnly = 1;
        list.bMatchAnywhere = 1;
        list.bAppend = 0;
        list.pItem = &item;
        if (COM_ReplaceItemsInFile(table.c_str(), &list) < 1)
            gDevFS[row].available = 0;
        DEV_REPORT("[%d] %s - %s\n", row, gDevFS[row].type,
                   gDevFS[row].available == 1 ? "Enable" : "Disable");
    }
} DVR_C_BOUNDARY("MODULES/DEV")

int Dev_GetMPT(const char *dev, char *mpt)
try {
    return Dev_nGetMPT(dev, mpt, 0);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_nGetMPT(const char *dev, char *mpt, int n)
try {
    if (!dev || !mpt) {
        DEV_REPORT("(%p, %p, %d) : Null ptr\n", static_cast<const void *>(dev),
                   static_cast<void *>(mpt), n);
        return -1;
    }
    const std::string_view want(dev);
    int result = -1;
    std::string too_long_copy;
    int rc = for_each_mount_line(DVR_REPORTER("MODULES/DEV"), [&](std::string_view line) {
        std::string_view raw_device = next_field(line, " \n");
        if (raw_device.empty())
            return true;
        const std::string decoded = unescape(raw_device);
        const std::string_view device(decoded);
        bool match;
        if (n <= 0) {
            match = device.substr(0, want.size()) == want;
        } else {
            size_t k = static_cast<size_t>(n);
            match = device.size() <= k && device.substr(0, k) == want.substr(0, k);
        }
        if (!match)
            return true;
        std::string_view raw_point = next_field(line, " \n");
        if (raw_point.empty())
            return true;
        const std::string point = unescape(raw_point);
        if (!dvr::copy_bounded(mpt, DEV_MPT_SIZE, point))
            too_long_copy.assign(point);
        else
            result = 0;
        return false;
    });
    if (rc != 0)
        return -1;
    if (!too_long_copy.empty())
        DEV_REPORT("mount point of %s longer than %d characters : %s\n", dev, DEV_MPT_SIZE - 1,
                   too_long_copy.c_str());
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetDevViaMount(char *dev, const char *mpt)
try {
    if (!dev || !mpt) {
        DEV_REPORT("(%p, %p) : Null ptr\n", static_cast<void *>(dev), static_cast<const void *>(mpt));
        return -1;
    }
    constexpr size_t kDevSize = 80;
    const std::string_view want(mpt);
    int result = -1;
    std::string cut;
    int rc = for_each_mount_line(DVR_REPORTER("MODULES/DEV"), [&](std::string_view line) {
        const std::string device = unescape(next_field(line, kSeps));
        std::string_view raw_point = next_field(line, kSeps);
        if (raw_point.empty() || unescape(raw_point) != want)
            return true;
        if (device.size() >= kDevSize)
            cut.assign(device);
        else
            cut.clear();
        dvr::copy_cut(dev, kDevSize, device);
        result = 0;
        return true;
    });
    if (rc != 0)
        return -1;
    if (!cut.empty())
        DEV_REPORT("device name cut to %d characters : %s\n", static_cast<int>(kDevSize - 1), cut.c_str());
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetEntryViaMtab(const char *name, DEV_MTAB_ENTRY *pEntry)
try {
    if (!name || !pEntry) {
        DEV_REPORT("(%p, %p) : Null ptr\n", static_cast<const void *>(name), static_cast<void *>(pEntry));
        return -1;
    }
    const std::string_view want(name);
    int result = -1;
    int rc = for_each_mount_line(DVR_REPORTER("MODULES/DEV"), [&](std::string_view line) {
        std::string f[4];
        for (auto &field : f) {
            std::string_view raw = next_field(line, kSeps);
            if (raw.empty())
                return true;
            field = unescape(raw);
        }
        if (f[0] != want && f[1] != want)
            return true;
        DEV_MTAB_ENTRY e{};
        dvr::copy_cut(e.dev, sizeof e.dev, f[0]);
        dvr::copy_cut(e.mpt, sizeof e.mpt, f[1]);
        dvr::copy_cut(e.type, sizeof e.type, f[2]);
        dvr::copy_cut(e.opts, sizeof e.opts, f[3]);
        *pEntry = e;
        result = 0;
        return false;
    });
    return rc != 0 ? -1 : result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_CheckPartition(const char *dev)
try {
    if (!dev) {
        DEV_REPORT("pDev == NULL\n");
        return -1;
    }
    dvr::UniqueFd fd(::open(dev, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT && errno != ENXIO)
            DEV_REPORT("open(%s) failed : %s\n", dev, std::strerror(errno));
        return -1;
    }
    if (::lseek(fd.get(), 510, SEEK_SET) != 510) {
        DEV_REPORT("lseek(%s) error : %s\n", dev, std::strerror(errno));
        return 1;
    }
    unsigned char sig[2] = {0, 0};
    ssize_t n = ::read(fd.get(), sig, sizeof sig);
    if (n != 2) {
        DEV_REPORT("read(%s) error : %s\n", dev, n < 0 ? std::strerror(errno) : "short read");
        return 2;
    }
    return (sig[0] == 0x55 && sig[1] == 0xAA) ? 0 : 1;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
