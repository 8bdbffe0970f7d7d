// Directory trees and links: making paths, emptying and removing
// directories, removing the file behind a link, making links.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boundary.h"
#include "owners.h"
#include "report.h"
#include "text.h"

namespace {

constexpr size_t kPathBufSize = 256; // a path prefix or an entry path
constexpr size_t kLinkBufSize = 256; // a link's target

bool only_slashes(const char *path) noexcept
{
    if (!*path)
        return false;
    for (const char *p = path; *p; ++p)
        if (*p != '/')
            return false;
    return true;
}

// True when dir names the root directory, however it is spelt ("/", "//",
// "/tmp/..", a link to "/").
bool is_root_dir(const char *dir) noexcept
{
    if (only_slashes(dir))
        return true;
    struct stat st {}, root {};
    return ::stat(dir, &st) == 0 && ::stat("/", &root) == 0 && st.st_dev == root.st_dev &&
           st.st_ino == root.st_ino;
}

// True when the directory open at fd is the root of a mount (a file system
// of its own, or a directory bound there from the same one).
bool is_mount_root(int fd, const struct stat &parent) noexcept
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_dev != parent.st_dev)
        return true;
    struct statx stx {};
    return ::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) == 0 &&
           (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Empties the directory open at fd (dir names it in reports; fd is taken
// over) and gives the number of entries that could not be removed. Every
// entry is looked at and removed relative to the directory's descriptor and
// subdirectories are opened without following links, so a directory that
// is renamed or swapped for a link while the walk runs never leads it out
// of the tree. A file system mounted inside the tree is not entered.
int empty_dir(int recursive, int fd, const char *dir, const dvr::Reporter &report)
{
    DIR *raw = ::fdopendir(fd);
    if (!raw) {
        int err = errno;
        {
            dvr::NoCancel guard;
            ::close(fd);
        }
        DVR_REPORT_TO(report, "opendir(%s) error : %s\n", dir, std::strerror(err));
        return 0;
    }
    dvr::UniqueDir d(raw);
    const int dfd = ::dirfd(raw);
    struct stat self {};
    if (::fstat(dfd, &self) != 0) {
        DVR_REPORT_TO(report, "stat(%s) error : %s\n", dir, std::strerror(errno));
        return 1;
    }

    int failed = 0;
    while (struct dirent *e = ::readdir(d.get())) {
        const char *name = e->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..") || !std::strcmp(name, "lost+found"))
            continue;
        char path[kPathBufSize];
        int n = std::snprintf(path, sizeof path, "%s/%s", dir, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            DVR_REPORT_TO(report, "path too long : %s/%s\n", dir, name);
            ++failed;
            continue;
        }
        struct stat st {};
        if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            DVR_REPORT_TO(report, "stat(%s) error : %s\n", path, std::strerror(errno));
            ++failed;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(dfd, name, 0) != 0) {
                DVR_REPORT_TO(report, "unlink(%s) error : %s\n", path, std::strerror(errno));
                ++failed;
            }
            continue;
        }
        if (recursive != 1)
            continue;
        int sub = ::openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (sub < 0) {
            DVR_REPORT_TO(report, "opendir(%s) error : %s\n", path, std::strerror(errno));
            continue;
        }
        if (is_mount_root(sub, self)) {
            ::close(sub);
            DVR_REPORT_TO(report, "rmdir(%s) error : %s\n", path, std::strerror(EBUSY));
            ++failed;
            continue;
        }
        failed += empty_dir(1, sub, path, report);
        if (::unlinkat(dfd, name, AT_REMOVEDIR) != 0)
            DVR_REPORT_TO(report, "rmdir(%s) error : %s\n", path, std::strerror(errno));
    }
    return failed;
}

// Empties and removes dir. The top directory is opened as given (a link
// given by the caller is followed).
int remove_in_dir(int recursive, const char *dir, const dvr::Reporter &report)
{
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        DVR_REPORT_TO(report, "opendir(%s) error : %s\n", dir, std::strerror(errno));
        return 0;
    }
    int failed = empty_dir(recursive, fd, dir, report);
    if (::rmdir(dir) != 0)
        DVR_REPORT_TO(report, "rmdir(%s) error : %s\n", dir, std::strerror(errno));
    return failed;
}

} // namespace

extern "C" int COM_Mkdir(const char *path, mode_t mode)
try {
    if (!path) {
        COM_REPORT("mkdir(%s) error : %s\n", "(null)", std::strerror(EINVAL));
        return -1;
    }
    size_t len = std::strlen(path);
    if (len >= kPathBufSize) {
        COM_REPORT("mkdir(%s) error : %s\n", path, std::strerror(ENAMETOOLONG));
        return -1;
    }

    char prefix[kPathBufSize];
    for (size_t i = 0; i < len; ++i) {
        if (path[i] != '/')
            continue;
        std::memcpy(prefix, path, i + 1);
        prefix[i + 1] = '\0';
        if (::mkdir(prefix, mode) != 0 && errno != EEXIST) {
            COM_REPORT("mkdir(%s) error : %s\n", prefix, std::strerror(errno));
            return -1;
        }
    }
    if (::mkdir(path, mode) != 0 && errno != EEXIST) {
        COM_REPORT("mkdir(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_RemoveFileInDir(int bRecursive, const char *dir)
try {
    // The root directory is never emptied.
    if (!dir || is_root_dir(dir)) {
        COM_REPORT("opendir(%s) error : %s\n", dir ? dir : "(null)", std::strerror(EINVAL));
        return 0;
    }
    return remove_in_dir(bRecursive, dir, DVR_REPORTER("MODULES/COMMON"));
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_RemoveRealFile(const char *path)
try {
    if (!path) {
        COM_REPORT("stat(%s) error : %s\n", "(null)", std::strerror(EINVAL));
        return -1;
    }
    struct stat st {};
    if (::stat(path, &st) != 0) {
        COM_REPORT("stat(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }

    char target[kLinkBufSize] = {};
    ssize_t n = ::readlink(path, target, sizeof target);
    if (n < 0) {
        if (errno != EINVAL)
            COM_REPORT("realpath(%s) failed : %s\n", path, std::strerror(errno));
        // Not a link (or unreadable): the path itself is the file.
        if (!dvr::copy_bounded(target, sizeof target, path)) {
            COM_REPORT("path too long : %s\n", path);
            return -1;
        }
    } else if (static_cast<size_t>(n) >= sizeof target) {
        // The target did not fit with its terminator: never unlink a cut name.
        COM_REPORT("link target too long : %s\n", path);
        return -1;
    }

    // A relative link target names a file in the link's own directory.
    dvr::UniqueFd dir;
    char shown[2 * kLinkBufSize];
    dvr::copy_cut(shown, sizeof shown, target);
    if (n >= 0 && target[0] != '/') {
        const char *slash = std::strrchr(path, '/');
        if (slash) {
            std::string_view dir_name(path, slash == path ? 1 : static_cast<size_t>(slash - path));
            char dir_path[PATH_MAX];
            if (!dvr::copy_bounded(dir_path, sizeof dir_path, dir_name)) {
                COM_REPORT("path too long : %s\n", path);
                return -1;
            }
            dir.reset(::open(dir_path, O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!dir) {
                COM_REPORT("unlink(%s) failed : %s\n", target, std::strerror(errno));
                return -1;
            }
            // For the reports: the directory, a slash and the target, cut to fit.
            std::string_view parts[] = {slash == path ? std::string_view() : dir_name, "/", target};
            size_t used = 0;
            for (std::string_view part : parts) {
                dvr::copy_cut(shown + used, sizeof shown - used, part);
                used += std::strlen(shown + used);
            }
        }
    }
    if (::unlinkat(dir ? dir.get() : AT_FDCWD, target, 0) != 0) {
        COM_REPORT("unlink(%s) failed : %s\n", shown, std::strerror(errno));
        return -1;
    }
    COM_REPORT("unlink ok : [%s] - [%s]\n", path, shown);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_CreateSymbolLink(int bForce, const char *target, const char *link)
try {
    if (!target || !link) {
        COM_REPORT("symlink(%s, %s) fail : %s\n", target ? target : "(null)", link ? link : "(null)",
                   std::strerror(EINVAL));
        return -1;
    }
    struct stat st {};
    if (::stat(target, &st) == 0)
        bForce = 1;
    if (bForce) {
        COM_REPORT("Force unlink(%s)\n", link);
        (void)::unlink(link);
    }
    if (::symlink(target, link) != 0) {
        COM_REPORT("symlink(%s, %s) fail : %s\n", target, link, std::strerror(errno));
        return -1;
    }
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
