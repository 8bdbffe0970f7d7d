// Helpers shared by the test programs.
#ifndef DVRPLAT_TEST_SUPPORT_H
#define DVRPLAT_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "kernel_guest.h" // DVRTEST_SKIP_IN_BOARD_GUEST

namespace dvrtest {

// Captures everything written to file descriptor 1 (C stdio included)
// between construction and take().
class CaptureStdout {
public:
    CaptureStdout();
    ~CaptureStdout();
    CaptureStdout(const CaptureStdout &) = delete;
    CaptureStdout &operator=(const CaptureStdout &) = delete;
    std::string take(); // stops capturing and returns the text

private:
    int saved_ = -1;
    int file_ = -1;
    bool done_ = false;
    std::string text_;
};

// A fresh temporary directory, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Tells the library that DVRPLAT_ROOT changed (it reads the board root
// once): ScopedEnv does so itself; a test that sets the variable otherwise
// calls this after.
void board_root_changed();

// Sets an environment variable for the scope, restoring it after.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Runs argv[0] with the given arguments (no shell), with extra environment
// entries "NAME=value" added. Standard input is /dev/null unless input is given.
RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
              const std::string *input = nullptr);

// Runs a shell command line; returns its exit status and output.
RunResult shell(const std::string &command);

// In a cross build the test programs run under an emulator; so must every
// program built for the target that a test starts. run() does that by
// itself. These are for tests that build command lines of their own.
// The emulator command (empty in a native build).
const std::vector<std::string> &emulator();
// Whether path names an executable built for this test program's own
// machine type and byte order while the tests run under emulation.
bool is_target_program(const std::string &path);
// argv with the emulator put in front when argv[0] is a target program.
std::vector<std::string> target_command(const std::vector<std::string> &argv);
// The same as one shell-quoted command line, for shell().
std::string target_shell_command(const std::vector<std::string> &argv);

// Whether this test program itself runs under the emulator (cross build).
bool emulated();

// Thread cancellation works under the emulator too, also for a thread
// blocked in a system call: support/emulator_unwind.cpp gives the unwinder
// what it needs to step through the emulator's signal frames.

// Waits until thread `tid` of this process sleeps in a system call: its
// state is "S" and, where the kernel names the function a sleeping thread
// waits in (/proc/.../wchan), that name contains `in` ("nanosleep",
// "pipe_write"). False when the thread has ended or did not sleep there
// within bound_seconds.
bool wait_thread_sleeping(int tid, const char *in, int bound_seconds = 60);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool is_root();
// Entries of a directory other than "." and "..", or -1 when it cannot be
// read ("/proc/self/task": this process's threads).
int count_entries(const char *dir);
// Descriptors this process has open (the listing's own not counted).
int open_descriptors();
// mkdir -p
void make_dirs(const std::string &path);

} // namespace dvrtest

#endif
