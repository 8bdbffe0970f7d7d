#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "board_root.h"
#include "fixtures.h"
#include "test_emulator.h"

extern char **environ;
// The ELF header of this very program, placed by the linker.
extern "C" const ElfW(Ehdr) __ehdr_start;

namespace dvrtest {

CaptureStdout::CaptureStdout()
{
    std::fflush(stdout);
    char name[] = "/tmp/dvrplat-capture-XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ < 0)
        throw std::runtime_error("mkstemp failed");
    ::unlink(name);
    saved_ = ::dup(1);
    ::dup2(file_, 1);
}

CaptureStdout::~CaptureStdout() { take(); }

std::string CaptureStdout::take()
{
    if (done_)
        return text_;
    done_ = true;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    off_t end = ::lseek(file_, 0, SEEK_END);
    text_.resize(static_cast<size_t>(end));
    if (end > 0 && ::pread(file_, text_.data(), text_.size(), 0) != end)
        text_.clear();
    ::close(file_);
    return text_;
}

TempDir::TempDir()
{
    char name[] = "/tmp/dvrplat-test-XXXXXX";
    if (!::mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
        // nothing more to do in a destructor
    }
}

void board_root_changed() { dvr::reread_board_root(); }

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : name_(name)
{
    if (const char *v = std::getenv(name)) {
        had_ = true;
        old_ = v;
    }
    ::setenv(name, value.c_str(), 1);
    if (name_ == "DVRPLAT_ROOT")
        board_root_changed();
}

ScopedEnv::~ScopedEnv()
{
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
    if (name_ == "DVRPLAT_ROOT")
        board_root_changed();
}

static void drain(int out, int err, std::string &o, std::string &e)
{
    struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? o : e).append(buf, static_cast<size_t>(n));
            }
        }
    }
}

const std::vector<std::string> &emulator()
{
    // A cross build's programs run under the user-mode emulator, except on
    // the target machine itself: the PowerPC guest of the kernel stage
    // says so with DVRPLAT_TARGET_NATIVE=1.
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w;
        const char *native = std::getenv("DVRPLAT_TARGET_NATIVE");
        if (native && std::strcmp(native, "1") == 0)
            return w;
        for (const char *const *p = kEmulatorWords; *p; ++p)
            w.emplace_back(*p);
        return w;
    }();
    return words;
}

bool emulated() { return !emulator().empty(); }

bool is_target_program(const std::string &path)
{
    if (emulator().empty())
        return false;
    unsigned char h[EI_NIDENT + 4];
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = ::pread(fd, h, sizeof h, 0);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0)
        return false;
    const ElfW(Ehdr) &self = __ehdr_start;
    if (h[EI_CLASS] != self.e_ident[EI_CLASS] || h[EI_DATA] != self.e_ident[EI_DATA])
        return false;
    // e_machine follows e_type, in the file's own byte order, which is ours.
    uint16_t machine;
    std::memcpy(&machine, h + EI_NIDENT + 2, sizeof machine);
    return machine == self.e_machine;
}

std::vector<std::string> target_command(const std::vector<std::string> &argv)
{
    if (argv.empty() || !is_target_program(argv[0]))
        return argv;
    std::vector<std::string> full = emulator();
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

std::string target_shell_command(const std::vector<std::string> &argv)
{
    std::string line;
    for (const auto &word : target_command(argv)) {
        if (!line.empty())
            line += ' ';
        line += '\'';
        for (char c : word) {
            if (c == '\'')
                line += "'\\''";
            else
                line += c;
        }
        line += '\'';
    }
    return line;
}

RunResult run(const std::vector<std::string> &argv_in, const std::vector<std::string> &env, const std::string *input)
{
    const std::vector<std::string> argv = target_command(argv_in);
    RunResult r;
    int outp[2], errp[2], inp[2];
    if (::pipe2(outp, O_CLOEXEC) || ::pipe2(errp, O_CLOEXEC) || ::pipe2(inp, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    for (const auto &kv : env) {
        std::string key = kv.substr(0, kv.find('='));
        std::erase_if(envs, [&](const std::string &x) { return x.compare(0, key.size() + 1, key + "=") == 0; });
        envs.push_back(kv);
    }
    std::vector<char *> cargv, cenv;
    for (const auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto &a : envs)
        cenv.push_back(const_cast<char *>(a.c_str()));
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inp[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
    pid_t pid;
    int rc = ::posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(outp[1]);
    ::close(errp[1]);
    ::close(inp[0]);
    if (rc != 0) {
        ::close(outp[0]);
        ::close(errp[0]);
        ::close(inp[1]);
        r.status = 127;
        r.err = std::string("spawn failed: ") + std::strerror(rc);
        return r;
    }
    if (input) {
        size_t off = 0;
        while (off < input->size()) {
            ssize_t n = ::write(inp[1], input->data() + off, input->size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
    }
    ::close(inp[1]);
    drain(outp[0], errp[0], r.out, r.err);
    ::close(outp[0]);
    ::close(errp[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

RunResult shell(const std::string &command) { return run({"/bin/sh", "-c", command}); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool wait_thread_sleeping(int tid, const char *in, int bound_seconds)
{
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    struct timespec end;
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += bound_seconds;
    for (;;) {
        std::ifstream stat(task + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return false; // the thread has ended
        // "id (name) state ...": the name may hold anything, ')' too.
        const size_t paren = line.rfind(')');
        if (paren != std::string::npos && line.compare(paren, 3, ") S") == 0) {
            std::ifstream wchan_file(task + "/wchan");
            std::string wchan;
            std::getline(wchan_file, wchan);
            if (wchan.empty() || wchan == "0" || wchan.find(in) != std::string::npos)
                return true;
        }
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec))
            return false;
        struct timespec step = {0, 1000000};
        ::nanosleep(&step, nullptr);
    }
}

bool is_root() { return ::geteuid() == 0; }

bool fixtures_required()
{
    const char *v = std::getenv("DVRPLAT_REQUIRE_FIXTURES");
    return v && *v && std::strcmp(v, "0") != 0;
}

void make_dirs(const std::string &path)
{
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (!cur.empty())
            ::mkdir(cur.c_str(), 0755);
    }
}

int count_entries(const char *dir)
{
    DIR *d = ::opendir(dir);
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ++n;
    ::closedir(d);
    return n;
}

int open_descriptors()
{
    int n = count_entries("/proc/self/fd");
    return n < 0 ? -1 : n - 1;
}

} // namespace dvrtest
