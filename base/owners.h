// Owners of kernel and C library handles, the mutex lock and the guard
// that holds off thread cancellation. C++ only, never installed.
#ifndef DVRPLAT_BASE_OWNERS_H
#define DVRPLAT_BASE_OWNERS_H

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <utility>

#include <dirent.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace dvr {

// Holds off thread cancellation for its scope (used where releasing a
// handle must not become a cancellation point).
class NoCancel {
public:
    NoCancel() noexcept { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }
    NoCancel(const NoCancel &) = delete;
    NoCancel &operator=(const NoCancel &) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

// Holds a pthread mutex for its scope. The C library unwinds the stack of a
// cancelled thread, running destructors on the way, so a cancellation at
// any cancellation point inside the scope releases the mutex as well.
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t &m) noexcept : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexLock() { pthread_mutex_unlock(&m_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    pthread_mutex_t &m_;
};

// Owners of kernel and C library handles.

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0) {
            // close() is a cancellation point; an owner may be released
            // while its thread unwinds, so it must not act on a cancel here.
            NoCancel guard;
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class UniqueFile {
public:
    UniqueFile() noexcept = default;
    explicit UniqueFile(FILE *f) noexcept : f_(f) {}
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    UniqueFile(UniqueFile &&o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    UniqueFile &operator=(UniqueFile &&o) noexcept
    {
        if (this != &o) {
            reset();
            f_ = std::exchange(o.f_, nullptr);
        }
        return *this;
    }
    ~UniqueFile() { reset(); }

    FILE *get() const noexcept { return f_; }
    explicit operator bool() const noexcept { return f_ != nullptr; }
    FILE *release() noexcept { return std::exchange(f_, nullptr); }
    // Returns fclose's result (0 when there was nothing to close).
    int reset(FILE *f = nullptr) noexcept
    {
        int rc = 0;
        if (f_) {
            NoCancel guard; // fclose may write out buffered data
            int saved = errno;
            rc = std::fclose(f_);
            errno = saved;
        }
        f_ = f;
        return rc;
    }

private:
    FILE *f_ = nullptr;
};

class UniqueDir {
public:
    UniqueDir() noexcept = default;
    explicit UniqueDir(DIR *d) noexcept : d_(d) {}
    UniqueDir(const UniqueDir &) = delete;
    UniqueDir &operator=(const UniqueDir &) = delete;
    UniqueDir(UniqueDir &&o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
    ~UniqueDir()
    {
        if (d_) {
            NoCancel guard;
            int saved = errno;
            ::closedir(d_);
            errno = saved;
        }
    }
    DIR *get() const noexcept { return d_; }
    explicit operator bool() const noexcept { return d_ != nullptr; }

private:
    DIR *d_ = nullptr;
};

// A memory mapping that unmaps itself.
class Mapping {
public:
    Mapping() noexcept = default;
    Mapping(void *addr, size_t len) noexcept : addr_(addr), len_(len) {}
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    Mapping(Mapping &&o) noexcept
        : addr_(std::exchange(o.addr_, MAP_FAILED)), len_(std::exchange(o.len_, 0)) {}
    ~Mapping()
    {
        if (addr_ != MAP_FAILED)
            ::munmap(addr_, len_);
    }
    void *get() const noexcept { return addr_; }
    size_t size() const noexcept { return len_; }
    bool valid() const noexcept { return addr_ != MAP_FAILED; }
    // Hands the mapping over for the life of the process.
    void *release() noexcept { len_ = 0; return std::exchange(addr_, MAP_FAILED); }

private:
    void *addr_ = MAP_FAILED;
    size_t len_ = 0;
};

} // namespace dvr

#endif
