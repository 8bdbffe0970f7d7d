// Reports routed to a handler of the caller's, and back to standard output.
// labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "COMMON.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

struct Report {
    std::string file;
    int line;
    bool has_function;
    std::string function;
    std::string text;
};

struct Collector {
    std::mutex lock;
    std::vector<Report> reports;
};

void collect(void *user, const char *file, int line, const char *function, const char *text)
{
    auto *c = static_cast<Collector *>(user);
    std::lock_guard<std::mutex> hold(c->lock);
    c->reports.push_back({file, line, function != nullptr, function ? function : "", text});
}

// Restores the default at the end of each case, whatever it asserted.
struct DefaultAfter {
    ~DefaultAfter() { COM_SetMessageHandler(nullptr, nullptr); }
};

} // namespace

TEST(MessageSink, ReportsGoToTheHandlerAndNotToStandardOutput)
{
    DefaultAfter restore;
    Collector c;
    std::string longer(300, 'y'); // past the first formatting buffer
    CaptureStdout cap;
    COM_SetMessageHandler(collect, &c);
    int a = COM_Message("MODULES/COMMON", 42, "COM_Test", "value %d %s\n", 7, "ok");
    int b = COM_Message("fpga", 9, nullptr, "plain\n");
    int l = COM_Message("f", 1, "g", "%s", longer.c_str());
    // A library function's own failure report arrives the same way.
    EXPECT_EQ(COM_CloseFd(nullptr), -1);
    char buf[8];
    EXPECT_EQ(COM_GetFileContent(nullptr, buf, sizeof buf), -1);
    COM_SetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(cap.take(), "");

    ASSERT_GE(c.reports.size(), 3u);
    EXPECT_EQ(c.reports[0].file, "MODULES/COMMON");
    EXPECT_EQ(c.reports[0].line, 42);
    EXPECT_TRUE(c.reports[0].has_function);
    EXPECT_EQ(c.reports[0].function, "COM_Test");
    EXPECT_EQ(c.reports[0].text, "value 7 ok\n");
    EXPECT_EQ(c.reports[1].file, "fpga");
    EXPECT_FALSE(c.reports[1].has_function);
    EXPECT_EQ(c.reports[1].text, "plain\n");
    EXPECT_EQ(c.reports[2].text, longer);
    // The results are the lengths the lines have on standard output.
    EXPECT_EQ(a, static_cast<int>(std::strlen("MODULES/COMMON,42:COM_Test(): value 7 ok\n")));
    EXPECT_EQ(b, static_cast<int>(std::strlen("fpga,9: plain\n")));
    EXPECT_EQ(l, static_cast<int>(std::strlen("f,1:g(): ") + longer.size()));
    ASSERT_EQ(c.reports.size(), 4u);
    EXPECT_EQ(c.reports[3].file, "MODULES/COMMON");
    EXPECT_EQ(c.reports[3].function, "COM_GetFileContent");
    EXPECT_EQ(c.reports[3].text.rfind("input error : (pFileName, pBuf, len) = (", 0), 0u) << c.reports[3].text;
}

TEST(MessageSink, NullRestoresTheDefaultByteForByte)
{
    Collector c;
    COM_SetMessageHandler(collect, &c);
    COM_Message("x", 1, "y", "to the handler\n");
    COM_SetMessageHandler(nullptr, &c); // the pointer is ignored with no handler

    CaptureStdout cap;
    int a = COM_Message("MODULES/DNS", 123, "DNS_GetA", "sendto() fail : %s\n", "Network is unreachable");
    int b = COM_Message("fpga", 7, nullptr, "%s", "no line end");
    EXPECT_EQ(cap.take(), "MODULES/DNS,123:DNS_GetA(): sendto() fail : Network is unreachable\n"
                          "fpga,7: no line end");
    EXPECT_EQ(a, 67);
    EXPECT_EQ(b, 19);
    EXPECT_EQ(c.reports.size(), 1u);
}

TEST(MessageSink, AHandlerMayReportThroughTheLibraryItself)
{
    // A handler that rewrites reports and prints them through the default
    // while it runs: the setter's lock is not held during the call.
    struct Relay {
        static void handle(void *, const char *file, int line, const char *, const char *text)
        {
            COM_SetMessageHandler(nullptr, nullptr);
            COM_Message("relay", line, nullptr, "[%s] %s", file, text);
            COM_SetMessageHandler(handle, nullptr);
        }
    };
    DefaultAfter restore;
    CaptureStdout cap;
    COM_SetMessageHandler(Relay::handle, nullptr);
    COM_Message("f", 5, "g", "hello\n");
    COM_SetMessageHandler(nullptr, nullptr);
    EXPECT_EQ(cap.take(), "relay,5: [f] hello\n");
}

TEST(MessageSink, SettingWhileThreadsReportNeverMixesAPair)
{
    // Two handlers, each checking that it got its own user pointer; the
    // main thread swaps them (and the default) while four threads report.
    struct Tagged {
        std::atomic<long> calls{0};
        std::atomic<long> wrong{0};
    };
    static Tagged first, second;
    struct Handlers {
        static void one(void *user, const char *, int, const char *, const char *)
        {
            (user == &first ? first.calls : first.wrong)++;
        }
        static void two(void *user, const char *, int, const char *, const char *)
        {
            (user == &second ? second.calls : second.wrong)++;
        }
    };
    first.calls = first.wrong = second.calls = second.wrong = 0;
    DefaultAfter restore;
    std::atomic<bool> stop{false};
    CaptureStdout cap; // the reports that meet the default
    std::vector<std::thread> reporters;
    for (int t = 0; t < 4; ++t)
        reporters.emplace_back([&stop, t] {
            while (!stop.load())
                COM_Message("t", t, "w", "report %d\n", t);
        });
    // Swap until each handler has been seen a good many times.
    long swaps = 0;
    while (swaps < 2000 || first.calls.load() < 1000 || second.calls.load() < 1000) {
        COM_SetMessageHandler(Handlers::one, &first);
        COM_SetMessageHandler(Handlers::two, &second);
        if (swaps % 64 == 0)
            COM_SetMessageHandler(nullptr, nullptr);
        ++swaps;
    }
    stop = true;
    for (auto &r : reporters)
        r.join();
    COM_SetMessageHandler(nullptr, nullptr);
    std::string out = cap.take();
    EXPECT_EQ(first.wrong.load(), 0);
    EXPECT_EQ(second.wrong.load(), 0);
    // What went to the default is whole lines.
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = out.substr(pos, nl - pos);
        EXPECT_TRUE(line.size() == std::strlen("t,0:w(): report 0") && line.rfind("t,", 0) == 0) << line;
        pos = nl + 1;
    }
}
