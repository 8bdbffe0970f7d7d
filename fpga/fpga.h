/*
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

/* Base of the mapped register window; all ones (MAP_FAILED) while unmapped. */
extern volatile unsigned char *Ce_Cpld;

/* ---------------------------------------------------------------------
 * Register access
 *
 * Until fpga_open has succeeded, register operations touch nothing:
 * writes are dropped and reads return 0.
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

/* @@SECTION display-routing@@ */

/* @@SECTION osd@@ */

/* @@SECTION keypad@@ */

/* @@SECTION sensors@@ */

/* @@SECTION coax@@ */

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_FPGA_H */
