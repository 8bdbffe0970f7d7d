// Name lookups, call against call in this process: DNS_GetA against the C
// library's getaddrinfo (IPv4 only) for the same name, answered by the same
// local dnsmasq. Both read the same "/etc/resolv.conf": the program runs
// in a mount namespace of its own where a file naming only that server is
// mounted over it (so it needs root; without it the benchmark says so and
// stops). Each lookup is one query and one answer over UDP on loopback;
// the times cover the whole call (the library's report lines, which go to
// standard output, written to /dev/null; getaddrinfo's look at /etc/hosts
// and its resolver set-up). Repetitions are interleaved so that a change
// in the machine's load falls on both sides; the ratio compares the
// median repetition of each side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench_support.h"
#include "../tests/support/http_servers.h"
#include "DNS.h"

namespace {

namespace hs = dvrtest::http;

constexpr const char *kName = "camera-board.example";
constexpr const char *kAddress = "10.20.30.40";

std::string gDir;
hs::ServerProcess gDnsmasq;
std::map<std::string, std::vector<double>> gWall;

// Standard output pointed at /dev/null for a scope (the library reports
// each lookup's steps there), restored after.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = ::dup(1);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, 1);
            ::close(null);
        }
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, 1);
            ::close(saved_);
        }
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved_ = -1;
};

bool library_lookup()
{
    DNS_ADDR_REC rec[DNS_ADDR_REC_MAX] = {};
    return DNS_GetA(kName, rec) == 0 && rec[0].flag == 1 && rec[0].ip == inet_addr(kAddress);
}

bool libc_lookup()
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(kName, nullptr, &hints, &res) != 0 || !res)
        return false;
    const bool ok = reinterpret_cast<const sockaddr_in *>(res->ai_addr)->sin_addr.s_addr == inet_addr(kAddress);
    freeaddrinfo(res);
    return ok;
}

void lookups(benchmark::State &state, const char *name, bool (*lookup)())
{
    QuietStdout quiet;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!lookup()) {
            state.SkipWithError("the lookup failed");
            return;
        }
    }
    const double each = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                        static_cast<double>(state.iterations());
    gWall[name].push_back(each);
}

void BM_Lookup_Library(benchmark::State &state) { lookups(state, "library", library_lookup); }
void BM_Lookup_getaddrinfo(benchmark::State &state) { lookups(state, "libc", libc_lookup); }

// The server, and a "/etc/resolv.conf" naming only it over the system's,
// seen by this process alone.
bool set_up()
{
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_dns: needs root (a mount namespace with its own /etc/resolv.conf)\n");
        return false;
    }
    char dir[] = "/tmp/bench_dns-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    gDir = dir;
    const std::string addr = hs::own_loopback();
    if (!hs::start_dnsmasq(gDnsmasq, gDir, addr, {{kName, kAddress}})) {
        std::fprintf(stderr, "bench_dns: dnsmasq did not start: %s\n", hs::get_file(gDir + "/dnsmasq.log").c_str());
        return false;
    }
    hs::put_file(gDir + "/resolv.conf", "nameserver " + addr + "\n");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount((gDir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "bench_dns: could not mount a resolv.conf of its own: %s\n", std::strerror(errno));
        return false;
    }
    // Both sides answer before they are timed.
    QuietStdout quiet;
    return library_lookup() && libc_lookup();
}

void tear_down()
{
    gDnsmasq.stop();
    dvrbench::remove_tree(gDir);
}

} // namespace

int main(int argc, char **argv)
{
    dvrbench::initialize_interleaved(argc, argv);
    if (!set_up()) {
        std::fprintf(stderr, "bench_dns: set-up failed\n");
        tear_down();
        return 1;
    }
    auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300)->Repetitions(9);
    };
    add("BM_Lookup_Library", BM_Lookup_Library);
    add("BM_Lookup_getaddrinfo", BM_Lookup_getaddrinfo);
    benchmark::RunSpecifiedBenchmarks();
    tear_down();

    double lib = 0, libc = 0;
    if (!dvrbench::median_of(gWall, "library", lib) || !dvrbench::median_of(gWall, "libc", libc))
        return 1;
    std::printf("\nRatio (median repetition of each side):\n"
                "One A lookup from a local dnsmasq over loopback, call against call in this process,\n"
                "wall time of the whole call (same name, same server, same /etc/resolv.conf):\n");
    std::printf("  %-52s %8.1f us\n", "DNS_GetA", 1e6 * lib);
    std::printf("  %-52s %8.1f us\n", "getaddrinfo (AF_INET)", 1e6 * libc);
    std::printf("  %-52s %8.3f  (required <= 1.00) %s\n", "DNS_GetA / getaddrinfo", lib / libc,
                lib <= libc ? "ok" : "ABOVE");
    return 0;
}
