// labels: threads
// The board root: fixed paths under DVRPLAT_ROOT.
#include <gtest/gtest.h>

#include <cstring>

#include <fcntl.h>
#include <pthread.h>

#include "board_root.h"
#include "owners.h"
#include "text.h"
#include "wire.h"
#include "test_support.h"

TEST(BoardRoot, PrefixesOnlyWhenSet)
{
    unsetenv("DVRPLAT_ROOT");
    dvrtest::board_root_changed();
    EXPECT_EQ(dvr::board_path("/etc/resolv.conf"), "/etc/resolv.conf");
    {
        char buf[32];
        EXPECT_TRUE(dvr::board_path("/etc/resolv.conf", buf, sizeof buf));
        EXPECT_STREQ(buf, "/etc/resolv.conf");
    }
    {
        dvrtest::ScopedEnv root("DVRPLAT_ROOT", "/tmp/board/");
        EXPECT_EQ(dvr::board_path("/etc/resolv.conf"), "/tmp/board/etc/resolv.conf");
        EXPECT_EQ(dvr::board_path("relative"), "relative");
        char buf[32];
        EXPECT_TRUE(dvr::board_path("/proc/mounts", buf, sizeof buf));
        EXPECT_STREQ(buf, "/tmp/board/proc/mounts");
        // Too long for the buffer: refused, nothing written past it. The
        // exact fit is the text and its NUL.
        char small[16];
        EXPECT_FALSE(dvr::board_path("/proc/mounts", small, sizeof small));
        EXPECT_STREQ(small, "");
        char fit[sizeof "/tmp/board/proc/mounts" + 1];
        std::memset(fit, '#', sizeof fit);
        EXPECT_TRUE(dvr::board_path("/proc/mounts", fit, sizeof fit - 1));
        EXPECT_STREQ(fit, "/tmp/board/proc/mounts");
        EXPECT_EQ(fit[sizeof fit - 1], '#');
        EXPECT_FALSE(dvr::board_path("/proc/mounts", fit, sizeof fit - 2));
    }
    {
        dvrtest::ScopedEnv root("DVRPLAT_ROOT", "");
        EXPECT_EQ(dvr::board_path("/dev/mem"), "/dev/mem");
    }
}

// The root is read once: a change of the variable after the first use is
// not seen (a deployment sets it before the program starts).
TEST(BoardRoot, ReadOnce)
{
    dvrtest::ScopedEnv root("DVRPLAT_ROOT", "/tmp/first//");
    EXPECT_EQ(dvr::board_path("/etc/hosts"), "/tmp/first/etc/hosts");
    ::setenv("DVRPLAT_ROOT", "/tmp/second", 1);
    EXPECT_EQ(dvr::board_path("/etc/hosts"), "/tmp/first/etc/hosts");
    ::unsetenv("DVRPLAT_ROOT");
    char buf[64];
    EXPECT_TRUE(dvr::board_path("/etc/hosts", buf, sizeof buf));
    EXPECT_STREQ(buf, "/tmp/first/etc/hosts");
    EXPECT_EQ(dvr::board_root(), "/tmp/first");
}

TEST(BoardRoot, BoundedCopies)
{
    char buf[4] = "abc";
    EXPECT_FALSE(dvr::copy_bounded(buf, sizeof buf, "abcd"));
    EXPECT_STREQ(buf, "abc");
    EXPECT_TRUE(dvr::copy_bounded(buf, sizeof buf, "xyz"));
    EXPECT_STREQ(buf, "xyz");
    dvr::copy_cut(buf, sizeof buf, "123456");
    EXPECT_STREQ(buf, "123");
}

TEST(WireOrder, BigEndianHelpers)
{
    uint8_t b[4];
    dvr::put_be32(b, 0x0A0B0C0Du);
    EXPECT_EQ(b[0], 0x0A);
    EXPECT_EQ(b[3], 0x0D);
    EXPECT_EQ(dvr::get_be32(b), 0x0A0B0C0Du);
    EXPECT_EQ(dvr::get_be24(b + 1), 0x0B0C0Du);
    dvr::put_be16(b, 0xA9FA);
    EXPECT_EQ(b[0], 0xA9);
    EXPECT_EQ(dvr::get_be16(b), 0xA9FA);
}

// A handle released with a cancel request pending must not act on it inside
// the release (the release cannot unwind): the thread is cancelled at its
// next cancellation point instead, and the process lives on.
TEST(HandleOwners, ReleaseWithCancelPendingDoesNotAbort)
{
    auto body = +[](void *) -> void * {
        {
            dvr::UniqueFd fd(::open("/dev/null", O_RDONLY));
            dvr::UniqueFile f(std::fopen("/dev/null", "w"));
            std::fputs("buffered", f.get());
            pthread_cancel(pthread_self()); // deferred: only pending here
        }
        pthread_testcancel();
        return nullptr;
    };
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, body, nullptr), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(th, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);
}
