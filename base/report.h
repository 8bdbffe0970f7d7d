// Reports of the library's modules: the report macros and the reporter an
// entry point hands to its helpers. C++ only, never installed.
#ifndef DVRPLAT_BASE_REPORT_H
#define DVRPLAT_BASE_REPORT_H

#include <cstdarg>

#include "COMMON.h"

// Reports carry the module's source name, the line and the calling function.
// Do not use these inside lambdas: __func__ would name the lambda.
#define DVR_REPORT(src, ...) COM_Message((src), __LINE__, __func__, __VA_ARGS__)
#define FPGA_REPORT(...) DVR_REPORT("fpga", __VA_ARGS__)
#define COM_REPORT(...) DVR_REPORT("MODULES/COMMON", __VA_ARGS__)
#define DEV_REPORT(...) DVR_REPORT("MODULES/DEV", __VA_ARGS__)
#define DNS_REPORT(...) DVR_REPORT("MODULES/DNS", __VA_ARGS__)

namespace dvr {

// COM_Message with its arguments as a va_list.
int vmessage(const char *file, int line, const char *function, const char *format, va_list args);

// Sends every later report to handler (with its user pointer), or back to
// standard output when handler is null.
void set_message_handler(COM_MESSAGE_HANDLER handler, void *user);

// Reports in the name of one public function. The entry point makes one
// (DVR_REPORTER, which takes its own name) and hands it to the helpers it
// calls; they report through it with their own line (DVR_REPORT_TO), so
// the report reads as the entry point's.
class Reporter {
public:
    constexpr Reporter(const char *src, const char *fn) noexcept : src_(src), fn_(fn) {}
    __attribute__((format(printf, 3, 4))) int operator()(int line, const char *format, ...) const;
    const char *function() const noexcept { return fn_; }

private:
    const char *src_;
    const char *fn_;
};

} // namespace dvr

#define DVR_REPORTER(src) dvr::Reporter((src), __func__)
#define DVR_REPORT_TO(reporter, ...) (reporter)(__LINE__, __VA_ARGS__)

#endif
