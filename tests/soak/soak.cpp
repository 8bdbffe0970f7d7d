// Soak under churn: 32 threads make mixed calls (name lookups, HTTP GET and
// POST to nginx and Apache, file writers on a small tmpfs, COM_System,
// COM_PopenRead, FPGA register traffic and screen layouts on the
// simulator, INQUIRY and disc queries on a simulated drive) with the thread
// watchdog running, while the harness stops and restarts each server in
// turn every 20 s, fills and empties the tmpfs, and switches the drive's
// description to one whose commands all fail and back. Every 10 s a line of
// figures goes to the CSV: calls per second, failures by kind, failures no
// injected fault explains, descriptors, resident size, threads, zombies.
// It passes when every failure falls in a window of an injected fault,
// descriptors, threads and zombies return to their baseline, and the
// resident size stays flat after the warm-up.
//
//   soak MINUTES CSV
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "COMMON.h"
#include "DEV.h"
#include "DNS.h"
#include "dev_machine.h"
#include "fpga.h"
#include "http_servers.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

enum Kind { kDns, kNginx, kApache, kFiles, kSystem, kPopen, kFpga, kLayout, kScsi, kKinds };
const char *const kKindNames[kKinds] = {"dns", "nginx", "apache", "files", "system", "popen", "fpga", "layout", "scsi"};
// The injected fault that explains a failure of each kind (-1: none does).
enum Fault { fDns, fNginx, fApache, fTmpfs, fDrive, kFaults };
const int kExplainedBy[kKinds] = {fDns, fNginx, fApache, fTmpfs, -1, -1, -1, -1, fDrive};

struct Window {
    std::atomic<long long> since{0};     // start of the fault in force (0: none)
    std::atomic<long long> restored{0};  // end of the last one
};
Window gWindows[kFaults];
std::atomic<long> gCalls[kKinds];
std::atomic<long> gFailures[kKinds];
std::atomic<long> gUnexplained[kKinds];
std::atomic<bool> gStop{false};
// The first unexplained failure of each kind, for the summary.
std::mutex gFirstLock;
std::string gFirst[kKinds];

bool explained(int kind, long long started)
{
    int f = kExplainedBy[kind];
    if (f < 0)
        return false;
    // In force at either end of the call, or ended while it ran.
    return gWindows[f].since.load() != 0 || gWindows[f].restored.load() >= started;
}

struct Setup {
    std::string addr, nginx_url, apache_url, tmpfs, sg;
};

void worker(int index, const Setup &s)
{
    const int kind = static_cast<int>(static_cast<unsigned>(index) % kKinds);
    long n = 0;
    std::string file = s.tmpfs + "/w" + std::to_string(index);
    std::string text(2000, static_cast<char>('a' + index % 26));
    while (!gStop.load()) {
        long long started = now_ms();
        bool ok = true;
        std::string detail;
        switch (kind) {
        case kDns: {
            DNS_ADDR_REC rec[DNS_ADDR_REC_MAX]{};
            ok = DNS_GetA("host.soak.test", rec) == 0 && rec[0].ip == htonl(0x0a090807);
            break;
        }
        case kNginx:
        case kApache: {
            char *content = nullptr;
            const std::string &url = kind == kNginx ? s.nginx_url : s.apache_url;
            int rc = (n % 2) ? COM_PostHttpContent(url.c_str(), &content, nullptr, "a=1")
                             : COM_GetHttpContent(url.c_str(), &content, nullptr);
            // A POST to a static page may be refused by the server, but
            // an answer must come.
            ok = rc > 0 && content && (n % 2 || std::strcmp(content, "soak page\n") == 0);
            if (!ok)
            {
                // An error page is named by its title.
                std::string c = content ? content : "(none)";
                size_t title = c.find("<title>");
                detail = (n % 2 ? "POST result " : "GET result ") + std::to_string(rc) + ", content \"" +
                         c.substr(title == std::string::npos ? 0 : title, 60) + "\"";
            }
            std::free(content);
            break;
        }
        case kFiles:
            ok = COM_SetFileContent(file.c_str(), text.c_str()) == 0;
            break;
        case kSystem:
            ok = COM_System("/bin/true", nullptr) == 0;
            break;
        case kPopen:
            ok = COM_PopenRead("echo soak", nullptr, 0, nullptr) == 0;
            break;
        case kFpga: {
            int v = static_cast<int>((index * 7 + n) & 0xff);
            int addr = 0x40 + index % 8;
            fpga_write(addr, index, v);
            // Several threads write the same register: the value read is
            // one of theirs, a register of this thread's own offset.
            ok = fpga_read(addr, index) == v;
            break;
        }
        case kLayout: {
            // Every layout shows camera 0 on path 0, so whichever thread's
            // layout is on output 0 or 1, path 0 holds camera 0 with the
            // enable bits of one of the four layouts (a layout is written
            // as one locked sequence, never seen half done).
            static const int kTiles[4] = {1, 4, 9, 16};
            unsigned char cameras[16];
            for (int i = 0; i < 16; ++i)
                cameras[i] = static_cast<unsigned char>(i == 0 ? 0 : (index + n + i) % 16);
            const int mon = static_cast<int>(n % 2);
            int rc = fpga_split_disp(mon, kTiles[n % 4], cameras, 0, 0);
            int path0 = fpga_read(0x01, mon * 64);
            ok = rc == 0 && (path0 == 0x80 || path0 == 0xA0 || path0 == 0xC0 || path0 == 0xE0);
            if (!ok)
                detail = "result " + std::to_string(rc) + ", path 0 " + std::to_string(path0);
            break;
        }
        case kScsi:
            if (n % 2) {
                // The drive's model by INQUIRY, on a descriptor of the call's own.
                char model[32] = {};
                int fd = ::open(s.sg.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                int rc = fd >= 0 ? Dev_Inquiry("/dev/scd0", fd, model) : -1;
                if (fd >= 0)
                    ::close(fd);
                ok = rc == 1 && std::strcmp(model, "DVRSOAK SOAK DVDRW") == 0;
                if (!ok)
                    detail = "INQUIRY result " + std::to_string(rc) + ", model \"" + model + "\"";
            } else {
                // What is in the drive: a CD-R with an open session.
                DEV_INFO d{};
                std::strcpy(d.dev, "/dev/scd0");
                std::strcpy(d.sg, "/dev/sg0");
                d.cdrom = 1;
                int rc = Dev_GetDiscInfo(&d);
                ok = rc == 0 && d.details.disc.type1 == 1 && d.details.disc.type2 == 2 &&
                     d.details.disc.appendable == 1;
                if (!ok)
                    detail = "disc query result " + std::to_string(rc) + ", type " +
                             std::to_string(d.details.disc.type1) + "/" + std::to_string(d.details.disc.type2);
            }
            break;
        }
        ++n;
        ++gCalls[kind];
        if (!ok) {
            ++gFailures[kind];
            if (!explained(kind, started) && gUnexplained[kind]++ == 0) {
                std::lock_guard<std::mutex> lock(gFirstLock);
                gFirst[kind] = detail.empty() ? "failed" : detail;
            }
        }
    }
}

int count_dir(const char *path) { return dvrtest::count_entries(path); }

long rss_kb()
{
    long kb = -1;
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    if (f)
        std::fclose(f);
    return kb;
}

int zombies()
{
    int n = 0;
    std::string me = std::to_string(::getpid());
    DIR *d = ::opendir("/proc");
    while (struct dirent *e = d ? ::readdir(d) : nullptr) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::string stat = dvrtest::read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t p = stat.rfind(')');
        char state = 0;
        int ppid = 0;
        if (p != std::string::npos && std::sscanf(stat.c_str() + p + 1, " %c %d", &state, &ppid) == 2 &&
            state == 'Z' && std::to_string(ppid) == me)
            ++n;
    }
    if (d)
        ::closedir(d);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    std::string csv = argc > 2 ? argv[2] : "soak.csv";
    if (minutes < 1)
        minutes = 1;
    // The library's reports (a line for every lookup, every refused
    // connection) go to standard output: not kept. The figures go to
    // standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        return 2;
    dvrtest::TempDir tmp;
    Setup s;
    s.addr = dvrtest::http::own_loopback();
    int nport = dvrtest::http::free_port(s.addr), aport = dvrtest::http::free_port(s.addr);
    std::string doc = tmp / "doc";
    dvrtest::make_dirs(doc);
    dvrtest::make_dirs(tmp / "nginx");
    dvrtest::make_dirs(tmp / "apache");
    dvrtest::make_dirs(tmp / "dns");
    dvrtest::make_dirs(tmp / "root/etc");
    dvrtest::write_file(doc + "/index.html", "soak page\n");
    // Apache's worker runs as www-data: the page must be readable to it.
    ::chmod(tmp.path().c_str(), 0755);
    ::chmod(doc.c_str(), 0755);
    ::chmod((doc + "/index.html").c_str(), 0644);
    dvrtest::write_file(tmp / "root/etc/resolv.conf", "nameserver " + s.addr + "\n");
    ::setenv("DVRPLAT_ROOT", (tmp / "root").c_str(), 1);
    dvrtest::board_root_changed();
    ::setenv("DVRPLAT_FPGA_SIM", (tmp / "fpga.sim").c_str(), 1);
    s.nginx_url = s.addr + ":" + std::to_string(nport) + "/index.html";
    s.apache_url = s.addr + ":" + std::to_string(aport) + "/index.html";
    s.tmpfs = tmp / "tmpfs";
    // The simulated writer under the board root: its good description, and
    // one whose every command fails (the SG_IO request gives EIO), put in
    // place in turn by renaming a copy over the node.
    s.sg = tmp / "root/dev/sg0";
    dvrtest::make_dirs(tmp / "root/dev");
    dvrtest::SimDrive drive;
    drive.identity.vendor = "DVRSOAK";
    drive.identity.product = "SOAK DVD-RW";
    drive.medium = dvrtest::real_disc("cd-r-open");
    drive.write(tmp / "drive.good");
    drive.ioctl_errno["sg_io"] = EIO;
    drive.write(tmp / "drive.bad");
    auto put_drive = [&](const char *which) {
        dvrtest::write_file(s.sg + ".new", dvrtest::read_file(tmp / which));
        ::rename((s.sg + ".new").c_str(), s.sg.c_str());
    };
    put_drive("drive.good");
    dvrtest::make_dirs(s.tmpfs);
    if (::mount("soak", s.tmpfs.c_str(), "tmpfs", 0, "size=1m") != 0) {
        std::perror("mount tmpfs");
        return 2;
    }

    dvrtest::http::ServerProcess nginx, apache, dns;
    auto start = [&](int f) {
        switch (f) {
        case fNginx:
            return dvrtest::http::start_nginx(nginx, tmp / "nginx", s.addr, nport, doc, "/p", "u", "p");
        case fApache:
            return dvrtest::http::start_apache(apache, tmp / "apache", s.addr, aport, doc, "/d", "r", "u:r:0");
        case fDns:
            return dvrtest::http::start_dnsmasq(dns, tmp / "dns", s.addr, {{"host.soak.test", "10.9.8.7"}});
        }
        return true;
    };
    for (int f : {fNginx, fApache, fDns})
        if (!start(f)) {
            std::fprintf(stderr, "soak: server %d did not start\n", f);
            return 2;
        }
    if (fpga_open() != 0) {
        std::fprintf(stderr, "soak: fpga_open failed\n");
        return 2;
    }
    int base_fds = count_dir("/proc/self/fd"), base_threads = count_dir("/proc/self/task");
    COM_CreateThreadWatchdog(1);

    std::vector<std::thread> threads;
    for (int i = 0; i < 32; ++i)
        threads.emplace_back(worker, i, std::cref(s));

    FILE *out = std::fopen(csv.c_str(), "w");
    std::fprintf(out, "seconds,calls_per_s");
    for (const char *k : kKindNames)
        std::fprintf(out, ",fail_%s", k);
    std::fprintf(out, ",unexplained,fds,rss_kb,threads,zombies\n");

    const long long t0 = now_ms(), end = t0 + minutes * 60000LL;
    long last_calls = 0;
    long long last_row = t0;
    long warm_rss = -1, max_rss_after = 0;
    int step = 0;
    std::string fill = s.tmpfs + "/fill";
    auto row = [&] {
        long long t = now_ms();
        long calls = 0, unexplained = 0;
        for (int k = 0; k < kKinds; ++k) {
            calls += gCalls[k].load();
            unexplained += gUnexplained[k].load();
        }
        long rss = rss_kb();
        std::fprintf(out, "%lld,%.1f", (t - t0) / 1000,
                     static_cast<double>(calls - last_calls) * 1000.0 / static_cast<double>(t - last_row));
        for (int k = 0; k < kKinds; ++k)
            std::fprintf(out, ",%ld", gFailures[k].load());
        std::fprintf(out, ",%ld,%d,%ld,%d,%d\n", unexplained, count_dir("/proc/self/fd"), rss,
                     count_dir("/proc/self/task"), zombies());
        std::fflush(out);
        last_calls = calls;
        last_row = t;
        // Warm-up: the first two minutes (half of a shorter run).
        if (warm_rss < 0 && (t - t0 >= 120000 || t - t0 >= (end - t0) / 2))
            warm_rss = rss;
        else if (warm_rss >= 0 && rss > max_rss_after)
            max_rss_after = rss;
    };
    auto sleep_until = [](long long t) {
        long long left = t - now_ms();
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(left));
    };
    while (now_ms() < end) {
        // Every 20 s one server is stopped for 5 s, in turn; from 10 s
        // into each period the tmpfs is full for 5 s, and then the drive
        // fails for 3 s. A row every 10 s.
        long long period = now_ms();
        int f = step % 3 == 0 ? fNginx : step % 3 == 1 ? fApache : fDns;
        gWindows[f].since = now_ms();
        (f == fNginx ? nginx : f == fApache ? apache : dns).stop();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        bool up = start(f);
        gWindows[f].restored = now_ms();
        if (up)
            gWindows[f].since = 0;
        sleep_until(period + 10000);
        row();
        gWindows[fTmpfs].since = now_ms();
        dvrtest::shell("dd if=/dev/zero of='" + fill + "' bs=64k 2>/dev/null");
        std::this_thread::sleep_for(std::chrono::seconds(5));
        ::unlink(fill.c_str());
        gWindows[fTmpfs].restored = now_ms();
        gWindows[fTmpfs].since = 0;
        // Then the drive fails every command for 3 s.
        gWindows[fDrive].since = now_ms();
        put_drive("drive.bad");
        std::this_thread::sleep_for(std::chrono::seconds(3));
        put_drive("drive.good");
        gWindows[fDrive].restored = now_ms();
        gWindows[fDrive].since = 0;
        sleep_until(period + 20000);
        row();
        ++step;
    }
    gStop = true;
    for (std::thread &t : threads)
        t.join();
    COM_DestroyThreadWatchdog();
    std::fclose(out);
    // Threads that end take a moment to leave the task list.
    int fds = 0, tasks = 0, zomb = 0;
    for (int i = 0; i < 100; ++i) {
        fds = count_dir("/proc/self/fd");
        tasks = count_dir("/proc/self/task");
        zomb = zombies();
        if (fds == base_fds && tasks == base_threads && zomb == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::umount2(s.tmpfs.c_str(), MNT_DETACH);

    long calls = 0, failures = 0, unexplained = 0;
    std::fprintf(stderr, "soak: %d minutes, 32 threads, %d server restarts, %d tmpfs fills, %d drive failures\n",
                 minutes, step, step, step);
    for (int k = 0; k < kKinds; ++k) {
        std::fprintf(stderr, "soak: %-7s %10ld calls %8ld failures %6ld unexplained\n", kKindNames[k], gCalls[k].load(),
                    gFailures[k].load(), gUnexplained[k].load());
        if (!gFirst[k].empty())
            std::fprintf(stderr, "soak: %-7s first unexplained failure: %s\n", kKindNames[k], gFirst[k].c_str());
        calls += gCalls[k];
        failures += gFailures[k];
        unexplained += gUnexplained[k];
    }
    std::fprintf(stderr, "soak: descriptors %d (baseline %d), threads %d (baseline %d), zombies %d, resident %ld kB after "
                "warm-up, at most %ld kB later\n",
                fds, base_fds, tasks, base_threads, zomb, warm_rss, max_rss_after);
    bool pass = unexplained == 0 && fds == base_fds && tasks == base_threads && zomb == 0 &&
                (warm_rss < 0 || max_rss_after <= warm_rss + warm_rss / 10 + 1024);
    std::fprintf(stderr, "soak: %s (%ld calls, %ld failures, all inside an injected fault's window: %s)\n",
                pass ? "PASS" : "FAIL", calls, failures, unexplained == 0 ? "yes" : "no");
    return pass ? 0 : 1;
}
