// The library's HTTP client as a command-line program, for whole-process
// comparisons with curl -s -o FILE: fetches the URL into memory with
// COM_GetHttpContent and writes the body to the file.
//   http_tool host[:port]/path FILE
// Exit status 0 when a body was fetched and written, 1 otherwise.
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "COMMON.h"

namespace {

bool write_file(const char *path, const char *data, size_t n)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w <= 0) {
            close(fd);
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return close(fd) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s host[:port]/path FILE\n", argv[0]);
        return 2;
    }
    char *content = nullptr;
    const int r = COM_GetHttpContent(argv[1], &content, nullptr);
    // The result counts the terminating NUL.
    const bool ok = r > 0 && content && write_file(argv[2], content, static_cast<size_t>(r - 1));
    std::free(content);
    return ok ? 0 : 1;
}
