// Throughput of the MD5 digest and the Base64 codec against references
// measured in the same run, like with like:
//   - a library call against a library call on the same buffers in this
//     process: MD5 of 64 MiB against OpenSSL's MD5, Base64 encoding and
//     decoding of 64 MiB against OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock
//     (libcrypto is loaded at run time: the library never depends on it);
//     time: the calling thread's CPU time for the call alone;
//   - a whole process against a whole process: codec_tool (the library's
//     codecs as a command-line program that reads the file and writes its
//     result as the tool does) against md5sum on a 256 MiB file and
//     base64 -w0 / base64 -d on 64 MiB; output to /dev/null, files in the
//     page cache; time: the child's CPU time (user and system), start-up,
//     reading and writing included.
// Each case runs several repetitions, interleaved; the ratios at the end
// compare the median repetition of each side. On a shared machine wall
// time mostly measures the other load, CPU time the work done.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>

#include "bench_support.h"
#include "COMMON.h"

extern char **environ;

namespace {

constexpr size_t kBuffer = 64u << 20;
constexpr size_t kFile = 256u << 20;

using OpenSslMd5 = unsigned char *(*)(const unsigned char *, size_t, unsigned char *);
using OpenSslBlock = int (*)(unsigned char *, const unsigned char *, int);
OpenSslMd5 openssl_md5 = nullptr;
OpenSslBlock openssl_encode = nullptr;
OpenSslBlock openssl_decode = nullptr;

std::string gDir;
std::string gDataFile;   // 64 MiB of random bytes
std::string gTextFile;   // its Base64 text
std::string gBigFile;    // 256 MiB for the file digest
std::vector<unsigned char> gData;
std::string gText;

std::vector<unsigned char> random_bytes(size_t n)
{
    std::vector<unsigned char> v(n);
    std::mt19937_64 rng(1321);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t r = rng();
        std::memcpy(&v[i], &r, 8);
    }
    return v;
}

bool write_all(const std::string &path, const void *data, size_t n)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) {
            close(fd);
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return close(fd) == 0;
}

// Runs a tool with its standard output thrown away; false on failure.
bool run_tool(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double thread_cpu()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double children_cpu()
{
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    auto secs = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// Times one iteration of the library's work.
template <typename Fn> void timed(benchmark::State &state, Fn &&fn)
{
    double t = thread_cpu();
    fn();
    state.SetIterationTime(thread_cpu() - t);
}

// Times one run of a tool.
void timed_tool(benchmark::State &state, std::vector<std::string> args)
{
    double t = children_cpu();
    if (!run_tool(std::move(args)))
        state.SkipWithError("tool failed");
    state.SetIterationTime(children_cpu() - t);
}

void set_bytes(benchmark::State &state, size_t n)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_Md5_Library(benchmark::State &state)
{
    unsigned char digest[16];
    for (auto _ : state) {
        timed(state, [&] {
            COM_MD5_CTX ctx;
            COM_MD5_Init(&ctx);
            COM_MD5_Update(&ctx, gData.data(), static_cast<uint32_t>(gData.size()));
            COM_MD5_Final(digest, &ctx);
        });
        benchmark::DoNotOptimize(digest);
    }
    set_bytes(state, kBuffer);
}

void BM_Md5_OpenSSL(benchmark::State &state)
{
    unsigned char digest[16];
    for (auto _ : state) {
        timed(state, [&] { openssl_md5(gData.data(), gData.size(), digest); });
        benchmark::DoNotOptimize(digest);
    }
    set_bytes(state, kBuffer);
}

void BM_Md5Process_Library(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {DVRPLAT_CODEC_TOOL, "md5", gBigFile});
    set_bytes(state, kFile);
}

void BM_Md5Process_md5sum(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {"md5sum", gBigFile});
    set_bytes(state, kFile);
}

void BM_Base64Encode_Library(benchmark::State &state)
{
    std::vector<char> out(4 * ((kBuffer + 2) / 3) + 1);
    for (auto _ : state) {
        int n = 0;
        timed(state, [&] { n = COM_Base64Encode(out.data(), gData.data(), static_cast<int>(gData.size())); });
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    set_bytes(state, kBuffer);
}

void BM_Base64Encode_OpenSSL(benchmark::State &state)
{
    std::vector<unsigned char> out(4 * ((kBuffer + 2) / 3) + 1);
    for (auto _ : state) {
        int n = 0;
        timed(state, [&] { n = openssl_encode(out.data(), gData.data(), static_cast<int>(gData.size())); });
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    set_bytes(state, kBuffer);
}

void BM_Base64Decode_Library(benchmark::State &state)
{
    std::vector<unsigned char> out(3 * (gText.size() / 4) + 2);
    for (auto _ : state) {
        int n = 0;
        timed(state, [&] { n = COM_Base64Decode(out.data(), gText.c_str()); });
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    set_bytes(state, kBuffer);
}

void BM_Base64Decode_OpenSSL(benchmark::State &state)
{
    std::vector<unsigned char> out(3 * (gText.size() / 4) + 2);
    const auto *text = reinterpret_cast<const unsigned char *>(gText.data());
    for (auto _ : state) {
        int n = 0;
        timed(state, [&] { n = openssl_decode(out.data(), text, static_cast<int>(gText.size())); });
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    set_bytes(state, kBuffer);
}

void BM_Base64EncodeProcess_Library(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {DVRPLAT_CODEC_TOOL, "encode", gDataFile});
    set_bytes(state, kBuffer);
}

void BM_Base64EncodeProcess_base64(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {"base64", "-w0", gDataFile});
    set_bytes(state, kBuffer);
}

void BM_Base64DecodeProcess_Library(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {DVRPLAT_CODEC_TOOL, "decode", gTextFile});
    set_bytes(state, kBuffer);
}

void BM_Base64DecodeProcess_base64(benchmark::State &state)
{
    for (auto _ : state)
        timed_tool(state, {"base64", "-d", gTextFile});
    set_bytes(state, kBuffer);
}

// Keeps every repetition of every case; the ratios use the medians.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> times; // seconds per iteration

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const auto &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred)
                continue;
            times[r.run_name.function_name].push_back(r.real_accumulated_time /
                                                      static_cast<double>(r.iterations));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    bool median(const std::string &name, double &out) const { return dvrbench::median_of(times, name, out); }
};

void register_all()
{
    auto add = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->UseManualTime()->Repetitions(7)->MinTime(0.3);
    };
    add("BM_Md5_Library", BM_Md5_Library);
    add("BM_Md5_OpenSSL", BM_Md5_OpenSSL);
    add("BM_Base64Encode_Library", BM_Base64Encode_Library);
    add("BM_Base64Encode_OpenSSL", BM_Base64Encode_OpenSSL);
    add("BM_Base64Decode_Library", BM_Base64Decode_Library);
    add("BM_Base64Decode_OpenSSL", BM_Base64Decode_OpenSSL);
    add("BM_Md5Process_Library", BM_Md5Process_Library);
    add("BM_Md5Process_md5sum", BM_Md5Process_md5sum);
    add("BM_Base64EncodeProcess_Library", BM_Base64EncodeProcess_Library);
    add("BM_Base64EncodeProcess_base64", BM_Base64EncodeProcess_base64);
    add("BM_Base64DecodeProcess_Library", BM_Base64DecodeProcess_Library);
    add("BM_Base64DecodeProcess_base64", BM_Base64DecodeProcess_base64);
}

bool set_up()
{
    void *lib = dlopen("libcrypto.so.3", RTLD_NOW);
    if (!lib)
        lib = dlopen("libcrypto.so", RTLD_NOW);
    if (lib) {
        openssl_md5 = reinterpret_cast<OpenSslMd5>(dlsym(lib, "MD5"));
        openssl_encode = reinterpret_cast<OpenSslBlock>(dlsym(lib, "EVP_EncodeBlock"));
        openssl_decode = reinterpret_cast<OpenSslBlock>(dlsym(lib, "EVP_DecodeBlock"));
    }
    if (!openssl_md5 || !openssl_encode || !openssl_decode) {
        std::fprintf(stderr, "OpenSSL's libcrypto (MD5, EVP_EncodeBlock, EVP_DecodeBlock) not found: install libssl-dev\n");
        return false;
    }

    char dir[] = "/tmp/bench_codec-XXXXXX";
    if (!mkdtemp(dir))
        return false;
    gDir = dir;
    gDataFile = gDir + "/data";
    gTextFile = gDir + "/text";
    gBigFile = gDir + "/big";

    gData = random_bytes(kBuffer);
    gText.resize(4 * ((kBuffer + 2) / 3));
    COM_Base64Encode(gText.data(), gData.data(), static_cast<int>(gData.size()));
    auto big = random_bytes(kFile);
    if (!write_all(gDataFile, gData.data(), gData.size()) || !write_all(gTextFile, gText.data(), gText.size()) ||
        !write_all(gBigFile, big.data(), big.size()))
        return false;

    // Both sides agree before they are timed.
    char text[33] = {};
    COM_MakeFileMD5(text, gBigFile.c_str());
    unsigned char digest[16];
    openssl_md5(big.data(), big.size(), digest);
    char expect[33] = {};
    COM_MD5_DigestToString(expect, digest);
    if (std::strcmp(text, expect) != 0) {
        std::fprintf(stderr, "digests differ: %s %s\n", text, expect);
        return false;
    }
    std::vector<unsigned char> theirs(gText.size() + 1);
    if (openssl_encode(theirs.data(), gData.data(), static_cast<int>(gData.size())) !=
            static_cast<int>(gText.size()) ||
        std::memcmp(theirs.data(), gText.data(), gText.size()) != 0) {
        std::fprintf(stderr, "Base64 texts differ\n");
        return false;
    }
    return true;
}

void tear_down()
{
    for (const auto &f : {gDataFile, gTextFile, gBigFile})
        if (!f.empty())
            unlink(f.c_str());
    if (!gDir.empty())
        rmdir(gDir.c_str());
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
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    tear_down();

    auto ratio = [&](const char *what, const char *ours, const char *theirs, double floor) {
        double a = 0, b = 0;
        if (!reporter.median(ours, a) || !reporter.median(theirs, b))
            return;
        double r = b / a; // their time over ours: throughput ratio
        std::printf("  %-40s %6.3f  (required >= %.2f) %s\n", what, r, floor, r >= floor ? "ok" : "BELOW");
    };
    std::printf("\nThroughput ratios, library / reference (median repetition of each side; > 1: library faster)\n");
    std::printf("Call against call, same buffers in this process, CPU time of the call alone:\n");
    ratio("MD5 64 MiB vs OpenSSL MD5", "BM_Md5_Library", "BM_Md5_OpenSSL", 1.0);
    ratio("Base64 encode 64 MiB vs EVP_EncodeBlock", "BM_Base64Encode_Library", "BM_Base64Encode_OpenSSL", 1.5);
    ratio("Base64 decode 64 MiB vs EVP_DecodeBlock", "BM_Base64Decode_Library", "BM_Base64Decode_OpenSSL", 1.5);
    std::printf("Process against process (start-up, reading the cached file, coding, writing to /dev/null),\n"
                "CPU time of the child:\n");
    ratio("codec_tool md5 256 MiB vs md5sum", "BM_Md5Process_Library", "BM_Md5Process_md5sum", 1.0);
    ratio("codec_tool encode 64 MiB vs base64 -w0", "BM_Base64EncodeProcess_Library",
          "BM_Base64EncodeProcess_base64", 1.5);
    ratio("codec_tool decode 64 MiB vs base64 -d", "BM_Base64DecodeProcess_Library",
          "BM_Base64DecodeProcess_base64", 1.5);
    return 0;
}
