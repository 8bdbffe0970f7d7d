// Init of the kernel stage's guests, x86-64 and PowerPC alike (static:
// the PowerPC guest has no shell, and none is needed). Loads the kernel
// modules the initramfs holds (/modules/order, when there is one), mounts
// the kernel's file systems, the host's root read-only over 9p (tag
// "hostroot") with writable scratch space over it, the run's exchange
// directory (9p tag "out") on /mnt/out, brings up loopback (and where
// asked a dummy interface with a VLAN on it: NetSetup), then, inside the
// host's root as root, waits for the drives, runs the test programs that
// /mnt/out/config names and powers off.
//
// /mnt/out/config holds lines NAME="VALUE":
//   GUEST     the guest's name, handed to the programs as DVRPLAT_GUEST
//   DRIVES    entries "LABEL:KIND:BUS:TARGET:IMAGE" (BUS virtio or ata,
//             TARGET the SCSI target number on that bus)
//   PROGRAMS  the test programs to run, absolute paths
//   LIMIT     seconds one program may take
//   NETWORK   "dummy": the dummy interface with a VLAN besides loopback,
//             and the default route into it (which drops every packet)
//   LIBRARIES the directory of the guest's own dynamic loader and
//             run-time libraries, made visible in /usr/lib (empty: none)
// Each program's output goes to /mnt/out/results/NAME.log and its exit
// status (124 when its time ran out) to NAME.status; the console gets
// lines "guest: ..." only.
//
// Built by scripts/kernel/stage.sh with the guest's compiler (see
// guests.tab).
// 64-bit offsets on the 32-bit guest too: the host's directories come
// over 9p with the host's 64-bit offsets, which readdir without them
// refuses (EOVERFLOW) and takes for the end of the directory.
#define _FILE_OFFSET_BITS 64
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

void say(const std::string &line)
{
    std::string l = "guest: " + line + "\n";
    ssize_t ignored = ::write(1, l.data(), l.size());
    (void)ignored;
}

std::string errstr() { return std::strerror(errno); }

[[noreturn]] void power_off()
{
    say("powering off");
    ::sync();
    ::reboot(RB_POWER_OFF);
    // Without a power-off device the machine resets, which QEMU run with
    // -no-reboot turns into its exit.
    ::reboot(RB_AUTOBOOT);
    for (;;)
        ::pause();
}

[[noreturn]] void fail(const std::string &why)
{
    say(why);
    power_off();
}

void make_dirs(const std::string &path, mode_t mode = 0755)
{
    for (size_t at = 1; at <= path.size(); ++at)
        if (at == path.size() || path[at] == '/')
            ::mkdir(path.substr(0, at).c_str(), mode);
}

bool is_dir(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool mount_fs(const char *source, const std::string &target, const char *type, unsigned long flags,
              const char *options = nullptr)
{
    if (::mount(source, target.c_str(), type, flags, options) == 0)
        return true;
    say(std::string("mount ") + source + " on " + target + " (" + (type ? type : "bind") + "): " + errstr());
    return false;
}

bool bind(const std::string &from, const std::string &to)
{
    return mount_fs(from.c_str(), to, nullptr, MS_BIND | MS_REC);
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> words(const std::string &text, char sep = ' ')
{
    std::vector<std::string> out;
    std::string w;
    for (char c : text + sep) {
        if (c == sep || c == '\n' || c == '\t') {
            if (!w.empty())
                out.push_back(w);
            w.clear();
        } else {
            w += c;
        }
    }
    return out;
}

std::vector<std::string> split_fields(const std::string &entry)
{
    std::vector<std::string> f;
    std::string field;
    std::istringstream in(entry);
    while (std::getline(in, field, ':'))
        f.push_back(field);
    return f;
}

// The value of name=VALUE on the kernel command line.
std::string cmdline_value(const std::string &name)
{
    for (const std::string &w : words(read_all("/proc/cmdline")))
        if (w.compare(0, name.size() + 1, name + "=") == 0)
            return w.substr(name.size() + 1);
    return {};
}

// Lines NAME="VALUE" (or NAME=VALUE).
std::map<std::string, std::string> read_config(const std::string &path)
{
    std::map<std::string, std::string> c;
    std::istringstream in(read_all(path));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string v = line.substr(eq + 1);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        c[line.substr(0, eq)] = v;
    }
    return c;
}

void load_modules();

void set_up_mounts()
{
    make_dirs("/proc");
    make_dirs("/sys");
    make_dirs("/dev");
    mount_fs("proc", "/proc", "proc", 0);
    mount_fs("sysfs", "/sys", "sysfs", 0);
    mount_fs("devtmpfs", "/dev", "devtmpfs", 0);
    // Without /dev/console in the initramfs the kernel started us with no
    // standard streams.
    if (::fcntl(1, F_GETFD) < 0) {
        int fd = ::open("/dev/console", O_RDWR);
        if (fd >= 0) {
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (fd > 2)
                ::close(fd);
        }
    }
    load_modules();

    make_dirs("/host");
    if (!mount_fs("hostroot", "/host", "9p", MS_RDONLY, "trans=virtio,version=9p2000.L,msize=262144,cache=loose"))
        fail("the host's root does not mount");

    // The checkout and the build the tests come from stay visible even
    // where they lie under a directory that gets scratch space below (a
    // clone in /tmp): each path named by dvrplat_keep= on the kernel
    // command line (separated by ":") is held by a bind mount and put back
    // over the scratch space.
    const std::vector<std::string> keep = words(cmdline_value("dvrplat_keep"), ':');
    for (const std::string &p : keep)
        if (!p.empty() && p[0] == '/' && is_dir("/host" + p)) {
            make_dirs("/keep" + p);
            bind("/host" + p, "/keep" + p);
        }
    // Writable in memory: what a running system writes to (the library
    // keeps its temporary files in /var).
    for (const char *d : {"tmp", "run", "mnt", "var", "root"})
        if (is_dir(std::string("/host/") + d))
            mount_fs("scratch", std::string("/host/") + d, "tmpfs", 0, "mode=0755");
    for (const char *d : {"/host/var/tmp", "/host/var/lib/nfs", "/host/var/log", "/host/var/cache", "/host/run/lock"})
        make_dirs(d);
    if (::symlink("/run", "/host/var/run") != 0 || ::symlink("/run/lock", "/host/var/lock") != 0)
        say("symlinks in /var: " + errstr());
    ::chmod("/host/tmp", 01777);
    ::chmod("/host/var/tmp", 01777);
    for (const std::string &p : keep)
        if (is_dir("/keep" + p)) {
            make_dirs("/host" + p);
            bind("/keep" + p, "/host" + p);
        }

    make_dirs("/host/mnt/out");
    if (!mount_fs("out", "/host/mnt/out", "9p", 0, "trans=virtio,version=9p2000.L,msize=262144"))
        fail("the exchange directory does not mount");
    bind("/proc", "/host/proc");
    bind("/sys", "/host/sys");
    bind("/dev", "/host/dev");
    make_dirs("/host/dev/pts");
    make_dirs("/host/dev/shm");
    mount_fs("devpts", "/host/dev/pts", "devpts", 0, "ptmxmode=0666");
    mount_fs("shm", "/host/dev/shm", "tmpfs", 0);
}

// Loads the modules /modules/order names, one a line, in that order (what
// each depends on comes before it). No list: the kernel has what it needs
// built in.
void load_modules()
{
    std::istringstream in(read_all("/modules/order"));
    std::string name;
    while (std::getline(in, name)) {
        if (name.empty())
            continue;
        const std::string path = "/modules/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || (::syscall(SYS_finit_module, fd, "", 0) != 0 && errno != EEXIST))
            say("insmod " + name + " failed: " + errstr());
        if (fd >= 0)
            ::close(fd);
    }
}

// The guest's network, made with the kernel's socket ioctls: loopback up,
// and where the configuration says NETWORK="dummy", the dummy driver's first interface renamed "eth0" (hardware address
// 02:11:22:33:44:55, MTU 1500, 192.168.1.5/24) with the 802.1Q device
// "eth0.5" on it (VLAN 5, 10.5.0.2/16, the default route via 10.5.0.1).
// The test programs find it named in DVRPLAT_GUEST_NET. Returns what failed
// (empty when all of it is up).
class NetSetup {
public:
    NetSetup() : s_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~NetSetup()
    {
        if (s_ >= 0)
            ::close(s_);
    }
    NetSetup(const NetSetup &) = delete;
    NetSetup &operator=(const NetSetup &) = delete;

    // Loopback only.
    std::string loopback()
    {
        if (s_ < 0)
            return "socket: " + errstr();
        return up("lo") ? std::string() : failed_;
    }

    std::string run()
    {
        if (const std::string lo = loopback(); !lo.empty())
            return lo;
        struct ifreq ifr = request("dummy0");
        std::snprintf(ifr.ifr_newname, sizeof ifr.ifr_newname, "eth0");
        if (!call(SIOCSIFNAME, &ifr, "rename dummy0 to eth0"))
            return failed_;
        ifr = request("eth0");
        ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
        const unsigned char mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        std::memcpy(ifr.ifr_hwaddr.sa_data, mac, sizeof mac);
        if (!call(SIOCSIFHWADDR, &ifr, "eth0 hardware address"))
            return failed_;
        ifr = request("eth0");
        ifr.ifr_mtu = 1500;
        if (!call(SIOCSIFMTU, &ifr, "eth0 MTU") || !up("eth0"))
            return failed_;
        struct vlan_ioctl_args vlan {};
        vlan.cmd = ADD_VLAN_CMD;
        std::snprintf(vlan.device1, sizeof vlan.device1, "eth0");
        vlan.u.VID = 5;
        if (!call(SIOCSIFVLAN, &vlan, "VLAN 5 on eth0"))
            return failed_;
        if (!address("eth0", "192.168.1.5", "255.255.255.0", "192.168.1.255") ||
            !address("eth0.5", "10.5.0.2", "255.255.0.0", "10.5.255.255") || !up("eth0.5"))
            return failed_;
        struct rtentry rt {};
        in(&rt.rt_dst, "0.0.0.0");
        in(&rt.rt_genmask, "0.0.0.0");
        in(&rt.rt_gateway, "10.5.0.1");
        rt.rt_flags = RTF_UP | RTF_GATEWAY;
        char dev[] = "eth0.5";
        rt.rt_dev = dev;
        if (!call(SIOCADDRT, &rt, "default route via 10.5.0.1"))
            return failed_;
        return {};
    }

private:
    static struct ifreq request(const char *name)
    {
        struct ifreq ifr {};
        std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", name);
        return ifr;
    }
    static void in(struct sockaddr *sa, const char *dotted)
    {
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, dotted, &a.sin_addr);
        std::memcpy(sa, &a, sizeof a);
    }
    bool call(unsigned long request, void *arg, const std::string &what)
    {
        if (::ioctl(s_, request, arg) == 0)
            return true;
        failed_ = what + ": " + errstr();
        return false;
    }
    bool up(const char *name)
    {
        struct ifreq ifr = request(name);
        if (!call(SIOCGIFFLAGS, &ifr, std::string(name) + " flags"))
            return false;
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        return call(SIOCSIFFLAGS, &ifr, std::string(name) + " up");
    }
    bool address(const char *name, const char *addr, const char *mask, const char *broadcast)
    {
        struct ifreq ifr = request(name);
        in(&ifr.ifr_addr, addr);
        if (!call(SIOCSIFADDR, &ifr, std::string(name) + " address"))
            return false;
        ifr = request(name);
        in(&ifr.ifr_netmask, mask);
        if (!call(SIOCSIFNETMASK, &ifr, std::string(name) + " netmask"))
            return false;
        ifr = request(name);
        in(&ifr.ifr_broadaddr, broadcast);
        return call(SIOCSIFBRDADDR, &ifr, std::string(name) + " broadcast");
    }

    int s_;
    std::string failed_;
};

std::string real_path(const std::string &path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::vector<std::string> dir_entries(const std::string &dir, const std::string &prefix = {})
{
    std::vector<std::string> out;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && n.compare(0, prefix.size(), prefix) == 0)
                out.push_back(n);
        }
        ::closedir(d);
    }
    return out;
}

// "/dev/sgN:/dev/srN" of the drive at TARGET on BUS, from the kernel's
// device paths (".../virtio2/host0/target0:0:1/0:0:1:0"); empty while the
// drive has not appeared.
std::string nodes_of(const std::string &bus, const std::string &target)
{
    for (const std::string &sg : dir_entries("/sys/class/scsi_generic", "sg")) {
        const std::string dev = "/sys/class/scsi_generic/" + sg + "/device";
        const std::string p = real_path(dev);
        const std::vector<std::string> parts = words(p, '/');
        if (parts.size() < 3)
            continue;
        const std::vector<std::string> addr = split_fields(parts.back());
        if (addr.size() != 4 || addr[2] != target || addr[3] != "0")
            continue;
        if (parts[parts.size() - 3].compare(0, 4, "host") != 0)
            continue;
        bool on_bus = false;
        for (size_t i = 0; i + 3 < parts.size(); ++i)
            on_bus = on_bus || parts[i].compare(0, bus.size(), bus) == 0;
        if (!on_bus)
            continue;
        const std::vector<std::string> block = dir_entries(dev + "/block");
        if (block.empty())
            continue;
        return "/dev/" + sg + ":/dev/" + block.front();
    }
    return {};
}

std::string find_drives(const std::string &list)
{
    std::string real;
    int waited = 0;
    for (const std::string &d : words(list)) {
        std::vector<std::string> f = split_fields(d);
        f.resize(5);
        std::string n;
        while ((n = nodes_of(f[2], f[3])).empty()) {
            if (waited >= 60) {
                say("drive " + f[0] + " (" + f[2] + " target " + f[3] + ") did not appear");
                break;
            }
            ::sleep(1);
            ++waited;
        }
        if (!n.empty())
            real += (real.empty() ? "" : " ") + f[0] + ":" + f[1] + ":" + n + ":" + f[4];
    }
    return real;
}

// The guest's own dynamic loader and run-time libraries where its
// dynamically linked programs (the board's commands the tests run) look
// for them: the host's root has /lib/ld.so.1 and libc.so.6 for its own
// architecture only. /usr/lib (which /lib leads to) gets writable space
// over it that shows every entry it had (each a link to the entry, held
// by a bind mount under /run) and links to each shared object of LIBS (the
// cross toolchain's library directory) it does not have. Returns what
// failed, empty when all went well.
std::string lay_out_libraries(const std::string &libs)
{
    const std::string held = "/run/dvrplat-host-usr-lib";
    if (!is_dir(libs))
        return libs + " is no directory";
    make_dirs(held);
    if (!bind("/usr/lib", held))
        return "binding /usr/lib failed";
    if (!mount_fs("usr-lib", "/usr/lib", "tmpfs", 0, "mode=0755"))
        return "writable space over /usr/lib failed";
    std::string failed;
    for (const std::string &e : dir_entries(held)) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink((held + "/" + e).c_str(), target, sizeof target - 1);
        // A link is copied as it is, so that a relative one still leads
        // where it led from /usr/lib.
        const std::string to = n >= 0 ? std::string(target, static_cast<size_t>(n)) : held + "/" + e;
        if (::symlink(to.c_str(), ("/usr/lib/" + e).c_str()) != 0)
            failed = "/usr/lib/" + e + ": " + errstr();
    }
    for (const std::string &e : dir_entries(libs)) {
        struct stat st;
        if (e.find(".so") == std::string::npos || ::lstat(("/usr/lib/" + e).c_str(), &st) == 0)
            continue;
        if (::symlink((libs + "/" + e).c_str(), ("/usr/lib/" + e).c_str()) != 0)
            failed = "/usr/lib/" + e + ": " + errstr();
    }
    return failed;
}

// Runs one program with its output in LOG; returns its exit status, 128 +
// the signal that ended it, or 124 when it ran out of time (it and its
// process group are then ended).
int run_program(const std::string &path, const std::vector<std::string> &args, const std::string &dir,
                const std::string &log, const std::vector<std::string> &env, int limit)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    pid_t pid = ::fork();
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        say("fork: " + errstr());
        return 127;
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        ::setpgid(0, 0);
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0 || ::chdir(dir.c_str()) != 0)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char *> argv, envp;
        argv.push_back(const_cast<char *>(path.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        ::execve(path.c_str(), argv.data(), envp.data());
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    const time_t deadline = ::time(nullptr) + limit;
    int result = -1;
    bool ended = false;
    for (;;) {
        // Every child that ended is reaped here: as process 1 this also
        // collects what the programs left behind.
        int st;
        pid_t got;
        while ((got = ::waitpid(-1, &st, WNOHANG)) > 0)
            if (got == pid)
                result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (result >= 0)
            break;
        const time_t now = ::time(nullptr);
        if (now >= deadline) {
            if (ended) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
            } else {
                say(path + " ran out of its " + std::to_string(limit) + " s: ended");
                ::kill(-pid, SIGTERM);
                ::kill(pid, SIGTERM);
                ended = true;
            }
        }
        struct timespec wait {};
        wait.tv_sec = now >= deadline ? 5 : std::min<time_t>(deadline - now, 5);
        ::sigtimedwait(&chld, nullptr, &wait);
    }
    ::kill(-pid, SIGKILL); // what the program started and left behind
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ended ? 124 : result;
}

std::string file_systems()
{
    std::string out;
    std::istringstream in(read_all("/proc/filesystems"));
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 5, "nodev") != 0) {
            std::vector<std::string> w = words(line);
            if (!w.empty())
                out += (out.empty() ? "" : " ") + w.back();
        }
    return out;
}

} // namespace

int main()
{
    set_up_mounts();
    ::sethostname("guest", 5);
    struct utsname u {};
    ::uname(&u);
    std::vector<std::string> up = words(read_all("/proc/uptime"));
    say(std::string(u.release) + " (" + u.machine + ") up after " + (up.empty() ? "?" : up[0]) + " s");
    if (::chroot("/host") != 0 || ::chdir("/") != 0)
        fail("chroot into the host's root: " + errstr());

    std::map<std::string, std::string> config = read_config("/mnt/out/config");
    NetSetup net;
    const bool with_dummy = config["NETWORK"] == "dummy";
    const std::string net_failed = with_dummy ? net.run() : net.loopback();
    if (!net_failed.empty())
        say("network: " + net_failed);
    else
        say(with_dummy ? "network: lo, eth0 192.168.1.5/24, eth0.5 (VLAN 5) 10.5.0.2/16, default via 10.5.0.1"
                       : "network: lo");
    if (!config["LIBRARIES"].empty()) {
        const std::string libs_failed = lay_out_libraries(config["LIBRARIES"]);
        say("run-time libraries: " + (libs_failed.empty() ? config["LIBRARIES"] + " in /usr/lib" : libs_failed));
    }
    const std::string results = "/mnt/out/results";
    make_dirs(results);
    const std::string drives = find_drives(config["DRIVES"]);
    say("drives: " + drives);
    say("file systems: " + file_systems());
    for (const std::string &sg : dir_entries("/sys/class/scsi_generic", "sg")) {
        std::string p = real_path("/sys/class/scsi_generic/" + sg + "/device");
        size_t at = p.find("/devices/");
        say(sg + " -> " + (at == std::string::npos ? p : p.substr(at + 9)));
    }

    int limit = std::atoi(config["LIMIT"].c_str());
    if (limit <= 0)
        limit = 300;
    std::vector<std::string> env = {
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root", "TERM=dumb", "DVRPLAT_REAL_DRIVES=" + drives,
        // Which guest the programs run in (tests/support/kernel_guest.h):
        // the PowerPC guest runs no program of the host's.
        "DVRPLAT_GUEST=" + config["GUEST"],
        // The test programs of a cross build run on their own machine
        // here, not under the user-mode emulator.
        "DVRPLAT_TARGET_NATIVE=1"};
    if (with_dummy && net_failed.empty())
        env.push_back("DVRPLAT_GUEST_NET=eth0 eth0.5");
    for (const std::string &p : words(config["PROGRAMS"])) {
        const std::string name = p.substr(p.rfind('/') + 1);
        const std::string dir = "/tmp/run/" + name;
        make_dirs(dir);
        say("running " + name);
        const int status = run_program(p, {}, dir, results + "/" + name + ".log", env, limit);
        std::ofstream(results + "/" + name + ".status") << status << "\n";
    }
    say("done");
    ::sync();
    ::umount("/mnt/out");
    power_off();
}
