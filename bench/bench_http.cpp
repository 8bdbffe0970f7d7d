// HTTP client and HTML stripping, as ratios measured in one run:
//   - a 32 MiB download from a local nginx with COM_GetHttpContent against
//     curl fetching the same URL into a file on a memory file system (the
//     library keeps the body in memory too; curl into /dev/null is shown as
//     well). The client's fixed 30 ms pause after sending is taken off its
//     time before comparing; curl's time includes starting the program;
//   - COM_StripHtmlCode over 16 MiB of HTML against 1 MiB (a linear
//     stripper takes about 16 times as long).
// Each case runs several repetitions; the ratios compare the fastest
// repetition of each side. Run it on an otherwise idle machine.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../tests/support/http_servers.h"
#include "COMMON.h"

extern char **environ;

namespace {

namespace hs = dvrtest::http;

constexpr size_t kDownload = 32u << 20;
constexpr double kPauseSeconds = 0.030;

std::string gDir;
std::string gUrl;      // host:port/path for the library
std::string gCurlUrl;  // the same for curl
std::string gCurlOut;  // curl's output file, in memory where possible
std::string gHtml1, gHtml16;
hs::ServerProcess gNginx;

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

// curl writes the body to out: a file on a memory file system keeps the
// body in memory as the library does; /dev/null shows curl's bare speed.
bool run_curl(const std::string &out)
{
    std::vector<std::string> args = {"curl", "-s", "-o", out, gCurlUrl};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Download_Library(benchmark::State &state)
{
    for (auto _ : state) {
        char *content = nullptr;
        int r = COM_GetHttpContent(gUrl.c_str(), &content, nullptr);
        std::free(content);
        if (r != static_cast<int>(kDownload) + 1)
            state.SkipWithError("short download");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownload));
}

void curl_download(benchmark::State &state, const std::string &out)
{
    for (auto _ : state)
        if (!run_curl(out))
            state.SkipWithError("curl failed");
    // Only the scratch copy is ours to remove, never the null device.
    if (out == gCurlOut)
        ::unlink(out.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownload));
}

void BM_Download_curl_to_memory(benchmark::State &state) { curl_download(state, gCurlOut); }
void BM_Download_curl_to_null(benchmark::State &state) { curl_download(state, "/dev/null"); }

void strip(benchmark::State &state, const std::string &html)
{
    std::string work;
    for (auto _ : state) {
        state.PauseTiming();
        work = html; // the stripper changes its input
        state.ResumeTiming();
        char *out = nullptr;
        int r = COM_StripHtmlCode(work.data(), &out);
        benchmark::DoNotOptimize(r);
        std::free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(html.size()));
}

void BM_Strip_1MiB(benchmark::State &state) { strip(state, gHtml1); }
void BM_Strip_16MiB(benchmark::State &state) { strip(state, gHtml16); }

class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> best;     // real seconds per iteration
    std::map<std::string, double> best_cpu; // processor seconds per iteration

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const auto &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            std::string name = r.run_name.function_name;
            keep(best, name, r.real_accumulated_time / static_cast<double>(r.iterations));
            keep(best_cpu, name, r.cpu_accumulated_time / static_cast<double>(r.iterations));
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    static void keep(std::map<std::string, double> &m, const std::string &name, double secs)
    {
        auto it = m.find(name);
        if (it == m.end() || secs < it->second)
            m[name] = secs;
    }
};

void register_all()
{
    auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        return benchmark::RegisterBenchmark(name, fn)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(5)
            ->MinTime(0.2);
    };
    add("BM_Download_Library", BM_Download_Library)->Repetitions(10);
    add("BM_Download_curl_to_memory", BM_Download_curl_to_memory)->Repetitions(10);
    add("BM_Download_curl_to_null", BM_Download_curl_to_null)->Repetitions(10);
    add("BM_Strip_1MiB", BM_Strip_1MiB)->Repetitions(10);
    add("BM_Strip_16MiB", BM_Strip_16MiB)->Repetitions(10);
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
    std::string data(kDownload, '\0');
    std::mt19937_64 rng(5);
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    hs::put_file(docroot + "/big.bin", data);
    gHtml1 = make_html(1u << 20);
    gHtml16 = make_html(16u << 20);

    ::mkdir((gDir + "/nginx").c_str(), 0755);
    int port = hs::free_port("127.0.0.1");
    if (!hs::start_nginx(gNginx, gDir + "/nginx", "127.0.0.1", port, docroot, "/private/", "u", "p")) {
        std::fprintf(stderr, "nginx did not start: %s\n", hs::get_file(gDir + "/nginx/out.log").c_str());
        return false;
    }
    gUrl = "127.0.0.1:" + std::to_string(port) + "/big.bin";
    gCurlUrl = "http://" + gUrl;
    struct stat st{};
    gCurlOut = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? std::string("/dev/shm/") : gDir + "/") +
               "bench_http-curl-" + std::to_string(::getpid());

    // Both sides fetch the same bytes before they are timed.
    char *content = nullptr;
    int r = COM_GetHttpContent(gUrl.c_str(), &content, nullptr);
    bool same = r == static_cast<int>(kDownload) + 1 && std::memcmp(content, data.data(), kDownload) == 0;
    std::free(content);
    if (!same || !run_curl("/dev/null")) {
        std::fprintf(stderr, "the download does not match the file (result %d)\n", r);
        return false;
    }
    return true;
}

void tear_down()
{
    gNginx.stop();
    if (!gDir.empty()) {
        std::string cmd = "rm -rf '" + gDir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", gDir.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (!set_up()) {
        tear_down();
        return 1;
    }
    register_all();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    tear_down();

    auto get = [&](const char *name, double &v) {
        auto it = reporter.best.find(name);
        if (it == reporter.best.end())
            return false;
        v = it->second;
        return true;
    };
    double lib = 0, curl = 0, s1 = 0, s16 = 0;
    std::printf("\nRatios (fastest repetition of each):\n");
    if (get("BM_Download_Library", lib) && get("BM_Download_curl_to_memory", curl)) {
        double r = (lib - kPauseSeconds) / curl;
        std::printf("%-52s %6.3f  (required <= 1.50) %s\n",
                    "32 MiB from nginx: (library - 30 ms) / curl to memory", r, r <= 1.5 ? "ok" : "ABOVE");
    }
    if (get("BM_Download_Library", lib) && get("BM_Download_curl_to_null", curl))
        std::printf("%-52s %6.3f\n", "  the same against curl to /dev/null", (lib - kPauseSeconds) / curl);
    if (get("BM_Strip_1MiB", s1) && get("BM_Strip_16MiB", s16)) {
        double r = s16 / s1;
        std::printf("%-52s %6.3f  (required < 20) %s\n", "stripping 16 MiB / 1 MiB of HTML", r,
                    r < 20 ? "ok" : "ABOVE");
        // The same in processor time, which a busy machine disturbs less.
        auto c1 = reporter.best_cpu.find("BM_Strip_1MiB"), c16 = reporter.best_cpu.find("BM_Strip_16MiB");
        if (c1 != reporter.best_cpu.end() && c16 != reporter.best_cpu.end())
            std::printf("%-52s %6.3f\n", "  the same in processor time", c16->second / c1->second);
    }
    return 0;
}
