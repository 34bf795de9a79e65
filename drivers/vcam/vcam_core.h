/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The camera behind quorvin_vcam, without V4L2: a virtual raw Bayer sensor
 * and the part of the driver that binds it to one balance object of the
 * Quorvin_AWB module. It includes no kernel header, so the same code runs in
 * the kernel driver (quorvin_vcam) and in the user-space tests.
 *
 * Sensor model, all integer:
 * - scene: two bands of six coloured patches above a band of eight grey
 *   steps, linear reflectances in 1/255;
 * - a warm illuminant that tints the channels (Q8 factors per channel);
 * - exposure from the shutter pair and the frame timing: lines x clocks per
 *   line + clocks, in pixel clocks of VCAM_PIXEL_CLOCK_HZ; (0, 0) and any
 *   longer shutter mean the whole frame;
 * - analogue gain register: x 2^(reg / 64), 0..255 (x1 to about x15.8);
 * - colour gains (1/16) applied by the sensor, used only by the ALC entry;
 * - noise of -2..+2 levels, deterministic per frame and row; output clipped
 *   to 0..255 after the noise, so a saturated area reads 255;
 * - latency: shutter and gain written after frame n is handed over reach
 *   frame n + 2; colour gains reach frame n + 1.
 *
 * Binding: the balance object is bound to the fields of struct vcam_core;
 * new shutter and gain arrive there with new_exposure set to 1, and the
 * frame step writes them to the sensor (those of the automatic halves only)
 * and clears the flag. The caller serialises every function on one core.
 */
#ifndef QUORVIN_VCAM_CORE_H
#define QUORVIN_VCAM_CORE_H

/*
 * Only the fixed-width types: kernel headers and the module's own headers
 * do not mix (both define TRUE and FALSE).
 */
#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Frame timing: every mode runs at the same pixel clock and line length;
 * the frame interval is set by the number of lines (vertical blanking).
 */
#define VCAM_PIXEL_CLOCK_HZ   24000000u
#define VCAM_CLOCKS_PER_LINE  1000u
#define VCAM_CLOCKS_PER_100US (VCAM_PIXEL_CLOCK_HZ / 10000u)
#define VCAM_MAX_WIDTH	      1280u
#define VCAM_MAX_HEIGHT	      720u
#define VCAM_MAX_FPS	      30u
/* Exposure control range in 100 us: up to one frame at the slowest rate. */
#define VCAM_EXPOSURE_MAX 666
#define VCAM_GAIN_MAX	  255
#define VCAM_BALANCE_MAX  127	 /* colour gains, 1/16 */
#define VCAM_LIGHT_MAX	  10000u /* scene light, percent */
/*
 * The module's dead band around the target: tolerance while it steers,
 * tolerance + threshold while it rests.
 */
#define VCAM_TOLERANCE	5
#define VCAM_THRESHOLD	5
#define VCAM_NOISE_AMPL 2 /* levels either side */
#define VCAM_SIGNAL_MAX (255 + VCAM_NOISE_AMPL)

enum vcam_entry {
	/* Quorvin_ImageBalance: the module corrects frames */
	VCAM_ENTRY_IMAGE = 0,
	/* Quorvin_ALCWBalance: the sensor applies R, G, B */
	VCAM_ENTRY_ALC = 1,
};

/* One set of sensor registers. */
struct vcam_regs {
	__u16 line, clock; /* shutter */
	__u16 gain;	   /* analogue gain register */
};

struct vcam_core {
	/* Bound to the balance object (Quorvin_InitAWBObject). */
	void *awb; /* Quorvin_GetAWBObjectSize() bytes, caller's memory */
	__u8 *raw; /* VCAM_MAX_WIDTH x VCAM_MAX_HEIGHT bytes, caller's memory */
	__u32 width, height;
	__u16 lines_per_frame, clocks_per_line;
	__u16 shutter_line, shutter_clock, gain; /* published by the module */
	int new_exposure;   /* set by the module, cleared here */
	__u32 publications; /* times the flag was found set */
	__u16 r, g, b;	    /* colour gains, 1/16 */

	/* Sensor. */
	struct vcam_regs applied; /* the frame being exposed */
	/* [0] the next frame, [1] the one after (the newest registers) */
	struct vcam_regs pipe[2];
	__u16 cg_applied[3], cg_next[3]; /* sensor colour gains R, G, B, 1/16 */
	__u32 light;			 /* scene light level, percent */
	__u32 frame;			 /* frames rendered, seeds the noise */
	__u16 templ[2][3][VCAM_MAX_WIDTH]; /* signal per row parity and band */
	__u8 noise[4096 + VCAM_MAX_WIDTH]; /* 0..4, meaning -2..+2 */
	/* signal + noise -> level */
	__u8 clip[VCAM_SIGNAL_MAX + 2 * VCAM_NOISE_AMPL + 1];

	/* Settings, as the controls set them. */
	int entry;	   /* enum vcam_entry */
	int auto_exposure; /* booleans */
	int auto_gain;
	int auto_wb;
	__u8 target; /* brightness target, 0..255 */
	/* The module's opt-in picture modes, booleans (off at init). */
	int highlight_guard;
	int robust_wb;
};

/* Bytes of the balance object memory vcam_core_init needs. */
__u32 vcam_core_awb_size(void);
/*
 * Binds a core to its memory and the balance object with the defaults:
 * 640x480 at 30 frames/s, shutter 10 ms, gain 0, colour gains x1, every
 * automatic control on, target 128, light 100 %, the picture modes off
 * (the driver's controls turn them on).
 */
void vcam_core_init(struct vcam_core *c, void *awb, __u8 *raw, int entry);
void vcam_core_free(struct vcam_core *c);

/*
 * Geometry (at most VCAM_MAX_WIDTH x VCAM_MAX_HEIGHT, even) and frame rate
 * (1..VCAM_MAX_FPS frames per second).
 */
void vcam_core_set_format(struct vcam_core *c, __u32 width, __u32 height);
void vcam_core_set_fps(struct vcam_core *c, __u32 fps);

/*
 * One frame: the sensor starts a frame with the registers due now, renders
 * it into raw, the module balances it, and what it published is written to
 * the sensor. The frame is in raw when this returns.
 */
void vcam_core_frame(struct vcam_core *c);

/*
 * Controls. Switching an automatic half on rebinds the balance object with
 * the sensor's current registers and colour gains, so that automatic control
 * continues from what the camera really has.
 */
void vcam_core_set_auto_exposure(struct vcam_core *c, int on);
void vcam_core_set_auto_gain(struct vcam_core *c, int on);
void vcam_core_set_auto_wb(struct vcam_core *c, int on);
void vcam_core_set_exposure(struct vcam_core *c, __u32 units_100us);
void vcam_core_set_gain(struct vcam_core *c, __u32 gain);
void vcam_core_set_balance(struct vcam_core *c, __u32 red, __u32 blue);
void vcam_core_do_white_balance(struct vcam_core *c);
void vcam_core_set_target(struct vcam_core *c, __u8 target);
/*
 * The highlight guard (the suggested budget and floor) and the robust white
 * balance statistic, on or off; kept across rebinding.
 */
void vcam_core_set_highlight_guard(struct vcam_core *c, int on);
void vcam_core_set_robust_wb(struct vcam_core *c, int on);

/*
 * What the controls read: while automatic, the values the module published
 * last (exposure in 100 us, 1..VCAM_EXPOSURE_MAX); while manual, the
 * sensor's newest registers.
 */
__u32 vcam_core_exposure(const struct vcam_core *c);
__u32 vcam_core_gain(const struct vcam_core *c);

/*
 * Exposure of a shutter pair in pixel clocks under the current timing:
 * (0, 0) and anything longer than a frame are one frame.
 */
__u32 vcam_core_exposure_clocks(const struct vcam_core *c, __u16 line,
				__u16 clock);
/* Analogue gain factor of a register value, Q10 (1024 = x1). */
__u32 vcam_core_gain_q10(__u16 reg);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_VCAM_CORE_H */
