// Optical disc information: the disc family from the drive's current
// profile, then disc information, ATIP, table of contents, track
// information or DVD structure as the family needs, and the used space of
// a finished DVD+RW measured through a read-only mount.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "dev_internal.h"
#include "board_root.h"
#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "wire.h"

namespace {

using dvr::get_be16;
using dvr::get_be24;
using dvr::get_be32;
using dvr::dev::MmcCommand;

const uint8_t kConfigurationBlk[10] = {0x46, 0x02, 0, 0, 0, 0, 0, 0, 0x08, 0};
const uint8_t kDiscInfoBlk[10] = {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0};
const uint8_t kAtipBlk[10] = {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 0x04, 0};
const uint8_t kCdTocBlk[10] = {0x43, 0x02, 0x00, 0, 0, 0, 0x01, 0, 0x04, 0};
const uint8_t kDvdRTocBlk[10] = {0x43, 0x00, 0x00, 0, 0, 0, 0x00, 0, 0x04, 0};
const uint8_t kTrackInfoBlk[10] = {0x52, 0x01, 0, 0, 0, 0, 0, 0, 0x24, 0};
const uint8_t kDvdStructBlk[12] = {0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0, 0x04, 0, 0};

// A formatted TOC's track descriptors, and the number of the lead-out's.
constexpr size_t kTocDescriptorLen = 8;
constexpr uint8_t kLeadOutTrack = 0xAA;

constexpr char kDvdPlusRwDir[] = "/var/dvd_plus_rw";
constexpr int kIso9660Row = 6;

using dvr::dev::safe;

struct ProfileRow {
    uint16_t profile;
    const char *report;
    int32_t type1, type2, type3; // type3 -1: not set
    int result;
};

constexpr ProfileRow kProfiles[] = {
    {0x0008, "It's CD-ROM\n", 1, 1, -1, 1},
    {0x0009, "It's CD-R\n", 1, 2, -1, 1},
    {0x000A, "It's CD-RW\n", 1, 3, -1, 1},
    {0x0010, "It's DVD-ROM\n", 2, 1, -1, 1},
    {0x0011, "It's DVD-R Sequential Recording\n", 3, 2, 0, 1},
    {0x0012, "It's DVD-RAM\n", 5, 4, -1, 0},
    {0x0013, "It's DVD-RW Restricted Overwrite\n", 3, 3, 2, 1},
    {0x0014, "It's DVD-RW Sequential Recording\n", 3, 3, 1, 1},
    {0x001A, "It's DVD+RW\n", 4, 3, -1, 1},
    {0x001B, "It's DVD+R\n", 4, 2, -1, 1},
    {0x0020, "It's DDCD-ROM\n", 6, 1, -1, 0},
    {0x0021, "It's DDCD-R\n", 6, 2, -1, 0},
    {0x0022, "It's DDCD-RW\n", 6, 3, -1, 0},
};

// Disc status (bits 0 and 1 of disc information byte 2) into appendable.
void set_status(DEV_DISC_INFO *info, uint8_t byte2, const dvr::Reporter &report)
{
    static const char *const kReports[4] = {
        "It is an empty disc\n",
        "It is an incomplete disc\n",
        "It is a finalized disc\n",
        "The disc is only random access writable\n",
    };
    info->appendable = byte2 & 3;
    DVR_REPORT_TO(report, "%s", kReports[byte2 & 3]);
}

int32_t msf_frames(const uint8_t *msf)
{
    return (msf[0] * 60 + msf[1]) * 75 + msf[2];
}

// An address in minutes, seconds and frames: seconds below 60, frames
// below 75.
bool msf_valid(const uint8_t *msf)
{
    return msf[1] < 60 && msf[2] < 75;
}

void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool dvd_minus_or_plus_write_once(const DEV_DISC_INFO *info)
{
    return (info->type1 == 3 || info->type1 == 4) && info->type2 == 2;
}

} // namespace

extern "C" {

int Dev_GetConfiguration(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("GET CONFIGURATION", name, kConfigurationBlk, sizeof kConfigurationBlk, 8, DEV_REPORTER());
    if (cmd.issue_probed(fd, 1, dvr::dev::kProbeConfiguration) != 0)
        return 0;
    const uint8_t *r = cmd.reply();
    if (!cmd.need(12, "the profile list header"))
        return 0;
    const int count = r[11] / 4;
    if (!cmd.need(12 + 4 * static_cast<size_t>(count), "its profile descriptors"))
        return 0;
    DEV_REPORT("(%s) : Total %d profile(s)\n", safe(name), count);
    int result = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t *d = r + 12 + 4 * i;
        if (d[2] != 1)
            continue;
        const uint16_t profile = get_be16(d);
        const ProfileRow *row = nullptr;
        for (const ProfileRow &p : kProfiles)
            if (p.profile == profile)
                row = &p;
        if (row) {
            DEV_REPORT("%s", row->report);
            pInfo->type1 = row->type1;
            pInfo->type2 = row->type2;
            if (row->type3 >= 0)
                pInfo->type3 = row->type3;
            result = row->result;
        } else {
            DEV_REPORT("Disc type(0x%04X) unreconfized\n", profile);
            result = 0;
        }
        if (profile != 0)
            break;
    }
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadDiscInfo(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("READ DISC INFORMATION", name, kDiscInfoBlk, sizeof kDiscInfoBlk, 34, DEV_REPORTER());
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeDiscInfo) != 0)
        return 0;
    const uint8_t *r = cmd.reply();
    if ((pInfo->type1 == 3 || pInfo->type1 == 4) && !cmd.need(12, "the last track in the last session"))
        return 0;
    if (pInfo->type1 == 1 && !cmd.need(10, "the number of sessions"))
        return 0;
    if (pInfo->type1 == 3 || pInfo->type1 == 4) {
        const bool erasable = (r[2] & 0x10) != 0;
        DEV_REPORT("This disc is DVD%c%s\n", pInfo->type1 == 3 ? '-' : '+', erasable ? "RW" : "R");
        const unsigned last = static_cast<unsigned>(r[11]) << 8 | r[6];
        DEV_REPORT("Last Track in Last Session is %u\n", last);
        pInfo->last_track = static_cast<int32_t>(last);
        set_status(pInfo, r[2], DEV_REPORTER());
    } else if (pInfo->type1 == 1) {
        pInfo->total_session = static_cast<int32_t>(r[9]) << 8 | r[4];
        DEV_REPORT("Total session number = %d.\n", pInfo->total_session);
        set_status(pInfo, r[2], DEV_REPORTER());
    }
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadCdATIP(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("(0100b ; ATIP -MSF-)", name, kAtipBlk, sizeof kAtipBlk, 4, DEV_REPORTER());
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeToc) != 0)
        return 0;
    if (!cmd.need(4 + 11, "the lead-out start"))
        return 0;
    const uint8_t *d = cmd.reply() + 4;
    // The capacity is the lead-out start in frames, twice, less 300: a
    // lead-out that is no time, or one within the first 150 frames, is no
    // disc size.
    const int64_t frames = msf_frames(d + 8);
    const int64_t total = frames * 2 - 300;
    if (!msf_valid(d + 8) || total <= 0) {
        cmd.refuse("ATIP lead-out %02d:%02d:%02d gives no disc size\n", d[8], d[9], d[10]);
        return 0;
    }
    DEV_REPORT("Start Time of Lead-in %02d:%02d:%02d\n", d[4], d[5], d[6]);
    DEV_REPORT("Start Time of Lead-out %02d:%02d:%02d\n", d[8], d[9], d[10]);
    DEV_REPORT("Disc Type : %s\n", (d[2] & 0x40) ? "CD-RW" : "CD-R");
    std::printf("Reference Speed = %0d\n", d[0] & 7);
    pInfo->sub_type = (d[2] >> 3) & 7;
    static const char *const kSubTypes[3] = {"Normal Speed", "High   Speed", "Ultra  Speed"};
    std::printf("Disc Sub Type = %s\n", pInfo->sub_type < 3 ? kSubTypes[pInfo->sub_type] : "Not Defined");
    DEV_REPORT("Disc Space is %d KB\n", static_cast<int>(frames * 2));
    pInfo->total_capacity = static_cast<uint64_t>(total);
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadCdToc(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("(0000b ; Formatted TOC -MSF-)", name, kCdTocBlk, sizeof kCdTocBlk, 4, DEV_REPORTER());
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeToc) != 0)
        return 0;
    if (!cmd.need(4, "its header"))
        return 0;
    const uint8_t *r = cmd.reply();
    const int n = r[3];
    // The last track's descriptor and the lead-out's (track AAh), found
    // by their track numbers among the descriptors that arrived: the
    // table need not begin with track 1.
    const size_t count = (cmd.valid() - 4) / 8;
    const uint8_t *last_desc = nullptr, *lead_desc = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *desc = r + 4 + 8 * i;
        if (desc[2] == n && !last_desc)
            last_desc = desc;
        else if (desc[2] == 0xAA && !lead_desc)
            lead_desc = desc;
    }
    if (n < 1 || n > 99 || !last_desc || !lead_desc) {
        DEV_REPORT("(%s) : no track in the TOC (last track %d, %zu bytes)\n", safe(name), n, cmd.valid());
        return 0;
    }
    const uint8_t *last = last_desc + 5;
    const uint8_t *lead_out = lead_desc + 5;
    // A track starts after the 150 frames before logical address 0, and
    // the lead-out after the last track's start.
    if (!msf_valid(last) || !msf_valid(lead_out) || msf_frames(last) < 150 ||
        msf_frames(lead_out) <= msf_frames(last)) {
        cmd.refuse("last track %d at %02d:%02d:%02d and lead-out at %02d:%02d:%02d are no table\n", n,
                   last[0], last[1], last[2], lead_out[0], lead_out[1], lead_out[2]);
        return 0;
    }
    DEV_REPORT("Last track is %d\n", n);
    DEV_REPORT("Last Lead-in at %02d:%02d:%02d\n", last[0], last[1], last[2]);
    DEV_REPORT("Last Lead-out at %02d:%02d:%02d\n", lead_out[0], lead_out[1], lead_out[2]);
    const int next = msf_frames(lead_out) + (n == 1 ? 11250 : 6750);
    const int t = next + 150;
    DEV_REPORT("Next Lead-in at %02d:%02d:%02d\n", t / 4500, (t % 4500) / 75, t % 75);
    pInfo->last_track = n;
    pInfo->last_lead_in = msf_frames(last) - 150;
    pInfo->next_lead_in = next;
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_GetCdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    if (Dev_ReadCdATIP(name, fd, pInfo) != 1) {
        DEV_REPORT("(%s) : Read CD ATIP error\n", safe(name));
        return 0;
    }
    if (Dev_ReadDiscInfo(name, fd, pInfo) != 1) {
        DEV_REPORT("(%s) : Read CD DISC INFORMATION error\n", safe(name));
        return 0;
    }
    if (pInfo->appendable == 1) {
        if (Dev_ReadCdToc(name, fd, pInfo) != 1)
            DEV_REPORT("(%s) : Read CD TOC error\n", safe(name));
        pInfo->used_capacity = static_cast<uint64_t>(static_cast<int64_t>(pInfo->next_lead_in) * 2);
    } else if (pInfo->appendable == 2) {
        pInfo->used_capacity = pInfo->total_capacity;
    } else {
        pInfo->used_capacity = 0;
    }
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadTrackInfo(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("READ TRACK INFORMATION", name, kTrackInfoBlk, sizeof kTrackInfoBlk, 36, DEV_REPORTER());
    dvr::put_be32(cmd.cdb() + 2, static_cast<uint32_t>(pInfo->last_track));
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeTrackInfo) != 0)
        return 0;
    if (!cmd.need(28, "the track size"))
        return 0;
    const uint8_t *r = cmd.reply();
    const uint32_t start = get_be32(r + 8);
    const uint32_t next_writable = get_be32(r + 12);
    const uint32_t free_blocks = get_be32(r + 16);
    const uint32_t size = get_be32(r + 24);
    // The used part of an open disc is its capacity less the free blocks:
    // more free space than the disc holds is no answer.
    const bool sets_used = pInfo->type1 == 1 || pInfo->type1 == 3 || pInfo->type1 == 4;
    const int64_t free_kb = static_cast<int64_t>(free_blocks) * 2;
    const int64_t total_kb = pInfo->total_capacity > static_cast<uint64_t>(INT64_MAX)
                                 ? INT64_MAX
                                 : static_cast<int64_t>(pInfo->total_capacity);
    if (sets_used && pInfo->appendable == 1 && free_kb > total_kb) {
        cmd.refuse("%u free blocks are more than the disc's %lld KB\n", free_blocks,
                   static_cast<long long>(total_kb));
        return 0;
    }
    std::printf("Read Track Information [#%d].\n", pInfo->last_track);
    DEV_REPORT("Track Start Address   = %u * 2KB\n", start);
    if (r[7] & 1)
        DEV_REPORT("Next Writable Address = %u * 2KB\n", next_writable);
    DEV_REPORT("FreeBlocks            = %u * 2KB\n", free_blocks);
    pInfo->free_blocks = free_blocks;
    DEV_REPORT("TrackSize             = %u * 2KB\n", size);
    pInfo->track_size = size;
    if (sets_used) {
        if (pInfo->appendable == 1)
            pInfo->used_capacity = static_cast<uint64_t>(total_kb - free_kb);
        else if (pInfo->appendable == 2)
            pInfo->used_capacity = pInfo->total_capacity;
        else
            pInfo->used_capacity = 0;
    }
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadDvdStruct(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("READ DVD STRUCTURE", name, kDvdStructBlk, sizeof kDvdStructBlk, 4, DEV_REPORTER());
    const bool dvd_minus = pInfo->type1 == 3 && (pInfo->type2 == 2 || pInfo->type2 == 3);
    cmd.cdb()[7] = dvd_minus ? 0x10 : 0x00;
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeDvdStructure) != 0)
        return 0;
    if (!cmd.need(4 + 12, "the data area"))
        return 0;
    const uint8_t *d = cmd.reply() + 4;
    const uint32_t start = get_be24(d + 5);
    const uint32_t end = get_be24(d + 9);
    // A write-once disc's capacity is its data area: an end before the
    // start is no area.
    if (dvd_minus_or_plus_write_once(pInfo) && end < start) {
        cmd.refuse("data area ends at %06Xh before its start %06Xh\n", end, start);
        return 0;
    }
    DEV_REPORT("Start Physical Sector Number of Data Area = %06Xh \n", start);
    DEV_REPORT("End Physical Sector Number of Data Area = %06Xh \n", end);
    if (pInfo->type1 == 4 && pInfo->type2 == 3)
        pInfo->total_capacity = 4590208; // 2295104 sectors of 2 KB
    else if (dvd_minus_or_plus_write_once(pInfo))
        pInfo->total_capacity = static_cast<uint64_t>((static_cast<int64_t>(end) - start + 1) * 2);
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_ReadDvdRToc(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    MmcCommand cmd("(0000b ; Formatted TOC -MSF-)", name, kDvdRTocBlk, sizeof kDvdRTocBlk, 4, DEV_REPORTER());
    if (cmd.issue_probed(fd, 0, dvr::dev::kProbeToc) != 0)
        return 0;
    if (!cmd.need(4 + 8, "a track descriptor"))
        return 0;
    // Descriptors of 8 bytes from byte 4, each read only when it arrived
    // whole: tracks up to the lead-out, the descriptor numbered AAh. A
    // reply that ends before the lead-out has no used size to give.
    const size_t len = cmd.valid();
    const uint8_t *p = nullptr;
    size_t i = 4;
    for (; i + kTocDescriptorLen <= len; i += kTocDescriptorLen) {
        const uint8_t *d = cmd.reply() + i;
        if (d[2] == kLeadOutTrack) {
            p = d;
            break;
        }
        std::printf(" Track#%-3u:             %02x@%u\n", d[2], d[1], get_be32(d + 4));
    }
    if (!p) {
        cmd.need(i + kTocDescriptorLen, "the lead-out (track AAh)");
        return 0;
    }
    const uint32_t lead_out = get_be32(p + 4);
    std::printf(" Track#%-2X :             %02x@%u\n", p[2], p[1], lead_out);
    // An open DVD+R has used up to its lead-out: twice the address plus
    // two, a signed 32-bit value within the disc's capacity when known.
    const int64_t used_plus = static_cast<int64_t>(lead_out) * 2 + 2;
    if (dvd_minus_or_plus_write_once(pInfo) && pInfo->appendable == 1 && pInfo->type1 == 4 &&
        (used_plus > INT32_MAX ||
         (pInfo->total_capacity != 0 && static_cast<uint64_t>(used_plus) > pInfo->total_capacity))) {
        cmd.refuse("lead-out %u lies beyond the disc's %llu KB\n", lead_out,
                   static_cast<unsigned long long>(pInfo->total_capacity));
        return 0;
    }
    if (dvd_minus_or_plus_write_once(pInfo)) {
        if (pInfo->appendable == 1) {
            if (pInfo->type1 == 4)
                pInfo->used_capacity = static_cast<uint64_t>(used_plus);
            else
                pInfo->used_capacity = pInfo->total_capacity;
        } else if (pInfo->appendable == 2) {
            pInfo->used_capacity = pInfo->total_capacity;
        } else {
            pInfo->used_capacity = 0;
        }
        DEV_REPORT("Used capacity = %llu MB.\n", static_cast<unsigned long long>(pInfo->used_capacity / 1024));
    }
    return 1;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_GetDvdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("(%s) : Null ptr\n", safe(name));
        return 0;
    }
    int result = 1;
    if (Dev_ReadDiscInfo(name, fd, pInfo) != 1)
        result = 0;
    if (Dev_ReadDvdStruct(name, fd, pInfo) != 1)
        result = 0;
    if (pInfo->appendable != 0 && Dev_ReadDvdRToc(name, fd, pInfo) != 1)
        result = 0;
    if (pInfo->type1 == 4 && pInfo->type2 == 2 && pInfo->appendable == 1)
        Dev_ReadTrackInfo(name, fd, pInfo);
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", 0)

int Dev_GetDvdPlusRwInfo(DEV_INFO *pDev)
try {
    if (!pDev) {
        DEV_REPORT("Get Null ptr\n");
        return 1;
    }
    pDev->dev[sizeof pDev->dev - 1] = '\0';
    if (pDev->cdrom == 0) {
        DEV_REPORT("%s is HDD type\n", pDev->dev);
        return 2;
    }
    DEV_DISC_INFO &info = pDev->details.disc;
    const std::string dir = dvr::board_path(kDvdPlusRwDir);
    if (COM_Mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        DEV_REPORT("COM_Mkdir(%s) error : %s\n", kDvdPlusRwDir, std::strerror(errno));
        return -1;
    }
    // A mount left over from an earlier measurement goes away.
    ::umount(dir.c_str());

    const std::string src = dvr::board_path(pDev->dev);
    if (Dev_Mount(src.c_str(), dir.c_str(), kIso9660Row) != 0) {
        DEV_REPORT("Dev_Mount(%s, %s) error : %s\n", pDev->dev, kDvdPlusRwDir, std::strerror(errno));
        return -2;
    }
    int result;
    struct statfs sfs;
    if (::statfs(dir.c_str(), &sfs) != 0) {
        DEV_REPORT("statfs(%s,%s) error : %s\n", pDev->dev, kDvdPlusRwDir, std::strerror(errno));
        result = -3;
    } else {
        info.used_capacity =
            static_cast<uint64_t>(sfs.f_blocks) * static_cast<uint64_t>(sfs.f_bsize) / 1024u;
        DEV_REPORT("(%s) : used_capacity = %llu\n", pDev->dev,
                   static_cast<unsigned long long>(info.used_capacity));
        result = 0;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Dev_uMount(dir.c_str()) == 0)
            break;
        sleep_ms(500);
    }
    return result;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_GetDiscInfo(DEV_INFO *pDev)
try {
    if (!pDev) {
        DEV_REPORT("Get Null ptr\n");
        return 1;
    }
    // The record's texts are fixed fields: never read past them.
    pDev->dev[sizeof pDev->dev - 1] = '\0';
    pDev->sg[sizeof pDev->sg - 1] = '\0';
    if (pDev->cdrom == 0) {
        DEV_REPORT("%s is HDD type\n", pDev->dev);
        return 2;
    }
    dvr::UniqueFd fd(::open(dvr::board_path(pDev->sg).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        DEV_REPORT("open(%s/%s) fail : %s\n", pDev->dev, pDev->sg, std::strerror(errno));
        return -1;
    }
    DEV_DISC_INFO *info = &pDev->details.disc;
    *info = DEV_DISC_INFO{};
    pDev->ready = static_cast<uint8_t>(Dev_TestUnitReady(pDev->dev, fd.get()));
    if (pDev->ready != 1)
        return -129;
    Dev_Inquiry(pDev->dev, fd.get(), nullptr);
    if (Dev_GetConfiguration(pDev->dev, fd.get(), info) == 0) {
        DEV_REPORT("(%s/%s) : Unknown/Unsupport CD/DVD Specs\n", pDev->dev, pDev->sg);
        return -130;
    }
    switch (info->type1) {
    case 1:
        Dev_GetCdInfo(pDev->dev, fd.get(), info);
        break;
    case 3:
        Dev_GetDvdInfo(pDev->dev, fd.get(), info);
        break;
    case 4:
        Dev_GetDvdInfo(pDev->dev, fd.get(), info);
        if (info->type2 == 3 && info->appendable == 2)
            Dev_GetDvdPlusRwInfo(pDev);
        break;
    default:
        break;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/DEV", -1)

int Dev_ShowDiscInfo(const DEV_DISC_INFO *pInfo)
try {
    if (!pInfo) {
        DEV_REPORT("Get Null ptr\n");
        return -1;
    }
    const DEV_DISC_INFO &i = *pInfo;
    DEV_REPORT("(type1, type2, type3) = (%d, %d, %d)\n", i.type1, i.type2, i.type3);
    DEV_REPORT("(sub_type, reseved_flag, appendable) = (%d, %d, %d)\n", static_cast<int>(i.sub_type),
               i.reseved_flag, i.appendable);
    DEV_REPORT("(last_lead_in, next_lead_in) = (%d, %d)\n", i.last_lead_in, i.next_lead_in);
    DEV_REPORT("(last_track, total_session) = (%d, %d)\n", i.last_track, i.total_session);
    DEV_REPORT("(free_blocks, track_size) = (%u, %u)\n", i.free_blocks, i.track_size);
    return DEV_REPORT("(total_capacity(KB), used_capacity(KB)) = (%llu, %llu)\n",
                      static_cast<unsigned long long>(i.total_capacity),
                      static_cast<unsigned long long>(i.used_capacity));
} DVR_C_BOUNDARY("MODULES/DEV", -1)

} // extern "C"
