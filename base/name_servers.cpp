// The name servers of the board's "/etc/resolv.conf".
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "board_root.h"
#include "name_servers.h"
#include "owners.h"
#include "text.h"

namespace {
constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr size_t kLineSize = 256;
} // namespace

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
