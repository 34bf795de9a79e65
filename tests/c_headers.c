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
/* The domain's values as drivers spell them, usable in constant expressions. */
_Static_assert(QUORVIN_COLOR_ARRAY_SINGLE == 1 && QUORVIN_COLOR_ARRAY_RGGB == 2 &&
                   QUORVIN_COLOR_ARRAY_GRBG == 3 && QUORVIN_COLOR_ARRAY_GBRG == 4 &&
                   QUORVIN_COLOR_ARRAY_BGGR == 5,
               "colour array codes");
_Static_assert(QUORVIN_WB_OFF == 0 && QUORVIN_WB_FIXED == 1 && QUORVIN_WB_AUTO == 2 &&
                   QUORVIN_WB_ONE_SHOT == 3,
               "white balance modes");
_Static_assert(QUORVIN_LUM_MODE(QUORVIN_LUM_CONTINUOUS, QUORVIN_LUM_CONTINUOUS) == 0x11 &&
                   QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS) == 0x10 &&
                   QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS) == 0x01 &&
                   QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_ONE_SHOT) == 0x20 &&
                   QUORVIN_LUM_DEFAULT_MODE == 0x11,
               "luminance mode bytes");
_Static_assert(QUORVIN_WB_GAIN_UNITY == 128 &&
                   QUORVIN_WB_GAIN_UNITY >> QUORVIN_CAMERA_GAIN_SHIFT == QUORVIN_CAMERA_GAIN_UNITY,
               "gain scales");

int quorvin_c_headers_compile(void);
int quorvin_c_headers_compile(void) {
    return (int)sizeof(AWBObject);
}
