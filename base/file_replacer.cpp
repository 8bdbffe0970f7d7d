// Crash-safe replacement of a file's contents: the new contents go to a new
// file beside the target, are synced, and are renamed over the target, so
// that after a crash or a full disk the target holds either its old or its
// new contents, never a mixture. Where no new file can take the target's
// place, the target is written in place instead.
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

#include "file_replacer.h"
#include "owners.h"
#include "report.h"

namespace dvr {

namespace {

// Symbolic links followed on the way to the file itself (the kernel's own
// limit for one path).
constexpr int kMaxLinkHops = 40;
// Attempts to take the writers' lock of a target that other writers keep
// replacing (or creating) before giving up.
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
        // The name is ours while the writers' lock is held: remove it
        // before the lock goes.
        int saved = errno;
        ::unlink(new_path_.c_str());
        errno = saved;
    }
    fd_.reset();
    lock_.reset();
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

// Takes the writers' lock: an exclusive flock on the target itself when it
// exists, on its directory when it does not. A writer that waited may find
// the name taken by a new file (renamed over it, or created) and tries
// again with that. On success st describes the target locked (exists) or
// the target is still missing (!exists).
bool FileReplacer::lock_target(struct stat &st, bool &exists)
{
    for (int attempt = 0; attempt < kMaxClaims; ++attempt) {
        exists = ::lstat(target_.c_str(), &st) == 0;
        if (!exists && errno != ENOENT)
            return fail("lstat", target_);
        if (exists && !S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : ELOOP; // it changed kind meanwhile
            return fail("open", target_);
        }
        // A writable file may be unreadable: the lock needs either.
        UniqueFd fd;
        const char *locked = exists ? target_.c_str() : dir_.c_str();
        if (exists) {
            fd.reset(::open(locked, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (!fd && errno == EACCES)
                fd.reset(::open(locked, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        } else {
            fd.reset(::open(locked, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!fd) {
            if (exists && (errno == ENOENT || errno == ELOOP))
                continue; // replaced or removed between the look and the open
            return fail("open", locked);
        }
        int rc;
        do
            rc = ::flock(fd.get(), LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0)
            return fail("flock", locked);
        // Still the file of that name, or still no file of that name?
        struct stat mine {}, now {};
        if (::fstat(fd.get(), &mine) != 0)
            return fail("fstat", locked);
        const bool there = ::lstat(target_.c_str(), &now) == 0;
        if (exists ? (!there || now.st_dev != mine.st_dev || now.st_ino != mine.st_ino) : there)
            continue;
        if (exists)
            st = now;
        lock_ = std::move(fd);
        return true;
    }
    errno = EBUSY;
    return fail("flock", target_);
}

// Says why the target is written in place (the call that failed on the
// new file's name).
void FileReplacer::report_fallback() const
{
    DVR_REPORT_TO(report_, "%s(%s) failed : %s : %s written in place\n", fallback_call_, new_path_.c_str(),
                  std::strerror(fallback_err_), target_.c_str());
}

// The target will be written in place at commit().
void FileReplacer::fall_back(const char *call, int err) noexcept
{
    state_ = State::Fallback;
    fallback_call_ = call;
    fallback_err_ = err;
}

// Makes the new file under the lock, or chooses to write in place where no
// new file can be made beside an existing target.
bool FileReplacer::make_new_file(bool exists, int create_mode)
{
    const std::string base = base_of(target_);
    new_path_ = (dir_ == "/" ? std::string("/") : dir_ + "/");
    new_path_ += '.';
    new_path_ += base;
    new_path_ += kNewSuffix;
    if (base.size() + 1 + kNewSuffix.size() > NAME_MAX) {
        if (!exists) {
            errno = ENAMETOOLONG;
            return fail("open", target_);
        }
        fall_back("open", ENAMETOOLONG);
        return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Whatever is under the name was left by a writer that did not
        // finish: the lock holder owns the name.
        if (::unlink(new_path_.c_str()) != 0 && errno != ENOENT && errno != EACCES && errno != EPERM &&
            errno != EROFS)
            return fail("unlink", new_path_);
        // A new target's mode (less the umask) is what open makes of the
        // creation mode; the file stays private until it is complete.
        const mode_t perm = exists ? 0600 : static_cast<mode_t>(create_mode) & 07777;
        UniqueFd fd(::open(new_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, perm));
        if (!fd) {
            const int err = errno;
            if (err == EEXIST)
                continue;
            if (exists && (err == EACCES || err == EPERM || err == ENAMETOOLONG)) {
                fall_back("open", err);
                return true;
            }
            return fail("open", new_path_);
        }
        if (!exists) {
            struct stat st {};
            if (::fstat(fd.get(), &st) != 0 || ::fchmod(fd.get(), 0600) != 0) {
                fd_ = std::move(fd); // so that the name is removed
                return fail("fchmod", new_path_);
            }
            want_mode_ = st.st_mode & 07777;
        }
        fd_ = std::move(fd);
        state_ = State::NewFile;
        return true;
    }
    errno = EEXIST;
    return fail("open", new_path_);
}

bool FileReplacer::open(const char *path, ReplaceLinks links, int create_mode)
{
    abandon();
    committed_ = false;
    written_ = 0;
    want_owner_ = false;
    want_mode_ = 0600;
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
        {
            UniqueFd probe(::open(target_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (probe) {
                struct stat st {};
                if (::fstat(probe.get(), &st) != 0)
                    return fail("fstat", target_);
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
            } else if (create_mode < 0) {
                return fail("open", target_);
            }
        }
        dir_ = dir_of(target_);

        struct stat st {};
        bool exists = false;
        if (!lock_target(st, exists))
            return false;
        if (!exists && create_mode < 0) {
            errno = ENOENT;
            return fail("open", target_);
        }
        // The file's own permission (and a read-only file system) decide
        // as they would for writing it in place.
        if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0)
            return fail("open", target_);
        if (!make_new_file(exists, create_mode))
            return false;
        if (exists && state_ == State::NewFile) {
            want_uid_ = st.st_uid;
            want_gid_ = st.st_gid;
            want_mode_ = st.st_mode & 07777;
            want_owner_ = true;
        }
        return true;
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

// Writes the new contents over the target from its start, then cuts it to
// their length and syncs it: from the new file (from >= 0) or from the
// gathered bytes. written_ becomes what reached the target.
bool FileReplacer::write_in_place(int from)
{
    UniqueFd out(::open(target_.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!out)
        return fail("open", target_);
    written_ = 0;
    if (from < 0) {
        if (!write_fd_all(out.get(), buf_.data(), buf_.size(), written_))
            return fail("write", target_);
    } else {
        char block[kFlushSize / 4];
        for (off_t at = 0;; at += static_cast<off_t>(sizeof block)) {
            ssize_t n;
            do
                n = ::pread(from, block, sizeof block, at);
            while (n < 0 && errno == EINTR);
            if (n < 0)
                return fail("read", new_path_);
            if (n == 0)
                break;
            if (!write_fd_all(out.get(), block, static_cast<size_t>(n), written_))
                return fail("write", target_);
            if (static_cast<size_t>(n) < sizeof block)
                break;
        }
    }
    if (::ftruncate(out.get(), static_cast<off_t>(written_)) != 0)
        return fail("ftruncate", target_);
    if (::fsync(out.get()) != 0)
        return fail("fsync", target_);
    if (::close(out.release()) != 0)
        return fail("close", target_);
    return true;
}

// Owner and group first (a change of owner clears the set-ID bits), then
// the mode.
bool FileReplacer::apply_owner_mode()
{
    if (want_owner_ && ::fchown(fd_.get(), want_uid_, want_gid_) != 0) {
        if (errno != EPERM)
            return fail("fchown", new_path_);
        // Not root: the group alone, where the caller is a member of it.
        if (::fchown(fd_.get(), static_cast<uid_t>(-1), want_gid_) != 0) {
            if (errno != EPERM)
                return fail("fchown", new_path_);
            DVR_REPORT_TO(report_, "fchown(%s) failed : %s : owner and group of %s not kept\n", new_path_.c_str(),
                          std::strerror(errno), target_.c_str());
        }
    }
    if (::fchmod(fd_.get(), want_mode_) != 0)
        return fail("fchmod", new_path_);
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
    if (state_ == State::Fallback) {
        report_fallback();
        if (!write_in_place(-1))
            return false;
        committed_ = true;
        abandon();
        return true;
    }
    if (!flush())
        return false;
    if (!apply_owner_mode())
        return false;
    if (::fsync(fd_.get()) != 0)
        return fail("fsync", new_path_);
    if (::rename(new_path_.c_str(), target_.c_str()) != 0) {
        const int err = errno;
        // A mount point, another file system, a sticky directory: the
        // target stays where it is and takes the contents in place.
        if (err != EBUSY && err != EXDEV && err != EPERM)
            return fail("rename", new_path_);
        fall_back("rename", err);
        report_fallback();
        if (!write_in_place(fd_.get()))
            return false;
        committed_ = true;
        ::unlink(new_path_.c_str()); // still ours: the lock is held
        abandon();
        return true;
    }
    // From here on the target has its new contents; the new name is gone.
    committed_ = true;
    fd_.reset();
    lock_.reset();
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
    want_uid_ = st.st_uid;
    want_gid_ = st.st_gid;
    want_mode_ = st.st_mode & 07777;
    want_owner_ = true;
    return true;
}

} // namespace dvr
