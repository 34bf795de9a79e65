// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam's video device: V4L2_PIX_FMT_SRGGB8 at 320x240, 640x480 and
 * 1280x720, 30 or 15 frames/s, one camera input; a videobuf2 vmalloc queue
 * (MMAP, USERPTR, DMABUF, read) whose buffers the frame thread fills. What
 * does not depend on this camera is in drivers/common/qcam_v4l2.c.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <media/v4l2-ioctl.h>
#include <media/videobuf2-v4l2.h>

#include "vcam.h"

/* --- videobuf2 ------------------------------------------------------------ */

static int vcam_queue_setup(struct vb2_queue *q, unsigned int *nbuffers,
			    unsigned int *nplanes, unsigned int sizes[],
			    struct device *alloc_devs[])
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	return qcam_queue_setup(cam->fmt.sizeimage, nplanes, sizes);
}

static int vcam_buf_prepare(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	return qcam_buf_prepare(vb, cam->fmt.sizeimage);
}

static void vcam_buf_queue(struct vb2_buffer *vb)
{
	struct vcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	qcam_buf_queue(vb, &cam->list_lock, &cam->buffers);
}

static int vcam_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);
	int ret;

	ret = vcam_thread_start(cam);
	if (ret)
		qcam_return_buffers(&cam->list_lock, &cam->buffers,
				    VB2_BUF_STATE_QUEUED);
	return ret;
}

static void vcam_stop_streaming(struct vb2_queue *q)
{
	struct vcam_dev *cam = vb2_get_drv_priv(q);

	vcam_thread_stop(cam);
	qcam_return_buffers(&cam->list_lock, &cam->buffers,
			    VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops vcam_qops = {
	.queue_setup = vcam_queue_setup,
	.buf_prepare = vcam_buf_prepare,
	.buf_queue = vcam_buf_queue,
	.start_streaming = vcam_start_streaming,
	.stop_streaming = vcam_stop_streaming,
#ifdef QCAM_VB2_HAS_WAIT_OPS
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

static int vcam_g_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	f->fmt.pix = cam->fmt;
	return 0;
}

static int vcam_s_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct vcam_dev *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	qcam_fill_format(&f->fmt.pix);
	cam->fmt = f->fmt.pix;
	mutex_lock(&cam->core_lock);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);
	mutex_unlock(&cam->core_lock);
	return 0;
}

static int vcam_g_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);

	return qcam_get_parm(cam->fps, p);
}

/* The frame thread picks a new rate up at its next frame. */
static int vcam_s_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct vcam_dev *cam = video_drvdata(file);
	u32 fps;
	int ret;

	ret = qcam_parm_fps(p, &fps);
	if (ret)
		return ret;
	mutex_lock(&cam->core_lock);
	WRITE_ONCE(cam->fps, fps);
	vcam_core_set_fps(cam->core, fps);
	mutex_unlock(&cam->core_lock);
	qcam_fill_parm(fps, p);
	return 0;
}

static const struct v4l2_ioctl_ops vcam_ioctl_ops = {
	.vidioc_querycap = vcam_querycap,
	.vidioc_g_fmt_vid_cap = vcam_g_fmt,
	.vidioc_s_fmt_vid_cap = vcam_s_fmt,
	.vidioc_g_parm = vcam_g_parm,
	.vidioc_s_parm = vcam_s_parm,
	.vidioc_log_status = v4l2_ctrl_log_status,
	QCAM_IOCTL_OPS
};

/* --- setup ---------------------------------------------------------------- */

/* The first format and rate: 640x480 at 30 frames/s. */
void vcam_video_init_format(struct vcam_dev *cam)
{
	cam->fps = QCAM_FPS_DEFAULT;
	cam->fmt.width = 640;
	cam->fmt.height = 480;
	qcam_fill_format(&cam->fmt);
	vcam_core_set_format(cam->core, cam->fmt.width, cam->fmt.height);
}

int vcam_video_init_queue(struct vcam_dev *cam, struct device *dev)
{
	return qcam_queue_init(&cam->queue, cam, &vcam_qops, &cam->io_lock,
			       dev);
}

/* Registers the device node; the v4l2_device must be registered. */
int vcam_video_register(struct vcam_dev *cam)
{
	char name[sizeof_field(struct video_device, name)];

	snprintf(name, sizeof(name), "Quorvin virtual camera %u", cam->index);
	return qcam_video_register(&cam->vdev, name, &vcam_ioctl_ops,
				   &cam->v4l2_dev, &cam->queue, &cam->io_lock,
				   cam);
}
