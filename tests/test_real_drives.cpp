// labels: root realdrive
// The SCSI transport, the command functions, the disc information and
// discovery against real drives through the kernel's sr and sg drivers,
// each reply cross-checked with sg3_utils (sg_inq, sg_turs, sg_readcap,
// sg_get_config, sg_raw), which decode the same replies on their own.
// In the guest of the board's own architecture the host's sg3_utils are
// programs for another machine: there the cross-checks are skipped with
// the reason and the replies are checked against the image alone.
//
// The drives come from DVRPLAT_REAL_DRIVES, set by the kernel stage of the
// test command inside its virtual machine: entries separated by spaces,
// each "LABEL:KIND:SG_NODE:BLOCK_NODE:IMAGE" where KIND is cd, dvd or empty
// and IMAGE the ISO image the drive holds (empty for an empty tray).
// Without it every case is skipped with the reason: this machine has no
// SCSI generic driver, and the simulated drives are covered by test_scsi,
// test_disc and test_discovery.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DEV.h"
#include "dev_internal.h"
#include "test_support.h"
#include "owners.h"

using dvrtest::CaptureStdout;

// The ELF header of this program, placed by the linker.
extern "C" const ElfW(Ehdr) __ehdr_start;

namespace {

struct RealDrive {
    std::string label, kind, sg, block, image;
    bool loaded() const { return kind != "empty"; }
};

std::vector<RealDrive> real_drives()
{
    std::vector<RealDrive> drives;
    const char *env = std::getenv("DVRPLAT_REAL_DRIVES");
    if (!env)
        return drives;
    std::istringstream in(env);
    std::string entry;
    while (in >> entry) {
        std::vector<std::string> f;
        std::string field;
        std::istringstream fs(entry);
        while (std::getline(fs, field, ':'))
            f.push_back(field);
        f.resize(5);
        drives.push_back({f[0], f[1], f[2], f[3], f[4]});
    }
    return drives;
}

std::string hex(const std::string &b)
{
    std::string s;
    char buf[4];
    for (unsigned char c : b) {
        std::snprintf(buf, sizeof buf, "%02x ", c);
        s += buf;
    }
    return s;
}

uint32_t be32(const std::string &b, size_t at)
{
    auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(b.at(i))); };
    return u(at) << 24 | u(at + 1) << 16 | u(at + 2) << 8 | u(at + 3);
}

// The reply cut to the length its header gives (a length field of
// `field_bytes` big-endian bytes at the start, counting what follows it).
// Reports a drive that transferred more than that: padding up to the
// allocation length, where drives (and the simulated ones) stop at the
// reply's own length.
std::string declared(const std::string &label, const char *command, const std::string &data, int field_bytes)
{
    if (data.size() < static_cast<size_t>(field_bytes))
        return data;
    uint64_t n = 0;
    for (int i = 0; i < field_bytes; ++i)
        n = n << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
    n += static_cast<uint64_t>(field_bytes);
    if (n < data.size()) {
        std::printf("known difference: %s: %s reports the whole allocation length as transferred (%zu "
                    "bytes, zero-padded, residual 0) for a %llu-byte reply; the simulated drives report the "
                    "rest as residual\n",
                    label.c_str(), command, data.size(), static_cast<unsigned long long>(n));
        return data.substr(0, static_cast<size_t>(n));
    }
    return data;
}

uint64_t file_size(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// One command through Dev_ExecMMC: its result, the reply bytes the drive
// transferred and the sense bytes.
struct Reply {
    int result = 0;
    std::string data;
    std::string sense;
};

Reply exec(int fd, std::vector<uint8_t> cdb, unsigned alloc)
{
    DEV_MMC_CMD cmd{};
    std::snprintf(cmd.name, sizeof cmd.name, "real %02Xh", cdb[0]);
    std::vector<uint8_t> reply(alloc ? alloc : 1), sense(32);
    cmd.io.interface_id = 'S';
    cmd.io.dxfer_direction = alloc ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    cmd.io.cmd_len = static_cast<unsigned char>(cdb.size());
    cmd.io.cmdp = cdb.data();
    cmd.io.dxfer_len = alloc;
    cmd.io.dxferp = alloc ? reply.data() : nullptr;
    cmd.io.mx_sb_len = static_cast<unsigned char>(sense.size());
    cmd.io.sbp = sense.data();
    cmd.io.timeout = 20000;
    Reply r;
    CaptureStdout quiet;
    r.result = Dev_ExecMMC(&cmd, fd, 0);
    quiet.take();
    const int got = static_cast<int>(alloc) - cmd.io.resid;
    if (alloc && got > 0)
        r.data.assign(reinterpret_cast<char *>(reply.data()), static_cast<size_t>(got));
    r.sense.assign(reinterpret_cast<char *>(sense.data()), cmd.io.sb_len_wr);
    return r;
}

// An sg3_utils program (the test helpers start programs by path).
std::string tool(const char *name)
{
    return std::string("/usr/bin/") + name;
}

// Whether the sg3_utils program can run here. It cannot where the
// program at its path is built for another machine than this test program
// (the host's tools seen from the PowerPC guest): that is said once, and
// the cross-checks with it are left out. A missing program is not a
// reason: running it then fails the case.
bool have_tool(const char *name)
{
    static std::set<std::string> foreign;
    const std::string path = tool(name);
    if (foreign.count(path))
        return false;
    unsigned char h[EI_NIDENT + 4] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(h), sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0)
        return true;
    const ElfW(Ehdr) &self = __ehdr_start;
    // e_machine follows e_type, in the file's own byte order.
    const unsigned machine = h[EI_DATA] == ELFDATA2MSB ? (h[EI_NIDENT + 2] << 8 | h[EI_NIDENT + 3])
                                                       : (h[EI_NIDENT + 3] << 8 | h[EI_NIDENT + 2]);
    if (h[EI_CLASS] == self.e_ident[EI_CLASS] && h[EI_DATA] == self.e_ident[EI_DATA] && machine == self.e_machine)
        return true;
    foreign.insert(path);
    std::printf("cross-check skipped: %s is a program for another machine (ELF machine %u, %d-bit, %s-endian; "
                "this one is machine %u): no sg3_utils for this architecture\n",
                path.c_str(), machine, h[EI_CLASS] == ELFCLASS64 ? 64 : 32,
                h[EI_DATA] == ELFDATA2MSB ? "big" : "little", static_cast<unsigned>(self.e_machine));
    std::fflush(stdout);
    return false;
}

// The hexadecimal command block for sg_raw.
std::vector<std::string> raw_args(const std::vector<uint8_t> &cdb)
{
    std::vector<std::string> a;
    char buf[4];
    for (uint8_t c : cdb) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        a.push_back(buf);
    }
    return a;
}

// A line "NAME: value" of a tool's report, the value trimmed.
std::string field(const std::string &text, const std::string &name)
{
    size_t at = text.find(name + ":");
    if (at == std::string::npos)
        return "(missing " + name + ")";
    at += name.size() + 1;
    size_t end = text.find('\n', at);
    std::string v = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    v.erase(0, v.find_first_not_of(' '));
    v.erase(v.find_last_not_of(' ') + 1);
    return v;
}

class RealDrives : public ::testing::Test {
protected:
    std::vector<RealDrive> drives = real_drives();

    void SetUp() override
    {
        if (drives.empty())
            GTEST_SKIP() << "no real drive: DVRPLAT_REAL_DRIVES is unset (the kernel stage of scripts/test.sh "
                            "sets it inside its virtual machine)";
        if (!dvrtest::is_root())
            GTEST_SKIP() << "SCSI generic nodes need root";
    }

    static dvr::UniqueFd open_sg(const RealDrive &d)
    {
        dvr::UniqueFd fd(::open(d.sg.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        EXPECT_TRUE(fd.valid()) << d.sg << ": " << std::strerror(errno);
        return fd;
    }
};

TEST_F(RealDrives, InquiryAgreesWithSgInq)
{
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg);
        dvr::UniqueFd fd = open_sg(d);
        Reply r = exec(fd.get(), {0x12, 0, 0, 0, 96, 0}, 96);
        ASSERT_EQ(r.result, 0);
        ASSERT_GE(r.data.size(), 36u);
        EXPECT_EQ(r.data[0] & 0x1f, 5) << "peripheral device type: " << hex(r.data);
        auto trim = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
        const std::string vendor = trim(r.data.substr(8, 8));
        if (have_tool("sg_inq")) {
            auto raw = dvrtest::run({tool("sg_inq"), "--raw", "--len=96", d.sg});
            ASSERT_EQ(raw.status, 0) << raw.err;
            EXPECT_EQ(hex(r.data), hex(raw.out));
            auto text = dvrtest::run({tool("sg_inq"), d.sg});
            ASSERT_EQ(text.status, 0) << text.err;
            EXPECT_NE(text.out.find("PDT=5"), std::string::npos) << text.out;
            EXPECT_EQ(vendor, field(text.out, "Vendor identification"));
            EXPECT_EQ(trim(r.data.substr(16, 16)), field(text.out, "Product identification"));
            EXPECT_EQ(trim(r.data.substr(32, 4)), field(text.out, "Product revision level"));
        }

        // The model Dev_Inquiry keeps: vendor and product, compacted.
        char model[32] = {};
        CaptureStdout cap;
        EXPECT_EQ(Dev_Inquiry(d.block.c_str(), fd.get(), model), 1);
        std::string out = cap.take();
        EXPECT_NE(out.find("Vendor          = " + r.data.substr(8, 8)), std::string::npos) << out;
        EXPECT_NE(out.find("Product ID      = " + r.data.substr(16, 16)), std::string::npos) << out;
        EXPECT_NE(std::string(model).find(vendor), std::string::npos) << model;
    }
}

TEST_F(RealDrives, TestUnitReadyAgreesWithSgTurs)
{
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg);
        dvr::UniqueFd fd = open_sg(d);
        if (have_tool("sg_turs")) {
            auto turs = dvrtest::run({tool("sg_turs"), d.sg});
            // sg_turs: 0 ready, 2 not ready.
            EXPECT_EQ(turs.status, d.loaded() ? 0 : 2) << turs.out << turs.err;
        }
        Reply r = exec(fd.get(), {0, 0, 0, 0, 0, 0}, 0);
        if (d.loaded()) {
            EXPECT_EQ(r.result, 0);
        } else {
            // CHECK CONDITION, NOT READY, MEDIUM NOT PRESENT (3Ah/xx).
            EXPECT_EQ(r.result, -4);
            ASSERT_GE(r.sense.size(), 14u) << hex(r.sense);
            EXPECT_EQ(r.sense[2] & 0x0f, 2) << hex(r.sense);
            EXPECT_EQ(static_cast<unsigned char>(r.sense[12]), 0x3a) << hex(r.sense);
        }
        CaptureStdout quiet;
        EXPECT_EQ(Dev_TestUnitReady(d.block.c_str(), fd.get()), d.loaded() ? 1 : 0);
    }
}

TEST_F(RealDrives, ReadCapacityAgreesWithSgReadcapAndTheImage)
{
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg);
        dvr::UniqueFd fd = open_sg(d);
        Reply r = exec(fd.get(), {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
        CaptureStdout quiet;
        const int lib = Dev_ReadCapacity(d.block.c_str(), fd.get(), nullptr);
        quiet.take();
        if (!d.loaded()) {
            EXPECT_EQ(r.result, -4);
            EXPECT_EQ(lib, 0);
            continue;
        }
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(lib, 1);
        ASSERT_EQ(r.data.size(), 8u);
        const unsigned long long blocks = be32(r.data, 0) + 1ull, size = be32(r.data, 4);
        EXPECT_EQ(size, 2048u);
        EXPECT_EQ(blocks * 2048u, file_size(d.image));
        if (have_tool("sg_readcap")) {
            auto raw = dvrtest::run({tool("sg_readcap"), "--raw", d.sg});
            ASSERT_EQ(raw.status, 0) << raw.err;
            EXPECT_EQ(hex(r.data), hex(raw.out));
            auto brief = dvrtest::run({tool("sg_readcap"), "--brief", d.sg});
            unsigned long long tool_blocks = 0, tool_size = 0;
            ASSERT_EQ(std::sscanf(brief.out.c_str(), "%llx %llx", &tool_blocks, &tool_size), 2) << brief.out;
            EXPECT_EQ(tool_blocks, blocks);
            EXPECT_EQ(tool_size, size);
        }
    }
}

TEST_F(RealDrives, CurrentProfileAgreesWithSgGetConfig)
{
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg);
        dvr::UniqueFd fd = open_sg(d);
        Reply r = exec(fd.get(), {0x46, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, 8192);
        ASSERT_EQ(r.result, 0);
        ASSERT_GE(r.data.size(), 8u);
        const std::string reply = declared(d.label, "GET CONFIGURATION", r.data, 4);
        EXPECT_EQ(be32(r.data, 0) + 4u, reply.size());
        const bool cross = have_tool("sg_get_config");
        std::string current;
        if (cross) {
            auto raw = dvrtest::run({tool("sg_get_config"), "--raw", d.sg});
            ASSERT_EQ(raw.status, 0) << raw.err;
            EXPECT_EQ(hex(reply), hex(raw.out));
            auto text = dvrtest::run({tool("sg_get_config"), "--brief", d.sg});
            current = field(text.out, "Current profile");
        }
        const unsigned profile = static_cast<unsigned char>(r.data[6]) << 8 | static_cast<unsigned char>(r.data[7]);
        struct Expect {
            const char *kind, *name;
            unsigned profile;
            int32_t type1, type2;
            int result;
        } table[] = {{"cd", "CD-ROM", 0x08, 1, 1, 1}, {"dvd", "DVD-ROM", 0x10, 2, 1, 1}, {"empty", "", 0, 0, 0, 0}};
        for (const Expect &e : table) {
            if (d.kind != e.kind)
                continue;
            EXPECT_EQ(profile, e.profile);
            if (e.profile && cross) {
                EXPECT_EQ(current, e.name);
            }
            DEV_DISC_INFO info{};
            CaptureStdout quiet;
            EXPECT_EQ(Dev_GetConfiguration(d.block.c_str(), fd.get(), &info), e.result);
            std::string out = quiet.take();
            EXPECT_EQ(info.type1, e.type1) << out;
            EXPECT_EQ(info.type2, e.type2) << out;
        }
    }
}

// READ TOC and READ DISC INFORMATION: the same bytes through sg_raw, and
// the fields the image fixes (one data track ending where the capacity
// ends, one complete session).
TEST_F(RealDrives, TocAndDiscInformationDescribeTheImage)
{
    for (const RealDrive &d : drives) {
        if (!d.loaded())
            continue;
        SCOPED_TRACE(d.label + " " + d.sg);
        dvr::UniqueFd fd = open_sg(d);
        const uint64_t blocks = file_size(d.image) / 2048;
        const std::vector<uint8_t> toc = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
        Reply t = exec(fd.get(), toc, 804);
        ASSERT_EQ(t.result, 0);
        if (have_tool("sg_raw")) {
            auto raw_args_toc = raw_args(toc);
            std::vector<std::string> argv = {tool("sg_raw"), "-b", "-r", "804", d.sg};
            argv.insert(argv.end(), raw_args_toc.begin(), raw_args_toc.end());
            auto raw = dvrtest::run(argv);
            ASSERT_EQ(raw.status, 0) << raw.err;
            EXPECT_EQ(hex(t.data), hex(raw.out));
        }
        t.data = declared(d.label, "READ TOC", t.data, 2);
        ASSERT_EQ(t.data.size(), 20u) << hex(t.data);
        EXPECT_EQ(t.data[2], 1);
        EXPECT_EQ(t.data[3], 1);
        EXPECT_EQ(t.data[4 + 1] & 0x0f, 4) << "data track";
        EXPECT_EQ(be32(t.data, 4 + 4), 0u);
        EXPECT_EQ(static_cast<unsigned char>(t.data[12 + 2]), 0xaa) << "lead-out";
        EXPECT_EQ(be32(t.data, 12 + 4), blocks);

        const std::vector<uint8_t> di = {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0};
        Reply r = exec(fd.get(), di, 34);
        ASSERT_EQ(r.result, 0);
        r.data = declared(d.label, "READ DISC INFORMATION", r.data, 2);
        ASSERT_GE(r.data.size(), 12u) << hex(r.data);
        EXPECT_EQ(r.data[2] & 3, 2) << "complete disc: " << hex(r.data);
        EXPECT_EQ(r.data[3], 1) << "first track";
        EXPECT_EQ(r.data[4], 1) << "sessions";
        EXPECT_EQ(r.data[6], 1) << "last track in the last session";

        DEV_DISC_INFO info{};
        info.type1 = d.kind == "cd" ? 1 : 2;
        CaptureStdout quiet;
        EXPECT_EQ(Dev_ReadDiscInfo(d.block.c_str(), fd.get(), &info), 1);
        std::string out = quiet.take();
        if (d.kind == "cd") {
            EXPECT_EQ(info.total_session, 1) << out;
            EXPECT_EQ(info.appendable, 2) << out;
        }
    }
}

// What Dev_GetDiscInfo makes of QEMU's media: the figures of the
// simulated drives' pressed CD-ROM and DVD-ROM (test_disc). A pressed
// CD-ROM has no ATIP, so the CD steps stop there; a DVD-ROM is reported by
// its type alone.
TEST_F(RealDrives, DiscInformationOfTheMediaIsThatOfTheSimulatedDiscs)
{
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg);
        DEV_INFO rec{};
        rec.cdrom = 1;
        std::snprintf(rec.dev, sizeof rec.dev, "%s", d.block.c_str());
        std::snprintf(rec.sg, sizeof rec.sg, "%s", d.sg.c_str());
        CaptureStdout cap;
        const int result = Dev_GetDiscInfo(&rec);
        std::string out = cap.take();
        const DEV_DISC_INFO &i = rec.details.disc;
        if (!d.loaded()) {
            EXPECT_EQ(result, -129);
            EXPECT_EQ(rec.ready, 0);
            continue;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rec.ready, 1);
        EXPECT_EQ(i.type1, d.kind == "cd" ? 1 : 2);
        EXPECT_EQ(i.type2, 1) << "read-only medium";
        EXPECT_NE(out.find(d.kind == "cd" ? "It's CD-ROM\n" : "It's DVD-ROM\n"), std::string::npos) << out;

        // A drive that answers READ TOC/PMA/ATIP format 4 (ATIP) with the
        // formatted TOC takes the format from byte 9 (bits 6 and 7, where
        // drives before MMC had it) instead of byte 2: QEMU's ATAPI drive
        // does. The TOC is then read as an ATIP.
        dvr::UniqueFd fd = open_sg(d);
        Reply atip = exec(fd.get(), {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 0x04, 0}, 4);
        Reply toc = exec(fd.get(), {0x43, 0x02, 0x00, 0, 0, 0, 0, 0, 0x04, 0}, 4);
        if (d.kind == "cd" && atip.result == 0 && atip.data == toc.data) {
            std::printf("known difference: %s (%s): READ TOC/PMA/ATIP format 4 (ATIP) answered with the "
                        "formatted TOC (format taken from byte 9, not byte 2); Dev_ReadCdATIP reads it as an "
                        "ATIP: total_capacity %llu KB, used_capacity %llu KB, appendable %d for a pressed "
                        "CD-ROM\n",
                        d.label.c_str(), d.sg.c_str(), static_cast<unsigned long long>(i.total_capacity),
                        static_cast<unsigned long long>(i.used_capacity), i.appendable);
            continue;
        }
        EXPECT_NE(atip.result, 0) << "a pressed disc has no ATIP";
        if (d.kind == "cd") {
            EXPECT_NE(out.find("Read CD ATIP error\n"), std::string::npos) << out;
        }
        EXPECT_EQ(i.type3, 0);
        EXPECT_EQ(i.sub_type, 0u);
        EXPECT_EQ(i.appendable, 0);
        EXPECT_EQ(i.last_track, 0);
        EXPECT_EQ(i.total_session, 0);
        EXPECT_EQ(i.total_capacity, 0u);
        EXPECT_EQ(i.used_capacity, 0u) << out;
    }
}

// Discovery over the real nodes: every drive is found with its generic
// node and its SCSI address, the map of generic nodes counts the loaded
// drives as ready, and the node conversions go both ways.
TEST_F(RealDrives, DiscoveryAndTheGenericMapFindEveryDrive)
{
    DEV_INFO table[DEV_MAX_DEVICES] = {};
    DEV_SG_MAP map[DEV_SG_MAP_SIZE] = {};
    CaptureStdout cap;
    const int found = Dev_Get(table);
    const int ready = Dev_BuildSgMap(map);
    std::string out = cap.take();
    int loaded = 0;
    for (const RealDrive &d : drives) {
        SCOPED_TRACE(d.label + " " + d.sg + " " + d.block);
        loaded += d.loaded();
        // The address the kernel gives the generic node.
        char link[256] = {};
        const std::string sys = "/sys/class/scsi_generic/" + d.sg.substr(d.sg.rfind('/') + 1) + "/device";
        ASSERT_GT(::readlink(sys.c_str(), link, sizeof link - 1), 0) << sys;
        int h = -1, c = -1, t = -1, l = -1;
        const char *base = std::strrchr(link, '/');
        ASSERT_EQ(std::sscanf(base ? base + 1 : link, "%d:%d:%d:%d", &h, &c, &t, &l), 4) << link;

        const DEV_INFO *rec = nullptr;
        for (int k = 0; k < found && k < DEV_MAX_DEVICES; ++k)
            if (d.block == table[k].dev)
                rec = &table[k];
        ASSERT_NE(rec, nullptr) << out;
        EXPECT_EQ(rec->cdrom, 1);
        EXPECT_EQ(std::string(rec->sg), d.sg);
        EXPECT_EQ(rec->host, h);
        EXPECT_EQ(rec->channel, c);
        EXPECT_EQ(rec->id, t);
        EXPECT_EQ(rec->lun, l);
        EXPECT_EQ(rec->ready, d.loaded() ? 1 : 0);

        const int k = std::atoi(d.sg.c_str() + 7);
        ASSERT_LT(k, DEV_SG_MAP_SIZE);
        EXPECT_EQ(std::string(map[k].name), d.sg);
        EXPECT_EQ(map[k].ready, d.loaded() ? 1 : 0);
        EXPECT_EQ(map[k].host, h);
        EXPECT_EQ(map[k].id, t);

        char sg[DEV_NODE_SIZE] = {}, sd[DEV_NODE_SIZE] = {};
        CaptureStdout quiet;
        EXPECT_EQ(Dev_SdToSg(sg, d.block.c_str()), d.loaded() ? 0 : 1);
        EXPECT_EQ(Dev_SgToSd(sd, d.sg.c_str()), d.loaded() ? 0 : 1);
        quiet.take();
        EXPECT_EQ(std::string(sg), d.sg);
        EXPECT_EQ(std::string(sd), d.block);
    }
    EXPECT_EQ(ready, loaded) << out;
}

} // namespace
