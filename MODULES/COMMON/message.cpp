// Message reporting and time helpers.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include <sys/time.h>
#include <unistd.h>

#include "dvr_internal.h"
#include "dvrplat_version.h"

namespace {
constexpr size_t kFirstMessageSize = 256;
constexpr const char *kTimeFormat = "%Y/%m/%d %H:%M:%S";
constexpr size_t kTimeTextSize = 32;
constexpr const char *kVersionKeyword = "$Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $";

// Where reports go: a handler and its user pointer, always read and
// replaced together under the lock, so a report never pairs one handler
// with another's pointer. The lock is held only to copy or replace the
// pair, never while a report is formatted or handed on, so a handler may
// itself report or set the handler.
struct MessageSink {
    COM_MESSAGE_HANDLER handler = nullptr;
    void *user = nullptr;
};
constinit std::mutex gSinkLock;
constinit MessageSink gSink;

MessageSink current_sink()
{
    std::lock_guard<std::mutex> hold(gSinkLock);
    return gSink;
}

// Hands a formatted report to the caller's handler; returns the length
// the line would have had on standard output, as the default does.
int hand_on(const MessageSink &sink, const char *file, int line, const char *function, const char *text)
{
    int prefix = function ? std::snprintf(nullptr, 0, "%s,%d:%s(): ", file, line, function)
                          : std::snprintf(nullptr, 0, "%s,%d: ", file, line);
    sink.handler(sink.user, file, line, function, text);
    size_t total = static_cast<size_t>(prefix < 0 ? 0 : prefix) + std::strlen(text);
    return total > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(total);
}
} // namespace

namespace dvr {

int vmessage(const char *file, int line, const char *function, const char *format, va_list args)
{
    // Owned, so a thread cancelled inside printf does not leak the text.
    struct Free {
        void operator()(char *p) const noexcept { std::free(p); }
    };
    size_t size = kFirstMessageSize;
    std::unique_ptr<char, Free> buf(static_cast<char *>(std::malloc(size)));
    if (!buf)
        return -1;

    for (;;) {
        va_list ap;
        va_copy(ap, args);
        int n = std::vsnprintf(buf.get(), size, format, ap);
        va_end(ap);
        if (n >= 0 && static_cast<size_t>(n) < size)
            break;
        size_t want = n >= 0 ? static_cast<size_t>(n) + 1 : size * 2;
        char *grown = static_cast<char *>(std::realloc(buf.get(), want));
        if (!grown) {
            buf.reset();
            MessageSink sink = current_sink();
            if (sink.handler)
                return hand_on(sink, file, line, function, "Failed to print");
            // The function name may be missing here too: leave its part out.
            if (function)
                return std::printf("%s,%d:%s(): Failed to print", file, line, function);
            return std::printf("%s,%d: Failed to print", file, line);
        }
        (void)buf.release();
        buf.reset(grown);
        size = want;
    }

    MessageSink sink = current_sink();
    if (sink.handler)
        return hand_on(sink, file, line, function, buf.get());
    return function ? std::printf("%s,%d:%s(): %s", file, line, function, buf.get())
                    : std::printf("%s,%d: %s", file, line, buf.get());
}

int Reporter::operator()(int line, const char *format, ...) const
{
    va_list ap;
    va_start(ap, format);
    int n = vmessage(src_, line, fn_, format, ap);
    va_end(ap);
    return n;
}

} // namespace dvr

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
    std::lock_guard<std::mutex> hold(gSinkLock);
    gSink = handler ? MessageSink{handler, user} : MessageSink{};
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
