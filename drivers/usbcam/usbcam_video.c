// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The V4L2 side of quorvin_usbcam: ioctls and the videobuf2 vmalloc queue
 * (MMAP, USERPTR, DMABUF, read). V4L2_PIX_FMT_SRGGB8 at 320x240, 640x480
 * and 1280x720, 30 or 15 frames/s. What does not depend on this camera,
 * the file operations included, is in drivers/common/qcam_v4l2.c.
 */
#include <linux/string.h>
#include <media/v4l2-ioctl.h>

#include "usbcam.h"

u16 usbcam_lines_per_frame(u32 fps)
{
	return (u16)(USBCAM_PIXEL_CLOCK_HZ / USBCAM_CLOCKS_PER_LINE / fps);
}

/* --- videobuf2 ------------------------------------------------------------ */

static int usbcam_queue_setup(struct vb2_queue *q, unsigned int *nbuffers,
			      unsigned int *nplanes, unsigned int sizes[],
			      struct device *alloc_devs[])
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);

	return qcam_queue_setup(cam->fmt.sizeimage, nplanes, sizes);
}

static int usbcam_buf_prepare(struct vb2_buffer *vb)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	return qcam_buf_prepare(vb, cam->fmt.sizeimage);
}

static void usbcam_buf_queue(struct vb2_buffer *vb)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(vb->vb2_queue);

	qcam_buf_queue(vb, &cam->lock, &cam->buffers);
	/* A frame may be waiting for a buffer. */
	if (READ_ONCE(cam->streaming))
		queue_work(cam->wq, &cam->work);
}

static int usbcam_start_streaming(struct vb2_queue *q, unsigned int count)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);
	int ret;

	ret = usbcam_stream_start(cam);
	if (ret)
		qcam_return_buffers(&cam->lock, &cam->buffers,
				    VB2_BUF_STATE_QUEUED);
	return ret;
}

static void usbcam_stop_streaming(struct vb2_queue *q)
{
	struct usbcam_dev *cam = vb2_get_drv_priv(q);

	usbcam_stream_stop(cam);
	qcam_return_buffers(&cam->lock, &cam->buffers, VB2_BUF_STATE_ERROR);
}

static const struct vb2_ops usbcam_qops = {
	.queue_setup = usbcam_queue_setup,
	.buf_prepare = usbcam_buf_prepare,
	.buf_queue = usbcam_buf_queue,
	.start_streaming = usbcam_start_streaming,
	.stop_streaming = usbcam_stop_streaming,
#ifdef QCAM_VB2_HAS_WAIT_OPS
	.wait_prepare = vb2_ops_wait_prepare,
	.wait_finish = vb2_ops_wait_finish,
#endif
};

/* --- ioctls --------------------------------------------------------------- */

static int usbcam_querycap(struct file *file, void *fh,
			   struct v4l2_capability *cap)
{
	struct usbcam_dev *cam = video_drvdata(file);

	strscpy(cap->driver, KBUILD_MODNAME, sizeof(cap->driver));
	strscpy(cap->card, "Quorvin USB camera", sizeof(cap->card));
	usb_make_path(cam->udev, cap->bus_info, sizeof(cap->bus_info));
	return 0;
}

static int usbcam_g_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct usbcam_dev *cam = video_drvdata(file);

	f->fmt.pix = cam->fmt;
	return 0;
}

static int usbcam_s_fmt(struct file *file, void *fh, struct v4l2_format *f)
{
	struct usbcam_dev *cam = video_drvdata(file);

	if (vb2_is_busy(&cam->queue))
		return -EBUSY;
	qcam_fill_format(&f->fmt.pix);
	mutex_lock(&cam->core_lock);
	cam->fmt = f->fmt.pix;
	/* The module reads the bound size at its next call. */
	cam->width = cam->fmt.width;
	cam->height = cam->fmt.height;
	mutex_unlock(&cam->core_lock);
	return 0;
}

static int usbcam_g_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct usbcam_dev *cam = video_drvdata(file);

	return qcam_get_parm(cam->fps, p);
}

/* The camera takes the new frame timing when a stream starts, or at once. */
static int usbcam_s_parm(struct file *file, void *fh, struct v4l2_streamparm *p)
{
	struct usbcam_dev *cam = video_drvdata(file);
	u32 fps;
	int ret;

	ret = qcam_parm_fps(p, &fps);
	if (ret)
		return ret;
	mutex_lock(&cam->core_lock);
	cam->fps = fps;
	cam->lines_per_frame = usbcam_lines_per_frame(fps);
	if (vb2_is_streaming(&cam->queue))
		usbcam_write_reg(cam, USBCAM_REG_LINES_PER_FRAME,
				 cam->lines_per_frame);
	mutex_unlock(&cam->core_lock);
	qcam_fill_parm(fps, p);
	return 0;
}

static int usbcam_log_status(struct file *file, void *fh)
{
	struct usbcam_dev *cam = video_drvdata(file);
	struct usbcam_stats s;

	mutex_lock(&cam->core_lock);
	s = cam->stats;
	mutex_unlock(&cam->core_lock);
	v4l2_info(&cam->v4l2_dev,
		  "frames %u short %u long %u magic %u size %u gaps %u urb_errors %u stalls %u ctrl_errors %u failures %u\n",
		  s.frames, s.short_frames, s.long_frames, s.bad_magic,
		  s.bad_size, s.gaps, s.urb_errors, s.stalls, s.ctrl_errors,
		  s.failures);
	return v4l2_ctrl_log_status(file, fh);
}

static const struct v4l2_ioctl_ops usbcam_ioctl_ops = {
	.vidioc_querycap = usbcam_querycap,
	.vidioc_g_fmt_vid_cap = usbcam_g_fmt,
	.vidioc_s_fmt_vid_cap = usbcam_s_fmt,
	.vidioc_g_parm = usbcam_g_parm,
	.vidioc_s_parm = usbcam_s_parm,
	.vidioc_log_status = usbcam_log_status,
	QCAM_IOCTL_OPS
};

int usbcam_video_register(struct usbcam_dev *cam)
{
	int ret;

	ret = qcam_queue_init(&cam->queue, cam, &usbcam_qops, &cam->io_lock,
			      &cam->intf->dev);
	if (ret)
		return ret;
	return qcam_video_register(&cam->vdev, "Quorvin USB camera",
				   &usbcam_ioctl_ops, &cam->v4l2_dev,
				   &cam->queue, &cam->io_lock, cam);
}
