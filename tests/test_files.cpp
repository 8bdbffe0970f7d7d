// labels: root
// Files, directories and buffer helpers on the real file system.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "COMMON.h"
#include "owners.h"
#include "bounded_call.h"
#include "fixtures.h"
#include "test_support.h"

using dvrtest::CaptureStdout;
using dvrtest::make_dirs;
using dvrtest::read_file;
using dvrtest::ScopedEnv;
using dvrtest::TempDir;
using dvrtest::write_file;

namespace {

bool exists(const std::string &p)
{
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

bool is_dir(const std::string &p)
{
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string link_target(const std::string &p)
{
    char buf[4096];
    ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Names of the entries of a directory (without "." and "..").
std::vector<std::string> entries(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (struct dirent *e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                out.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string dir_of_path(const std::string &p)
{
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

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

namespace {

// ---------------------------------------------------------------------
// COM_Mkdir
// ---------------------------------------------------------------------

TEST(Mkdir, MakesEveryMissingLevel)
{
    TempDir t;
    std::string path = t / "a/b/c/";
    EXPECT_EQ(COM_Mkdir(path.c_str(), 0755), 0);
    EXPECT_TRUE(is_dir(t / "a/b/c"));
    EXPECT_EQ(COM_Mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(COM_Mkdir((t / "a//b/d").c_str(), 0700), 0);
    struct stat st;
    ASSERT_EQ(::stat((t / "a/b/d").c_str(), &st), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0700 & ~mask);
}

TEST(Mkdir, StopsAtTheFirstFailingLevel)
{
    TempDir t;
    write_file(t / "file", "x");
    CaptureStdout cap;
    EXPECT_EQ(COM_Mkdir((t / "file/sub/deeper").c_str(), 0755), -1);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "MODULES/COMMON,")) << out;
    EXPECT_TRUE(contains(out, ":COM_Mkdir(): mkdir(" + t.path() + "/file/sub/) error : Not a directory\n")) << out;
    // Only one report: the function stopped there.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST(Mkdir, RefusesPathsBeyondItsBuffer)
{
    TempDir t;
    std::string ok = t.path() + "/" + std::string(255 - t.path().size() - 1, 'k');
    ASSERT_EQ(ok.size(), 255u);
    EXPECT_EQ(COM_Mkdir(ok.c_str(), 0755), 0);
    EXPECT_TRUE(is_dir(ok));
    std::string too_long = t.path() + "/x/" + std::string(253 - t.path().size(), 'y');
    ASSERT_EQ(too_long.size(), 256u);
    CaptureStdout cap;
    EXPECT_EQ(COM_Mkdir(too_long.c_str(), 0755), -1);
    EXPECT_TRUE(contains(cap.take(), "File name too long"));
    EXPECT_FALSE(exists(t / "x"));
}

// ---------------------------------------------------------------------
// COM_RemoveFileInDir
// ---------------------------------------------------------------------

TEST(RemoveFileInDir, NotRecursiveKeepsSubdirectories)
{
    TempDir t;
    std::string d = t / "d";
    make_dirs(d + "/sub");
    write_file(d + "/sub/inner", "1");
    write_file(d + "/f1", "1");
    write_file(d + "/f2", "2");
    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveFileInDir(0, d.c_str()), 0);
    std::string out = cap.take();
    EXPECT_EQ(entries(d), std::vector<std::string>{"sub"});
    EXPECT_TRUE(exists(d + "/sub/inner"));
    EXPECT_TRUE(contains(out, "COM_RemoveFileInDir(): rmdir(" + d + ") error : Directory not empty\n")) << out;
    // Any flag other than 1 is not recursive.
    EXPECT_EQ(COM_RemoveFileInDir(2, d.c_str()), 0);
    EXPECT_TRUE(exists(d + "/sub/inner"));
}

TEST(RemoveFileInDir, RecursiveRemovesTheTreeButKeepsLostAndFound)
{
    TempDir t;
    std::string d = t / "d";
    make_dirs(d + "/a/b/c");
    write_file(d + "/a/b/c/f", "1");
    write_file(d + "/a/f", "1");
    ASSERT_EQ(::mkfifo((d + "/a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(COM_RemoveFileInDir(1, d.c_str()), 0);
    EXPECT_FALSE(exists(d));

    // A "lost+found" at any level is left, so its directory stays (empty
    // but for it) and the failed rmdir is reported but not counted.
    make_dirs(d + "/lost+found");
    make_dirs(d + "/x/lost+found");
    write_file(d + "/x/f", "1");
    write_file(d + "/lost+found/kept", "1");
    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveFileInDir(1, d.c_str()), 0);
    std::string out = cap.take();
    EXPECT_EQ(entries(d), (std::vector<std::string>{"lost+found", "x"}));
    EXPECT_EQ(entries(d + "/x"), std::vector<std::string>{"lost+found"});
    EXPECT_TRUE(exists(d + "/lost+found/kept"));
    EXPECT_TRUE(contains(out, "rmdir(" + d + "/x) error : ")) << out;
    EXPECT_TRUE(contains(out, "rmdir(" + d + ") error : ")) << out;
}

// Links inside the tree are unlinked; what they point to is never touched.
TEST(RemoveFileInDir, NeverFollowsLinks)
{
    TempDir t;
    std::string outside = t / "outside";
    make_dirs(outside + "/deep");
    write_file(outside + "/precious", "keep");
    write_file(outside + "/deep/precious", "keep");
    std::string d = t / "d";
    make_dirs(d + "/sub");
    ASSERT_EQ(::symlink(outside.c_str(), (d + "/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/precious").c_str(), (d + "/sub/filelink").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/target", (d + "/dangling").c_str()), 0);
    EXPECT_EQ(COM_RemoveFileInDir(1, d.c_str()), 0);
    EXPECT_FALSE(exists(d));
    EXPECT_EQ(read_file(outside + "/precious"), "keep");
    EXPECT_EQ(read_file(outside + "/deep/precious"), "keep");

    // Not recursive: a link to a directory is still removed like a file.
    make_dirs(d);
    ASSERT_EQ(::symlink(outside.c_str(), (d + "/dirlink").c_str()), 0);
    EXPECT_EQ(COM_RemoveFileInDir(0, d.c_str()), 0);
    EXPECT_FALSE(exists(d));
    EXPECT_EQ(entries(outside), (std::vector<std::string>{"deep", "precious"}));
}

TEST(RemoveFileInDir, RefusesTheRootAndReportsMissingDirectories)
{
    TempDir t;
    for (const std::string &root : std::vector<std::string>{"/", "//", t.path() + "/../..", ""}) {
        const char *arg = root.empty() ? nullptr : root.c_str();
        CaptureStdout cap;
        EXPECT_EQ(COM_RemoveFileInDir(1, arg), 0) << root;
        EXPECT_TRUE(contains(cap.take(), "COM_RemoveFileInDir(): opendir(")) << root;
    }
    EXPECT_TRUE(is_dir(t.path()));
    EXPECT_TRUE(is_dir("/tmp"));

    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveFileInDir(1, (t / "missing").c_str()), 0);
    EXPECT_TRUE(contains(cap.take(), "opendir(" + t.path() + "/missing) error : No such file or directory\n"));
}

TEST(RemoveFileInDir, CountsEntriesItCannotRemove)
{
    TempDir t;
    // An entry whose path does not fit the 256-byte entry buffer.
    std::string d = t / "d";
    make_dirs(d);
    std::string name(255 - d.size(), 'n'); // d + "/" + name: 256 characters
    write_file(d + "/" + name, "1");
    write_file(d + "/short", "1");
    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveFileInDir(1, d.c_str()), 1);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "path too long")) << out;
    EXPECT_EQ(entries(d), std::vector<std::string>{name});

    // Failures below add up through the recursion.
    make_dirs(d + "/sub");
    write_file(d + "/sub/" + std::string(251 - d.size(), 'm'), "1");
    CaptureStdout cap2;
    EXPECT_EQ(COM_RemoveFileInDir(1, d.c_str()), 2);
}

// ---------------------------------------------------------------------
// COM_RemoveRealFile, COM_CreateSymbolLink
// ---------------------------------------------------------------------

TEST(RemoveRealFile, RemovesWhatTheLinkPointsTo)
{
    TempDir t;
    write_file(t / "real", "data");
    ASSERT_EQ(::symlink((t / "real").c_str(), (t / "link").c_str()), 0);
    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveRealFile((t / "link").c_str()), 0);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "COM_RemoveRealFile(): unlink ok : [" + t.path() + "/link] - [" + t.path() +
                                  "/real]\n"))
        << out;
    EXPECT_FALSE(exists(t / "real"));
    EXPECT_EQ(link_target(t / "link"), t / "real");

    // A plain file is removed itself; a dangling link fails at stat.
    write_file(t / "plain", "x");
    EXPECT_EQ(COM_RemoveRealFile((t / "plain").c_str()), 0);
    EXPECT_FALSE(exists(t / "plain"));
    CaptureStdout cap2;
    EXPECT_EQ(COM_RemoveRealFile((t / "link").c_str()), -1);
    EXPECT_TRUE(contains(cap2.take(), "stat(" + t.path() + "/link) error : No such file or directory\n"));
    EXPECT_TRUE(exists(t / "link"));
}

TEST(RemoveRealFile, RefusesLinkTargetsBeyondItsBuffer)
{
    TempDir t;
    write_file(t / "real", "data");
    // The same file named with padding "./" components, 255 and 256 long.
    auto padded = [&](size_t len) {
        std::string tail = "/real";
        std::string p = t.path();
        while (p.size() + tail.size() + 2 <= len)
            p += "/.";
        if (p.size() + tail.size() < len)
            p += "/";
        return p + tail;
    };
    std::string target255 = padded(255), target256 = padded(256);
    ASSERT_EQ(target255.size(), 255u);
    ASSERT_EQ(target256.size(), 256u);

    ASSERT_EQ(::symlink(target256.c_str(), (t / "long").c_str()), 0);
    CaptureStdout cap;
    EXPECT_EQ(COM_RemoveRealFile((t / "long").c_str()), -1);
    EXPECT_TRUE(contains(cap.take(), "link target too long"));
    EXPECT_EQ(read_file(t / "real"), "data");

    // A file that is not a link, named by a path beyond the buffer.
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_RemoveRealFile(target256.c_str()), -1);
        EXPECT_TRUE(contains(cap.take(), "path too long"));
        EXPECT_EQ(read_file(t / "real"), "data");
    }

    ASSERT_EQ(::symlink(target255.c_str(), (t / "fits").c_str()), 0);
    CaptureStdout cap2;
    EXPECT_EQ(COM_RemoveRealFile((t / "fits").c_str()), 0);
    EXPECT_FALSE(exists(t / "real"));
}

TEST(CreateSymbolLink, ReplacesLinksAsForcedOrWhenTheTargetExists)
{
    TempDir t;
    std::string link = t / "link";
    write_file(t / "one", "1");
    write_file(t / "two", "2");
    EXPECT_EQ(COM_CreateSymbolLink(0, (t / "one").c_str(), link.c_str()), 0);
    EXPECT_EQ(link_target(link), t / "one");

    // Existing target: treated as forced even with flag 0.
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_CreateSymbolLink(0, (t / "two").c_str(), link.c_str()), 0);
        EXPECT_TRUE(contains(cap.take(), "COM_CreateSymbolLink(): Force unlink(" + link + ")\n"));
        EXPECT_EQ(link_target(link), t / "two");
    }
    // Missing target without force: the taken link path makes it fail.
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_CreateSymbolLink(0, (t / "missing").c_str(), link.c_str()), -1);
        EXPECT_TRUE(contains(cap.take(), "symlink(" + t.path() + "/missing, " + link + ") fail : File exists\n"));
        EXPECT_EQ(link_target(link), t / "two");
    }
    // Forced: even a regular file at the link path is replaced.
    write_file(t / "file", "x");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_CreateSymbolLink(1, "missing", (t / "file").c_str()), 0);
    }
    EXPECT_EQ(link_target(t / "file"), "missing");
}

// ---------------------------------------------------------------------
// COM_RenameFile
// ---------------------------------------------------------------------

std::string binary_content(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 13) % 256); // NUL bytes throughout
    return s;
}

TEST(RenameFile, CopiesEveryByteAndRemovesTheSource)
{
    TempDir t;
    for (size_t n : {0u, 1u, 511u, 512u, 513u, 1500u}) {
        std::string data = binary_content(n);
        write_file(t / "src", data);
        write_file(t / "dst", std::string(4000, 'o')); // truncated by the copy
        EXPECT_EQ(COM_RenameFile((t / "src").c_str(), (t / "dst").c_str()), 0) << n;
        EXPECT_FALSE(exists(t / "src")) << n;
        EXPECT_EQ(read_file(t / "dst"), data) << n;
    }
    struct stat st;
    ASSERT_EQ(::stat((t / "dst").c_str(), &st), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::unlink((t / "dst").c_str());
    write_file(t / "src", "text\n");
    ASSERT_EQ(::chmod((t / "src").c_str(), 0600), 0);
    ASSERT_EQ(COM_RenameFile((t / "src").c_str(), (t / "dst").c_str()), 0);
    ASSERT_EQ(::stat((t / "dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u); // the source's mode, whatever the umask
    (void)mask;

    // Over an existing destination with other permissions, too.
    write_file(t / "src", "again\n");
    ASSERT_EQ(::chmod((t / "src").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((t / "dst").c_str(), 0666), 0);
    ASSERT_EQ(COM_RenameFile((t / "src").c_str(), (t / "dst").c_str()), 0);
    ASSERT_EQ(::stat((t / "dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(t / "dst"), "again\n");
    EXPECT_EQ(entries(t.path()), std::vector<std::string>{"dst"});
}

TEST(RenameFile, FailuresKeepTheSource)
{
    TempDir t;
    std::string src = t / "src";
    std::string data = binary_content(2000);
    write_file(src, data);
    struct Case {
        std::string dst, message;
    } cases[] = {
        {t / "nodir/dst", "open(" + t.path() + "/nodir/dst) failed : No such file or directory\n"},
        {"/dev/full", "COM_RenameFile(): write() failed : No space left on device"},
        {src, "same file"},
    };
    for (const Case &c : cases) {
        CaptureStdout cap;
        EXPECT_EQ(COM_RenameFile(src.c_str(), c.dst.c_str()), -1) << c.dst;
        EXPECT_TRUE(contains(cap.take(), c.message)) << c.dst;
        EXPECT_EQ(read_file(src), data) << c.dst;
    }
    // A source that cannot be read (a directory) fails without unlinking.
    make_dirs(t / "dir");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_RenameFile((t / "dir").c_str(), (t / "dst").c_str()), -1);
        EXPECT_TRUE(contains(cap.take(), "read(" + t.path() + "/dir) failed : Is a directory\n"));
        EXPECT_TRUE(is_dir(t / "dir"));
    }
    CaptureStdout cap;
    EXPECT_EQ(COM_RenameFile((t / "missing").c_str(), (t / "dst2").c_str()), -1);
    EXPECT_TRUE(contains(cap.take(), "open(" + t.path() + "/missing) failed : No such file or directory\n"));
    EXPECT_FALSE(exists(t / "dst2"));
}

// ---------------------------------------------------------------------
// COM_ReplaceItemsInFile (temporary files under the board's /var)
// ---------------------------------------------------------------------

class ReplaceItems : public ::testing::Test {
protected:
    TempDir root;
    ScopedEnv env{"DVRPLAT_ROOT", root.path()};
    std::string file = root / "conf";

    void SetUp() override { make_dirs(root / "var"); }
    void TearDown() override
    {
        EXPECT_TRUE(entries(root / "var").empty()) << "temporary file left behind";
        for (const std::string &e : entries(root.path()))
            EXPECT_FALSE(contains(e, "dvrnew")) << "new file left behind: " << e;
    }

    static COM_REPLACE_ITEM item(const char *key, const char *replace, int keylen = -1)
    {
        COM_REPLACE_ITEM it{};
        std::snprintf(it.szKey, sizeof it.szKey, "%s", key);
        std::snprintf(it.szReplace, sizeof it.szReplace, "%s", replace);
        it.nKeyLen = keylen >= 0 ? keylen : static_cast<int>(std::strlen(key));
        return it;
    }
};

TEST_F(ReplaceItems, ReplacesTheFirstMatchingLineOnly)
{
    write_file(file, "FOO=1\nbar=2\nfoo=3\n");
    COM_REPLACE_ITEM items[] = {item("foo=", "foo=9")};
    COM_REPLACE_LIST list{1, 0, 0, 0, items};
    EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 1);
    EXPECT_EQ(items[0].nKeyLen, 0);
    EXPECT_EQ(read_file(file), "foo=9\nbar=2\nfoo=3\n");
}

TEST_F(ReplaceItems, DeletesAppendsAndTruncates)
{
    write_file(file, "alpha one\nbeta two two two two\ngamma three\n");
    COM_REPLACE_ITEM items[] = {
        item("beta", ""),          // deletes its line
        item("ALPHA", "alpha=1"),  // prefix match ignores case
        item("delta", "delta=4"),  // unmatched: appended
        item("epsilon", ""),       // unmatched, empty: nothing appended
    };
    COM_REPLACE_LIST list{4, 0, 0, 1, items};
    EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 2);
    EXPECT_EQ(read_file(file), "alpha=1\ngamma three\ndelta=4\n");
    EXPECT_EQ(items[0].nKeyLen, 0);
    EXPECT_EQ(items[1].nKeyLen, 0);
    EXPECT_EQ(items[2].nKeyLen, 5); // not found stays as given
    EXPECT_EQ(items[3].nKeyLen, 7);
}

TEST_F(ReplaceItems, MatchAnywhereIsCaseSensitiveAndUsesTheCutKey)
{
    write_file(file, "a\tEXT3\nb\text3\n");
    COM_REPLACE_ITEM items[] = {item("\text3 ignored", "changed", 5)};
    COM_REPLACE_LIST list{1, 0, 1, 0, items};
    EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 1);
    EXPECT_EQ(read_file(file), "a\tEXT3\nchanged\n");
}

TEST_F(ReplaceItems, CheckOnlyLeavesTheFileAlone)
{
    std::string content = "nodev\tsysfs\n\text4\n\txfs\n";
    write_file(file, content);
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    COM_REPLACE_ITEM items[] = {item("\text4", ""), item("\tbtrfs", "x"), item("\txfs", "y")};
    COM_REPLACE_LIST list{3, 1, 1, 1, items};
    EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 2);
    EXPECT_EQ(read_file(file), content);
    EXPECT_EQ(items[1].nKeyLen, 6);
}

TEST_F(ReplaceItems, LongLinesAreWholeLines)
{
    // A key at column 256 or later is inside a line, not at its start; the
    // line after a long one stays a line of its own.
    const std::string lines = std::string(255, 'x') + "KEY tail\n" + std::string(300, 'y') + "key=late\nlast\n";
    write_file(file, lines);
    {
        COM_REPLACE_ITEM items[] = {item("key", "KEY replaced"), item("last", "last=1")};
        COM_REPLACE_LIST list{2, 0, 0, 0, items};
        EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 1);
        EXPECT_EQ(read_file(file), std::string(255, 'x') + "KEY tail\n" + std::string(300, 'y') + "key=late\nlast=1\n");
        EXPECT_EQ(items[0].nKeyLen, 3);
    }
    // A line of any length that begins with the key is replaced whole; with
    // match-anywhere a key far into a long line is found.
    write_file(file, "key=" + std::string(5000, 'v') + "\n" + std::string(4000, 'w') + "deep\nend\n");
    {
        COM_REPLACE_ITEM items[] = {item("KEY=", "key=short"), item("deep", "found")};
        COM_REPLACE_LIST prefix{1, 0, 0, 0, items};
        EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &prefix), 1);
        COM_REPLACE_LIST anywhere{1, 0, 1, 0, items + 1};
        EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &anywhere), 1);
        EXPECT_EQ(read_file(file), "key=short\nfound\nend\n");
    }
}

TEST_F(ReplaceItems, FailuresLeaveTheTargetUntouched)
{
    COM_REPLACE_ITEM items[] = {item("a", "b")};
    COM_REPLACE_LIST list{1, 0, 0, 1, items};
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_ReplaceItemsInFile((root / "missing").c_str(), &list), -1);
        EXPECT_TRUE(contains(cap.take(), "fopen(" + root.path() + "/missing) failed : No such file or directory\n"));
        EXPECT_FALSE(exists(root / "missing"));
    }
    write_file(file, "a=1\n");
    // Keys longer than the key field, unterminated replacements, bad lists.
    COM_REPLACE_ITEM bad = item("a", "b");
    bad.nKeyLen = COM_REPLACE_KEY_SIZE + 1;
    COM_REPLACE_ITEM unterminated = item("a", "");
    std::memset(unterminated.szReplace, 'r', sizeof unterminated.szReplace);
    COM_REPLACE_LIST lists[] = {{1, 0, 0, 0, &bad}, {1, 0, 0, 0, &unterminated}, {-1, 0, 0, 0, items},
                                {1, 0, 0, 0, nullptr}};
    for (COM_REPLACE_LIST &l : lists) {
        CaptureStdout cap;
        EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &l), -1);
        EXPECT_TRUE(contains(cap.take(), "COM_ReplaceItemsInFile(): "));
    }
    EXPECT_EQ(read_file(file), "a=1\n");
    // A target that is not a file the function may replace.
    make_dirs(root / "adir");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_ReplaceItemsInFile((root / "adir").c_str(), &list), -1);
        EXPECT_TRUE(is_dir(root / "adir"));
    }
    EXPECT_EQ(read_file(file), "a=1\n");
    EXPECT_EQ(entries(root.path()), (std::vector<std::string>{"adir", "conf", "var"}));
}

// ---------------------------------------------------------------------
// Writers on real file systems: full, read-only, closed directories,
// links, and a writer killed in the middle of its work.
// ---------------------------------------------------------------------

// A tmpfs of its own under a temporary directory, unmounted at the end.
class SmallFs {
public:
    explicit SmallFs(const char *options)
    {
        make_dirs(dir);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    }
    ~SmallFs()
    {
        if (mounted_)
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Takes every free block with one file.
    void fill()
    {
        int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, "f", 1) > 0) {
        }
        ::close(fd);
    }
    bool remount_read_only() const
    {
        return ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
    }

    TempDir tmp;
    std::string dir = tmp / "fs";

private:
    bool mounted_ = false;
};

// Each writer of the library with new contents too big for what is left,
// and the result it must give when the new contents cannot be stored.
struct Writer {
    const char *name;
    std::function<int(const std::string &target)> call;
    std::vector<int> failures;
};

std::vector<Writer> big_writers(const std::string &scratch)
{
    static COM_REPLACE_ITEM items[40];
    return {
        {"COM_ReplaceItemsInFile",
         [](const std::string &target) {
             // Forty appended lines of 150 characters after a changed first line.
             for (int i = 0; i < 40; ++i) {
                 items[i] = COM_REPLACE_ITEM{};
                 std::snprintf(items[i].szKey, sizeof items[i].szKey, i == 0 ? "line" : "absent%02d", i);
                 std::snprintf(items[i].szReplace, sizeof items[i].szReplace, "%02d=%s", i,
                               std::string(147, 'n').c_str());
                 items[i].nKeyLen = static_cast<int>(std::strlen(items[i].szKey));
             }
             COM_REPLACE_LIST list{40, 0, 0, 1, items};
             return COM_ReplaceItemsInFile(target.c_str(), &list);
         },
         {-1}},
        {"COM_SaveDataIntoFile",
         [](const std::string &target) {
             std::string data(6000, 'd');
             return COM_SaveDataIntoFile(target.c_str(), data.data(), static_cast<int>(data.size()));
         },
         {-1, 1}},
        {"COM_SetFileContent",
         [](const std::string &target) { return COM_SetFileContent(target.c_str(), std::string(6000, 't').c_str()); },
         {-1}},
        {"COM_RenameFile",
         [scratch](const std::string &target) {
             std::string src = scratch + "/moved";
             write_file(src, std::string(6000, 'm'));
             int rc = COM_RenameFile(src.c_str(), target.c_str());
             if (read_file(src) != std::string(6000, 'm'))
                 return 99; // the source must stay when the move fails
             ::unlink(src.c_str());
             return rc;
         },
         {-1}},
    };
}

const std::string kOldText = "line one\nline two\nlast line without end";

// Runs every writer against a target holding kOldText in dir; the target
// must keep its bytes and its mode, and nothing new may remain beside it.
void expect_writers_fail_cleanly(const std::string &dir, const std::string &scratch, bool prepare)
{
    for (const Writer &w : big_writers(scratch)) {
        std::string target = dir + "/target";
        if (prepare) {
            write_file(target, kOldText);
            ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        }
        std::vector<std::string> before = entries(dir);
        CaptureStdout cap;
        int rc = w.call(target);
        std::string out = cap.take();
        EXPECT_NE(std::find(w.failures.begin(), w.failures.end(), rc), w.failures.end())
            << w.name << " gave " << rc << "\n" << out;
        // (A block of which no byte could be written is not reported.)
        if (rc != -1 || std::string(w.name) != "COM_SaveDataIntoFile") {
            EXPECT_TRUE(contains(out, std::string(w.name) + "(): ")) << w.name << ": failure not reported";
        }
        EXPECT_EQ(read_file(target), kOldText) << w.name;
        struct stat st;
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << w.name;
        EXPECT_EQ(entries(dir), before) << w.name << ": a new file was left behind";
    }
}

TEST(WritersOnRealFileSystems, FullFileSystemKeepsEveryTarget)
{
    SmallFs fs("size=64k");
    if (!fs.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    TempDir scratch;
    // The targets are made while there is room, then the disk is filled.
    write_file(fs.dir + "/target", kOldText);
    ASSERT_EQ(::chmod((fs.dir + "/target").c_str(), 0640), 0);
    fs.fill();
    expect_writers_fail_cleanly(fs.dir, scratch.path(), false);

    // Read-only: the same, and now even a small write must fail.
    ASSERT_TRUE(fs.remount_read_only());
    expect_writers_fail_cleanly(fs.dir, scratch.path(), false);
    CaptureStdout cap;
    EXPECT_EQ(COM_SaveDataIntoFile((fs.dir + "/target").c_str(), "x", 1), -1);
    EXPECT_EQ(read_file(fs.dir + "/target"), kOldText);
}

TEST(WritersOnRealFileSystems, LinksAreFollowedAndKept)
{
    TempDir t;
    make_dirs(t / "sub");
    write_file(t / "real", "a=1\nb=2\n");
    ASSERT_EQ(::symlink("../real", (t / "sub/rel").c_str()), 0);
    ASSERT_EQ(::symlink((t / "real").c_str(), (t / "abs").c_str()), 0);
    ASSERT_EQ(::symlink("sub/rel", (t / "chain").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (t / "dangling").c_str()), 0);

    COM_REPLACE_ITEM it{};
    std::snprintf(it.szKey, sizeof it.szKey, "a=");
    std::snprintf(it.szReplace, sizeof it.szReplace, "a=9");
    it.nKeyLen = 2;
    COM_REPLACE_LIST list{1, 0, 0, 0, &it};
    EXPECT_EQ(COM_ReplaceItemsInFile((t / "sub/rel").c_str(), &list), 1);
    EXPECT_EQ(read_file(t / "real"), "a=9\nb=2\n");
    EXPECT_EQ(COM_SaveDataIntoFile((t / "abs").c_str(), "abs", 3), 0);
    EXPECT_EQ(read_file(t / "real"), "abs");
    EXPECT_EQ(COM_SetFileContent((t / "chain").c_str(), "chain"), 0);
    EXPECT_EQ(read_file(t / "real"), "chain");
    EXPECT_EQ(link_target(t / "sub/rel"), "../real");
    EXPECT_EQ(link_target(t / "abs"), t / "real");
    EXPECT_EQ(link_target(t / "chain"), "sub/rel");

    // A dangling link: the block is stored where it points; a file that
    // must exist is missing.
    EXPECT_EQ(COM_SaveDataIntoFile((t / "dangling").c_str(), "new", 3), 0);
    EXPECT_EQ(read_file(t / "nowhere"), "new");
    EXPECT_EQ(link_target(t / "dangling"), "nowhere");
    ASSERT_EQ(::unlink((t / "nowhere").c_str()), 0);
    it.nKeyLen = 2;
    CaptureStdout cap;
    EXPECT_EQ(COM_ReplaceItemsInFile((t / "dangling").c_str(), &list), -1);
    EXPECT_FALSE(exists(t / "nowhere"));
    EXPECT_EQ(entries(t.path()), (std::vector<std::string>{"abs", "chain", "dangling", "real", "sub"}));

    // Device nodes and kernel files are written in place.
    EXPECT_EQ(COM_SaveDataIntoFile("/dev/null", "x", 1), 0);
    struct stat st;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    char comm[32] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, comm), 0);
    EXPECT_EQ(COM_SetFileContent("/proc/thread-self/comm", "dvr-in-place"), 0);
    char now[32] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, now), 0);
    EXPECT_STREQ(now, "dvr-in-place");
    ::prctl(PR_SET_NAME, comm);
}

TEST(RemoveRealFile, RelativeTargetIsTakenFromTheLinksDirectory)
{
    TempDir t;
    make_dirs(t / "links");
    write_file(t / "links/data", "the link's file");
    write_file(t / "data", "unrelated file of the same name");
    ASSERT_EQ(::symlink("data", (t / "links/link").c_str()), 0);
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(t.path().c_str()), 0);
    CaptureStdout cap;
    int rc = COM_RemoveRealFile((t / "links/link").c_str());
    std::string out = cap.take();
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(contains(out, "unlink ok : [" + t.path() + "/links/link] - [" + t.path() + "/links/data]\n")) << out;
    EXPECT_FALSE(exists(t / "links/data"));
    EXPECT_EQ(read_file(t / "data"), "unrelated file of the same name");
    EXPECT_EQ(link_target(t / "links/link"), "data");
}

// A writer rewriting a file of about 1 MiB is killed at random moments:
// every time the file must hold exactly the old or the new contents. The
// kernel's page cache outlives the killed process, so these prove that
// the name never points at a torn file; that the new file reaches the
// disk before its name does is FileReplacement.NewFileIsSyncedBefore...
class KilledWriter : public ::testing::Test {
protected:
    void run_kills(const std::string &target, const std::string &a, const std::string &b,
                   const std::function<void(bool to_b)> &rewrite, int kills)
    {
        write_file(target, a);
        // How long one rewrite takes here, to spread the kills over it.
        auto t0 = std::chrono::steady_clock::now();
        rewrite(true);
        rewrite(false);
        auto one = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0) / 2;
        ASSERT_EQ(read_file(target), a);

        std::mt19937 rng(12345);
        std::uniform_int_distribution<long> when(0, std::max<long>(1, 3 * one.count()));
        int torn = 0, saw_a = 0, saw_b = 0;
        for (int k = 0; k < kills; ++k) {
            int ready[2];
            ASSERT_EQ(::pipe(ready), 0);
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::close(ready[0]);
                int fd = ::open("/dev/null", O_WRONLY);
                ::dup2(fd, 1); // reports would only fill the log
                bool to_b = read_file(target) == a;
                (void)!::write(ready[1], "r", 1);
                for (;;) {
                    rewrite(to_b);
                    to_b = !to_b;
                }
            }
            ::close(ready[1]);
            char c;
            (void)!::read(ready[0], &c, 1);
            ::close(ready[0]);
            std::this_thread::sleep_for(std::chrono::microseconds(when(rng))); // the moment of the kill
            ::kill(pid, SIGKILL);
            int status;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            std::string now = read_file(target);
            if (now == a)
                ++saw_a;
            else if (now == b)
                ++saw_b;
            else if (++torn == 1)
                ADD_FAILURE() << "kill " << k << " left " << now.size() << " bytes that are neither version";
        }
        EXPECT_EQ(torn, 0);
        std::printf("%d kills over rewrites of %ld us: %d old, %d new\n", kills, static_cast<long>(one.count()),
                    saw_a, saw_b);
        // The next call that succeeds leaves nothing but the target.
        CaptureStdout cap;
        rewrite(read_file(target) == a);
        cap.take();
        EXPECT_EQ(entries(fs->dir), std::vector<std::string>{"target"});
    }

    void SetUp() override
    {
        fs = std::make_unique<SmallFs>("size=16m");
        if (!fs->mounted())
            GTEST_SKIP() << "mounting a tmpfs needs root";
    }

    std::unique_ptr<SmallFs> fs;
    const int kKills = dvrtest::emulated() ? 100 : 200;
};

std::string numbered_lines(const char *first, size_t size)
{
    std::string s = std::string(first) + "\n";
    char line[64];
    for (int i = 0; s.size() < size; ++i) {
        std::snprintf(line, sizeof line, "line %07d of the file being rewritten\n", i);
        s += line;
    }
    return s;
}

TEST_F(KilledWriter, ReplaceItemsInFileLeavesOldOrNewNeverTorn)
{
    std::string target = fs->dir + "/target";
    const std::string a = numbered_lines("state=old", 1 << 20);
    const std::string b = "state=new and longer\n" + a.substr(a.find('\n') + 1);
    run_kills(target, a, b,
              [&](bool to_b) {
                  COM_REPLACE_ITEM it{};
                  std::snprintf(it.szKey, sizeof it.szKey, "state=");
                  std::snprintf(it.szReplace, sizeof it.szReplace, "%s", to_b ? "state=new and longer" : "state=old");
                  it.nKeyLen = 6;
                  COM_REPLACE_LIST list{1, 0, 0, 0, &it};
                  COM_ReplaceItemsInFile(target.c_str(), &list);
              },
              kKills);
}

TEST_F(KilledWriter, SaveDataIntoFileLeavesOldOrNewNeverTorn)
{
    std::string target = fs->dir + "/target";
    const std::string a = binary_content(1 << 20);
    const std::string b = std::string((1 << 20) - 4096, 'b');
    run_kills(target, a, b,
              [&](bool to_b) {
                  const std::string &d = to_b ? b : a;
                  COM_SaveDataIntoFile(target.c_str(), d.data(), static_cast<int>(d.size()));
              },
              kKills);
}

// ---------------------------------------------------------------------
// Writers under concurrent callers, where no new file can be made beside
// the target, and as users who own neither the file nor its directory.
// ---------------------------------------------------------------------

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// Runs fn in a child process as the given user, group and supplementary
// groups and gives its result (100: the privileges could not be dropped;
// -1: the child did not exit).
int run_as(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const std::function<int()> &fn)
{
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0)
            ::_exit(100);
        ::_exit(fn());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

COM_REPLACE_ITEM replace_item(const char *key, const char *replace)
{
    COM_REPLACE_ITEM it{};
    std::snprintf(it.szKey, sizeof it.szKey, "%s", key);
    std::snprintf(it.szReplace, sizeof it.szReplace, "%s", replace);
    it.nKeyLen = static_cast<int>(std::strlen(key));
    return it;
}

// Each writer of the library with contents shorter than kInPlaceOld, and
// what the target holds once they are stored.
struct StoringWriter {
    const char *name;
    std::function<int(const std::string &target, const std::string &scratch)> call;
    std::string stored;
};

const std::string kInPlaceOld = "one=1\ntwo=2\n" + std::string(300, 'x') + "\n";

std::vector<StoringWriter> storing_writers()
{
    return {
        {"COM_ReplaceItemsInFile",
         [](const std::string &target, const std::string &) {
             COM_REPLACE_ITEM items[] = {replace_item("two=", "two=22"), replace_item("xxx", "")};
             COM_REPLACE_LIST list{2, 0, 0, 0, items};
             return COM_ReplaceItemsInFile(target.c_str(), &list) == 2 ? 0 : -1;
         },
         "one=1\ntwo=22\n"},
        {"COM_SaveDataIntoFile",
         [](const std::string &target, const std::string &) {
             return COM_SaveDataIntoFile(target.c_str(), "saved block", 11);
         },
         "saved block"},
        {"COM_SetFileContent",
         [](const std::string &target, const std::string &) { return COM_SetFileContent(target.c_str(), "set text"); },
         "set text"},
        {"COM_RenameFile",
         [](const std::string &target, const std::string &scratch) {
             write_file(scratch + "/moved", "moved text");
             int rc = COM_RenameFile((scratch + "/moved").c_str(), target.c_str());
             return rc == 0 && exists(scratch + "/moved") ? 99 : rc;
         },
         "moved text"},
    };
}

// Every writer must store its contents in the target and report why it
// could not replace it (the system's text for why). Gives a bit per writer
// that did not (in storing_writers order); details go to stderr.
int expect_stored_in_place(const std::string &target, const std::string &scratch, const std::string &why)
{
    int failed = 0, bit = 1;
    for (const StoringWriter &w : storing_writers()) {
        write_file(target, kInPlaceOld);
        CaptureStdout cap;
        int rc = w.call(target, scratch);
        std::string out = cap.take();
        std::string now = read_file(target);
        if (rc != 0 || now != w.stored || !contains(out, why) || !contains(out, "in place")) {
            std::fprintf(stderr, "%s: result %d, target holds \"%s\", reports:\n%s\n", w.name, rc, now.c_str(),
                         out.c_str());
            failed |= bit;
        }
        for (const std::string &e : entries(dir_of_path(target)))
            if (contains(e, "dvrnew")) {
                std::fprintf(stderr, "%s: left %s\n", w.name, e.c_str());
                failed |= bit;
            }
        bit <<= 1;
    }
    return failed;
}

} // namespace

// Callers that replace different lines of one file at the same time, as
// threads and as processes: every change stays.
TEST(ConcurrentWriters, EveryChangeStays)
{
    constexpr int kWriters = 16;
    TempDir t;
    const std::string file = t / "conf";
    auto reset = [&] {
        std::string text;
        for (int i = 0; i < kWriters; ++i)
            text += "key" + std::to_string(i) + "=old\n";
        write_file(file, text);
    };
    auto change = [&](int i) {
        std::string key = "key" + std::to_string(i) + "=";
        COM_REPLACE_ITEM it = replace_item(key.c_str(), (key + "new").c_str());
        COM_REPLACE_LIST list{1, 0, 0, 0, &it};
        return COM_ReplaceItemsInFile(file.c_str(), &list);
    };
    std::string all;
    for (int i = 0; i < kWriters; ++i)
        all += "key" + std::to_string(i) + "=new\n";

    reset();
    {
        std::atomic<bool> go{false};
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kWriters; ++i)
            threads.emplace_back([&, i] {
                while (!go.load())
                    std::this_thread::yield();
                if (change(i) == 1)
                    ++done;
            });
        go = true;
        for (std::thread &th : threads)
            th.join();
        EXPECT_EQ(done.load(), kWriters);
        EXPECT_EQ(read_file(file), all) << "threads";
    }

    reset();
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> pids;
    std::fflush(stdout);
    for (int i = 0; i < kWriters; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            char c;
            (void)!::read(start[0], &c, 1); // all start when the pipe closes
            ::_exit(change(i) == 1 ? 0 : 1);
        }
        pids.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);
    int ok = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ok += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(ok, kWriters);
    EXPECT_EQ(read_file(file), all) << "processes";
}

TEST(ReplaceItemsAppend, GoesOnANewLineAfterALastLineWithoutEnd)
{
    TempDir t;
    const std::string file = t / "conf";
    write_file(file, "alpha=1\nbeta=2");
    COM_REPLACE_ITEM items[] = {replace_item("gamma=", "gamma=3")};
    COM_REPLACE_LIST list{1, 0, 0, 1, items};
    EXPECT_EQ(COM_ReplaceItemsInFile(file.c_str(), &list), 0);
    EXPECT_EQ(read_file(file), "alpha=1\nbeta=2\ngamma=3\n");
}

// A name so long that the new file's name (".<name>.dvrnew~") would not
// fit: the target is written in place.
TEST(WritersInPlace, NameTooLongForANewFileBesideIt)
{
    TempDir t;
    make_dirs(t / "scratch");
    const std::string target = t / std::string(NAME_MAX - 8, 'n');
    EXPECT_EQ(expect_stored_in_place(target, t / "scratch", std::strerror(ENAMETOOLONG)), 0)
        << "writers (bits in storing_writers order) that did not store in place";
}

// A file the caller may write in a directory it may not: written in place.
TEST(WritersInPlace, DirectoryClosedToNewFiles)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root to hand the files to another user";
    TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    make_dirs(t / "dir");
    ASSERT_EQ(::chmod((t / "dir").c_str(), 0755), 0);
    write_file(t / "dir/target", kInPlaceOld);
    ASSERT_EQ(::chmod((t / "dir/target").c_str(), 0666), 0);
    make_dirs(t / "scratch");
    ASSERT_EQ(::chmod((t / "scratch").c_str(), 0777), 0);
    int rc = run_as(kNobody, kNoGroup, {},
                    [&] { return expect_stored_in_place(t / "dir/target", t / "scratch", std::strerror(EACCES)); });
    EXPECT_EQ(rc, 0) << "writers (bits in storing_writers order) that did not store in place";
    EXPECT_EQ(entries(t / "dir"), std::vector<std::string>{"target"});
    struct stat st;
    ASSERT_EQ(::stat((t / "dir/target").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

// A file mounted over the target (as containers do for their settings
// files): rename cannot replace a mount point, the target is written in
// place, and the mounted file holds the contents.
TEST(WritersInPlace, TargetIsAMountPoint)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "mounting needs root";
    TempDir t;
    make_dirs(t / "dir");
    make_dirs(t / "scratch");
    write_file(t / "dir/target", "the file under the mount\n");
    write_file(t / "mounted", kInPlaceOld);
    int rc = run_as(0, 0, {}, [&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 101;
        if (::mount((t / "mounted").c_str(), (t / "dir/target").c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 102;
        return expect_stored_in_place(t / "dir/target", t / "scratch", std::strerror(EBUSY));
    });
    if (rc == 101 || rc == 102)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(rc, 0) << "writers (bits in storing_writers order) that did not store in place";
    EXPECT_EQ(read_file(t / "mounted"), "moved text");
    EXPECT_EQ(read_file(t / "dir/target"), "the file under the mount\n");
    EXPECT_EQ(entries(t / "dir"), std::vector<std::string>{"target"});
}

// A member of the file's group who is not its owner: the group stays;
// where neither owner nor group can stay, the report says so.
TEST(WriterOwnership, GroupStaysWhereTheOwnerCannot)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root to hand the files to another user";
    constexpr gid_t kGroup = 4321;
    TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    const std::string dir = t / "dir";
    make_dirs(dir);
    ASSERT_EQ(::chown(dir.c_str(), 0, kGroup), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0775), 0);
    write_file(dir + "/conf", "a=1\n");
    ASSERT_EQ(::chown((dir + "/conf").c_str(), 0, kGroup), 0);
    ASSERT_EQ(::chmod((dir + "/conf").c_str(), 0664), 0);
    write_file(dir + "/other", "b=1\n");
    ASSERT_EQ(::chown((dir + "/other").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod((dir + "/other").c_str(), 0666), 0);

    int rc = run_as(kNobody, kNoGroup, {kGroup}, [&] {
        int bad = 0;
        {
            CaptureStdout cap;
            if (COM_SetFileContent((dir + "/conf").c_str(), "a=2\n") != 0)
                bad |= 1;
            if (contains(cap.take(), "not kept"))
                bad |= 2;
        }
        CaptureStdout cap;
        if (COM_SetFileContent((dir + "/other").c_str(), "b=2\n") != 0)
            bad |= 4;
        std::string out = cap.take();
        if (!contains(out, "not kept") || !contains(out, dir + "/other"))
            bad |= 8;
        return bad;
    });
    EXPECT_EQ(rc, 0) << "1, 4: a write failed; 2: a group kept was reported; 8: owner and group lost unreported";
    struct stat st;
    ASSERT_EQ(::stat((dir + "/conf").c_str(), &st), 0);
    EXPECT_EQ(read_file(dir + "/conf"), "a=2\n");
    EXPECT_EQ(st.st_gid, kGroup);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(read_file(dir + "/other"), "b=2\n");
}

// A new file left behind read-only (a move of a read-only file killed in
// the middle) does not stop the next writer; the new file stays private
// while it is written and takes its final mode only when it is complete.
TEST(WriterLeftovers, ReadOnlyLeftoverIsRemoved)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root to hand the files to another user";
    TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    const std::string dir = t / "dir";
    make_dirs(dir);
    write_file(dir + "/target", "old\n");
    write_file(dir + "/.target.dvrnew~", "half a copy");
    for (const char *p : {"", "/target", "/.target.dvrnew~"})
        ASSERT_EQ(::chown((dir + p).c_str(), kNobody, kNoGroup), 0);
    ASSERT_EQ(::chmod((dir + "/.target.dvrnew~").c_str(), 0444), 0);
    int rc = run_as(kNobody, kNoGroup, {}, [&] {
        CaptureStdout cap;
        int r = COM_SetFileContent((dir + "/target").c_str(), "new\n");
        std::string out = cap.take();
        if (r != 0)
            std::fprintf(stderr, "%s", out.c_str());
        return r == 0 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(dir + "/target"), "new\n");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"target"});

    ::unlink((dir + "/.target.dvrnew~").c_str());
    // A read-only source copied from a FIFO: the copy is seen while the
    // source is still open.
    const std::string fifo = t / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0444), 0);
    int moved = -2;
    std::thread mover([&] { moved = COM_RenameFile(fifo.c_str(), (dir + "/target").c_str()); });
    int w = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(w, 0);
    // More than the writer gathers before it hands bytes to the new file.
    const std::string data(100000, 'f');
    for (size_t off = 0; off < data.size();) {
        ssize_t n = ::write(w, data.data() + off, data.size() - off);
        ASSERT_GT(n, 0);
        off += static_cast<size_t>(n);
    }
    struct stat st {};
    while (::lstat((dir + "/.target.dvrnew~").c_str(), &st) != 0 || st.st_size == 0)
        std::this_thread::yield();
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the new file while it is written";
    ::close(w);
    mover.join();
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(read_file(dir + "/target"), data);
    ASSERT_EQ(::stat((dir + "/target").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(entries(dir), std::vector<std::string>{"target"});
}

// A file system mounted inside the tree (its own, or a directory of the
// same one bound there) is not entered: what it holds stays.
TEST(RemoveFileInDir, LeavesMountedFileSystemsAlone)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "mounting needs root";
    TempDir t;
    make_dirs(t / "elsewhere");
    write_file(t / "elsewhere/kept", "bound");
    for (bool bind : {false, true}) {
        const std::string tree = t / "tree";
        make_dirs(tree + "/a/mnt");
        write_file(tree + "/a/f", "1");
        const std::string mnt = tree + "/a/mnt";
        if (bind)
            ASSERT_EQ(::mount((t / "elsewhere").c_str(), mnt.c_str(), nullptr, MS_BIND, nullptr), 0);
        else
            ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k"), 0);
        if (!bind)
            write_file(mnt + "/kept", "own");
        CaptureStdout cap;
        int rc = COM_RemoveFileInDir(1, tree.c_str());
        std::string out = cap.take();
        bool still = exists(mnt + "/kept");
        ::umount2(mnt.c_str(), MNT_DETACH);
        EXPECT_TRUE(still) << (bind ? "bound directory" : "tmpfs") << "\n" << out;
        EXPECT_EQ(rc, 1) << out;
        EXPECT_FALSE(exists(tree + "/a/f"));
        EXPECT_EQ(read_file(t / "elsewhere/kept"), "bound");
        std::error_code gone;
        std::filesystem::remove_all(tree, gone);
        ASSERT_FALSE(gone) << gone.message();
    }
}

// Root empties a tree another user can write while that user swaps each
// subdirectory for a link to a directory of root's: nothing outside the
// tree is removed.
TEST(RemoveFileInDir, SwappedDirectoriesDoNotLeadOutOfTheTree)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "needs root and another user";
    const int kFiles = dvrtest::emulated() ? 300 : 2000;
    constexpr int kDirs = 4;
    TempDir t;
    ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
    const std::string victim = t / "victim";
    const std::string tree = t / "tree";
    make_dirs(victim);
    make_dirs(tree);
    ASSERT_EQ(::chown(tree.c_str(), kNobody, kNoGroup), 0);
    auto name = [](int i) { return "f" + std::to_string(i); };
    for (int i = 0; i < kFiles; ++i)
        write_file(victim + "/" + name(i), "");
    for (int k = 0; k < kDirs; ++k) {
        const std::string d = tree + "/d" + std::to_string(k);
        make_dirs(d);
        ASSERT_EQ(::chown(d.c_str(), kNobody, kNoGroup), 0);
        for (int i = 0; i < kFiles; ++i)
            write_file(d + "/" + name(i), "");
    }

    // The swaps made, counted where both processes see them.
    void *shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto *swaps = new (shared) std::atomic<int>(0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::fflush(stdout);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNoGroup, kNoGroup, kNoGroup) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(100);
        struct stat before[kDirs];
        for (int k = 0; k < kDirs; ++k)
            if (::lstat((tree + "/d" + std::to_string(k)).c_str(), &before[k]) != 0)
                ::_exit(101);
        (void)!::write(ready[1], "r", 1);
        for (int k = 0; k < kDirs; ++k) {
            const std::string d = tree + "/d" + std::to_string(k);
            // Once the removal has begun in it (its time of change moves),
            // the directory goes aside and a link to the victim takes its
            // place.
            for (long spin = 0; spin < 200000000L; ++spin) {
                struct stat now {};
                if (::lstat(d.c_str(), &now) != 0 || now.st_ctim.tv_sec != before[k].st_ctim.tv_sec ||
                    now.st_ctim.tv_nsec != before[k].st_ctim.tv_nsec)
                    break;
            }
            if (::rename(d.c_str(), (d + ".aside").c_str()) == 0 && ::symlink(victim.c_str(), d.c_str()) == 0)
                ++*swaps;
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    {
        CaptureStdout cap;
        COM_RemoveFileInDir(1, tree.c_str());
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::printf("directories swapped during the removal: %d of %d\n", swaps->load(), kDirs);
    ::munmap(shared, sizeof(std::atomic<int>));
    EXPECT_EQ(entries(victim).size(), static_cast<size_t>(kFiles)) << "files removed outside the tree";
}

// ---------------------------------------------------------------------
// Binary blocks and one-line text files
// ---------------------------------------------------------------------

TEST(DataFiles, SaveAndLoadWholeBlocks)
{
    TempDir t;
    std::string data = binary_content(300);
    EXPECT_EQ(COM_SaveDataIntoFile((t / "blk").c_str(), data.data(), 300), 0);
    EXPECT_EQ(read_file(t / "blk"), data);
    char back[300] = {};
    EXPECT_EQ(COM_LoadDataFromFile((t / "blk").c_str(), back, 300), 0);
    EXPECT_EQ(std::string(back, 300), data);

    char big[400];
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_LoadDataFromFile((t / "blk").c_str(), big, 400), 1);
        EXPECT_TRUE(contains(cap.take(), "read(" + t.path() + "/blk) size failed - 300/400\n"));
    }
    write_file(t / "empty", "");
    EXPECT_EQ(COM_LoadDataFromFile((t / "empty").c_str(), big, 400), 0);
    EXPECT_EQ(COM_LoadDataFromFile((t / "dir").c_str(), big, 4), -1);
    make_dirs(t / "dir");
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_LoadDataFromFile((t / "dir").c_str(), big, 4), -1); // read fails: no message
        EXPECT_EQ(cap.take(), "");
    }
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_SaveDataIntoFile((t / "no/such").c_str(), big, 4), -1);
        EXPECT_TRUE(contains(cap.take(), "open(" + t.path() + "/no/such) fail : No such file or directory\n"));
    }
    EXPECT_EQ(COM_SaveDataIntoFile("/dev/full", big, 4), -1);
}

TEST(DataFiles, SaveGoesOnAfterAWriteCutShort)
{
    // A FIFO is written in place. Its pipe holds one page; each time the
    // saving thread sleeps in the write with part of it done, a handled
    // signal ends that write short, and some bytes are read to make room.
    // Every byte must arrive once, in order.
    TempDir t;
    std::string fifo = t / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    dvr::UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.valid());
    const int room = ::fcntl(reader.get(), F_SETPIPE_SZ, 4096);
    ASSERT_GT(room, 0);
    ASSERT_EQ(::fcntl(reader.get(), F_SETFL, 0), 0);
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) {};
    sa.sa_flags = SA_RESTART;
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    const std::string data = binary_content(16 * static_cast<size_t>(room) + 123);
    std::atomic<int> saver{0};
    int result = -2;
    std::thread th([&] {
        saver = static_cast<int>(gettid());
        result = COM_SaveDataIntoFile(fifo.c_str(), data.data(), static_cast<int>(data.size()));
    });
    while (saver.load() == 0)
        std::this_thread::yield();
    std::string got;
    char block[1000];
    for (int round = 0; round < 8 && dvrtest::wait_thread_sleeping(saver, "pipe_write"); ++round) {
        ::pthread_kill(th.native_handle(), SIGUSR1);
        ssize_t n = ::read(reader.get(), block, sizeof block);
        ASSERT_GT(n, 0);
        got.append(block, static_cast<size_t>(n));
    }
    for (ssize_t n; (n = ::read(reader.get(), block, sizeof block)) > 0;)
        got.append(block, static_cast<size_t>(n));
    th.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "first difference at byte "
                             << std::mismatch(got.begin(), got.end(), data.begin()).first - got.begin();
}

TEST(FileContent, ReadsTheFirstLine)
{
    TempDir t;
    struct Case {
        bool file;
        std::string content;
        const char *initial;
        int size;
        const char *want;
        int result;
    } cases[] = {
        {true, "Model-X\r\n", "", 32, "Model-X", 0},
        {true, "Model-X\n", "", 4, "Mod", 0},
        {true, "abc", "pre-", 32, "pre-abc", 0},
        {true, std::string("abc\0def", 7), "", 32, "abc", 0},
        {false, "", "", 32, "unknown", -1},
        {false, "", "", 4, "unk", -1},
        {true, "", "old", 32, "unknown", -1},
    };
    for (const Case &c : cases) {
        std::string path = t / "file";
        ::unlink(path.c_str());
        if (c.file)
            write_file(path, c.content);
        char buf[64];
        std::memset(buf, 'Z', sizeof buf);
        std::snprintf(buf, sizeof buf, "%s", c.initial);
        CaptureStdout cap;
        EXPECT_EQ(COM_GetFileContent(path.c_str(), buf, c.size), c.result) << c.want;
        EXPECT_STREQ(buf, c.want);
        EXPECT_EQ(cap.take(), "") << c.want; // a missing file is not reported
    }
    // Later blocks add their leading text, within the buffer.
    write_file(t / "file", std::string(256, 'a') + "bc\nzz");
    char buf[512] = {};
    EXPECT_EQ(COM_GetFileContent((t / "file").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), std::string(256, 'a') + "bc");

    CaptureStdout cap;
    char small[8] = "";
    EXPECT_EQ(COM_GetFileContent(nullptr, small, sizeof small), -1);
    EXPECT_STREQ(small, "unknown");
    EXPECT_EQ(COM_GetFileContent("/x", small, 0), -1);
    EXPECT_TRUE(contains(cap.take(), "input error : (pFileName, pBuf, len) = ("));
}

// Only the first line is read, and the reading stops there or when the
// buffer is full: later lines, endless files and FIFOs without a writer
// end the call. Links are followed (the path is the caller's).
TEST(FileContent, ReadsOnlyTheFirstLineOfAnyFile)
{
    TempDir t;
    // The second line starts in the second 256-byte block.
    write_file(t / "two-blocks", "ab\n" + std::string(253, 'x') + "cd\nef");
    write_file(t / "long-line", std::string(1 << 20, 'a'));
    ASSERT_EQ(::symlink((t / "two-blocks").c_str(), (t / "link").c_str()), 0);
    ASSERT_EQ(::symlink((t / "none").c_str(), (t / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", (t / "zero").c_str()), 0);
    ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((t / "endless").c_str(), 0600), 0);
    struct Case {
        const char *file;
        int result;
        std::string want;
    } cases[] = {
        {"two-blocks", 0, "ab"},
        {"link", 0, "ab"},
        {"long-line", 0, std::string(31, 'a')},
        {"dangling", -1, "unknown"},
        {"zero", 0, ""},
        {"fifo", -1, "unknown"},
        {"endless", 0, std::string(31, 'a')},
    };
    for (const Case &c : cases) {
        std::string path = t / c.file;
        auto got = dvrtest::call_in_child(
            [&] {
                int writer = -1;
                if (std::string(c.file) == "endless") {
                    // A writer that holds the FIFO open with 64 KiB queued
                    // and no line end: a reader that keeps reading blocks.
                    writer = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                    std::string a(4096, 'a');
                    while (::write(writer, a.data(), a.size()) > 0) {
                    }
                }
                char buf[32] = "";
                CaptureStdout cap;
                int rc = COM_GetFileContent(path.c_str(), buf, sizeof buf);
                std::string out = cap.take();
                if (writer >= 0)
                    ::close(writer);
                return std::to_string(rc) + "|" + buf + "|" + out;
            },
            30);
        ASSERT_TRUE(got.has_value()) << c.file << ": the read did not end";
        EXPECT_EQ(*got, std::to_string(c.result) + "|" + c.want + "|") << c.file;
    }
}

TEST(FileContent, ReadIsCancellable)
{
    // A reader blocked on a pipe that never ends is cancelled cleanly.
    TempDir t;
    std::string fifo = t / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "abc", 3), 3);
    struct Arg {
        std::string path;
        char buf[32];
    } arg{fifo, ""};
    pthread_t th;
    auto body = +[](void *p) -> void * {
        auto *a = static_cast<Arg *>(p);
        COM_GetFileContent(a->path.c_str(), a->buf, sizeof a->buf);
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&th, nullptr, body, &arg), 0);
    // Once the first block is taken, the next cancellation point is the
    // following read.
    int left = 3;
    for (int i = 0; i < 5000 && left > 0; ++i) {
        ::usleep(1000);
        ASSERT_EQ(::ioctl(writer, FIONREAD, &left), 0);
    }
    EXPECT_EQ(left, 0);
    ASSERT_EQ(pthread_cancel(th), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(th, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);
    ::close(writer);
}

TEST(FileContent, WritesTextWithoutLineEnd)
{
    TempDir t;
    EXPECT_EQ(COM_SetFileContent((t / "f").c_str(), "hello"), 0);
    EXPECT_EQ(read_file(t / "f"), "hello");
    EXPECT_EQ(COM_SetFileContent((t / "f").c_str(), ""), -1);
    EXPECT_TRUE(exists(t / "f"));
    EXPECT_EQ(read_file(t / "f"), "");
    CaptureStdout cap;
    EXPECT_EQ(COM_SetFileContent((t / "no/f").c_str(), "x"), -1);
    EXPECT_EQ(COM_SetFileContent(nullptr, "x"), -1);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "open(" + t.path() + "/no/f) error : No such file or directory\n"));
    EXPECT_TRUE(contains(out, "input error : (pFileName, pBuf) = ("));
}

TEST(SaveID, WritesTheIdentityFile)
{
    TempDir t;
    EXPECT_EQ(COM_SaveID(t.path().c_str(), "WD-123 456"), 0);
    EXPECT_EQ(read_file(t / "ID"), "WD-123 456");
    EXPECT_EQ(COM_SaveID(t.path().c_str(), ""), -1);
    CaptureStdout cap;
    EXPECT_EQ(COM_SaveID((t / "missing").c_str(), "x"), -1);
    EXPECT_TRUE(contains(cap.take(), "fopen(" + t.path() + "/missing/ID) error : No such file or directory\n"));

    // Directory names up to 76 characters fit the 80-byte path.
    std::string d76 = t.path() + "/" + std::string(76 - t.path().size() - 1, 'd');
    ASSERT_EQ(d76.size(), 76u);
    make_dirs(d76);
    EXPECT_EQ(COM_SaveID(d76.c_str(), "id"), 0);
    std::string d77 = d76 + "e";
    make_dirs(d77);
    CaptureStdout cap2;
    EXPECT_EQ(COM_SaveID(d77.c_str(), "id"), -1);
    EXPECT_TRUE(contains(cap2.take(), "File name too long"));
    EXPECT_FALSE(exists(d77 + "/ID"));
}

// ---------------------------------------------------------------------
// COM_CheckDevFile: device nodes and fifos
// ---------------------------------------------------------------------

TEST(CheckDevFile, MakesMissingNodesOnly)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "making device nodes needs root";
    TempDir t;
    std::string node = t / "ttyUSB1";
    dev_t dev = makedev(188, 1);
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_CheckDevFile(node.c_str(), S_IFCHR | 0664, dev), 0);
        char want[160];
        std::snprintf(want, sizeof want, "mknod(%s, 0x%08X, 0x%08X) success!\n", node.c_str(),
                      static_cast<unsigned>(S_IFCHR | 0664), static_cast<unsigned>(dev));
        EXPECT_TRUE(contains(cap.take(), want));
    }
    struct stat st;
    ASSERT_EQ(::lstat(node.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 188u);
    EXPECT_EQ(minor(st.st_rdev), 1u);
    {
        CaptureStdout cap;
        EXPECT_EQ(COM_CheckDevFile(node.c_str(), S_IFCHR | 0664, makedev(188, 2)), 0);
        EXPECT_EQ(cap.take(), "");
    }
    EXPECT_EQ(COM_CheckDevFile((t / "fifo").c_str(), S_IFIFO | 0600, 0), 0);
    ASSERT_EQ(::lstat((t / "fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Whatever exists is accepted and left as it is.
    write_file(t / "plain", "x");
    EXPECT_EQ(COM_CheckDevFile((t / "plain").c_str(), S_IFCHR | 0664, dev), 0);
    ASSERT_EQ(::lstat((t / "plain").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    CaptureStdout cap;
    EXPECT_EQ(COM_CheckDevFile((t / "no/node").c_str(), S_IFCHR | 0664, dev), -1);
    EXPECT_EQ(COM_CheckDevFile((t / "plain/node").c_str(), S_IFCHR | 0664, dev), -1);
    std::string out = cap.take();
    EXPECT_TRUE(contains(out, "mknod(" + t.path() + "/no/node) fail : No such file or directory\n")) << out;
    EXPECT_TRUE(contains(out, "stat(" + t.path() + "/plain/node) fail : Not a directory\n")) << out;
}

} // namespace

// ---------------------------------------------------------------------
// What a replacement keeps and when it syncs, seen from outside
// ---------------------------------------------------------------------

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The writers that replace a file through a new one, each giving new
// contents of its own to a target holding kOldText.
struct Replacement {
    const char *name;
    std::function<int(const std::string &target)> call;
    std::string result; // the target's contents after a success
};

std::vector<Replacement> replacements()
{
    return {
        {"COM_SaveDataIntoFile",
         [](const std::string &target) { return COM_SaveDataIntoFile(target.c_str(), "saved block", 11); },
         "saved block"},
        {"COM_SetFileContent", [](const std::string &target) { return COM_SetFileContent(target.c_str(), "set text"); },
         "set text"},
        {"COM_ReplaceItemsInFile",
         [](const std::string &target) {
             COM_REPLACE_ITEM it{};
             std::snprintf(it.szKey, sizeof it.szKey, "line two");
             std::snprintf(it.szReplace, sizeof it.szReplace, "line 2");
             it.nKeyLen = 8;
             COM_REPLACE_LIST list{1, 0, 0, 0, &it};
             return COM_ReplaceItemsInFile(target.c_str(), &list);
         },
         "line one\nline 2\nlast line without end"},
    };
}

} // namespace

TEST(FileReplacement, EveryModeBitOwnerAndGroupSurvive)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "set-user-ID bits on files of another owner need root";
    TempDir t;
    // Every permission bit, the set-ID bits and the sticky bit, alone and
    // together, on a file owned by another user and group.
    const mode_t modes[] = {07777, 04755, 02750, 01604, 06711, 0400, 0};
    for (const Replacement &w : replacements()) {
        for (mode_t mode : modes) {
            SCOPED_TRACE(std::string(w.name) + " mode " + std::to_string(mode));
            const std::string target = t / "target";
            write_file(target, kOldText);
            ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chmod(target.c_str(), mode), 0);
            const mode_t old_mask = ::umask(0777);
            CaptureStdout cap;
            const int rc = w.call(target);
            const std::string out = cap.take();
            ::umask(old_mask);
            ASSERT_NE(rc, -1) << out;
            EXPECT_EQ(read_file(target), w.result);
            struct stat st;
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode, S_IFREG | mode);
            EXPECT_EQ(st.st_uid, 65534u);
            EXPECT_EQ(st.st_gid, 65534u);
            ASSERT_EQ(::unlink(target.c_str()), 0);
        }
    }
}

// The new file must reach the disk before its name replaces the target's:
// with every fsync failing (the fault-injection library's preload, in a
// child running this same case), each writer fails and the target keeps
// its old contents, mode and no file beside it. A writer that renamed
// first, or did not look at the sync's result, would leave the new text.
TEST(FileReplacement, NewFileIsSyncedBeforeItReplacesTheTarget)
{
    if (const char *target = std::getenv("DVRTEST_SYNC_CHILD_TARGET")) {
        // The child: every writer once; the exit status has a bit for each
        // writer that did not fail.
        int code = 0, bit = 1;
        for (const Replacement &w : replacements()) {
            if (w.call(target) != -1)
                code |= bit;
            bit <<= 1;
        }
        std::fflush(stdout);
        ::_exit(code);
    }
    if (dvrtest::emulated())
        GTEST_SKIP() << "the fault-injection preload and strace see the emulator's calls, not the target's";
    DVRTEST_SKIP_IN_BOARD_GUEST("the fault-injection preload libraries and strace");
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::string filter = "--gtest_filter=FileReplacement.NewFileIsSyncedBeforeItReplacesTheTarget";

    TempDir t;
    const std::string target = t / "target";
    write_file(target, kOldText);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    // The preload replaces the allocator's entry points as well, which a
    // sanitizer's run-time must own: there the strace part below alone
    // sees the order.
    if (!kSanitized) {
        const char *preload = "/usr/lib/fiu/fiu_posix_preload.so";
        const char *run_preload = "/usr/lib/fiu/fiu_run_preload.so";
        if (::access(preload, R_OK) != 0 || ::access(run_preload, R_OK) != 0)
            DVRTEST_FIXTURE_MISSING() << "libfiu0's preload libraries are not installed";
        const std::vector<std::string> env = {
            "DVRTEST_SYNC_CHILD_TARGET=" + target,
            std::string("LD_PRELOAD=") + run_preload + " " + preload,
            "FIU_ENABLE=enable name=posix/io/sync/fsync",
        };
        auto r = dvrtest::run({self, filter}, env);
        EXPECT_EQ(r.status, 0) << "writers (bits in order) that did not fail:\n" << r.out << r.err;
        // Each failure names the sync of the new file.
        for (const Replacement &w : replacements())
            EXPECT_TRUE(contains(r.out, std::string(w.name) + "(): fsync(")) << w.name << "\n" << r.out;
        EXPECT_EQ(read_file(target), kOldText);
        struct stat st;
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(entries(t.path()), std::vector<std::string>{"target"});
    }

    // The same program without the fault, its calls seen by strace: every
    // writer succeeds (so the failures above came from the sync alone), and
    // each syncs its new file, renames it, then syncs the directory that
    // holds the new name.
    if (::access("/usr/bin/strace", X_OK) != 0)
        DVRTEST_FIXTURE_MISSING() << "strace is not installed";
    TempDir log;
    auto ok = dvrtest::run({"/usr/bin/strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
                            "-o", log / "calls", self, filter},
                           {"DVRTEST_SYNC_CHILD_TARGET=" + target});
    EXPECT_EQ(ok.status, 7) << ok.out << ok.err;
    EXPECT_NE(read_file(target), kOldText);
    std::string calls;
    const std::string trace = read_file(log / "calls");
    for (size_t at = 0; at < trace.size();) {
        size_t end = trace.find('\n', at);
        if (end == std::string::npos)
            end = trace.size();
        const std::string line = trace.substr(at, end - at);
        at = end + 1;
        const size_t name = line.find_first_not_of("0123456789 ");
        const size_t paren = line.find('(');
        if (name != std::string::npos && paren != std::string::npos && paren > name)
            calls += line.substr(name, paren - name) + " ";
    }
    EXPECT_EQ(calls, "fsync rename fsync fsync rename fsync fsync rename fsync ") << read_file(log / "calls");
}

// A writer killed while its new file holds 1 MiB or more leaves that file
// behind; the next writer with shorter contents must not build on it: the
// target then holds exactly the short contents, and nothing else remains.
TEST(FileReplacement, WhatAKilledWriterLeftIsNotReused)
{
    TempDir t;
    const std::string target = t / "target";
    write_file(target, kOldText);
    const std::string big(4 << 20, 'B');
    // The size of the largest file beside the target.
    auto left_behind = [&] {
        off_t largest = -1;
        for (const std::string &name : entries(t.path())) {
            struct stat st;
            if (name != "target" && ::stat((t / name).c_str(), &st) == 0)
                largest = std::max(largest, st.st_size);
        }
        return largest;
    };
    // Killed while its new file holds 1 MiB or more (tried again in the
    // rare case that the kill came just after a rename).
    for (int attempt = 0; attempt < 10 && left_behind() < (1 << 20); ++attempt) {
        std::fflush(stdout);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            for (;;)
                COM_SaveDataIntoFile(target.c_str(), big.data(), static_cast<int>(big.size()));
        }
        for (int i = 0; i < 60000 && left_behind() < (1 << 20); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    ASSERT_GE(left_behind(), 1 << 20) << "the killed writer left no new file of 1 MiB";

    CaptureStdout cap;
    EXPECT_EQ(COM_SaveDataIntoFile(target.c_str(), "short", 5), 0);
    cap.take();
    EXPECT_EQ(read_file(target), "short");
    EXPECT_EQ(entries(t.path()), std::vector<std::string>{"target"});
}

// A line that cannot be read (here: no memory for it) is no end of the
// file: the replacement fails and the target keeps every line, instead of
// being cut off before that line.
TEST(FileReplacement, UnreadableLineIsNoEndOfFile)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(DVRPLAT_CROSSCOMPILING)
    GTEST_SKIP() << "an address-space limit needs a plain native build: the sanitizers and the emulator reserve "
                    "far more than they use";
#endif
    TempDir t;
    const std::string target = t / "target";
    const std::string text = "first=1\n" + std::string(20 << 20, 'x') + "\nlast=2\n";
    write_file(target, text);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        // 8 MiB more address space than the child has now: the long line
        // cannot be held.
        long pages = 0;
        if (FILE *f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(f);
        }
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (8u << 20);
        rlimit rl{limit, limit};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &rl) != 0)
            ::_exit(2);
        COM_REPLACE_ITEM it{};
        std::snprintf(it.szKey, sizeof it.szKey, "first=");
        std::snprintf(it.szReplace, sizeof it.szReplace, "first=9");
        it.nKeyLen = 6;
        COM_REPLACE_LIST list{1, 0, 0, 0, &it};
        // -1, or the number of items that matched (one).
        const int rc = COM_ReplaceItemsInFile(target.c_str(), &list);
        ::_exit(rc == -1 ? 0 : rc == 1 ? 3 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    // A writer that can hold the long line (or never needs to) succeeds with
    // every line kept; one that cannot fails and leaves the target as it was.
    // Neither stops at the line it could not read.
    const int outcome = WEXITSTATUS(status);
    ASSERT_TRUE(outcome == 0 || outcome == 3) << "result neither -1 nor 1";
    const std::string now = read_file(target);
    if (outcome == 0)
        EXPECT_TRUE(now == text) << "a failed replacement changed the target (" << now.size() << " bytes)";
    else
        EXPECT_TRUE(now == "first=9\n" + std::string(20 << 20, 'x') + "\nlast=2\n")
            << "the replacement lost lines (" << now.size() << " bytes)";
    EXPECT_EQ(entries(t.path()), std::vector<std::string>{"target"});
}

TEST(FileContent, NulEndsTheFirstLineAsCrAndLfDo)
{
    TempDir t;
    for (const std::string &text : {std::string("abc\0def\n", 8), std::string("abc\rdef\n"), std::string("abc\ndef")}) {
        write_file(t / "f", text);
        // Nothing after the line's end is copied: the bytes past its
        // terminator keep what they held.
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        buf[0] = '\0';
        EXPECT_EQ(COM_GetFileContent((t / "f").c_str(), buf, sizeof buf), 0);
        EXPECT_EQ(std::string(buf, 8), std::string("abc\0####", 8)) << static_cast<int>(text[3]);
    }
}
