// Simulated SCSI drives: reply layouts of the MMC and SPC commands the
// device layer sends, and the description file the library answers from.
#include "sim_drive.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include "dev_internal.h"
#include "test_support.h"

namespace dvrtest {

namespace {

void be16(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    v[at] = static_cast<uint8_t>(x >> 8);
    v[at + 1] = static_cast<uint8_t>(x);
}
void be24(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    v[at] = static_cast<uint8_t>(x >> 16);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
    v[at + 2] = static_cast<uint8_t>(x);
}
void be32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
    be16(v, at, x >> 16);
    be16(v, at + 2, x);
}
void padded(std::vector<uint8_t> &v, size_t at, size_t width, const std::string &s)
{
    for (size_t i = 0; i < width; ++i)
        v[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}
void msf(std::vector<uint8_t> &v, size_t at, Msf t)
{
    v[at] = t.m;
    v[at + 1] = t.s;
    v[at + 2] = t.f;
}

std::string hex(const std::vector<uint8_t> &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (uint8_t c : b) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s;
}

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

Msf lba_to_msf(int32_t lba)
{
    int32_t x = lba + 150;
    return Msf{static_cast<uint8_t>(x / 4500), static_cast<uint8_t>(x % 4500 / 75), static_cast<uint8_t>(x % 75)};
}

int32_t msf_to_lba(Msf t)
{
    return (t.m * 60 + t.s) * 75 + t.f - 150;
}

// SPC standard INQUIRY data, 96 bytes.
std::vector<uint8_t> sim_inquiry(const SimIdentity &id)
{
    std::vector<uint8_t> v(96, 0);
    v[0] = id.device_type & 0x1F;
    v[1] = id.removable ? 0x80 : 0x00;
    v[2] = 0x05;          // version
    v[3] = 0x02;          // response data format
    v[4] = 96 - 5;        // additional length
    padded(v, 8, 8, id.vendor);
    padded(v, 16, 16, id.product);
    padded(v, 32, 4, id.revision);
    if (!id.vendor_specific.empty())
        padded(v, 36, 20, id.vendor_specific);
    return v;
}

// GET CONFIGURATION, RT 2 from feature 0: feature header and the Profile
// List feature.
std::vector<uint8_t> sim_configuration(const std::vector<SimProfile> &profiles)
{
    const size_t n = profiles.size();
    std::vector<uint8_t> v(8 + 4 + 4 * n, 0);
    be32(v, 0, static_cast<uint32_t>(v.size() - 4));
    uint16_t current = 0;
    for (const auto &p : profiles)
        if (p.flags & 1) {
            current = p.number;
            break;
        }
    be16(v, 6, current);
    be16(v, 8, 0x0000);   // feature code: Profile List
    v[10] = 0x03;         // persistent, current
    v[11] = static_cast<uint8_t>(4 * n);
    for (size_t i = 0; i < n; ++i) {
        be16(v, 12 + 4 * i, profiles[i].number);
        v[12 + 4 * i + 2] = profiles[i].flags;
    }
    return v;
}

std::vector<uint8_t> sim_disc_info(const SimDiscInfo &d)
{
    std::vector<uint8_t> v(34, 0);
    be16(v, 0, 32);
    v[2] = static_cast<uint8_t>((d.erasable ? 0x10 : 0) | (d.last_session_state & 3) << 2 | (d.status & 3));
    v[3] = d.first_track;
    v[4] = static_cast<uint8_t>(d.sessions);
    v[5] = static_cast<uint8_t>(d.first_track_last_session);
    v[6] = static_cast<uint8_t>(d.last_track_last_session);
    v[8] = d.disc_type;
    v[9] = static_cast<uint8_t>(d.sessions >> 8);
    v[10] = static_cast<uint8_t>(d.first_track_last_session >> 8);
    v[11] = static_cast<uint8_t>(d.last_track_last_session >> 8);
    be32(v, 16, d.last_session_lead_in);
    be32(v, 20, d.last_possible_lead_out);
    return v;
}

std::vector<uint8_t> sim_atip(const SimAtip &a)
{
    std::vector<uint8_t> v(28, 0);
    be16(v, 0, 26);
    uint8_t *d = v.data() + 4;
    d[0] = static_cast<uint8_t>(0x80 | (a.writing_power & 7) << 4 | (a.reference_speed & 7));
    d[2] = static_cast<uint8_t>(0x80 | (a.rewritable ? 0x40 : 0) | (a.sub_type & 7) << 3);
    msf(v, 4 + 4, a.lead_in);
    msf(v, 4 + 8, a.lead_out);
    return v;
}

std::vector<uint8_t> sim_toc(const SimToc &t, bool in_msf)
{
    const size_t n = t.tracks.size() + 1;
    std::vector<uint8_t> v(4 + 8 * n, 0);
    be16(v, 0, static_cast<uint32_t>(v.size() - 2));
    v[2] = t.tracks.empty() ? 1 : t.tracks.front().number;
    v[3] = t.tracks.empty() ? 1 : t.tracks.back().number;
    auto put = [&](size_t i, uint8_t adr, uint8_t control, uint8_t number, int32_t start) {
        size_t at = 4 + 8 * i;
        v[at + 1] = static_cast<uint8_t>(adr << 4 | (control & 15));
        v[at + 2] = number;
        if (in_msf)
            msf(v, at + 5, lba_to_msf(start));
        else
            be32(v, at + 4, static_cast<uint32_t>(start));
    };
    for (size_t i = 0; i < t.tracks.size(); ++i)
        put(i, t.tracks[i].adr, t.tracks[i].control, t.tracks[i].number, t.tracks[i].start);
    uint8_t control = t.tracks.empty() ? 4 : t.tracks.back().control;
    put(t.tracks.size(), 1, control, 0xAA, t.lead_out);
    return v;
}

std::vector<uint8_t> sim_track_info(uint32_t number, const SimTrackInfo &t)
{
    std::vector<uint8_t> v(36, 0);
    be16(v, 0, 34);
    v[2] = static_cast<uint8_t>(number);
    v[3] = static_cast<uint8_t>(t.session);
    v[5] = static_cast<uint8_t>((t.damage ? 0x20 : 0) | (t.copy ? 0x10 : 0) | (t.track_mode & 15));
    v[6] = static_cast<uint8_t>((t.rt ? 0x80 : 0) | (t.blank ? 0x40 : 0) | (t.packet ? 0x20 : 0) |
                                (t.fixed_packet ? 0x10 : 0) | (t.data_mode & 15));
    v[7] = static_cast<uint8_t>((t.lra_valid ? 2 : 0) | (t.nwa_valid ? 1 : 0));
    be32(v, 8, t.start);
    be32(v, 12, t.next_writable);
    be32(v, 16, t.free_blocks);
    be32(v, 20, t.packet_size);
    be32(v, 24, t.size);
    be32(v, 28, t.last_recorded);
    v[32] = static_cast<uint8_t>(number >> 8);
    v[33] = static_cast<uint8_t>(t.session >> 8);
    return v;
}

std::vector<uint8_t> sim_dvd_physical(const SimDvdPhysical &p)
{
    std::vector<uint8_t> v(4 + 2048, 0);
    be16(v, 0, 2048 + 2);
    uint8_t *d = v.data() + 4;
    d[0] = p.book;
    d[1] = p.size_rate;
    d[2] = p.layers;
    d[3] = p.density;
    be24(v, 4 + 5, p.start_sector);
    be24(v, 4 + 9, p.end_sector);
    be24(v, 4 + 13, p.end_sector_layer0);
    return v;
}

std::vector<uint8_t> sim_format_capacities(const std::vector<SimFormatCapacity> &list)
{
    std::vector<uint8_t> v(4 + 8 * list.size(), 0);
    v[3] = static_cast<uint8_t>(8 * list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        size_t at = 4 + 8 * i;
        be32(v, at, list[i].blocks);
        v[at + 4] = static_cast<uint8_t>((list[i].format_type & 0x3F) << 2 | (list[i].descriptor_type & 3));
        be24(v, at + 5, list[i].parameter);
    }
    return v;
}

SimFailure SimDrive::sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    SimFailure f;
    f.sense.assign(18, 0);
    f.sense[0] = 0x70;
    f.sense[2] = key & 15;
    f.sense[7] = 10;
    f.sense[12] = asc;
    f.sense[13] = ascq;
    return f;
}

std::map<std::string, std::vector<uint8_t>> SimDrive::replies() const
{
    std::map<std::string, std::vector<uint8_t>> r;
    r["inquiry"] = sim_inquiry(identity);
    const SimMedium &m = medium;
    if (!m.profiles.empty())
        r["configuration"] = sim_configuration(m.profiles);
    if (m.disc_info)
        r["disc_info"] = sim_disc_info(*m.disc_info);
    if (m.atip)
        r["atip"] = sim_atip(*m.atip);
    if (m.toc) {
        r["toc_msf"] = sim_toc(*m.toc, true);
        r["toc_lba"] = sim_toc(*m.toc, false);
    }
    for (const auto &[n, t] : m.tracks)
        r["track." + std::to_string(n)] = sim_track_info(n, t);
    for (const auto &[format, p] : m.dvd_structures) {
        char key[32];
        std::snprintf(key, sizeof key, "dvd_structure.%02x", format);
        r[key] = sim_dvd_physical(p);
    }
    if (m.format_capacities)
        r["format_capacities"] = sim_format_capacities(*m.format_capacities);
    if (m.buffer_length) {
        std::vector<uint8_t> v(12, 0);
        be16(v, 0, 10);
        be32(v, 4, *m.buffer_length);
        be32(v, 8, m.buffer_blank);
        r["buffer_capacity"] = v;
    }
    if (m.capacity) {
        std::vector<uint8_t> v(8, 0);
        be32(v, 0, m.capacity->first);
        be32(v, 4, m.capacity->second);
        r["capacity"] = v;
    }
    for (const auto &[key, bytes] : raw)
        r[key] = bytes;
    return r;
}

std::string SimDrive::text() const
{
    std::ostringstream o;
    o << "#dvrplat-sim-drive\n";
    o << "version " << identity.driver_version << "\n";
    o << "address " << identity.host << ' ' << identity.channel << ' ' << identity.id << ' '
      << identity.lun << "\n";
    o << "host " << identity.host_text << "\n";
    o << "ready " << (ready ? 1 : 0) << "\n";
    if (device_bytes) {
        o << "bytes " << *device_bytes << "\n";
        o << "sector " << sector_size << "\n";
    }
    for (const auto &[key, bytes] : replies())
        o << "reply " << key << ' ' << hex(bytes) << "\n";
    char buf[64];
    for (const auto &[op, f] : failures) {
        std::snprintf(buf, sizeof buf, "fail %02x %02x %02x %02x ", op, f.status, f.host, f.driver);
        o << buf << hex(f.sense) << "\n";
    }
    for (const auto &[name, err] : ioctl_errno)
        o << "errno " << name << ' ' << err << "\n";
    for (const auto &[key, n] : send_only)
        o << "send " << key << ' ' << n << "\n";
    for (const auto &[key, n] : residual)
        o << "resid " << key << ' ' << n << "\n";
    for (const auto &[key, n] : admit_only)
        o << "admit " << key << ' ' << n << "\n";
    if (!log_path.empty())
        o << "log " << log_path << "\n";
    return o.str();
}

void SimDrive::write(const std::string &path) const
{
    make_dirs(dir_of(path));
    write_file(path, text());
}

void SimDrive::link(const std::string &path, const std::string &target)
{
    make_dirs(dir_of(path));
    ::unlink(path.c_str());
    if (::symlink(target.c_str(), path.c_str()) != 0)
        throw std::runtime_error("symlink " + path);
}

std::vector<SimRequest> SimDrive::read_log(const std::string &path)
{
    std::vector<SimRequest> out;
    std::ifstream in(path);
    std::string cdb;
    unsigned len;
    while (in >> cdb >> len) {
        SimRequest r;
        for (size_t i = 0; i + 1 < cdb.size(); i += 2)
            r.cdb.push_back(static_cast<uint8_t>(std::stoul(cdb.substr(i, 2), nullptr, 16)));
        r.length = len;
        out.push_back(std::move(r));
    }
    return out;
}

namespace {
std::atomic<unsigned> gPauses{0};
std::atomic<unsigned> gPausedSeconds{0};

void count_pause(unsigned seconds)
{
    gPauses.fetch_add(1);
    gPausedSeconds.fetch_add(seconds);
}
} // namespace

CountedUnitReadyPauses::CountedUnitReadyPauses()
{
    reset();
    dvr::dev::set_unit_ready_pause(count_pause);
}

CountedUnitReadyPauses::~CountedUnitReadyPauses() { dvr::dev::set_unit_ready_pause(nullptr); }

unsigned CountedUnitReadyPauses::pauses() const { return gPauses.load(); }

unsigned CountedUnitReadyPauses::seconds() const { return gPausedSeconds.load(); }

void CountedUnitReadyPauses::reset()
{
    gPauses.store(0);
    gPausedSeconds.store(0);
}

} // namespace dvrtest
