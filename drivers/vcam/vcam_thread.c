// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam's frame thread: one per streaming camera. Everything the
 * module does happens here, in process context (the module's operations take
 * a semaphore and may sleep), under core_lock; buffers are handed to vb2
 * outside it.
 */
#include <linux/err.h>
#include <linux/hrtimer.h>
#include <linux/kthread.h>
#include <linux/ktime.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <media/videobuf2-v4l2.h>

#include "vcam.h"

/*
 * debug=2: what the module published on this frame, by the frame's sequence
 * number: shutter (lines, clocks), gain register, and colour gains (1/16)
 * when they changed.
 */
static void vcam_log_publications(struct vcam_dev *cam, u32 frame)
{
	struct vcam_core *c = cam->core;

	if (cam->publications != c->publications) {
		cam->publications = c->publications;
		v4l2_dbg(2, vcam_debug, &cam->v4l2_dev,
			 "frame %u: published shutter %u,%u gain %u\n", frame,
			 c->shutter_line, c->shutter_clock, c->gain);
	}
	if (cam->logged_rgb[0] != c->r || cam->logged_rgb[1] != c->g ||
	    cam->logged_rgb[2] != c->b) {
		cam->logged_rgb[0] = c->r;
		cam->logged_rgb[1] = c->g;
		cam->logged_rgb[2] = c->b;
		v4l2_dbg(2, vcam_debug, &cam->v4l2_dev,
			 "frame %u: colour gains %u %u %u\n", frame, c->r, c->g,
			 c->b);
	}
}

/*
 * One frame at its deadline. Two kinds of sensor (free_running, read when
 * streaming starts):
 *
 * - triggered (default): the sensor captures a frame only into a queued
 *   buffer; at a deadline with no buffer the frame is skipped before the
 *   sensor or the module sees it. The module gets exactly one call per
 *   captured frame, and sequence numbers have no gaps however late the
 *   application is.
 * - free-running, as most cameras are: the sensor makes every frame and the
 *   module sees each one, buffer or not; a frame with no buffer queued is
 *   dropped, and its sequence number is skipped, so the application sees
 *   the gap and can count what it missed.
 */
static void vcam_thread_frame(struct vcam_dev *cam)
{
	struct qcam_buffer *buf;
	bool mirror;
	u32 size;
	u16 r, b;

	buf = qcam_next_buffer(&cam->list_lock, &cam->buffers);
	if (!buf && !cam->free_running)
		return;

	mutex_lock(&cam->core_lock);
	vcam_core_frame(cam->core);
	if (READ_ONCE(vcam_debug) >= 2)
		vcam_log_publications(cam, cam->sequence);
	size = cam->core->width * cam->core->height;
	r = cam->core->r;
	b = cam->core->b;
	mirror = !cam->core->auto_wb &&
		 (r != cam->seen_rb[0] || b != cam->seen_rb[1]);
	cam->seen_rb[0] = r;
	cam->seen_rb[1] = b;
	mutex_unlock(&cam->core_lock);
	if (mirror)
		vcam_ctrls_mirror_balance(cam, r, b);

	if (!buf) {
		++cam->dropped;
		++cam->sequence;
		return;
	}
	/* The raw buffer is written only by this thread. */
	memcpy(vb2_plane_vaddr(&buf->vb.vb2_buf, 0), cam->raw, size);
	vb2_set_plane_payload(&buf->vb.vb2_buf, 0, size);
	buf->vb.sequence = cam->sequence++;
	buf->vb.field = V4L2_FIELD_NONE;
	buf->vb.vb2_buf.timestamp = ktime_get_ns();
	vb2_buffer_done(&buf->vb.vb2_buf, VB2_BUF_STATE_DONE);
}

/*
 * Frames are paced by absolute deadlines, so the rate does not drift by the
 * scheduler's sleep granularity; a thread that falls more than a frame
 * behind starts counting again from now rather than rushing frames out.
 */
static int vcam_thread(void *data)
{
	struct vcam_dev *cam = data;
	ktime_t deadline = ktime_get();

	while (!kthread_should_stop()) {
		u32 period;

		vcam_thread_frame(cam);
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

int vcam_thread_start(struct vcam_dev *cam)
{
	struct task_struct *t;

	cam->sequence = 0;
	cam->dropped = 0;
	cam->free_running = READ_ONCE(vcam_free_running);
	t = kthread_run(vcam_thread, cam, "vcam%u", cam->index);
	if (IS_ERR(t))
		return PTR_ERR(t);
	cam->thread = t;
	return 0;
}

/* Returns once the thread has finished its frame and exited. */
void vcam_thread_stop(struct vcam_dev *cam)
{
	kthread_stop(cam->thread);
	cam->thread = NULL;
	v4l2_dbg(1, vcam_debug, &cam->v4l2_dev,
		 "stream off: %u frames, %u dropped without a buffer\n",
		 cam->sequence, cam->dropped);
}
