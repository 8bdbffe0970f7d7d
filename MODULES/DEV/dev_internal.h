// Internal interface of the device layer: the ioctl seam under every
// device-layer ioctl, and the SCSI command request with its length probe,
// shared by every command function of the layer.
#ifndef DVRPLAT_DEV_INTERNAL_H
#define DVRPLAT_DEV_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/mount.h>

#include "DEV.h"
#include "report.h"

// A reporter in the name of the device-layer function that makes it.
#define DEV_REPORTER() DVR_REPORTER("MODULES/DEV")

namespace dvr::dev {

// Every ioctl the device layer sends to a device node goes through here:
// SG_GET_VERSION_NUM, SG_IO, SCSI_IOCTL_GET_BUS_NUMBER,
// SCSI_IOCTL_GET_IDLUN, SCSI_IOCTL_PROBE_HOST, BLKGETSIZE, BLKGETSIZE64,
// BLKSSZGET. It is the system's ioctl, unless a program linked with the
// simulated drives (the dvrplat_sim library, sim/dev_sim.h) has put their
// handler in place: then a descriptor the handler claims is answered by
// the simulation. Returns like ioctl: -1 with errno set on failure.
int ioctl(int fd, unsigned long request, void *arg);

// The simulated drives' answer to an ioctl: true, with *result (and errno)
// set as the ioctl would set them, when fd is a simulated drive; false
// leaves the ioctl to the system. The board's library has none; the
// simulator library sets its handler before main.
using IoctlHandler = bool (*)(int fd, unsigned long request, void *arg, int *result);
void set_ioctl_handler(IoctlHandler handler) noexcept;

// The pause after each TEST UNIT READY attempt that failed (one second);
// tests replace it so that a drive that is not ready costs no time.
// nullptr restores the default, a sleep of that many seconds.
using UnitReadyPause = void (*)(unsigned seconds);
void set_unit_ready_pause(UnitReadyPause pause) noexcept;

// A caller's name text for a report: "" for NULL.
inline const char *safe(const char *name) noexcept { return name ? name : ""; }

// Compacts a model text in place over its first `scan` characters (the
// buffer holds at least scan + 1 bytes): letters and digits stay, a space
// stays only when no space has stayed since the last letter or digit that
// stayed, everything else goes, a NUL ends the scan; the rest of the
// scanned area is zero-filled and one trailing space is removed.
void compact_model(char *text, size_t scan) noexcept;

// Sizes of one command's working buffers and its timeout.
constexpr size_t kReplySize = 65536;
constexpr size_t kSenseSize = 64;
constexpr unsigned kTimeoutMs = 20000;

// The two-pass length probe of a command whose reply tells its own size:
// after a first successful issue, the reply's length field (len_bytes
// bytes, big-endian, at len_offset) plus `added` bytes, cut to `limit`,
// becomes the allocation length (2 bytes at alloc_offset of the command
// block) and the request's data length, and the command is issued again.
struct Probe {
    uint8_t len_offset;
    uint8_t len_bytes;
    uint8_t added;
    uint32_t limit;
    uint8_t alloc_offset;
};

inline constexpr Probe kProbeFormatCapacities{3, 1, 4, 65535, 7};
inline constexpr Probe kProbeConfiguration{2, 2, 4, 65535, 7};
inline constexpr Probe kProbeDiscInfo{0, 2, 2, 255, 7};
inline constexpr Probe kProbeToc{0, 2, 2, 65535, 7};
inline constexpr Probe kProbeTrackInfo{0, 2, 2, 65535, 7};
inline constexpr Probe kProbeDvdStructure{0, 2, 2, 65535, 8};

// The bytes of a reply that arrived: the request's data length less the
// driver's residual; 0 when the residual lies outside the transfer.
size_t arrived(const sg_io_hdr &io) noexcept;

// Result of MmcCommand::issue and issue_probed for a reply that cannot be
// read (reported): a residual outside the transfer, or a length field
// that did not arrive.
constexpr int kBadReply = -5;

// One SCSI command of a command function: the request, its own copy of
// the command block, a 64 KiB reply buffer and a 64-byte sense buffer
// (zero-filled), for the length of one call.
//
// Every reply is read only within valid(): the bytes that arrived, and,
// once the reply's own length field is known, no more than that field
// says. need() is the check a decoder makes before it reads.
class MmcCommand {
public:
    // title: the command's name after the caller's name, e.g. "INQUIRY"
    // gives "(%s) INQUIRY" (cut to 63 characters); name NULL is taken as
    // "". cdb: the command block template (6, 10 or 12 bytes); alloc: the
    // first allocation length (0 for a command without data). report: in
    // the command function's name, for the reports about its reply.
    MmcCommand(const char *title, const char *name, const uint8_t *cdb, size_t cdb_len, unsigned alloc,
               const Reporter &report = Reporter("MODULES/DEV", "MmcCommand"));
    MmcCommand(const MmcCommand &) = delete;
    MmcCommand &operator=(const MmcCommand &) = delete;

    // False (already reported) when the buffers could not be allocated.
    bool ok() const noexcept { return reply_ != nullptr; }

    // Dev_ExecMMC once; its result, or kBadReply.
    int issue(int fd, int verbose);
    // The two-pass probe: the result of the first failing issue, or of the
    // second issue. The reply holds the second issue's data, valid no
    // further than its length field says.
    int issue_probed(int fd, int verbose, const Probe &p);

    // Limits valid() by the reply's own length field (len_bytes bytes,
    // big-endian, at offset, plus `added`). False (reported) when the
    // field itself did not arrive.
    bool bound(unsigned offset, unsigned len_bytes, unsigned added);
    // True when the first n bytes of the reply may be read; otherwise
    // reports that the reply is too short for `what` and returns false.
    bool need(size_t n, const char *what) const;
    // Reports an inconsistent reply: "(%s) : " with the caller's name
    // text, then the message. Always false, for `return cmd.refuse(...)`.
    bool refuse(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

    uint8_t *cdb() noexcept { return cdb_; }
    const uint8_t *reply() const noexcept { return reply_.get(); }
    // The request's data length (after a probe: the probed length).
    unsigned length() const noexcept { return cmd_.io.dxfer_len; }
    // Bytes that arrived in the last issue.
    size_t received() const noexcept { return received_; }
    // Bytes that may be read: received(), cut by the length field.
    size_t valid() const noexcept { return valid_; }
    DEV_MMC_CMD &request() noexcept { return cmd_; }

private:
    DEV_MMC_CMD cmd_{};
    uint8_t cdb_[16]{};
    uint8_t sense_[kSenseSize]{};
    std::unique_ptr<uint8_t[]> reply_;
    Reporter report_;
    char caller_[DEV_MMC_NAME_SIZE]{};
    size_t received_ = 0;
    size_t valid_ = 0;
};

} // namespace dvr::dev

#endif
