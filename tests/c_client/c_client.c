// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * A camera driver written in C, as the module's clients are: it owns every
 * bound variable and the object's memory, binds one object, and runs a small
 * simulated sensor in closed loop. Each frame is exposed with the shutter,
 * CDS gain and colour gains the driver last sent to the sensor; after each
 * call the driver sends what the module published and clears the flag.
 *
 * Phase 1 (Quorvin_ALCWBalance): the sensor applies R, G and B itself; the
 * exposure must settle near the target and the colour gains must balance the
 * scene. Phase 2 (Quorvin_ImageBalance): the sensor's colour gains stay at
 * unity and the module corrects the frames; the corrected frames must come
 * out balanced. Exits 0 when every check passes.
 */
#include <AWB/AWB.h>
#include <tests/support/quorvin_camera.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WIDTH       64
#define HEIGHT      48
#define FRAME_LINES 500
#define LINE_CLOCKS 800

static int failures;

#define CHECK(cond, ...)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ++failures;                                                                            \
            fprintf(stderr, "c_client: check failed at line %d: %s: ", __LINE__, #cond);           \
            fprintf(stderr, __VA_ARGS__);                                                          \
            fputc('\n', stderr);                                                                   \
        }                                                                                          \
    } while (0)

/* The driver's variables bound to the object, and its frame buffer. */
struct driver {
    __u8 frame[WIDTH * HEIGHT];
    struct QuorvinCameraVars cam;
    /* What the sensor currently uses (sent by the driver). */
    __u16 sensor_line, sensor_clock, sensor_gain;
    __u16 sensor_r, sensor_g, sensor_b;
    void* awb;
};

/* Scene reflectance per colour at the reference exposure (100 lines, gain 64,
 * unity colour gain): a dim scene with a warm cast. */
static const unsigned scene_red = 70, scene_green = 45, scene_blue = 25;

static __u8 expose(unsigned reflectance, const struct driver* d, unsigned colour_gain) {
    unsigned long long clocks = (unsigned long long)d->sensor_line * LINE_CLOCKS + d->sensor_clock;
    if (clocks == 0) {
        clocks = (unsigned long long)FRAME_LINES * LINE_CLOCKS; /* (0, 0): one frame */
    }
    unsigned long long v = (unsigned long long)reflectance * clocks * d->sensor_gain * colour_gain /
                           (100ull * LINE_CLOCKS * 64 * 16);
    return (__u8)(v > 255 ? 255 : v);
}

static void capture(struct driver* d) {
    __u8 red = expose(scene_red, d, d->sensor_r);
    __u8 green = expose(scene_green, d, d->sensor_g);
    __u8 blue = expose(scene_blue, d, d->sensor_b);
    for (unsigned y = 0; y < HEIGHT; ++y) {
        for (unsigned x = 0; x < WIDTH; ++x) {
            __u8 v = green;
            if (y % 2 == 0 && x % 2 == 0) {
                v = red;
            } else if (y % 2 == 1 && x % 2 == 1) {
                v = blue;
            }
            d->frame[y * WIDTH + x] = v;
        }
    }
}

/* Mean of one colour position over the frame. */
static unsigned mean_at(const struct driver* d, unsigned px, unsigned py) {
    unsigned long sum = 0, n = 0;
    for (unsigned y = py; y < HEIGHT; y += 2) {
        for (unsigned x = px; x < WIDTH; x += 2) {
            sum += d->frame[y * WIDTH + x];
            ++n;
        }
    }
    return (unsigned)(sum / n);
}

static unsigned brightness(const struct driver* d) {
    unsigned r = mean_at(d, 0, 0), g = (mean_at(d, 1, 0) + mean_at(d, 0, 1)) / 2,
             b = mean_at(d, 1, 1);
    return (2989 * r + 5866 * g + 1145 * b) / 10000;
}

/* One frame: capture, call the module, send what it published. Returns the
 * number of publications of shutter and gain (0 or 1). */
static int run_frame(struct driver* d, int (*call)(void*), int sensor_takes_colour_gains) {
    capture(d);
    d->cam.r = d->cam.g = d->cam.b = 0xFFFF;
    CHECK(call(d->awb) == 0, "per-frame call result");
    int published = 0;
    CHECK(d->cam.flag == 0 || d->cam.flag == 1, "flag %d", d->cam.flag);
    if (d->cam.flag) {
        d->sensor_line = d->cam.shutter_line;
        d->sensor_clock = d->cam.shutter_clock;
        d->sensor_gain = d->cam.gain;
        d->cam.flag = 0;
        published = 1;
    }
    if (d->cam.r != 0xFFFF) {
        CHECK(d->cam.g != 0xFFFF && d->cam.b != 0xFFFF, "R, G and B are written together");
        CHECK(d->cam.r <= 127 && d->cam.b <= 127, "published gains are at most 1023 >> 3");
        if (sensor_takes_colour_gains) {
            d->sensor_r = d->cam.r;
            d->sensor_g = d->cam.g;
            d->sensor_b = d->cam.b;
        }
    }
    return published;
}

int main(void) {
    struct driver* d = calloc(1, sizeof *d);
    if (d == NULL) {
        return 2;
    }
    CHECK(Quorvin_GetAWBObjectSize() == (int)sizeof(AWBObject), "C and C++ agree on the layout");
    d->awb = malloc((size_t)Quorvin_GetAWBObjectSize());
    if (d->awb == NULL) {
        return 2;
    }

    /* Never-bound memory and null are refused. */
    memset(d->awb, 0, (size_t)Quorvin_GetAWBObjectSize());
    CHECK(Quorvin_ALCWBalance(d->awb) == -QUORVIN_EINVAL, "unbound object refused");
    CHECK(Quorvin_ImageBalance(NULL) == -QUORVIN_EINVAL, "null object refused");

    quorvin_camera_init(&d->cam, WIDTH, HEIGHT, FRAME_LINES, LINE_CLOCKS, 100);
    d->cam.gain = 64;
    d->sensor_line = 100;
    d->sensor_clock = 0;
    d->sensor_gain = 64;
    d->sensor_r = d->sensor_g = d->sensor_b = 16;
    quorvin_camera_bind(&d->cam, d->awb, d->frame, 64, 0, 0);
    d->cam.init_gains[0] = 0; /* the module keeps its own copy */

    /* Phase 1: the sensor applies everything the module publishes. */
    capture(d);
    const unsigned start_brightness = brightness(d);
    int publications = 0;
    for (int f = 0; f < 400; ++f) {
        publications += run_frame(d, Quorvin_ALCWBalance, 1);
    }
    capture(d);
    const unsigned y = brightness(d);
    const unsigned red = mean_at(d, 0, 0), green = mean_at(d, 1, 0), blue = mean_at(d, 1, 1);
    printf("ALCWBalance: brightness %u -> %u after %d publications; shutter %u/%u gain %u; "
           "R G B %u %u %u; frame means %u %u %u\n",
           start_brightness, y, publications, d->sensor_line, d->sensor_clock, d->sensor_gain,
           d->sensor_r, d->sensor_g, d->sensor_b, red, green, blue);
    CHECK(publications > 0, "shutter and gain were published");
    CHECK(y >= 128 - 12 && y <= 128 + 12, "brightness %u near the target 128", y);
    CHECK(red * 100 >= green * 90 && red * 100 <= green * 110, "red %u vs green %u", red, green);
    CHECK(blue * 100 >= green * 90 && blue * 100 <= green * 110, "blue %u vs green %u", blue,
          green);

    /* Phase 2: unity colour gains on the sensor, correction by the module. */
    d->sensor_r = d->sensor_g = d->sensor_b = 16;
    d->cam.r = d->cam.g = d->cam.b = 16;
    Quorvin_Set_Gain(d->awb);
    for (int f = 0; f < 200; ++f) {
        run_frame(d, Quorvin_ImageBalance, 0);
    }
    /* Find a frame that the module corrects (one with a controller due). */
    unsigned c_red = 0, c_green = 0, c_blue = 0;
    for (int f = 0; f < 30 && c_red == 0; ++f) {
        capture(d);
        const unsigned raw_red = mean_at(d, 0, 0);
        d->cam.r = d->cam.g = d->cam.b = 0xFFFF;
        Quorvin_ImageBalance(d->awb);
        d->cam.flag = 0;
        if (mean_at(d, 0, 0) != raw_red) {
            c_red = mean_at(d, 0, 0);
            c_green = mean_at(d, 1, 0);
            c_blue = mean_at(d, 1, 1);
        }
    }
    printf("ImageBalance: corrected frame means %u %u %u\n", c_red, c_green, c_blue);
    CHECK(c_red != 0, "a corrected frame was seen");
    CHECK(c_red * 100 >= c_green * 90 && c_red * 100 <= c_green * 110, "red %u vs green %u", c_red,
          c_green);
    CHECK(c_blue * 100 >= c_green * 90 && c_blue * 100 <= c_green * 110, "blue %u vs green %u",
          c_blue, c_green);

    Quorvin_FreeAWBObject(d->awb);
    free(d->awb);
    free(d);
    if (failures != 0) {
        fprintf(stderr, "c_client: %d check(s) failed\n", failures);
        return 1;
    }
    printf("c_client: all checks passed\n");
    return 0;
}
