// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam's controls: the standard camera controls, auto-clustered,
 * mapped onto the module's modes, target and manual colour gains through
 * the core, and the scene's light, which a test or a demonstration changes
 * to watch the module follow.
 */
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <media/v4l2-ctrls.h>

#include "vcam.h"

static struct vcam_dev *ctrl_to_vcam(struct v4l2_ctrl *ctrl)
{
	return container_of(ctrl->handler, struct vcam_dev, ctrls);
}

/*
 * Called with the cluster's master. While an automatic control is on, its
 * manual controls read what the module published last.
 */
static int vcam_g_volatile_ctrl(struct v4l2_ctrl *ctrl)
{
	struct vcam_dev *cam = ctrl_to_vcam(ctrl);
	struct vcam_core *c = cam->core;

	mutex_lock(&cam->core_lock);
	switch (ctrl->id) {
	case V4L2_CID_EXPOSURE_AUTO:
		cam->std.exposure->val = vcam_core_exposure(c);
		break;
	case V4L2_CID_AUTOGAIN:
		cam->std.gain->val = vcam_core_gain(c);
		break;
	case V4L2_CID_AUTO_WHITE_BALANCE:
		cam->std.red->val = c->r;
		cam->std.blue->val = c->b;
		break;
	}
	mutex_unlock(&cam->core_lock);
	return 0;
}

/*
 * An automatic control and the manual one of its cluster (auto_on: the
 * core's automatic half is on): the automatic half follows the control when
 * it changes, and while it is off a new manual value goes to the sensor.
 */
static void vcam_s_auto_cluster(struct vcam_core *c, int on, int auto_on,
				struct v4l2_ctrl *manual,
				void (*set_auto)(struct vcam_core *, int),
				void (*set_manual)(struct vcam_core *, __u32))
{
	if (on != auto_on)
		set_auto(c, on);
	if (!on && manual->is_new)
		set_manual(c, manual->val);
}

static int vcam_s_ctrl(struct v4l2_ctrl *ctrl)
{
	struct vcam_dev *cam = ctrl_to_vcam(ctrl);
	struct vcam_core *c = cam->core;
	int on;

	mutex_lock(&cam->core_lock);
	switch (ctrl->id) {
	case V4L2_CID_EXPOSURE_AUTO:
		on = ctrl->val == V4L2_EXPOSURE_AUTO;
		vcam_s_auto_cluster(c, on, c->auto_exposure, cam->std.exposure,
				    vcam_core_set_auto_exposure,
				    vcam_core_set_exposure);
		break;
	case V4L2_CID_AUTOGAIN:
		vcam_s_auto_cluster(c, ctrl->val, c->auto_gain, cam->std.gain,
				    vcam_core_set_auto_gain,
				    vcam_core_set_gain);
		break;
	case V4L2_CID_AUTO_WHITE_BALANCE:
		on = ctrl->val;
		if (on != c->auto_wb)
			vcam_core_set_auto_wb(c, on);
		/*
		 * Switching to manual reads the gains in use into red and blue:
		 * the module keeps its own finer gains then. New values replace
		 * them, except the driver's own copy of a one-shot's result.
		 */
		if (!on && !cam->mirroring &&
		    (cam->std.red->val != c->r || cam->std.blue->val != c->b))
			vcam_core_set_balance(c, cam->std.red->val,
					      cam->std.blue->val);
		break;
	case V4L2_CID_DO_WHITE_BALANCE:
		vcam_core_do_white_balance(c);
		break;
	case V4L2_CID_BRIGHTNESS:
		vcam_core_set_target(c, (u8)ctrl->val);
		break;
	case VCAM_CID_SCENE_LIGHT:
		c->light = ctrl->val;
		break;
	case VCAM_CID_HIGHLIGHT_GUARD:
		vcam_core_set_highlight_guard(c, ctrl->val);
		break;
	case VCAM_CID_ROBUST_WB:
		vcam_core_set_robust_wb(c, ctrl->val);
		break;
	}
	mutex_unlock(&cam->core_lock);
	return 0;
}

static const struct v4l2_ctrl_ops vcam_ctrl_ops = {
	.g_volatile_ctrl = vcam_g_volatile_ctrl,
	.s_ctrl = vcam_s_ctrl,
};

static const struct qcam_ctrl_limits vcam_ctrl_limits = {
	.exposure_max = VCAM_EXPOSURE_MAX,
	.gain_max = VCAM_GAIN_MAX,
	.balance_max = VCAM_BALANCE_MAX,
};

/* What the sensor sees, not a setting of it: see VCAM_CID_SCENE_LIGHT. */
static const struct v4l2_ctrl_config vcam_ctrl_scene_light = {
	.ops = &vcam_ctrl_ops,
	.id = VCAM_CID_SCENE_LIGHT,
	.name = "Scene Light",
	.type = V4L2_CTRL_TYPE_INTEGER,
	.min = 0,
	.max = VCAM_LIGHT_MAX,
	.step = 1,
	.def = 100,
	.flags = V4L2_CTRL_FLAG_SLIDER,
};

/* The module's opt-in picture modes, on as a camera user expects. */
static const struct v4l2_ctrl_config vcam_ctrl_highlight_guard = {
	.ops = &vcam_ctrl_ops,
	.id = VCAM_CID_HIGHLIGHT_GUARD,
	.name = "Highlight Guard",
	.type = V4L2_CTRL_TYPE_BOOLEAN,
	.min = 0,
	.max = 1,
	.step = 1,
	.def = 1,
};

static const struct v4l2_ctrl_config vcam_ctrl_robust_wb = {
	.ops = &vcam_ctrl_ops,
	.id = VCAM_CID_ROBUST_WB,
	.name = "Robust White Balance",
	.type = V4L2_CTRL_TYPE_BOOLEAN,
	.min = 0,
	.max = 1,
	.step = 1,
	.def = 1,
};

/* Called by the frame thread without core_lock (qcam_ctrls_mirror_balance). */
void vcam_ctrls_mirror_balance(struct vcam_dev *cam, u16 r, u16 b)
{
	qcam_ctrls_mirror_balance(&cam->std, &cam->mirroring, r, b);
}

int vcam_ctrls_init(struct vcam_dev *cam)
{
	struct v4l2_ctrl_handler *h = &cam->ctrls;
	const struct v4l2_ctrl_ops *ops = &vcam_ctrl_ops;

	v4l2_ctrl_handler_init(h, 12);
	qcam_ctrls_new_camera(h, ops, &cam->std, &vcam_ctrl_limits);
	v4l2_ctrl_new_custom(h, &vcam_ctrl_scene_light, NULL);
	v4l2_ctrl_new_custom(h, &vcam_ctrl_highlight_guard, NULL);
	v4l2_ctrl_new_custom(h, &vcam_ctrl_robust_wb, NULL);
	if (h->error)
		return h->error;

	qcam_ctrls_cluster(&cam->std);
	return v4l2_ctrl_handler_setup(h);
}
