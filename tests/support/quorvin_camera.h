/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The camera driver's side of the binding, written once for every program
 * that plays a driver (the tests, the fuzz targets, the benchmarks, the
 * virtual camera, the kernel scenario): the thirteen variables a balance
 * object is bound to, and the bind call that hands their addresses over.
 *
 * Plain C, usable from C and C++, in user space and inside the kernel (it
 * includes nothing but the module's own header). The frame buffer and the
 * object's memory belong to the caller, who sizes them as it needs.
 */
#ifndef QUORVIN_TESTS_SUPPORT_QUORVIN_CAMERA_H
#define QUORVIN_TESTS_SUPPORT_QUORVIN_CAMERA_H

#include "AWB/AWB.h"

#ifdef __cplusplus
extern "C" {
#endif

struct QuorvinCameraVars {
    __u16 vlines;        /* frame timing, lines per frame (read by the module) */
    __u16 hclock;        /* frame timing, pixel clocks per line */
    __u16 shutter_line;  /* shutter, whole lines: read at binding, then published */
    __u16 shutter_clock; /* shutter, clocks within a line */
    __u16 gain;          /* CDS gain register: published */
    __u32 width;         /* frame size in pixels, read on every frame */
    __u32 height;
    int flag;            /* next_modif_flag21: the module sets 1, the driver clears */
    __u16 r, g, b;       /* colour gains, 1/16 (16 = x1.0): written, and read by Set_Gain */
    __u16 init_gains[4]; /* initial white balance gains R Gr Gb B, 1/128, copied at binding */
};

/*
 * The variables of a camera that has not yet run: the given size and timing,
 * shutter at `shutter_line` lines, gain 0, colour gains x1.0 both ways, flag
 * clear.
 */
static inline void quorvin_camera_init(struct QuorvinCameraVars* v, __u32 width, __u32 height,
                                       __u16 vlines, __u16 hclock, __u16 shutter_line) {
    int i;

    v->vlines = vlines;
    v->hclock = hclock;
    v->shutter_line = shutter_line;
    v->shutter_clock = 0;
    v->gain = 0;
    v->width = width;
    v->height = height;
    v->flag = 0;
    v->r = v->g = v->b = QUORVIN_CAMERA_GAIN_UNITY;
    for (i = 0; i < 4; ++i) {
        v->init_gains[i] = QUORVIN_WB_GAIN_UNITY;
    }
}

/* Binds `object` to the camera's variables and the frame buffer `frame`. */
static inline void quorvin_camera_bind(struct QuorvinCameraVars* v, void* object, __u8* frame,
                                       __u16 initial_gain, __u16 initial_digital_gain,
                                       int trigger_version) {
    Quorvin_InitAWBObject(object, frame, &v->vlines, &v->hclock, &v->shutter_line,
                          &v->shutter_clock, &v->gain, &v->width, &v->height, &v->flag, &v->r,
                          &v->g, &v->b, v->init_gains, initial_gain, initial_digital_gain,
                          trigger_version);
}

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_TESTS_SUPPORT_QUORVIN_CAMERA_H */
