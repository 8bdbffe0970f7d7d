// Layout of the device layer's shared records, and the list of SCSI nodes
// that discovery tries.
#include <cstddef>

#include "DEV.h"

static_assert(sizeof(DEV_HD_STAT) == 64);
static_assert(offsetof(DEV_HD_STAT, total_bytes) == 16);
static_assert(offsetof(DEV_HD_STAT, free_bytes) == 24);
static_assert(offsetof(DEV_HD_STAT, device_bytes) == 32);
static_assert(offsetof(DEV_HD_STAT, unused) == 40);

static_assert(sizeof(DEV_DISC_INFO) == 64);
static_assert(offsetof(DEV_DISC_INFO, sub_type) == 12);
static_assert(offsetof(DEV_DISC_INFO, appendable) == 20);
static_assert(offsetof(DEV_DISC_INFO, total_session) == 36);
static_assert(offsetof(DEV_DISC_INFO, free_blocks) == 40);
static_assert(offsetof(DEV_DISC_INFO, total_capacity) == 48);
static_assert(offsetof(DEV_DISC_INFO, used_capacity) == 56);

static_assert(sizeof(DEV_DETAILS) == 64);

static_assert(sizeof(DEV_INFO) == 256);
static_assert(offsetof(DEV_INFO, model) == 0);
static_assert(offsetof(DEV_INFO, host) == 68);
static_assert(offsetof(DEV_INFO, channel) == 72);
static_assert(offsetof(DEV_INFO, id) == 76);
static_assert(offsetof(DEV_INFO, lun) == 80);
static_assert(offsetof(DEV_INFO, dev) == 84);
static_assert(offsetof(DEV_INFO, sg) == 96);
static_assert(offsetof(DEV_INFO, mpt) == 108);
static_assert(offsetof(DEV_INFO, ready) == 188);
static_assert(offsetof(DEV_INFO, cdrom) == 189);
static_assert(offsetof(DEV_INFO, bus) == 190);
static_assert(offsetof(DEV_INFO, details) == 192);

static_assert(offsetof(DEV_MMC_CMD, io) == DEV_MMC_NAME_SIZE);

static_assert(sizeof(DEV_MTAB_ENTRY) == 512);
static_assert(offsetof(DEV_MTAB_ENTRY, mpt) == 128);
static_assert(offsetof(DEV_MTAB_ENTRY, type) == 256);
static_assert(offsetof(DEV_MTAB_ENTRY, opts) == 272);

static_assert(sizeof(DEV_SG_MAP) == 32);
static_assert(sizeof(DEV_SG_MAP) * DEV_SG_MAP_SIZE == 1024);
static_assert(offsetof(DEV_SG_MAP, ready) == 12);
static_assert(offsetof(DEV_SG_MAP, lun) == 28);

static_assert(sizeof(DEV_MAJOR_ENTRY) == 28);

extern "C" {

const char *const gDevSCSI[DEV_SCSI_NODE_COUNT + 1] = {
    "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde", "/dev/sdf", "/dev/sdg",
    "/dev/sdh", "/dev/sdi", "/dev/sdj", "/dev/sdk", "/dev/sdl", "/dev/sdm", "/dev/sdn",
    "/dev/sdo", "/dev/sdp", "/dev/sdq", "/dev/sdr", "/dev/sds", "/dev/sdt", "/dev/sdu",
    "/dev/sdv", "/dev/sdw", "/dev/sdx", "/dev/sdy", "/dev/sdz",
    "/dev/scd0", "/dev/scd1", "/dev/scd2", "/dev/scd3", "/dev/scd4", "/dev/scd5",
    "/dev/scd6", "/dev/scd7", "/dev/scd8", "/dev/scd9", "/dev/scd10", "/dev/scd11",
    "/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr3", "/dev/sr4", "/dev/sr5",
    "/dev/sr6", "/dev/sr7", "/dev/sr8", "/dev/sr9", "/dev/sr10", "/dev/sr11",
    "/dev/nst0", "/dev/nst1", "/dev/nst2", "/dev/nst3", "/dev/nst4", "/dev/nst5",
    "/dev/nosst0", "/dev/nosst1", "/dev/nosst2", "/dev/nosst3", "/dev/nosst4",
    nullptr,
};

} // extern "C"
