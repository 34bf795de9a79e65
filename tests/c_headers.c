// SPDX-License-Identifier: GPL-2.0 OR MIT
/* Compiled as C11: every public header must be valid C for C drivers. */
#include <AWB/AWB.h>
#include <AWB/AveragePixelValue.h>
#include <AWB/LuminanceCtrl.h>
#include <AWB/WhiteBalanceCtrl.h>
#include <AWB/platform.h>
#include <AWB/win.h>

_Static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4, "widths");
_Static_assert(sizeof(DDWORD) == 8 && sizeof(__u64) == 8 && sizeof(__s64) == 8, "64-bit");
_Static_assert(FALSE == 0 && TRUE == 1, "BOOL values");

int quorvin_c_headers_compile(void);
int quorvin_c_headers_compile(void) {
    return (int)sizeof(AWBObject);
}
