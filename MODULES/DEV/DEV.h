/*
 * DEV: the device layer (storage devices, optical discs, mounts, disk health).
 * Plain C interface (C99 and C++), every function with C linkage.
 */
#ifndef DVRPLAT_DEV_H
#define DVRPLAT_DEV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* @@SECTION types@@ */

/* @@SECTION scsi@@ */

/* @@SECTION mount@@ */

/* @@SECTION discovery@@ */

/* @@SECTION disc@@ */

/* @@SECTION identity@@ */

/* @@SECTION menu@@ */

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DEV_H */
