// A simulated recorder under a board root for the device-layer tests: the
// IDE driver's files, SCSI disks, optical writers and a tape as simulated
// drives, the optical media of real discs, and loop devices for the tests
// that mount for real.
#ifndef DVRPLAT_DEV_MACHINE_H
#define DVRPLAT_DEV_MACHINE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_drive.h"

namespace dvrtest {

// ---------------------------------------------------------------------
// Optical media, each with the figures of a real disc.
// ---------------------------------------------------------------------

struct NamedMedium {
    std::string kind;  // short name, e.g. "cd-r-open"
    SimMedium medium;
};

// Every medium the disc-information tests and the device test tool use:
// cd-r-blank, cd-r-open, cd-r-closed, cd-rw-blank, cd-rw-open,
// cd-rw-closed, cd-rom, dvd-rom, dvd-r, dvd-rw-ro, dvd-rw-seq, dvd+r-open,
// dvd+r-closed, dvd+rw, dvd-ram, ddcd-rom, ddcd-r, ddcd-rw, bd-rom.
const std::vector<NamedMedium> &real_discs();
// One of them by kind (throws when unknown).
const SimMedium &real_disc(const std::string &kind);

// ---------------------------------------------------------------------
// IDE driver files.
// ---------------------------------------------------------------------

// A 512-byte block printed as the IDE driver prints its identify and
// smart_values files: 256 16-bit words, each "%04x" with the word's high
// byte from block byte 2k+1 and low byte from 2k (little-endian words),
// eight to a line.
std::string ide_dump(const std::array<uint8_t, 512> &block);

// IDENTIFY data: ATA strings put with their first character in the high
// byte of each word. Printed with ide_dump, the text bytes read back in
// string order.
std::array<uint8_t, 512> ata_identify(const std::string &serial20, const std::string &firmware8,
                                      const std::string &model40);

// SMART data with the given (id, raw value) attributes in the table.
std::array<uint8_t, 512> smart_data(const std::vector<std::pair<uint8_t, uint64_t>> &attributes);

// ---------------------------------------------------------------------
// The simulated machine.
// ---------------------------------------------------------------------

struct IdeDrive {
    char letter = 'a';
    std::string driver = "ide-disk version 1.18";
    std::string model;            // empty: no model file
    uint64_t bytes = 0;           // node's size (0: no node)
};

struct ScsiDrive {
    std::string node;             // e.g. "/dev/sda", "/dev/scd0", "/dev/nst0"
    int sg = 0;                   // generic node number
    SimDrive drive;
};

// Writes the machine under root: "/proc/ide" files, the drives at their
// generic nodes ("/dev/sg%d", or "/dev/sg%c" when letters is set) with the
// SCSI nodes linked to them, an empty "/var", "/proc/filesystems" listing
// ext3 and ext2, and "/proc/mounts" (mounts: its lines).
void write_machine(const std::string &root, const std::vector<IdeDrive> &ide,
                   const std::vector<ScsiDrive> &scsi, bool letters, const std::string &mounts);

// A drive of the given INQUIRY type at an address, on a host text.
SimDrive scsi_drive(uint8_t type, int host, int id, const std::string &vendor,
                    const std::string &product, const std::string &host_text);

// ---------------------------------------------------------------------
// Real block devices.
// ---------------------------------------------------------------------

// A file of `size` zero bytes.
void make_image(const std::string &path, uint64_t size);
// mkfs.<type> on a file or device (throws on failure).
void make_fs(const std::string &type, const std::string &target);

// A loop device over an image, detached at the end.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &image);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &dev() const { return dev_; }

private:
    std::string dev_;
};

// Whether the running kernel lists a file-system type.
bool kernel_has_fs(const std::string &type);

// Detaches every mount below a directory (what a failing test left
// mounted, the library's temporary mounts included), deepest first.
void unmount_under(const std::string &dir);

} // namespace dvrtest

#endif
