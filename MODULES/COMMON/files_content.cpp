// File content helpers: moving a file by copy, rewriting chosen lines,
// fixed-size binary blocks, one-line text files and the identity file.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boundary.h"
#include "file_replacer.h"
#include "owners.h"
#include "report.h"
#include "text.h"

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
constexpr size_t kReadBlock = 256;
constexpr size_t kIdPathSize = 80;
constexpr mode_t kFileMode = 0664;
constexpr const char *kUnknown = "unknown";

ssize_t read_retry(int fd, void *buf, size_t len)
{
    ssize_t n;
    do
        n = ::read(fd, buf, len);
    while (n < 0 && errno == EINTR);
    return n;
}

} // namespace

namespace {

// Frees the line buffer getline grows.
struct LineBuffer {
    char *text = nullptr;
    size_t cap = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(text); }
};

// Does the line match the item? The key, cut to its key length, stands
// anywhere in the line (case-sensitive) or at its start (any case).
bool item_matches(const COM_REPLACE_ITEM &it, std::string_view line, bool anywhere) noexcept
{
    const size_t klen = ::strnlen(it.szKey, static_cast<size_t>(it.nKeyLen));
    if (anywhere)
        return line.find(std::string_view(it.szKey, klen)) != std::string_view::npos;
    // Compared like strncasecmp over the key length: a key shorter than
    // its length must be followed by the end of the line's text.
    const size_t n = static_cast<size_t>(it.nKeyLen);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char a = i < line.size() ? static_cast<unsigned char>(line[i]) : 0;
        const unsigned char b = i < klen ? static_cast<unsigned char>(it.szKey[i]) : 0;
        if (std::tolower(a) != std::tolower(b))
            return false;
        if (a == 0)
            return true;
    }
    return true;
}

void report_replace_failure(const dvr::Reporter &report, const dvr::FileReplacer &rep)
{
    DVR_REPORT_TO(report, "%s(%s) failed : %s\n", rep.failed_call(), rep.failed_path(), std::strerror(errno));
}

} // namespace

extern "C" int COM_RenameFile(const char *src, const char *dst)
try {
    if (!src || !dst) {
        COM_REPORT("open(%s) failed : %s\n", src ? (dst ? dst : "(null)") : "(null)", std::strerror(EINVAL));
        return -1;
    }
    dvr::UniqueFd in(::open(src, O_RDONLY | O_CLOEXEC));
    if (!in) {
        COM_REPORT("open(%s) failed : %s\n", src, std::strerror(errno));
        return -1;
    }
    // Replacing the source itself by its copy and then unlinking it would
    // lose it altogether.
    struct stat sst {}, dst_st {};
    if (::fstat(in.get(), &sst) != 0) {
        COM_REPORT("open(%s) failed : %s\n", src, std::strerror(errno));
        return -1;
    }
    if (::stat(dst, &dst_st) == 0 && sst.st_dev == dst_st.st_dev && sst.st_ino == dst_st.st_ino) {
        COM_REPORT("open(%s) failed : same file as %s\n", dst, src);
        return -1;
    }
    // The copy takes the source's mode, owner and group, and replaces the
    // destination only once it is complete and on the disk.
    dvr::FileReplacer out(DVR_REPORTER("MODULES/COMMON"));
    if (!out.open(dst, dvr::ReplaceLinks::Follow, static_cast<int>(sst.st_mode & 07777)) ||
        !out.set_owner_mode(sst)) {
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
        if (!out.write(block, static_cast<size_t>(n))) {
            COM_REPORT("write() failed : %s", std::strerror(errno));
            return -1;
        }
    }
    if (!out.commit()) {
        if (std::strcmp(out.failed_call(), "write") == 0)
            COM_REPORT("write() failed : %s", std::strerror(errno));
        else
            report_replace_failure(DVR_REPORTER("MODULES/COMMON"), out);
        return -1;
    }
    if (::unlink(src) != 0)
        COM_REPORT("unlink(%s) failed : %s\n", src, std::strerror(errno));
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ReplaceItemsInFile(const char *path, COM_REPLACE_LIST *list)
try {
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
    const bool anywhere = list->bMatchAnywhere != 0;

    dvr::UniqueFile target(std::fopen(path, "re"));
    if (!target) {
        COM_REPORT("fopen(%s) failed : %s\n", path, std::strerror(errno));
        return -1;
    }
    // The new text goes to a new file that replaces the target only once
    // it is complete and on the disk. The target is read again once the
    // writers' lock is held, so that a writer that went before is not
    // undone.
    dvr::FileReplacer rep(DVR_REPORTER("MODULES/COMMON"));
    if (!check_only) {
        if (!rep.open(path, dvr::ReplaceLinks::Follow, -1)) {
            report_replace_failure(DVR_REPORTER("MODULES/COMMON"), rep);
            return -1;
        }
        target.reset(std::fopen(rep.target().c_str(), "re"));
        if (!target) {
            COM_REPORT("fopen(%s) failed : %s\n", path, std::strerror(errno));
            return -1;
        }
    }

    int matched = 0;
    // Whether what was written so far ends a line (an appended line must
    // not join the last one).
    bool line_ended = true;
    LineBuffer line;
    // Whole lines, of any length, each with its line end (the last one
    // may have none).
    for (;;) {
        ssize_t n = ::getline(&line.text, &line.cap, target.get());
        if (n < 0)
            break;
        std::string_view text(line.text, static_cast<size_t>(n));
        for (int i = 0; i < count; ++i) {
            COM_REPLACE_ITEM &it = items[i];
            if (it.nKeyLen == 0 || !item_matches(it, text, anywhere))
                continue;
            // The replacement, or nothing: an empty one deletes the line.
            text = it.szReplace;
            it.nKeyLen = 0;
            ++matched;
            if (!check_only && !text.empty()) {
                if (!rep.write(text) || !rep.write("\n")) {
                    COM_REPORT("fprintf() fail : %s : %s", std::strerror(errno), it.szReplace);
                    return -1;
                }
                line_ended = true;
            }
            text = {};
            break;
        }
        if (!check_only && !text.empty()) {
            if (!rep.write(text)) {
                COM_REPORT("fprintf() fail : %s : %.*s", std::strerror(errno), static_cast<int>(text.size()),
                           text.data());
                return -1;
            }
            line_ended = text.back() == '\n';
        }
    }
    // A read error (or no memory for a line) must not pass for the end of
    // the file: the rest of it would be lost.
    if (std::ferror(target.get()) || !std::feof(target.get())) {
        COM_REPORT("fgets(%s) error : %s\n", path, std::strerror(errno ? errno : EIO));
        return -1;
    }
    if (check_only)
        return matched;

    if (list->bAppend) {
        for (int i = 0; i < count; ++i) {
            const COM_REPLACE_ITEM &it = items[i];
            if (it.nKeyLen <= 0 || !it.szReplace[0])
                continue;
            if ((!line_ended && !rep.write("\n")) || !rep.write(std::string_view(it.szReplace)) || !rep.write("\n")) {
                COM_REPORT("fprintf() fail : %s : %s", std::strerror(errno), it.szReplace);
                return -1;
            }
            line_ended = true;
        }
    }
    if (!rep.commit()) {
        report_replace_failure(DVR_REPORTER("MODULES/COMMON"), rep);
        return -1;
    }
    return matched;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_LoadDataFromFile(const char *path, void *buf, int count)
try {
    if (!path || !buf || count < 0) {
        COM_REPORT("input error : (pFileName, pBuf, len) = (%p, %p, %d)\n", static_cast<const void *>(path), buf,
                   count);
        return -1;
    }
    // Owned, so that a caller cancelled in the read does not leave it open.
    dvr::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        COM_REPORT("open(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    ssize_t n = ::read(fd.get(), buf, static_cast<size_t>(count));
    int result;
    if (n == count)
        result = 0;
    else if (n > 0) {
        COM_REPORT("read(%s) size failed - %d/%d\n", path, static_cast<int>(n), count);
        result = 1;
    } else
        result = static_cast<int>(n);
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SaveDataIntoFile(const char *path, const void *buf, int count)
try {
    if (!path || !buf || count < 0) {
        COM_REPORT("input error : (pFileName, pBuf, len) = (%p, %p, %d)\n", static_cast<const void *>(path), buf,
                   count);
        return -1;
    }
    // The block replaces the file only once it is all on the disk: a full
    // disk or a crash leaves the old contents.
    dvr::FileReplacer rep(DVR_REPORTER("MODULES/COMMON"));
    if (!rep.open(path, dvr::ReplaceLinks::Follow, kFileMode)) {
        COM_REPORT("open(%s) fail : %s\n", path, std::strerror(errno));
        return -1;
    }
    if (rep.write(buf, static_cast<size_t>(count)) && rep.commit())
        return 0;
    const int err = errno;
    const auto done = static_cast<int>(rep.written());
    if (std::strcmp(rep.failed_call(), "write") == 0) {
        if (done == 0)
            return -1;
        COM_REPORT("write(%s) size failed - %d/%d - %s\n", path, done, count, std::strerror(err));
        return 1;
    }
    errno = err;
    report_replace_failure(DVR_REPORTER("MODULES/COMMON"), rep);
    return -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetFileContent(const char *path, char *buf, int size)
try {
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
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetFileContent(const char *path, const char *text)
try {
    if (!path || !text) {
        COM_REPORT("input error : (pFileName, pBuf) = (%p, %p)\n", static_cast<const void *>(path),
                   static_cast<const void *>(text));
        return -1;
    }
    // The text replaces the file only once it is all on the disk.
    dvr::FileReplacer rep(DVR_REPORTER("MODULES/COMMON"));
    if (!rep.open(path, dvr::ReplaceLinks::Follow, kFileMode)) {
        COM_REPORT("open(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    size_t len = std::strlen(text);
    if (!rep.write(text, len) || !rep.commit()) {
        report_replace_failure(DVR_REPORTER("MODULES/COMMON"), rep);
        return -1;
    }
    // An empty text leaves an empty file, and counts as nothing written.
    return len > 0 ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SaveID(const char *dir, const char *id)
try {
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
    // The identity replaces the file only once it is all on the disk: a
    // failing write or a full disk leaves the old identity, never an empty
    // or a cut one. A new file gets fopen's mode (less the umask).
    dvr::FileReplacer rep(DVR_REPORTER("MODULES/COMMON"));
    if (!rep.open(path, dvr::ReplaceLinks::Follow, 0666)) {
        COM_REPORT("fopen(%s) error : %s\n", path, std::strerror(errno));
        return -1;
    }
    size_t len = std::strlen(id);
    if (!rep.write(id, len) || !rep.commit()) {
        report_replace_failure(DVR_REPORTER("MODULES/COMMON"), rep);
        return -1;
    }
    return len > 0 ? 0 : -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)
