/*
 * DNS: the DNS resolver (A and MX lookups over UDP).
 * Plain C interface (C99 and C++), every function with C linkage.
 */
#ifndef DVRPLAT_DNS_H
#define DVRPLAT_DNS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* @@SECTION message-format@@ */

/* @@SECTION resolver@@ */

#ifdef __cplusplus
}
#endif

#endif /* DVRPLAT_DNS_H */
