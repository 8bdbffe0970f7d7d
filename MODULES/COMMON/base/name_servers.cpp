// The name servers of the board's "/etc/resolv.conf", and the line reader
// used for it and for the kernel's tables.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dvr_internal.h"

namespace {
constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr size_t kLineSize = 256;
} // namespace

bool dvr::read_line(FILE *f, char *buf, size_t size, bool &skipped)
{
    skipped = false;
    if (!std::fgets(buf, static_cast<int>(size), f))
        return false;
    size_t len = std::strlen(buf);
    if (len + 1 == size && buf[len - 1] != '\n' && !std::feof(f)) {
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
        }
        skipped = true;
    }
    return true;
}

int dvr::read_name_servers(char (*out)[kNameServerTextSize], int max)
{
    char path[PATH_MAX];
    if (!dvr::board_path(kResolvConf, path, sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    dvr::UniqueFile conf(std::fopen(path, "re"));
    if (!conf)
        return -1;
    static constexpr std::string_view kKey = "nameserver";
    static constexpr const char *kBlanks = " \t";
    char line[kLineSize];
    bool skipped;
    int count = 0;
    // The start of an overlong line still counts: the address comes first.
    while (count < max && read_line(conf.get(), line, sizeof line, skipped)) {
        if (line[0] == '#' || line[0] == ';')
            continue;
        if (std::strncmp(line, kKey.data(), kKey.size()) != 0 ||
            (line[kKey.size()] != ' ' && line[kKey.size()] != '\t'))
            continue;
        const char *word = line + kKey.size();
        word += std::strspn(word, kBlanks);
        const size_t len = std::strcspn(word, " \t\r\n");
        if (len == 0)
            continue;
        dvr::copy_cut(out[count], kNameServerTextSize, std::string_view(word, len));
        ++count;
    }
    return count;
}
