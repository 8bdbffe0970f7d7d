// Reports: formatting a report and handing it to the caller's handler or
// to standard output.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "report.h"

namespace {

constexpr size_t kFirstMessageSize = 256;

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

void set_message_handler(COM_MESSAGE_HANDLER handler, void *user)
{
    std::lock_guard<std::mutex> hold(gSinkLock);
    gSink = handler ? MessageSink{handler, user} : MessageSink{};
}

} // namespace dvr
