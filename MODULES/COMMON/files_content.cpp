// File content helpers: moving a file by copy, rewriting chosen lines,
// fixed-size binary blocks, one-line text files and the identity file.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dvr_internal.h"

// The line-replacement request is a fixed record layout.
static_assert(sizeof(COM_REPLACE_ITEM) == 324);
static_assert(offsetof(COM_REPLACE_ITEM, nKeyLen) == 0);
static_assert(offsetof(COM_REPLACE_ITEM, szKey) == 4);
static_assert(offsetof(COM_REPLACE_ITEM, szReplace) == 164);
static_assert(offsetof(COM_REPLACE_LIST, nItem) == 0);
static_assert(offsetof(COM_REPLACE_LIST, bCheckOnly) == 4);
static_assert(offsetof(COM_REPLACE_LIST, bMatchAnywhere) == 8);
static_assert(offsetof(COM_REPLACE_LIST, bAppend) == 12);
static_assert(offsetof(COM_REPLACE_LIST, pItem) == 16);
static_assert(sizeof(void *) != 4 || sizeof(COM_REPLACE_LIST) == 20);

namespace {

constexpr size_t kCopyBlock = 512;
constexpr size_t kTempNameSize = 80;
constexpr size_t kLineSize = 256;
constexpr size_t kReadBlock = 256;
constexpr size_t kIdPathSize = 80;
constexpr mode_t kFileMode = 0664;
constexpr const char *kUnknown = "unknown";

// Writes all of buf; false on a failure (errno set; ENOSPC when the
// system wrote nothing without saying why). Not noexcept: write is a
// cancellation point, and a cancelled thread unwinds through here.
bool write_all(int fd, const char *buf, size_t len)
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
    }
    return true;
}

ssize_t read_retry(int fd, void *buf, size_t len)
{
    ssize_t n;
    do
        n = ::read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

extern "C" int COM_RenameFile(const char *src, const char *dst)
{
    if (!src || !dst) {
        COM_REPORT("open(%s) failed : %s\n", src ? (dst ? dst : "(null)") : "(null)", std::strerror(EINVAL));
        return -1;
    }
    dvr::UniqueFd in(::open(src, O_RDONLY | O_CLOEXEC));
    if (!in) {
        COM_REPORT("open(%s) failed : %s\n", src, std::strerror(errno));
        return -1;
    }
    // Opening the source itself as the destination would truncate it and
    // the final unlink would then lose it altogether.
    struct stat sst {}, dst_st {};
    if (::fstat(in.get(), &sst) == 0 && ::stat(dst, &dst_st) == 0 && sst.st_dev == dst_st.st_dev &&
        sst.st_ino == dst_st.st_ino) {
        COM_REPORT("open(%s) failed : same file as %s\n", dst, src);
        return -1;
    }
    dvr::UniqueFd out(::open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode));
    if (!out) {
        COM_REPORT("open(%s) failed : %s\n", dst, std::strerror(errno));
        return -1;
    }

    // Every byte read is written, NUL bytes included.
    char block[kCopyBlock];
    for (;;) {
        ssize_t n = read_retry(in.get(), block, sizeof block);
        if (n == 0)
            break;
        if (n < 0) {
            COM_REPORT("read(%s) failed : %s\n", src, std::strerror(errno));
            return -1;
        }
        if (!write_all(out.get(), block, static_cast<size_t>(n))) {
            COM_REPORT("write() failed : %s", std::strerror(errno));
            return -1;
        }
    }
    // A delayed write error shows at close: the copy is not complete then.
    if (::close(out.release()) != 0) {
        COM_REPORT("close(%s) failed : %s\n", dst, std::strerror(errno));
        return -1;
    }
    if (::unlink(src) != 0)
        COM_REPORT("unlink(%s) failed : %s\n", src, std::strerror(errno));
    return 0;
}

extern "C" int COM_ReplaceItemsInFile(const char *path, COM_REPLACE_LIST *list)
{
    if (!path || !list || list->nItem < 0 || (list->nItem > 0 && !list->pItem)) {
        COM_REPORT("input error : (pFileName, pList) = (%p, %p)\n", static_cast<const void *>(path),
                   static_cast<void *>(list));
        return -1;
    }
    COM_REPLACE_ITEM *items = list->pItem;
    const int count = list->nItem;
    for (int i = 0; i < count; ++i) {
        int klen = items[i].nKeyLen;
        if (klen < 0 || klen > COM_REPLACE_KEY_SIZE ||
            ::strnlen(items[i].szReplace, sizeof items[i].szReplace) >= sizeof items[i].szReplace) {
            COM_REPORT("invalid item [%d] : key length %d\n", i, klen);
            return -1;
        }
    }
    const bool check_only = list->bCheckOnly != 0;

    // The temporary file, /var/COM_XXXXXX.
    char var_dir[kTempNameSize];
    char temp_name[kTempNameSize];
    if (!dvr::board_path("/var", var_dir, sizeof var_dir) ||
        std::snprintf(temp_name, sizeof temp_name, "%s/COM_XXXXXX", var_dir) >= static_cast<int>(sizeof temp_name)) {
        COM_REPORT("mkstemp() failed : %s\n", std::strerror(ENAMETOOLONG));
        return -1;
    }
    int tfd = ::mkstemp(temp_name);
    if (tfd < 0) {
        COM_REPORT("mkstemp() failed : %s\n", std::strerror(errno));
        return -1;
    }
    dvr::UniqueFile temp(::fdopen(tfd, "w+"));
    if (!temp) {
        COM_REPORT("fopen(%s) failed : %s\n", temp_name, std::strerror(errno));
        ::close(tfd);
        ::unlink(temp_name);
        return -1;
    }

    int result = 0;
    {
        // Only searched in check-only mode, so read access is enough there.
        dvr::UniqueFile target(std::fopen(path, check_only ? "r" : "r+"));
        if (!target) {
            COM_REPORT("fopen(%s) failed : %s\n", path, std::strerror(errno));
            temp.reset();
            ::unlink(temp_name);
            return -1;
        }

        int matched = 0;
        char piece[kLineSize];
        char key[kLineSize];
        // First pass: match each piece of at most 255 characters.
        for (;;) {
            std::memset(piece, 0, sizeof piece);
            if (!std::fgets(piece, sizeof piece, target.get()))
                break;
            for (int i = 0; i < count; ++i) {
                COM_REPLACE_ITEM &it = items[i];
                if (it.nKeyLen == 0)
                    continue;
                bool hit;
                if (list->bMatchAnywhere) {
                    dvr::copy_cut(key, sizeof key,
                                  std::string_view(it.szKey, ::strnlen(it.szKey, static_cast<size_t>(it.nKeyLen))));
                    hit = std::strstr(piece, key) != nullptr;
                } else {
                    hit = ::strncasecmp(piece, it.szKey, static_cast<size_t>(it.nKeyLen)) == 0;
                }
                if (!hit)
                    continue;
                if (!check_only) {
                    if (it.szReplace[0])
                        std::snprintf(piece, sizeof piece, "%s\n", it.szReplace);
                    else
                        piece[0] = '\0';
                }
                it.nKeyLen = 0;
                ++matched;
                break;
            }
            if (!check_only && piece[0] && std::fputs(piece, temp.get()) == EOF) {
                COM_REPORT("fprintf() fail : %s : %s", std::strerror(errno), piece);
                result = -1;
                break;
            }
        }
        // A read error must not pass for the end of the file: the rest of
        // it would be cut off by the copy-back.
        if (result == 0 && std::ferror(target.get())) {
            COM_REPORT("fgets(%s) error : %s\n", path, std::strerror(errno));
            result = -1;
        }

        if (result == 0 && list->bAppend) {
            for (int i = 0; i < count; ++i) {
                const COM_REPLACE_ITEM &it = items[i];
                if (it.nKeyLen > 0 && it.szReplace[0] && std::fprintf(temp.get(), "%s\n", it.szReplace) < 0) {
                    COM_REPORT("fprintf() fail : %s : %s", std::strerror(errno), it.szReplace);
                    result = -1;
                    break;
                }
            }
        }
        // Buffered writes of the temporary file fail here at the latest.
        if (result == 0 && !check_only && std::fflush(temp.get()) != 0) {
            COM_REPORT("fprintf() fail : %s : %s", std::strerror(errno), temp_name);
            result = -1;
        }

        if (!check_only && result != -1) {
            std::rewind(temp.get());
            std::rewind(target.get());
            long end = 0;
            for (;;) {
                std::memset(piece, 0, sizeof piece);
                if (!std::fgets(piece, sizeof piece, temp.get()))
                    break;
                if (std::fputs(piece, target.get()) == EOF) {
                    result = -1;
                    break;
                }
                end = std::ftell(target.get());
            }
            if (std::ferror(temp.get()) || std::fflush(target.get()) != 0)
                result = -1;
            if (result == -1) {
                long reached = std::ftell(target.get());
                if (reached > end)
                    end = reached;
            }
            if (end >= 0 && ::ftruncate(::fileno(target.get()), static_cast<off_t>(end)) != 0)
                COM_REPORT("truncate(%s) error : %s\n", path, std::strerror(errno));
            if (target.reset() != 0)
                result = -1;
        }
        if (result != -1)
            result = matched;
    }
    temp.reset();
    if (::unlink(temp_name) != 0)
        COM_REPORT("unlink(%s) failed : %s\n", temp_name, std::strerror(errno));
    return result;
}

extern "C" int COM_LoadDataFromFile(const char *path, void *buf, int count)
{
    if (!path || !buf || count < 0) {
        COM_REPORT("input error : (pFileName, pBuf, len) = (%p, %p, %d)\n", static_cast<const void *>(path), buf,
                   count);
        return -1;
    }
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        COM_REPORT("open(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    ssize_t n = ::read(fd, buf, static_cast<size_t>(count));
    int result;
    if (n == count)
        result = 0;
    else if (n > 0) {
        COM_REPORT("read(%s) size failed - %d/%d\n", path, static_cast<int>(n), count);
        result = 1;
    } else
        result = static_cast<int>(n);
    COM_CloseFd(&fd);
    return result;
}

extern "C" int COM_SaveDataIntoFile(const char *path, const void *buf, int count)
{
    if (!path || !buf || count < 0) {
        COM_REPORT("input error : (pFileName, pBuf, len) = (%p, %p, %d)\n", static_cast<const void *>(path), buf,
                   count);
        return -1;
    }
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        COM_REPORT("open(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    errno = 0;
    ssize_t n = ::write(fd, buf, static_cast<size_t>(count));
    int result;
    if (n == count)
        result = 0;
    else if (n > 0) {
        COM_REPORT("write(%s) size failed - %d/%d - %s\n", path, static_cast<int>(n), count, std::strerror(errno));
        result = 1;
    } else
        result = static_cast<int>(n);
    COM_CloseFd(&fd);
    return result;
}

extern "C" int COM_GetFileContent(const char *path, char *buf, int size)
{
    auto fail = [&]() {
        if (buf && size >= 1)
            dvr::copy_cut(buf, static_cast<size_t>(size), kUnknown);
        return -1;
    };
    if (!path || !buf || size < 1) {
        COM_REPORT("input error : (pFileName, pBuf, len) = (%p, %p, %d)\n", static_cast<const void *>(path),
                   static_cast<void *>(buf), size);
        return fail();
    }
    // Opened without waiting: a FIFO without a writer or a device that
    // waits for its line must not hold the call in open. Reads block as
    // usual afterwards (and can be cancelled).
    dvr::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT)
            COM_REPORT("open(%s) error : %s\n", path, std::strerror(errno));
        return fail();
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags != -1)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

    // The first line only: reading stops at its end (CR, LF or NUL) or
    // when the buffer is full, so an endless file ends the call too.
    const size_t cap = static_cast<size_t>(size) - 1; // characters the buffer holds
    size_t used = ::strnlen(buf, cap);
    buf[used] = '\0';
    bool got = false;
    char block[kReadBlock];
    for (;;) {
        ssize_t n = read_retry(fd.get(), block, sizeof block);
        if (n <= 0)
            break;
        got = true;
        size_t take = 0;
        while (take < static_cast<size_t>(n) && block[take] != '\r' && block[take] != '\n' && block[take] != '\0')
            ++take;
        const bool line_end = take < static_cast<size_t>(n);
        if (take > cap - used)
            take = cap - used;
        std::memcpy(buf + used, block, take);
        used += take;
        buf[used] = '\0';
        if (line_end || used == cap)
            break;
    }
    return got ? 0 : fail();
}

extern "C" int COM_SetFileContent(const char *path, const char *text)
{
    if (!path || !text) {
        COM_REPORT("input error : (pFileName, pBuf) = (%p, %p)\n", static_cast<const void *>(path),
                   static_cast<const void *>(text));
        return -1;
    }
    dvr::UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode));
    if (!fd) {
        COM_REPORT("open(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    size_t len = std::strlen(text);
    if (len == 0)
        return -1;
    ssize_t n = ::write(fd.get(), text, len);
    return n > 0 ? 0 : -1;
}

extern "C" int COM_SaveID(const char *dir, const char *id)
{
    if (!dir || !id) {
        COM_REPORT("input error : (pDir, pID) = (%p, %p)\n", static_cast<const void *>(dir),
                   static_cast<const void *>(id));
        return -1;
    }
    char path[kIdPathSize];
    int n = std::snprintf(path, sizeof path, "%s/%s", dir, "ID");
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        COM_REPORT("fopen(%s/%s) error : %s\n", dir, "ID", std::strerror(ENAMETOOLONG));
        return -1;
    }
    dvr::UniqueFile f(std::fopen(path, "w"));
    if (!f) {
        COM_REPORT("fopen(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    size_t len = std::strlen(id);
    size_t written = len ? std::fwrite(id, 1, len, f.get()) : 0;
    // The text reaches the file when the stream is closed.
    if (std::fclose(f.release()) != 0) {
        COM_REPORT("fclose(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    return written > 0 ? 0 : -1;
}
