// HTTP client and HTML stripping, as ratios measured in one run:
//   - a 32 MiB download from a local nginx, whole process against whole
//     process: http_tool (a small program linking the library: the URL
//     fetched into memory with COM_GetHttpContent, then the body written
//     to a file) against curl -s -o FILE on the same URL, both files on a
//     memory file system. Each time covers starting the program, the
//     connection, the download and writing the file; the client's fixed
//     30 ms pause after sending its request is subtracted from http_tool's
//     time, explicitly. The children's processor time (user and system,
//     where the pause costs nothing) is shown beside it, and the library
//     call alone in this process for information;
//   - COM_StripHtmlCode over 16 MiB of HTML against 1 MiB (a linear
//     stripper takes about 16 times as long).
// Each case runs several repetitions, interleaved so that a change in the
// machine's load falls on both sides; the ratios compare the median
// repetition of each side. On a shared machine the wall times carry the
// other load too: run it on an otherwise idle machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_support.h"
#include "../tests/support/http_servers.h"
#include "COMMON.h"

extern char **environ;

namespace {

namespace hs = dvrtest::http;

constexpr size_t kDownload = 32u << 20;
constexpr double kPauseSeconds = 0.030;

std::string gDir;
std::string gData;     // the file nginx serves
std::string gUrl;      // host:port/path for the library
std::string gCurlUrl;  // the same for curl
std::string gToolOut;  // http_tool's output file, in memory where possible
std::string gCurlOut;  // curl's output file, beside it
std::string gHtml1, gHtml16;
hs::ServerProcess gNginx;

// Every repetition's figures (seconds per download), by case.
std::map<std::string, std::vector<double>> gWall, gCpu;

std::string make_html(size_t size)
{
    std::mt19937 gen(11);
    const char *pieces[] = {"<tr><td class=\"cell\">", "channel ", "<br>", "</td>", "motion &amp; loss",
                            "\n", "<BR/>", "recording", "<a href=\"/x?y=1\">", "</a>"};
    std::string s;
    s.reserve(size + 64);
    while (s.size() < size)
        s += pieces[gen() % 10];
    s.resize(size);
    return s;
}

// Runs a program with its standard output thrown away; gives its wall time
// (start to end) and processor time (user and system). False on failure.
bool run_timed(std::vector<std::string> args, double &wall, double &cpu)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return false;
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return false;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto secs = [](const timeval &tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
    };
    cpu = secs(ru.ru_utime) + secs(ru.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void process_download(benchmark::State &state, const char *name, const std::vector<std::string> &args)
{
    double wall_sum = 0, cpu_sum = 0;
    for (auto _ : state) {
        double wall = 0, cpu = 0;
        if (!run_timed(args, wall, cpu)) {
            state.SkipWithError("the download failed");
            return;
        }
        state.SetIterationTime(wall);
        wall_sum += wall;
        cpu_sum += cpu;
    }
    const double n = static_cast<double>(state.iterations());
    gWall[name].push_back(wall_sum / n);
    gCpu[name].push_back(cpu_sum / n);
    state.counters["cpu_ms"] = 1000 * cpu_sum / n;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownload));
}

void BM_DownloadProcess_Library(benchmark::State &state)
{
    process_download(state, "library", {DVRPLAT_HTTP_TOOL, gUrl, gToolOut});
}

void BM_DownloadProcess_curl(benchmark::State &state)
{
    process_download(state, "curl", {"curl", "-s", "-o", gCurlOut, gCurlUrl});
}

// The library's call alone, in this process (no start-up, no file).
void BM_DownloadCall_Library(benchmark::State &state)
{
    double wall_sum = 0;
    for (auto _ : state) {
        char *content = nullptr;
        const auto start = std::chrono::steady_clock::now();
        int r = COM_GetHttpContent(gUrl.c_str(), &content, nullptr);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::free(content);
        if (r != static_cast<int>(kDownload) + 1) {
            state.SkipWithError("short download");
            return;
        }
        state.SetIterationTime(wall);
        wall_sum += wall;
    }
    gWall["call"].push_back(wall_sum / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownload));
}

double thread_cpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void strip(benchmark::State &state, const char *name, const std::string &html)
{
    std::string work;
    double wall_sum = 0, cpu_sum = 0;
    for (auto _ : state) {
        work = html; // the stripper changes its input
        char *out = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu();
        int r = COM_StripHtmlCode(work.data(), &out);
        cpu_sum += thread_cpu() - cpu_start;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(r);
        std::free(out);
        state.SetIterationTime(wall);
        wall_sum += wall;
    }
    gWall[name].push_back(wall_sum / static_cast<double>(state.iterations()));
    gCpu[name].push_back(cpu_sum / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(html.size()));
}

void BM_Strip_1MiB(benchmark::State &state) { strip(state, "strip1", gHtml1); }
void BM_Strip_16MiB(benchmark::State &state) { strip(state, "strip16", gHtml16); }

void register_all()
{
    auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        return benchmark::RegisterBenchmark(name, fn)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Repetitions(9);
    };
    add("BM_DownloadProcess_Library", BM_DownloadProcess_Library)->Iterations(3);
    add("BM_DownloadProcess_curl", BM_DownloadProcess_curl)->Iterations(3);
    add("BM_DownloadCall_Library", BM_DownloadCall_Library)->Iterations(3);
    add("BM_Strip_1MiB", BM_Strip_1MiB)->MinTime(0.2);
    add("BM_Strip_16MiB", BM_Strip_16MiB)->MinTime(0.2);
}

// The same bytes as the file, or a report.
bool same_file(const std::string &path, const char *who)
{
    if (hs::get_file(path) == gData)
        return true;
    std::fprintf(stderr, "%s's download does not match the file\n", who);
    return false;
}

bool set_up()
{
    char dir[] = "/tmp/bench_http-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    gDir = dir;
    ::chmod(dir, 0755);
    const std::string docroot = gDir + "/htdocs";
    ::mkdir(docroot.c_str(), 0755);
    gData.assign(kDownload, '\0');
    std::mt19937_64 rng(5);
    for (size_t i = 0; i + 8 <= gData.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(&gData[i], &v, 8);
    }
    hs::put_file(docroot + "/big.bin", gData);
    gHtml1 = make_html(1u << 20);
    gHtml16 = make_html(16u << 20);

    // nginx on a loopback address of this process's own.
    ::mkdir((gDir + "/nginx").c_str(), 0755);
    const std::string addr = hs::own_loopback();
    const int port = hs::start_on_free_port(addr, [&](int p) {
        return hs::start_nginx(gNginx, gDir + "/nginx", addr, p, docroot, "/private/", "u", "p");
    });
    if (port < 0) {
        std::fprintf(stderr, "nginx did not start: %s\n", hs::get_file(gDir + "/nginx/out.log").c_str());
        return false;
    }
    gUrl = addr + ":" + std::to_string(port) + "/big.bin";
    gCurlUrl = "http://" + gUrl;
    struct stat st{};
    const std::string out = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? std::string("/dev/shm/") : gDir + "/") +
                            "bench_http-" + std::to_string(::getpid());
    gToolOut = out + "-tool";
    gCurlOut = out + "-curl";

    // Both sides fetch the same bytes before they are timed.
    double wall = 0, cpu = 0;
    if (!run_timed({DVRPLAT_HTTP_TOOL, gUrl, gToolOut}, wall, cpu) || !same_file(gToolOut, "http_tool") ||
        !run_timed({"curl", "-s", "-o", gCurlOut, gCurlUrl}, wall, cpu) || !same_file(gCurlOut, "curl"))
        return false;
    return true;
}

void tear_down()
{
    gNginx.stop();
    for (const auto &f : {gToolOut, gCurlOut})
        if (!f.empty())
            ::unlink(f.c_str());
    dvrbench::remove_tree(gDir);
}

} // namespace

int main(int argc, char **argv)
{
    dvrbench::initialize_interleaved(argc, argv);
    if (!set_up()) {
        tear_down();
        return 1;
    }
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    tear_down();

    double tool = 0, curl = 0, tool_cpu = 0, curl_cpu = 0, call = 0, s1 = 0, s16 = 0;
    std::printf("\nRatios (median repetition of each side):\n");
    if (dvrbench::median_of(gWall, "library", tool) && dvrbench::median_of(gWall, "curl", curl)) {
        std::printf("32 MiB from nginx, whole process against whole process: http_tool (library call, body\n"
                    "written to a file) against curl -s -o FILE; start-up, download and file included.\n");
        std::printf("  %-56s %7.1f ms\n", "http_tool, wall time", 1000 * tool);
        std::printf("  %-56s %7.1f ms\n", "http_tool less the client's fixed 30 ms pause", 1000 * (tool - kPauseSeconds));
        std::printf("  %-56s %7.1f ms\n", "curl, wall time", 1000 * curl);
        const double r = (tool - kPauseSeconds) / curl;
        std::printf("  %-56s %7.3f  (required <= 1.20) %s\n", "(http_tool - 30 ms) / curl, wall time", r,
                    r <= 1.2 ? "ok" : "ABOVE");
        if (dvrbench::median_of(gCpu, "library", tool_cpu) && dvrbench::median_of(gCpu, "curl", curl_cpu) && curl_cpu > 0)
            std::printf("  %-56s %7.3f  (%.1f ms / %.1f ms)\n", "http_tool / curl, processor time of the child",
                        tool_cpu / curl_cpu, 1000 * tool_cpu, 1000 * curl_cpu);
    }
    if (dvrbench::median_of(gWall, "call", call))
        std::printf("  %-56s %7.1f ms (%.1f ms less the pause)\n",
                    "for information: the library call alone, in this process", 1000 * call,
                    1000 * (call - kPauseSeconds));
    if (dvrbench::median_of(gWall, "strip1", s1) && dvrbench::median_of(gWall, "strip16", s16)) {
        const double r = s16 / s1;
        std::printf("%-58s %7.3f  (required < 20) %s\n", "stripping 16 MiB / 1 MiB of HTML, wall time of the call", r,
                    r < 20 ? "ok" : "ABOVE");
        // The same in processor time, which a busy machine disturbs less.
        if (dvrbench::median_of(gCpu, "strip1", s1) && dvrbench::median_of(gCpu, "strip16", s16) && s1 > 0)
            std::printf("%-58s %7.3f\n", "  the same in processor time", s16 / s1);
    }
    return 0;
}
