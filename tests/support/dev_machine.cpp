// A simulated recorder under a board root for the device-layer tests.
#include "dev_machine.h"

#include <sys/mount.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "test_support.h"

namespace dvrtest {

namespace {

// The profiles a DVD writer lists, the medium's own marked current.
std::vector<SimProfile> writer_profiles(uint16_t current)
{
    static const uint16_t kListed[] = {0x0012, 0x0011, 0x0015, 0x0014, 0x0013, 0x001B, 0x001A,
                                       0x0010, 0x0009, 0x000A, 0x0008};
    std::vector<SimProfile> list;
    bool seen = false;
    for (uint16_t p : kListed) {
        list.push_back({p, static_cast<uint8_t>(p == current ? 1 : 0)});
        seen = seen || p == current;
    }
    if (!seen)
        list.insert(list.begin(), SimProfile{current, 1});
    return list;
}

SimDiscInfo disc_info(uint8_t status, bool erasable, uint16_t sessions, uint16_t last_track)
{
    SimDiscInfo d;
    d.status = status;
    d.erasable = erasable;
    d.sessions = sessions;
    d.first_track_last_session = last_track;
    d.last_track_last_session = last_track;
    d.last_session_state = status == 2 ? 3 : status == 1 ? 1 : 0;
    return d;
}

// A 74-minute CD-R or CD-RW: ATIP lead-out at 79:59:74.
SimAtip atip74(bool rewritable, uint8_t sub_type, Msf lead_in)
{
    SimAtip a;
    a.rewritable = rewritable;
    a.sub_type = sub_type;
    a.reference_speed = rewritable ? 2 : 1;
    a.lead_in = lead_in;
    a.lead_out = Msf{79, 59, 74};
    return a;
}

SimToc toc(std::vector<int32_t> starts, int32_t lead_out)
{
    SimToc t;
    uint8_t n = 1;
    for (int32_t s : starts)
        t.tracks.push_back(SimTocTrack{n++, 4, 1, s});
    t.lead_out = lead_out;
    return t;
}

// Physical format information of a 4.7 GB single-layer DVD: data area
// from sector 030000h; a DVD+R or DVD+RW holds 2295104 sectors, a DVD-R
// or DVD-RW 2298496.
SimDvdPhysical dvd_physical(uint8_t book, uint32_t sectors)
{
    SimDvdPhysical p;
    p.book = book;
    p.start_sector = 0x030000;
    p.end_sector = 0x030000 + sectors - 1;
    return p;
}

constexpr uint32_t kPlusSectors = 2295104;
constexpr uint32_t kMinusSectors = 2298496;

std::vector<NamedMedium> build_media()
{
    std::vector<NamedMedium> v;
    auto add = [&](const std::string &kind, SimMedium m) { v.push_back({kind, std::move(m)}); };

    // CD-R, 74 minutes, blank / one session left open / finalized.
    {
        SimMedium m;
        m.profiles = writer_profiles(0x0009);
        m.disc_info = disc_info(0, false, 1, 1);
        m.atip = atip74(false, 0, Msf{97, 26, 66});
        add("cd-r-blank", m);

        // One track recorded, its lead-out at 10:00:00; the disc is open.
        m.disc_info = disc_info(1, false, 2, 2);
        m.toc = toc({0}, msf_to_lba(Msf{10, 0, 0}));
        add("cd-r-open", m);

        m.disc_info = disc_info(2, false, 1, 1);
        m.toc = toc({0}, msf_to_lba(Msf{72, 13, 50}));
        add("cd-r-closed", m);
    }
    // CD-RW, high and ultra speed.
    {
        SimMedium m;
        m.profiles = writer_profiles(0x000A);
        m.disc_info = disc_info(0, true, 1, 1);
        m.atip = atip74(true, 1, Msf{97, 15, 10});
        add("cd-rw-blank", m);

        // Two tracks, the second from LBA 30000, lead-out at LBA 60000.
        m.disc_info = disc_info(1, true, 2, 3);
        m.toc = toc({0, 30000}, 60000);
        add("cd-rw-open", m);

        m.atip = atip74(true, 2, Msf{97, 15, 10});
        m.disc_info = disc_info(2, true, 1, 1);
        m.toc = toc({0}, 330000);
        add("cd-rw-closed", m);
    }
    // A pressed CD-ROM: no ATIP at all.
    {
        SimMedium m;
        m.profiles = {{0x0008, 1}};
        m.disc_info = disc_info(2, false, 1, 1);
        m.toc = toc({0}, 296234);
        add("cd-rom", m);
    }
    {
        SimMedium m;
        m.profiles = writer_profiles(0x0010);
        m.disc_info = disc_info(2, false, 1, 1);
        m.dvd_structures[0x00] = dvd_physical(0x01, 2084960);
        add("dvd-rom", m);
    }
    // DVD-R, sequential recording, finalized.
    {
        SimMedium m;
        m.profiles = writer_profiles(0x0011);
        m.disc_info = disc_info(2, false, 1, 1);
        m.dvd_structures[0x10] = dvd_physical(0x25, kMinusSectors);
        m.toc = toc({0}, 1523456);
        add("dvd-r", m);
    }
    // DVD-RW, restricted overwrite and sequential (open).
    {
        SimMedium m;
        m.profiles = writer_profiles(0x0013);
        m.disc_info = disc_info(2, true, 1, 1);
        m.dvd_structures[0x10] = dvd_physical(0x32, kMinusSectors);
        m.toc = toc({0}, static_cast<int32_t>(kMinusSectors));
        add("dvd-rw-ro", m);

        m.profiles = writer_profiles(0x0014);
        m.disc_info = disc_info(1, true, 2, 2);
        m.toc = toc({0}, 524288);
        add("dvd-rw-seq", m);
    }
    // DVD+R: one closed session of 1048576 blocks and the open track
    // after it; and a closed disc.
    {
        SimMedium m;
        m.profiles = writer_profiles(0x001B);
        m.disc_info = disc_info(1, false, 2, 2);
        m.dvd_structures[0x00] = dvd_physical(0xA1, kPlusSectors);
        m.toc = toc({0}, 1048576);
        SimTrackInfo open;
        open.session = 2;
        open.blank = true;
        open.nwa_valid = true;
        open.start = 1048576 + 16384;
        open.next_writable = open.start;
        open.free_blocks = kPlusSectors - open.start;
        open.size = open.free_blocks;
        m.tracks[2] = open;
        add("dvd+r-open", m);

        SimMedium c;
        c.profiles = writer_profiles(0x001B);
        c.disc_info = disc_info(2, false, 1, 1);
        c.dvd_structures[0x00] = dvd_physical(0xA1, kPlusSectors);
        c.toc = toc({0}, 2201600);
        add("dvd+r-closed", c);
    }
    // A finished DVD+RW.
    {
        SimMedium m;
        m.profiles = writer_profiles(0x001A);
        m.disc_info = disc_info(2, true, 1, 1);
        m.dvd_structures[0x00] = dvd_physical(0x92, kPlusSectors);
        m.toc = toc({0}, static_cast<int32_t>(kPlusSectors));
        add("dvd+rw", m);
    }
    // Refused families, and a profile outside the table.
    for (auto [kind, profile] : std::vector<std::pair<std::string, uint16_t>>{
             {"dvd-ram", 0x0012}, {"ddcd-rom", 0x0020}, {"ddcd-r", 0x0021}, {"ddcd-rw", 0x0022},
             {"bd-rom", 0x0040}}) {
        SimMedium m;
        m.profiles = writer_profiles(profile);
        m.disc_info = disc_info(3, true, 1, 1);
        add(kind, m);
    }
    return v;
}

void put_string_words(std::array<uint8_t, 512> &b, size_t at, const std::string &s, size_t width)
{
    std::string t = s;
    t.resize(width, ' ');
    for (size_t i = 0; i < width; i += 2) {
        b[at + i + 1] = static_cast<uint8_t>(t[i]);     // first character: high byte
        b[at + i] = static_cast<uint8_t>(t[i + 1]);
    }
}

} // namespace

const std::vector<NamedMedium> &real_discs()
{
    static const std::vector<NamedMedium> media = build_media();
    return media;
}

const SimMedium &real_disc(const std::string &kind)
{
    for (const auto &m : real_discs())
        if (m.kind == kind)
            return m.medium;
    throw std::runtime_error("no medium " + kind);
}

std::string ide_dump(const std::array<uint8_t, 512> &block)
{
    std::string out;
    char word[8];
    for (size_t w = 0; w < 256; ++w) {
        std::snprintf(word, sizeof word, "%04x", block[2 * w + 1] << 8 | block[2 * w]);
        out += word;
        out += (w % 8 == 7) ? '\n' : ' ';
    }
    return out;
}

std::array<uint8_t, 512> ata_identify(const std::string &serial20, const std::string &firmware8,
                                      const std::string &model40)
{
    std::array<uint8_t, 512> b{};
    b[0] = 0x40; // word 0: fixed disk
    put_string_words(b, 20, serial20, 20);
    put_string_words(b, 46, firmware8, 8);
    put_string_words(b, 54, model40, 40);
    return b;
}

std::array<uint8_t, 512> smart_data(const std::vector<std::pair<uint8_t, uint64_t>> &attributes)
{
    std::array<uint8_t, 512> b{};
    b[0] = 0x10; // revision
    size_t at = 2;
    for (auto [id, raw] : attributes) {
        if (at + 12 > 2 + 30 * 12)
            break;
        b[at] = id;
        b[at + 1] = 0x22;  // flags
        b[at + 3] = 100;   // value
        b[at + 4] = 95;    // worst
        for (int i = 0; i < 6; ++i)
            b[at + 5 + i] = static_cast<uint8_t>(raw >> (8 * i));
        at += 12;
    }
    return b;
}

void write_machine(const std::string &root, const std::vector<IdeDrive> &ide,
                   const std::vector<ScsiDrive> &scsi, bool letters, const std::string &mounts)
{
    make_dirs(root + "/var");
    make_dirs(root + "/dev");
    make_dirs(root + "/proc");
    write_file(root + "/proc/filesystems", "nodev\tsysfs\nnodev\ttmpfs\n\text3\n\text2\n");
    write_file(root + "/proc/mounts", mounts);
    for (const IdeDrive &d : ide) {
        const std::string dir = root + "/proc/ide/hd" + d.letter;
        make_dirs(dir);
        write_file(dir + "/driver", d.driver + "\n");
        if (!d.model.empty())
            write_file(dir + "/model", d.model + "\n");
        if (d.bytes)
            write_file(root + "/dev/hd" + d.letter,
                       "#dvrplat-sim-drive\nbytes " + std::to_string(d.bytes) + "\n");
    }
    for (const ScsiDrive &d : scsi) {
        char name[16];
        if (letters)
            std::snprintf(name, sizeof name, "/dev/sg%c", 'a' + d.sg);
        else
            std::snprintf(name, sizeof name, "/dev/sg%d", d.sg);
        d.drive.write(root + name);
        SimDrive::link(root + d.node, root + name);
    }
}

SimDrive scsi_drive(uint8_t type, int host, int id, const std::string &vendor, const std::string &product,
                    const std::string &host_text)
{
    SimDrive d;
    d.identity.device_type = type;
    d.identity.removable = type != 0;
    d.identity.vendor = vendor;
    d.identity.product = product;
    d.identity.host = host;
    d.identity.id = id;
    d.identity.host_text = host_text;
    return d;
}

void make_image(const std::string &path, uint64_t size)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.seekp(static_cast<std::streamoff>(size - 1));
    f.put('\0');
}

void make_fs(const std::string &type, const std::string &target)
{
    auto r = shell("mkfs." + type + " -q -F " + target + " >/dev/null 2>&1");
    if (r.status != 0)
        throw std::runtime_error("mkfs." + type + " " + target + " failed");
}

LoopDevice::LoopDevice(const std::string &image)
{
    auto r = shell("losetup --find --show " + image);
    dev_ = r.out;
    while (!dev_.empty() && (dev_.back() == '\n' || dev_.back() == ' '))
        dev_.pop_back();
    if (r.status != 0 || dev_.empty())
        throw std::runtime_error("losetup failed: " + r.err);
}

LoopDevice::~LoopDevice()
{
    shell("losetup -d " + dev_ + " 2>/dev/null");
}

bool kernel_has_fs(const std::string &type)
{
    return read_file("/proc/filesystems").find("\t" + type + "\n") != std::string::npos;
}

void unmount_under(const std::string &dir)
{
    const std::string prefix = dir + "/";
    // A few rounds: a detached mount may uncover one made before it.
    for (int round = 0; round < 8; ++round) {
        std::vector<std::string> points;
        std::istringstream table(read_file("/proc/self/mounts"));
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string device, point;
            if (fields >> device >> point && point.compare(0, prefix.size(), prefix) == 0)
                points.push_back(point);
        }
        if (points.empty())
            return;
        for (auto it = points.rbegin(); it != points.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
}

} // namespace dvrtest
