// Runs a call that may never end (a reader fed an endless or blocking
// file) in a child process, so that a test can fail instead of hanging.
#ifndef DVRPLAT_TEST_BOUNDED_CALL_H
#define DVRPLAT_TEST_BOUNDED_CALL_H

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace dvrtest {

// The text f returns, computed in a forked child; nullopt when the child
// has not finished within the bound (it is then killed) or died. The bound
// only ends a failing case: a passing call returns at once.
inline std::optional<std::string> call_in_child(const std::function<std::string()> &f, int bound_seconds = 60)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        ::close(fds[0]);
        std::string text = f();
        std::fflush(nullptr);
        const char *p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fds[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        ::_exit(left == 0 ? 0 : 1);
    }
    ::close(fds[1]);
    std::string text;
    bool ended = false;
    struct timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        long left_ms = bound_seconds * 1000L - waited_ms;
        if (left_ms <= 0)
            break;
        struct pollfd p{fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left_ms));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char b[4096];
        ssize_t n = ::read(fds[0], b, sizeof b);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        text.append(b, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

} // namespace dvrtest

#endif
