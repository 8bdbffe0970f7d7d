// Crash-safe replacement of a file's contents: the new contents go to a new
// file beside the target, are synced, and are renamed over the target, so
// that after a crash or a full disk the target holds either its old or its
// new contents, never a mixture.
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "dvr_internal.h"

namespace dvr {

namespace {

// Symbolic links followed on the way to the file itself (the kernel's own
// limit for one path).
constexpr int kMaxLinkHops = 40;
// Attempts to take the new file's name from other writers of the same
// target before giving up.
constexpr int kMaxClaims = 1000;
// Bytes gathered before they are handed to the new file.
constexpr size_t kFlushSize = 65536;
// Suffix of the new file's name: "<dir>/.<name>" followed by it.
constexpr std::string_view kNewSuffix = ".dvrnew~";

// File systems whose files drive the kernel instead of storing data.
bool pseudo_fs(int fd) noexcept
{
    struct statfs sfs {};
    if (::fstatfs(fd, &sfs) != 0)
        return false;
    const auto magic = static_cast<unsigned long>(sfs.f_type) & 0xffffffffUL;
    static constexpr unsigned long kMagic[] = {
        PROC_SUPER_MAGIC, SYSFS_MAGIC,  DEBUGFS_MAGIC,     TRACEFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
        SECURITYFS_MAGIC, DEVPTS_SUPER_MAGIC, BPF_FS_MAGIC, PSTOREFS_MAGIC, EFIVARFS_MAGIC, SELINUX_MAGIC,
        USBDEVICE_SUPER_MAGIC, BINFMTFS_MAGIC, 0x62656570UL /* configfs */, 0x65735543UL /* fusectl */,
    };
    for (unsigned long m : kMagic)
        if (magic == (m & 0xffffffffUL))
            return true;
    return false;
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool write_fd_all(int fd, const char *buf, size_t len, size_t &done)
{
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

FileReplacer::~FileReplacer()
{
    abandon();
}

bool FileReplacer::fail(const char *call, const std::string &path) noexcept
{
    int saved = errno;
    call_ = call;
    try {
        failed_path_ = path;
    } catch (...) {
        failed_path_.clear();
    }
    abandon();
    errno = saved;
    return false;
}

void FileReplacer::abandon() noexcept
{
    if (fd_.valid() && !committed_) {
        // The name is ours while the lock on the file is held: remove it
        // before the lock goes with the descriptor.
        int saved = errno;
        ::unlink(new_path_.c_str());
        errno = saved;
    }
    fd_.reset();
    buf_.clear();
    state_ = State::Idle;
}

bool FileReplacer::resolve(const char *path, ReplaceLinks links)
{
    target_ = path;
    if (links == ReplaceLinks::Refuse)
        return true;
    // Follow the links to the file they name. A relative target is taken
    // from the link's own directory.
    for (int hop = 0;; ++hop) {
        struct stat st {};
        if (::lstat(target_.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return true; // a dangling link: the file is made where it points
            return fail("lstat", target_);
        }
        if (!S_ISLNK(st.st_mode))
            return true;
        if (hop == kMaxLinkHops) {
            errno = ELOOP;
            return fail("readlink", target_);
        }
        char buf[PATH_MAX];
        ssize_t n = ::readlink(target_.c_str(), buf, sizeof buf);
        if (n < 0)
            return fail("readlink", target_);
        if (static_cast<size_t>(n) >= sizeof buf) {
            errno = ENAMETOOLONG;
            return fail("readlink", target_);
        }
        std::string next(buf, static_cast<size_t>(n));
        if (next.empty()) {
            errno = ENOENT;
            return fail("readlink", target_);
        }
        if (next.front() != '/') {
            std::string dir = dir_of(target_);
            next = (dir == "/" ? std::string("/") : dir + "/") + next;
        }
        target_ = std::move(next);
    }
}

// Takes the new file's name: creates it, or waits for the writer that
// holds it and then removes what a crashed writer left behind.
bool FileReplacer::claim_new_file(mode_t perm)
{
    for (int attempt = 0; attempt < kMaxClaims; ++attempt) {
        bool fresh = true;
        UniqueFd fd(::open(new_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, perm));
        if (!fd) {
            if (errno != EEXIST)
                return fail("open", new_path_);
            fresh = false;
            fd.reset(::open(new_path_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!fd) {
                if (errno == ENOENT)
                    continue; // its writer just finished
                return fail("open", new_path_);
            }
        }
        int rc;
        do
            rc = ::flock(fd.get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0)
            return fail("flock", new_path_);
        // Still the file of that name? Another writer may have renamed or
        // removed it while this one waited.
        struct stat mine {}, named {};
        if (::fstat(fd.get(), &mine) != 0)
            return fail("fstat", new_path_);
        if (::lstat(new_path_.c_str(), &named) != 0 || named.st_dev != mine.st_dev || named.st_ino != mine.st_ino)
            continue;
        if (!fresh) {
            // Left behind by a writer that never finished.
            if (::unlink(new_path_.c_str()) != 0)
                return fail("unlink", new_path_);
            continue;
        }
        fd_ = std::move(fd);
        return true;
    }
    errno = EBUSY;
    return fail("open", new_path_);
}

bool FileReplacer::open(const char *path, ReplaceLinks links, int create_mode)
{
    abandon();
    committed_ = false;
    written_ = 0;
    call_ = "";
    failed_path_.clear();
    if (!path || !*path) {
        errno = EINVAL;
        return fail("open", path ? path : "(null)");
    }
    try {
        if (!resolve(path, links))
            return false;

        // What is there now. O_PATH opens nothing: no permission is needed,
        // a FIFO does not block and a link is looked at, not followed.
        struct stat st {};
        bool exists = false;
        {
            UniqueFd probe(::open(target_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (probe) {
                if (::fstat(probe.get(), &st) != 0)
                    return fail("fstat", target_);
                exists = true;
                if (S_ISLNK(st.st_mode)) {
                    errno = ELOOP; // a link appeared, or links are refused
                    return fail("open", target_);
                }
                if (S_ISDIR(st.st_mode)) {
                    errno = EISDIR;
                    return fail("open", target_);
                }
                bool in_place = !S_ISREG(st.st_mode) || pseudo_fs(probe.get());
                if (in_place) {
                    if (links == ReplaceLinks::Refuse) {
                        errno = EINVAL; // only stored regular files are replaced
                        return fail("open", target_);
                    }
                    state_ = State::InPlace;
                    return true;
                }
            } else if (errno != ENOENT) {
                return fail("open", target_);
            }
        }
        if (!exists && create_mode < 0) {
            errno = ENOENT;
            return fail("open", target_);
        }
        // The file's own permission (and a read-only file system) decide
        // as they would for writing it in place.
        if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0)
            return fail("open", target_);

        std::string base = base_of(target_);
        if (base.size() + 1 + kNewSuffix.size() > NAME_MAX) {
            errno = ENAMETOOLONG;
            return fail("open", target_);
        }
        dir_ = dir_of(target_);
        new_path_ = (dir_ == "/" ? std::string("/") : dir_ + "/");
        new_path_ += '.';
        new_path_ += base;
        new_path_ += kNewSuffix;

        // A new target gets the creation mode (less the umask) from open;
        // an existing one's mode, owner and group are copied below.
        if (!claim_new_file(exists ? 0600 : static_cast<mode_t>(create_mode) & 07777))
            return false;
        state_ = State::NewFile;
        return !exists || set_owner_mode(st);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return fail("open", path);
    }
}

bool FileReplacer::flush()
{
    if (state_ != State::NewFile || buf_.empty())
        return true;
    size_t done = 0;
    bool ok = write_fd_all(fd_.get(), buf_.data(), buf_.size(), done);
    written_ += done;
    buf_.clear();
    return ok ? true : fail("write", new_path_);
}

bool FileReplacer::write(const void *data, size_t len)
{
    if (state_ == State::Idle) {
        errno = EBADF;
        return fail("write", target_);
    }
    try {
        buf_.append(static_cast<const char *>(data), len);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return fail("write", state_ == State::NewFile ? new_path_ : target_);
    }
    if (buf_.size() >= kFlushSize)
        return flush();
    return true;
}

bool FileReplacer::commit()
{
    if (state_ == State::Idle) {
        errno = EBADF;
        return fail("write", target_);
    }
    if (state_ == State::InPlace) {
        // Device nodes and kernel files take the whole text in one open.
        UniqueFd fd(::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (!fd)
            return fail("open", target_);
        size_t done = 0;
        bool ok = write_fd_all(fd.get(), buf_.data(), buf_.size(), done);
        written_ += done;
        if (!ok)
            return fail("write", target_);
        int closed;
        {
            // A cancel pending here would leave the given-up descriptor open.
            NoCancel guard;
            closed = ::close(fd.release());
        }
        if (closed != 0)
            return fail("close", target_);
        committed_ = true;
        abandon();
        return true;
    }
    if (!flush())
        return false;
    if (::fsync(fd_.get()) != 0)
        return fail("fsync", new_path_);
    if (::rename(new_path_.c_str(), target_.c_str()) != 0)
        return fail("rename", new_path_);
    // From here on the target has its new contents; the new name is gone.
    committed_ = true;
    fd_.reset();
    state_ = State::Idle;
    UniqueFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || (::fsync(dir.get()) != 0 && errno != EINVAL)) {
        int saved = errno;
        call_ = "fsync";
        try {
            failed_path_ = dir_;
        } catch (...) {
            failed_path_.clear();
        }
        errno = saved;
        return false;
    }
    return true;
}

bool FileReplacer::set_owner_mode(const struct stat &st)
{
    if (state_ != State::NewFile)
        return true;
    if (::fchown(fd_.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return fail("fchown", new_path_);
    if (::fchmod(fd_.get(), st.st_mode & 07777) != 0)
        return fail("fchmod", new_path_);
    return true;
}

} // namespace dvr
