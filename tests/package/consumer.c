// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * A camera driver outside the source tree, built against the installed
 * library (CMake package or pkg-config): binds one object to a dim frame
 * with a warm cast and runs frames through Quorvin_ALCWBalance until the
 * module has published a longer exposure or more gain, and colour gains that
 * take red down against blue. Exits 0 when it has.
 */
#include <AWB/AWB.h>

#include <stdio.h>
#include <stdlib.h>

#define WIDTH  64
#define HEIGHT 48

int main(void) {
    static __u8 frame[WIDTH * HEIGHT];
    __u16 vlines = 500, hclock = 800, line = 100, clock = 0, gain = 0;
    __u16 r = 0, g = 0, b = 0, init_gains[4] = {128, 128, 128, 128};
    __u32 width = WIDTH, height = HEIGHT;
    int flag = 0, exposure_up = 0, colour_published = 0;
    void* awb = malloc((size_t)Quorvin_GetAWBObjectSize());

    if (awb == NULL) {
        return 1;
    }
    for (unsigned y = 0; y < HEIGHT; ++y) {
        for (unsigned x = 0; x < WIDTH; ++x) {
            frame[y * WIDTH + x] = (y % 2 == 0 && x % 2 == 0) ? 40 : (y % 2 && x % 2) ? 20 : 30;
        }
    }
    Quorvin_InitAWBObject(awb, frame, &vlines, &hclock, &line, &clock, &gain, &width, &height,
                          &flag, &r, &g, &b, init_gains, 64, 0, 0);
    for (int n = 0; n < 40; ++n) {
        if (Quorvin_ALCWBalance(awb) != 0) {
            fprintf(stderr, "consumer: frame %d: per-frame call failed\n", n);
            return 1;
        }
        if (flag) {
            exposure_up |= line > 100 || gain > 64;
            flag = 0;
        }
        colour_published |= r != 0 && r < b;
    }
    Quorvin_FreeAWBObject(awb);
    free(awb);
    printf("consumer: shutter %u lines, gain %u, colour gains %u %u %u\n", line, gain, r, g, b);
    if (!exposure_up || !colour_published) {
        fprintf(stderr, "consumer: the module did not steer the dim, warm frame\n");
        return 1;
    }
    return 0;
}
