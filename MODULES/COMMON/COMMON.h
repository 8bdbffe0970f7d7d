/**
 * @file
 * COMMON: the common library of the recorder's controller board.
 *
 * Plain C interface (C99 and C++). Every function has C linkage; records
 * are plain structs whose layout is fixed (see the static_asserts beside
 * their implementations). Results: 0 success, -1 failure unless a function
 * says otherwise. Reports are single lines on standard output through
 * COM_Message.
 */
#ifndef DVRPLAT_COMMON_H
#define DVRPLAT_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/time.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's interface, exported from the
 * shared library; all else in it is hidden. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#if defined(__GNUC__)
/** Lets the compiler check a printf-like call: argument fmt is the format,
 * the values start at argument args. */
#define COM_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
/** Lets the compiler check a printf-like call (nothing without GCC). */
#define COM_PRINTF_LIKE(fmt, args)
#endif

/* ---------------------------------------------------------------------
 * Message reporting and time helpers
 * ------------------------------------------------------------------- */

/**
 * Every report of the library goes through COM_Message. By default it
 * prints "file,line:function(): message" (or "file,line: message" when
 * function is NULL) on standard output; with a handler set (see
 * COM_SetMessageHandler) the formatted message goes to the handler
 * instead and nothing is printed.
 * @param file     the reporting module or source file
 * @param line     the line of the report
 * @param function the reporting function's name, or NULL
 * @param format   printf format of the message, followed by its arguments
 * @return the count of characters of the line (the length the printed line
 *         has, or would have had), -1 when nothing could be formatted.
 * Thread-safe: each line is printed by one call of the C library's output,
 * never split by another thread's. Blocks while standard output (or the
 * handler) does.
 */
int COM_Message(const char *file, int line, const char *function,
                const char *format, ...) COM_PRINTF_LIKE(4, 5);

/** A receiver of the library's reports.
 *   user      the pointer given to COM_SetMessageHandler
 *   file      the reporting module ("fpga", "MODULES/COMMON", ...) or the
 *             caller's file name given to COM_Message
 *   line      the line of the report
 *   function  the reporting function's name, or NULL when it has none
 *   text      the formatted message, exactly as it would follow the
 *             prefix on standard output (usually ending in "\n")
 * The strings are valid only during the call. The handler runs on the
 * reporting thread, so it may be called from several threads at once and
 * from the library's own watchdog and temperature-watch threads; it may
 * call COM_Message or COM_SetMessageHandler itself. */
typedef void (*COM_MESSAGE_HANDLER)(void *user, const char *file, int line,
                                    const char *function, const char *text);

/**
 * Sends every later report to handler (with user passed through); NULL
 * restores the default, printing on standard output byte for byte as
 * before. A report already under way when this returns may still reach the
 * old handler, so keep what the old user pointer points to alive until such
 * reports are done (for example until the threads that report have
 * stopped).
 * @param handler the receiver, or NULL for standard output
 * @param user    passed to every call of handler
 * Thread-safe: it may be called while other threads report; each report
 * sees either the old pair or the new one, never a mix.
 */
void COM_SetMessageHandler(COM_MESSAGE_HANDLER handler, void *user);

/**
 * result = x - y; y is normalised first (and so changed).
 * @param result receives the difference
 * @param x      the later time
 * @param y      the earlier time (normalised in place)
 * @return 1 when the difference is negative, 0 otherwise. Thread-safe.
 */
int COM_DiffTimeval(struct timeval *result, struct timeval *x, struct timeval *y);
/**
 * Prints "file,line: [t] -> [YYYY/MM/DD HH:MM:SS]" (UTC) on standard output
 * (directly, not through COM_Message).
 * @param file caller's file name, printed as given
 * @param line caller's line
 * @param t    the time to show
 * @return 0; -1 when t cannot be converted (nothing printed). Thread-safe.
 */
int COM_ShowTimet(const char *file, int line, time_t t);
/**
 * Prints the current time, "file,line: [YYYY/MM/DD HH:MM:SS.uuuuuu]" (UTC),
 * on standard output (directly, not through COM_Message).
 * @param file caller's file name, printed as given
 * @param line caller's line
 * @return 0; -1 when the clock or its conversion failed (printed instead).
 * Thread-safe.
 */
int COM_ShowTimeval(const char *file, int line);
/**
 * Formats t as "%Y/%m/%d %H:%M:%S" in UTC.
 * @param buf receives the text; at least 32 bytes
 * @param t   the time
 * @return 0; -1 for a null buffer or a time that cannot be converted.
 * Thread-safe (gmtime_r).
 */
int COM_ConvertTimetToStr(char *buf, time_t t);
/**
 * Breaks t down in UTC (gmtime_r).
 * @param tm receives the fields
 * @param t  the time
 * @return tm; NULL for a null tm or a time that cannot be converted.
 * Thread-safe.
 */
struct tm *COM_ConvertTimetToTm(struct tm *tm, time_t t);
/**
 * Sleeps sec seconds and nsec nanoseconds (nanosleep, not resumed after a
 * signal). With a file name it prints "[file, line] : B4 sec. nsec sec
 * Sleep" before and "[file, line] : After Sleep" after, on standard output.
 * @param sec  seconds
 * @param nsec nanoseconds, 0..999999999
 * @param file caller's file name, or NULL for no lines
 * @param line caller's line
 * @return nanosleep's result: 0, or -1 (interrupted, or a bad nsec).
 * Blocks for the time asked. Thread-safe.
 */
int NANOSLEEP(int sec, int nsec, const char *file, int line);
/**
 * Closes *fd and sets it to -1.
 * @param fd address of the descriptor
 * @return close's result; -1 for a null pointer or a negative descriptor
 *         (nothing closed). Thread-safe.
 */
int COM_CloseFd(int *fd);
/**
 * Prints the version keyword line of the library's source, then that of
 * this header (historic revision texts, kept as they were), on standard
 * output.
 * @return the count of the last line printed. Thread-safe.
 */
int COM_Version(void);
/**
 * The version of the library actually loaded, "MAJOR.MINOR.PATCH". Compare
 * with the DVRPLAT_VERSION_* macros of dvrplat_version.h to check that a
 * program runs against the library it was compiled for.
 * @param major receives the major number when not NULL
 * @param minor receives the minor number when not NULL
 * @param patch receives the patch number when not NULL
 * @return static text. Thread-safe, never fails.
 */
const char *COM_GetLibraryVersion(int *major, int *minor, int *patch);
/**
 * The PWD environment variable (the directory the shell started the
 * program in, not necessarily the current one).
 * @return getenv's pointer, or NULL when unset. As thread-safe as getenv:
 * not while another thread changes the environment.
 */
char *COM_GetPWD(void);

/* ---------------------------------------------------------------------
 * Files and directories
 * ------------------------------------------------------------------- */

/** Bytes of a COM_REPLACE_ITEM key. */
#define COM_REPLACE_KEY_SIZE 160
/** Bytes of a COM_REPLACE_ITEM replacement line. */
#define COM_REPLACE_LINE_SIZE 160

/** One line to look for (and replace) in COM_ReplaceItemsInFile. */
typedef struct {
    /** Leading characters of szKey compared (1 to 160); 0 marks the item as
     * done. Set to 0 when the item matched a line. */
    int32_t nKeyLen;
    char szKey[COM_REPLACE_KEY_SIZE]; /**< the text a line is matched against */
    /** Replacement line without its line end (up to 159 characters); an
     * empty text deletes the matched line. */
    char szReplace[COM_REPLACE_LINE_SIZE];
} COM_REPLACE_ITEM;

/** The items and options of one COM_ReplaceItemsInFile call. */
typedef struct {
    int32_t nItem;          /**< entries in pItem */
    int32_t bCheckOnly;     /**< non-zero: search only, never change the file */
    int32_t bMatchAnywhere; /**< non-zero: key anywhere in a line, case-sensitive;
                               zero: line begins with the key, any case */
    int32_t bAppend;        /**< non-zero: unmatched replacements are appended */
    COM_REPLACE_ITEM *pItem; /**< the items */
} COM_REPLACE_LIST;

/**
 * Makes every missing level of path with mode (as mkdir -p).
 * @param path directory to make
 * @param mode permissions of each new level (before the umask)
 * @return 0 when the directory exists afterwards; -1 (reported) otherwise.
 * Thread-safe.
 */
int COM_Mkdir(const char *path, mode_t mode);
/**
 * Empties and removes a directory (recursive only when bRecursive is 1).
 * Symbolic links are removed, never followed. Each failure is reported.
 * @param bRecursive 1: descend into subdirectories; otherwise only files
 * @param dir        the directory
 * @return the number of entries that could not be removed (0 all removed).
 * Thread-safe (no shared state; another thread changing the same tree makes
 * the result reflect what it found).
 */
int COM_RemoveFileInDir(int bRecursive, const char *dir);
/**
 * Removes the file a symbolic link points to (one level; a relative target
 * from the link's directory), keeping the link. A path that is not a link
 * is itself removed.
 * @param path the link
 * @return 0 removed; -1 (reported) when the path or the target cannot be
 *         removed. Thread-safe.
 */
int COM_RemoveRealFile(const char *path);
/**
 * symlink(target, link), replacing link when forced or when target exists.
 * @param bForce non-zero: replace an existing link in any case
 * @param target the text the link holds
 * @param link   the link's path
 * @return 0 made; -1 (reported) otherwise. Thread-safe.
 */
int COM_CreateSymbolLink(int bForce, const char *target, const char *link);
/**
 * Moves a file by copy and delete; the destination takes the source's mode,
 * owner and group and is on the disk before the source is removed; the
 * source stays unless the move is complete (a short write or read error
 * fails and keeps it).
 * @param src the file to move
 * @param dst the new path
 * @return 0 moved; -1 (reported) otherwise. Blocks for the copy and the
 *         flush to the disk. Thread-safe.
 */
int COM_RenameFile(const char *src, const char *dst);
/**
 * Rewrites (or only searches) whole lines of a text file; the file is
 * replaced only by complete new contents (left as it was on failure).
 * @param path the text file
 * @param list the items and the options; each matched item's nKeyLen is
 *             set to 0
 * @return the number of items that matched, -1 (reported) on failure.
 * Thread-safe for different files; two calls on one file may lose one's
 * changes (the later replacement wins).
 */
int COM_ReplaceItemsInFile(const char *path, COM_REPLACE_LIST *list);
/**
 * Reads count bytes of a file with one read.
 * @param path  the file
 * @param buf   receives the bytes
 * @param count bytes wanted, 0 or more
 * @return 0 all read, 1 some, otherwise read's own result (0 or -1); -1
 *         (reported) for bad arguments or a file that does not open.
 * Thread-safe.
 */
int COM_LoadDataFromFile(const char *path, void *buf, int count);
/**
 * Writes count bytes as the whole new contents of a file with one write;
 * the file is replaced only by the complete block: on any failure it is
 * left as it was.
 * @param path  the file
 * @param buf   the bytes
 * @param count bytes to write, 0 or more
 * @return 0 all written, 1 some, otherwise write's own result (0 or -1);
 *         -1 (reported) for bad arguments or a failed replacement.
 * Thread-safe for different files.
 */
int COM_SaveDataIntoFile(const char *path, const void *buf, int count);
/**
 * Appends the first line of a small text file to buf (size bytes in all);
 * reading stops at the line's end or when buf is full, and the open never
 * waits (a FIFO without a writer reads as empty).
 * @param path the file
 * @param buf  a terminated text to append to
 * @param size bytes of buf in all
 * @return 0 when something was read; -1 and "unknown" (cut to fit)
 *         otherwise (reported, except a file that does not exist).
 *         Thread-safe; blocks only as reading the file does.
 */
int COM_GetFileContent(const char *path, char *buf, int size);
/**
 * Writes text (no NUL, no line end), replacing the file only once all of
 * it is stored.
 * @param path the file
 * @param text the new contents
 * @return 0 when every byte was written; -1 (reported) otherwise (an empty
 *         text gives -1). Thread-safe for different files.
 */
int COM_SetFileContent(const char *path, const char *text);
/**
 * Makes the node (mknod) when path does not exist.
 * @param path the node's path
 * @param mode file type and permissions for mknod
 * @param dev  device number for mknod
 * @return 0 when the path exists or was made; -1 (reported) otherwise.
 * Thread-safe.
 */
int COM_CheckDevFile(const char *path, mode_t mode, uint64_t dev);
/**
 * Writes id into the file "ID" of dir.
 * @param dir directory holding the file
 * @param id  the text
 * @return 0 when written; -1 (reported) otherwise. Thread-safe.
 */
int COM_SaveID(const char *dir, const char *id);
/**
 * Grows the heap buffer whose pointer is at ppBuf (the address of any
 * object pointer, holding NULL or a block from malloc) to nSize bytes,
 * zeroes the bytes from nOffset on, and copies nLen bytes of src to
 * nOffset.
 * @param nSize   new size in bytes
 * @param ppBuf   address of the buffer's pointer
 * @param nOffset where the copy goes
 * @param src     bytes to copy (may be NULL when nLen is 0)
 * @param nLen    bytes to copy
 * @return the new buffer (also stored at ppBuf), or NULL (reported) with
 *         the old buffer unchanged. Thread-safe for different buffers.
 */
void *COM_ReallocAndCopyBuf(int nSize, void *ppBuf, int nOffset, const void *src, int nLen);
/**
 * Inverts every byte of buf.
 * @param buf the bytes
 * @param len their count
 * @return 0; -1 for a null buffer. Thread-safe.
 */
int COM_XorBuffer(void *buf, int len);

/* ---------------------------------------------------------------------
 * Processes and system state
 * ------------------------------------------------------------------- */

/** A program to keep running, found by the start of its first argument. */
typedef struct {
    const char *pName;      /**< NULL: never found */
    int32_t nFound;         /**< processes that matched in the last scan */
    void (*pRestart)(void); /**< called when nothing matched; may be NULL */
} COM_WATCHDOG_ITEM;

/** The programs COM_WatchDog keeps running. */
typedef struct {
    int32_t nItem;            /**< entries in pItem */
    COM_WATCHDOG_ITEM *pItem; /**< the items */
} COM_WATCHDOG_LIST;

/** Called by COM_PopenRead for each output line (with its line end), then
 * once with a NULL line after the command ended. */
typedef void (*COM_POPEN_LINE_FN)(const char *line, int32_t user);

/**
 * Runs a command line (split at spaces, no shell, full program path) and
 * waits for it, with no time limit. SIGINT and SIGQUIT are ignored while
 * any call runs (the first caller in saves the process's actions, the last
 * one out restores them).
 * @param cmd  the command line
 * @param pPid receives the child's id while it runs (may be NULL)
 * @return the wait status, or -1 (reported) when the child could not be
 *         started or waited for.
 * Blocks until the command ends. Thread-safe: calls may overlap. A thread
 * cancelled in the wait kills and reaps the child, clears *pPid and puts
 * the signal actions back.
 */
int COM_System(const char *cmd, int *pPid);
/**
 * Splits cmd at spaces and execs it in the calling process.
 * @param cmd the command line (full program path first)
 * @return only on failure: -1 (reported by a direct write to standard
 *         output, which is safe in a forked child).
 */
int COM_ParserCMD(const char *cmd);
/**
 * Closes every descriptor except 0, 1 and 2 of the calling process.
 * @param pid the caller's own id (another id: that process's table is
 *            listed, but the descriptors closed are the caller's)
 * @return 0; -1 (reported) when the descriptors could not be listed.
 * Affects the whole process: not for a program whose other threads use
 * descriptors.
 */
int COM_CloseFdExceptSTD(int pid);
/**
 * Runs cmd through the shell and hands each output line to fn. Reading goes
 * on until the end of the output: a background process the command started
 * that still holds the output open is waited for, as a shell's command
 * substitution waits. SIGCHLD is at its default while the call runs; the
 * caller's action is back when it returns, also when calls from several
 * threads overlap.
 * @param cmd     shell command
 * @param pUnused not used
 * @param user    passed to fn
 * @param fn      called for each line, then once with NULL (may be NULL)
 * @return the command's wait status, or -1 (reported), also when the output
 *         has not ended within 500 seconds (the shell's whole process group,
 *         which the command runs in, is then killed).
 * Blocks up to 500 s. Thread-safe.
 */
int COM_PopenRead(const char *cmd, const void *pUnused, int32_t user, COM_POPEN_LINE_FN fn);
/**
 * Writes the calling process's id into path.
 * @param path the file
 * @return 0; -1 (reported) when it could not be written. Thread-safe.
 */
int COM_SavePid(const char *path);
/**
 * Sends SIGTERM to pid, then sleeps usWait microseconds.
 * @param pid    the process
 * @param usWait pause after the signal, in microseconds
 * @return 0; -1 (reported) for a pid below 1 or when kill fails. Blocks
 *         for usWait (only after a signal was sent).
 * Thread-safe.
 */
int COM_KillPid(int pid, uint32_t usWait);
/**
 * Counts the running processes of each item (by the start of their first
 * argument in "/proc/<pid>/cmdline"); calls the restart function of each
 * item with none.
 * @param list the items; each nFound is updated
 * @return 0; -1 (reported) for a null list or when "/proc" cannot be read.
 * Blocks for the scan and for the restart functions. Thread-safe for
 * different lists.
 */
int COM_WatchDog(COM_WATCHDOG_LIST *list);
/**
 * Free memory and swap from the "Mem:" and "Swap:" lines of
 * "/proc/meminfo".
 * @param pFreeMem  receives the free memory
 * @param pFreeSwap receives the free swap
 * @return 0 when the last such line was read, -1 otherwise. Thread-safe.
 */
int COM_GetFreeMemAndSwap(int *pFreeMem, int *pFreeSwap);

/* ---------------------------------------------------------------------
 * Thread watchdog and thread log
 * ------------------------------------------------------------------- */

#include <pthread.h>

/** Bytes of a thread's name in COM_THREAD_INFO. */
#define COM_THREAD_NAME_SIZE 76
/** One registered thread (or process). An all-zero record (nPid 0) ends
 * the registry array. 88 bytes. */
typedef struct {
    int32_t nPid;      /**< thread id of the registering thread (the process id
                          for a process's main thread) */
    char szState[4];   /**< scheduler state last seen by the watchdog ("S", "R"
                          ...), empty until the first check */
    int32_t nMemUsage; /**< changed only by COM_LogThreadMemUsage */
    char szName[COM_THREAD_NAME_SIZE]; /**< up to 75 characters (longer names
                                          are cut) */
} COM_THREAD_INFO;

/** The process's single watchdog state. The lock is usable from program
 * start and lives as long as the process, like the registry. */
typedef struct {
    pthread_t thread;          /**< the checking thread, while it runs */
    pthread_mutex_t mutex;     /**< guards pInfo and every record */
    struct timespec interval;  /**< check interval (seconds, 0 ns) */
    COM_THREAD_INFO *pInfo;    /**< registry, NULL until the first registration */
} COM_THREAD_WATCHDOG;

/** The process's thread watchdog and its registry of threads. */
extern COM_THREAD_WATCHDOG gComThreadWatchdog;

/**
 * Registers the calling thread under name and writes its id into
 * "/var/run/<name>.thread.pid".
 * @param name the thread's name (longer than 75 characters: cut)
 * @return the number of records, -1 (reported) when the name is NULL or
 *         the registry could not be grown. Thread-safe (registry lock).
 */
int COM_LogThread(const char *name);
/**
 * Adds nChange to the calling thread's memory counter and reports it.
 * @param nChange bytes allocated (negative: freed)
 * @return 0, or -1 while nothing has been registered. Thread-safe.
 */
int COM_LogThreadMemUsage(int32_t nChange);
/**
 * Reports one line per record. Thread-safe: the records are copied under
 * the registry lock and reported without it.
 */
void COM_ShowThread(void);
/**
 * Starts the checking thread, which checks every registered thread each
 * interval and reports the ones found dead, zombie or stopped. After
 * COM_DestroyThreadWatchdog it may be called again: the new checking thread
 * takes over the record of the previous one.
 * @param nSec check interval in seconds, at least 1
 * @return 0, EINVAL for a bad interval, EBUSY when a watchdog is already
 *         running, or pthread_create's error number. Thread-safe.
 */
int COM_CreateThreadWatchdog(int nSec);
/**
 * Cancels and joins the checking thread. The registry stays.
 * @return 0, ESRCH when none is running, or pthread_cancel's error number.
 * Blocks until the checking thread has ended (at most one check). Thread-
 * safe.
 */
int COM_DestroyThreadWatchdog(void);
/**
 * Thread entry of the checking thread; ends only by cancellation.
 * @param pArg &gComThreadWatchdog
 * @return never returns normally.
 */
void *COM_ThreadWatchdog(void *pArg);
/**
 * Checks one record in "/proc/<id>/stat" and stores its state.
 * @param pInfo the record
 * @return 0 when the thread is alive and neither a zombie nor stopped, -1
 *         otherwise. Call with the registry lock held when the record is the
 *         registry's.
 */
int COM_SubThreadWatchdog(COM_THREAD_INFO *pInfo);

/* ---------------------------------------------------------------------
 * Unit identity and network information
 * ------------------------------------------------------------------- */

/** Identity and network settings of the unit, 264 bytes. Text fields are
 * NUL-terminated; the caller zero-fills the record before
 * COM_GetUnitInfo. */
typedef struct {
    char model[32];        /**< "/etc/Model" */
    char proj[32];         /**< "/etc/Proj" */
    char name[32];         /**< host name */
    char ip[16];           /**< interface address, dotted */
    char trigger_port[8];  /**< "/etc/Port" */
    char netmask[16];      /**< dotted */
    char gateway[16];      /**< first default route, dotted */
    char dns[16];          /**< first name server of "/etc/resolv.conf" */
    char mac[24];          /**< "00:11:22:33:44:55" */
    char dev[16];          /**< interface name */
    char note[48];         /**< "/etc/Note" */
    char mtu[8];           /**< int32_t MTU in the first four bytes */
} COM_UNIT_INFO;

/** Selectors of COM_GetNetInfo (see COM_NETINFO_*). Output sizes: flags 0-6
 * 13, 9, 7, 18, 12, 9 and 3 bytes; text forms of addresses 16 bytes
 * (flag 19: the name-server text, at most 15 characters, else refused);
 * binary forms 4 bytes (network byte order); flag 22 an int32_t. */
#define COM_NETINFO_MAC 0
/** Last four bytes of the MAC address, 8 hexadecimal digits. */
#define COM_NETINFO_MAC4 1
/** Last three bytes of the MAC address, 6 hexadecimal digits. */
#define COM_NETINFO_MAC3 2
/** MAC address, "00:11:22:33:44:55". */
#define COM_NETINFO_MAC_COLON 3
/** Last four bytes of the MAC address, colon-separated. */
#define COM_NETINFO_MAC4_COLON 4
/** Last three bytes of the MAC address, colon-separated. */
#define COM_NETINFO_MAC3_COLON 5
/** Last three bytes of the MAC address, binary (3 bytes). */
#define COM_NETINFO_MAC3_RAW 6
/** Interface address, dotted text. */
#define COM_NETINFO_IP 7
/** Interface address, dotted text with three digits a part. */
#define COM_NETINFO_IP_PADDED 8
/** Interface address, 4 bytes. */
#define COM_NETINFO_IP_BIN 9
/** Broadcast address, dotted text. */
#define COM_NETINFO_BROADCAST 10
/** Broadcast address, three digits a part. */
#define COM_NETINFO_BROADCAST_PADDED 11
/** Broadcast address, 4 bytes. */
#define COM_NETINFO_BROADCAST_BIN 12
/** Netmask, dotted text. */
#define COM_NETINFO_NETMASK 13
/** Netmask, three digits a part. */
#define COM_NETINFO_NETMASK_PADDED 14
/** Netmask, 4 bytes. */
#define COM_NETINFO_NETMASK_BIN 15
/** First default route's gateway, dotted text. */
#define COM_NETINFO_GATEWAY 16
/** Gateway, three digits a part. */
#define COM_NETINFO_GATEWAY_PADDED 17
/** Gateway, 4 bytes. */
#define COM_NETINFO_GATEWAY_BIN 18
/** First name server of "/etc/resolv.conf", as written. */
#define COM_NETINFO_DNS 19
/** First name server, three digits a part. */
#define COM_NETINFO_DNS_PADDED 20
/** First name server, 4 bytes. */
#define COM_NETINFO_DNS_BIN 21
/** Interface MTU, an int32_t. */
#define COM_NETINFO_MTU 22

/**
 * Fills a zero-filled record for interface dev: identity files, host name
 * and the network settings (COM_GetNetInfo).
 * @param pInfo the record
 * @param dev   interface name (NULL: "eth0")
 * @return 0 when every item was read, minus the number of items that fell
 *         back to a placeholder otherwise; -1 for a null record. Each
 *         failure is reported. Thread-safe.
 */
int COM_GetUnitInfo(COM_UNIT_INFO *pInfo, const char *dev);
/**
 * Appends the first line of "/etc/Model" to buf (size bytes in all).
 * @param buf  a terminated text to append to
 * @param size bytes of buf in all
 * @return 0; -1 with "unknown" in buf when it cannot be read (reported,
 *         unless it does not exist).
 * Thread-safe.
 */
int COM_GetModelName(char *buf, int size);
/**
 * Appends the first line of "/etc/Proj" to buf (size bytes in all).
 * @param buf  a terminated text to append to
 * @param size bytes of buf in all
 * @return 0; -1 with "unknown" in buf when it cannot be read (reported,
 *         unless it does not exist).
 * Thread-safe.
 */
int COM_GetProjName(char *buf, int size);
/**
 * Appends the first line of "/etc/Note" to buf (size bytes in all);
 * "unknown" when it cannot be read (reported, unless it does not exist).
 * @param buf  a terminated text to append to
 * @param size bytes of buf in all
 * @return always 0. Thread-safe.
 */
int COM_GetNote(char *buf, int size);
/**
 * Appends the first line of "/etc/Port" to buf (size bytes in all).
 * @param buf  a terminated text to append to
 * @param size bytes of buf in all
 * @return 0; -1 with "80" in buf when it cannot be read. Thread-safe.
 */
int COM_GetTriggerPort(char *buf, int size);
/**
 * The host name.
 * @param buf  receives the name, terminated
 * @param size bytes of buf
 * @return 0; -1 (reported) with "unknown" (cut to fit) when it cannot be
 *         read or does not fit, -1 for a null or empty buffer. Thread-safe.
 */
int COM_GetUnitName(char *buf, int size);
/**
 * Writes model, project, host name and note of the record.
 * @param pInfo the record
 * @return the sum of the setters' results (0 all written); -1 for a null
 *         record. Thread-safe.
 */
int COM_SetUnitInfo(const COM_UNIT_INFO *pInfo);
/**
 * Replaces "/etc/Model" with text (COM_SetFileContent).
 * @param text the model name
 * @return 0; -1 (reported) when not written. Thread-safe.
 */
int COM_SetModelName(const char *text);
/**
 * Replaces "/etc/Proj" with text (COM_SetFileContent).
 * @param text the project name
 * @return 0; -1 (reported) when not written. Thread-safe.
 */
int COM_SetProjName(const char *text);
/**
 * Replaces "/etc/Note" with text (COM_SetFileContent).
 * @param text the note
 * @return 0; -1 (reported) when not written. Thread-safe.
 */
int COM_SetNote(const char *text);
/**
 * Sets the host name (sethostname; root only).
 * @param name the new name
 * @return 0; -1 (reported) for a null name or when refused. Thread-safe.
 */
int COM_SetUnitName(const char *name);
/**
 * Writes the port number into "/etc/Port".
 * @param nPort 0 to 65535
 * @return 0; -1 (reported) for another number or when not written.
 * Thread-safe.
 */
int COM_SetTriggerPort(int nPort);
/**
 * Reports the record's fields in four lines.
 * @param pInfo the record
 * @return the count of the last line; -1 for a null record. Thread-safe.
 */
int COM_ShowUnitInfo(const COM_UNIT_INFO *pInfo);
/**
 * Reports nCount records, each after a "[i/n]" line.
 * @param nCount number of records
 * @param pInfo  the records (reported when NULL and nCount > 0)
 * Thread-safe.
 */
void COM_ShowAllUnitInfo(int nCount, const COM_UNIT_INFO *pInfo);
/**
 * One network setting of an interface, by selector.
 * @param flag a COM_NETINFO_* selector (sizes above)
 * @param dev  interface name, NULL for "eth0" (over 15 characters: refused)
 * @param out  receives the value
 * @return 0, or -1 with a placeholder in out (reported unless it is the
 *         kernel's plain "no such interface or address"). Thread-safe.
 */
int COM_GetNetInfo(int flag, const char *dev, void *out);
/**
 * The MAC address of dev in the form flag selects (COM_NETINFO_MAC to
 * COM_NETINFO_MAC3_RAW); see COM_GetNetInfo.
 * @param flag 0 to 6
 * @param dev  interface name, NULL for "eth0"
 * @param out  receives the value (zeros when it cannot be read)
 * @return 0; -1 (reported). Thread-safe.
 */
int COM_GetMAC(int flag, const char *dev, void *out);
/**
 * The MTU of dev as an int32_t; see COM_GetNetInfo.
 * @param flag COM_NETINFO_MTU (22); other values are reported, -1
 * @param dev  interface name, NULL for "eth0"
 * @param out  receives the value
 * @return 0; -1 (reported). Thread-safe.
 */
int COM_GetMTU(int flag, const char *dev, void *out);
/**
 * Address, broadcast address or netmask of dev (selectors 7 to 15); see
 * COM_GetNetInfo.
 * @param flag 7 to 15
 * @param dev  interface name, NULL for "eth0"
 * @param out  receives the value
 * @return 0; -1 with a placeholder. Thread-safe.
 */
int COM_SubGetNetInfo(int flag, const char *dev, void *out);
/**
 * Gateway of the first default route in "/proc/net/route", whatever its
 * interface (selectors 16 to 18); see COM_GetNetInfo.
 * @param flag 16 to 18
 * @param dev  not used
 * @param out  receives the value
 * @return 0; -1 with a placeholder. Thread-safe.
 */
int COM_SubGetGateway(int flag, const char *dev, void *out);
/**
 * First name server of "/etc/resolv.conf" (selectors 19 to 21); see
 * COM_GetNetInfo.
 * @param flag 19 to 21
 * @param dev  not used
 * @param out  receives the value
 * @return 0; -1 with a placeholder. Thread-safe.
 */
int COM_SubGetDNS(int flag, const char *dev, void *out);
/**
 * Converts "a.b.c.d", "a.b.c.d/len" or "a.b.c.d m.m.m.m" into an address and a
 * netmask (network byte order; all ones when absent or invalid).
 * @param text  the address text
 * @param pAddr receives the address
 * @param pMask receives the netmask
 * @return 0 when the address is valid, -1 otherwise. Thread-safe.
 */
int COM_ConvertNetworkAddr(const char *text, uint32_t *pAddr, uint32_t *pMask);
/**
 * Names of the interfaces of "/proc/net/dev" as a heap block of 16-byte
 * entries at *ppList (which must hold NULL); the caller frees it.
 * @param ppList receives the block
 * @return the number of names, -1 (reported) on failure. Thread-safe.
 */
int COM_GetAllNetDevice(char **ppList);
/**
 * Names of the interfaces of "/proc/net/wireless", as COM_GetAllNetDevice.
 * @param ppList receives the block (must hold NULL); the caller frees it
 * @return the number of names, -1 (reported) on failure. Thread-safe.
 */
int COM_GetAllWirelessDevice(char **ppList);
/**
 * Runs "/sbin/ifconfig <dev> up" through COM_System (root only).
 * @param dev interface name
 * @return COM_System's result; -1 when not root (silently) or dev is bad
 *         (reported). Blocks until the command ends. Thread-safe.
 */
int COM_NetDevUp(const char *dev);
/**
 * Runs "/sbin/ifconfig <dev> down" through COM_System (root only).
 * @param dev interface name
 * @return COM_System's result; -1 when not root (silently) or dev is bad
 *         (reported). Blocks until the command ends. Thread-safe.
 */
int COM_NetDevDown(const char *dev);

/* ---------------------------------------------------------------------
 * HTTP client
 * ------------------------------------------------------------------- */

/** COM_HTTP_AUTH mode: no authorisation. */
#define COM_HTTP_AUTH_NONE 0
/** COM_HTTP_AUTH mode: Basic authorisation. */
#define COM_HTTP_AUTH_BASIC 1
/** COM_HTTP_AUTH mode: Digest authorisation (qop "auth", MD5). */
#define COM_HTTP_AUTH_DIGEST 2
/** Authorisation record of the HTTP client, 528 bytes. The caller
 * zero-fills it once, sets mode, username and password, and passes it to
 * every request for the same server: a Digest challenge, once read, is
 * kept here and reused (clear nonce[0] to fetch a fresh one). A record is
 * changed by the requests that use it: one request at a time per record. */
typedef struct {
    uint32_t mode;      /**< 1 Basic, 2 Digest, anything else: none */
    char username[28];  /**< user name, up to 27 characters */
    char password[32];  /**< password, up to 31 characters */
    char realm[80];     /**< from the Digest challenge */
    char qop[16];       /**< offered by the challenge */
    char nonce[80];     /**< empty until a challenge has been read */
    char opaque[80];    /**< from the Digest challenge, may be empty */
    char nc[16];        /**< always "00000001" */
    char ha1[48];       /**< 32 lowercase hexadecimal digits each */
    char cnonce[48];    /**< the client nonce of the last Digest request */
    char ha2[48];       /**< MD5 of method and path of the last request */
    char response[48];  /**< the last Digest response value */
} COM_HTTP_AUTH;

/** Limits of one response: its header at most COM_HTTP_HEADER_MAX bytes,
 * its body (without chunked framing) at most the content limit, which is
 * COM_HTTP_CONTENT_MAX_DEFAULT until COM_SetHttpMaxContent changes it for
 * the whole library. A response past a limit is refused (-1). */
#define COM_HTTP_HEADER_MAX (64 * 1024)
/** Content limit until COM_SetHttpMaxContent changes it: 64 MiB. */
#define COM_HTTP_CONTENT_MAX_DEFAULT (64 * 1024 * 1024)
/**
 * Sets the content limit of every later response, for the whole library.
 * @param nBytes the limit in bytes; a value below 1 changes nothing
 * @return the limit in force before the call. Thread-safe (atomic).
 */
int COM_SetHttpMaxContent(int nBytes);

/**
 * GET url; the body is stored at *content.
 *
 * Common to every HTTP call: URLs are host[:port][/path] without a scheme.
 * content is the address of a pointer holding NULL (or a malloc'd block):
 * the body (or the whole response for the WithHeader forms) is stored
 * there, NUL-terminated; the caller frees it. A body without Content-Length
 * runs until the server closes; a chunked body is handed back without its
 * framing; interim (1xx) responses before the final one are skipped.
 *
 * Results: bytes stored plus 1, 0 when nothing was received, -1 when the
 * host cannot be resolved or connected to, the host[:port] is longer than
 * 79 characters, the request does not fit its buffers (4096 bytes of
 * request, 512 of authorisation, 255 characters of Digest path) or holds a
 * CR or LF in its URL, cookie, user name or password (nothing is sent), or
 * the response passes a limit, has broken chunked framing, a body short of
 * its Content-Length or last chunk when the server closes or the read time
 * ends, a transfer coding other than chunked alone, or Content-Length
 * fields that disagree (the content then holds no stored bytes: an empty
 * text where it was grown). Every failure is reported.
 *
 * Blocking: the name lookup first (DNS_GetA: nothing for a dotted address,
 * else up to 6 s for each name server that does not answer, at most four),
 * then up to about 10 s for the address that connects (3 s to connect and
 * send, a 30 ms pause, 6 to 7 s of reading); an address that does not
 * connect costs up to 3 s before the next one (at most ten) is tried. A
 * Digest record without a challenge first runs a challenge request of the
 * same length.
 *
 * Threads: requests may run on several threads at once as long as they
 * share no authorisation record and no content pointer.
 * @param url     host[:port][/path], no scheme
 * @param content address of a pointer holding NULL or a malloc'd block
 * @param auth    authorisation record, or NULL
 * @return bytes stored plus 1; 0 nothing received; -1 failure.
 */
int COM_GetHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth);
/**
 * POST body to url; the response body is stored at *content. Results,
 * blocking and threads as COM_GetHttpContent.
 * @param url     host[:port][/path], no scheme
 * @param content receives the response body (see COM_GetHttpContent)
 * @param auth    authorisation record, or NULL
 * @param body    request body text
 * @return as COM_GetHttpContent.
 */
int COM_PostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth, const char *body);
/**
 * GET url, storing the whole response (header and body) at *content.
 * Results, blocking and threads as COM_GetHttpContent.
 * @param url     host[:port][/path], no scheme
 * @param content receives the response (see COM_GetHttpContent)
 * @param auth    authorisation record, or NULL
 * @return as COM_GetHttpContent.
 */
int COM_GetHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth);
/**
 * POST body to url, storing the whole response at *content. Results,
 * blocking and threads as COM_GetHttpContent.
 * @param url     host[:port][/path], no scheme
 * @param content receives the response (see COM_GetHttpContent)
 * @param auth    authorisation record, or NULL
 * @param body    request body text
 * @return as COM_GetHttpContent.
 */
int COM_PostHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth,
                                  const char *body);
/**
 * GET url with a Cookie header line. Results, blocking and threads as
 * COM_GetHttpContent.
 * @param url     host[:port][/path], no scheme
 * @param content receives the body (see COM_GetHttpContent)
 * @param auth    authorisation record, or NULL
 * @param cookie  the cookie text (no CR or LF)
 * @return as COM_GetHttpContent.
 */
int COM_GetCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                             const char *cookie);
/**
 * POST body to url with a Cookie header line. Results, blocking and threads
 * as COM_GetHttpContent.
 * @param url     host[:port][/path], no scheme
 * @param content receives the body (see COM_GetHttpContent)
 * @param auth    authorisation record, or NULL
 * @param body    request body text
 * @param cookie  the cookie text (no CR or LF)
 * @return as COM_GetHttpContent.
 */
int COM_PostCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                              const char *body, const char *cookie);
/**
 * The request every HTTP call above makes: the authorisation (a Digest
 * challenge first when none is held), the name lookup, then each address
 * until one connects. Results, blocking and threads as COM_GetHttpContent.
 * @param url        host[:port][/path], no scheme
 * @param content    receives the body or whole response
 * @param auth       authorisation record, or NULL
 * @param post       0 GET, 1 POST
 * @param body       request body text for POST
 * @param keepHeader non-zero: store the response header too
 * @param cookie     cookie text, or NULL
 * @return as COM_GetHttpContent.
 */
int COM_SubGetPostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth, int post,
                              const char *body, int keepHeader, const char *cookie);
/** One exchange with one server address (port set). path NULL means "/".
 * authStr is the text that closes the request header (see
 * COM_GenHttpAuthStr). -1 when the connection fails. */
struct sockaddr_in;
/**
 * One exchange with one server address (port set): connects, sends the
 * request, reads the response.
 * @param server     the address
 * @param host       Host header text
 * @param authStr    the text that closes the request header (see
 *                   COM_GenHttpAuthStr)
 * @param path       the path, NULL meaning "/"
 * @param content    receives the body or whole response
 * @param auth       authorisation record (a new Digest challenge in a 401
 *                   response is kept), or NULL
 * @param post       0 GET, 1 POST
 * @param body       request body text for POST
 * @param keepHeader non-zero: store the response header too
 * @param cookie     cookie text, or NULL
 * @return as COM_GetHttpContent; -1 when the connection fails.
 * Blocks up to about 10 s (3 s to connect and send, 6 to 7 s to read).
 */
int COM_SubSendHttpCmd(const struct sockaddr_in *server, const char *host, const char *authStr,
                       const char *path, char **content, COM_HTTP_AUTH *auth, int post,
                       const char *body, int keepHeader, const char *cookie);
/**
 * Writes into out the end of a request header: a CR LF alone, or an
 * Authorization line followed by two CR LF;
 * for Digest without a challenge yet, fetches one first (a whole request,
 * blocking as COM_GetHttpContent).
 * @param method "GET" or "POST"
 * @param url    the request's URL
 * @param auth   the record, or NULL
 * @param out    receives the text, 512 bytes
 * @return the text's length for Basic and Digest, 0 otherwise, -1 (out holds
 *         "", reported) when the Digest path is over 255 characters or the
 *         text would not fit.
 */
int COM_GenHttpAuthStr(const char *method, const char *url, COM_HTTP_AUTH *auth, char *out);
/**
 * Fetches the Digest challenge of url into auth (mode ends as 2).
 * @param url  host[:port][/path]
 * @param auth the record
 * @return the result of the challenge request (as COM_GetHttpContent).
 * Blocks as COM_GetHttpContent.
 */
int COM_GetDigestString(const char *url, COM_HTTP_AUTH *auth);
/**
 * Reads realm, qop, nonce and opaque of a "WWW-Authenticate: Digest"
 * header in text.
 * @param text the response header
 * @param auth receives the values
 * @return 0 when the header was found, -1 otherwise, or when a value holds
 *         a CR or LF (the challenge is refused: nonce left empty).
 * Thread-safe.
 */
int COM_GetDigestStringInBuf(const char *text, COM_HTTP_AUTH *auth);
/**
 * Content-Length value found in the received bytes: the header field lines
 * after the status line (the name in any case, up to the blank line; a
 * folded line, another field ending in the name or the body do not count).
 * @param buf received bytes
 * @param len their count
 * @return the value; 0 when absent, -1 when malformed (no digits, a sign,
 *         a line break before the value, or two fields that disagree).
 *         Thread-safe.
 */
int COM_GetContentLengthInHttpHeader(const char *buf, int len);
/**
 * Sends all len bytes (retrying partial sends; no signal on a closed peer).
 * @param sock a connected socket
 * @param buf  the bytes
 * @param len  their count
 * @return the number of bytes not sent (0 all sent). Blocks as send does on
 *         the socket. Thread-safe.
 */
int COM_SendTcpPackage(int sock, const char *buf, int len);
/**
 * Removes the tags of html (which is changed: the ">" of a line-break tag
 * becomes a line feed) into *out, a heap text the caller frees.
 * @param html the text (changed)
 * @param out  receives the stripped text
 * @return the characters stored plus 1, or -1 when none remained.
 * Thread-safe.
 */
int COM_StripHtmlCode(char *html, char **out);
/**
 * Fetches url (COM_GetHttpContent) and strips it into *out; see
 * COM_StripHtmlCode.
 * @param url  host[:port][/path]
 * @param out  receives the stripped text; the caller frees it
 * @param auth authorisation record, or NULL
 * @return as COM_StripHtmlCode; the fetch's result when it was below 1.
 * Blocks as COM_GetHttpContent.
 */
int COM_GetStrippedHtml(const char *url, char **out, COM_HTTP_AUTH *auth);

/* ---------------------------------------------------------------------
 * MD5 and digests
 * ------------------------------------------------------------------- */

/** MD5 (RFC 1321). The context is the caller's; after COM_MD5_Final it is
 * all zeros and must be initialised again before reuse. */
typedef struct {
    uint32_t state[4];         /**< chaining values A, B, C, D */
    uint32_t count[2];         /**< message bits modulo 2^64, low word first */
    unsigned char buffer[64];  /**< the current incomplete block */
} COM_MD5_CTX;

/**
 * Starts a digest.
 * @param context the caller's context
 * Thread-safe for different contexts (as every MD5 function).
 */
void COM_MD5_Init(COM_MD5_CTX *context);
/**
 * Adds inputLen bytes to the digest.
 * @param context  an initialised context
 * @param input    the bytes
 * @param inputLen their count
 */
void COM_MD5_Update(COM_MD5_CTX *context, const unsigned char *input, uint32_t inputLen);
/**
 * Ends the digest and clears the context to zeros.
 * @param digest  receives the 16 bytes
 * @param context the context
 */
void COM_MD5_Final(unsigned char digest[16], COM_MD5_CTX *context);
/**
 * Writes exactly 32 lowercase hexadecimal characters, no terminating NUL.
 * @param text   receives 32 characters
 * @param digest the 16 bytes
 */
void COM_MD5_DigestToString(char *text, const unsigned char digest[16]);
/**
 * Digest text of a string's bytes (its NUL not included).
 * @param text receives 32 hexadecimal characters (no NUL)
 * @param str  the string
 */
void COM_MakeBufMD5(char *text, const char *str);
/**
 * Digest text of a file's content.
 * @param text receives 32 hexadecimal characters (no NUL)
 * @param path the file
 * @return 0, or -1 (reported) when the file cannot be opened or read (text
 *         is then left as it was) or closing it fails. Blocks for reading
 *         the file. Thread-safe.
 */
int COM_MakeFileMD5(char *text, const char *path);
/**
 * Words to bytes, least significant byte first.
 * @param output receives len bytes
 * @param input  len / 4 words
 * @param len    bytes, a multiple of 4
 */
void COM_MD5_Encode(unsigned char *output, const uint32_t *input, uint32_t len);
/**
 * Bytes to words, least significant byte first.
 * @param output receives len / 4 words
 * @param input  len bytes
 * @param len    bytes, a multiple of 4
 */
void COM_MD5_Decode(uint32_t *output, const unsigned char *input, uint32_t len);
/**
 * Auxiliary function F: (x & y) | (~x & z).
 * @param x first word
 * @param y second word
 * @param z third word
 * @return the result.
 */
uint32_t COM_MD5_F(uint32_t x, uint32_t y, uint32_t z);
/**
 * Auxiliary function G: (x & z) | (y & ~z).
 * @param x first word
 * @param y second word
 * @param z third word
 * @return the result.
 */
uint32_t COM_MD5_G(uint32_t x, uint32_t y, uint32_t z);
/**
 * Auxiliary function H: x ^ y ^ z.
 * @param x first word
 * @param y second word
 * @param z third word
 * @return the result.
 */
uint32_t COM_MD5_H(uint32_t x, uint32_t y, uint32_t z);
/**
 * Auxiliary function I: y ^ (x | ~z).
 * @param x first word
 * @param y second word
 * @param z third word
 * @return the result.
 */
uint32_t COM_MD5_I(uint32_t x, uint32_t y, uint32_t z);
/**
 * Rotates *x left by n bits (n taken modulo 32).
 * @param x the word
 * @param n the count
 * @return the rotated word.
 */
uint32_t COM_MD5_ROTATE_LEFT(const uint32_t *x, int n);
/**
 * Round 1 step: *a = b + ((*a + F(b, c, d) + x + ac) <<< s).
 * @param a  the word changed
 * @param b  second word
 * @param c  third word
 * @param d  fourth word
 * @param x  message word
 * @param s  rotation
 * @param ac constant
 */
void COM_MD5_FF(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
/**
 * Round 2 step: *a = b + ((*a + G(b, c, d) + x + ac) <<< s).
 * @param a  the word changed
 * @param b  second word
 * @param c  third word
 * @param d  fourth word
 * @param x  message word
 * @param s  rotation
 * @param ac constant
 */
void COM_MD5_GG(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
/**
 * Round 3 step: *a = b + ((*a + H(b, c, d) + x + ac) <<< s).
 * @param a  the word changed
 * @param b  second word
 * @param c  third word
 * @param d  fourth word
 * @param x  message word
 * @param s  rotation
 * @param ac constant
 */
void COM_MD5_HH(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
/**
 * Round 4 step: *a = b + ((*a + I(b, c, d) + x + ac) <<< s).
 * @param a  the word changed
 * @param b  second word
 * @param c  third word
 * @param d  fourth word
 * @param x  message word
 * @param s  rotation
 * @param ac constant
 */
void COM_MD5_II(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);

/* ---------------------------------------------------------------------
 * Text encodings
 * ------------------------------------------------------------------- */

/**
 * Hexadecimal escapes: "=" and two uppercase digits for every byte; ends
 * the text with a NUL. Nothing is allocated.
 * @param out receives 3 * n + 1 bytes
 * @param in  the bytes
 * @param n   their count
 * @return the text's length; -1 for null arguments with n > 0.
 *         Thread-safe (as every encoding function).
 */
int COM_QPEncode(char *out, const unsigned char *in, int n);
/**
 * Decodes "=XX" escapes (either case); any other character is copied as
 * it is. Writes no NUL.
 * @param out receives up to strlen(in) bytes
 * @param in  the text
 * @return the count of bytes written.
 */
int COM_QPDecode(unsigned char *out, const char *in);
/**
 * Base64 (standard alphabet, "=" padding, no line breaks); ends the text
 * with a NUL.
 * @param out receives 4 * ceil(n / 3) + 1 bytes
 * @param in  the bytes
 * @param n   their count
 * @return the text's length; -1 for null arguments with n > 0.
 */
int COM_Base64Encode(char *out, const unsigned char *in, int n);
/**
 * Decodes Base64; characters that are not symbols are passed over, a "="
 * where a symbol is due ends the text. Writes no NUL.
 * @param out receives up to 3 * (strlen(in) / 4) + 2 bytes
 * @param in  the text
 * @return the count of bytes written; -1 when it would not fit an int.
 */
int COM_Base64Decode(unsigned char *out, const char *in);
/**
 * Digit of the low 4 bits ("0"-"9", "A"-"F").
 * @param value the number
 * @return the digit.
 */
char COM_Hex2Chr(int value);
/**
 * Value of a hexadecimal digit.
 * @param c the character
 * @return 0-15 for a hexadecimal digit of either case, 255 otherwise.
 */
unsigned char COM_Chr2Hex(char c);
/**
 * Base64 symbol of the low 6 bits.
 * @param value the number
 * @return the symbol.
 */
char COM_Base2Chr(int value);
/**
 * Value of a Base64 symbol.
 * @param c the character
 * @return 0-63 for a Base64 symbol, 64 otherwise ("=" included).
 */
unsigned char COM_Chr2Base(char c);

/* ---------------------------------------------------------------------
 * Terminal and serial devices
 * ------------------------------------------------------------------- */

#include <termios.h>

/** Bytes of a terminal device's path in COM_TERM_DEV_INFO. */
#define COM_TERM_DEVNAME_SIZE 80
/** One open terminal device. The caller fills direction (0 read, 1 write,
 * 2 both) and speed (B9600 ...) before COM_OpenTermDevice. */
typedef struct {
    char devname[COM_TERM_DEVNAME_SIZE]; /**< paths of up to 79 characters */
    int32_t fd;            /**< the open descriptor, -1 when not open */
    int32_t direction;     /**< O_RDONLY (0), O_WRONLY (1) or O_RDWR (2) */
    speed_t speed;         /**< speed code, B0 ... */
    struct termios oldtio; /**< found at open, restored at close */
    struct termios newtio; /**< applied at open */
} COM_TERM_DEV_INFO;

/** A termios flag (or control character index) and its name. A record
 * with an empty name ends a table. */
typedef struct {
    int32_t value;  /**< the flag's bits, or the control character's index */
    char name[12];  /**< its name; empty ends the table */
} COM_TERM_FLAG_NAME;

/** USB location keywords of the serial ports 0 to 4 (empty entry ends). */
extern const char gCOM_UsbPortKeyword[5][4][8];

/**
 * Device path of serial port idx (1: "/dev/ttyTX0", 2 to 4: a USB adapter
 * found in the kernel's USB serial table, its node made when missing).
 * @param idx the port, 1 to 4
 * @param out receives the path, at least 20 bytes
 * @return 0 when a path was written; -1 (reported) otherwise. Thread-safe.
 */
int COM_GetSerialPort(int idx, char *out);
/**
 * Opens a terminal device (non-blocking, not as the controlling terminal),
 * keeps its settings in oldtio, waits half a second, and applies newtio:
 * 8 data bits, a canonical line discipline with echo, output CR LF
 * translation, at speed.
 * @param path      the device (fewer than 80 characters)
 * @param pDevInfo  direction and speed set by the caller; receives the rest
 * @return 0; -1 when the settings could not be read or applied (the device
 *         stays open); -2 when the device was not opened (or its path has
 *         80 characters or more, or speed is none of the system's speed
 *         codes B0 ...). Failures are reported. Blocks half a second
 *         (the pause before the settings). Thread-safe for different
 *         records.
 */
int COM_OpenTermDevice(const char *path, COM_TERM_DEV_INFO *pDevInfo);
/**
 * Restores oldtio and closes.
 * @param pDevInfo the record of COM_OpenTermDevice
 * @return close's result, -1 when fd is negative. Thread-safe for different
 *         records.
 */
int COM_CloseTermDevice(COM_TERM_DEV_INFO *pDevInfo);
/**
 * Prints the settings by flag name: a title line through COM_Message, then
 * the flag and control-character lines on standard output directly.
 * @param title the heading, or NULL
 * @param tio   the settings
 * @return the count of the last line printed; -1 for a null tio.
 * Thread-safe (lines of two threads may interleave).
 */
int COM_ShowTermAttr(const char *title, const struct termios *tio);
/**
 * Prints one flag word: "label = [0xHEX] : [NAME] ..." for each table entry
 * whose bits are all set, on standard output.
 * @param label the word's name, or NULL
 * @param flags the flag word
 * @param table names, ending with an empty name (may be NULL)
 * @return the count of the last print. Thread-safe.
 */
int COM_SubShowTermAttr(const char *label, uint32_t flags, const COM_TERM_FLAG_NAME *table);

/* ---------------------------------------------------------------------
 * Text and bitstream parsing
 * ------------------------------------------------------------------- */

/** The caller's record for COM_ParserXml. */
typedef struct {
    char Name[80];   /**< set by the caller: the wanted item */
    int32_t type;    /**< 0 "INT", 1 "VIRTKB" or "TEXT", 2 any other */
    int32_t min;     /**< type 0: the item's lower bound */
    int32_t max;     /**< type 0: the item's upper bound */
    int32_t value;   /**< type 0: the item's value */
    char text[256];  /**< type 1: the value text; else the item names, comma-joined (cut to fit) */
} COM_XML_ITEM;

/**
 * First case-insensitive occurrence of pattern followed by at least one
 * more character of text.
 * @param text    the text
 * @param pattern what to find
 * @return the occurrence; NULL when none or either is NULL. Thread-safe
 *         (as every parsing function).
 */
char *COM_StrNCaseStr(const char *text, const char *pattern);
/**
 * Text between the first two double quotes after key, cut to size - 1
 * characters.
 * @param text the text
 * @param key  the key
 * @param out  receives the quoted text
 * @param size bytes of out
 * @return the position just past the key, or NULL when the key, the quotes
 *         or a non-empty quoted text is missing.
 */
char *COM_GetStrInDoubleQuotes(const char *text, const char *key, char *out, int size);
/**
 * Rest of the line after key (up to the first CR, else the first LF), cut
 * to size - 1 characters.
 * @param text the text
 * @param key  the key
 * @param out  receives the rest of the line
 * @param size bytes of out
 * @return the position just past the key, or NULL.
 */
char *COM_GetStrBeforeNewLine(const char *text, const char *key, char *out, int size);
/**
 * Collects the hexadecimal digit characters read from fd into *buf (a heap
 * buffer, grown as needed; no terminating NUL; the caller frees it).
 * Reads until the end of input.
 * @param fd  the descriptor
 * @param buf receives the buffer
 * @return their count, or -1 for a negative descriptor or (with a report)
 *         for input longer than 65536 bytes. Blocks as reads of fd do.
 */
int COM_ReadHexDataInStrFormat(int fd, char **buf);
/**
 * The first two runs of decimal digits of text[0..len).
 * @param text   the text
 * @param len    bytes of text looked at
 * @param first  receives the first number
 * @param second receives the second number
 * @return how many were stored (0, 1 or 2).
 */
int COM_GetValuePairInStr(const char *text, int len, int *first, int *second);
/**
 * Fills item from the "<DATA" element whose Name starts with item->Name.
 * @param text the XML text
 * @param item the wanted item's name; receives the rest
 * @return 0 when found, -1 otherwise.
 */
int COM_ParserXml(const char *text, COM_XML_ITEM *item);
/**
 * The next n bits, most significant first.
 * @param p   the current byte (advanced)
 * @param rem unread bits of *p, 1..8 (updated)
 * @param n   bits, 1..32
 * @return the bits.
 */
uint32_t COM_GetBits(const unsigned char **p, int *rem, int n);
/**
 * Width, height and frame rate (frames per second x 100, stored only for a
 * fixed rate) from an MPEG-4 video object layer header.
 * @param data   the header, just after the start code
 * @param width  receives the width
 * @param height receives the height
 * @param rate   receives the rate
 * @return 0, or -1 when the header is not usable.
 */
int COM_ParserVideoObjectLayer(const unsigned char *data, int *width, int *height, int *rate);
/**
 * The byte with its bit order reversed (bit 0 becomes bit 7).
 * @param value the byte
 * @return the reversed byte.
 */
unsigned char COM_BitReverse(unsigned char value);
/**
 * Copies count bytes between two rings (a size of 0 or less: no ring, a
 * plain buffer).
 * @param dst   destination
 * @param dpos  start in the destination
 * @param dsize destination ring size
 * @param src   source
 * @param spos  start in the source
 * @param ssize source ring size
 * @param count bytes to copy
 * @return the destination address of the last piece copied.
 */
void *COM_MemCopyBetweenRingBuf(void *dst, int dpos, int dsize, const void *src, int spos, int ssize,
                                int count);
/**
 * Hex dump, 16 bytes a line, between a title and a closing line, on
 * standard output.
 * @param title the heading
 * @param bytes the bytes
 * @param len   their count
 * @return the count of the last line. Thread-safe.
 */
int COM_ShowByteByByte(const char *title, const unsigned char *bytes, int len);

/* ---------------------------------------------------------------------
 * Mount-aware directory removal
 * ------------------------------------------------------------------- */

/**
 * Removes an empty directory, unmounting first a file system mounted on it.
 * @param path the directory
 * @return 0 removed; the non-zero result of Dev_uMount when the unmount
 *         failed (nothing removed); -1 (reported) when rmdir failed.
 * Thread-safe.
 */
int COM_Rmdir(const char *path);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_COMMON_H */
