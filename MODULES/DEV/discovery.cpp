// Device table and discovery: IDE disks from the IDE driver's files, SCSI
// devices through their generic nodes, disk statistics, the generic-node
// map and the (major, minor) to node-name table.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "dev_internal.h"
#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

static_assert(sizeof(DEV_MAJOR_ENTRY) == 28);
static_assert(offsetof(DEV_MAJOR_ENTRY, prefix) == 12);

extern "C" {

const DEV_MAJOR_ENTRY gDevMajorNameSpace[] = {
    {1, 250, 0, "/dev/ram"},      {3, 63, 0, "/dev/hd?"},   {8, 15, 0, "/dev/sd?"},
    {9, 255, 0, "/dev/md"},       {11, 255, 0, "/dev/scd"}, {21, 255, 0, "/dev/sg"},
    {22, 63, 2, "/dev/hd?"},      {31, 4, 0, "/dev/mtdblock"}, {33, 63, 4, "/dev/hd?"},
    {34, 63, 6, "/dev/hd?"},      {56, 63, 8, "/dev/hd?"},  {57, 63, 10, "/dev/hd?"},
    {65, 15, 16, "/dev/sd?"},     {66, 15, 32, "/dev/sd?"}, {67, 15, 48, "/dev/sd?"},
    {68, 15, 64, "/dev/sd?"},     {69, 15, 80, "/dev/sd?"}, {70, 15, 96, "/dev/sd?"},
    {71, 15, 112, "/dev/sd?"},    {-1, -1, -1, ""},
};

} // extern "C"

namespace {

constexpr int kFsAuto = DEV_FS_AUTO;
constexpr char kVar[] = "/var";
constexpr size_t kProbeHostSize = 512;
constexpr size_t kIdeModelMax = 39;

// Opens a device node the layer names itself (under the board root).
dvr::UniqueFd open_node(const char *node, int flags)
{
    return dvr::UniqueFd(::open(dvr::board_path(node).c_str(), flags | O_CLOEXEC));
}

// Whether a failed open means only that no such device is there (no
// node, or a node without a device behind it): that is what discovery
// looks for and is not reported. Any other failure (no descriptors left,
// no permission) is.
bool no_device(int err)
{
    return err == ENOENT || err == ENXIO || err == ENODEV;
}

// Reports a failed open of a node unless it only found no device.
void report_open_failure(const dvr::Reporter &report, const char *node, int err)
{
    if (!no_device(err))
        DVR_REPORT_TO(report, "open(%s) failed : %s\n", node, std::strerror(err));
}

struct ScsiAddress {
    int32_t host = -1, channel = -1, id = -1, lun = -1;
    bool operator==(const ScsiAddress &) const = default;
};

// The words a failed address read is reported in: the generic-node map's,
// the node converters' (both with the system error), or discovery's.
enum class AddressWords { Map, Convert, Discovery };

// Host number and address word of an open SCSI node; false after a report
// that names the failing ioctl and the node.
bool read_address(int fd, const char *node, ScsiAddress &a, const dvr::Reporter &report, AddressWords words)
{
    int host = 0;
    if (dvr::dev::ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &host) < 0) {
        const char *err = std::strerror(errno);
        switch (words) {
        case AddressWords::Map: DVR_REPORT_TO(report, "get bus no on %s failed : %s\n", node, err); break;
        case AddressWords::Convert: DVR_REPORT_TO(report, "get bus No. on %s failed : %s\n", node, err); break;
        case AddressWords::Discovery: DVR_REPORT_TO(report, "get bus No. ioctl on %s failed\n", node); break;
        }
        return false;
    }
    // The kernel writes two words: the address and the host's unique id.
    int word[2] = {0, 0};
    if (dvr::dev::ioctl(fd, SCSI_IOCTL_GET_IDLUN, word) < 0) {
        if (words == AddressWords::Discovery)
            DVR_REPORT_TO(report, "get IDLUN ioctl on %s failed\n", node);
        else
            DVR_REPORT_TO(report, "get IDLUN on %s failed : %s\n", node, std::strerror(errno));
        return false;
    }
    const uint32_t w = static_cast<uint32_t>(word[0]);
    a.host = host;
    a.channel = static_cast<int32_t>((w >> 16) & 0xFF);
    a.lun = static_cast<int32_t>((w >> 8) & 0xFF);
    a.id = static_cast<int32_t>(w & 0xFF);
    return true;
}

bool starts_with_nocase(const char *text, const char *word)
{
    return strncasecmp(text, word, std::strlen(word)) == 0;
}

// Bus of a SCSI host from its description text: 1 USB, 2 IEEE-1394, else 0.
uint8_t bus_of_host(int fd, const dvr::Reporter &report)
{
    char text[kProbeHostSize] = {};
    const int len = static_cast<int>(sizeof text);
    std::memcpy(text, &len, sizeof len);
    if (dvr::dev::ioctl(fd, SCSI_IOCTL_PROBE_HOST, text) < 0) {
        DVR_REPORT_TO(report, "ioctl(SCSI_IOCTL_PROBE_HOST) error : %s\n", std::strerror(errno));
        return 0;
    }
    text[sizeof text - 1] = '\0';
    // Texts shorter than 19 characters have nothing from offset 19 on.
    const char *tail = strnlen(text, 19) == 19 ? text + 19 : text + std::strlen(text);
    if (starts_with_nocase(tail, "USB"))
        return 1;
    if (starts_with_nocase(tail, "IEEE-1394") || starts_with_nocase(text, "IEEE-1394"))
        return 2;
    return 0;
}

// The first line of a text file under the board root, at most `max`
// characters, line end included when it fits. False when it does not open.
bool first_line(const std::string &path, char *buf, size_t size, const dvr::Reporter &report)
{
    dvr::UniqueFile f(std::fopen(dvr::board_path(path).c_str(), "re"));
    if (!f) {
        if (errno != ENOENT)
            DVR_REPORT_TO(report, "fopen(%s) error : %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    buf[0] = '\0';
    if (!std::fgets(buf, static_cast<int>(size), f.get()))
        buf[0] = '\0';
    return true;
}

// One IDE disk into rec; false when the letter has no disk.
bool ide_disk(char letter, DEV_INFO &rec, const dvr::Reporter &report)
{
    char line[512];
    const std::string base = std::string("/proc/ide/hd") + letter;
    if (!first_line(base + "/driver", line, sizeof line, report) || std::strncmp(line, "ide-disk", 8) != 0)
        return false;
    char model[kIdeModelMax + 1 + 1] = {};
    if (!first_line(base + "/model", model, kIdeModelMax + 1, report))
        return false;
    rec = DEV_INFO{};
    dvr::dev::compact_model(model, kIdeModelMax);
    dvr::copy_cut(rec.model, sizeof rec.model, model);
    rec.host = rec.channel = rec.lun = -1;
    rec.id = letter;
    std::snprintf(rec.dev, sizeof rec.dev, "/dev/hd%c", letter);
    std::snprintf(rec.sg, sizeof rec.sg, "/dev/hd%c", letter);
    rec.ready = 1;
    rec.cdrom = 0;
    rec.bus = 0;
    Dev_GetHDStat(&rec, kFsAuto);
    return true;
}

// One SCSI node into rec, using the generic-node map; false when skipped.
bool scsi_device(const char *node, const DEV_SG_MAP *map, DEV_INFO &rec, const dvr::Reporter &report)
{
    // Any descriptor is a descriptor, 0 included.
    dvr::UniqueFd fd = open_node(node, O_RDONLY | O_NONBLOCK);
    if (!fd) {
        report_open_failure(report, node, errno);
        return false;
    }
    rec = DEV_INFO{};
    dvr::copy_cut(rec.dev, sizeof rec.dev, node);
    ScsiAddress a;
    if (!read_address(fd.get(), node, a, report, AddressWords::Discovery))
        return false;
    rec.host = a.host;
    rec.channel = a.channel;
    rec.lun = a.lun;
    rec.id = a.id;
    rec.bus = bus_of_host(fd.get(), report);

    const DEV_SG_MAP *entry = nullptr;
    for (int k = 0; k < DEV_SG_MAP_SIZE; ++k) {
        const DEV_SG_MAP &m = map[k];
        if (m.host == rec.host && m.channel == rec.channel && m.id == rec.id && m.lun == rec.lun) {
            entry = &m;
            break;
        }
    }
    if (!entry)
        return false;
    dvr::copy_cut(rec.sg, sizeof rec.sg, std::string_view(entry->name, strnlen(entry->name, sizeof entry->name)));
    rec.ready = entry->ready == 1 ? 1 : 0;
    const bool disk = std::strncmp(rec.dev, "/dev/sd", 7) == 0;
    if (disk && entry->ready != 1)
        return false;
    if (disk) {
        rec.ready = 1;
        rec.cdrom = 0;
        Dev_GetHDStat(&rec, kFsAuto);
    } else {
        rec.cdrom = 1;
    }
    dvr::UniqueFd sg = open_node(rec.sg, O_RDWR | O_NONBLOCK);
    if (sg)
        Dev_Inquiry(rec.dev, sg.get(), rec.model);
    else
        DVR_REPORT_TO(report, "open(%s) failed : %s\n", rec.sg, std::strerror(errno));
    return true;
}

// A caller's name buffer in a report: a destination may hold anything, so
// it is read no further than its DEV_NODE_SIZE bytes.
std::string destination_text(const char *dst)
{
    return dst ? std::string(dst, strnlen(dst, DEV_NODE_SIZE)) : std::string("(null)");
}

// The device's size in bytes into the statistics (0 when unknown).
void read_device_size(DEV_INFO *pDev, const dvr::Reporter &report)
{
    DEV_HD_STAT &st = pDev->details.hd;
    dvr::UniqueFd fd = open_node(pDev->dev, O_RDONLY);
    if (!fd) {
        DVR_REPORT_TO(report, "open(%s) failed : %s\n", pDev->dev, std::strerror(errno));
        return;
    }
    uint64_t bytes = 0;
    if (dvr::dev::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0) {
        st.device_bytes = bytes;
        return;
    }
    DVR_REPORT_TO(report, "ioctl(BLKGETSIZE64, %s) error : %s\n", pDev->dev, std::strerror(errno));
    unsigned long sectors = 0;
    if (dvr::dev::ioctl(fd.get(), BLKGETSIZE, &sectors) != 0) {
        DVR_REPORT_TO(report, "ioctl(BLKGETSIZE, %s) error : %s\n", pDev->dev, std::strerror(errno));
        sectors = 0;
    }
    st.device_bytes = static_cast<uint64_t>(sectors) * 512u;
}

} // namespace

extern "C" {

int Dev_Get(DEV_INFO *table)
try {
    const dvr::Reporter report = DEV_REPORTER();
    if (!table) {
        DEV_REPORT("(%p) : Null Ptr\n", static_cast<void *>(table));
        return 0;
    }
    int ide = 0;
    for (char letter = 'a'; letter <= 'h'; ++letter) {
        DEV_INFO rec{};
        if (ide_disk(letter, rec, report))
            table[ide++] = rec;
    }

    DEV_SG_MAP map[DEV_SG_MAP_SIZE];
    Dev_BuildSgMap(map);

    int scsi = 0;
    for (int i = 0; gDevSCSI[i] && ide + scsi < DEV_MAX_DEVICES; ++i) {
        DEV_INFO rec{};
        if (scsi_device(gDevSCSI[i], map, rec, report)) {
            table[ide + scsi] = rec;
            ++scsi;
        }
    }
    DEV_REPORT("(ide, scsi) = (%d, %d)\n", ide, scsi);

    const int total = ide + scsi;
    for (int i = 0; i < 4 && i < total; ++i) {
        const DEV_INFO &d = table[i];
        if (d.model[0] == '\0')
            continue;
        const char *bus = d.bus == 1 ? "USB" : d.bus == 2 ? "IEEE-1394" : "ATA";
        std::printf("  pDev[%d] : %s : %s : %s : %s : %s : %s, %d,%d,%d,%d : %llu MB(%llu)\n", i, d.model,
                    d.dev, d.sg, d.ready == 1 ? "Ready" : "Not Ready", d.cdrom ? "CD-ROM" : "HDD", bus,
                    d.host, d.channel, d.id, d.lun,
                    static_cast<unsigned long long>(d.details.hd.free_bytes / 1048576u),
                    static_cast<unsigned long long>(d.details.hd.device_bytes / 1048576u));
    }
    return total;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_GetHDStat(DEV_INFO *pDev, int fs)
try {
    if (!pDev) {
        DEV_REPORT("(%p) : Null ptr\n", static_cast<void *>(pDev));
        return -1;
    }
    DEV_HD_STAT &st = pDev->details.hd;
    // The record's texts are fixed fields: never read past them.
    pDev->dev[sizeof pDev->dev - 1] = '\0';
    if (!std::strstr(pDev->dev, "/dev/md"))
        read_device_size(pDev, DEV_REPORTER());

    int result;
    std::string real_mpt; // the mount point as the kernel sees it
    if (Dev_GetMPT(pDev->dev, pDev->mpt) == 0) {
        result = 0;
        real_mpt = pDev->mpt;
    } else {
        // A fresh directory under the board's "/var"; the record keeps
        // the board's own path.
        char plain[DEV_MPT_SIZE];
        std::snprintf(plain, sizeof plain, "%s/%s_XXXXXX", kVar, "Dev_GetHDStat");
        std::string templ = dvr::board_path(plain);
        if (!::mkdtemp(templ.data())) {
            DEV_REPORT("mkdtemp(%s) error : %s\n", plain, std::strerror(errno));
            std::memset(pDev->mpt, 0, sizeof pDev->mpt);
            return -1;
        }
        real_mpt = templ;
        // The six characters mkdtemp chose, in the record's plain path.
        std::memcpy(plain + std::strlen(plain) - 6, real_mpt.data() + real_mpt.size() - 6, 6);
        dvr::copy_cut(pDev->mpt, sizeof pDev->mpt, plain);
        const std::string src = dvr::board_path(pDev->dev);
        if (Dev_Mount(src.c_str(), real_mpt.c_str(), fs) != 0) {
            COM_RemoveFileInDir(1, real_mpt.c_str());
            std::memset(pDev->mpt, 0, sizeof pDev->mpt);
            return -1;
        }
        result = 1;
    }

    struct statfs sfs;
    if (::statfs(real_mpt.c_str(), &sfs) == 0) {
        st.fs_type = static_cast<uint32_t>(sfs.f_type);
        st.block_size = static_cast<uint32_t>(sfs.f_bsize);
        st.free_blocks = static_cast<uint32_t>(sfs.f_bfree);
        st.total_blocks = static_cast<uint32_t>(sfs.f_blocks);
        st.total_bytes = static_cast<uint64_t>(sfs.f_blocks) * static_cast<uint64_t>(sfs.f_bsize);
        st.free_bytes = static_cast<uint64_t>(sfs.f_bsize) * static_cast<uint64_t>(sfs.f_bfree);
    } else {
        DEV_REPORT("statfs(%s, %s) error : %s\n", pDev->dev, pDev->mpt, std::strerror(errno));
    }

    if (result == 1) {
        if (Dev_uMount(real_mpt.c_str()) == 0)
            COM_RemoveFileInDir(1, real_mpt.c_str());
        std::memset(pDev->mpt, 0, sizeof pDev->mpt);
    }
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_Rescan(void)
try {
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_MakeDevName(char *dst, int k, int numeric)
try {
    if (!dst) {
        DEV_REPORT("(%p, %d, %d) : Null ptr\n", static_cast<void *>(dst), k, numeric);
        return -1;
    }
    if (numeric)
        return std::snprintf(dst, DEV_NODE_SIZE, "/dev/sg%d", k);
    if (k < 0 || k > 25) {
        DEV_REPORT("k = %d, out of range\n", k);
        return std::snprintf(dst, DEV_NODE_SIZE, "/dev/sgxx");
    }
    return std::snprintf(dst, DEV_NODE_SIZE, "/dev/sg%c", 'a' + k);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_BuildSgMap(DEV_SG_MAP *map)
try {
    if (!map) {
        DEV_REPORT("(%p) : Null ptr\n", static_cast<void *>(map));
        return 0;
    }
    std::memset(map, 0, sizeof(DEV_SG_MAP) * DEV_SG_MAP_SIZE);
    int numeric = 1;
    int ready = 0;
    for (int k = 0; k < DEV_SG_MAP_SIZE; ++k) {
        DEV_SG_MAP &e = map[k];
        e.host = e.channel = e.id = e.lun = -1;
        Dev_MakeDevName(e.name, k, numeric);
        dvr::UniqueFd fd = open_node(e.name, O_RDWR | O_NONBLOCK);
        if (!fd && errno == ENOENT && k == 0 && numeric) {
            numeric = 0;
            Dev_MakeDevName(e.name, k, numeric);
            fd = open_node(e.name, O_RDWR | O_NONBLOCK);
        }
        if (!fd) {
            report_open_failure(DEV_REPORTER(), e.name, errno);
            continue;
        }
        ScsiAddress a;
        if (!read_address(fd.get(), e.name, a, DEV_REPORTER(), AddressWords::Map))
            continue;
        e.host = a.host;
        e.channel = a.channel;
        e.id = a.id;
        e.lun = a.lun;
        e.ready = Dev_TestUnitReady(e.name, fd.get());
        if (e.ready == 1)
            ++ready;
    }
    return ready;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_SdToSg(char *pSg, const char *pSd)
try {
    if (!pSg || !pSd) {
        DEV_REPORT("(%s, %s) : Null ptr\n", destination_text(pSg).c_str(), pSd ? pSd : "(null)");
        return -1;
    }
    dvr::UniqueFd fd = open_node(pSd, O_RDONLY | O_NONBLOCK);
    if (!fd) {
        DEV_REPORT("open(%s) failed : %s\n", pSd, std::strerror(errno));
        return -1;
    }
    ScsiAddress a;
    if (!read_address(fd.get(), pSd, a, DEV_REPORTER(), AddressWords::Convert))
        return -1;
    DEV_SG_MAP map[DEV_SG_MAP_SIZE];
    Dev_BuildSgMap(map);
    for (const DEV_SG_MAP &m : map) {
        if (ScsiAddress{m.host, m.channel, m.id, m.lun} == a) {
            dvr::copy_cut(pSg, DEV_NODE_SIZE, std::string_view(m.name, strnlen(m.name, sizeof m.name)));
            if (m.ready != 1) {
                DEV_REPORT("(%s, %s) : device not ready!\n", pSg, pSd);
                return 1;
            }
            return 0;
        }
    }
    return -1;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_SgToSd(char *pSd, const char *pSg)
try {
    if (!pSd || !pSg) {
        DEV_REPORT("(%s, %s) : Null ptr\n", pSg ? pSg : "(null)", destination_text(pSd).c_str());
        return -1;
    }
    ScsiAddress want;
    int ready;
    {
        dvr::UniqueFd fd = open_node(pSg, O_RDWR | O_NONBLOCK);
        if (!fd) {
            DEV_REPORT("open(%s) fail : %s\n", pSg, std::strerror(errno));
            return -1;
        }
        if (!read_address(fd.get(), pSg, want, DEV_REPORTER(), AddressWords::Convert))
            return -1;
        ready = Dev_TestUnitReady(pSg, fd.get());
    }
    for (int i = 0; gDevSCSI[i]; ++i) {
        ScsiAddress a;
        {
            dvr::UniqueFd fd = open_node(gDevSCSI[i], O_RDWR | O_NONBLOCK);
            if (!fd)
                continue;
            if (!read_address(fd.get(), gDevSCSI[i], a, DEV_REPORTER(), AddressWords::Convert))
                continue;
        }
        if (a == want) {
            dvr::copy_cut(pSd, DEV_NODE_SIZE, gDevSCSI[i]);
            return ready == 1 ? 0 : 1;
        }
    }
    return -1;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_ConvertToAlpha(int n, char *dst, int higher)
try {
    // A higher digit counts from 1 ('a' for 1): letters of n - 1. Taking
    // the one off before going further up keeps every length right
    // (701 zz, 702 aaa), not only the two-letter names.
    if (higher)
        --n;
    if (!dst || n < 0)
        return -1;
    if (n > 25)
        Dev_ConvertToAlpha(n / 26, dst, 1);
    const char c = static_cast<char>('a' + n % 26);
    const size_t len = std::strlen(dst);
    dst[len] = c;
    dst[len + 1] = '\0';
    return static_cast<unsigned char>(c);
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_ConvertMajorMinor(int major, int minor, char *dst)
try {
    if (!dst) {
        DEV_REPORT("(%d, %d, %p) : Null ptr\n", major, minor, static_cast<void *>(dst));
        return -1;
    }
    int result = -1;
    for (const DEV_MAJOR_ENTRY *row = gDevMajorNameSpace; row->major >= 1; ++row) {
        if (row->major != major)
            continue;
        // Minor numbers are 8 bits: larger or negative ones name nothing
        // and would not fit a node name.
        if (minor < 0 || minor > 255) {
            DEV_REPORT("invalid (major, minor) = (%d, %d)\n", major, minor);
            dst[0] = '\0';
            result = 1;
            continue;
        }
        const std::string_view prefix(row->prefix, strnlen(row->prefix, sizeof row->prefix));
        if (!prefix.empty() && prefix.find('?') != std::string_view::npos) {
            const std::string_view stem = prefix.substr(0, prefix.size() - 1);
            std::memcpy(dst, stem.data(), stem.size());
            dst[stem.size()] = '\0';
            const int per_unit = row->minor_max + 1;
            Dev_ConvertToAlpha(minor / per_unit + row->unit_base, dst, 0);
            const int part = minor % per_unit;
            if (part != 0)
                std::sprintf(dst + std::strlen(dst), "%d", part);
            result = 0;
        } else {
            std::memcpy(dst, prefix.data(), prefix.size());
            dst[prefix.size()] = '\0';
            if (minor <= row->minor_max) {
                std::sprintf(dst + prefix.size(), "%d", minor);
                result = 0;
            } else {
                DEV_REPORT("invalid (major, minor) = (%d, %d)\n", major, minor);
                result = 1;
            }
        }
    }
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
