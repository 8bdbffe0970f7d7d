/**
 * @file
 * fpga: the FPGA control layer of the recorder's controller board.
 *
 * Every register is named by an 8-bit address and an 8-bit offset and
 * holds one byte; it is reached through the latch protocol of the
 * memory-mapped register window. Call fpga_open before any register
 * operation. Plain C interface (C99 and C++), every function with C
 * linkage.
 *
 * Reports go through COM_Message (standard output unless a handler is
 * set with COM_SetMessageHandler). Register operations never block on
 * anything but the layer's lock, which each multi-register sequence holds
 * for its whole length (microseconds; a font load a few milliseconds on
 * the board); with DVRPLAT_FPGA_TRACE each port access also appends a
 * line to the trace file. The lock serialises the threads of one process:
 * the latches belong to the board (or the simulator file), so two
 * processes that drive registers at the same time can interleave.
 */
#ifndef DVRPLAT_FPGA_H
#define DVRPLAT_FPGA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Everything declared here is the library's interface, exported from the
 * shared library; all else in it is hidden. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/** Base of the mapped register window; all ones (MAP_FAILED) while unmapped. */
extern volatile unsigned char *Ce_Cpld;

/* ---------------------------------------------------------------------
 * Register access
 *
 * Until fpga_open has succeeded, register operations touch nothing:
 * writes are dropped and reads return 0. The same holds, after a report,
 * while a simulator file (DVRPLAT_FPGA_SIM) is cut short under the
 * program, and fpga_read then returns -1.
 * ------------------------------------------------------------------- */

/**
 * Maps the register window. Without DVRPLAT_FPGA_SIM it maps the board's
 * register range from "/dev/mem" (under DVRPLAT_ROOT when set); with it, the
 * named simulator file, created zero-filled when missing and extended to a
 * whole board file. With DVRPLAT_FPGA_TRACE every port access is then also
 * appended to that file. A later call opens afresh and replaces the window;
 * the old mapping stays for the life of the process.
 * @return 0 mapped; -1 the device or a file could not be opened, sized or
 *         mapped (reported with the system's reason); the layer is then
 *         unmapped and register operations touch nothing.
 * Thread-safe: calls are serialised, and the window is swapped under the
 * layer's lock, so a sequence in progress ends on the old window. Blocks
 * only for the open and map calls.
 */
int fpga_open(void);
/**
 * Reads one register: latches address and offset, then reads the data port.
 * @param address register address, 0..255 (only the low 8 bits are used)
 * @param offset  register offset, 0..255 (low 8 bits)
 * @return the register's byte (0..255); 0 while the layer is unmapped; -1
 *         when the simulator file is cut short under the program (reported
 *         once until it is whole again).
 * Thread-safe: the latch and the read run under the layer's lock. Blocks
 * only while another thread's register sequence holds it.
 */
int fpga_read(int address, int offset);
/**
 * Writes one register: latches address and offset, then writes the data
 * port. Dropped while the layer is unmapped.
 * @param address register address (low 8 bits)
 * @param offset  register offset (low 8 bits)
 * @param data    byte to write (low 8 bits)
 * Thread-safe: under the layer's lock, as fpga_read.
 */
void fpga_write(int address, int offset, int data);
/**
 * fpga_read without the layer's lock: for a program with one thread that
 * touches registers. Two threads calling it, or it and any other register
 * operation, can interleave their latch writes and read the wrong register.
 * @param address register address (low 8 bits)
 * @param offset  register offset (low 8 bits)
 * @return the register's byte; 0 while unmapped or when the access fails
 *         (no -1: the type has no room for it).
 * Not thread-safe. Never blocks on a lock.
 */
unsigned char fpga_read_wo_lock(int address, int offset);
/**
 * fpga_write without the layer's lock; the same caution as
 * fpga_read_wo_lock.
 * @param address register address (low 8 bits)
 * @param offset  register offset (low 8 bits)
 * @param data    byte to write (low 8 bits)
 * Not thread-safe.
 */
void fpga_write_wo_lock(int address, int offset, int data);
/**
 * Reads a register of the board CPLD (address 0x00).
 * @param offset register offset (low 8 bits)
 * @return as fpga_read. Thread-safe.
 */
int fpga_subread_cpld(int offset);
/**
 * Board CPLD register 0x00: the circuit board information byte.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_pcbinfo(void);
/**
 * Board CPLD register 0x01: the board identifier.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_brdid(void);
/**
 * Board CPLD register 0x02: the CPLD version.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_cpldver(void);
/**
 * Board CPLD register 0x02 again (the same byte as fpga_read_cpldver).
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_cpldver2(void);
/**
 * Board CPLD register 0x03: the version of the top video FPGA.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_topfpgaver(void);
/**
 * Board CPLD register 0x04: the version of the bottom video FPGA.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_botfpgaver(void);
/**
 * Board CPLD register 0x10: the board revision.
 * @return as fpga_read. Thread-safe.
 */
int fpga_read_brdver(void);

/* ---------------------------------------------------------------------
 * Display routing
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * Display routing (register address 0x01; mon is the video output, 0 or 1)
 *
 * cameras holds one camera number (0..15) per path, path 0 top left, then
 * left to right and top to bottom. A camera c is blanked when bit c of
 * mask_a or mask_b is set. Each layout clears all paths and the zoom of
 * the output first, then writes its paths, as one locked sequence.
 * Every function that takes an output refuses any other number than 0 or
 * 1 with a report, writing nothing (-1 where it has a result); the
 * on-screen display and overlay functions below do the same.
 * ------------------------------------------------------------------- */

/**
 * A screen layout function: fpga_fullscr_disp, fpga_4split_disp,
 * fpga_9split_disp or fpga_16split_disp.
 */
typedef int (*fpga_split_fn)(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);

/** Layouts by number of tiles: entries 1, 4, 9 and 16; the others are null. */
extern fpga_split_fn gFpgaOsdSplitFn[17];

/**
 * Switches off all 16 paths and the zoom window of output mon.
 * @param mon video output, 0 or 1; another number is reported and nothing
 *            is written.
 * Thread-safe: one locked sequence.
 */
void fpga_allpath_off(int mon);
/**
 * Shows one camera full screen on output mon (cameras[0]), and reports the
 * registers written as one line.
 * @param mon     video output, 0 or 1
 * @param cameras camera numbers, at least 1 entry
 * @param mask_a  cameras to blank (bit c for camera c)
 * @param mask_b  more cameras to blank (OR-ed with mask_a)
 * @return 0 written; -1 bad output or a null camera list (reported, nothing
 *         written).
 * Thread-safe: clearing and writing run as one locked sequence; the report
 * is printed after the lock is released.
 */
int fpga_fullscr_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/**
 * Shows four cameras in quarters (2 by 2) on output mon.
 * @param mon     video output, 0 or 1
 * @param cameras camera numbers, at least 4 entries
 * @param mask_a  cameras to blank (bit c for camera c)
 * @param mask_b  more cameras to blank
 * @return 0 written; -1 bad output or null list (reported, nothing written).
 * Thread-safe (one locked sequence).
 */
int fpga_4split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/**
 * Shows nine cameras on a 3 by 3 grid on output mon.
 * @param mon     video output, 0 or 1
 * @param cameras camera numbers, at least 9 entries
 * @param mask_a  cameras to blank (bit c for camera c)
 * @param mask_b  more cameras to blank
 * @return 0 written; -1 bad output or null list (reported, nothing written).
 * Thread-safe (one locked sequence).
 */
int fpga_9split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/**
 * Shows sixteen cameras on a 4 by 4 grid on output mon and reports each
 * path's registers (16 lines, printed after the lock is released).
 * @param mon     video output, 0 or 1
 * @param cameras camera numbers, at least 16 entries
 * @param mask_a  cameras to blank (bit c for camera c)
 * @param mask_b  more cameras to blank
 * @return 0 written; -1 bad output or null list (reported, nothing written).
 * Thread-safe (one locked sequence).
 */
int fpga_16split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/**
 * Shows the layout of the given number of tiles through gFpgaOsdSplitFn.
 * @param mon     video output, 0 or 1
 * @param tiles   1, 4, 9 or 16; any other number is reported
 * @param cameras camera numbers, at least tiles entries
 * @param mask_a  cameras to blank
 * @param mask_b  more cameras to blank
 * @return 0 written; -1 no such layout or the layout failed (nothing
 *         written). Thread-safe.
 */
int fpga_split_disp(int mon, int tiles, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/**
 * Freezes or releases the picture of output mon: for each of the 16
 * horizontal-position registers, on = 0 sets bit 7 and on != 0 clears it
 * (the other bits are kept). Reports each register written (16 lines,
 * printed after the lock is released).
 * @param mon video output, 0 or 1
 * @param on  0 freeze, other values release
 * @return the last byte written; -1 bad output (reported, nothing written).
 * Thread-safe: the read-modify-write of all 16 registers is one locked
 * sequence.
 */
int fpga_freeze_onoff(int mon, int on);
/**
 * Moves the double-size zoom window of output mon by (dh, dv) pixels from
 * where the previous call (on either output) left it, clamped to 0..358
 * horizontally and 0..238 vertically, and switches it on.
 * @param mon      video output, 0 or 1
 * @param selector a negative value does nothing; others zoom
 * @param dh       horizontal step in pixels (may be negative)
 * @param dv       vertical step in pixels (may be negative)
 * @param unused1  not used
 * @param unused2  not used
 * @return 0 written; -1 bad output (reported) or selector < 0 (nothing
 *         changed).
 * Thread-safe: the window position is shared by both outputs and changed
 * under the layer's lock, so concurrent moves add up.
 */
int fpga_x2zoom_disp(int mon, int selector, int dh, int dv, int unused1, int unused2);
/**
 * fpga_x2zoom_disp on output 0 with selector 0.
 * @param dh horizontal step in pixels
 * @param dv vertical step in pixels
 * @return 0. Thread-safe.
 */
int fpga_playback_x2zoom(int dh, int dv);
/**
 * Call-monitor selection: this board has no call-monitor output; nothing is
 * written.
 * @param value the wanted selection
 * @return value. Thread-safe.
 */
int fpga_set_callmonitor(int value);
/**
 * Call-monitor selection: none on this board.
 * @return 0. Thread-safe.
 */
int fpga_get_callmonitor(void);
/**
 * Second call-monitor selection: none on this board; nothing is written.
 * @param value the wanted selection
 * @return value. Thread-safe.
 */
int fpga_set_second_callmonitor(int value);
/**
 * Second call-monitor selection: none on this board.
 * @return 0. Thread-safe.
 */
int fpga_get_second_callmonitor(void);

/* ---------------------------------------------------------------------
 * On-screen display
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * On-screen display
 *
 * Colours are given as Y, C1, C2. Text cells are two bytes (high byte
 * first, the low byte is the glyph index), 45 cells a row; only output 0
 * has a text layer. The glyph table holds 256 pointers to records whose
 * bytes 2..33 are the glyph's 32 data bytes.
 * ------------------------------------------------------------------- */

/** Height of a character cell in pixel rows (default 16). */
extern int FontBitY;

/**
 * Maps the window (fpga_open) and brings both outputs to a blank start-up
 * state: all paths and zoom off, the default text palette, black text and
 * output backgrounds, output 0's text memory filled with blank cells, the
 * motion overlay cleared and off. A FontBitY of 0 or less is reported and
 * the text memory left as it is; a failed fpga_open is reported and the
 * writes are dropped.
 * Thread-safe as its parts are (each is one locked sequence; another thread
 * may write between them). Run it once at start-up.
 */
void fpga_init(void);
/**
 * Sets one entry of the text palette of output mon.
 * @param mon   video output, 0 or 1
 * @param entry palette entry, 0..7
 * @param y     luminance (low 8 bits)
 * @param c1    first chrominance (low 8 bits)
 * @param c2    second chrominance (low 8 bits)
 * @return 0 written; -1 bad output or entry (reported, nothing written).
 * Thread-safe (one locked sequence).
 */
int fpga_osd_set_fgcolor(int mon, int entry, int y, int c1, int c2);
/**
 * Sets the text background colour of output mon.
 * @param mon video output, 0 or 1
 * @param y   luminance
 * @param c1  first chrominance
 * @param c2  second chrominance
 * @return 0 written; -1 bad output (reported, nothing written). Thread-safe.
 */
int fpga_osd_set_bgcolor(int mon, int y, int c1, int c2);
/**
 * Sets the picture background colour of output mon (shown where no path
 * is).
 * @param mon video output, 0 or 1
 * @param y   luminance
 * @param c1  first chrominance
 * @param c2  second chrominance
 * @return 0 written; -1 bad output (reported, nothing written). Thread-safe.
 */
int fpga_mon_set_bgcolor(int mon, int y, int c1, int c2);
/**
 * Loads a whole font (256 glyphs of 32 bytes) into output mon: the table is
 * checked first, so a font is loaded completely or not at all.
 * @param mon    video output, 0 or 1
 * @param glyphs 256 pointers to glyph records (bytes 2..33 are the glyph)
 * @return 0 loaded; -1 bad output, null table or a null entry (reported,
 *         nothing written).
 * Thread-safe: one locked sequence of about 17,000 port accesses, which
 * holds up every other thread's register access meanwhile.
 */
int fpga_font_write(int mon, const unsigned char *const *glyphs);
/**
 * Writes text cells to the text memory of output 0 (12 pages of 128 cells,
 * 45 cells a row).
 * @param mon   video output; only 0 has a text layer
 * @param bytes len bytes, two per cell (may be null when len < 2)
 * @param len   number of bytes; an odd last byte is ignored
 * @param x     column of the first cell, 0 or more
 * @param y     row of the first cell, 0 or more
 * @return 0 written; -1 output without text, negative position, null bytes
 *         or a start past the text memory (reported, nothing written); -1
 *         also when the cells past the end were cut (reported, the rest
 *         written).
 * Thread-safe (one locked sequence).
 */
int fpga_osd_write(int mon, const unsigned char *bytes, int len, int x, int y);
/**
 * Shows the pointer cursor at pixel (x, y) (register units of 4 pixels
 * horizontally, 2 vertically).
 * @param x horizontal position in pixels
 * @param y vertical position in pixels
 * @return 0. Thread-safe.
 */
int fpga_move_cursor(int x, int y);
/**
 * Hides the pointer cursor.
 * @return 0. Thread-safe.
 */
int fpga_hide_cursor(void);

/* ---------------------------------------------------------------------
 * Front-panel keypad and LEDs
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * Front-panel keypad and LEDs
 *
 * fpga_read_keymap is polled every 10 ms by one thread. It returns the
 * next key map (bits 63-24: key registers 0x34..0x30, bits 23-0 always
 * set), all ones when nothing is queued, 0 as the idle mark after five
 * minutes without keys. The LED setters drive nothing on this board.
 * ------------------------------------------------------------------- */

/**
 * Polls the front-panel keys: samples the five key registers, debounces
 * them over three calls, repeats a held key (after 400 ms, every 60 ms) and
 * queues key maps in a four-slot queue. Call it every 10 ms from one
 * thread; the timing counts calls, not time.
 * @return the next key map (bits 63..24: key registers 0x34..0x30, a 0 bit
 *         is a pressed key; bits 23..0 set); all ones when nothing is
 *         queued; 0 as the idle mark after five minutes (30,000 calls)
 *         without keys; 0 also after an internal failure (reported).
 * Not thread-safe: its state belongs to one polling thread. The register
 * sampling itself is locked, so other threads may use the registers.
 */
uint64_t fpga_read_keymap(void);
/**
 * The alarm LED: not wired to the register window on this board; does
 * nothing.
 * @param on ignored
 */
void fpga_set_alarm_led(int on);
/**
 * All LEDs: none wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_all_led(int on);
/**
 * The call LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_call_led(int on);
/**
 * The copy LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_copy_led(int on);
/**
 * The dome LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_dome_led(int on);
/**
 * The freeze LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_freeze_led(int on);
/**
 * The menu LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_menu_led(int on);
/**
 * The mode LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_mode_led(int on);
/**
 * The playback LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_pb_led(int on);
/**
 * The record LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_rec_led(int on);
/**
 * The search LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_search_led(int on);
/**
 * The sequence LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_seq_led(int on);
/**
 * The zoom LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_zoom_led(int on);
/**
 * A channel LED: not wired on this board; does nothing.
 * @param channel ignored
 * @param on      ignored
 */
void fpga_set_ch_led(int channel, int on);
/**
 * The sixteen-channel LED: not wired on this board; does nothing.
 * @param on ignored
 */
void fpga_set_16chs_led(int on);

/* ---------------------------------------------------------------------
 * Sensor inputs and outputs
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * Sensor inputs and outputs
 *
 * Alarm inputs and video loss: bits 0-15 as read, bits 16-31 set.
 * Motion: bit n set when camera n shows motion. The overlay grid is 16
 * columns by 16 rows; rows and columns are 0..15.
 * ------------------------------------------------------------------- */

/**
 * Reads the 16 alarm inputs (board registers 0x21 and 0x22, status port).
 * @return bits 0..15 the inputs as read, bits 16..31 set; 0xFFFF0000 while
 *         unmapped. Thread-safe (one locked sequence).
 */
uint32_t fpga_get_almin(void);
/**
 * Reads the video-loss flags of the 16 cameras (board registers 0x26 and
 * 0x27, status port).
 * @return bits 0..15 as read, bits 16..31 set. Thread-safe.
 */
uint32_t fpga_get_vloss(void);
/**
 * Reads the motion results of the 16 cameras (addresses 0xA3 and 0xA4, 31
 * cells a camera, status port); a camera with any nonzero cell shows
 * motion.
 * @return bit n set when camera n shows motion; 0 after an internal failure
 *         (reported).
 * Thread-safe: one locked sequence of up to about 1,000 port accesses.
 */
uint32_t fpga_get_motion(void);
/**
 * Sets the three relay outputs (board register 0x23).
 * @param bit0 relay 0 (lowest bit used)
 * @param bit1 relay 1 (lowest bit used)
 * @param bit2 relay 2 (lowest bit used)
 * Thread-safe.
 */
void fpga_relay_onoff(int bit0, int bit1, int bit2);
/**
 * Sets the 75-ohm termination of the 16 video inputs (board registers 0x24
 * and 0x25).
 * @param mask bit n terminates input n
 * @return 0; -1 after an internal failure (reported). Thread-safe.
 */
int fpga_set_terminate(int mask);
/**
 * Clears the dot and cursor planes of the motion overlay and enables the
 * overlay on output mon only (on = 1) or on none (on = 0).
 * @param mon video output, 0 or 1; another number is reported, nothing
 *            written
 * @param on  1 enable on mon, 0 disable
 * Thread-safe (one locked sequence).
 */
void fpga_motion_dot_onoff(int mon, int on);
/**
 * Sets the dot pattern of one overlay row.
 * @param unused  not used
 * @param row     overlay row, 0..15
 * @param pattern bit n lights column n
 * Thread-safe.
 */
void fpga_set_motion_dot(int unused, int row, int pattern);
/**
 * Sets the cursor cell of the motion overlay (the cell's register holds
 * only that cell afterwards).
 * @param unused not used
 * @param column overlay column, 0..15; a negative one is reported and
 *               nothing written
 * @param row    overlay row, 0..15
 * Thread-safe.
 */
void fpga_set_motion_cursor(int unused, int column, int row);
/**
 * Clears the cursor register that holds cell (column, row) (eight cells).
 * @param unused not used
 * @param column overlay column, 0..15
 * @param row    overlay row, 0..15
 * Thread-safe.
 */
void fpga_clear_motion_cursor(int unused, int column, int row);

/* ---------------------------------------------------------------------
 * Coaxial camera control
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * Coaxial camera control (channel 0..15; bytes passed through unchanged)
 * ------------------------------------------------------------------- */

/**
 * Queues a Pelco-D message for the camera on channel (header 0x10 |
 * channel, then the four bytes unchanged) in the coaxial transmitter
 * (address 0x60).
 * @param channel camera channel, 0..15
 * @param b1 first message byte
 * @param b2 second message byte
 * @param b3 third message byte
 * @param b4 fourth message byte
 * Thread-safe: the message is one locked sequence, never interleaved with
 * another thread's registers.
 */
void fpga_coaxctl_pelcod(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4);
/**
 * Queues an RQTL message for the camera on channel (header 0x30 | channel,
 * then the eight bytes unchanged).
 * @param channel camera channel, 0..15
 * @param b1 message byte 1
 * @param b2 message byte 2
 * @param b3 message byte 3
 * @param b4 message byte 4
 * @param b5 message byte 5
 * @param b6 message byte 6
 * @param b7 message byte 7
 * @param b8 message byte 8
 * Thread-safe (one locked sequence).
 */
void fpga_coaxctl_rqtl(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4,
                       unsigned char b5, unsigned char b6, unsigned char b7, unsigned char b8);
/** Stops the coaxial transmitter (queues the header 0). Thread-safe. */
void fpga_coaxctl_disable(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_FPGA_H */
