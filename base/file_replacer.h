// Crash-safe replacement of a file's contents. C++ only, never installed.
#ifndef DVRPLAT_BASE_FILE_REPLACER_H
#define DVRPLAT_BASE_FILE_REPLACER_H

#include <cstddef>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

#include "owners.h"
#include "report.h"

namespace dvr {

// Crash-safe replacement of a file's contents.
//
// open() takes the writers' lock of the target (an exclusive flock on the
// target itself, or on its directory while the target does not exist yet)
// and prepares a new file beside the target (".<name>.dvrnew~" in the
// target's own directory); write() gathers the new contents; commit()
// writes and syncs them, gives the new file the target's owner, group and
// mode, renames it over the target, syncs the directory and lets the lock
// go. Until the rename the target is untouched; a failure at any step, or
// destroying the object before commit(), removes the new file. Concurrent
// writers of one target take turns from open() to the end of commit(), so
// a caller that reads the target after open() edits its current contents.
// The new file's name belongs to the lock holder: whatever a killed writer
// left under it is removed, whatever its mode. The new file stays 0600
// until it is complete and takes its final mode just before the rename.
//
// Where no new file can be made beside an existing target (its name too
// long for the new file's name, a directory the caller may not write) or
// the new file cannot be renamed over it (a mount point, another file
// system, a sticky directory), the target is written in place at commit():
// the contents from its start, then truncated to their length, then
// synced. The reporter says why it could not be replaced.
//
// Owner and group: when the full change is refused (a caller that is not
// root), the group alone is kept where the caller may; when neither can be
// kept the reporter says so.
//
// Links: ReplaceLinks::Follow replaces the file a symbolic link points to
// (a relative target taken from the link's own directory; the link stays),
// and writes device nodes, FIFOs and the files of kernel pseudo file
// systems (/proc, /sys, ...) in place at commit(), with one truncating
// open, since those drive the kernel rather than store data.
// ReplaceLinks::Refuse accepts only a regular file on a real file system
// at the path itself (a link, a device node or a kernel file fails with
// ELOOP or EINVAL); nothing is opened in a way that could block.
//
// create_mode: permission bits for a target that does not exist yet (the
// umask applies), or -1 when the target must exist (ENOENT otherwise).
//
// Every call gives false on failure with errno set; failed_call() names
// the system call ("open", "write", "fsync", "rename", ...) and
// failed_path() the path it was made on, for the caller's report. A false
// from commit() after the rename (the directory sync failed) leaves the
// target with its new contents. Never throws.

enum class ReplaceLinks { Follow, Refuse };

class FileReplacer {
public:
    explicit FileReplacer(const Reporter &report) noexcept : report_(report) {}
    FileReplacer(const FileReplacer &) = delete;
    FileReplacer &operator=(const FileReplacer &) = delete;
    ~FileReplacer();

    bool open(const char *path, ReplaceLinks links, int create_mode);
    bool write(const void *data, size_t len);
    bool write(std::string_view text) { return write(text.data(), text.size()); }
    bool commit();
    // Gives the new file this mode, owner and group (as far as permitted)
    // instead of the target's; nothing for a target written in place.
    bool set_owner_mode(const struct stat &st);
    // Drops the new contents; the target stays as it was.
    void abandon() noexcept;

    // True when the target is written in place (see above).
    bool in_place() const noexcept { return state_ == State::InPlace || state_ == State::Fallback; }
    // Bytes that reached the new file (or the target written in place).
    size_t written() const noexcept { return written_; }
    // The file that is replaced (the end of the link chain).
    const std::string &target() const noexcept { return target_; }
    const char *failed_call() const noexcept { return call_; }
    const char *failed_path() const noexcept { return failed_path_.c_str(); }

private:
    // InPlace: a device node or kernel file. Fallback: a stored file that
    // cannot be replaced, written in place.
    enum class State { Idle, NewFile, InPlace, Fallback };
    bool resolve(const char *path, ReplaceLinks links);
    bool lock_target(struct stat &st, bool &exists);
    bool make_new_file(bool exists, int create_mode);
    void fall_back(const char *call, int err) noexcept;
    void report_fallback() const;
    bool write_in_place(int from);
    bool apply_owner_mode();
    bool flush();
    bool fail(const char *call, const std::string &path) noexcept;

    Reporter report_;
    State state_ = State::Idle;
    UniqueFd lock_;
    UniqueFd fd_;
    std::string target_;
    std::string dir_;
    std::string new_path_;
    std::string buf_;
    size_t written_ = 0;
    bool committed_ = false;
    // The owner, group and mode the new file takes before the rename.
    uid_t want_uid_ = 0;
    gid_t want_gid_ = 0;
    mode_t want_mode_ = 0600;
    bool want_owner_ = false;
    // Why the target is written in place.
    const char *fallback_call_ = "";
    int fallback_err_ = 0;
    const char *call_ = "";
    std::string failed_path_;
};

} // namespace dvr

#endif
