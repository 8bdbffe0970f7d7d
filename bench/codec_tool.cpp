// The library's codecs as command-line tools, for whole-process comparisons
// with md5sum and base64: each reads its file and writes its result to
// standard output the way those tools do.
//   codec_tool md5 FILE       "<digest>  FILE"
//   codec_tool encode FILE    Base64 of the file on one line (base64 -w0)
//   codec_tool decode FILE    the bytes of a Base64 text without line
//                             breaks (base64 -d)
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "COMMON.h"

namespace {

constexpr size_t kEncodeBlock = 3u << 18;  // input bytes per turn: whole groups
constexpr size_t kDecodeBlock = 4u << 18;  // input symbols per turn: whole groups

// Reads until n bytes or the end of the file; the count, or -1.
ssize_t read_full(int fd, void *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char *>(buf) + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool write_full(const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = write(1, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int encode(int fd)
{
    std::vector<unsigned char> in(kEncodeBlock);
    std::vector<char> out(kEncodeBlock / 3 * 4 + 1);
    for (;;) {
        ssize_t n = read_full(fd, in.data(), in.size());
        if (n < 0)
            return 1;
        if (n == 0)
            return 0;
        int m = COM_Base64Encode(out.data(), in.data(), static_cast<int>(n));
        if (m < 0 || !write_full(out.data(), static_cast<size_t>(m)))
            return 1;
    }
}

int decode(int fd)
{
    std::vector<char> in(kDecodeBlock + 1);
    std::vector<unsigned char> out(kDecodeBlock / 4 * 3 + 2);
    for (;;) {
        ssize_t n = read_full(fd, in.data(), kDecodeBlock);
        if (n < 0)
            return 1;
        if (n == 0)
            return 0;
        in[static_cast<size_t>(n)] = '\0';
        int m = COM_Base64Decode(out.data(), in.data());
        if (m < 0 || !write_full(out.data(), static_cast<size_t>(m)))
            return 1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: codec_tool md5|encode|decode FILE\n");
        return 2;
    }
    if (std::strcmp(argv[1], "md5") == 0) {
        char text[33] = {};
        if (COM_MakeFileMD5(text, argv[2]) != 0)
            return 1;
        std::printf("%s  %s\n", text, argv[2]);
        return 0;
    }
    int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    int rc = std::strcmp(argv[1], "encode") == 0 ? encode(fd) : std::strcmp(argv[1], "decode") == 0 ? decode(fd) : 2;
    close(fd);
    return rc;
}
