// labels: threads
// The temperature watch thread: started, running passes over the IDE
// disks of the board root, and stopped by cancellation.
#include <gtest/gtest.h>

#include <cerrno>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "DEV.h"
#include "dev_machine.h"
#include "identity_internal.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

// Signals from the watch thread to the test.
struct Signal {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    void raise()
    {
        std::lock_guard<std::mutex> g(m);
        ++count;
        cv.notify_all();
    }
    void reset()
    {
        std::lock_guard<std::mutex> g(m);
        count = 0;
    }
    bool wait_for(int n)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(30), [&] { return count >= n; });
    }
};

Signal gHot, gClockRead;
int gHotIndex = -1;

int on_high(int index, DEV_TEMP_DISK *, int32_t)
{
    gHotIndex = index;
    gHot.raise();
    return 0;
}

time_t clock_that_tells()
{
    gClockRead.raise();
    return 7000;
}

class Watch : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};
    DEV_TEMP_WATCH w{};

    Watch()
    {
        // No watch thread runs between cases: each starts from zero.
        gHot.reset();
        gClockRead.reset();
        gHotIndex = -1;
        smart('a', 60);
        smart('c', 40);
        w.high = 55;
        w.low = 50;
        w.hold = 0;
    }
    ~Watch() override
    {
        dvr::dev::set_temp_watch_clock(nullptr);
        dvr::dev::set_temp_watch_pause_ms(0);
    }
    void smart(char letter, int temperature)
    {
        const std::string dir = root / (std::string("proc/ide/hd") + letter);
        dvrtest::make_dirs(dir);
        dvrtest::write_file(dir + "/smart_values",
                            dvrtest::ide_dump(dvrtest::smart_data({{194, static_cast<uint64_t>(temperature)}})));
    }
};

TEST_F(Watch, PassesCallTheCallerWhenAHotDiskHasStayedHot)
{
    dvr::dev::set_temp_watch_pause_ms(10);
    w.on_high = on_high;
    CaptureStdout cap;
    ASSERT_EQ(Dev_DiskTempWatchDogCreate(&w), 0);
    // First pass: rising; second pass (hold 0): hot, on_high called.
    EXPECT_TRUE(gHot.wait_for(1));
    EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&w), 0);
    std::string out = cap.take();
    EXPECT_EQ(gHotIndex, 0);
    EXPECT_NE(out.find("Dev_TempWatchThread(): [hda] - Temperature = 60 degree\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Dev_TempWatchThread(): [hdc] - Temperature = 40 degree\n"), std::string::npos);
    EXPECT_NE(out.find("Dev_TempWatchThread(): [hda] : [1 -> 2] : 60 degree\n"), std::string::npos);
    EXPECT_NE(out.find("Dev_TempWatchThread(): [hda] : [2 -> 3] : 60 degree\n"), std::string::npos);
    EXPECT_EQ(out.find("[hdc] : ["), std::string::npos); // stays normal
    // The thread has ended: its entries can be read.
    EXPECT_EQ(w.disks[0].state, DEV_TEMP_HOT);
    EXPECT_STREQ(w.disks[1].name, "hdb");
    EXPECT_EQ(w.disks[1].state, DEV_TEMP_NOT_WATCHED);
    EXPECT_EQ(w.disks[1].since, -1);
    EXPECT_EQ(w.disks[2].state, DEV_TEMP_NORMAL);
    EXPECT_STREQ(w.disks[7].name, "hdh");
}

TEST_F(Watch, DestroyCancelsTheThreadInItsPause)
{
    // The five-minute pause between passes: the thread is stopped inside it.
    dvr::dev::set_temp_watch_clock(clock_that_tells);
    CaptureStdout cap;
    ASSERT_EQ(Dev_DiskTempWatchDogCreate(&w), 0);
    EXPECT_TRUE(gClockRead.wait_for(1)); // the first pass has reached hda
    EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&w), 0);
    cap.take();
    EXPECT_EQ(w.disks[0].state, DEV_TEMP_RISING);
    EXPECT_EQ(w.disks[0].since, 7000);
    EXPECT_EQ(w.running, 0);

    // A second destroy, and a second create while running, do nothing.
    {
        CaptureStdout cap2;
        EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&w), ESRCH);
        EXPECT_NE(cap2.take().find("Dev_DiskTempWatchDogDestroy(): temperature watch not running\n"),
                  std::string::npos);
    }
    const int reads = gClockRead.count; // the thread has been joined
    ASSERT_EQ(Dev_DiskTempWatchDogCreate(&w), 0);
    EXPECT_TRUE(gClockRead.wait_for(reads + 1));
    {
        CaptureStdout cap2;
        EXPECT_EQ(Dev_DiskTempWatchDogCreate(&w), EBUSY);
        EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&w), 0);
        cap2.take();
    }
}

TEST(WatchRecord, DestroyWithoutCreate)
{
    // A zero-filled record that never had a thread.
    DEV_TEMP_WATCH never{};
    CaptureStdout cap;
    EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&never), ESRCH);
    EXPECT_EQ(Dev_DiskTempWatchDogDestroy(&never), ESRCH);
    cap.take();
}

TEST(WatchRecord, NullRecord)
{
    EXPECT_EQ(Dev_DiskTempWatchDogCreate(nullptr), -1);
    EXPECT_EQ(Dev_DiskTempWatchDogDestroy(nullptr), -1);
}

} // namespace
