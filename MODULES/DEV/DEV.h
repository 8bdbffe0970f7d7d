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
    uint32_t total_blocks;
    uint64_t total_bytes;   /**< total_blocks x block_size */
    uint64_t free_bytes;    /**< free_blocks x block_size */
    uint64_t device_bytes;  /**< size of the whole block device */
    uint8_t unused[24];
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
    int32_t last_track;
    int32_t total_session;
    uint32_t free_blocks;   /**< of the last track, 2 KB blocks */
    uint32_t track_size;    /**< of the last track, 2 KB blocks */
    uint64_t total_capacity; /**< KB */
    uint64_t used_capacity;  /**< KB */
} DEV_DISC_INFO;

/** The details area of DEV_INFO: disk statistics or disc information. */
typedef union {
    DEV_HD_STAT hd;
    DEV_DISC_INFO disc;
    uint8_t raw[64];
} DEV_DETAILS;

#define DEV_MODEL_SIZE 68
#define DEV_NODE_SIZE 12
#define DEV_MPT_SIZE 80
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
    DEV_DETAILS details;
} DEV_INFO;

/** A SCSI command for Dev_ExecMMC: its name in messages and the SCSI
 * generic request (interface version 3). */
#define DEV_MMC_NAME_SIZE 64
typedef struct {
    char name[DEV_MMC_NAME_SIZE];
    struct sg_io_hdr io;
} DEV_MMC_CMD;

/** One line of "/proc/mounts" (512 bytes); each field cut to its width. */
typedef struct {
    char dev[128];
    char mpt[128];
    char type[16];
    char opts[240];
} DEV_MTAB_ENTRY;

/** One SCSI generic node (32 bytes); a map has 32 of them (1024 bytes). */
#define DEV_SG_MAP_SIZE 32
typedef struct {
    char name[DEV_NODE_SIZE]; /**< "/dev/sg%d" or "/dev/sg%c" */
    int32_t ready;            /**< Dev_TestUnitReady on the node */
    int32_t host;             /**< SCSI address; -1 until known */
    int32_t channel;
    int32_t id;
    int32_t lun;
} DEV_SG_MAP;

/** One file-system type that Dev_Mount may try. */
typedef struct {
    int32_t available;   /**< 1: may be tried */
    const char *type;    /**< type name for mount(2) */
    uint32_t flags;      /**< mount flags */
    const char *options; /**< option text, or NULL */
} DEV_FS_ENTRY;

#define DEV_FS_COUNT 10
#define DEV_FS_AUTO 10   /* Dev_Mount's choice for automatic detection */

/** One row of the (major, minor) to node-name table; major -1 ends it. */
typedef struct {
    int32_t major;
    int32_t minor_max;   /**< highest minor of one unit */
    int32_t unit_base;   /**< letter index of the first unit on this major */
    char prefix[16];     /**< a trailing '?' stands for the unit letters */
} DEV_MAJOR_ENTRY;

/** SCSI nodes discovery tries, in order; NULL-terminated (62 entries). */
#define DEV_SCSI_NODE_COUNT 61
extern const char *const gDevSCSI[DEV_SCSI_NODE_COUNT + 1];

/** File-system table, tried in this order by automatic detection. */
extern DEV_FS_ENTRY gDevFS[DEV_FS_COUNT];
/** 1 once Dev_InitFsArray has run. */
extern int gDevFsInit;

/* ---------------------------------------------------------------------
 * SCSI MMC command transport
 * ------------------------------------------------------------------- */

/** Sends one prepared request to a SCSI generic node with SG_IO. verbose 1
 * reports sense data, statuses and the reply dump. Returns 0 success, -1
 * the driver version could not be read, -2 driver older than interface 3,
 * -3 SG_IO failed, -4 the command ended with an error. Blocks until the
 * drive answers, at most 20 s (the command's timeout); every SCSI command
 * function of this header goes through it and can block as long.
 * Commands to different descriptors may run on several threads at once;
 * one descriptor must not carry two commands at the same time. */
int Dev_ExecMMC(DEV_MMC_CMD *pCmd, int fd, int verbose);

/* The command functions below take the name used in messages (NULL is
 * taken as "") and an open descriptor of a generic node (read-write,
 * non-blocking). They return 1 on success and 0 on failure. */

/** TEST UNIT READY, up to three attempts one second apart. */
int Dev_TestUnitReady(const char *name, int fd);
/** INQUIRY; prints the identity. pModel (may be NULL, at least 25 bytes)
 * receives vendor and product compacted. */
int Dev_Inquiry(const char *name, int fd, char *pModel);
int Dev_ReadBufferCapacity(const char *name, int fd);
/** The third argument is not used. */
int Dev_ReadCapacity(const char *name, int fd, DEV_DISC_INFO *pUnused);
int Dev_ReadFormatCapacity(const char *name, int fd, DEV_DISC_INFO *pUnused);
int Dev_ReadPreInfo(const char *name, int fd, DEV_DISC_INFO *pUnused);

/* ---------------------------------------------------------------------
 * Mounts and file systems
 * ------------------------------------------------------------------- */

/** Mounts src on dst. fs: a gDevFS row (0 to 9), or DEV_FS_AUTO (any other
 * value) for automatic detection over the available rows; a source not
 * ending in a digit is tried with partition suffixes first. An NFS source
 * ("host:/dir") goes through "/bin/mount". Returns 0 mounted, -1 failure;
 * for NFS the result of COM_System. */
int Dev_Mount(const char *src, const char *dst, int fs);
/** Unmounts a mount point or a device node; after an NFS unmount the
 * server is told. 0 unmounted, -1 null argument or umount failure. */
int Dev_uMount(const char *path);
/** "/bin/mount -t nfs -o <options> src dst" through COM_System (the line
 * at most 255 characters; an argument holding a blank or starting with "-"
 * is refused and nothing runs). */
int Dev_NfsMount(const char *src, const char *dst);
/** Tells the server of src ("host:/dir", each part at most 79 characters)
 * that the share was unmounted (MOUNT program 100005 v1, UMNT). opts: the
 * mount's option text ("addr=", "mountport=", "tcp"), may be NULL.
 * 0 the server accepted the notice, 1 otherwise. */
int Dev_NfsuMountRPCCall(const char *src, const char *opts);
/** XDR coder of the UMNT argument: dir as an XDR string of at most 1024
 * characters. xdrs is the RPC library's XDR stream. */
int Dev_NfsXdrDir(void *xdrs, char *dir);
/** Marks the gDevFS rows whose type "/proc/filesystems" does not list. */
void Dev_InitFsArray(void);
/** Mount point (into mpt, DEV_MPT_SIZE bytes) of the first "/proc/mounts"
 * line whose device begins with dev. 0 found, -1 otherwise. */
int Dev_GetMPT(const char *dev, char *mpt);
/** As Dev_GetMPT; with n > 0 the device must agree with dev in its first n
 * characters and be at most n characters long. */
int Dev_nGetMPT(const char *dev, char *mpt, int n);
/** Device (into dev, 80 bytes) mounted on mpt, the last such line. 0 when
 * mpt is a mount point, -1 otherwise (dev untouched). */
int Dev_GetDevViaMount(char *dev, const char *mpt);
/** The first "/proc/mounts" entry whose device or mount point is name.
 * 0 found, -1 otherwise. */
int Dev_GetEntryViaMtab(const char *name, DEV_MTAB_ENTRY *pEntry);
/** 0 when bytes 510 and 511 of dev are 55h AAh; 1 absent or seek failed;
 * 2 read failed; -1 the device does not open. */
int Dev_CheckPartition(const char *dev);

/* ---------------------------------------------------------------------
 * Device table and discovery
 * ------------------------------------------------------------------- */

/** (major, minor) to node-name table; ends with a row whose major is -1. */
extern const DEV_MAJOR_ENTRY gDevMajorNameSpace[];

/** Fills table (DEV_MAX_DEVICES records, zero-filled by the caller) with
 * the IDE disks, then the SCSI devices found. Returns the number of
 * records filled; 0 for a NULL table. Device nodes, "/proc/ide" and the
 * temporary mount points are taken under the board root (DVRPLAT_ROOT). */
int Dev_Get(DEV_INFO *table);
/** Size and file-system statistics of a disk into pDev->details.hd; mounts
 * the disk for the call when it is not mounted (fs: a gDevFS row, or
 * DEV_FS_AUTO). 0 from an existing mount, 1 from a temporary mount (since
 * released), -1 the temporary mount failed. */
int Dev_GetHDStat(DEV_INFO *pDev, int fs);
/** Always 0; does nothing. */
int Dev_Rescan(void);
/** Fills map (DEV_SG_MAP_SIZE entries) from the generic nodes 0 to 31.
 * Returns the number of nodes that are ready. */
int Dev_BuildSgMap(DEV_SG_MAP *map);
/** Names generic node k into dst (at least DEV_NODE_SIZE bytes):
 * "/dev/sg%d" when numeric is set, else "/dev/sg%c" ('a' + k, k at most
 * 25; larger k gives "/dev/sgxx"). Returns the characters written. */
int Dev_MakeDevName(char *dst, int k, int numeric);
/** Generic node (into pSg, DEV_NODE_SIZE bytes) of a disk or optical node.
 * 0 found and ready, 1 found but not ready, -1 not found or failure. */
int Dev_SdToSg(char *pSg, const char *pSd);
/** Disk or optical node (into pSd, DEV_NODE_SIZE bytes) of a generic node.
 * 0 found and ready, 1 found but not ready, -1 not found or failure. */
int Dev_SgToSd(char *pSd, const char *pSg);
/** Node name of a block device into dst (at least 16 bytes). 0 converted,
 * 1 minor out of range (minors are 0 to 255), -1 major not in the table. */
int Dev_ConvertMajorMinor(int major, int minor, char *dst);
/** Appends the unit letters of n (0 a, 25 z, 26 aa, ...) to dst, which has
 * room for 8 more characters. A negative n appends nothing and gives -1;
 * otherwise the last character written. */
int Dev_ConvertToAlpha(int n, char *dst, int higher);

/* ---------------------------------------------------------------------
 * Optical disc information
 * ------------------------------------------------------------------- */

/** What is in the optical drive of pDev, into pDev->details.disc (zeroed
 * first). 0 done (steps that fail leave their fields 0), 1 NULL record,
 * 2 the device is a disk, -1 the generic node does not open, -129 the
 * drive is not ready, -130 the disc type is not supported. */
int Dev_GetDiscInfo(DEV_INFO *pDev);
/* The command functions below take the name used in messages, an open
 * descriptor of the drive's generic node and the drive's disc record;
 * they return 1 on success and 0 on failure. */
/** Current profile to type1, type2, type3; 0 also for an unsupported disc. */
int Dev_GetConfiguration(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadDiscInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadCdATIP(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadCdToc(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_GetCdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadTrackInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadDvdStruct(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_ReadDvdRToc(const char *name, int fd, DEV_DISC_INFO *pInfo);
int Dev_GetDvdInfo(const char *name, int fd, DEV_DISC_INFO *pInfo);
/** Used capacity of a finished DVD+RW, measured by mounting it read-only
 * as iso9660 on "/var/dvd_plus_rw". 0 measured, 1 NULL record, 2 a disk,
 * -1 the directory cannot be made, -2 the mount failed, -3 statfs failed. */
int Dev_GetDvdPlusRwInfo(DEV_INFO *pDev);
/** Reports every field of the record; the result of the last report. */
int Dev_ShowDiscInfo(const DEV_DISC_INFO *pInfo);

/* ---------------------------------------------------------------------
 * Disk identity, SMART and temperature watch
 * ------------------------------------------------------------------- */

#include <pthread.h>

/** A SMART attribute request: the caller sets id; value receives the low
 * byte of the attribute's raw value (for 194, C2h, the temperature in
 * degrees Celsius as a signed 8-bit number). */
typedef struct {
    uint8_t id;
    uint8_t value;
} DEV_SMART_REQ;

#define DEV_SMART_TEMPERATURE 0xC2

/** Temperature-watch states of one disk. */
#define DEV_TEMP_NOT_WATCHED 0
#define DEV_TEMP_NORMAL 1
#define DEV_TEMP_RISING 2
#define DEV_TEMP_HOT 3
#define DEV_TEMP_COOLING 4
#define DEV_TEMP_BACK_TO_NORMAL 5

/** One watched IDE disk (16 bytes). */
typedef struct {
    char name[8];        /**< "hd%c" */
    int16_t state;
    int16_t prev_state;
    int32_t since;       /**< seconds; -1 until first set */
} DEV_TEMP_DISK;

/** Called on the watch thread with the disk's index (0 to 7), its entry
 * and the current time in seconds; the result is ignored. */
typedef int (*DEV_TEMP_FN)(int index, DEV_TEMP_DISK *pDisk, int32_t now);

#define DEV_TEMP_DISKS 8

/** One temperature watch, owned by the caller, who sets high, low, hold,
 * on_high and on_normal before Dev_DiskTempWatchDogCreate. */
typedef struct {
    pthread_t thread;
    pthread_mutex_t lock;    /**< guards running */
    int32_t running;         /**< 1 while the watch shall go on */
    uint8_t high;            /**< degrees Celsius */
    uint8_t low;
    uint16_t hold;           /**< seconds a condition must last */
    DEV_TEMP_FN on_high;     /**< may be NULL */
    DEV_TEMP_FN on_normal;   /**< may be NULL */
    DEV_TEMP_DISK disks[DEV_TEMP_DISKS]; /**< 'a' to 'h', filled by the thread */
} DEV_TEMP_WATCH;

/** Serial number (21 bytes), firmware revision (9) and model (41) of an
 * IDE disk from "/proc/ide/<name>/identify", name being the part of
 * pDevPath after its last '/'. Buffers may be NULL, not all three.
 * 0 success, -1 failure. */
int Dev_GetDevIdentify(const char *pDevPath, char *pSN, char *pFwRev, char *pModel);
/** Writes the serial number of the IDE disk mounted on pMpt into the file
 * "ID" there. The result of COM_SaveID (0 written), -1 failure. */
int Dev_SaveID(const char *pMpt);
/** First line of pMpt's "ID" file into pID (256 bytes), the file being
 * made first when missing. 0 success, -1 failure. */
int Dev_GetIDViaMount(char *pID, const char *pMpt);
/** As Dev_GetIDViaMount on the mount point of pDev; -1 when not mounted. */
int Dev_GetIDViaDev(char *pID, const char *pDev);
/** SMART attribute pSmart->id of an IDE disk ("/proc/ide/<name>/
 * smart_values"). 0 the attribute was found, -1 otherwise. */
int Dev_GetSmartValue(const char *pDev, DEV_SMART_REQ *pSmart);
/** Starts the watch thread. 0 started, the thread-creation error number
 * otherwise, EBUSY when the watch is running already, -1 for NULL. */
int Dev_DiskTempWatchDogCreate(DEV_TEMP_WATCH *pWatch);
/** Stops the watch thread by cancellation and waits for it. 0 stopped, the
 * cancellation error number otherwise, ESRCH when the watch is not running
 * (never created, or destroyed already), -1 for NULL. */
int Dev_DiskTempWatchDogDestroy(DEV_TEMP_WATCH *pWatch);
/** Body of the watch thread: scans the disks, then one pass every 300
 * seconds while running. 0 when it ends. */
int Dev_TempWatchThread(DEV_TEMP_WATCH *pWatch);
/** One watch step of one disk (pSmart holding id 194); the disk's state
 * after the step. */
int Dev_SubTempWatch(DEV_TEMP_WATCH *pWatch, DEV_TEMP_DISK *pDisk, DEV_SMART_REQ *pSmart, int index);

/* ---------------------------------------------------------------------
 * Device test menu
 * ------------------------------------------------------------------- */

/** The values a device test tool currently works with (44 bytes). */
typedef struct {
    char sg[DEV_NODE_SIZE];
    char sd[DEV_NODE_SIZE];
    char dev[DEV_NODE_SIZE];
    int32_t major;
    int32_t minor;
} DEV_TEST_MENU;

/** Prints the device test menu with the current values. The result of the
 * last print; -1 for NULL. */
int Dev_TestMenu(const DEV_TEST_MENU *pMenu);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DEV_H */
