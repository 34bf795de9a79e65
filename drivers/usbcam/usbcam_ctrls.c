// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The controls of quorvin_usbcam and its binding to the balance object:
 * what the module publishes after each frame goes to the camera's
 * registers by control transfers, in the frame work (process context).
 */
#include <linux/string.h>
#include <media/v4l2-ctrls.h>

#include "AWB/AWB.h"
#include "usbcam.h"

/* --- binding (under core_lock) -------------------------------------------- */

static void usbcam_apply_target(struct usbcam_dev *cam)
{
	BYTE target[3] = { cam->target, USBCAM_TOLERANCE, USBCAM_THRESHOLD };

	Quorvin_CLuminance_SetTarget(cam->awb, target);
}

static void usbcam_apply_settings(struct usbcam_dev *cam)
{
	usbcam_apply_target(cam);
	/* Fastest steps; skip what is still under way (usbcam.h). */
	Quorvin_CLuminance_SetCtrlSpeed(cam->awb, 0, 0, USBCAM_SKIP_FRAMES,
					USBCAM_AVERAGE_FRAMES);
	Quorvin_SetAutoExposure(cam->awb, cam->auto_exposure ? 0x10 : 0x00);
	Quorvin_SetAutoGain(cam->awb, cam->auto_gain ? 0x01 : 0x00);
	/* 2 continuous; 1 fixed gains (still corrects under the image entry) */
	Quorvin_SetAutoAWB(cam->awb, cam->auto_wb ? 2 : 1);
}

/*
 * Binds the balance object with the camera's registers as the starting
 * shutter and gain (the gain becomes the reference gain too) and its
 * colour gains as the initial white balance.
 */
void usbcam_bind(struct usbcam_dev *cam)
{
	u16 wb[4];

	cam->shutter_line = cam->regs.line;
	cam->shutter_clock = cam->regs.clock;
	cam->gain = cam->regs.gain;
	cam->new_exposure = 0;
	wb[0] = (u16)(cam->r << 3);
	wb[1] = (u16)(cam->g << 3);
	wb[2] = wb[1];
	wb[3] = (u16)(cam->b << 3);
	Quorvin_InitAWBObject(cam->awb, cam->raw, &cam->lines_per_frame,
			      &cam->clocks_per_line, &cam->shutter_line,
			      &cam->shutter_clock, &cam->gain, &cam->width,
			      &cam->height, &cam->new_exposure, &cam->r,
			      &cam->g, &cam->b, wb, cam->gain, 0,
			      1 /* shutter controlled to the clock */);
	usbcam_apply_settings(cam);
}

static void usbcam_write_shutter(struct usbcam_dev *cam, u16 line, u16 clock)
{
	u16 v[2] = { line, clock };

	if (!usbcam_write_regs(cam, USBCAM_REG_SHUTTER_LINE, v, 2)) {
		cam->regs.line = line;
		cam->regs.clock = clock;
	}
}

/* Shutter and gain in one transfer, so that they reach the same frame. */
static void usbcam_write_exposure(struct usbcam_dev *cam, u16 line, u16 clock,
				  u16 gain)
{
	u16 v[3] = { line, clock, gain };

	if (!usbcam_write_regs(cam, USBCAM_REG_SHUTTER_LINE, v, 3)) {
		cam->regs.line = line;
		cam->regs.clock = clock;
		cam->regs.gain = gain;
	}
}

static void usbcam_write_gain(struct usbcam_dev *cam, u16 gain)
{
	if (!usbcam_write_reg(cam, USBCAM_REG_GAIN, gain))
		cam->regs.gain = gain;
}

/*
 * The camera's colour gains: R, G, B under the ALC entry, x1 under the
 * image entry (the module corrects the frames). Only changes are written.
 */
static void usbcam_write_colour(struct usbcam_dev *cam)
{
	u16 want[3] = { 16, 16, 16 };
	int i;

	if (cam->entry == USBCAM_ENTRY_ALC) {
		want[0] = cam->r;
		want[1] = cam->g;
		want[2] = cam->b;
	}
	for (i = 0; i < 3; ++i) {
		if (want[i] == cam->regs.rgb[i])
			continue;
		if (!usbcam_write_reg(cam, USBCAM_REG_RED + i, want[i]))
			cam->regs.rgb[i] = want[i];
	}
}

/*
 * The frame is in cam->raw: one call of the module, then the flag's shutter
 * and gain (of the automatic halves) and the colour gains to the camera.
 * sequence is the frame's own, for the trace.
 */
void usbcam_frame_balance(struct usbcam_dev *cam, u32 sequence)
{
	if (cam->entry == USBCAM_ENTRY_ALC)
		Quorvin_ALCWBalance(cam->awb);
	else
		Quorvin_ImageBalance(cam->awb);

	if (cam->new_exposure) {
		++cam->publications;
		if (usbcam_trace)
			dev_info(&cam->intf->dev,
				 "frame %u: published shutter %u,%u gain %u\n",
				 sequence, cam->shutter_line,
				 cam->shutter_clock, cam->gain);
		if (cam->auto_exposure && cam->auto_gain)
			usbcam_write_exposure(cam, cam->shutter_line,
					      cam->shutter_clock, cam->gain);
		else if (cam->auto_exposure)
			usbcam_write_shutter(cam, cam->shutter_line,
					     cam->shutter_clock);
		else if (cam->auto_gain)
			usbcam_write_gain(cam, cam->gain);
		cam->new_exposure = 0;
	}
	usbcam_write_colour(cam);
}

/* --- helpers of the controls (under core_lock) ---------------------------- */

static u32 usbcam_exposure_clocks(struct usbcam_dev *cam, u16 line, u16 clock)
{
	u32 e = (u32)line * cam->clocks_per_line + clock;
	u32 frame = (u32)cam->lines_per_frame * cam->clocks_per_line;

	return e == 0 || e > frame ? frame : e;
}

/* Exposure in 100 us as the control reads it. */
static u32 usbcam_exposure(struct usbcam_dev *cam)
{
	u32 clocks, u;

	if (cam->auto_exposure)
		clocks = usbcam_exposure_clocks(cam, cam->shutter_line,
						cam->shutter_clock);
	else
		clocks = usbcam_exposure_clocks(cam, cam->regs.line,
						cam->regs.clock);
	u = (clocks + USBCAM_CLOCKS_PER_100US / 2) / USBCAM_CLOCKS_PER_100US;
	return clamp_t(u32, u, 1, USBCAM_EXPOSURE_MAX);
}

static void usbcam_set_exposure(struct usbcam_dev *cam, u32 units)
{
	u32 clocks;

	units = clamp_t(u32, units, 1, USBCAM_EXPOSURE_MAX);
	/* Keep the exact shutter when the value is the current one rounded. */
	if (units == usbcam_exposure(cam))
		return;
	clocks = units * USBCAM_CLOCKS_PER_100US;
	usbcam_write_shutter(cam, (u16)(clocks / cam->clocks_per_line),
			     (u16)(clocks % cam->clocks_per_line));
}

/* An automatic half switched on continues from the camera's registers. */
static void usbcam_set_auto(struct usbcam_dev *cam, int *flag, int on)
{
	int resume = on && !*flag;

	*flag = on ? 1 : 0;
	if (resume)
		usbcam_bind(cam);
	else
		usbcam_apply_settings(cam);
}

/* --- controls ------------------------------------------------------------- */

static struct usbcam_dev *ctrl_to_cam(struct v4l2_ctrl *ctrl)
{
	return container_of(ctrl->handler, struct usbcam_dev, ctrls);
}

/*
 * A one-shot white balance changes red and blue while white balance is
 * manual, when those controls are not volatile: the work copies the new
 * gains into them, which also sends control events.
 */
void usbcam_mirror_balance(struct usbcam_dev *cam)
{
	u16 r, b;

	mutex_lock(&cam->core_lock);
	r = cam->r;
	b = cam->b;
	mutex_unlock(&cam->core_lock);
	qcam_ctrls_mirror_balance(&cam->std, &cam->mirroring, r, b);
}

static int usbcam_g_volatile_ctrl(struct v4l2_ctrl *ctrl)
{
	struct usbcam_dev *cam = ctrl_to_cam(ctrl);

	mutex_lock(&cam->core_lock);
	switch (ctrl->id) {
	case V4L2_CID_EXPOSURE_AUTO:
		cam->std.exposure->val = usbcam_exposure(cam);
		break;
	case V4L2_CID_AUTOGAIN:
		cam->std.gain->val = cam->auto_gain ? cam->gain :
						      cam->regs.gain;
		break;
	case V4L2_CID_AUTO_WHITE_BALANCE:
		cam->std.red->val = cam->r;
		cam->std.blue->val = cam->b;
		break;
	}
	mutex_unlock(&cam->core_lock);
	return 0;
}

static int usbcam_s_ctrl(struct v4l2_ctrl *ctrl)
{
	struct usbcam_dev *cam = ctrl_to_cam(ctrl);
	int on, ret = 0;

	mutex_lock(&cam->core_lock);
	if (cam->disconnected) {
		mutex_unlock(&cam->core_lock);
		return -ENODEV;
	}
	switch (ctrl->id) {
	case V4L2_CID_EXPOSURE_AUTO:
		on = ctrl->val == V4L2_EXPOSURE_AUTO;
		if (on != cam->auto_exposure)
			usbcam_set_auto(cam, &cam->auto_exposure, on);
		if (!on && cam->std.exposure->is_new)
			usbcam_set_exposure(cam, cam->std.exposure->val);
		break;
	case V4L2_CID_AUTOGAIN:
		if (ctrl->val != cam->auto_gain)
			usbcam_set_auto(cam, &cam->auto_gain, ctrl->val);
		if (!ctrl->val && cam->std.gain->is_new)
			usbcam_write_gain(cam, (u16)cam->std.gain->val);
		break;
	case V4L2_CID_AUTO_WHITE_BALANCE:
		on = ctrl->val;
		if (on != cam->auto_wb) {
			/* Off keeps the gains the module holds now (mode 1). */
			cam->auto_wb = on;
			Quorvin_SetAutoAWB(cam->awb, on ? 2 : 1);
		}
		/*
		 * Switching to manual reads the gains in use into red and
		 * blue; new values replace them, except the work's own copy of
		 * a one-shot's result.
		 */
		if (!on && !cam->mirroring &&
		    (cam->std.red->val != cam->r ||
		     cam->std.blue->val != cam->b)) {
			cam->r = (u16)cam->std.red->val;
			cam->b = (u16)cam->std.blue->val;
			cam->g = 16;
			Quorvin_Set_Gain(cam->awb);
			usbcam_write_colour(cam);
		}
		break;
	case V4L2_CID_DO_WHITE_BALANCE:
		/* Mode 3 returns to 1 once an evaluation changes nothing. */
		if (!cam->auto_wb)
			Quorvin_SetAutoAWB(cam->awb, 3);
		break;
	case V4L2_CID_BRIGHTNESS:
		cam->target = (u8)ctrl->val;
		usbcam_apply_target(cam);
		break;
	}
	mutex_unlock(&cam->core_lock);
	return ret;
}

static const struct v4l2_ctrl_ops usbcam_ctrl_ops = {
	.g_volatile_ctrl = usbcam_g_volatile_ctrl,
	.s_ctrl = usbcam_s_ctrl,
};

static const struct qcam_ctrl_limits usbcam_ctrl_limits = {
	.exposure_max = USBCAM_EXPOSURE_MAX,
	.gain_max = USBCAM_GAIN_MAX,
	.balance_max = USBCAM_BALANCE_MAX,
};

int usbcam_ctrls_init(struct usbcam_dev *cam)
{
	struct v4l2_ctrl_handler *h = &cam->ctrls;
	const struct v4l2_ctrl_ops *ops = &usbcam_ctrl_ops;

	v4l2_ctrl_handler_init(h, 9);
	qcam_ctrls_new_camera(h, ops, &cam->std, &usbcam_ctrl_limits);
	if (h->error)
		return h->error;

	qcam_ctrls_cluster(&cam->std);
	return v4l2_ctrl_handler_setup(h);
}
