// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam: a V4L2 capture driver for a virtual raw Bayer camera whose
 * automatic exposure, gain and white balance come from the Quorvin_AWB
 * module. It is the reference for camera drivers that use the module:
 *
 * - one platform device "quorvin_vcam.N" per camera (devices=, default 1),
 *   each with its own v4l2_device, video_device, control handler, vb2
 *   vmalloc queue (MMAP, USERPTR, DMABUF, read), locks and frame thread;
 * - V4L2_PIX_FMT_SRGGB8 at 320x240, 640x480 and 1280x720, 30 or 15 frames/s;
 * - the frame thread (process context: the module's operations take a
 *   semaphore and may sleep) renders each frame with the sensor model of
 *   vcam_core.c, calls the module on it, sends what the module published to
 *   the sensor, copies the frame into the next queued buffer and sleeps to
 *   an absolute deadline;
 * - the standard camera controls, auto-clustered, mapped onto the module's
 *   modes, target and manual colour gains.
 *
 * An object lives until its last user is gone: unbinding a camera (or
 * unloading) unregisters its video device at once, and the v4l2_device
 * release frees everything once the last open file is closed.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/kthread.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/version.h>
#include <linux/vmalloc.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-device.h>
#include <media/v4l2-event.h>
#include <media/v4l2-fh.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-v4l2.h>
#include <media/videobuf2-vmalloc.h>

#include "vcam_core.h"

#define VCAM_MAX_DEVICES 8

static unsigned int devices = 1;
module_param(devices, uint, 0444);
MODULE_PARM_DESC(devices, "number of cameras (1 to 8, default 1)");

static char *entry[VCAM_MAX_DEVICES];
module_param_array(entry, charp, NULL, 0444);
MODULE_PARM_DESC(entry, "per camera: image (Quorvin_ImageBalance, default) or alc (Quorvin_ALCWBalance, colour gains applied by the sensor)");

static unsigned int light[VCAM_MAX_DEVICES] = {
	[0 ... VCAM_MAX_DEVICES - 1] = 100,
};
module_param_array(light, uint, NULL, 0644);
MODULE_PARM_DESC(light, "per camera: scene light level in percent (0 to 10000, default 100)");

static bool trace;
module_param(trace, bool, 0644);
MODULE_PARM_DESC(trace, "log every shutter, gain and colour gain the module publishes");

struct vcam_size {
	u32 width, height;
};

static const struct vcam_size vcam_sizes[] = {
	{ 320, 240 },
	{ 640, 480 },
	{ 1280, 720 },
};

static const u32 vcam_fps[] = { 30, 15 };

struct vcam_buffer {
	struct vb2_v4l2_buffer vb; /* first: vb2 allocates the whole record */
	struct list_head list;
};

struct vcam_dev {
	struct v4l2_device v4l2_dev;
	struct video_device vdev;
	struct vb2_queue queue;
	struct v4l2_ctrl_handler ctrls;
	/* Auto clusters: each automatic control followed by its manual ones. */
	struct v4l2_ctrl *exposure_auto;
	struct v4l2_ctrl *exposure;
	struct v4l2_ctrl *autogain;
	struct v4l2_ctrl *gain;
	struct v4l2_ctrl *awb;
	struct v4l2_ctrl *red;
	struct v4l2_ctrl *blue;

	unsigned int index;
	struct mutex io_lock;	/* ioctls and the queue */
	struct mutex core_lock; /* the core: sensor, balance object, settings */
	spinlock_t list_lock;	/* buffers queued for capture */
	struct list_head buffers;
	struct task_struct *thread;
	u32 sequence;
	u32 fps;
	struct v4l2_pix_format fmt;

	struct vcam_core *core;
	void *awb_mem;
	u8 *raw;
	u32 publications; /* shown by trace */
	u16 traced_rgb[3];
	u16 seen_rb[2]; /* red and blue balance after the last frame */
	bool mirroring; /* under the handler lock: vcam_mirror_balance runs */
};

static struct vcam_dev *to_vcam(struct v4l2_device *v)
{
	return container_of(v, struct vcam_dev, v4l2_dev);
}

/* --- frame thread --------------------------------------------------------- */

static void vcam_trace(struct vcam_dev *cam, u32 frame)
{
	struct vcam_core *c = cam->core;

	if (cam->publications != c->publications) {
		cam->publications = c->publications;
		pr_info("cam%u frame %u: published shutter %u,%u gain %u\n",
			cam->index, frame, c->shutter_line, c->shutter_clock,
			c->gain);
	}
	if (cam->traced_rgb[0] != c->r || cam->traced_rgb[1] != c->g ||
	    cam->traced_rgb[2] != c->b) {
		cam->traced_rgb[0] = c->r;
		cam->traced_rgb[1] = c->g;
		cam->traced_rgb[2] = c->b;
		pr_info("cam%u frame %u: colour gains %u %u %u\n", cam->index,
			frame, c->r, c->g, c->b);
	}
}

static struct vcam_buffer *vcam_next_buffer(struct vcam_dev *cam)
{
	struct vcam_buffer *buf;
	unsigned long flags;

	spin_lock_irqsave(&cam->list_lock, flags);
	buf = list_first_entry_or_null(&cam->buffers, struct vcam_buffer, list);
	if (buf)
		list_del(&buf->list);
	spin_unlock_irqrestore(&cam->list_lock, flags);
	return buf;
}

/*
 * A one-shot white balance changes red and blue while white balance is
 * manual, when those controls are not volatile: copy the new gains into
 * them, which also sends control events to applications that asked.
 */
static void vcam_mirror_balance(struct vcam_dev *cam, u16 r, u16 b)
{
	v4l2_ctrl_lock(cam->awb);
	if (!cam->awb->cur.val &&
	    (cam->red->cur.val != r || cam->blue->cur.val != b)) {
		cam->mirroring = true;
		__v4l2_ctrl_s_ctrl(cam->red, r);
		__v4l2_ctrl_s_ctrl(cam->blue, b);
		cam->mirroring = false;
	}
	v4l2_ctrl_unlock(cam->awb);
}

/*
 * One thread per streaming camera. Everything the module does happens here,
 * in process context, under core_lock; buffers are handed to vb2 outside
 * it. Frames are paced by absolute deadlines, so the rate does not drift by
 * the scheduler's sleep granularity; a thread that falls more than a frame
 * behind starts counting again from now rather than rushing frames out.
 *
 * The sensor captures a frame only into a queued buffer: at a deadline with
 * no buffer the frame is skipped before the sensor or the module sees it.
 * The module still gets exactly one call per captured frame, and sequence
 * numbers have no gaps however late the application is.
 */
static int vcam_thread(void *data)
{
	struct vcam_dev *cam = data;
	ktime_t deadline = ktime_get();

	while (!kthread_should_stop()) {
		struct vcam_buffer *buf;
		u32 size, period;
		bool mirror;
		u16 r, b;

		buf = vcam_next_buffer(cam);
		if (!buf)
			goto sleep;

		mutex_lock(&cam->core_lock);
		cam->core->light = min_t(u32, READ_ONCE(light[cam->index]),
					 VCAM_LIGHT_MAX);
		vcam_core_frame(cam->core);
		if (READ_ONCE(trace))
			vcam_trace(cam, cam->sequence);
		size = cam->core->width * cam->core->height;
		r = cam->core->r;
		b = cam->core->b;
		mirror = !cam->core->auto_wb &&
			 (r != cam->seen_rb[0] || b != cam->seen_rb[1]);
		cam->seen_rb[0] = r;
		cam->seen_rb[1] = b;
		mutex_unlock(&cam->core_lock);
		if (mirror)
			vcam_mirror_balance(cam, r, b);

		/* The raw buffer is written only by this thread. */
		memcpy(vb2_plane_vaddr(&buf->vb.vb2_buf, 0), cam->raw, size);
		vb2_set_plane_payload(&buf->vb.vb2_buf, 0, size);
		buf->vb.sequence = cam->sequence++;
		buf->vb.field = V4L2_FIELD_NONE;
		buf->vb.vb2_buf.timestamp = ktime_get_ns();
		vb2_buffer_done(&buf->vb.vb2_buf, VB2_BUF_STATE_DONE);

sleep:
		period = NSEC_PER_SEC / READ_ONCE(cam->fps);
		deadline = ktime_add_ns(deadline, period);
		if (ktime_before(ktime_add_ns(deadline, period), ktime_get()))
			deadline = ktime_get();
		set_current_state(TASK_INTERRUPTIBLE);
		if (!kthread_should_stop())
			schedule_hrtimeout(&deadline, HRTIMER_MODE_ABS);
		__set_current_state(TASK_RUNNING);
	}
	return 0;
}

/* --- videobuf2 ------------------------------------------------------------ */

static int vcam_queue_setup(struct vb2_queue *q, unsigned int *nbuffers,
			    unsigned int *nplanes, unsigned int sizes[],
			    struct device *alloc_devs[])
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	if (*nplanes)
		return sizes[0] < cam->fmt.sizeimage ? -EINVAL : 0;
	*nplanes = 1;
	sizes[0] = cam->fmt.sizeimage;
	return 0;
}

static int vcam_buf_prepare(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	if (vb2_plane_size(vb, 0) < cam->fmt.sizeimage)
		return -EINVAL;
	vb2_set_plane_payload(vb, 0, cam->fmt.sizeimage);
	return 0;
}

static void vcam_buf_queue(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);
	struct vcam_buffer *buf =
		container_of(to_vb2_v4l2_buffer(vb), struct vcam_buffer, vb);
	unsigned long flags;

	spin_lock_irqsave(&cam->list_lock, flags);
	list_add_tail(&buf->list, &cam->buffers);
	spin_unlock_irqrestore(&cam->list_lock, flags);
}

static void vcam_return_buffers(struct vcam_dev *cam,
				enum vb2_buffer_state state)
{
	struct vcam_buffer *buf;

	while ((buf = vcam_next_buffer(cam)))
		vb2_buffer_done(&buf->vb.vb2_buf, state);
}

static int vcam_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);
	struct task_struct *t;

	cam->sequence = 0;
	t = kthread_run(vcam_thread, cam, "vcam%u", cam->index);
	if (IS_ERR(t)) {
		vcam_return_buffers(cam, VB2_BUF_STATE_QUEUED);
		return PTR_ERR(t);
	}
	cam->thread = t;
	return 0;
}

static void vcam_stop_streaming(struct vb2_queue *q)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	kthread_stop(cam->thread);
	cam->thread = NULL;
	vcam_return_buffers(cam, VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops vcam_qops = {
	.queue_setup = vcam_queue_setup,
	.buf_prepare = vcam_buf_prepare,
	.buf_queue = vcam_buf_queue,
	.start_streaming = vcam_start_streaming,
	.stop_streaming = vcam_stop_streaming,
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 13, 0)
	.wait_prepare = vb2_ops_wait_prepare,
	.wait_finish = vb2_ops_wait_finish,
#endif
};

/* --- ioctls --------------------------------------------------------------- */

static int vcam_querycap(struct file *file, void *fh,
			 struct v4l2_capability *cap)
{
	struct vcam_dev *cam = video_drvdata(file);

	strscpy(cap->driver, KBUILD_MODNAME, sizeof(cap->driver));
	snprintf(cap->card, sizeof(cap->card), "Quorvin virtual camera %u",
		 cam->index);
	snprintf(cap->bus_info, sizeof(cap->bus_info), "platform:%s",
		 dev_name(cam->v4l2_dev.dev));
	return 0;
}

static int vcam_enum_fmt(struct file *file, void *fh, struct v4l2_fmtdesc *f)
{
	if (f->index != 0)
		return -EINVAL;
	f->pixelformat = V4L2_PIX_FMT_SRGGB8;
	return 0;
}

static void vcam_fill_format(struct v4l2_pix_format *pix)
{
	const struct vcam_size *s =
		v4l2_find_nearest_size(vcam_sizes, ARRAY_SIZE(vcam_sizes),
				       width, height, pix->width, pix->height);

	memset(pix, 0, sizeof(*pix));
	pix->width = s->width;
	pix->height = s->height;
	pix->pixelformat = V4L2_PIX_FMT_SRGGB8;
	pix->field = V4L2_FIELD_NONE;
	pix->bytesperline = s->width;
	pix->sizeimage = s->width * s->height;
	pix->colorspace = V4L2_COLORSPACE_RAW;
}

static int vcam_g_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	f->fmt.pix = cam->fmt;
	return 0;
}

static int vcam_try_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	vcam_fill_format(&f->fmt.pix);
	return 0;
}

static int vcam_s_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	vcam_fill_format(&f->fmt.pix);
	cam->fmt = f->fmt.pix;
	mutex_lock(&cam->core_lock);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);
	mutex_unlock(&cam->core_lock);
	return 0;
}

static bool vcam_size_supported(u32 format, u32 width, u32 height)
{
	unsigned int i;

	if (format != V4L2_PIX_FMT_SRGGB8)
		return false;
	for (i = 0; i < ARRAY_SIZE(vcam_sizes); ++i)
		if (vcam_sizes[i].width == width &&
		    vcam_sizes[i].height == height)
			return true;
	return false;
}

static int vcam_enum_framesizes(struct file *file, void *fh,
				struct v4l2_frmsizeenum *fs)
{
	if (fs->pixel_format != V4L2_PIX_FMT_SRGGB8 ||
	    fs->index >= ARRAY_SIZE(vcam_sizes))
		return -EINVAL;
	fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
	fs->discrete.width = vcam_sizes[fs->index].width;
	fs->discrete.height = vcam_sizes[fs->index].height;
	return 0;
}

static int vcam_enum_frameintervals(struct file *file, void *fh,
				    struct v4l2_frmivalenum *fi)
{
	if (!vcam_size_supported(fi->pixel_format, fi->width, fi->height) ||
	    fi->index >= ARRAY_SIZE(vcam_fps))
		return -EINVAL;
	fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
	fi->discrete.numerator = 1;
	fi->discrete.denominator = vcam_fps[fi->index];
	return 0;
}

static void vcam_fill_parm(struct vcam_dev *cam, struct v4l2_streamparm *p)
{
	memset(&p->parm.capture, 0, sizeof(p->parm.capture));
	p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
	p->parm.capture.timeperframe.numerator = 1;
	p->parm.capture.timeperframe.denominator = cam->fps;
	p->parm.capture.readbuffers = 2;
}

static int vcam_g_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	vcam_fill_parm(cam, p);
	return 0;
}

/*
 * The nearest supported rate; a zero fraction asks for the fastest. The
 * frame thread picks a new rate up at its next frame.
 */
static int vcam_s_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);
	struct v4l2_fract *t = &p->parm.capture.timeperframe;
	u32 fps = vcam_fps[0];

	if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
		return -EINVAL;
	/* Below the midpoint of 15 and 30 frames/s: 15. */
	if (t->numerator && t->denominator &&
	    (u64)t->denominator * 2 < (u64)t->numerator * 45)
		fps = vcam_fps[1];
	mutex_lock(&cam->core_lock);
	WRITE_ONCE(cam->fps, fps);
	vcam_core_set_fps(cam->core, fps);
	mutex_unlock(&cam->core_lock);
	vcam_fill_parm(cam, p);
	return 0;
}

static int vcam_enum_input(struct file *file, void *fh, struct v4l2_input *inp)
{
	if (inp->index != 0)
		return -EINVAL;
	inp->type = V4L2_INPUT_TYPE_CAMERA;
	strscpy(inp->name, "Camera", sizeof(inp->name));
	return 0;
}

static int vcam_g_input(struct file *file, void *fh, unsigned int *i)
{
	*i = 0;
	return 0;
}

static int vcam_s_input(struct file *file, void *fh, unsigned int i)
{
	return i == 0 ? 0 : -EINVAL;
}

static const struct v4l2_ioctl_ops vcam_ioctl_ops = {
	.vidioc_querycap = vcam_querycap,
	.vidioc_enum_fmt_vid_cap = vcam_enum_fmt,
	.vidioc_g_fmt_vid_cap = vcam_g_fmt,
	.vidioc_try_fmt_vid_cap = vcam_try_fmt,
	.vidioc_s_fmt_vid_cap = vcam_s_fmt,
	.vidioc_enum_framesizes = vcam_enum_framesizes,
	.vidioc_enum_frameintervals = vcam_enum_frameintervals,
	.vidioc_g_parm = vcam_g_parm,
	.vidioc_s_parm = vcam_s_parm,
	.vidioc_enum_input = vcam_enum_input,
	.vidioc_g_input = vcam_g_input,
	.vidioc_s_input = vcam_s_input,
	.vidioc_reqbufs = vb2_ioctl_reqbufs,
	.vidioc_create_bufs = vb2_ioctl_create_bufs,
	.vidioc_prepare_buf = vb2_ioctl_prepare_buf,
	.vidioc_querybuf = vb2_ioctl_querybuf,
	.vidioc_qbuf = vb2_ioctl_qbuf,
	.vidioc_dqbuf = vb2_ioctl_dqbuf,
	.vidioc_expbuf = vb2_ioctl_expbuf,
	.vidioc_streamon = vb2_ioctl_streamon,
	.vidioc_streamoff = vb2_ioctl_streamoff,
	.vidioc_log_status = v4l2_ctrl_log_status,
	.vidioc_subscribe_event = v4l2_ctrl_subscribe_event,
	.vidioc_unsubscribe_event = v4l2_event_unsubscribe,
};

/*
 * Before 5.11, vb2 registered its done queue with the poll table only when
 * the caller asked for input events. epoll registers wait queues once, when
 * a file is added: a file added with no events and switched to EPOLLIN
 * later (EPOLL_CTL_MOD) was then never woken by a finished buffer. Adding
 * the queue on every call, whatever is asked, makes such a waiter see the
 * frames; newer kernels do this in vb2 itself.
 */
static __poll_t vcam_poll(struct file *file, poll_table *wait)
{
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0)
	struct vcam_dev *cam = video_drvdata(file);

	poll_wait(file, &cam->queue.done_wq, wait);
#endif
	return vb2_fop_poll(file, wait);
}

static const struct v4l2_file_operations vcam_fops = {
	.owner = THIS_MODULE, /* no unload while a file is open */
	.open = v4l2_fh_open,
	.release = vb2_fop_release,
	.read = vb2_fop_read,
	.poll = vcam_poll,
	.unlocked_ioctl = video_ioctl2,
	.mmap = vb2_fop_mmap,
};

/* --- controls ------------------------------------------------------------- */

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
		cam->exposure->val = vcam_core_exposure(c);
		break;
	case V4L2_CID_AUTOGAIN:
		cam->gain->val = vcam_core_gain(c);
		break;
	case V4L2_CID_AUTO_WHITE_BALANCE:
		cam->red->val = c->r;
		cam->blue->val = c->b;
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
		vcam_s_auto_cluster(c, on, c->auto_exposure, cam->exposure,
				    vcam_core_set_auto_exposure,
				    vcam_core_set_exposure);
		break;
	case V4L2_CID_AUTOGAIN:
		vcam_s_auto_cluster(c, ctrl->val, c->auto_gain, cam->gain,
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
		    (cam->red->val != c->r || cam->blue->val != c->b))
			vcam_core_set_balance(c, cam->red->val, cam->blue->val);
		break;
	case V4L2_CID_DO_WHITE_BALANCE:
		vcam_core_do_white_balance(c);
		break;
	case V4L2_CID_BRIGHTNESS:
		vcam_core_set_target(c, (u8)ctrl->val);
		break;
	}
	mutex_unlock(&cam->core_lock);
	return 0;
}

static const struct v4l2_ctrl_ops vcam_ctrl_ops = {
	.g_volatile_ctrl = vcam_g_volatile_ctrl,
	.s_ctrl = vcam_s_ctrl,
};

static int vcam_init_controls(struct vcam_dev *cam)
{
	struct v4l2_ctrl_handler *h = &cam->ctrls;
	const struct v4l2_ctrl_ops *ops = &vcam_ctrl_ops;

	v4l2_ctrl_handler_init(h, 9);
	cam->exposure_auto =
		v4l2_ctrl_new_std_menu(h, ops, V4L2_CID_EXPOSURE_AUTO,
				       V4L2_EXPOSURE_MANUAL,
				       ~(BIT(V4L2_EXPOSURE_AUTO) |
					 BIT(V4L2_EXPOSURE_MANUAL)),
				       V4L2_EXPOSURE_AUTO);
	cam->exposure = v4l2_ctrl_new_std(h, ops, V4L2_CID_EXPOSURE_ABSOLUTE, 1,
					  VCAM_EXPOSURE_MAX, 1, 100);
	cam->autogain =
		v4l2_ctrl_new_std(h, ops, V4L2_CID_AUTOGAIN, 0, 1, 1, 1);
	cam->gain = v4l2_ctrl_new_std(h, ops, V4L2_CID_GAIN, 0, VCAM_GAIN_MAX,
				      1, 0);
	cam->awb = v4l2_ctrl_new_std(h, ops, V4L2_CID_AUTO_WHITE_BALANCE, 0, 1,
				     1, 1);
	cam->red = v4l2_ctrl_new_std(h, ops, V4L2_CID_RED_BALANCE, 0,
				     VCAM_BALANCE_MAX, 1, 16);
	cam->blue = v4l2_ctrl_new_std(h, ops, V4L2_CID_BLUE_BALANCE, 0,
				      VCAM_BALANCE_MAX, 1, 16);
	v4l2_ctrl_new_std(h, ops, V4L2_CID_DO_WHITE_BALANCE, 0, 0, 0, 0);
	v4l2_ctrl_new_std(h, ops, V4L2_CID_BRIGHTNESS, 0, 255, 1, 128);
	if (h->error)
		return h->error;

	v4l2_ctrl_auto_cluster(2, &cam->exposure_auto, V4L2_EXPOSURE_MANUAL,
			       true);
	v4l2_ctrl_auto_cluster(2, &cam->autogain, 0, true);
	v4l2_ctrl_auto_cluster(3, &cam->awb, 0, true);
	return v4l2_ctrl_handler_setup(h);
}

/* --- devices -------------------------------------------------------------- */

static void vcam_free(struct vcam_dev *cam)
{
	v4l2_ctrl_handler_free(&cam->ctrls);
	if (cam->core && cam->awb_mem)
		vcam_core_free(cam->core);
	kfree(cam->awb_mem);
	vfree(cam->raw);
	vfree(cam->core);
	kfree(cam);
}

/* The last reference to the camera is gone: no file is open any more. */
static void vcam_release(struct v4l2_device *v)
{
	struct vcam_dev *cam = to_vcam(v);

	pr_info("cam%u: released\n", cam->index);
	vcam_free(cam);
}

static int vcam_probe(struct platform_device *pdev)
{
	struct vcam_dev *cam;
	struct vb2_queue *q;
	struct video_device *vdev;
	int entry_kind;
	int ret;

	if (pdev->id < 0 || pdev->id >= VCAM_MAX_DEVICES)
		return -ENODEV;
	cam = kzalloc(sizeof(*cam), GFP_KERNEL);
	if (!cam)
		return -ENOMEM;
	cam->index = pdev->id;
	cam->core = vzalloc(sizeof(*cam->core));
	cam->raw = vzalloc(VCAM_MAX_WIDTH * VCAM_MAX_HEIGHT);
	cam->awb_mem = kzalloc(vcam_core_awb_size(), GFP_KERNEL);
	if (!cam->core || !cam->raw || !cam->awb_mem) {
		ret = -ENOMEM;
		goto free;
	}
	mutex_init(&cam->io_lock);
	mutex_init(&cam->core_lock);
	spin_lock_init(&cam->list_lock);
	INIT_LIST_HEAD(&cam->buffers);

	entry_kind = VCAM_ENTRY_IMAGE;
	if (entry[cam->index] && !strcmp(entry[cam->index], "alc"))
		entry_kind = VCAM_ENTRY_ALC;
	vcam_core_init(cam->core, cam->awb_mem, cam->raw, entry_kind);
	cam->fps = vcam_fps[0];
	cam->fmt.width = 640;
	cam->fmt.height = 480;
	vcam_fill_format(&cam->fmt);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);

	ret = vcam_init_controls(cam);
	if (ret)
		goto free;

	q = &cam->queue;
	q->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	q->io_modes = VB2_MMAP | VB2_USERPTR | VB2_DMABUF | VB2_READ;
	q->drv_priv = cam;
	q->buf_struct_size = sizeof(struct vcam_buffer);
	q->ops = &vcam_qops;
	q->mem_ops = &vb2_vmalloc_memops;
	q->timestamp_flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
			     V4L2_BUF_FLAG_TSTAMP_SRC_EOF;
	q->lock = &cam->io_lock;
	q->dev = &pdev->dev;
	ret = vb2_queue_init(q);
	if (ret)
		goto free;

	ret = v4l2_device_register(&pdev->dev, &cam->v4l2_dev);
	if (ret)
		goto free;
	/* From here on the v4l2_device's release frees the camera. */
	cam->v4l2_dev.release = vcam_release;
	cam->v4l2_dev.ctrl_handler = &cam->ctrls;

	vdev = &cam->vdev;
	snprintf(vdev->name, sizeof(vdev->name), "Quorvin virtual camera %u",
		 cam->index);
	vdev->fops = &vcam_fops;
	vdev->ioctl_ops = &vcam_ioctl_ops;
	vdev->release = video_device_release_empty; /* part of the camera */
	vdev->v4l2_dev = &cam->v4l2_dev;
	vdev->queue = q;
	vdev->lock = &cam->io_lock;
	vdev->vfl_dir = VFL_DIR_RX;
	vdev->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING |
			    V4L2_CAP_READWRITE;
	video_set_drvdata(vdev, cam);
	ret = video_register_device(vdev, VFL_TYPE_VIDEO, -1);
	if (ret) {
		v4l2_device_unregister(&cam->v4l2_dev);
		v4l2_device_put(&cam->v4l2_dev);
		return ret;
	}
	platform_set_drvdata(pdev, cam);
	pr_info("cam%u: %s entry, as %s\n", cam->index,
		entry_kind == VCAM_ENTRY_ALC ? "alc" : "image",
		video_device_node_name(vdev));
	return 0;

free:
	vcam_free(cam);
	return ret;
}

/*
 * Unbinding: streaming stops and the device node goes at once; the camera
 * itself is freed when its last open file is closed (vcam_release).
 */
static void vcam_remove_camera(struct platform_device *pdev)
{
	struct vcam_dev *cam = platform_get_drvdata(pdev);

	pr_info("cam%u: unbound\n", cam->index);
	vb2_video_unregister_device(&cam->vdev);
	v4l2_device_unregister(&cam->v4l2_dev);
	v4l2_device_put(&cam->v4l2_dev);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
static void vcam_remove(struct platform_device *pdev)
{
	vcam_remove_camera(pdev);
}
#else
static int vcam_remove(struct platform_device *pdev)
{
	vcam_remove_camera(pdev);
	return 0;
}
#endif

static struct platform_driver vcam_driver = {
	.probe = vcam_probe,
	.remove = vcam_remove,
	.driver = { .name = KBUILD_MODNAME },
};

static struct platform_device *vcam_pdevs[VCAM_MAX_DEVICES];

static void vcam_unregister_devices(void)
{
	int i;

	for (i = VCAM_MAX_DEVICES - 1; i >= 0; --i) {
		if (vcam_pdevs[i])
			platform_device_unregister(vcam_pdevs[i]);
		vcam_pdevs[i] = NULL;
	}
}

static int __init vcam_init(void)
{
	unsigned int i;
	int ret;

	if (devices < 1 || devices > VCAM_MAX_DEVICES) {
		pr_err("devices=%u: give 1 to %d\n", devices, VCAM_MAX_DEVICES);
		return -EINVAL;
	}
	for (i = 0; i < VCAM_MAX_DEVICES; ++i) {
		if (entry[i] && strcmp(entry[i], "image") &&
		    strcmp(entry[i], "alc")) {
			pr_err("entry=%s: give image or alc\n", entry[i]);
			return -EINVAL;
		}
	}
	ret = platform_driver_register(&vcam_driver);
	if (ret)
		return ret;
	for (i = 0; i < devices; ++i) {
		struct platform_device *pdev;

		pdev = platform_device_register_simple(KBUILD_MODNAME, i, NULL,
						       0);
		if (IS_ERR(pdev)) {
			vcam_unregister_devices();
			platform_driver_unregister(&vcam_driver);
			return PTR_ERR(pdev);
		}
		vcam_pdevs[i] = pdev;
	}
	return 0;
}

static void __exit vcam_exit(void)
{
	vcam_unregister_devices();
	platform_driver_unregister(&vcam_driver);
}

module_init(vcam_init);
module_exit(vcam_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Quorvin virtual raw Bayer camera: a V4L2 driver on Quorvin_AWB");
