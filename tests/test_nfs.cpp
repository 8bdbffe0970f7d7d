// labels: root net
// NFS: the mount command line through a stand-in "/bin/mount" under the
// board root, and the unmount notice to a MOUNT service (program 100005,
// version 1) run by the test on loopback, reached by port or through the
// port mapper.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "COMMON.h"
#include "DEV.h"
#include "fixtures.h"
#include "test_support.h"

#ifdef DVRPLAT_HAVE_TIRPC
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#endif

using dvrtest::CaptureStdout;

namespace {

class NfsBoard : public ::testing::Test {
protected:
    dvrtest::TempDir root;
    dvrtest::ScopedEnv env{"DVRPLAT_ROOT", root.path()};

    NfsBoard()
    {
        dvrtest::make_dirs(root / "proc");
        dvrtest::make_dirs(root / "var");
        reset_fs_table();
    }
    ~NfsBoard() override { reset_fs_table(); }
    static void reset_fs_table()
    {
        for (auto &row : gDevFS)
            row.available = 1;
        gDevFsInit = 0;
    }
};

class NfsMount : public NfsBoard {
protected:
    std::string args_file = root / "mount.args";

    NfsMount()
    {
        dvrtest::write_file(root / "proc/filesystems", "nodev\tnfs\n\text2\n");
        dvrtest::make_dirs(root / "bin");
        // Records its arguments one a line and exits with 3.
        dvrtest::write_file(root / "bin/mount",
                            "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + args_file + "\"\nexit 3\n");
        ::chmod((root / "bin/mount").c_str(), 0755);
    }
    std::string args()
    {
        std::string a = dvrtest::read_file(args_file);
        ::unlink(args_file.c_str());
        return a;
    }
};

TEST_F(NfsMount, MountProgramGetsTypeOptionsSourceAndTarget)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("the mount program");
    const std::string expected = "-t\nnfs\n-o\nrw,rsize=8192,wsize=8192,soft,udp,nolock\n"
                                 "127.0.0.1:/export/video\n/mnt/video\n";
    CaptureStdout cap;
    // Automatic detection and the nfs row both run the mount program; its
    // wait status is the result.
    EXPECT_EQ(Dev_Mount("127.0.0.1:/export/video", "/mnt/video", DEV_FS_AUTO), 3 << 8);
    EXPECT_EQ(args(), expected);
    EXPECT_EQ(Dev_Mount("127.0.0.1:/export/video", "/mnt/video", 8), 3 << 8);
    EXPECT_EQ(args(), expected);
    EXPECT_EQ(Dev_NfsMount("127.0.0.1:/export/video", "/mnt/video"), 3 << 8);
    EXPECT_EQ(args(), expected);
    // Another row mounts it as that type, which fails without the program.
    EXPECT_EQ(Dev_Mount("127.0.0.1:/export/video", "/mnt/video", 2), -1);
    EXPECT_EQ(args(), "");
    // The nfs row with a local source is refused.
    EXPECT_EQ(Dev_Mount("/dev/sda", "/mnt/video", 8), -1);
    EXPECT_EQ(args(), "");
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_Mount(): Try mount pSrc(/dev/sda) with wrong fs type(NFS)\n"), std::string::npos) << out;
}

TEST_F(NfsMount, CommandLineIsBoundedTo255Characters)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("the mount program");
    // "/bin/mount -t nfs -o <40 characters> " is 62 characters; the source,
    // a space and the target may take 193 more.
    const std::string src = "10.0.0.1:/" + std::string(90, 's');
    const std::string fits = "/" + std::string(192 - src.size() - 1, 't');
    ASSERT_EQ(62 + src.size() + 1 + fits.size(), 255u);
    CaptureStdout cap;
    EXPECT_EQ(Dev_NfsMount(src.c_str(), fits.c_str()), 3 << 8);
    EXPECT_NE(args().find(fits), std::string::npos);
    const std::string too_long = fits + "t";
    EXPECT_EQ(Dev_NfsMount(src.c_str(), too_long.c_str()), -1);
    EXPECT_EQ(args(), "");
    EXPECT_NE(cap.take().find("Dev_NfsMount(): command line longer than 255 characters"), std::string::npos);
}

TEST_F(NfsMount, HostileArgumentsRunNothing)
{
    DVRTEST_SKIP_IN_BOARD_GUEST("the mount program");
    const char *const good_src = "10.0.0.1:/export", *const good_dst = "/mnt/video";
    struct Case {
        const char *src, *dst, *options;
    } cases[] = {
        {"10.0.0.1:/export -o remount,exec,suid,dev /", good_dst, nullptr},
        {"-oremount,exec:/x", good_dst, nullptr},
        {"10.0.0.1:/ex\tport", good_dst, nullptr},
        {"", good_dst, nullptr},
        {good_src, "/mnt/a b", nullptr},
        {good_src, "-v", nullptr},
        {good_src, "", nullptr},
        {good_src, good_dst, "rw -o exec"},
        {good_src, good_dst, "-x"},
        {good_src, good_dst, ""},
    };
    const char *saved = gDevFS[8].options;
    for (const Case &c : cases) {
        if (c.options)
            gDevFS[8].options = c.options;
        CaptureStdout cap;
        EXPECT_EQ(Dev_NfsMount(c.src, c.dst), -1) << c.src << " " << c.dst;
        EXPECT_EQ(Dev_Mount(c.src, c.dst, DEV_FS_AUTO), -1) << c.src << " " << c.dst;
        std::string out = cap.take();
        gDevFS[8].options = saved;
        EXPECT_EQ(args(), "") << "the mount program ran for " << c.src << " " << c.dst;
        EXPECT_NE(out.find("Dev_NfsMount(): refused argument ["), std::string::npos) << out;
    }
    // The same call with sound arguments does run it.
    CaptureStdout cap;
    EXPECT_EQ(Dev_NfsMount(good_src, good_dst), 3 << 8);
    EXPECT_NE(args(), "");
}

#ifdef DVRPLAT_HAVE_TIRPC

// ---------------------------------------------------------------------
// A MOUNT service in a child process. Every UMNT call is appended to a
// file as "<udp|tcp> <credential flavour> <directory>"; the directory
// "/denied" is answered with a system error.
// ---------------------------------------------------------------------

constexpr unsigned long kMountProg = 100005;
constexpr unsigned long kMountVers = 1;

std::string gRecord;
SVCXPRT *gUdp = nullptr;

bool_t xdr_dir_arg(XDR *x, char **dir)
{
    return xdr_string(x, dir, 1024);
}

xdrproc_t as_xdrproc(bool_t (*f)(XDR *, char **))
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(f));
}

void mount_dispatch(struct svc_req *req, SVCXPRT *xprt)
{
    xdrproc_t void_proc = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(&xdr_void));
    if (req->rq_proc == 0) {
        svc_sendreply(xprt, void_proc, nullptr);
        return;
    }
    if (req->rq_proc != 3) {
        svcerr_noproc(xprt);
        return;
    }
    char *dir = nullptr;
    if (!svc_getargs(xprt, as_xdrproc(xdr_dir_arg), reinterpret_cast<caddr_t>(&dir))) {
        svcerr_decode(xprt);
        return;
    }
    std::string line = std::string(xprt == gUdp ? "udp " : "tcp ") +
                       std::to_string(req->rq_cred.oa_flavor) + " " + dir + "\n";
    int fd = ::open(gRecord.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ssize_t w = ::write(fd, line.data(), line.size());
    (void)w;
    ::close(fd);
    bool deny = std::strcmp(dir, "/denied") == 0;
    svc_freeargs(xprt, as_xdrproc(xdr_dir_arg), reinterpret_cast<caddr_t>(&dir));
    if (deny)
        svcerr_systemerr(xprt);
    else
        svc_sendreply(xprt, void_proc, nullptr);
}

int bound_socket(int type)
{
    int s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    return s;
}

unsigned port_of(int s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

bool portmapper_answers()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The port mapper's own registration.
    return pmap_getport(&a, 100000, 2, IPPROTO_TCP) == 111;
}

class MountService {
public:
    unsigned udp_port = 0, tcp_port = 0;

    MountService(const std::string &record, bool register_with_portmapper)
        : registered_(register_with_portmapper)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        if (registered_)
            pmap_unset(kMountProg, kMountVers);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            gRecord = record;
            int us = bound_socket(SOCK_DGRAM), ts = bound_socket(SOCK_STREAM);
            ::listen(ts, 16);
            gUdp = svcudp_create(us);
            SVCXPRT *tcp = svctcp_create(ts, 0, 0);
            bool ok = gUdp && tcp &&
                      svc_register(gUdp, kMountProg, kMountVers, mount_dispatch,
                                   register_with_portmapper ? IPPROTO_UDP : 0) &&
                      svc_register(tcp, kMountProg, kMountVers, mount_dispatch,
                                   register_with_portmapper ? IPPROTO_TCP : 0);
            unsigned ports[2] = {ok ? port_of(us) : 0, ok ? port_of(ts) : 0};
            ssize_t w = ::write(fds[1], ports, sizeof ports);
            (void)w;
            ::close(fds[1]);
            if (ok)
                svc_run();
            ::_exit(0);
        }
        ::close(fds[1]);
        unsigned ports[2] = {0, 0};
        ssize_t n = ::read(fds[0], ports, sizeof ports);
        ::close(fds[0]);
        if (n != sizeof ports || ports[0] == 0)
            throw std::runtime_error("mount service did not start");
        udp_port = ports[0];
        tcp_port = ports[1];
    }
    ~MountService()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (registered_)
            pmap_unset(kMountProg, kMountVers);
    }
    MountService(const MountService &) = delete;
    MountService &operator=(const MountService &) = delete;

private:
    pid_t pid_ = -1;
    bool registered_;
};

// The port mapper: the system's when it runs, else one started here for
// the test (rpcbind found on PATH) and stopped after it.
class PortMapper {
public:
    PortMapper()
    {
        if (portmapper_answers())
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("rpcbind", "rpcbind", "-f", "-w", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && !portmapper_answers(); ++i) {
            int status = 0;
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why_ = WIFEXITED(status) && WEXITSTATUS(status) == 127
                           ? "rpcbind is not on PATH"
                           : "rpcbind ended at start-up with status " + std::to_string(status);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!portmapper_answers())
            why_ = "rpcbind did not answer on 127.0.0.1 port 111 within 5 s";
    }
    ~PortMapper()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PortMapper(const PortMapper &) = delete;
    PortMapper &operator=(const PortMapper &) = delete;
    bool running() const { return portmapper_answers(); }
    // Why it is not running.
    const std::string &why() const { return why_; }

private:
    pid_t pid_ = -1;
    std::string why_;
};

class UmountNotice : public NfsBoard {
protected:
    std::string record = root / "umnt.log";
    MountService service{record, false};

    std::string calls()
    {
        std::string r = dvrtest::read_file(record);
        ::unlink(record.c_str());
        return r;
    }
    std::string opts(const std::string &before, unsigned port) { return before + "mountport=" + std::to_string(port); }
};

TEST_F(UmountNotice, ProtocolAndPortFromTheOptions)
{
    struct Case {
        std::string src;
        std::string opts;
        std::string call;
    } cases[] = {
        {"127.0.0.1:/export/video", opts("rw,vers=3,proto=udp,", service.udp_port), "udp 1 /export/video\n"},
        {"127.0.0.1:/export/video", opts("rw,vers=3,proto=tcp,", service.tcp_port), "tcp 1 /export/video\n"},
        {"127.0.0.1:/export/a", opts("rw,notcp,", service.udp_port), "udp 1 /export/a\n"},
        {"127.0.0.1:/export/b", "soft,tcp,mountport=" + std::to_string(service.tcp_port), "tcp 1 /export/b\n"},
        // "addr=" names the server; "mountaddr=" is another option.
        {"10.255.255.1:/export/c", opts("mountaddr=10.255.255.2,addr=127.0.0.1,", service.udp_port),
         "udp 1 /export/c\n"},
        // TCP that finds no service falls back to UDP on the same port.
        {"127.0.0.1:/export/d", opts("proto=tcp,", service.udp_port), "udp 1 /export/d\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Dev_NfsuMountRPCCall(c.src.c_str(), c.opts.c_str()), 0) << c.opts;
        EXPECT_EQ(calls(), c.call) << c.opts;
    }
}

TEST_F(UmountNotice, RefusedOrUnsentNoticesGiveOne)
{
    const std::string port = opts("udp,", service.udp_port);
    CaptureStdout cap;
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1:/denied", port.c_str()), 1);
    EXPECT_EQ(calls(), "udp 1 /denied\n");
    EXPECT_EQ(Dev_NfsuMountRPCCall(nullptr, port.c_str()), 1);
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1/export", port.c_str()), 1);
    EXPECT_EQ(Dev_NfsuMountRPCCall("nodots:/export", port.c_str()), 1); // not resolvable
    // Host and directory are bounded to 79 characters each.
    const std::string dir79 = "/" + std::string(78, 'd');
    EXPECT_EQ(Dev_NfsuMountRPCCall(("127.0.0.1:" + dir79).c_str(), port.c_str()), 0);
    EXPECT_EQ(calls(), "udp 1 " + dir79 + "\n");
    EXPECT_EQ(Dev_NfsuMountRPCCall(("127.0.0.1:" + dir79 + "d").c_str(), port.c_str()), 1);
    const std::string host80 = std::string(71, 'h') + ".example";
    ASSERT_EQ(host80.size(), 79u);
    EXPECT_EQ(Dev_NfsuMountRPCCall((host80 + "x:/export").c_str(), port.c_str()), 1);
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1:/export", ("addr=" + host80 + "x," + port).c_str()), 1);
    EXPECT_EQ(calls(), "");
    std::string out = cap.take();
    EXPECT_NE(out.find("Dev_NfsuMountRPCCall(): host or directory longer than 79 characters"), std::string::npos)
        << out;
}

TEST_F(UmountNotice, UnmountOfAnNfsMountTellsTheServer)
{
    if (!dvrtest::is_root())
        GTEST_SKIP() << "mounting needs root";
    // The kernel has no NFS client: a tmpfs stands on the mount point and
    // the board's mount table says it is the NFS share.
    const std::string mpt = root / "share";
    dvrtest::make_dirs(mpt);
    ASSERT_EQ(::mount("tmpfs", mpt.c_str(), "tmpfs", 0, ""), 0);
    struct Unmount {
        std::string d;
        ~Unmount() { ::umount2(d.c_str(), MNT_DETACH); }
    } guard{mpt};
    dvrtest::write_file(root / "proc/mounts",
                        "127.0.0.1:/export/video " + mpt + " nfs rw,vers=2,proto=tcp,mountport=" +
                            std::to_string(service.tcp_port) + ",addr=127.0.0.1 0 0\n");
    EXPECT_EQ(Dev_uMount(mpt.c_str()), 0);
    EXPECT_EQ(calls(), "tcp 1 /export/video\n");
    EXPECT_NE(::umount(mpt.c_str()), 0); // no longer mounted

    // A local file system sends nothing.
    ASSERT_EQ(::mount("tmpfs", mpt.c_str(), "tmpfs", 0, ""), 0);
    dvrtest::write_file(root / "proc/mounts", "tmpfs " + mpt + " tmpfs rw 0 0\n");
    EXPECT_EQ(Dev_uMount(mpt.c_str()), 0);
    EXPECT_EQ(calls(), "");
}

TEST_F(NfsBoard, NoticeThroughThePortMapper)
{
    PortMapper portmapper;
    if (!portmapper.running())
        DVRTEST_FIXTURE_MISSING() << "no port mapper: " << portmapper.why();
    const std::string record = root / "pmap.log";
    MountService service(record, true);
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1:/export/pm", "rw,udp"), 0);
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1:/export/pm2", "rw,proto=tcp"), 0);
    EXPECT_EQ(dvrtest::read_file(record), "udp 1 /export/pm\ntcp 1 /export/pm2\n");
}

#else

TEST_F(NfsBoard, WithoutRpcLibraryTheNoticeIsNotSent)
{
    CaptureStdout cap;
    EXPECT_EQ(Dev_NfsuMountRPCCall("127.0.0.1:/export/video", "mountport=635"), 1);
    EXPECT_NE(cap.take().find("no RPC library in this build"), std::string::npos);
}

#endif

} // namespace
