/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Shared integer and boolean types of the module.
 *
 * Freestanding: no system or kernel header is included. The fixed-width names
 * are built from the compiler's own type macros so that the same header serves
 * the kernel build, the user-space build, C clients and C++ sources.
 */
#ifndef QUORVIN_AWB_WIN_H
#define QUORVIN_AWB_WIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Truth value of the controllers; any non-zero result counts as true. */
typedef enum { FALSE = 0, TRUE = 1 } BOOL;

typedef __UINT8_TYPE__ BYTE;   /* unsigned 8-bit */
typedef __UINT16_TYPE__ WORD;  /* unsigned 16-bit */
typedef __UINT32_TYPE__ DWORD; /* unsigned 32-bit */
/* unsigned 64-bit; spelled as the kernel spells u64, so pointers to it mix
 * with kernel code on every architecture */
typedef unsigned long long DDWORD;
typedef __INT32_TYPE__ INT; /* signed 32-bit */
typedef BYTE* PBYTE;
typedef WORD* PWORD;

/*
 * The kernel's fixed-width names, used where the module meets the camera
 * driver. Redefining a typedef to the same type is valid C11 and C++, so these
 * coexist with <linux/types.h> when a glue file includes both.
 */
typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef long long __s64;
typedef unsigned long long __u64;

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_WIN_H */
