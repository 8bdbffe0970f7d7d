// labels: root
// Files, directories and buffer helpers on the real file system.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "COMMON.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

// ---------------------------------------------------------------------
// COM_ReallocAndCopyBuf, COM_XorBuffer
// ---------------------------------------------------------------------

TEST(ReallocAndCopyBuf, GrowsAppendsAndTerminates)
{
    char *buf = nullptr;
    ASSERT_NE(COM_ReallocAndCopyBuf(4, &buf, 0, "abc", 3), nullptr);
    EXPECT_STREQ(buf, "abc");
    // Append with one spare byte: the zeroing supplies the terminator.
    void *r = COM_ReallocAndCopyBuf(3 + 5 + 1, &buf, 3, "defgh", 5);
    ASSERT_EQ(r, buf);
    EXPECT_STREQ(buf, "abcdefgh");
    // Everything after the offset is zeroed, also beyond the copy.
    ASSERT_NE(COM_ReallocAndCopyBuf(64, &buf, 2, "Z", 1), nullptr);
    EXPECT_EQ(std::memcmp(buf, "abZ", 3), 0);
    for (int i = 3; i < 64; ++i)
        ASSERT_EQ(buf[i], 0) << i;
    std::free(buf);
}

TEST(ReallocAndCopyBuf, SourceInsideTheBufferSurvivesTheMove)
{
    char *buf = nullptr;
    ASSERT_NE(COM_ReallocAndCopyBuf(8, &buf, 0, "01234567", 8), nullptr);
    // Copy the buffer's own tail to its start while it grows a lot (so it
    // most likely moves).
    ASSERT_NE(COM_ReallocAndCopyBuf(1 << 20, &buf, 0, buf + 4, 4), nullptr);
    EXPECT_EQ(std::memcmp(buf, "4567", 4), 0);
    EXPECT_EQ(buf[4], 0);
    std::free(buf);
}

TEST(ReallocAndCopyBuf, RefusalsKeepTheOldBuffer)
{
    char *buf = nullptr;
    ASSERT_NE(COM_ReallocAndCopyBuf(4, &buf, 0, "xyz", 4), nullptr);
    char *before = buf;
    struct Case {
        int size, offset, len;
        const char *src;
    } cases[] = {
        {0, 0, 0, "a"},      // would free the block
        {-1, 0, 0, "a"},     // negative size
        {4, 3, 2, "ab"},     // copy past the end
        {4, 5, 0, "a"},      // offset past the end
        {4, -1, 1, "a"},     // negative offset
        {4, 0, 1, nullptr},  // no source
    };
    for (const Case &c : cases) {
        CaptureStdout cap;
        EXPECT_EQ(COM_ReallocAndCopyBuf(c.size, &buf, c.offset, c.src, c.len), nullptr);
        EXPECT_NE(cap.take().find("MODULES/COMMON,"), std::string::npos);
        EXPECT_EQ(buf, before);
        EXPECT_STREQ(buf, "xyz");
    }
    std::free(buf);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A failing realloc keeps the caller's block: checked in a child whose
// address space is limited so that the allocation cannot succeed.
TEST(ReallocAndCopyBuf, FailedAllocationKeepsTheBlock)
{
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char *buf = nullptr;
        if (!COM_ReallocAndCopyBuf(4, &buf, 0, "xyz", 4))
            _exit(2);
        char *before = buf;
        struct rlimit lim = {256u << 20, 256u << 20};
        if (setrlimit(RLIMIT_AS, &lim) != 0)
            _exit(3);
        if (COM_ReallocAndCopyBuf(0x7fffffff, &buf, 0, "a", 1) != nullptr)
            _exit(4);
        _exit(buf == before && std::strcmp(buf, "xyz") == 0 ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST(XorBuffer, InvertsAndRestores)
{
    unsigned char b[3] = {0x00, 0x0F, 0xFF};
    EXPECT_EQ(COM_XorBuffer(b, 3), 0);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xF0);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(COM_XorBuffer(b, 0), 0);
    EXPECT_EQ(COM_XorBuffer(b, -5), 0);
    EXPECT_EQ(b[1], 0xF0);
    EXPECT_EQ(COM_XorBuffer(b, 3), 0);
    EXPECT_EQ(b[1], 0x0F);
    EXPECT_EQ(COM_XorBuffer(nullptr, 3), -1);
}

} // namespace
