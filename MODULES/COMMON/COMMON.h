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
#define COM_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define COM_PRINTF_LIKE(fmt, args)
#endif

/* ---------------------------------------------------------------------
 * Message reporting and time helpers
 * ------------------------------------------------------------------- */

/** Every report of the library goes through COM_Message. By default it
 * prints "file,line:function(): message" (or "file,line: message" when
 * function is NULL) on standard output; with a handler set (see
 * COM_SetMessageHandler) the formatted message goes to the handler
 * instead and nothing is printed. Returns the count of characters of the
 * line (the length the printed line has, or would have had), -1 when
 * nothing could be formatted. Thread-safe: each line is printed by one
 * call of the C library's output, never split by another thread's. */
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

/** Sends every later report to handler (with user passed through); NULL
 * restores the default, printing on standard output byte for byte as
 * before. Thread-safe: it may be called while other threads report; each
 * report sees either the old pair or the new one, never a mix. A report
 * already under way when this returns may still reach the old handler, so
 * keep what the old user pointer points to alive until such reports are
 * done (for example until the threads that report have stopped). */
void COM_SetMessageHandler(COM_MESSAGE_HANDLER handler, void *user);

/** result = x - y; y is normalised first (and so changed). Returns 1 when
 * the difference is negative, 0 otherwise. */
int COM_DiffTimeval(struct timeval *result, struct timeval *x, struct timeval *y);
int COM_ShowTimet(const char *file, int line, time_t t);
int COM_ShowTimeval(const char *file, int line);
/** buf: at least 32 bytes; "%Y/%m/%d %H:%M:%S" in UTC. */
int COM_ConvertTimetToStr(char *buf, time_t t);
struct tm *COM_ConvertTimetToTm(struct tm *tm, time_t t);
int NANOSLEEP(int sec, int nsec, const char *file, int line);
int COM_CloseFd(int *fd);
/** Prints the version keyword line of the library's source, then that of
 * this header (historic revision texts, kept as they were); returns the
 * count of the last line printed. */
int COM_Version(void);
/** The version of the library actually loaded, "MAJOR.MINOR.PATCH" (static
 * text); each non-null pointer receives its number. Compare with the
 * DVRPLAT_VERSION_* macros of dvrplat_version.h to check that a program
 * runs against the library it was compiled for. Thread-safe, never fails. */
const char *COM_GetLibraryVersion(int *major, int *minor, int *patch);
char *COM_GetPWD(void);

/* ---------------------------------------------------------------------
 * Files and directories
 * ------------------------------------------------------------------- */

/** One line to look for (and replace) in COM_ReplaceItemsInFile. */
#define COM_REPLACE_KEY_SIZE 160
#define COM_REPLACE_LINE_SIZE 160

typedef struct {
    /** Leading characters of szKey compared (1 to 160); 0 marks the item as
     * done. Set to 0 when the item matched a line. */
    int32_t nKeyLen;
    char szKey[COM_REPLACE_KEY_SIZE];
    /** Replacement line without its line end (up to 159 characters); an
     * empty text deletes the matched line. */
    char szReplace[COM_REPLACE_LINE_SIZE];
} COM_REPLACE_ITEM;

typedef struct {
    int32_t nItem;          /**< entries in pItem */
    int32_t bCheckOnly;     /**< non-zero: search only, never change the file */
    int32_t bMatchAnywhere; /**< non-zero: key anywhere in a line, case-sensitive;
                               zero: line begins with the key, any case */
    int32_t bAppend;        /**< non-zero: unmatched replacements are appended */
    COM_REPLACE_ITEM *pItem;
} COM_REPLACE_LIST;

/** Makes every missing level of path with mode. 0 when it exists after. */
int COM_Mkdir(const char *path, mode_t mode);
/** Empties and removes a directory (recursive only when bRecursive is 1).
 * Symbolic links are removed, never followed. Returns the number of
 * entries that could not be removed. */
int COM_RemoveFileInDir(int bRecursive, const char *dir);
/** Removes the file a symbolic link points to (one level; a relative target
 * from the link's directory), keeping the link. */
int COM_RemoveRealFile(const char *path);
/** symlink(target, link), replacing link when forced or when target exists. */
int COM_CreateSymbolLink(int bForce, const char *target, const char *link);
/** Moves a file by copy and delete; the destination takes the source's mode,
 * owner and group and is on the disk before the source is removed; the
 * source stays unless the move is complete. */
int COM_RenameFile(const char *src, const char *dst);
/** Rewrites (or only searches) whole lines of a text file; the file is
 * replaced only by complete new contents (left as it was on failure).
 * Returns the number of items that matched, -1 on failure. */
int COM_ReplaceItemsInFile(const char *path, COM_REPLACE_LIST *list);
/** One read / one write of count bytes: 0 all, 1 some, else read/write's
 * own result (0 or -1). A save replaces the file only by the complete
 * block: on any failure the file is left as it was. */
int COM_LoadDataFromFile(const char *path, void *buf, int count);
int COM_SaveDataIntoFile(const char *path, const void *buf, int count);
/** Appends the first line of a small text file to buf (size bytes in all);
 * reading stops at the line's end or when buf is full, and the open never
 * waits (a FIFO without a writer reads as empty).
 * 0 when something was read; -1 and "unknown" otherwise. */
int COM_GetFileContent(const char *path, char *buf, int size);
/** Writes text (no NUL, no line end), replacing the file only once all of
 * it is stored; 0 when every byte was written (an empty text gives -1). */
int COM_SetFileContent(const char *path, const char *text);
/** Makes the node (mknod) when path does not exist. */
int COM_CheckDevFile(const char *path, mode_t mode, uint64_t dev);
/** Writes id into the file "ID" of dir; 0 when written. */
int COM_SaveID(const char *dir, const char *id);
/** Grows the heap buffer whose pointer is at ppBuf (the address of any
 * object pointer, holding NULL or a block from malloc) to nSize bytes,
 * zeroes the bytes from nOffset on, and copies nLen bytes of src to
 * nOffset. Returns the new buffer (also stored at ppBuf), or NULL with the
 * old buffer unchanged. */
void *COM_ReallocAndCopyBuf(int nSize, void *ppBuf, int nOffset, const void *src, int nLen);
/** Inverts every byte of buf. 0; -1 for a null buffer. */
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

typedef struct {
    int32_t nItem;
    COM_WATCHDOG_ITEM *pItem;
} COM_WATCHDOG_LIST;

/** Called by COM_PopenRead for each output line (with its line end), then
 * once with a NULL line after the command ended. */
typedef void (*COM_POPEN_LINE_FN)(const char *line, int32_t user);

/** Runs a command line (split at spaces, no shell, full program path) and
 * waits for it. While it runs, *pPid (when given) holds the child's id.
 * Returns the wait status, or -1. */
int COM_System(const char *cmd, int *pPid);
/** Splits cmd at spaces and execs it; returns only on failure. */
int COM_ParserCMD(const char *cmd);
/** Closes every descriptor except 0, 1 and 2 of the calling process (pid is
 * the caller's own id). */
int COM_CloseFdExceptSTD(int pid);
/** Runs cmd through the shell and hands each output line to fn. Reading goes
 * on until the end of the output: a background process the command started
 * that still holds the output open is waited for, as a shell's command
 * substitution waits. Returns the command's wait status, or -1 (also when
 * the output has not ended within 500 seconds; the shell's whole process
 * group, which the command runs in, is then killed). SIGCHLD is at its
 * default while the call runs; the caller's action is back when it returns,
 * also when calls from several threads overlap. pUnused is not used. */
int COM_PopenRead(const char *cmd, const void *pUnused, int32_t user, COM_POPEN_LINE_FN fn);
/** Writes the calling process's id into path. */
int COM_SavePid(const char *path);
/** Sends SIGTERM to pid, then sleeps usWait microseconds. */
int COM_KillPid(int pid, uint32_t usWait);
/** Counts the running processes of each item; restarts the missing ones. */
int COM_WatchDog(COM_WATCHDOG_LIST *list);
/** Free memory and swap from the "Mem:" and "Swap:" lines of
 * "/proc/meminfo". 0 when the last such line was read, -1 otherwise. */
int COM_GetFreeMemAndSwap(int *pFreeMem, int *pFreeSwap);

/* ---------------------------------------------------------------------
 * Thread watchdog and thread log
 * ------------------------------------------------------------------- */

#include <pthread.h>

/** One registered thread (or process). An all-zero record (nPid 0) ends
 * the registry array. 88 bytes. */
#define COM_THREAD_NAME_SIZE 76
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

extern COM_THREAD_WATCHDOG gComThreadWatchdog;

/** Registers the calling thread under name and writes its id into
 * "/var/run/<name>.thread.pid". Returns the number of records, -1 when
 * the name is NULL or the registry could not be grown. */
int COM_LogThread(const char *name);
/** Adds nChange to the calling thread's memory counter and reports it.
 * 0, or -1 while nothing has been registered. */
int COM_LogThreadMemUsage(int32_t nChange);
/** Reports one line per record. */
void COM_ShowThread(void);
/** Starts the checking thread (interval in seconds, at least 1). Returns 0,
 * EINVAL for a bad interval, EBUSY when a watchdog is already running, or
 * pthread_create's error number. After COM_DestroyThreadWatchdog it may be
 * called again: the new checking thread takes over the record of the
 * previous one. */
int COM_CreateThreadWatchdog(int nSec);
/** Cancels and joins the checking thread. Returns 0, ESRCH when none is
 * running, or pthread_cancel's error number. The registry stays. */
int COM_DestroyThreadWatchdog(void);
/** Thread entry of the checking thread (argument: &gComThreadWatchdog);
 * ends only by cancellation. */
void *COM_ThreadWatchdog(void *pArg);
/** Checks one record in "/proc/<id>/stat" and stores its state: 0 when the
 * thread is alive and neither a zombie nor stopped, -1 otherwise. */
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
#define COM_NETINFO_MAC4 1
#define COM_NETINFO_MAC3 2
#define COM_NETINFO_MAC_COLON 3
#define COM_NETINFO_MAC4_COLON 4
#define COM_NETINFO_MAC3_COLON 5
#define COM_NETINFO_MAC3_RAW 6
#define COM_NETINFO_IP 7
#define COM_NETINFO_IP_PADDED 8
#define COM_NETINFO_IP_BIN 9
#define COM_NETINFO_BROADCAST 10
#define COM_NETINFO_BROADCAST_PADDED 11
#define COM_NETINFO_BROADCAST_BIN 12
#define COM_NETINFO_NETMASK 13
#define COM_NETINFO_NETMASK_PADDED 14
#define COM_NETINFO_NETMASK_BIN 15
#define COM_NETINFO_GATEWAY 16
#define COM_NETINFO_GATEWAY_PADDED 17
#define COM_NETINFO_GATEWAY_BIN 18
#define COM_NETINFO_DNS 19
#define COM_NETINFO_DNS_PADDED 20
#define COM_NETINFO_DNS_BIN 21
#define COM_NETINFO_MTU 22

/** Fills a zero-filled record for interface dev (NULL: "eth0"). Returns 0
 * when every item was read, minus the number of items that fell back to a
 * placeholder otherwise. */
int COM_GetUnitInfo(COM_UNIT_INFO *pInfo, const char *dev);
/** Append the file's first line to buf (size bytes in all); on failure buf
 * holds "unknown" ("80" for the trigger port) and the result is -1.
 * COM_GetNote always returns 0. */
int COM_GetModelName(char *buf, int size);
int COM_GetProjName(char *buf, int size);
int COM_GetNote(char *buf, int size);
int COM_GetTriggerPort(char *buf, int size);
/** Host name; "unknown" (cut to fit) and -1 when it cannot be read or does
 * not fit. */
int COM_GetUnitName(char *buf, int size);
/** Writes model, project, host name and note. Returns the sum of the
 * setters' results. */
int COM_SetUnitInfo(const COM_UNIT_INFO *pInfo);
int COM_SetModelName(const char *text);
int COM_SetProjName(const char *text);
int COM_SetNote(const char *text);
int COM_SetUnitName(const char *name);
/** Port 0 to 65535 into "/etc/Port"; -1 otherwise. */
int COM_SetTriggerPort(int nPort);
int COM_ShowUnitInfo(const COM_UNIT_INFO *pInfo);
void COM_ShowAllUnitInfo(int nCount, const COM_UNIT_INFO *pInfo);
/** flag: COM_NETINFO_*; dev NULL means "eth0" (names over 15 characters are
 * refused). 0, or -1 with a placeholder in out. */
int COM_GetNetInfo(int flag, const char *dev, void *out);
int COM_GetMAC(int flag, const char *dev, void *out);
int COM_GetMTU(int flag, const char *dev, void *out);
int COM_SubGetNetInfo(int flag, const char *dev, void *out);
int COM_SubGetGateway(int flag, const char *dev, void *out);
int COM_SubGetDNS(int flag, const char *dev, void *out);
/** "a.b.c.d", "a.b.c.d/len" or "a.b.c.d m.m.m.m" into an address and a
 * netmask (network byte order; all ones when absent or invalid). 0 when
 * the address is valid. */
int COM_ConvertNetworkAddr(const char *text, uint32_t *pAddr, uint32_t *pMask);
/** Names of "/proc/net/dev" or "/proc/net/wireless" as a heap block of
 * 16-byte entries at *ppList (which must hold NULL); the caller frees it.
 * Returns the number of names, -1 on failure. */
int COM_GetAllNetDevice(char **ppList);
int COM_GetAllWirelessDevice(char **ppList);
/** "/sbin/ifconfig <dev> up|down" (root only, else -1). Returns
 * COM_System's result. */
int COM_NetDevUp(const char *dev);
int COM_NetDevDown(const char *dev);

/* ---------------------------------------------------------------------
 * HTTP client
 * ------------------------------------------------------------------- */

/** Authorisation record of the HTTP client, 528 bytes. The caller
 * zero-fills it once, sets mode, username and password, and passes it to
 * every request for the same server: a Digest challenge, once read, is
 * kept here and reused (clear nonce[0] to fetch a fresh one). */
#define COM_HTTP_AUTH_NONE 0
#define COM_HTTP_AUTH_BASIC 1
#define COM_HTTP_AUTH_DIGEST 2
typedef struct {
    uint32_t mode;      /**< 1 Basic, 2 Digest, anything else: none */
    char username[28];
    char password[32];
    char realm[80];     /**< from the Digest challenge */
    char qop[16];       /**< offered by the challenge */
    char nonce[80];     /**< empty until a challenge has been read */
    char opaque[80];
    char nc[16];        /**< always "00000001" */
    char ha1[48];       /**< 32 lowercase hexadecimal digits each */
    char cnonce[48];
    char ha2[48];
    char response[48];
} COM_HTTP_AUTH;

/** Limits of one response: its header at most COM_HTTP_HEADER_MAX bytes,
 * its body (without chunked framing) at most the content limit, which is
 * COM_HTTP_CONTENT_MAX_DEFAULT until COM_SetHttpMaxContent changes it for
 * the whole library. A response past a limit is refused (-1). */
#define COM_HTTP_HEADER_MAX (64 * 1024)
#define COM_HTTP_CONTENT_MAX_DEFAULT (64 * 1024 * 1024)
/** Sets the content limit in bytes; a value below 1 changes nothing.
 * Returns the limit in force before the call. */
int COM_SetHttpMaxContent(int nBytes);

/** URLs are host[:port][/path] without a scheme. content is the address of
 * a pointer holding NULL (or a malloc'd block): the body (or the whole
 * response for the WithHeader forms) is stored there, NUL-terminated; the
 * caller frees it. A body without Content-Length runs until the server
 * closes; a chunked body is handed back without its framing; interim (1xx)
 * responses before the final one are skipped. Results: bytes stored plus
 * 1, 0 when nothing was received, -1 when the host cannot be resolved or
 * connected to (a connection attempt waits at most 3 s), the host[:port]
 * is longer than 79 characters, the request does not fit its buffers
 * (4096 bytes of request, 512 of authorisation, 255 characters of Digest
 * path) or holds a CR or LF in its URL, cookie, user name or password
 * (nothing is sent), or the response passes a limit, has broken chunked
 * framing, a body short of its Content-Length or last chunk when the
 * server closes or the read time ends, a transfer coding other than
 * chunked alone, or Content-Length fields that disagree (the content then
 * holds no stored bytes: an empty text where it was grown). auth may be
 * NULL. Blocks for the name lookup (DNS_GetA, up to 6 s per query) and
 * then up to about 10 s per address tried (3 s to connect, 6 to 7 s
 * of reading). Requests may run on several threads at once as long as
 * they share no authorisation record and no content pointer. */
int COM_GetHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth);
int COM_PostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth, const char *body);
int COM_GetHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth);
int COM_PostHttpContentWithHeader(const char *url, char **content, COM_HTTP_AUTH *auth,
                                  const char *body);
int COM_GetCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                             const char *cookie);
int COM_PostCookieHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth,
                              const char *body, const char *cookie);
/** post: 0 GET, 1 POST. keepHeader: store the response header too. cookie
 * may be NULL. */
int COM_SubGetPostHttpContent(const char *url, char **content, COM_HTTP_AUTH *auth, int post,
                              const char *body, int keepHeader, const char *cookie);
/** One exchange with one server address (port set). path NULL means "/".
 * authStr is the text that closes the request header (see
 * COM_GenHttpAuthStr). -1 when the connection fails. */
struct sockaddr_in;
int COM_SubSendHttpCmd(const struct sockaddr_in *server, const char *host, const char *authStr,
                       const char *path, char **content, COM_HTTP_AUTH *auth, int post,
                       const char *body, int keepHeader, const char *cookie);
/** Writes into out (512 bytes) "\r\n" or an Authorization line followed by
 * "\r\n\r\n"; for Digest without a challenge yet, fetches one first.
 * Returns the text's length for Basic and Digest, 0 otherwise, -1 (out
 * holds "") when the Digest path is over 255 characters or the text would
 * not fit. */
int COM_GenHttpAuthStr(const char *method, const char *url, COM_HTTP_AUTH *auth, char *out);
/** Fetches the Digest challenge of url into auth (mode ends as 2). Returns
 * the result of the challenge request. */
int COM_GetDigestString(const char *url, COM_HTTP_AUTH *auth);
/** Reads realm, qop, nonce and opaque of a "WWW-Authenticate: Digest"
 * header in text. 0 when the header was found, -1 otherwise, or when a
 * value holds a CR or LF (the challenge is refused: nonce left empty). */
int COM_GetDigestStringInBuf(const char *text, COM_HTTP_AUTH *auth);
/** Content-Length value found in len received bytes; 0 when absent, -1
 * when malformed. */
int COM_GetContentLengthInHttpHeader(const char *buf, int len);
/** Sends all len bytes; returns the number of bytes not sent. */
int COM_SendTcpPackage(int sock, const char *buf, int len);
/** Removes the tags of html (which is changed: the ">" of a line-break tag
 * becomes a line feed) into *out, a heap text the caller frees. Returns
 * the characters stored plus 1, or -1 when none remained. */
int COM_StripHtmlCode(char *html, char **out);
/** Fetches url and strips it into *out; see COM_StripHtmlCode. Returns the
 * fetch's result when it was below 1. */
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

void COM_MD5_Init(COM_MD5_CTX *context);
void COM_MD5_Update(COM_MD5_CTX *context, const unsigned char *input, uint32_t inputLen);
void COM_MD5_Final(unsigned char digest[16], COM_MD5_CTX *context);
/** Writes exactly 32 lowercase hexadecimal characters, no terminating NUL. */
void COM_MD5_DigestToString(char *text, const unsigned char digest[16]);
/** Digest text of a string's bytes (its NUL not included). */
void COM_MakeBufMD5(char *text, const char *str);
/** Digest text of a file's content. Returns 0, or -1 when the file cannot
 * be opened or read (text is then left as it was) or closing it fails. */
int COM_MakeFileMD5(char *text, const char *path);
/** Words to bytes and bytes to words, least significant byte first; len is
 * in bytes, a multiple of 4. */
void COM_MD5_Encode(unsigned char *output, const uint32_t *input, uint32_t len);
void COM_MD5_Decode(uint32_t *output, const unsigned char *input, uint32_t len);
/** The auxiliary functions, the rotation (shift counts taken modulo 32) and
 * the four step operations: *a = b + ((*a + fn(b, c, d) + x + ac) <<< s). */
uint32_t COM_MD5_F(uint32_t x, uint32_t y, uint32_t z);
uint32_t COM_MD5_G(uint32_t x, uint32_t y, uint32_t z);
uint32_t COM_MD5_H(uint32_t x, uint32_t y, uint32_t z);
uint32_t COM_MD5_I(uint32_t x, uint32_t y, uint32_t z);
uint32_t COM_MD5_ROTATE_LEFT(const uint32_t *x, int n);
void COM_MD5_FF(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
void COM_MD5_GG(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
void COM_MD5_HH(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);
void COM_MD5_II(uint32_t *a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac);

/* ---------------------------------------------------------------------
 * Text encodings
 * ------------------------------------------------------------------- */

/** Hexadecimal escapes ("=" and two uppercase digits for every byte) and
 * Base64 (standard alphabet, "=" padding, no line breaks). Nothing is
 * allocated: out must hold 3 * n + 1 bytes (COM_QPEncode),
 * 4 * ceil(n / 3) + 1 (COM_Base64Encode), strlen(in) (COM_QPDecode) or
 * 3 * (strlen(in) / 4) + 2 (COM_Base64Decode). Encoders end the text with a
 * NUL and return its length; decoders write no NUL and return the count of
 * bytes written. */
int COM_QPEncode(char *out, const unsigned char *in, int n);
int COM_QPDecode(unsigned char *out, const char *in);
int COM_Base64Encode(char *out, const unsigned char *in, int n);
int COM_Base64Decode(unsigned char *out, const char *in);
/** Digit of the low 4 bits ("0"-"9", "A"-"F"). */
char COM_Hex2Chr(int value);
/** 0-15 for a hexadecimal digit of either case, 255 otherwise. */
unsigned char COM_Chr2Hex(char c);
/** Base64 symbol of the low 6 bits. */
char COM_Base2Chr(int value);
/** 0-63 for a Base64 symbol, 64 otherwise ("=" included). */
unsigned char COM_Chr2Base(char c);

/* ---------------------------------------------------------------------
 * Terminal and serial devices
 * ------------------------------------------------------------------- */

#include <termios.h>

/** One open terminal device. The caller fills direction (0 read, 1 write,
 * 2 both) and speed (B9600 ...) before COM_OpenTermDevice. */
#define COM_TERM_DEVNAME_SIZE 80
typedef struct {
    char devname[COM_TERM_DEVNAME_SIZE]; /**< paths of up to 79 characters */
    int32_t fd;
    int32_t direction;
    speed_t speed;
    struct termios oldtio; /**< found at open, restored at close */
    struct termios newtio; /**< applied at open */
} COM_TERM_DEV_INFO;

/** A termios flag (or control character index) and its name. A record
 * with an empty name ends a table. */
typedef struct {
    int32_t value;
    char name[12];
} COM_TERM_FLAG_NAME;

/** USB location keywords of the serial ports 0 to 4 (empty entry ends). */
extern const char gCOM_UsbPortKeyword[5][4][8];

/** Device path of serial port idx (1: "/dev/ttyTX0", 2 to 4: a USB adapter
 * found in the kernel's USB serial table, its node made when missing).
 * out must hold at least 20 bytes. 0 when a path was written. */
int COM_GetSerialPort(int idx, char *out);
/** 0; -1 when the settings could not be read or applied (the device stays
 * open); -2 when the device was not opened (or its path has 80 characters
 * or more, or speed is none of the system's speed codes B0 ...). */
int COM_OpenTermDevice(const char *path, COM_TERM_DEV_INFO *pDevInfo);
/** Restores oldtio and closes; close's result, -1 when fd is negative. */
int COM_CloseTermDevice(COM_TERM_DEV_INFO *pDevInfo);
/** Prints the settings by flag name. Return the count of the last print. */
int COM_ShowTermAttr(const char *title, const struct termios *tio);
int COM_SubShowTermAttr(const char *label, uint32_t flags, const COM_TERM_FLAG_NAME *table);

/* ---------------------------------------------------------------------
 * Text and bitstream parsing
 * ------------------------------------------------------------------- */

/** The caller's record for COM_ParserXml. */
typedef struct {
    char Name[80];   /**< set by the caller: the wanted item */
    int32_t type;    /**< 0 "INT", 1 "VIRTKB" or "TEXT", 2 any other */
    int32_t min;
    int32_t max;
    int32_t value;
    char text[256];  /**< type 1: the value text; else the item names, comma-joined (cut to fit) */
} COM_XML_ITEM;

/** First case-insensitive occurrence of pattern followed by at least one
 * more character of text; NULL when none or either is NULL. */
char *COM_StrNCaseStr(const char *text, const char *pattern);
/** Text between the first two double quotes after key, cut to size - 1
 * characters. Returns the position just past the key, or NULL when the key,
 * the quotes or a non-empty quoted text is missing. */
char *COM_GetStrInDoubleQuotes(const char *text, const char *key, char *out, int size);
/** Rest of the line after key (up to the first CR, else the first LF), cut
 * to size - 1 characters. Returns the position just past the key, or NULL. */
char *COM_GetStrBeforeNewLine(const char *text, const char *key, char *out, int size);
/** Collects the hexadecimal digit characters read from fd into *buf (a heap
 * buffer, grown as needed; no terminating NUL; the caller frees it).
 * Returns their count, or -1 for a negative descriptor or (with a report)
 * for input longer than 65536 bytes. */
int COM_ReadHexDataInStrFormat(int fd, char **buf);
/** The first two runs of decimal digits of text[0..len) into *first and
 * *second; returns how many were stored (0, 1 or 2). */
int COM_GetValuePairInStr(const char *text, int len, int *first, int *second);
/** Fills item from the "<DATA" element whose Name starts with item->Name.
 * Returns 0 when found, -1 otherwise. */
int COM_ParserXml(const char *text, COM_XML_ITEM *item);
/** The next n (1..32) bits, most significant first; *p is the current byte,
 * *rem its unread bits (1..8). */
uint32_t COM_GetBits(const unsigned char **p, int *rem, int n);
/** Width, height and frame rate (frames per second x 100, stored only for a
 * fixed rate) from an MPEG-4 video object layer header; data points just
 * after the start code. Returns 0, or -1 when the header is not usable. */
int COM_ParserVideoObjectLayer(const unsigned char *data, int *width, int *height, int *rate);
unsigned char COM_BitReverse(unsigned char value);
/** Copies count bytes between two rings (a size of 0 or less: no ring).
 * Returns the destination address of the last piece copied. */
void *COM_MemCopyBetweenRingBuf(void *dst, int dpos, int dsize, const void *src, int spos, int ssize,
                                int count);
/** Hex dump, 16 bytes a line, between a title and a closing line. */
int COM_ShowByteByByte(const char *title, const unsigned char *bytes, int len);

/* ---------------------------------------------------------------------
 * Mount-aware directory removal
 * ------------------------------------------------------------------- */

/** Removes an empty directory, unmounting first a file system mounted on
 * it. 0 removed; the non-zero result of Dev_uMount when the unmount failed
 * (nothing removed); -1 when rmdir failed. */
int COM_Rmdir(const char *path);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_COMMON_H */
