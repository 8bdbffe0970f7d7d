// labels: root net realnfs
// NFS against the kernel's own server and client: nfsd with the real
// rpcbind, rpc.mountd and exportfs exporting a directory over loopback,
// mounted through the real "/bin/mount" and mount.nfs by Dev_NfsMount and
// unmounted by Dev_uMount, whose unmount notice the real rpc.mountd must
// see (its record of mounts, /var/lib/nfs/rmtab). Everything runs in a
// network and mount namespace of this program's own, so the port mapper's
// port and the server's state are its alone. Skipped with the reason on a
// kernel without the NFS server and client (the kernel stage of the test
// command runs it in a virtual machine that has both).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "DEV.h"
#include "dev_machine.h"
#include "test_support.h"

using dvrtest::CaptureStdout;

namespace {

bool executable(const char *path)
{
    return ::access(path, X_OK) == 0;
}

// A daemon run in the foreground as a child, ended at the test's end.
struct Daemon {
    pid_t pid = -1;
    void start(const std::vector<std::string> &argv)
    {
        pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            std::vector<char *> args;
            for (const auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Daemon()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

class RealNfs : public ::testing::Test {
protected:
    static inline std::string skip_;
    static inline dvrtest::TempDir *dir_ = nullptr;
    static inline Daemon *rpcbind_ = nullptr, *mountd_ = nullptr;

    static std::string setup()
    {
        if (!dvrtest::is_root())
            return "needs root";
        for (const char *fs : {"nfs", "nfsd"})
            if (!dvrtest::kernel_has_fs(fs))
                return std::string("this kernel lists no ") + fs +
                       " in /proc/filesystems (the kernel stage of the test command runs this program in a "
                       "virtual machine that has it)";
        for (const char *tool : {"/usr/sbin/rpcbind", "/usr/sbin/rpc.mountd", "/usr/sbin/rpc.nfsd",
                                 "/usr/sbin/exportfs", "/sbin/mount.nfs"})
            if (!executable(tool))
                return std::string(tool) + " is not installed (nfs-kernel-server, nfs-common, rpcbind)";
        // The namespaces belong to this thread; the program has no other.
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return std::string("unshare: ") + std::strerror(errno);
        dir_ = new dvrtest::TempDir;
        const std::string d = dir_->path();
        auto r = dvrtest::shell("set -e\n"
                                "mount --make-rprivate /\n"
                                "ip link set lo up\n"
                                "mount -t tmpfs nfsstate /var/lib/nfs\n"
                                "mount -t tmpfs rpcstate /run\n"
                                "mkdir -p /run/rpcbind /var/lib/nfs/rpc_pipefs /var/lib/nfs/v4recovery\n"
                                "touch /var/lib/nfs/etab /var/lib/nfs/rmtab\n"
                                "mount -t nfsd nfsd /proc/fs/nfsd\n"
                                "mkdir -p " + d + "/export " + d + "/mnt\n"
                                "echo 'from the server' >" + d + "/export/served.txt\n"
                                "exportfs -o rw,no_root_squash,insecure,no_subtree_check,sync 127.0.0.1:" + d +
                                "/export 2>&1\n");
        if (r.status != 0)
            return "server setup failed: " + r.out + r.err;
        rpcbind_ = new Daemon;
        rpcbind_->start({"/usr/sbin/rpcbind", "-f"});
        // rpc.mountd registers with the port mapper: wait for it to answer.
        for (int i = 0; i < 100 && dvrtest::shell("rpcinfo -p 127.0.0.1 >/dev/null 2>&1").status != 0; ++i)
            ::usleep(100000);
        mountd_ = new Daemon;
        mountd_->start({"/usr/sbin/rpc.mountd", "-F", "--no-nfs-version", "4"});
        r = dvrtest::shell("/usr/sbin/rpc.nfsd --no-nfs-version 4 2 2>&1");
        if (r.status != 0)
            return "rpc.nfsd failed: " + r.out;
        for (int i = 0; i < 100 && dvrtest::shell("rpcinfo -p 127.0.0.1 | grep -q mountd").status != 0; ++i)
            ::usleep(100000);
        return "";
    }

    static void SetUpTestSuite() { skip_ = setup(); }
    static void TearDownTestSuite()
    {
        if (dir_) {
            dvrtest::unmount_under(dir_->path());
            dvrtest::shell("/usr/sbin/rpc.nfsd 0; exportfs -ua");
        }
        delete mountd_;
        delete rpcbind_;
        delete dir_;
        mountd_ = rpcbind_ = nullptr;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        DVRTEST_SKIP_IN_BOARD_GUEST("rpcbind and the NFS server");
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
    }
    void TearDown() override { gDevFS[8].options = kOptions; }

    static inline const char *const kOptions = gDevFS[8].options;
    std::string src() const { return "127.0.0.1:" + dir_->path() + "/export"; }
    std::string mnt() const { return dir_->path() + "/mnt"; }
};

// The mount options the library gives ("udp" among them) on a kernel
// whose NFS client has no UDP: the real mount program refuses them.
TEST_F(RealNfs, LibraryOptionsNeedAnNfsClientWithUdp)
{
    CaptureStdout cap;
    const int result = Dev_NfsMount(src().c_str(), mnt().c_str());
    std::string out = cap.take();
    DEV_MTAB_ENTRY e{};
    if (result == 0) {
        EXPECT_EQ(Dev_GetEntryViaMtab(mnt().c_str(), &e), 0);
        EXPECT_NE(std::string(e.opts).find("proto=udp"), std::string::npos) << e.opts;
        EXPECT_EQ(Dev_uMount(mnt().c_str()), 0);
    } else {
        std::printf("known difference: Dev_NfsMount's options (%s) ask for UDP, which this kernel's NFS "
                    "client does not offer (CONFIG_NFS_DISABLE_UDP_SUPPORT); the mount is refused\n",
                    kOptions);
        EXPECT_NE(Dev_GetEntryViaMtab(mnt().c_str(), &e), 0);
    }
}

// With TCP: mounted through the real mount program, read and written
// through the mount, unmounted by Dev_uMount, whose notice removes the
// mount from rpc.mountd's record.
TEST_F(RealNfs, MountReadWriteUnmountAndTheServersRecord)
{
    gDevFS[8].options = "rw,rsize=8192,wsize=8192,soft,tcp,nolock,vers=3";
    {
        CaptureStdout cap;
        const int result = Dev_NfsMount(src().c_str(), mnt().c_str());
        std::string out = cap.take();
        ASSERT_EQ(result, 0) << out;
    }
    DEV_MTAB_ENTRY e{};
    ASSERT_EQ(Dev_GetEntryViaMtab(mnt().c_str(), &e), 0);
    EXPECT_EQ(std::string(e.type), "nfs");
    EXPECT_EQ(std::string(e.dev), src());
    EXPECT_NE(std::string(e.opts).find("addr=127.0.0.1"), std::string::npos) << e.opts;

    EXPECT_EQ(dvrtest::read_file(mnt() + "/served.txt"), "from the server\n");
    dvrtest::write_file(mnt() + "/written.txt", "from the client\n");
    EXPECT_EQ(dvrtest::read_file(dir_->path() + "/export/written.txt"), "from the client\n");

    const std::string record = dvrtest::read_file("/var/lib/nfs/rmtab");
    EXPECT_NE(record.find("127.0.0.1:" + dir_->path() + "/export:"), std::string::npos) << record;

    CaptureStdout cap;
    EXPECT_EQ(Dev_uMount(mnt().c_str()), 0);
    std::string out = cap.take();
    EXPECT_NE(Dev_GetEntryViaMtab(mnt().c_str(), &e), 0);
    // rpc.mountd drops the line (or counts it down to zero) on UMNT.
    const std::string after = dvrtest::read_file("/var/lib/nfs/rmtab");
    EXPECT_EQ(after.find(":" + dir_->path() + "/export:0x00000001"), std::string::npos) << after << out;
}

} // namespace
