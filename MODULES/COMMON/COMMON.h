/*
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

#if defined(__GNUC__)
#define COM_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define COM_PRINTF_LIKE(fmt, args)
#endif

/* ---------------------------------------------------------------------
 * Message reporting and time helpers
 * ------------------------------------------------------------------- */

/* Prints "file,line:function(): message" (or "file,line: message" when
 * function is NULL) on standard output. Returns the count printed, -1 when
 * nothing could be printed. */
int COM_Message(const char *file, int line, const char *function,
                const char *format, ...) COM_PRINTF_LIKE(4, 5);

/* result = x - y; y is normalised first (and so changed). Returns 1 when
 * the difference is negative, 0 otherwise. */
int COM_DiffTimeval(struct timeval *result, struct timeval *x, struct timeval *y);
int COM_ShowTimet(const char *file, int line, time_t t);
int COM_ShowTimeval(const char *file, int line);
/* buf: at least 32 bytes; "%Y/%m/%d %H:%M:%S" in UTC. */
int COM_ConvertTimetToStr(char *buf, time_t t);
struct tm *COM_ConvertTimetToTm(struct tm *tm, time_t t);
int NANOSLEEP(int sec, int nsec, const char *file, int line);
int COM_CloseFd(int *fd);
int COM_Version(void);
char *COM_GetPWD(void);

/* @@SECTION files-and-directories@@ */

/* @@SECTION processes@@ */

/* @@SECTION thread-watchdog@@ */

/* @@SECTION unit-identity@@ */

/* @@SECTION http-client@@ */

/* @@SECTION md5@@ */

/* @@SECTION encodings@@ */

/* @@SECTION serial@@ */

/* @@SECTION parsers@@ */

/* @@SECTION rmdir@@ */

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_COMMON_H */
