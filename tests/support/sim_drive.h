// Simulated SCSI drives for the device-layer tests.
//
// A SimDrive describes one drive: its identity (INQUIRY data, SCSI
// address, host adapter text, driver version), its medium (the replies of
// GET CONFIGURATION, READ DISC INFORMATION, READ TOC/PMA/ATIP, READ TRACK
// INFORMATION, READ DVD STRUCTURE, READ FORMAT CAPACITIES, READ BUFFER
// CAPACITY, READ CAPACITY), whether it is ready, and failures to inject.
// write() puts it at a device-node path under the board root, in the file
// format the simulator library's drives answer from (sim/dev_sim.h).
// The library then answers every SCSI ioctl on that node as the drive
// would, returning no more than each command's allocation length.
//
// Typical use:
//
//     dvrtest::TempDir root;
//     dvrtest::ScopedEnv env("DVRPLAT_ROOT", root.path());
//     dvrtest::SimDrive d;
//     d.identity.vendor = "ACME";
//     d.identity.product = "DVD-RW 1234";
//     d.identity.host = 1; d.identity.id = 0;       // SCSI address
//     d.medium.profiles = {{0x0011, 0}, {0x0009, 1}}; // CD-R current
//     d.medium.disc_info = dvrtest::SimDiscInfo{};
//     d.medium.disc_info->status = 1;               // incomplete
//     d.medium.atip = dvrtest::SimAtip{};           // lead-out 79:59:74
//     d.write(root / "dev/sg0");
//     // a disk or optical node of the same device: same file, or a link
//     dvrtest::SimDrive::link(root / "dev/scd0", root / "dev/sg0");
//
// Every field is sent exactly as given: the builders only lay the fields
// out as the MMC and SPC command definitions place them. A reply that the
// description lacks (no ATIP on a pressed CD, say) makes the command end
// in ILLEGAL REQUEST, sense 5/24/00. `raw` adds or replaces a reply by
// its key (see dev_sim.h for the keys) for replies the fields cannot say.
#ifndef DVRPLAT_SIM_DRIVE_H
#define DVRPLAT_SIM_DRIVE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dvrtest {

// Minutes, seconds, frames (75 frames a second).
struct Msf {
    uint8_t m = 0, s = 0, f = 0;
};
// Logical address to MSF and back: MSF counts 150 frames (2 seconds) more.
Msf lba_to_msf(int32_t lba);
int32_t msf_to_lba(Msf msf);

struct SimIdentity {
    uint8_t device_type = 5;            // INQUIRY peripheral type: 0 disk, 1 tape, 5 CD/DVD
    bool removable = true;
    std::string vendor = "DVRSIM";      // bytes 8-15, space-padded (cut to 8)
    std::string product = "SIM DVD-RW"; // bytes 16-31, space-padded (cut to 16)
    std::string revision = "1.00";      // bytes 32-35, space-padded (cut to 4)
    std::string vendor_specific;        // bytes 36-55, space-padded when given, else zeros
    int host = 0, channel = 0, id = 0, lun = 0;
    std::string host_text = "SCSI host adapter (simulated)"; // SCSI_IOCTL_PROBE_HOST
    int driver_version = 30000;         // SG_GET_VERSION_NUM
};

// One profile descriptor of the Profile List feature.
struct SimProfile {
    uint16_t number;
    uint8_t flags = 0; // 1: the current profile (byte 2 of the descriptor)
};

// READ DISC INFORMATION, standard disc information (34 bytes).
struct SimDiscInfo {
    bool erasable = false;
    uint8_t status = 0;              // bits 1-0 of byte 2: 0 empty, 1 incomplete, 2 finalized, 3 other
    uint8_t last_session_state = 0;  // bits 3-2 of byte 2
    uint8_t first_track = 1;         // byte 3
    uint16_t sessions = 1;           // bytes 9 (high) and 4 (low)
    uint16_t first_track_last_session = 1; // bytes 10 and 5
    uint16_t last_track_last_session = 1;  // bytes 11 and 6
    uint8_t disc_type = 0;           // byte 8
    uint32_t last_session_lead_in = 0xFFFFFFFF;  // bytes 16-19
    uint32_t last_possible_lead_out = 0xFFFFFFFF; // bytes 20-23
};

// READ TOC/PMA/ATIP format 0100b: the ATIP descriptor (28-byte reply).
struct SimAtip {
    uint8_t writing_power = 5;   // bits 6-4 of descriptor byte 0
    uint8_t reference_speed = 1; // bits 2-0 of descriptor byte 0
    bool rewritable = false;     // bit 6 of descriptor byte 2 (CD-RW)
    uint8_t sub_type = 0;        // bits 5-3 of descriptor byte 2
    Msf lead_in{97, 26, 66};     // descriptor bytes 4-6
    Msf lead_out{79, 59, 74};    // descriptor bytes 8-10
};

// One track of the formatted table of contents.
struct SimTocTrack {
    uint8_t number = 1;
    uint8_t control = 4; // 4: data track
    uint8_t adr = 1;
    int32_t start = 0;   // logical block address
};

// READ TOC/PMA/ATIP format 0000b, answered in MSF and in LBA form.
struct SimToc {
    std::vector<SimTocTrack> tracks; // in order
    int32_t lead_out = 0;            // logical block address of the lead-out (track AAh)
};

// READ TRACK INFORMATION (36-byte reply) for one track number.
struct SimTrackInfo {
    uint16_t session = 1;
    uint8_t track_mode = 4, data_mode = 1;
    bool damage = false, copy = false, rt = false, blank = false, packet = false, fixed_packet = false;
    bool nwa_valid = false, lra_valid = false;
    uint32_t start = 0;           // bytes 8-11
    uint32_t next_writable = 0;   // bytes 12-15
    uint32_t free_blocks = 0;     // bytes 16-19
    uint32_t packet_size = 0;     // bytes 20-23
    uint32_t size = 0;            // bytes 24-27
    uint32_t last_recorded = 0;   // bytes 28-31
};

// READ DVD STRUCTURE format 00h (or 10h): physical format information,
// 2048 bytes after the 4-byte header.
struct SimDvdPhysical {
    uint8_t book = 0x01;          // book type (bits 7-4) and part version
    uint8_t size_rate = 0x02;     // disc size and maximum rate
    uint8_t layers = 0x01;        // layers, track path, layer type
    uint8_t density = 0x10;       // linear and track density
    uint32_t start_sector = 0x030000; // 24 bits, descriptor bytes 5-7
    uint32_t end_sector = 0;          // 24 bits, bytes 9-11
    uint32_t end_sector_layer0 = 0;   // 24 bits, bytes 13-15
};

// One descriptor of READ FORMAT CAPACITIES.
struct SimFormatCapacity {
    uint32_t blocks = 0;
    uint8_t format_type = 0;     // bits 7-2 of byte 4
    uint8_t descriptor_type = 2; // bits 1-0 of byte 4 (first descriptor: 1 unformatted, 2 formatted, 3 none)
    uint32_t parameter = 2048;   // bytes 5-7
};

struct SimMedium {
    std::vector<SimProfile> profiles; // GET CONFIGURATION (no reply when empty)
    std::optional<SimDiscInfo> disc_info;
    std::optional<SimAtip> atip;
    std::optional<SimToc> toc;
    std::map<uint32_t, SimTrackInfo> tracks;             // by track number
    std::map<uint8_t, SimDvdPhysical> dvd_structures;     // by format (00h, 10h)
    std::optional<std::vector<SimFormatCapacity>> format_capacities;
    std::optional<uint32_t> buffer_length;                // READ BUFFER CAPACITY bytes 4-7
    uint32_t buffer_blank = 0;                            // bytes 8-11
    std::optional<std::pair<uint32_t, uint32_t>> capacity; // READ CAPACITY: last block, block length
};

// A command that ends with an error.
struct SimFailure {
    uint8_t status = 0x02;  // SCSI status (02h CHECK CONDITION)
    uint8_t host = 0;       // host status
    uint8_t driver = 0x08;  // driver status (08h: sense available)
    std::vector<uint8_t> sense;
};

// One request seen by a simulated drive (SimDrive::log_path).
struct SimRequest {
    std::vector<uint8_t> cdb;
    unsigned length = 0; // the request's data length
};

class SimDrive {
public:
    SimIdentity identity;
    SimMedium medium;
    // false: every command but INQUIRY and GET CONFIGURATION ends in CHECK
    // CONDITION, sense key 2, ASC 3Ah, ASCQ 00h.
    bool ready = true;
    // Block-device size (BLKGETSIZE64 / BLKGETSIZE / BLKSSZGET); without
    // it those ioctls fail as on a node that is no block device.
    std::optional<uint64_t> device_bytes;
    int sector_size = 512;
    // Commands (by operation code) that end with the given error.
    std::map<uint8_t, SimFailure> failures;
    // ioctls that fail with an errno: "version", "sg_io", "bus", "idlun",
    // "probe_host", "blkgetsize", "blkgetsize64", "blksszget".
    std::map<std::string, int> ioctl_errno;
    // Replies by key, added to or replacing those built from `medium`.
    std::map<std::string, std::vector<uint8_t>> raw;
    // Replies (by key) of which the drive sends only the first N bytes,
    // whatever their length fields say.
    std::map<std::string, size_t> send_only;
    // Replies (by key) whose residual the driver reports as this number
    // instead of what was left unsent (the data is copied all the same).
    std::map<std::string, int> residual;
    // Replies (by key) copied as usual whose residual admits only N bytes.
    std::map<std::string, size_t> admit_only;
    // When set, every SG_IO request is appended to this file.
    std::string log_path;

    // Fixed-format sense data with the given key, ASC and ASCQ.
    static SimFailure sense(uint8_t key, uint8_t asc, uint8_t ascq);
    // The replies the drive gives, by key (built from the fields, then raw).
    std::map<std::string, std::vector<uint8_t>> replies() const;
    // The description file's text.
    std::string text() const;
    // Writes the description to path (parent directories made).
    void write(const std::string &path) const;
    // Makes path a symbolic link to target (parent directories made;
    // an existing link is replaced).
    static void link(const std::string &path, const std::string &target);
    // The requests logged so far (empty when the log does not exist).
    static std::vector<SimRequest> read_log(const std::string &path);
};

// While one lives, the library's pauses between TEST UNIT READY attempts
// are counted instead of slept, so a drive that is not ready costs no time
// and a test can see each pause the library asked for.
class CountedUnitReadyPauses {
public:
    CountedUnitReadyPauses();
    ~CountedUnitReadyPauses();
    CountedUnitReadyPauses(const CountedUnitReadyPauses &) = delete;
    CountedUnitReadyPauses &operator=(const CountedUnitReadyPauses &) = delete;
    // Pauses asked for since construction (or the last reset), and the
    // seconds they would have slept.
    unsigned pauses() const;
    unsigned seconds() const;
    void reset();
};

// Reply builders, exposed for tests that want a reply's bytes.
std::vector<uint8_t> sim_inquiry(const SimIdentity &id);
std::vector<uint8_t> sim_configuration(const std::vector<SimProfile> &profiles);
std::vector<uint8_t> sim_disc_info(const SimDiscInfo &d);
std::vector<uint8_t> sim_atip(const SimAtip &a);
std::vector<uint8_t> sim_toc(const SimToc &t, bool msf);
std::vector<uint8_t> sim_track_info(uint32_t number, const SimTrackInfo &t);
std::vector<uint8_t> sim_dvd_physical(const SimDvdPhysical &p);
std::vector<uint8_t> sim_format_capacities(const std::vector<SimFormatCapacity> &list);

} // namespace dvrtest

#endif
