/**
 * @file
 * DEV: the device layer (storage devices, optical discs, mounts, disk health).
 * Plain C interface (C99 and C++), every function with C linkage.
 */
#ifndef DVRPLAT_DEV_H
#define DVRPLAT_DEV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's interface, exported from the
 * shared library; all else in it is hidden. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* ---------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------- */

#include <scsi/sg.h>

/** File-system statistics of a disk, as Dev_GetHDStat stores them in the
 * details area of its DEV_INFO (64 bytes). */
typedef struct {
    uint32_t fs_type;       /**< f_type as statfs reports it */
    uint32_t block_size;    /**< bytes */
    uint32_t free_blocks;   /**< blocks free to the superuser */
    uint32_t total_blocks;  /**< blocks of the file system */
    uint64_t total_bytes;   /**< total_blocks x block_size */
    uint64_t free_bytes;    /**< free_blocks x block_size */
    uint64_t device_bytes;  /**< size of the whole block device */
    uint8_t unused[24];     /**< zero */
} DEV_HD_STAT;

/** What is in an optical drive (64 bytes); capacities in KB, blocks of
 * 2 KB. Rebuilt from zero by each Dev_GetDiscInfo. */
typedef struct {
    int32_t type1;          /**< 1 CD, 2 DVD-ROM, 3 DVD-R/RW, 4 DVD+R/RW, 5 DVD-RAM, 6 DDCD */
    int32_t type2;          /**< 1 read-only, 2 write-once, 3 rewritable, 4 random access */
    int32_t type3;          /**< DVD-minus mode: 0 R seq., 1 RW seq., 2 RW restricted overwrite */
    uint32_t sub_type;      /**< CD-R/RW sub-type from the ATIP */
    int32_t reseved_flag;   /**< never set */
    int32_t appendable;     /**< 0 empty, 1 incomplete, 2 finalized, 3 random access only */
    int32_t last_lead_in;   /**< CD: logical address of the last track's start */
    int32_t next_lead_in;   /**< CD: frame count of the next session's lead-in */
    int32_t last_track;     /**< number of the last track */
    int32_t total_session;  /**< CD: number of sessions */
    uint32_t free_blocks;   /**< of the last track, 2 KB blocks */
    uint32_t track_size;    /**< of the last track, 2 KB blocks */
    uint64_t total_capacity; /**< KB */
    uint64_t used_capacity;  /**< KB */
} DEV_DISC_INFO;

/** The details area of DEV_INFO: disk statistics or disc information. */
typedef union {
    DEV_HD_STAT hd;         /**< a disk's statistics */
    DEV_DISC_INFO disc;     /**< an optical drive's disc */
    uint8_t raw[64];        /**< the area as bytes */
} DEV_DETAILS;

/** Bytes of DEV_INFO's model text. */
#define DEV_MODEL_SIZE 68
/** Bytes of a device-node name ("/dev/sg12" and its NUL fit). */
#define DEV_NODE_SIZE 12
/** Bytes of a mount point. */
#define DEV_MPT_SIZE 80
/** Records of a Dev_Get table. */
#define DEV_MAX_DEVICES 32

/** One storage device (256 bytes). An empty model marks an unused record. */
typedef struct {
    char model[DEV_MODEL_SIZE]; /**< compacted model text */
    int32_t host;               /**< SCSI host; -1 for IDE */
    int32_t channel;            /**< -1 for IDE */
    int32_t id;                 /**< SCSI target; IDE: drive letter's code */
    int32_t lun;                /**< -1 for IDE */
    char dev[DEV_NODE_SIZE];    /**< device node, e.g. /dev/sdb */
    char sg[DEV_NODE_SIZE];     /**< node commands go through, e.g. /dev/sg2 */
    char mpt[DEV_MPT_SIZE];     /**< mount point while mounted */
    uint8_t ready;              /**< 1: answered TEST UNIT READY */
    uint8_t cdrom;              /**< 0 disk, 1 any other SCSI device */
    uint8_t bus;                /**< 0 ATA, 1 USB, 2 IEEE-1394 */
    uint8_t pad;                /**< keeps details on an 8-byte boundary */
    DEV_DETAILS details;        /**< disk statistics or disc information */
} DEV_INFO;

/** Bytes of a DEV_MMC_CMD's name. */
#define DEV_MMC_NAME_SIZE 64
/** A SCSI command for Dev_ExecMMC: its name in messages and the SCSI
 * generic request (interface version 3). */
typedef struct {
    char name[DEV_MMC_NAME_SIZE]; /**< the command's name in reports */
    struct sg_io_hdr io;          /**< the SG_IO request */
} DEV_MMC_CMD;

/** One line of "/proc/mounts" (512 bytes); each field cut to its width. */
typedef struct {
    char dev[128];  /**< the mounted device */
    char mpt[128];  /**< the mount point */
    char type[16];  /**< the file-system type */
    char opts[240]; /**< the mount options */
} DEV_MTAB_ENTRY;

/** Entries of a generic-node map (Dev_BuildSgMap). */
#define DEV_SG_MAP_SIZE 32
/** One SCSI generic node (32 bytes); a map has 32 of them (1024 bytes). */
typedef struct {
    char name[DEV_NODE_SIZE]; /**< "/dev/sg%d" or "/dev/sg%c" */
    int32_t ready;            /**< Dev_TestUnitReady on the node */
    int32_t host;             /**< SCSI address; -1 until known */
    int32_t channel;          /**< SCSI channel */
    int32_t id;               /**< SCSI target */
    int32_t lun;              /**< SCSI logical unit */
} DEV_SG_MAP;

/** One file-system type that Dev_Mount may try. */
typedef struct {
    int32_t available;   /**< 1: may be tried */
    const char *type;    /**< type name for mount(2) */
    uint32_t flags;      /**< mount flags */
    const char *options; /**< option text, or NULL */
} DEV_FS_ENTRY;

/** Rows of gDevFS. */
#define DEV_FS_COUNT 10
/** Dev_Mount's choice for automatic detection. */
#define DEV_FS_AUTO 10

/** One row of the (major, minor) to node-name table; major -1 ends it. */
typedef struct {
    int32_t major;       /**< device major number; -1 ends the table */
    int32_t minor_max;   /**< highest minor of one unit */
    int32_t unit_base;   /**< letter index of the first unit on this major */
    char prefix[16];     /**< a trailing '?' stands for the unit letters */
} DEV_MAJOR_ENTRY;

/** SCSI nodes discovery tries, in order; NULL-terminated (62 entries). */
#define DEV_SCSI_NODE_COUNT 61
/** The SCSI node names discovery tries, in order; NULL ends the list. */
extern const char *const gDevSCSI[DEV_SCSI_NODE_COUNT + 1];

/** File-system table, tried in this order by automatic detection. */
extern DEV_FS_ENTRY gDevFS[DEV_FS_COUNT];
/** 1 once Dev_InitFsArray has run. */
extern int gDevFsInit;

/* ---------------------------------------------------------------------
 * SCSI MMC command transport
 * ------------------------------------------------------------------- */

/**
 * Sends one prepared request to a SCSI generic node with SG_IO.
 * @param pCmd    the command: its name in reports and the SG_IO request
 * @param fd      open descriptor of the generic node
 * @param verbose 1 reports sense data, statuses and the reply dump
 * @return 0 success, -1 the driver version could not be read, -2 driver
 *         older than interface 3, -3 SG_IO failed, -4 the command ended with
 *         an error. Failures are reported.
 * Blocks until the drive answers, at most 20 s (the command's timeout);
 * every SCSI command function of this header goes through it and can block
 * as long for each command it sends. Commands to different descriptors may
 * run on several threads at once; one descriptor must not carry two
 * commands at the same time.
 */
int Dev_ExecMMC(DEV_MMC_CMD *pCmd, int fd, int verbose);

/* The command functions below take the name used in messages (NULL is
 * taken as "") and an open descriptor of a generic node (read-write,
 * non-blocking). They return 1 on success and 0 on failure. */

/**
 * TEST UNIT READY, up to three attempts one second apart.
 * @param name name used in reports (NULL is taken as "")
 * @param fd   open descriptor of the generic node
 * @return 1 ready, 0 not ready after three attempts. Blocks up to 3 x 20 s
 *         plus the two pauses (a drive that answers "not ready" at once:
 *         about 2 s). Thread-safe for different descriptors.
 */
int Dev_TestUnitReady(const char *name, int fd);
/**
 * INQUIRY; prints the identity (vendor, product, revision, vendor-specific
 * text) on standard output.
 * @param name   name used in reports (NULL is taken as "")
 * @param fd     open descriptor of the generic node
 * @param pModel receives vendor and product compacted (may be NULL, at least
 *               25 bytes)
 * @return 1 success, 0 failure (reported). Blocks up to 20 s.
 */
int Dev_Inquiry(const char *name, int fd, char *pModel);
/**
 * READ BUFFER CAPACITY; reports the drive's buffer size in MB ("???" when
 * 1 MB or less).
 * @param name name used in reports (NULL is taken as "")
 * @param fd   open descriptor of the generic node
 * @return 1 success, 0 failure (reported). Blocks up to 20 s.
 */
int Dev_ReadBufferCapacity(const char *name, int fd);
/**
 * READ CAPACITY; the reply is not looked at.
 * @param name    name used in reports (NULL is taken as "")
 * @param fd      open descriptor of the generic node
 * @param pUnused not used
 * @return 1 the command succeeded, 0 failure. Blocks up to 20 s.
 */
int Dev_ReadCapacity(const char *name, int fd, DEV_DISC_INFO *pUnused);
/**
 * READ FORMAT CAPACITIES; prints the capacity list as a hex dump on
 * standard output.
 * @param name    name used in reports (NULL is taken as "")
 * @param fd      open descriptor of the generic node
 * @param pUnused not used
 * @return 1 success, 0 failure (reported). Two commands (the reply's length
 *         first, then the whole reply): blocks up to 40 s.
 */
int Dev_ReadFormatCapacity(const char *name, int fd, DEV_DISC_INFO *pUnused);
/**
 * READ PRE-RECORDED INFO IN LEAD-IN; the reply is not looked at.
 * @param name    name used in reports (NULL is taken as "")
 * @param fd      open descriptor of the generic node
 * @param pUnused not used
 * @return 1 the command succeeded, 0 failure. Blocks up to 20 s.
 */
int Dev_ReadPreInfo(const char *name, int fd, DEV_DISC_INFO *pUnused);

/* ---------------------------------------------------------------------
 * Mounts and file systems
 * ------------------------------------------------------------------- */

/**
 * Mounts src on dst. For automatic detection a source not ending in a digit
 * is tried with partition suffixes first. An NFS source ("host:/dir") goes
 * through "/bin/mount" (Dev_NfsMount).
 * @param src device node or "host:/dir"
 * @param dst mount point
 * @param fs  a gDevFS row (0 to 9), or DEV_FS_AUTO (any other value) for
 *            automatic detection over the available rows
 * @return 0 mounted, -1 failure (reported); for NFS the result of
 *         COM_System. Blocks for the mounts tried (NFS: until the command
 *         ends). Thread-safe, but automatic detection reads gDevFS, which
 *         Dev_InitFsArray changes.
 */
int Dev_Mount(const char *src, const char *dst, int fs);
/**
 * Unmounts a mount point or a device node; after an NFS unmount the server
 * is told (Dev_NfsuMountRPCCall).
 * @param path mount point or device node
 * @return 0 unmounted, -1 null argument or umount failure (reported).
 * Blocks for the unmount (and the NFS notice). Thread-safe.
 */
int Dev_uMount(const char *path);
/**
 * Runs "/bin/mount -t nfs -o <options> src dst" through COM_System, the
 * options being gDevFS's NFS row (the line at most 255 characters; an
 * argument holding a blank or starting with "-" is refused and nothing
 * runs).
 * @param src "host:/dir"
 * @param dst mount point
 * @return COM_System's result; -1 (reported) when refused. Blocks until
 *         the command ends. Thread-safe.
 */
int Dev_NfsMount(const char *src, const char *dst);
/**
 * Tells the server of src that the share was unmounted (MOUNT program
 * 100005 v1, UMNT).
 * @param src  "host:/dir", each part at most 79 characters
 * @param opts the mount's option text ("addr=", "mountport=", "tcp"), may be
 *             NULL
 * @return 0 the server accepted the notice, 1 otherwise (reported).
 * Blocks for the name lookup (as DNS_GetA), the port lookup with the
 * server's portmapper when no mountport= is given, and the call itself, at
 * most 20 s (over UDP resent every 3 s). Thread-safe.
 */
int Dev_NfsuMountRPCCall(const char *src, const char *opts);
/**
 * XDR coder of the UMNT argument: dir as an XDR string of at most 1024
 * characters.
 * @param xdrs the RPC library's XDR stream
 * @param dir  the directory
 * @return 1 coded, 0 failure (the RPC library's convention; always 0 in a
 *         build without the RPC library).
 */
int Dev_NfsXdrDir(void *xdrs, char *dir);
/**
 * Marks the gDevFS rows whose type "/proc/filesystems" does not list, and
 * sets gDevFsInit. Not thread-safe: it changes the shared table without a
 * lock; call it once at start-up, before other threads mount.
 */
void Dev_InitFsArray(void);
/**
 * Mount point of the first "/proc/mounts" line whose device begins with dev.
 * @param dev device (prefix)
 * @param mpt receives the mount point, DEV_MPT_SIZE bytes
 * @return 0 found, -1 otherwise. Thread-safe.
 */
int Dev_GetMPT(const char *dev, char *mpt);
/**
 * As Dev_GetMPT; with n > 0 the device must agree with dev in its first n
 * characters and be at most n characters long.
 * @param dev device
 * @param mpt receives the mount point, DEV_MPT_SIZE bytes
 * @param n   characters compared (0 or less: as Dev_GetMPT)
 * @return 0 found, -1 otherwise. Thread-safe.
 */
int Dev_nGetMPT(const char *dev, char *mpt, int n);
/**
 * Device mounted on mpt, the last such line of "/proc/mounts".
 * @param dev receives the device, 80 bytes (untouched when not found)
 * @param mpt mount point
 * @return 0 when mpt is a mount point, -1 otherwise. Thread-safe.
 */
int Dev_GetDevViaMount(char *dev, const char *mpt);
/**
 * The first "/proc/mounts" entry whose device or mount point is name.
 * @param name   device or mount point
 * @param pEntry receives the entry
 * @return 0 found, -1 otherwise. Thread-safe.
 */
int Dev_GetEntryViaMtab(const char *name, DEV_MTAB_ENTRY *pEntry);
/**
 * Looks for the partition table mark: bytes 510 and 511 of dev are 55h AAh.
 * @param dev device node
 * @return 0 marked; 1 absent or seek failed; 2 read failed; -1 the device
 *         does not open. Thread-safe.
 */
int Dev_CheckPartition(const char *dev);

/* ---------------------------------------------------------------------
 * Device table and discovery
 * ------------------------------------------------------------------- */

/** (major, minor) to node-name table; ends with a row whose major is -1. */
extern const DEV_MAJOR_ENTRY gDevMajorNameSpace[];

/**
 * Fills table with the IDE disks, then the SCSI devices found. Device
 * nodes, "/proc/ide" and the temporary mount points are taken under the
 * board root (DVRPLAT_ROOT). Disks are measured (Dev_GetHDStat, mounting
 * each one not mounted for the call); each generic node is asked TEST UNIT
 * READY and INQUIRY.
 * @param table DEV_MAX_DEVICES records, zero-filled by the caller
 * @return the number of records filled; 0 for a NULL table. Failures of
 *         single devices are reported and skip them.
 * Blocks for the mounts and the SCSI commands: up to about a minute for
 * each generic node whose drive does not answer (Dev_TestUnitReady).
 * Thread-safe as the functions it calls.
 */
int Dev_Get(DEV_INFO *table);
/**
 * Size and file-system statistics of a disk into pDev->details.hd; mounts
 * the disk for the call when it is not mounted.
 * @param pDev the disk's record (dev set)
 * @param fs   a gDevFS row, or DEV_FS_AUTO
 * @return 0 from an existing mount, 1 from a temporary mount (since
 *         released), -1 the temporary mount failed (reported). Blocks for
 *         the mount. Thread-safe.
 */
int Dev_GetHDStat(DEV_INFO *pDev, int fs);
/**
 * Kept for callers of an older interface; does nothing.
 * @return always 0.
 */
int Dev_Rescan(void);
/**
 * Fills map from the generic nodes 0 to 31: name, SCSI address and
 * readiness (Dev_TestUnitReady on each node that opens).
 * @param map DEV_SG_MAP_SIZE entries
 * @return the number of nodes that are ready. Blocks up to about a minute
 *         for each node whose drive does not answer. Thread-safe.
 */
int Dev_BuildSgMap(DEV_SG_MAP *map);
/**
 * Names generic node k: "/dev/sg%d" when numeric is set, else "/dev/sg%c"
 * ('a' + k, k at most 25; larger k gives "/dev/sgxx").
 * @param dst     receives the name, at least DEV_NODE_SIZE bytes
 * @param k       node number
 * @param numeric non-zero: decimal form
 * @return the characters written. Thread-safe.
 */
int Dev_MakeDevName(char *dst, int k, int numeric);
/**
 * Generic node of a disk or optical node (matched by SCSI address).
 * @param pSg receives the generic node, DEV_NODE_SIZE bytes
 * @param pSd the disk or optical node
 * @return 0 found and ready, 1 found but not ready, -1 not found or failure
 *         (reported). Blocks as Dev_BuildSgMap. Thread-safe.
 */
int Dev_SdToSg(char *pSg, const char *pSd);
/**
 * Disk or optical node of a generic node (matched by SCSI address).
 * @param pSd receives the node, DEV_NODE_SIZE bytes
 * @param pSg the generic node
 * @return 0 found and ready, 1 found but not ready, -1 not found or failure
 *         (reported). Blocks up to about a minute (Dev_TestUnitReady).
 *         Thread-safe.
 */
int Dev_SgToSd(char *pSd, const char *pSg);
/**
 * Node name of a block device, from gDevMajorNameSpace.
 * @param major device major number
 * @param minor device minor number, 0 to 255
 * @param dst   receives the name, at least 16 bytes
 * @return 0 converted, 1 minor out of range, -1 major not in the table.
 * Thread-safe.
 */
int Dev_ConvertMajorMinor(int major, int minor, char *dst);
/**
 * Appends the unit letters of n (0 a, 25 z, 26 aa, ...) to dst.
 * @param n      the unit number
 * @param dst    a terminated text with room for 8 more characters
 * @param higher non-zero: n counts from 1 (1 a), as for the letters
 *               before the last one
 * @return -1 for a null dst or a negative n (nothing appended); otherwise
 *         the last character written. Thread-safe.
 */
int Dev_ConvertToAlpha(int n, char *dst, int higher);

/* ---------------------------------------------------------------------
 * Optical disc information
 * ------------------------------------------------------------------- */

/**
 * What is in the optical drive of pDev, into pDev->details.disc (zeroed
 * first): TEST UNIT READY (pDev->ready), INQUIRY, GET CONFIGURATION, then
 * the commands of the disc's family (CD: Dev_GetCdInfo; DVD-R/RW, DVD+R/RW:
 * Dev_GetDvdInfo; a finished DVD+RW is also measured by
 * Dev_GetDvdPlusRwInfo). Each step is reported.
 * @param pDev the drive's record: sg (opened under DVRPLAT_ROOT), dev (the
 *             name in reports) and cdrom set
 * @return 0 done (steps that fail leave their fields 0), 1 NULL record,
 *         2 the device is a disk, -1 the generic node does not open, -129
 *         the drive is not ready, -130 the disc type is not supported.
 * Blocks for up to about a dozen SCSI commands, each up to 20 s, and a
 * drive that is not ready costs about 2 s (up to a minute when it does not
 * answer). Thread-safe for different drives.
 */
int Dev_GetDiscInfo(DEV_INFO *pDev);
/* The command functions below take the name used in messages, an open
 * descriptor of the drive's generic node and the drive's disc record;
 * they return 1 on success and 0 on failure. */
/**
 * GET CONFIGURATION: the current profile to type1, type2, type3 (reported
 * by name, with the command's status and reply dump).
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record
 * @return 1 success, 0 failure or an unsupported disc. Two commands: up to
 *         40 s.
 */
int Dev_GetConfiguration(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ DISC INFORMATION: for a DVD-R/RW or DVD+R/RW the last track of the
 * last session (last_track), for a CD the number of sessions
 * (total_session); appendable from the disc status. Reports each value.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record, type1 set (Dev_GetConfiguration)
 * @return 1 success, 0 failure (reported). Two commands: up to 40 s.
 */
int Dev_ReadDiscInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ TOC/PMA/ATIP, ATIP form: sub_type and total_capacity (the lead-out
 * start) of a CD-R or CD-RW. Reports the lead-in and lead-out times and the
 * disc space; prints the reference speed and sub-type on standard output.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record
 * @return 1 success, 0 failure (a pressed CD has no ATIP). Two commands: up
 *         to 40 s.
 */
int Dev_ReadCdATIP(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ TOC/PMA/ATIP, formatted TOC in MSF form: last_track, last_lead_in
 * and next_lead_in of an open CD. Reports each.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record
 * @return 1 success, 0 failure (reported). Two commands: up to 40 s.
 */
int Dev_ReadCdToc(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * A CD's figures: Dev_ReadCdATIP, Dev_ReadDiscInfo, and for an open disc
 * Dev_ReadCdToc; used_capacity from them.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record, type1 1
 * @return 1 success (a failed TOC read is reported but kept), 0 the ATIP or
 *         disc information failed (reported). Up to six commands.
 */
int Dev_GetCdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ TRACK INFORMATION of the last track: free_blocks, track_size, and
 * for an open disc used_capacity. Reports the track's addresses and sizes.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record, last_track set
 * @return 1 success, 0 failure (reported). Two commands: up to 40 s.
 */
int Dev_ReadTrackInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ DVD STRUCTURE (control data zone for DVD-R/RW, physical format
 * otherwise): total_capacity from the data area (a DVD+RW: its fixed
 * 4590208 KB). Reports the data area's start and end.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record, type1 and type2 set
 * @return 1 success, 0 failure (reported). Two commands: up to 40 s.
 */
int Dev_ReadDvdStruct(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * READ TOC/PMA/ATIP of a DVD: used_capacity from the lead-out address.
 * Prints each track on standard output and reports the used capacity.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record
 * @return 1 success, 0 failure (reported). Two commands: up to 40 s.
 */
int Dev_ReadDvdRToc(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * A DVD's figures: Dev_ReadDiscInfo, Dev_ReadDvdStruct, for a disc that is
 * not empty Dev_ReadDvdRToc, and for an open DVD+R Dev_ReadTrackInfo.
 * @param name  name used in reports
 * @param fd    open descriptor of the generic node
 * @param pInfo the disc record, type1 3 or 4
 * @return 1 all steps succeeded, 0 one failed (the others still ran). Up
 *         to eight commands.
 */
int Dev_GetDvdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
/**
 * Used capacity of a finished DVD+RW, measured by mounting it read-only as
 * iso9660 on "/var/dvd_plus_rw".
 * @param pDev the drive's record
 * @return 0 measured, 1 NULL record, 2 a disk, -1 the directory cannot be
 *         made, -2 the mount failed, -3 statfs failed (each reported).
 * Blocks for the mount. Not for two threads at once (one mount point).
 */
int Dev_GetDvdPlusRwInfo(DEV_INFO *pDev);
/**
 * Reports every field of the record (six lines).
 * @param pInfo the record
 * @return the result of the last report; -1 for NULL. Thread-safe.
 */
int Dev_ShowDiscInfo(const DEV_DISC_INFO *pInfo);

/* ---------------------------------------------------------------------
 * Disk identity, SMART and temperature watch
 * ------------------------------------------------------------------- */

#include <pthread.h>

/** A SMART attribute request: the caller sets id; value receives the low
 * byte of the attribute's raw value (for 194, C2h, the temperature in
 * degrees Celsius as a signed 8-bit number). */
typedef struct {
    uint8_t id;    /**< the attribute wanted */
    uint8_t value; /**< receives the low byte of its raw value */
} DEV_SMART_REQ;

/** SMART attribute C2h (194): the temperature. */
#define DEV_SMART_TEMPERATURE 0xC2

/** Temperature-watch states of one disk. */
#define DEV_TEMP_NOT_WATCHED 0
/** Normal temperature (the starting state). */
#define DEV_TEMP_NORMAL 1
/** At or above high, not yet for hold seconds (timing). */
#define DEV_TEMP_RISING 2
/** At or above high for hold seconds (on_high was called). */
#define DEV_TEMP_HOT 3
/** At or below low after being hot, not yet for hold seconds (timing). */
#define DEV_TEMP_COOLING 4
/** At or below low for hold seconds after being hot (on_normal called). */
#define DEV_TEMP_BACK_TO_NORMAL 5

/** One watched IDE disk (16 bytes). */
typedef struct {
    char name[8];        /**< "hd%c" */
    int16_t state;       /**< DEV_TEMP_* */
    int16_t prev_state;  /**< state before the last change */
    int32_t since;       /**< seconds; -1 until first set */
} DEV_TEMP_DISK;

/** Called on the watch thread with the disk's index (0 to 7), its entry
 * and the current time in seconds; the result is ignored. */
typedef int (*DEV_TEMP_FN)(int index, DEV_TEMP_DISK *pDisk, int32_t now);

/** Disks a temperature watch covers ("hda" to "hdh"). */
#define DEV_TEMP_DISKS 8

/** One temperature watch, owned by the caller, who sets high, low, hold,
 * on_high and on_normal before Dev_DiskTempWatchDogCreate. */
typedef struct {
    pthread_t thread;        /**< the watch thread, while it runs */
    pthread_mutex_t lock;    /**< guards running */
    int32_t running;         /**< 1 while the watch shall go on */
    uint8_t high;            /**< degrees Celsius */
    uint8_t low;             /**< degrees Celsius */
    uint16_t hold;           /**< seconds a condition must last */
    DEV_TEMP_FN on_high;     /**< may be NULL */
    DEV_TEMP_FN on_normal;   /**< may be NULL */
    DEV_TEMP_DISK disks[DEV_TEMP_DISKS]; /**< 'a' to 'h', filled by the thread */
} DEV_TEMP_WATCH;

/**
 * Serial number, firmware revision and model of an IDE disk from
 * "/proc/ide/<name>/identify", name being the part of pDevPath after its
 * last '/'. Buffers may be NULL, not all three.
 * @param pDevPath the disk's node
 * @param pSN      receives the serial number, 21 bytes
 * @param pFwRev   receives the firmware revision, 9 bytes
 * @param pModel   receives the model, 41 bytes
 * @return 0 success, -1 failure (reported). Thread-safe.
 */
int Dev_GetDevIdentify(const char *pDevPath, char *pSN, char *pFwRev, char *pModel);
/**
 * Writes the serial number of the IDE disk mounted on pMpt into the file
 * "ID" there.
 * @param pMpt the mount point
 * @return the result of COM_SaveID (0 written), -1 failure (reported).
 * Thread-safe.
 */
int Dev_SaveID(const char *pMpt);
/**
 * First line of pMpt's "ID" file, the file being made first when missing.
 * @param pID  receives the text, 256 bytes
 * @param pMpt the mount point
 * @return 0 success, -1 failure (reported). Thread-safe.
 */
int Dev_GetIDViaMount(char *pID, const char *pMpt);
/**
 * As Dev_GetIDViaMount on the mount point of pDev.
 * @param pID  receives the text, 256 bytes
 * @param pDev the device
 * @return 0 success, -1 failure or not mounted. Thread-safe.
 */
int Dev_GetIDViaDev(char *pID, const char *pDev);
/**
 * SMART attribute pSmart->id of an IDE disk ("/proc/ide/<name>/
 * smart_values").
 * @param pDev   the disk's node
 * @param pSmart id set by the caller; receives the value
 * @return 0 the attribute was found, -1 otherwise. Thread-safe.
 */
int Dev_GetSmartValue(const char *pDev, DEV_SMART_REQ *pSmart);
/**
 * Starts the watch thread (Dev_TempWatchThread).
 * @param pWatch the caller's watch, settings filled in
 * @return 0 started, the thread-creation error number otherwise, EBUSY
 *         when the watch is running already, -1 for NULL. Thread-safe (the
 *         watch's lock).
 */
int Dev_DiskTempWatchDogCreate(DEV_TEMP_WATCH *pWatch);
/**
 * Stops the watch thread by cancellation and waits for it.
 * @param pWatch the watch
 * @return 0 stopped, the cancellation error number otherwise, ESRCH when
 *         the watch is not running (never created, or destroyed already),
 *         -1 for NULL. Blocks until the thread has ended (it is cancelled
 *         at its next wait or file access). Thread-safe.
 */
int Dev_DiskTempWatchDogDestroy(DEV_TEMP_WATCH *pWatch);
/**
 * Body of the watch thread: scans the disks, then one pass every 300
 * seconds while running; the callbacks run on this thread.
 * @param pWatch the watch
 * @return 0 when it ends.
 */
int Dev_TempWatchThread(DEV_TEMP_WATCH *pWatch);
/**
 * One watch step of one disk: reads its temperature and moves its state
 * (calling on_high or on_normal once a condition has lasted hold seconds).
 * @param pWatch the watch
 * @param pDisk  the disk's entry
 * @param pSmart a request holding id 194
 * @param index  the disk's index, 0 to 7
 * @return the disk's state after the step (DEV_TEMP_*); -1 (reported) for
 *         a null argument.
 */
int Dev_SubTempWatch(DEV_TEMP_WATCH *pWatch, DEV_TEMP_DISK *pDisk, DEV_SMART_REQ *pSmart, int index);

/* ---------------------------------------------------------------------
 * Device test menu
 * ------------------------------------------------------------------- */

/** The values a device test tool currently works with (44 bytes). */
typedef struct {
    char sg[DEV_NODE_SIZE];  /**< generic node */
    char sd[DEV_NODE_SIZE];  /**< disk or optical node */
    char dev[DEV_NODE_SIZE]; /**< device node of the conversions */
    int32_t major;           /**< device major number */
    int32_t minor;           /**< device minor number */
} DEV_TEST_MENU;

/**
 * Prints the device test menu with the current values on standard output.
 * @param pMenu the values
 * @return the result of the last print; -1 for NULL. Thread-safe.
 */
int Dev_TestMenu(const DEV_TEST_MENU *pMenu);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DEV_H */
