// The board's register map: every register the library, its commands and
// the board simulator name, as the address and offset written to the two
// latches. Each register holds one byte. Address arithmetic over an
// output's registers (mon*64 + offset, mon*32 + address) is done in 8 bits.
#ifndef DVRPLAT_FPGA_REGISTERS_H
#define DVRPLAT_FPGA_REGISTERS_H

namespace dvr::fpga::reg {

// Board registers (the CPLD), all at one address.
constexpr unsigned kBoard = 0x00;
constexpr unsigned kPcbInfo = 0x00;
constexpr unsigned kBoardId = 0x01;
constexpr unsigned kCpldVersion = 0x02;
constexpr unsigned kTopFpgaVersion = 0x03;
constexpr unsigned kBottomFpgaVersion = 0x04;
constexpr unsigned kBoardVersion = 0x10;
constexpr unsigned kAlarmLow = 0x21;       // alarm inputs 0-7 (status port); 8-15 at the next offset
constexpr unsigned kRelays = 0x23;         // relay and output bits 0-2
constexpr unsigned kTerminationLow = 0x24; // input termination, channels 0-7; 8-15 at the next offset
constexpr unsigned kVideoLossLow = 0x26;   // video loss 0-7 (status port); 8-15 at the next offset
constexpr unsigned kKeys = 0x30;           // first of the front-panel key registers (0 bit: key down)
constexpr unsigned kKeyRegisters = 5;      // 0x30-0x34: bits 24-63 of a key map
constexpr unsigned kKeyMapShift = 24;      // bits 23-0 of a key map are always set

// Display routing and the display-wide registers of both outputs.
constexpr unsigned kDisplay = 0x01;
constexpr unsigned kOutputStride = 64;      // offsets of output mon start at mon*64
constexpr unsigned kPaths = 16;             // display paths of an output
constexpr unsigned kPathRegister = 0;       // + path: camera, size and enable
constexpr unsigned kPathHorizontal = 16;    // + path: horizontal position, bit 7 freeze control
constexpr unsigned kPathVertical = 32;      // + path: vertical position
constexpr unsigned kZoomHorizontal = 0x30;  // double-size zoom: horizontal start, bit 7 enable
constexpr unsigned kZoomVertical = 0x31;    // double-size zoom: vertical start
constexpr unsigned kBackground = 0x83;      // Y, C1, C2 of output 0's background; output mon at + mon*8
constexpr unsigned kBackgroundStride = 8;
constexpr unsigned kCursorX = 0x90;         // pointer cursor
constexpr unsigned kCursorY = 0x91;
constexpr unsigned kCursorControl = 0x92;   // bit 7 shown, bit 0 bit 8 of y

// On-screen text of output mon: addresses from mon*32.
constexpr unsigned kTextStride = 32;
constexpr unsigned kTextPages = 0x10;       // 12 pages of 128 two-byte cells
constexpr unsigned kTextPageCount = 12;
constexpr unsigned kTextPalette = 0x1E;     // eight foreground colours (C1, C2, Y, 0 from entry*4)
constexpr unsigned kTextBackground = 0x20;  // offsets of the text background at the palette address: C1, C2, Y
constexpr unsigned kFontData = 0x20;        // the glyph's 32 bytes
constexpr unsigned kFontIndex = 0x21;       // offset 0: the glyph index the data registers hold
constexpr unsigned kGlyphBytes = 32;

// Coaxial camera control: data writes feed a byte queue.
constexpr unsigned kCoax = 0x60;

// Motion overlay and motion detection.
constexpr unsigned kOverlay = 0xA2;
constexpr unsigned kOverlayRows = 0x40;     // 0x00-0x1F dot rows, 0x20-0x3F cursor rows
constexpr unsigned kOverlayCursor = 0x20;
constexpr unsigned kOverlayEnable = 0x80;   // bit mon: overlay on output mon
constexpr unsigned kMotion = 0xA3;          // cameras 0-7 (status port); 0xA4 for 8-15
constexpr unsigned kMotionCells = 31;       // results of one camera, from camera*31

// Recording selection.
constexpr unsigned kResolution = 0xB0;      // offset 0
constexpr unsigned kCameraSelection = 0xB1; // 0xB1-0xB4, offsets 0-3: four display positions each

// Registers of output mon, in 8 bits.
constexpr unsigned output_base(unsigned mon) { return (mon * kOutputStride) & 0xFFu; }
constexpr unsigned background(unsigned mon) { return kBackground + kBackgroundStride * mon; }
constexpr unsigned text_base(unsigned mon) { return (mon * kTextStride) & 0xFFu; }
constexpr unsigned text_palette(unsigned mon) { return text_base(mon) + kTextPalette; }
constexpr unsigned font_data(unsigned mon) { return text_base(mon) + kFontData; }
constexpr unsigned font_index(unsigned mon) { return text_base(mon) + kFontIndex; }
// Motion results of camera cam: the address and the first cell's offset.
constexpr unsigned motion_address(unsigned cam) { return kMotion + cam / 8; }
constexpr unsigned motion_offset(unsigned cam, unsigned cell) { return (cam % 8) * kMotionCells + cell; }

} // namespace dvr::fpga::reg

#endif
