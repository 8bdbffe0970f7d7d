// The board simulator file (DVRPLAT_FPGA_SIM): its layout, opening and
// extending it, single register bytes, the state of a new file, and the
// inputs a tester sets in it. The simulated register window, fpgasim and
// the tests all reach the file through this.
#ifndef DVRPLAT_SIM_FILE_H
#define DVRPLAT_SIM_FILE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/types.h>

#include "../fpga/registers.h"

namespace dvr::sim {

// Layout.
constexpr size_t kRegisters = 0;          // [0, 65536): register file
constexpr size_t kStatus = 65536;         // [65536, 131072): status inputs
constexpr size_t kLatchAddress = 131072;  // address latch
constexpr size_t kLatchOffset = 131073;   // offset latch
constexpr size_t kCoaxCount = 131076;     // big-endian count of queued coax bytes
constexpr size_t kCoaxQueue = 131080;     // queued coax bytes, in order
constexpr size_t kCoaxCapacity = 65536;   // bytes past this are dropped
// Fonts loaded into the outputs, one table per output after the queue:
// a byte per glyph index (1 once any byte of that glyph was written), then
// the 32 bytes of each glyph in index order. The font registers hold one
// glyph at a time; the table keeps every glyph written through them.
constexpr size_t kFontTable = 0x31000;
constexpr size_t kFontGlyphs = 256;                            // glyph indexes
constexpr size_t kFontGlyphBytes = fpga::reg::kGlyphBytes;     // bytes of one glyph
constexpr size_t kFontLoaded = 0;                              // loaded flags, within a table
constexpr size_t kFontData = kFontGlyphs;                      // glyph bytes, within a table
constexpr size_t kFontTableSize = kFontData + kFontGlyphs * kFontGlyphBytes;
constexpr size_t kFontOutputs = 2;
constexpr size_t kFileSize = 262144;
static_assert(kCoaxQueue + kCoaxCapacity <= kFontTable);
static_assert(kFontTable + kFontOutputs * kFontTableSize <= kFileSize);

// Where a register's byte (data port) and its status input (status
// port) lie in the file.
constexpr size_t reg_index(unsigned address, unsigned offset) { return (address & 0xFF) * 256 + (offset & 0xFF); }
constexpr size_t register_at(unsigned address, unsigned offset) { return kRegisters + reg_index(address, offset); }
constexpr size_t status_at(unsigned address, unsigned offset) { return kStatus + reg_index(address, offset); }
constexpr size_t font_table(unsigned mon) { return kFontTable + mon * kFontTableSize; }

// One byte to write at a place in the file.
struct Write {
    size_t at;
    uint8_t value;
};

// The board idle as it powers up, what a new (empty) file is given: no
// key down, no input set, both outputs black (screen and text background)
// with a blank text layer until fpga_init. Every other byte is 0.
std::vector<Write> power_on();

// Inputs as a tester sets them (fpgasim set and the panel).
std::vector<Write> set_alarm(uint16_t mask);       // bit n: alarm input n
std::vector<Write> set_video_loss(uint16_t mask);  // bit n: camera n
std::vector<Write> set_termination(uint16_t mask); // the register pair fpga_set_terminate sets
// Bit n: camera n shows motion in its first cell; every other cell of
// every camera is cleared.
std::vector<Write> set_motion(uint16_t mask);
std::vector<Write> set_motion_cell(unsigned cam, unsigned cell, uint8_t value);
// The key registers from bits 63-24 of a key map (a 0 bit is a key down).
std::vector<Write> set_keys(uint64_t map);
// Only one key down: bit of key register offset (0x30-0x34).
std::vector<Write> set_key(unsigned offset, unsigned bit);
std::vector<Write> clear_coax();

// The same inputs read from the file's bytes (kFileSize of them).
uint16_t alarm(const uint8_t *file);
uint16_t video_loss(const uint8_t *file);
uint16_t termination(const uint8_t *file);
uint16_t motion(const uint8_t *file); // bit n: any cell of camera n set
uint64_t keys(const uint8_t *file);   // bits 23-0 set

// An open simulator file. Failures leave errno as the failing call set it.
class File {
public:
    enum class Mode {
        Read,    // read only; never changed
        Patch,   // read and write; must exist; its size is left as it is
        Write,   // read and write; must exist
        Create,  // read and write; made when missing
    };
    enum class Failure {
        None,
        Open,       // open failed
        Stat,       // its size could not be read
        NotRegular, // not a regular file (only when asked for one)
        Extend,     // it could not be extended or given its first state
    };

    File() = default;
    File(File &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();

    // Opens path. Opened to Write or Create, a file shorter than a board
    // file is extended with zeros to kFileSize (the bytes it has are kept);
    // an empty one is given the power-on state instead.
    Failure open(const char *path, Mode mode, bool regular_only = false);

    int fd() const { return fd_; }
    // The file's size now, or -1.
    off_t size() const;
    // True when the file is at least a board file's size.
    bool whole() const { return size() >= static_cast<off_t>(kFileSize); }

    // The file's first kFileSize bytes into out. A file shorter than that
    // fails, or with allow_short reads as zeros past its end (an empty file
    // as the power-on state, which fpga_open would give it).
    bool read_all(std::vector<uint8_t> &out, bool allow_short = false) const;

    // One byte; false when it lies past the file's end or the call fails.
    bool get(size_t at, uint8_t &v) const;
    bool get(size_t at, uint8_t *bytes, size_t n) const;
    bool put(size_t at, uint8_t v);
    bool put(size_t at, const uint8_t *bytes, size_t n);
    // Every write in order; stops at the first that fails.
    bool write(const std::vector<Write> &writes);

private:
    void close_fd() noexcept;

    int fd_ = -1;
};

} // namespace dvr::sim

#endif
