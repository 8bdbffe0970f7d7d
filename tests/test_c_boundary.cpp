// No C++ exception crosses the C interface: an allocation that fails inside
// an entry point is reported and gives that function's failure result,
// never "terminate called" and an aborted process.
// labels: root
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "test_support.h"

// Allocation failure injection: while armed, the allocation numbered
// fail_at (counting from 1 after arming) throws std::bad_alloc.
namespace {
std::atomic<bool> gArmed{false};
std::atomic<long> gCount{0};
std::atomic<long> gFailAt{0};
std::atomic<bool> gFailed{false};
} // namespace

// GCC takes these replacements, once inlined into the test's own
// new-expressions, for a mismatch of new and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void *operator new(std::size_t n)
{
    if (gArmed.load(std::memory_order_relaxed) && ++gCount == gFailAt.load()) {
        gFailed = true;
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

struct EntryPoint {
    const char *name;
    int failure;               // the function's failure result
    std::function<int()> call; // the call, with its arguments
};

class CBoundary : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A long board root makes every fixed path a heap string.
        root_ = tmp_ / "a-board-root-long-enough-to-need-the-heap";
        dvrtest::make_dirs(root_ + "/etc");
        dvrtest::make_dirs(root_ + "/proc");
        dvrtest::write_file(root_ + "/etc/Model", "DVR-16\n");
        dvrtest::write_file(root_ + "/etc/resolv.conf", "nameserver 127.0.0.1\n");
        dvrtest::write_file(root_ + "/proc/mounts", "/dev/hda1 /mnt/a ext3 rw 0 0\n");
        dvrtest::write_file(root_ + "/proc/filesystems", "\text3\n");
    }
    dvrtest::TempDir tmp_;
    std::string root_;
};

// Fails each allocation of the call in turn (the first, the second, ...)
// until the call runs without reaching the armed one.
TEST_F(CBoundary, EveryAllocationFailureIsReportedAndFails)
{
    dvrtest::ScopedEnv env("DVRPLAT_ROOT", root_);
    char buf[256];
    COM_UNIT_INFO info{};
    DNS_ADDR_REC addr[10]{};
    DEV_INFO devs[DEV_MAX_DEVICES]{};
    char mpt[80];
    const std::vector<EntryPoint> table = {
        {"COM_GetModelName", -1, [&] { return COM_GetModelName(buf, sizeof buf); }},
        {"COM_SetModelName", -1, [&] { return COM_SetModelName("DVR-16"); }},
        {"COM_GetUnitInfo", -1, [&] { return COM_GetUnitInfo(&info, "lo"); }},
        {"DNS_GetA", -1, [&] { return DNS_GetA("host.invalid", addr); }},
        {"Dev_GetMPT", -1, [&] { return Dev_GetMPT("/dev/hda1", mpt); }},
        {"Dev_Get", 0, [&] { return Dev_Get(devs); }},
    };
    for (const EntryPoint &e : table) {
        bool reached = true;
        for (long k = 1; reached && k < 500; ++k) {
            dvrtest::CaptureStdout out;
            gCount = 0;
            gFailAt = k;
            gFailed = false;
            gArmed = true;
            int rc = e.call();
            gArmed = false;
            reached = gFailed;
            std::string text = out.take();
            if (reached) {
                // The failure result (a sum of failures where a call
                // gathers several), and a report of the failure.
                if (e.failure < 0)
                    EXPECT_LT(rc, 0) << e.name << " with allocation " << k << " failing";
                else
                    EXPECT_EQ(rc, e.failure) << e.name << " with allocation " << k << " failing";
                EXPECT_NE(text.find("():"), std::string::npos) << e.name << " reported nothing";
            }
        }
        EXPECT_FALSE(reached) << e.name << " kept allocating";
    }
}

// The same under a real address-space limit, in a child: it must end
// normally rather than by abort().
TEST_F(CBoundary, AddressSpaceLimitGivesFailureNotAbort)
{
    if (dvrtest::emulated())
        GTEST_SKIP() << "the emulator needs address space of its own beyond any limit set here";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve far more address space than any limit allows";
#endif
    dvrtest::ScopedEnv env("DVRPLAT_ROOT", root_);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Use up the address space below the limit, then call.
        struct rlimit rl{};
        getrlimit(RLIMIT_AS, &rl);
        rl.rlim_cur = 256ul << 20;
        if (setrlimit(RLIMIT_AS, &rl) != 0)
            _exit(3);
        // Large blocks first, then every small size class, so that no
        // freed block of any size is left to hand out.
        auto drain = [](size_t size) {
            for (;;) {
                void *p = std::malloc(size);
                // Kept from the optimiser, which may drop an unused block.
                asm volatile("" : : "r"(p) : "memory");
                if (!p)
                    return;
            }
        };
        for (size_t size = 1 << 16; size > 1024; size /= 2)
            drain(size);
        for (size_t size = 1024; size > 0; size -= 8)
            drain(size);
        char model[64] = {};
        int rc = COM_GetModelName(model, sizeof model);
        _exit(rc == -1 ? 0 : 10 + rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
