// Message reporting and time helpers.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/time.h>
#include <unistd.h>

#include "boundary.h"
#include "report.h"
#include "dvrplat_version.h"

namespace {
constexpr const char *kTimeFormat = "%Y/%m/%d %H:%M:%S";
constexpr size_t kTimeTextSize = 32;
constexpr const char *kVersionKeyword = "$Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $";
} // namespace

extern "C" int COM_Message(const char *file, int line, const char *function, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = dvr::vmessage(file, line, function, format, ap);
    va_end(ap);
    return n;
}

extern "C" void COM_SetMessageHandler(COM_MESSAGE_HANDLER handler, void *user)
{
    dvr::set_message_handler(handler, user);
}

extern "C" int COM_DiffTimeval(struct timeval *result, struct timeval *x, struct timeval *y)
try {
    if (x->tv_usec < y->tv_usec) {
        long n = (y->tv_usec - x->tv_usec) / 1000000 + 1;
        y->tv_usec -= 1000000 * n;
        y->tv_sec += n;
    }
    if (x->tv_usec - y->tv_usec > 1000000) {
        long n = (x->tv_usec - y->tv_usec) / 1000000;
        y->tv_usec += 1000000 * n;
        y->tv_sec -= n;
    }
    result->tv_sec = x->tv_sec - y->tv_sec;
    result->tv_usec = x->tv_usec - y->tv_usec;
    return x->tv_sec < y->tv_sec ? 1 : 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" struct tm *COM_ConvertTimetToTm(struct tm *tm, time_t t)
try {
    if (!tm)
        return nullptr;
    return gmtime_r(&t, tm);
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)

extern "C" int COM_ConvertTimetToStr(char *buf, time_t t)
try {
    struct tm tm;
    if (!buf || !gmtime_r(&t, &tm))
        return -1;
    char text[kTimeTextSize];
    if (std::strftime(text, sizeof text, kTimeFormat, &tm) == 0)
        return -1;
    std::memcpy(buf, text, std::strlen(text) + 1);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ShowTimet(const char *file, int line, time_t t)
try {
    char text[kTimeTextSize];
    if (COM_ConvertTimetToStr(text, t) != 0)
        return -1;
    std::printf("%s,%d: [%ld] -> [%s]\n", file, line, static_cast<long>(t), text);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ShowTimeval(const char *file, int line)
try {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        std::printf("%s,%d: gettimeofday() fail : %s\n", file, line, std::strerror(errno));
        return -1;
    }
    struct tm tm;
    time_t secs = tv.tv_sec;
    if (!gmtime_r(&secs, &tm)) {
        std::printf("%s,%d: gmtime_r() fail : %s\n", file, line, std::strerror(errno));
        return -1;
    }
    char text[kTimeTextSize];
    std::strftime(text, sizeof text, kTimeFormat, &tm);
    std::printf("%s,%d: [%s.%06ld]\n", file, line, text, static_cast<long>(tv.tv_usec));
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int NANOSLEEP(int sec, int nsec, const char *file, int line)
{
    if (file)
        std::printf("[%s, %d] : B4 %d. %d sec Sleep\n", file, line, sec, nsec);
    struct timespec req = {sec, nsec};
    int rc = nanosleep(&req, nullptr);
    if (file)
        std::printf("[%s, %d] : After Sleep\n", file, line);
    return rc;
}

extern "C" int COM_CloseFd(int *fd)
try {
    if (!fd || *fd < 0)
        return -1;
    int rc = close(*fd);
    *fd = -1;
    return rc;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_Version(void)
try {
    std::printf("%s\n", kVersionKeyword);
    return std::printf("%s\n", kVersionKeyword);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" const char *COM_GetLibraryVersion(int *major, int *minor, int *patch)
{
    if (major)
        *major = DVRPLAT_VERSION_MAJOR;
    if (minor)
        *minor = DVRPLAT_VERSION_MINOR;
    if (patch)
        *patch = DVRPLAT_VERSION_PATCH;
    return DVRPLAT_VERSION_STRING;
}

extern "C" char *COM_GetPWD(void)
try {
    return std::getenv("PWD");
} DVR_C_BOUNDARY("MODULES/COMMON", nullptr)
