// Message reporting and the time and descriptor helpers.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "COMMON.h"
#include "dvrplat_version.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

TEST(ComMessage, PrefixWithAndWithoutFunction)
{
    CaptureStdout cap;
    int a = COM_Message("MODULES/COMMON", 42, "COM_Test", "value %d %s\n", 7, "ok");
    int b = COM_Message("fpga", 9, nullptr, "plain\n");
    std::string out = cap.take();
    EXPECT_EQ(out, "MODULES/COMMON,42:COM_Test(): value 7 ok\nfpga,9: plain\n");
    EXPECT_EQ(a, static_cast<int>(std::strlen("MODULES/COMMON,42:COM_Test(): value 7 ok\n")));
    EXPECT_EQ(b, static_cast<int>(std::strlen("fpga,9: plain\n")));
}

TEST(ComMessage, LongMessagesAroundTheFirstBufferSize)
{
    for (size_t len : {0u, 1u, 254u, 255u, 256u, 257u, 1000u, 100000u}) {
        std::string body(len, 'x');
        CaptureStdout cap;
        int n = COM_Message("f", 1, "g", "%s", body.c_str());
        std::string out = cap.take();
        EXPECT_EQ(out, "f,1:g(): " + body) << len;
        EXPECT_EQ(n, static_cast<int>(out.size())) << len;
    }
}

TEST(ComMessage, ThreadsNeverSplitEachOthersLines)
{
    CaptureStdout cap;
    auto worker = [](char c) {
        std::string body(600, c);
        for (int i = 0; i < 200; ++i)
            COM_Message("t", i, "w", "%s\n", body.c_str());
    };
    std::thread t1(worker, 'a'), t2(worker, 'b');
    t1.join();
    t2.join();
    std::string out = cap.take();
    size_t pos = 0, lines = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = out.substr(pos, nl - pos);
        std::string body = line.substr(line.find("(): ") + 4);
        EXPECT_TRUE(body == std::string(600, 'a') || body == std::string(600, 'b'));
        pos = nl + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 400u);
}

TEST(ComTime, DiffTimeval)
{
    struct Case {
        timeval x, y, want, y_after;
        int neg;
    } cases[] = {
        {{5, 100}, {3, 200}, {1, 999900}, {4, -999800}, 0},
        {{3, 0}, {5, 0}, {-2, 0}, {5, 0}, 1},
        {{3, 500}, {5, 700}, {-3, 999800}, {6, -999300}, 1},
        // A difference of exactly one second of microseconds stays there.
        {{1, 1000000}, {0, 0}, {1, 1000000}, {0, 0}, 0},
        {{0, 2500000}, {0, 0}, {2, 500000}, {-2, 2000000}, 0},
    };
    for (auto &c : cases) {
        timeval r{};
        timeval y = c.y;
        EXPECT_EQ(COM_DiffTimeval(&r, &c.x, &y), c.neg);
        EXPECT_EQ(r.tv_sec, c.want.tv_sec);
        EXPECT_EQ(r.tv_usec, c.want.tv_usec);
        EXPECT_EQ(y.tv_sec, c.y_after.tv_sec);
        EXPECT_EQ(y.tv_usec, c.y_after.tv_usec);
    }
}

TEST(ComTime, ConversionsAreUtc)
{
    dvrtest::ScopedEnv tz("TZ", "Asia/Tokyo");
    tzset();
    char buf[32];
    std::memset(buf, 'z', sizeof buf);
    ASSERT_EQ(COM_ConvertTimetToStr(buf, 0), 0);
    EXPECT_STREQ(buf, "1970/01/01 00:00:00");
    ASSERT_EQ(COM_ConvertTimetToStr(buf, 1203477480), 0);
    EXPECT_STREQ(buf, "2008/02/20 03:18:00");

    struct tm tm;
    EXPECT_EQ(COM_ConvertTimetToTm(&tm, 1203477480), &tm);
    EXPECT_EQ(tm.tm_hour, 3);
    EXPECT_EQ(tm.tm_year, 108);

    CaptureStdout cap;
    EXPECT_EQ(COM_ShowTimet("x.c", 3, 1203477480), 0);
    EXPECT_EQ(COM_ShowTimeval("y.c", 4), 0);
    std::string out = cap.take();
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "x.c,3: [1203477480] -> [2008/02/20 03:18:00]\n");
    std::string second = out.substr(out.find('\n') + 1);
    // "y.c,4: [YYYY/MM/DD HH:MM:SS.uuuuuu]\n"
    ASSERT_EQ(second.size(), std::string("y.c,4: [2008/02/20 03:18:00.000000]\n").size()) << second;
    EXPECT_EQ(second.substr(0, 8), "y.c,4: [");
    EXPECT_EQ(second[27], '.');
}

TEST(ComTime, UnconvertibleTimeFailsQuietly)
{
    // Far beyond any representable year (64-bit time_t only).
    if (sizeof(time_t) < 8)
        GTEST_SKIP() << "every 32-bit time_t converts";
    char buf[32] = "untouched";
    time_t huge = static_cast<time_t>(INT64_C(1) << 62);
    CaptureStdout cap;
    EXPECT_EQ(COM_ConvertTimetToStr(buf, huge), -1);
    EXPECT_EQ(COM_ShowTimet("f", 1, huge), -1);
    struct tm tm;
    EXPECT_EQ(COM_ConvertTimetToTm(&tm, huge), nullptr);
    EXPECT_EQ(cap.take(), "");
    EXPECT_STREQ(buf, "untouched");
}

TEST(ComTime, NanosleepTracesAndStopsOnSignal)
{
    {
        CaptureStdout cap;
        NANOSLEEP(0, 1000, "s.c", 12);
        NANOSLEEP(0, 1000, nullptr, 13);
        EXPECT_EQ(cap.take(), "[s.c, 12] : B4 0. 1000 sec Sleep\n[s.c, 12] : After Sleep\n");
    }
    // A signal handled while the call sleeps ends the sleep: the call
    // gives nanosleep's -1 with EINTR instead of sleeping on. The signal
    // is sent once this thread is seen asleep in nanosleep.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    struct sigaction old;
    sigaction(SIGUSR1, &sa, &old);
    pthread_t self = pthread_self();
    const int id = static_cast<int>(gettid());
    bool seen_asleep = false;
    std::thread waker([&] {
        seen_asleep = dvrtest::wait_thread_sleeping(id, "nanosleep");
        pthread_kill(self, SIGUSR1);
    });
    errno = 0;
    const int rc = NANOSLEEP(60, 0, nullptr, 0);
    const int err = errno;
    waker.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(seen_asleep);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
}

TEST(ComFd, CloseFdClosesOnce)
{
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(COM_CloseFd(&fd), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(COM_CloseFd(&fd), -1);
    EXPECT_EQ(COM_CloseFd(nullptr), -1);
}

TEST(ComMisc, VersionAndPwd)
{
    CaptureStdout cap;
    int n = COM_Version();
    const char *line = "$Id: COMMON 2142 2008-02-20 03:18:00Z quillfern $\n";
    EXPECT_EQ(cap.take(), std::string(line) + line);
    EXPECT_EQ(n, static_cast<int>(std::strlen(line)));
    {
        dvrtest::ScopedEnv pwd("PWD", "/some/where");
        EXPECT_STREQ(COM_GetPWD(), "/some/where");
    }
    unsetenv("PWD");
    EXPECT_EQ(COM_GetPWD(), nullptr);
}

TEST(ComMisc, LibraryVersionIsTheProjectsAndTheHeadersVersion)
{
    // The project's version as CMakeLists.txt states it.
    std::ifstream cmake(std::string(DVRPLAT_SOURCE_DIR) + "/CMakeLists.txt");
    std::string text((std::istreambuf_iterator<char>(cmake)), std::istreambuf_iterator<char>());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(project\(dvrplat VERSION ([0-9]+)\.([0-9]+)\.([0-9]+))")));
    int major = -1, minor = -1, patch = -1;
    const char *v = COM_GetLibraryVersion(&major, &minor, &patch);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v), m[1].str() + "." + m[2].str() + "." + m[3].str());
    EXPECT_EQ(major, std::stoi(m[1].str()));
    EXPECT_EQ(minor, std::stoi(m[2].str()));
    EXPECT_EQ(patch, std::stoi(m[3].str()));
    // The installed header says the same, and null pointers are allowed.
    EXPECT_STREQ(DVRPLAT_VERSION_STRING, v);
    EXPECT_EQ(DVRPLAT_VERSION_MAJOR * 10000 + DVRPLAT_VERSION_MINOR * 100 + DVRPLAT_VERSION_PATCH,
              major * 10000 + minor * 100 + patch);
    EXPECT_EQ(COM_GetLibraryVersion(nullptr, nullptr, nullptr), v);
}
