/**
 * @file
 * fpga: the FPGA control layer of the recorder's controller board.
 *
 * Every register is named by an 8-bit address and an 8-bit offset and
 * holds one byte; it is reached through the latch protocol of the
 * memory-mapped register window. Call fpga_open before any register
 * operation. Plain C interface (C99 and C++), every function with C
 * linkage.
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

int fpga_open(void);
int fpga_read(int address, int offset);
void fpga_write(int address, int offset, int data);
unsigned char fpga_read_wo_lock(int address, int offset);
void fpga_write_wo_lock(int address, int offset, int data);
int fpga_subread_cpld(int offset);
int fpga_read_pcbinfo(void);
int fpga_read_brdid(void);
int fpga_read_cpldver(void);
int fpga_read_cpldver2(void);
int fpga_read_topfpgaver(void);
int fpga_read_botfpgaver(void);
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

typedef int (*fpga_split_fn)(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);

/** Layouts by number of tiles: entries 1, 4, 9 and 16; the others are null. */
extern fpga_split_fn gFpgaOsdSplitFn[17];

void fpga_allpath_off(int mon);
int fpga_fullscr_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
int fpga_4split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
int fpga_9split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
int fpga_16split_disp(int mon, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/** tiles 1, 4, 9 or 16; -1 (nothing written) for any other number. */
int fpga_split_disp(int mon, int tiles, const unsigned char *cameras, uint32_t mask_a, uint32_t mask_b);
/** on = 0 sets bit 7 of the 16 horizontal positions, on != 0 clears it;
 * returns the last byte written. */
int fpga_freeze_onoff(int mon, int on);
/** Moves the double-size zoom window by (dh, dv) from where the previous
 * call left it and switches it on; -1 (nothing changed) when selector < 0. */
int fpga_x2zoom_disp(int mon, int selector, int dh, int dv, int unused1, int unused2);
int fpga_playback_x2zoom(int dh, int dv);
int fpga_set_callmonitor(int value);
int fpga_get_callmonitor(void);
int fpga_set_second_callmonitor(int value);
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

/** Maps the window and brings both outputs to a blank start-up state. */
void fpga_init(void);
/** entry 0..7; -1 (nothing written) otherwise. */
int fpga_osd_set_fgcolor(int mon, int entry, int y, int c1, int c2);
int fpga_osd_set_bgcolor(int mon, int y, int c1, int c2);
int fpga_mon_set_bgcolor(int mon, int y, int c1, int c2);
/** -1 (nothing written) when the table or one of its entries is null. */
int fpga_font_write(int mon, const unsigned char *const *glyphs);
/** Writes len / 2 cells from column x of row y on; a write may run on into
 * the next rows. -1 with nothing written for an output without text, a
 * negative position or a start past the text memory; cells past the end
 * of the text memory are cut (result -1). */
int fpga_osd_write(int mon, const unsigned char *bytes, int len, int x, int y);
int fpga_move_cursor(int x, int y);
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

uint64_t fpga_read_keymap(void);
void fpga_set_alarm_led(int on);
void fpga_set_all_led(int on);
void fpga_set_call_led(int on);
void fpga_set_copy_led(int on);
void fpga_set_dome_led(int on);
void fpga_set_freeze_led(int on);
void fpga_set_menu_led(int on);
void fpga_set_mode_led(int on);
void fpga_set_pb_led(int on);
void fpga_set_rec_led(int on);
void fpga_set_search_led(int on);
void fpga_set_seq_led(int on);
void fpga_set_zoom_led(int on);
void fpga_set_ch_led(int channel, int on);
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

uint32_t fpga_get_almin(void);
uint32_t fpga_get_vloss(void);
uint32_t fpga_get_motion(void);
void fpga_relay_onoff(int bit0, int bit1, int bit2);
int fpga_set_terminate(int mask);
/** Clears the dot and cursor planes and enables the overlay on output mon
 * only (on = 1) or on none (on = 0). */
void fpga_motion_dot_onoff(int mon, int on);
void fpga_set_motion_dot(int unused, int row, int pattern);
void fpga_set_motion_cursor(int unused, int column, int row);
void fpga_clear_motion_cursor(int unused, int column, int row);

/* ---------------------------------------------------------------------
 * Coaxial camera control
 * ------------------------------------------------------------------- */

/* ---------------------------------------------------------------------
 * Coaxial camera control (channel 0..15; bytes passed through unchanged)
 * ------------------------------------------------------------------- */

void fpga_coaxctl_pelcod(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4);
void fpga_coaxctl_rqtl(int channel, unsigned char b1, unsigned char b2, unsigned char b3, unsigned char b4,
                       unsigned char b5, unsigned char b6, unsigned char b7, unsigned char b8);
void fpga_coaxctl_disable(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_FPGA_H */
