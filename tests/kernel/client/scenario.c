// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The camera-driver scenario (see scenario.h). A simulated camera turns a
 * fixed scene into raw RGGB frames whose brightness follows the shutter and
 * CDS gain the module publishes and whose colour follows the R, G, B gains;
 * the driver part binds its variables to one balance object, feeds frames,
 * applies and clears each publication, and prints what it sees.
 *
 * Integer arithmetic only, 32-bit divisions only (32-bit kernels have no
 * 64-bit divide), declarations at the top of blocks (kernel C style).
 */
#include "scenario.h"

#include "AWB/AWB.h"
#include "tests/support/quorvin_camera.h"

#define QSCN_WIDTH  160u
#define QSCN_HEIGHT 120u
#define QSCN_PIXELS (QSCN_WIDTH * QSCN_HEIGHT)
#define QSCN_LINES  500u /* lines per frame */
#define QSCN_CLOCKS 800u /* clocks per line */
#define QSCN_EINVAL (-QUORVIN_EINVAL)

/*
 * Everything a camera driver keeps for one camera: the bound variables,
 * the object's memory and the frame buffer, and the camera's own state.
 */
struct qscn_camera {
	struct QuorvinCameraVars v;
	void *obj;
	__u8 *raw;
	__u32 noise;
	int apply_colour_gains; /* the camera multiplies by R, G, B */
	unsigned int publications;
};

static int qscn_failures;

static void qscn_check(int ok, const char *what)
{
	if (!ok) {
		++qscn_failures;
		qscn_print("CHECK FAILED: %s", what);
	}
}

static void qscn_fill(void *p, unsigned long n, __u8 value)
{
	__u8 *b = (__u8 *)p;
	unsigned long i;

	for (i = 0; i < n; ++i)
		b[i] = value;
}

static int qscn_all_equal(const void *p, unsigned long n, __u8 value)
{
	const __u8 *b = (const __u8 *)p;
	unsigned long i;

	for (i = 0; i < n; ++i)
		if (b[i] != value)
			return 0;
	return 1;
}

/* FNV-1a over the frame: a compact fingerprint of every pixel. */
static __u32 qscn_hash(const __u8 *p, __u32 n)
{
	__u32 h = 2166136261u;
	__u32 i;

	for (i = 0; i < n; ++i) {
		h ^= p[i];
		h *= 16777619u;
	}
	return h;
}

static __u32 qscn_mean(const __u8 *p, __u32 n)
{
	__u32 sum = 0;
	__u32 i;

	for (i = 0; i < n; ++i)
		sum += p[i];
	return sum / n;
}

/* The luminance mode bytes the scenario sets, one nibble at a time. */
static const BYTE qscn_gain_auto = QUORVIN_LUM_GAIN(QUORVIN_LUM_CONTINUOUS);
static const BYTE qscn_gain_manual = QUORVIN_LUM_GAIN(QUORVIN_LUM_MANUAL);
static const BYTE qscn_exp_auto = QUORVIN_LUM_EXPOSURE(QUORVIN_LUM_CONTINUOUS);

/*
 * Reflectance of the scene at (x, y) for Bayer position pos (R G / G B):
 * a bluish, unevenly lit scene.
 */
static __u32 qscn_scene(__u32 x, __u32 y, __u32 pos)
{
	static const __u32 base[4] = { 70, 120, 120, 180 };
	__u32 light = 80u + ((x / 8u) * 7u + (y / 8u) * 13u) % 64u;

	return base[pos] * light / 128u;
}

/*
 * Exposure time in clocks of the camera's current shutter; (0, 0) is a
 * whole frame.
 */
static __u32 qscn_exposure(const struct qscn_camera *c)
{
	__u32 e = (__u32)c->v.shutter_line * c->v.hclock + c->v.shutter_clock;

	return e == 0 ? (__u32)c->v.vlines * c->v.hclock : e;
}

/* Captures one frame of the scene with the camera's current settings. */
static void qscn_capture(struct qscn_camera *c)
{
	/* Relative exposure in 1/256 of the reference (100 lines). */
	__u32 exposure = qscn_exposure(c) / 64u;
	__u32 reference = 100u * QSCN_CLOCKS / 64u;
	__u32 colour[4];
	__u32 x, y;

	colour[0] = c->apply_colour_gains ? c->v.r : QUORVIN_CAMERA_GAIN_UNITY;
	colour[1] = c->apply_colour_gains ? c->v.g : QUORVIN_CAMERA_GAIN_UNITY;
	colour[2] = colour[1];
	colour[3] = c->apply_colour_gains ? c->v.b : QUORVIN_CAMERA_GAIN_UNITY;
	for (y = 0; y < c->v.height; ++y) {
		for (x = 0; x < c->v.width; ++x) {
			__u32 pos = 2u * (y & 1u) + (x & 1u);
			__u32 v = qscn_scene(x, y, pos) * exposure / reference;

			v = v * (16u + c->v.gain) / 32u;
			v = v * colour[pos] / QUORVIN_CAMERA_GAIN_UNITY;
			c->noise = c->noise * 1664525u + 1013904223u;
			v += (c->noise >> 24) % 5u;
			v = v > 257u ? 255u : (v < 2u ? 0u : v - 2u);
			c->raw[y * c->v.width + x] = (__u8)v;
		}
	}
}

static int qscn_camera_open(struct qscn_camera *c)
{
	qscn_fill(c, sizeof(*c), 0);
	c->obj = qscn_alloc((unsigned long)Quorvin_GetAWBObjectSize());
	c->raw = (__u8 *)qscn_alloc(QSCN_PIXELS);
	if (!c->obj || !c->raw) {
		qscn_free(c->obj);
		qscn_free(c->raw);
		return -1;
	}
	quorvin_camera_init(&c->v, QSCN_WIDTH, QSCN_HEIGHT, QSCN_LINES,
			    QSCN_CLOCKS, 20);
	c->v.gain = 16;
	c->noise = 12345u;
	c->apply_colour_gains = 1;
	return 0;
}

static void qscn_camera_close(struct qscn_camera *c)
{
	qscn_free(c->obj);
	qscn_free(c->raw);
}

static void qscn_bind(struct qscn_camera *c)
{
	quorvin_camera_bind(&c->v, c->obj, c->raw, 16, 0, 0);
}

static AWBObject *qscn_object(struct qscn_camera *c)
{
	return (AWBObject *)c->obj;
}

/*
 * One frame: capture, one per-frame call, then what the driver does with a
 * publication. Returns the per-frame call's result.
 */
static int qscn_frame(struct qscn_camera *c, int correct_in_place,
		      unsigned int index)
{
	int ret;
	int published;

	qscn_capture(c);
	ret = correct_in_place ? Quorvin_ImageBalance(c->obj) :
				 Quorvin_ALCWBalance(c->obj);
	published = c->v.flag;
	qscn_check(published == 0 || published == 1, "flag is 0 or 1");
	qscn_print("frame %u %s ret=%d pub=%d shutter=%u/%u gain=%u rgb=%u/%u/%u mean=%u hash=%08x",
		   index, correct_in_place ? "IB" : "ALC", ret, published,
		   c->v.shutter_line, c->v.shutter_clock, c->v.gain, c->v.r,
		   c->v.g, c->v.b, qscn_mean(c->raw, QSCN_PIXELS),
		   qscn_hash(c->raw, QSCN_PIXELS));
	if (published) {
		++c->publications;
		/* the driver has sent the values to the camera */
		c->v.flag = 0;
	}
	return ret;
}

static void qscn_print_state(struct qscn_camera *c, const char *when)
{
	AWBObject *o = qscn_object(c);
	CLuminanceCtrl *l = &o->m_objLuminanceCtrl;
	CWhiteBalanceCtrl *w = &o->m_objWhiteBalanceCtrl;

	qscn_print("state %s: lum mode=%02x target=%u/%u/%u speed=%u/%u/%u/%u gain=%u..%u shutter=%u..%u clock=%u..%u",
		   when, l->m_byteMode, l->m_byteTarget, l->m_byteTolerance,
		   l->m_byteThreshold, l->m_byteShutterCtrlSpeedLimit,
		   l->m_byteGainCtrlSpeedLimit, l->m_byteSkipFrameCount,
		   l->m_byteAverageFrameCount, l->m_wAutoMinCDSGain,
		   l->m_wAutoMaxCDSGain, l->m_wAutoMinShutterLine,
		   l->m_wAutoMaxShutterLine, l->m_wAutoMinShutterClock,
		   l->m_wAutoMaxShutterClock);
	qscn_print("state %s: wb mode=%u gains=%u/%u/%u/%u table0[127]=%u table0[128]=%u table3[203]=%u table3[204]=%u",
		   when, w->m_byteMode, w->m_pwGain[0], w->m_pwGain[1],
		   w->m_pwGain[2], w->m_pwGain[3], w->m_ppbyteTable[0][127],
		   w->m_ppbyteTable[0][128], w->m_ppbyteTable[3][203],
		   w->m_ppbyteTable[3][204]);
}

/*
 * Operations on memory that was never bound are refused without touching
 * it or taking a lock.
 */
static void qscn_unbound(struct qscn_camera *c)
{
	unsigned long size = (unsigned long)Quorvin_GetAWBObjectSize();
	int alc, ib;
	BOOL target;
	__u8 t[3] = { 100, 4, 6 };

	qscn_fill(c->obj, size, 0x5a);
	Quorvin_FreeAWBObject(c->obj);
	alc = Quorvin_ALCWBalance(c->obj);
	ib = Quorvin_ImageBalance(c->obj);
	target = Quorvin_CLuminance_SetTarget(c->obj, t);
	Quorvin_Set_Auto_Max_Gain(c->obj, 99);
	Quorvin_Set_Gain(c->obj);
	qscn_print("unbound: alc=%d ib=%d set_target=%d untouched=%d", alc, ib,
		   (int)target, qscn_all_equal(c->obj, size, 0x5a));
	qscn_check(alc == QSCN_EINVAL && ib == QSCN_EINVAL,
		   "unbound object refused");
	qscn_check(qscn_all_equal(c->obj, size, 0x5a),
		   "unbound object untouched");
}

static void qscn_correction(struct qscn_camera *c)
{
	__u8 *src = (__u8 *)qscn_alloc(QSCN_PIXELS);
	__u32 src_hash;
	int ret;

	if (!src) {
		qscn_check(0, "memory for the source frame");
		return;
	}
	qscn_capture(c);
	ret = Quorvin_ColorProcessing(c->obj);
	qscn_print("color_processing ret=%d hash=%08x", ret,
		   qscn_hash(c->raw, QSCN_PIXELS));

	/* Corrected copy of a separate source into the bound buffer. */
	qscn_capture(c);
	{
		__u32 i;

		for (i = 0; i < QSCN_PIXELS; ++i)
			src[i] = c->raw[i];
	}
	qscn_fill(c->raw, QSCN_PIXELS, 0);
	src_hash = qscn_hash(src, QSCN_PIXELS);
	ret = Quorvin_ImageProcessing(c->obj, src);
	qscn_print("image_processing ret=%d hash=%08x src_unchanged=%d", ret,
		   qscn_hash(c->raw, QSCN_PIXELS),
		   qscn_hash(src, QSCN_PIXELS) == src_hash);
	qscn_check(qscn_hash(src, QSCN_PIXELS) == src_hash,
		   "source left unchanged");

	/* In place through the copying operation. */
	qscn_capture(c);
	ret = Quorvin_ImageProcessing(c->obj, c->raw);
	qscn_print("image_processing in place ret=%d hash=%08x", ret,
		   qscn_hash(c->raw, QSCN_PIXELS));
	qscn_free(src);
}

int qscn_run_sequence(void)
{
	struct qscn_camera cam;
	__u8 target[3] = { 90, 4, 6 };
	unsigned int frame = 0;
	unsigned int i;
	int ret;

	qscn_failures = 0;
	qscn_print("size %d", Quorvin_GetAWBObjectSize());
	if (qscn_camera_open(&cam) != 0) {
		qscn_print("CHECK FAILED: no memory");
		return 1;
	}
	qscn_unbound(&cam);

	qscn_bind(&cam);
	qscn_print("bound: shutter=%u/%u gain=%u flag=%d rgb=%u/%u/%u",
		   cam.v.shutter_line, cam.v.shutter_clock, cam.v.gain,
		   cam.v.flag, cam.v.r, cam.v.g, cam.v.b);
	/* The initial gains are copied: changing them now has no effect. */
	cam.v.init_gains[0] = 1;
	cam.v.init_gains[3] = 1;
	qscn_print_state(&cam, "initial");

	/* Automatic exposure, gain and white balance on captured frames. */
	for (i = 0; i < 42; ++i)
		qscn_check(qscn_frame(&cam, 0, frame++) == 0,
			   "ALCWBalance returns 0");
	qscn_print_state(&cam, "after ALCWBalance");

	/*
	 * The module corrects the frames itself; the camera's gains stay
	 * neutral.
	 */
	cam.apply_colour_gains = 0;
	for (i = 0; i < 21; ++i)
		qscn_check(qscn_frame(&cam, 1, frame++) == 0,
			   "ImageBalance returns 0");
	qscn_print_state(&cam, "after ImageBalance");
	qscn_correction(&cam);

	/* Fixed white balance, manual gain, automatic exposure only. */
	ret = Quorvin_SetAutoAWB(cam.obj, QUORVIN_WB_FIXED);
	qscn_print("set_auto_awb(1) ret=%d", ret);
	ret = Quorvin_SetAutoGain(cam.obj, qscn_gain_manual);
	qscn_print("set_auto_gain(0) ret=%d", ret);
	ret = Quorvin_SetAutoExposure(cam.obj, qscn_exp_auto);
	qscn_print("set_auto_exposure(0x10) ret=%d", ret);
	qscn_print_state(&cam, "modes");
	cam.apply_colour_gains = 1;
	for (i = 0; i < 8; ++i)
		qscn_frame(&cam, 0, frame++);

	/* New target, speed and limits; exposure and gain automatic again. */
	ret = (int)Quorvin_CLuminance_SetTarget(cam.obj, target);
	qscn_print("set_target(90,4,6) ret=%d", ret);
	ret = (int)Quorvin_CLuminance_SetCtrlSpeed(cam.obj, 1, 1, 0, 2);
	qscn_print("set_ctrl_speed(1,1,0,2) ret=%d", ret);
	Quorvin_Set_Auto_Max_Gain(cam.obj, 40);
	Quorvin_Set_Auto_Min_Gain(cam.obj, 8);
	Quorvin_Set_Auto_Max_Shutter(cam.obj, 40);
	Quorvin_Set_Auto_Min_Shutter(cam.obj, 2);
	Quorvin_Set_Auto_Max_ShutterC(cam.obj, 0);
	Quorvin_Set_Auto_Min_ShutterC(cam.obj, 0);
	ret = Quorvin_SetAutoGain(cam.obj, qscn_gain_auto);
	qscn_print("set_auto_gain(1) ret=%d", ret);
	qscn_print_state(&cam, "limits");
	/*
	 * The exposure may not pass 40 lines: the gain has to make up the
	 * rest.
	 */
	for (i = 0; i < 30; ++i)
		qscn_frame(&cam, 0, frame++);
	qscn_print_state(&cam, "after limits");

	/* Manual colour gains from the driver's values (1/16). */
	cam.v.r = 32;
	cam.v.g = 16;
	cam.v.b = 20;
	Quorvin_Set_Gain(cam.obj);
	qscn_print_state(&cam, "set_gain(32,16,20)");
	qscn_capture(&cam);
	ret = Quorvin_ColorProcessing(cam.obj);
	qscn_print("color_processing ret=%d hash=%08x", ret,
		   qscn_hash(cam.raw, QSCN_PIXELS));

	/* Automatic white balance again, correcting in place. */
	ret = Quorvin_SetAutoAWB(cam.obj, QUORVIN_WB_AUTO);
	qscn_print("set_auto_awb(2) ret=%d", ret);
	cam.apply_colour_gains = 0;
	for (i = 0; i < 12; ++i)
		qscn_frame(&cam, 1, frame++);
	qscn_print_state(&cam, "final");

	Quorvin_FreeAWBObject(cam.obj);
	Quorvin_FreeAWBObject(cam.obj); /* a second release does nothing more */
	qscn_print("released: publications=%u frames=%u", cam.publications,
		   frame);
	qscn_camera_close(&cam);
	qscn_print("sequence: %d failed checks", qscn_failures);
	return qscn_failures;
}

/*
 * Closed loop: a driver that keeps its sensor's settings apart from the
 * module's variables and sends each publication on, as real drivers do. A
 * flat, dim, warm scene; each frame is exposed with the shutter, CDS gain and
 * colour gains the driver last sent. With Quorvin_ALCWBalance the sensor
 * applies R, G and B, and exposure and colour must settle; with
 * Quorvin_ImageBalance the sensor's colour gains stay at x1.0 and the
 * corrected frames must come out balanced.
 */

#define QSCN_LOOP_WIDTH	 64u
#define QSCN_LOOP_HEIGHT 48u

struct qscn_sensor {
	__u16 line, clock, gain; /* shutter and CDS gain in use */
	__u16 r, g, b;		 /* colour gains in use, 1/16 */
};

/*
 * Reflectance per colour, in percent of full scale at the reference exposure
 * (100 lines of 800 clocks, gain 64, colour gain x1.0).
 */
static const __u32 qscn_loop_scene[3] = { 70, 45, 25 };

/*
 * Level of a colour of reflectance refl: proportional to exposure time, gain
 * and colour gain, saturating at 255. In 32-bit steps, each product of a
 * value clamped to 16 bits and a 16-bit factor: the level in 1/16 at unit
 * gains is refl x clocks / 80000 x 16 = refl x (clocks / 8) / 625.
 */
static __u8 qscn_loop_level(__u32 refl, const struct qscn_sensor *s,
			    __u32 colour)
{
	__u32 clocks = (__u32)s->line * QSCN_CLOCKS + s->clock;
	__u32 v;

	if (clocks == 0)
		clocks = QSCN_LINES * QSCN_CLOCKS; /* (0, 0): one frame */
	v = refl * (clocks / 8u) / 625u;
	v = (v > 65535u ? 65535u : v) * s->gain / 64u;
	v = (v > 65535u ? 65535u : v) * colour / QUORVIN_CAMERA_GAIN_UNITY;
	v /= 16u;
	return (__u8)(v > 255u ? 255u : v);
}

static void qscn_loop_capture(struct qscn_camera *c,
			      const struct qscn_sensor *s)
{
	__u8 red = qscn_loop_level(qscn_loop_scene[0], s, s->r);
	__u8 green = qscn_loop_level(qscn_loop_scene[1], s, s->g);
	__u8 blue = qscn_loop_level(qscn_loop_scene[2], s, s->b);
	__u32 x, y;

	for (y = 0; y < QSCN_LOOP_HEIGHT; ++y) {
		for (x = 0; x < QSCN_LOOP_WIDTH; ++x) {
			__u8 v = green;

			if (y % 2u == 0 && x % 2u == 0)
				v = red;
			else if (y % 2u == 1 && x % 2u == 1)
				v = blue;
			c->raw[y * QSCN_LOOP_WIDTH + x] = v;
		}
	}
}

/* Mean of the Bayer position (px, py) over the frame. */
static __u32 qscn_loop_mean(const struct qscn_camera *c, __u32 px, __u32 py)
{
	__u32 sum = 0, n = 0, x, y;

	for (y = py; y < QSCN_LOOP_HEIGHT; y += 2u) {
		for (x = px; x < QSCN_LOOP_WIDTH; x += 2u) {
			sum += c->raw[y * QSCN_LOOP_WIDTH + x];
			++n;
		}
	}
	return sum / n;
}

/* Luma of the channel means (ITU-R BT.601 weights, 1/10000). */
static __u32 qscn_loop_brightness(const struct qscn_camera *c)
{
	__u32 r = qscn_loop_mean(c, 0, 0), b = qscn_loop_mean(c, 1, 1);
	__u32 g = (qscn_loop_mean(c, 1, 0) + qscn_loop_mean(c, 0, 1)) / 2u;

	return (2989u * r + 5866u * g + 1145u * b) / 10000u;
}

/* a within 10 % of b. */
static int qscn_within_tenth(__u32 a, __u32 b)
{
	return a * 100u >= b * 90u && a * 100u <= b * 110u;
}

/*
 * One frame: capture, the per-frame call, and what the driver sends on.
 * Returns 1 when shutter and gain were published.
 */
static int qscn_loop_frame(struct qscn_camera *c, struct qscn_sensor *s,
			   int correct_in_place, int sensor_takes_colour_gains)
{
	int published = 0;
	int ret;

	qscn_loop_capture(c, s);
	c->v.r = 0xFFFF;
	c->v.g = 0xFFFF;
	c->v.b = 0xFFFF;
	ret = correct_in_place ? Quorvin_ImageBalance(c->obj) :
				 Quorvin_ALCWBalance(c->obj);
	qscn_check(ret == 0, "per-frame call returns 0");
	qscn_check(c->v.flag == 0 || c->v.flag == 1, "flag is 0 or 1");
	if (c->v.flag) {
		s->line = c->v.shutter_line;
		s->clock = c->v.shutter_clock;
		s->gain = c->v.gain;
		c->v.flag = 0;
		published = 1;
	}
	if (c->v.r != 0xFFFF) {
		qscn_check(c->v.g != 0xFFFF && c->v.b != 0xFFFF,
			   "R, G and B are written together");
		qscn_check(c->v.r <= 127 && c->v.b <= 127,
			   "published gains are at most 1023 >> 3");
		if (sensor_takes_colour_gains) {
			s->r = c->v.r;
			s->g = c->v.g;
			s->b = c->v.b;
		}
	}
	return published;
}

int qscn_run_closed_loop(void)
{
	struct qscn_camera cam;
	struct qscn_sensor sensor = { 100, 0, 64, 16, 16, 16 };
	__u32 start, y, red, green, blue;
	unsigned int publications = 0;
	int f;

	qscn_failures = 0;
	qscn_check(Quorvin_GetAWBObjectSize() == (int)sizeof(AWBObject),
		   "the module and its client agree on the object's layout");
	qscn_check(Quorvin_ImageBalance((void *)0) == QSCN_EINVAL,
		   "null object refused");
	if (qscn_camera_open(&cam) != 0) {
		qscn_print("CHECK FAILED: no memory");
		return 1;
	}
	quorvin_camera_init(&cam.v, QSCN_LOOP_WIDTH, QSCN_LOOP_HEIGHT,
			    QSCN_LINES, QSCN_CLOCKS, 100);
	cam.v.gain = 64;
	quorvin_camera_bind(&cam.v, cam.obj, cam.raw, 64, 0, 0);
	cam.v.init_gains[0] = 0; /* the module keeps its own copy */

	/* The sensor applies everything the module publishes. */
	qscn_loop_capture(&cam, &sensor);
	start = qscn_loop_brightness(&cam);
	for (f = 0; f < 400; ++f)
		publications +=
			(unsigned int)qscn_loop_frame(&cam, &sensor, 0, 1);
	qscn_loop_capture(&cam, &sensor);
	y = qscn_loop_brightness(&cam);
	red = qscn_loop_mean(&cam, 0, 0);
	green = qscn_loop_mean(&cam, 1, 0);
	blue = qscn_loop_mean(&cam, 1, 1);
	qscn_print("loop ALC: brightness %u -> %u after %u publications; shutter %u/%u gain %u; rgb %u/%u/%u; means %u/%u/%u",
		   start, y, publications, sensor.line, sensor.clock,
		   sensor.gain, sensor.r, sensor.g, sensor.b, red, green, blue);
	qscn_check(publications > 0, "shutter and gain were published");
	qscn_check(y + 12u >= 128u && y <= 128u + 12u,
		   "brightness near the target 128");
	qscn_check(qscn_within_tenth(red, green), "red balanced against green");
	qscn_check(qscn_within_tenth(blue, green),
		   "blue balanced against green");

	/* x1.0 colour gains on the sensor, correction by the module. */
	sensor.r = 16;
	sensor.g = 16;
	sensor.b = 16;
	cam.v.r = 16;
	cam.v.g = 16;
	cam.v.b = 16;
	Quorvin_Set_Gain(cam.obj);
	for (f = 0; f < 200; ++f)
		qscn_loop_frame(&cam, &sensor, 1, 0);
	/* A frame the module corrects: one on which a controller is due. */
	red = 0;
	green = 0;
	blue = 0;
	for (f = 0; f < 30 && red == 0; ++f) {
		__u32 raw_red;

		qscn_loop_capture(&cam, &sensor);
		raw_red = qscn_loop_mean(&cam, 0, 0);
		Quorvin_ImageBalance(cam.obj);
		cam.v.flag = 0;
		if (qscn_loop_mean(&cam, 0, 0) != raw_red) {
			red = qscn_loop_mean(&cam, 0, 0);
			green = qscn_loop_mean(&cam, 1, 0);
			blue = qscn_loop_mean(&cam, 1, 1);
		}
	}
	qscn_print("loop IB: corrected means %u/%u/%u", red, green, blue);
	qscn_check(red != 0, "a corrected frame was seen");
	qscn_check(qscn_within_tenth(red, green),
		   "corrected red balanced against green");
	qscn_check(qscn_within_tenth(blue, green),
		   "corrected blue balanced against green");

	Quorvin_FreeAWBObject(cam.obj);
	qscn_camera_close(&cam);
	qscn_print("closed loop: %d failed checks", qscn_failures);
	return qscn_failures;
}

/* The threaded part: a frame thread and a control thread on one object. */

#define QSCN_THREAD_ROUNDS 150u

struct qscn_worker {
	struct qscn_camera *cam;
	__u8 *src; /* control thread: source of the corrected copies */
	int control;
	unsigned int calls;
	unsigned int bad;
};

static void qscn_frame_thread(struct qscn_worker *w)
{
	struct qscn_camera *c = w->cam;
	unsigned int i;
	int ret;

	for (i = 0; i < QSCN_THREAD_ROUNDS; ++i) {
		/*
		 * The frame buffer is rewritten only by the module (under its
		 * lock): the control thread corrects it at the same time.
		 */
		ret = (i & 1u) ? Quorvin_ImageBalance(c->obj) :
				 Quorvin_ALCWBalance(c->obj);
		w->bad += ret != 0;
		if (c->v.flag != 0) {
			w->bad += c->v.flag != 1;
			++c->publications;
			c->v.flag = 0;
		}
		++w->calls;
		qscn_yield();
	}
}

static void qscn_control_thread(struct qscn_worker *w)
{
	void *o = w->cam->obj;
	__u8 target[3] = { 110, 4, 6 };
	unsigned int i;
	BYTE arg;

	for (i = 0; i < QSCN_THREAD_ROUNDS; ++i) {
		switch (i % 10u) {
		case 0:
			/* automatic and one-shot in turn */
			arg = (BYTE)(QUORVIN_WB_AUTO + (i / 10u) % 2u);
			w->bad += Quorvin_SetAutoAWB(o, arg) != 0;
			break;
		case 1:
			w->bad += Quorvin_SetAutoGain(o, qscn_gain_auto) != 0;
			break;
		case 2:
			if (Quorvin_SetAutoExposure(o, qscn_exp_auto) != 0)
				++w->bad;
			break;
		case 3:
			target[0] = (__u8)(100u + i % 40u);
			w->bad += Quorvin_CLuminance_SetTarget(o, target) !=
				  TRUE;
			break;
		case 4:
			arg = (BYTE)(i % 3u);
			w->bad += Quorvin_CLuminance_SetCtrlSpeed(o, 0, 0, arg,
								  2) != TRUE;
			break;
		case 5:
			Quorvin_Set_Auto_Max_Gain(o, (WORD)(200u + i));
			Quorvin_Set_Auto_Min_Gain(o, 0);
			Quorvin_Set_Auto_Max_Shutter(o, 0);
			break;
		case 6:
			Quorvin_Set_Auto_Min_Shutter(o, 1);
			Quorvin_Set_Auto_Max_ShutterC(o, 0);
			Quorvin_Set_Auto_Min_ShutterC(o, 0);
			break;
		case 7:
			/*
			 * Reloads the tables from the values the module
			 * published.
			 */
			Quorvin_Set_Gain(o);
			break;
		case 8:
			w->bad += Quorvin_ColorProcessing(o) != TRUE;
			break;
		default:
			w->bad += Quorvin_ImageProcessing(o, w->src) != TRUE;
			break;
		}
		++w->calls;
		qscn_yield();
	}
}

static void qscn_worker_main(void *arg)
{
	struct qscn_worker *w = (struct qscn_worker *)arg;

	if (w->control)
		qscn_control_thread(w);
	else
		qscn_frame_thread(w);
}

int qscn_run_threads(void)
{
	struct qscn_camera cam;
	struct qscn_worker frame_worker, control_worker;
	__u8 *src;
	int started;
	int ret;

	qscn_failures = 0;
	src = (__u8 *)qscn_alloc(QSCN_PIXELS);
	if (!src || qscn_camera_open(&cam) != 0) {
		qscn_free(src);
		qscn_print("CHECK FAILED: no memory");
		return 1;
	}
	qscn_bind(&cam);
	qscn_capture(&cam);
	{
		__u32 i;

		for (i = 0; i < QSCN_PIXELS; ++i)
			src[i] = cam.raw[i];
	}
	qscn_fill(&frame_worker, sizeof(frame_worker), 0);
	qscn_fill(&control_worker, sizeof(control_worker), 0);
	frame_worker.cam = &cam;
	control_worker.cam = &cam;
	control_worker.src = src;
	control_worker.control = 1;

	started =
		qscn_run_two(qscn_worker_main, &frame_worker, &control_worker);
	qscn_check(started == 0, "both threads started");

	/* The lock must be free again and the object intact. */
	ret = Quorvin_SetAutoAWB(cam.obj, QUORVIN_WB_AUTO);
	qscn_check(ret == 0, "lock free after both threads");
	qscn_check(qscn_object(&cam)->magic == QUORVIN_AWB_MAGIC,
		   "object intact");
	qscn_check(frame_worker.bad == 0 && control_worker.bad == 0,
		   "expected results in threads");
	qscn_print("threads: frame calls=%u control calls=%u unexpected results=%u/%u after=%d",
		   frame_worker.calls, control_worker.calls, frame_worker.bad,
		   control_worker.bad, ret);
	Quorvin_FreeAWBObject(cam.obj);
	qscn_camera_close(&cam);
	qscn_free(src);
	qscn_print("threads: %d failed checks", qscn_failures);
	return qscn_failures;
}
