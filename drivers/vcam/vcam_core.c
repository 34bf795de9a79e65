// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The virtual sensor and its binding to the balance object (vcam_core.h).
 * Integer arithmetic only, no division by a variable (32-bit kernels have
 * no 64-bit divide), declarations at the top of blocks (kernel C style).
 */
#include "vcam_core.h"

#include "AWB/AWB.h"

/* 2^(i / 64) in Q10 for i = 0..63: one octave of the gain register. */
static const __u16 vcam_gain_octave[64] = {
	1024, 1035, 1046, 1058, 1069, 1081, 1093, 1105, 1117, 1129, 1141,
	1154, 1166, 1179, 1192, 1205, 1218, 1231, 1244, 1258, 1272, 1286,
	1300, 1314, 1328, 1342, 1357, 1372, 1387, 1402, 1417, 1433, 1448,
	1464, 1480, 1496, 1512, 1529, 1545, 1562, 1579, 1596, 1614, 1631,
	1649, 1667, 1685, 1704, 1722, 1741, 1760, 1779, 1798, 1818, 1838,
	1858, 1878, 1898, 1919, 1940, 1961, 1983, 2004, 2026
};

/*
 * Linear reflectances R, G, B in 1/255: two bands of six coloured patches,
 * then eight grey steps. The scene is about neutral on average.
 */
#define VCAM_BANDS 3
static const __u8 vcam_patches[2][6][3] = {
	{ { 180, 40, 40 },
	  { 40, 160, 50 },
	  { 40, 50, 190 },
	  { 210, 190, 40 },
	  { 190, 50, 170 },
	  { 40, 170, 190 } },
	{ { 190, 130, 100 },
	  { 90, 120, 170 },
	  { 80, 110, 60 },
	  { 220, 120, 40 },
	  { 100, 60, 140 },
	  { 120, 120, 120 } },
};

static const __u8 vcam_greys[8] = { 16, 32, 56, 88, 128, 168, 208, 245 };

/* Illuminant (warm light) and channel response together, Q8. */
static const __u16 vcam_tint[3] = { 333, 256, 160 };

/*
 * Noise: a signal s (0..257) plus a noise sample n (0..4) reads
 * vcam_clip[s + n] = s + n - 2, clipped to 0..255.
 */
static __u8 vcam_clip_value(__u32 j)
{
	if (j < VCAM_NOISE_AMPL)
		return 0;
	j -= VCAM_NOISE_AMPL;
	return j > 255 ? 255 : (__u8)j;
}

__u32 vcam_core_gain_q10(__u16 reg)
{
	if (reg > VCAM_GAIN_MAX)
		reg = VCAM_GAIN_MAX;
	return (__u32)vcam_gain_octave[reg & 63] << (reg >> 6);
}

static __u32 vcam_frame_clocks(const struct vcam_core *c)
{
	return (__u32)c->lines_per_frame * c->clocks_per_line;
}

__u32 vcam_core_exposure_clocks(const struct vcam_core *c, __u16 line,
				__u16 clock)
{
	__u32 e = (__u32)line * c->clocks_per_line + clock;
	__u32 frame = vcam_frame_clocks(c);

	return e == 0 || e > frame ? frame : e;
}

static __u32 vcam_clocks_to_100us(__u32 clocks)
{
	__u32 u = (clocks + VCAM_CLOCKS_PER_100US / 2) / VCAM_CLOCKS_PER_100US;

	if (u < 1)
		u = 1;
	return u > VCAM_EXPOSURE_MAX ? VCAM_EXPOSURE_MAX : u;
}

/* Column of patch boundaries: n patches across width w, on even columns. */
static __u32 vcam_edge(__u32 w, __u32 i, __u32 n)
{
	return (w * i / n) & ~1u;
}

/*
 * Signal of patch i of a band in each channel, 0..VCAM_SIGNAL_MAX: its
 * reflectance times the channel's scale, in 2^-24.
 */
static void vcam_patch_signal(const __u64 scale[3], __u32 band, __u32 i,
			      __u32 sig[3])
{
	__u32 ch;

	for (ch = 0; ch < 3; ++ch) {
		__u32 refl;
		__u64 s;

		refl = band < 2 ? vcam_patches[band][i][ch] : vcam_greys[i];
		s = (refl * scale[ch]) >> 24;
		sig[ch] = s > VCAM_SIGNAL_MAX ? VCAM_SIGNAL_MAX : (__u32)s;
	}
}

/*
 * Rebuilds the signal templates of the three bands for the registers in
 * effect: templ[row parity][band][x] = signal of that pixel, 0..257.
 */
static void vcam_render_templates(struct vcam_core *c)
{
	__u64 a;
	__u64 scale[3];
	__u32 ch, band, par, i, x;

	a = vcam_core_exposure_clocks(c, c->applied.line, c->applied.clock);
	a *= c->light;
	a = (a * vcam_core_gain_q10(c->applied.gain)) >> 10;
	for (ch = 0; ch < 3; ++ch)
		scale[ch] = (a * vcam_tint[ch] * c->cg_applied[ch]) >> 12;

	for (band = 0; band < VCAM_BANDS; ++band) {
		__u32 n = band < 2 ? 6 : 8;

		for (i = 0; i < n; ++i) {
			__u32 x0 = vcam_edge(c->width, i, n);
			__u32 x1 = vcam_edge(c->width, i + 1, n);
			__u32 sig[3];

			vcam_patch_signal(scale, band, i, sig);
			for (par = 0; par < 2; ++par) {
				/* RGGB: even rows R G, odd rows G B. */
				__u32 even = par == 0 ? sig[0] : sig[1];
				__u32 odd = par == 0 ? sig[1] : sig[2];

				for (x = x0; x < x1; x += 2) {
					c->templ[par][band][x] = (__u16)even;
					c->templ[par][band][x + 1] = (__u16)odd;
				}
			}
		}
	}
}

static __u32 vcam_band_of_row(const struct vcam_core *c, __u32 y)
{
	if (y < (c->height / 2 & ~1u))
		return 0;
	return y < (c->height * 3 / 4 & ~1u) ? 1 : 2;
}

static void vcam_render(struct vcam_core *c)
{
	__u32 y, x;

	vcam_render_templates(c);
	for (y = 0; y < c->height; ++y) {
		const __u16 *t = c->templ[y & 1][vcam_band_of_row(c, y)];
		__u32 start = ((c->frame * 2654435761u) ^ (y * 40503u)) >> 20;
		const __u8 *nz = c->noise + start;
		__u8 *out = c->raw + y * c->width;

		for (x = 0; x < c->width; ++x)
			out[x] = c->clip[t[x] + nz[x]];
	}
}

static void vcam_sensor_start_frame(struct vcam_core *c)
{
	int i;

	c->applied = c->pipe[0];
	c->pipe[0] = c->pipe[1];
	for (i = 0; i < 3; ++i)
		c->cg_applied[i] = c->cg_next[i];
}

static void vcam_sensor_write_shutter(struct vcam_core *c, __u16 line,
				      __u16 clock)
{
	c->pipe[1].line = line;
	c->pipe[1].clock = clock;
}

static void vcam_sensor_write_gain(struct vcam_core *c, __u16 gain)
{
	c->pipe[1].gain = gain;
}

static void vcam_sensor_write_colour(struct vcam_core *c, __u16 r, __u16 g,
				     __u16 b)
{
	/*
	 * Only the ALC entry has the sensor apply colour gains; under the image
	 * entry the module corrects the frames and the sensor stays at x1.
	 */
	if (c->entry != VCAM_ENTRY_ALC) {
		r = 16;
		g = 16;
		b = 16;
	}
	c->cg_next[0] = r;
	c->cg_next[1] = g;
	c->cg_next[2] = b;
}

/*
 * The module's mode bytes for the automatic halves: exposure is the high
 * nibble of the luminance mode and gain the low one, each continuous or
 * manual on its own (Quorvin_SetAutoExposure and Quorvin_SetAutoGain keep
 * the other nibble).
 */
static BYTE vcam_exposure_mode(int on)
{
	return QUORVIN_LUM_MODE(on ? QUORVIN_LUM_CONTINUOUS :
				     QUORVIN_LUM_MANUAL,
				QUORVIN_LUM_MANUAL);
}

static BYTE vcam_gain_mode(int on)
{
	return QUORVIN_LUM_MODE(QUORVIN_LUM_MANUAL,
				on ? QUORVIN_LUM_CONTINUOUS :
				     QUORVIN_LUM_MANUAL);
}

/*
 * White balance off keeps the gains the module holds now, which still
 * correct frames under the image entry.
 */
static BYTE vcam_wb_mode(int on)
{
	return on ? QUORVIN_WB_AUTO : QUORVIN_WB_FIXED;
}

/* Module settings that a (re)bind resets to the module's defaults. */
static void vcam_apply_target(struct vcam_core *c)
{
	BYTE target[3];

	target[0] = c->target;
	target[1] = VCAM_TOLERANCE;
	target[2] = VCAM_THRESHOLD;
	Quorvin_CLuminance_SetTarget(c->awb, target);
}

static void vcam_apply_highlight_guard(struct vcam_core *c)
{
	if (c->highlight_guard)
		Quorvin_SetHighlightGuard(c->awb, QUORVIN_GUARD_DEFAULT_BUDGET,
					  QUORVIN_GUARD_DEFAULT_FLOOR);
	else
		Quorvin_SetHighlightGuard(c->awb, 0, 0);
}

static void vcam_apply_robust_wb(struct vcam_core *c)
{
	Quorvin_SetRobustAWB(c->awb, c->robust_wb ? QUORVIN_AWB_ROBUST :
						    QUORVIN_AWB_GREY_WORLD);
}

static void vcam_apply_settings(struct vcam_core *c)
{
	vcam_apply_target(c);
	vcam_apply_highlight_guard(c);
	vcam_apply_robust_wb(c);
	Quorvin_SetAutoExposure(c->awb, vcam_exposure_mode(c->auto_exposure));
	Quorvin_SetAutoGain(c->awb, vcam_gain_mode(c->auto_gain));
	Quorvin_SetAutoAWB(c->awb, vcam_wb_mode(c->auto_wb));
}

/*
 * Binds the balance object with the sensor's newest registers and colour
 * gains as the starting point. The gain given becomes the module's
 * reference gain too.
 */
static void vcam_bind(struct vcam_core *c)
{
	__u16 wb[4];

	c->shutter_line = c->pipe[1].line;
	c->shutter_clock = c->pipe[1].clock;
	c->gain = c->pipe[1].gain;
	c->new_exposure = 0;
	wb[0] = (__u16)(c->r << 3);
	wb[1] = (__u16)(c->g << 3);
	wb[2] = wb[1];
	wb[3] = (__u16)(c->b << 3);
	Quorvin_InitAWBObject(c->awb, c->raw, &c->lines_per_frame,
			      &c->clocks_per_line, &c->shutter_line,
			      &c->shutter_clock, &c->gain, &c->width,
			      &c->height, &c->new_exposure, &c->r, &c->g, &c->b,
			      wb, c->gain, 0,
			      1 /* shutter controlled to the clock */);
	vcam_apply_settings(c);
}

__u32 vcam_core_awb_size(void)
{
	return (__u32)Quorvin_GetAWBObjectSize();
}

void vcam_core_init(struct vcam_core *c, void *awb, __u8 *raw, int entry)
{
	__u32 i, seed = 0x2545f491u;

	c->awb = awb;
	c->raw = raw;
	c->entry = entry;
	c->clocks_per_line = VCAM_CLOCKS_PER_LINE;
	vcam_core_set_format(c, 640, 480);
	vcam_core_set_fps(c, 30);
	c->pipe[1].line = 240; /* 10 ms */
	c->pipe[1].clock = 0;
	c->pipe[1].gain = 0;
	c->pipe[0] = c->pipe[1];
	c->applied = c->pipe[1];
	c->r = 16;
	c->g = 16;
	c->b = 16;
	vcam_sensor_write_colour(c, 16, 16, 16);
	for (i = 0; i < 3; ++i)
		c->cg_applied[i] = c->cg_next[i];
	c->light = 100;
	c->frame = 0;
	for (i = 0; i < sizeof(c->noise); ++i) {
		seed = seed * 1664525u + 1013904223u;
		c->noise[i] = (__u8)((seed >> 24) % (2 * VCAM_NOISE_AMPL + 1));
	}
	for (i = 0; i < sizeof(c->clip); ++i)
		c->clip[i] = vcam_clip_value(i);
	c->auto_exposure = 1;
	c->auto_gain = 1;
	c->auto_wb = 1;
	c->target = 128;
	c->highlight_guard = 0;
	c->robust_wb = 0;
	vcam_bind(c);
}

void vcam_core_free(struct vcam_core *c)
{
	Quorvin_FreeAWBObject(c->awb);
}

void vcam_core_set_format(struct vcam_core *c, __u32 width, __u32 height)
{
	c->width = width > VCAM_MAX_WIDTH ? VCAM_MAX_WIDTH : width & ~1u;
	c->height = height > VCAM_MAX_HEIGHT ? VCAM_MAX_HEIGHT : height & ~1u;
}

void vcam_core_set_fps(struct vcam_core *c, __u32 fps)
{
	if (fps < 1)
		fps = 1;
	if (fps > VCAM_MAX_FPS)
		fps = VCAM_MAX_FPS;
	c->lines_per_frame =
		(__u16)(VCAM_PIXEL_CLOCK_HZ / VCAM_CLOCKS_PER_LINE / fps);
}

void vcam_core_frame(struct vcam_core *c)
{
	vcam_sensor_start_frame(c);
	vcam_render(c);
	++c->frame;

	if (c->entry == VCAM_ENTRY_ALC)
		Quorvin_ALCWBalance(c->awb);
	else
		Quorvin_ImageBalance(c->awb);

	/*
	 * The binding contract: the flag announces shutter and gain; the driver
	 * sends them to the sensor and clears it. A manual half keeps what the
	 * application set.
	 */
	if (c->new_exposure) {
		++c->publications;
		if (c->auto_exposure)
			vcam_sensor_write_shutter(c, c->shutter_line,
						  c->shutter_clock);
		if (c->auto_gain)
			vcam_sensor_write_gain(c, c->gain);
		c->new_exposure = 0;
	}
	/*
	 * R, G, B are rewritten after every white balance step (and stay as
	 * they are otherwise): the sensor follows them from the next frame.
	 */
	vcam_sensor_write_colour(c, c->r, c->g, c->b);
}

/*
 * Sets the flag of an automatic half (1 or 0). True when the half resumes
 * (off to on): the balance object is then rebound, to go on from the
 * sensor's registers; otherwise the caller only gives the module the mode.
 */
static int vcam_switch_auto(int *flag, int on)
{
	int resume = on && !*flag;

	*flag = on ? 1 : 0;
	return resume;
}

void vcam_core_set_auto_exposure(struct vcam_core *c, int on)
{
	if (vcam_switch_auto(&c->auto_exposure, on))
		vcam_bind(c);
	else
		Quorvin_SetAutoExposure(c->awb, vcam_exposure_mode(on));
}

void vcam_core_set_auto_gain(struct vcam_core *c, int on)
{
	if (vcam_switch_auto(&c->auto_gain, on))
		vcam_bind(c);
	else
		Quorvin_SetAutoGain(c->awb, vcam_gain_mode(on));
}

void vcam_core_set_auto_wb(struct vcam_core *c, int on)
{
	c->auto_wb = on ? 1 : 0;
	Quorvin_SetAutoAWB(c->awb, vcam_wb_mode(on));
}

void vcam_core_set_exposure(struct vcam_core *c, __u32 units)
{
	__u32 clocks;

	if (units < 1)
		units = 1;
	if (units > VCAM_EXPOSURE_MAX)
		units = VCAM_EXPOSURE_MAX;
	/*
	 * Keep the exact shutter when the value is the current one rounded, as
	 * when an application switches to manual without choosing a value.
	 */
	if (units == vcam_core_exposure(c))
		return;
	clocks = units * VCAM_CLOCKS_PER_100US;
	vcam_sensor_write_shutter(c, (__u16)(clocks / c->clocks_per_line),
				  (__u16)(clocks % c->clocks_per_line));
}

void vcam_core_set_gain(struct vcam_core *c, __u32 gain)
{
	if (gain > VCAM_GAIN_MAX)
		gain = VCAM_GAIN_MAX;
	vcam_sensor_write_gain(c, (__u16)gain);
}

void vcam_core_set_balance(struct vcam_core *c, __u32 red, __u32 blue)
{
	c->r = (__u16)(red > VCAM_BALANCE_MAX ? VCAM_BALANCE_MAX : red);
	c->b = (__u16)(blue > VCAM_BALANCE_MAX ? VCAM_BALANCE_MAX : blue);
	c->g = 16;
	Quorvin_Set_Gain(c->awb);
	vcam_sensor_write_colour(c, c->r, c->g, c->b);
}

void vcam_core_do_white_balance(struct vcam_core *c)
{
	/* Continuous white balance already does it. */
	if (c->auto_wb)
		return;
	/* Returns to QUORVIN_WB_FIXED once an evaluation changes nothing. */
	Quorvin_SetAutoAWB(c->awb, QUORVIN_WB_ONE_SHOT);
}

void vcam_core_set_target(struct vcam_core *c, __u8 target)
{
	c->target = target;
	vcam_apply_target(c);
}

void vcam_core_set_highlight_guard(struct vcam_core *c, int on)
{
	c->highlight_guard = on ? 1 : 0;
	vcam_apply_highlight_guard(c);
}

void vcam_core_set_robust_wb(struct vcam_core *c, int on)
{
	c->robust_wb = on ? 1 : 0;
	vcam_apply_robust_wb(c);
}

__u32 vcam_core_exposure(const struct vcam_core *c)
{
	__u32 clocks;

	if (c->auto_exposure)
		clocks = vcam_core_exposure_clocks(c, c->shutter_line,
						   c->shutter_clock);
	else
		clocks = vcam_core_exposure_clocks(c, c->pipe[1].line,
						   c->pipe[1].clock);
	return vcam_clocks_to_100us(clocks);
}

__u32 vcam_core_gain(const struct vcam_core *c)
{
	return c->auto_gain ? c->gain : c->pipe[1].gain;
}
