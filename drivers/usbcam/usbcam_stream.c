// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The stream of quorvin_usbcam: register access by control transfers, the
 * bulk URBs and the frame work.
 *
 * Each URB takes one whole frame (one bulk transfer, ended by a short
 * packet). Its completion runs in atomic context and only puts the URB on
 * the list of finished ones and queues the work. The work, in process
 * context, checks the transfer against its header, drops and counts what
 * is not exactly one frame of the current format, runs the balance module
 * on good frames, writes what the module published to the camera (control
 * transfers sleep), fills the next vb2 buffer and resubmits the URB.
 *
 * A finished frame waits in its URB while the application has no buffer
 * queued: the camera then waits in its bulk write, so frames are not lost
 * and sequence numbers have no gaps however slow the application is.
 */
#include <linux/slab.h>
#include <linux/string.h>

#include "usbcam.h"

int usbcam_read_reg(struct usbcam_dev *cam, u16 reg, u16 *value)
{
	__le16 *buf;
	int ret;

	buf = kmalloc(sizeof(*buf), GFP_KERNEL); /* transfer buffers: heap */
	if (!buf)
		return -ENOMEM;
	ret = usb_control_msg(cam->udev, usb_rcvctrlpipe(cam->udev, 0),
			      USBCAM_REQ_READ,
			      USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE,
			      0, reg, buf, sizeof(*buf),
			      USBCAM_CTRL_TIMEOUT_MS);
	if (ret == sizeof(*buf)) {
		*value = le16_to_cpu(*buf);
		ret = 0;
	} else if (ret >= 0) {
		ret = -EIO;
	}
	kfree(buf);
	return ret;
}

/*
 * Writes n consecutive registers from first in one control transfer: the
 * camera applies them at the same frame (shutter and gain never straddle
 * a frame start). Called under core_lock. A failure is counted; several in
 * a row end the stream (the work checks ctrl_fail_run).
 */
int usbcam_write_regs(struct usbcam_dev *cam, u16 first, const u16 *values,
		      unsigned int n)
{
	__le16 *buf;
	unsigned int i;
	int ret;

	if (cam->disconnected)
		return -ENODEV;
	buf = kmalloc_array(n, sizeof(*buf), GFP_KERNEL);
	if (!buf)
		return -ENOMEM;
	for (i = 0; i < n; ++i)
		buf[i] = cpu_to_le16(values[i]);
	ret = usb_control_msg(cam->udev, usb_sndctrlpipe(cam->udev, 0),
			      USBCAM_REQ_WRITE,
			      USB_DIR_OUT | USB_TYPE_VENDOR | USB_RECIP_DEVICE,
			      0, first, buf, n * sizeof(*buf),
			      USBCAM_CTRL_TIMEOUT_MS);
	kfree(buf);
	if (ret >= 0 && ret != n * sizeof(*buf))
		ret = -EIO;
	if (ret < 0) {
		++cam->stats.ctrl_errors;
		++cam->ctrl_fail_run;
		dev_dbg(&cam->intf->dev, "registers %u..%u: %d\n", first,
			first + n - 1, ret);
		return ret;
	}
	cam->ctrl_fail_run = 0;
	return 0;
}

int usbcam_write_reg(struct usbcam_dev *cam, u16 reg, u16 value)
{
	return usbcam_write_regs(cam, reg, &value, 1);
}

static void usbcam_put_back_buffer(struct usbcam_dev *cam,
				   struct qcam_buffer *buf)
{
	unsigned long flags;

	spin_lock_irqsave(&cam->lock, flags);
	list_add(&buf->list, &cam->buffers);
	spin_unlock_irqrestore(&cam->lock, flags);
}

/* Atomic context: hand the transfer to the work, nothing more. */
static void usbcam_complete(struct urb *urb)
{
	struct usbcam_urb *u = urb->context;
	struct usbcam_dev *cam = u->cam;
	unsigned long flags;

	switch (urb->status) {
	case -ENOENT:	  /* killed or poisoned: the stream stops */
	case -ECONNRESET: /* unlinked */
	case -ESHUTDOWN:  /* the device or the host controller went away */
	case -ENODEV:
		return;
	default:
		break;
	}
	spin_lock_irqsave(&cam->lock, flags);
	list_add_tail(&u->done, &cam->done);
	spin_unlock_irqrestore(&cam->lock, flags);
	queue_work(cam->wq, &cam->work);
}

/* The stream goes on without this transfer; too many end it (usbcam.h). */
static void usbcam_bad(struct usbcam_dev *cam)
{
	cam->bad_score += USBCAM_BAD_WEIGHT;
	if (cam->bad_score <= USBCAM_BAD_LIMIT || cam->failed)
		return;
	cam->failed = true;
	++cam->stats.failures;
	dev_err(&cam->intf->dev,
		"camera keeps sending bad transfers: stream stopped\n");
	vb2_queue_error(&cam->queue);
}

/*
 * Checks one transfer; on a good frame the module balances it and it goes
 * into buf. Returns true when buf was used. Under core_lock.
 */
static bool usbcam_frame(struct usbcam_dev *cam, const u8 *data, u32 len,
			 struct qcam_buffer *buf)
{
	const struct usbcam_frame_header *h = (const void *)data;
	u32 payload, seq;

	if (len < USBCAM_HEADER_SIZE) {
		++cam->stats.short_frames;
		goto bad;
	}
	if (le32_to_cpu(h->magic) != USBCAM_MAGIC) {
		++cam->stats.bad_magic;
		goto bad;
	}
	payload = le32_to_cpu(h->payload_len);
	if (le16_to_cpu(h->width) != cam->fmt.width ||
	    le16_to_cpu(h->height) != cam->fmt.height ||
	    payload != cam->fmt.sizeimage) {
		++cam->stats.bad_size;
		goto bad;
	}
	if (len < USBCAM_HEADER_SIZE + payload) {
		++cam->stats.short_frames;
		goto bad;
	}
	if (len > USBCAM_HEADER_SIZE + payload) {
		++cam->stats.long_frames;
		goto bad;
	}

	seq = le32_to_cpu(h->sequence);
	if (!cam->have_seq) {
		cam->have_seq = true;
		cam->seq_base = seq;
	} else if (seq != cam->next_seq) {
		/* A step backwards counts as one. */
		cam->stats.gaps += seq - cam->next_seq < 0x80000000u ?
					   seq - cam->next_seq :
					   1;
	}
	cam->next_seq = seq + 1;
	if (cam->bad_score)
		--cam->bad_score;
	++cam->stats.frames;

	/* The module works on the bound frame buffer, which never moves. */
	memcpy(cam->raw, data + USBCAM_HEADER_SIZE, payload);
	usbcam_frame_balance(cam, seq);

	memcpy(vb2_plane_vaddr(&buf->vb.vb2_buf, 0), cam->raw, payload);
	vb2_set_plane_payload(&buf->vb.vb2_buf, 0, payload);
	buf->vb.sequence = seq - cam->seq_base;
	buf->vb.field = V4L2_FIELD_NONE;
	buf->vb.vb2_buf.timestamp = ktime_get_ns();
	return true;

bad:
	usbcam_bad(cam);
	return false;
}

static struct usbcam_urb *usbcam_next_done(struct usbcam_dev *cam)
{
	struct usbcam_urb *u;
	unsigned long flags;

	spin_lock_irqsave(&cam->lock, flags);
	u = list_first_entry_or_null(&cam->done, struct usbcam_urb, done);
	if (u)
		list_del(&u->done);
	spin_unlock_irqrestore(&cam->lock, flags);
	return u;
}

static void usbcam_put_back_done(struct usbcam_dev *cam, struct usbcam_urb *u)
{
	unsigned long flags;

	spin_lock_irqsave(&cam->lock, flags);
	list_add(&u->done, &cam->done);
	spin_unlock_irqrestore(&cam->lock, flags);
}

/* One finished URB; false when it must wait for a buffer. */
static bool usbcam_handle_urb(struct usbcam_dev *cam, struct usbcam_urb *u)
{
	struct urb *urb = u->urb;
	struct qcam_buffer *buf = NULL;
	bool used = false, mirror = false;
	int ret;

	if (!urb->status) {
		buf = qcam_next_buffer(&cam->lock, &cam->buffers);
		if (!buf)
			return false;
	}

	mutex_lock(&cam->core_lock);
	if (urb->status == -EPIPE) {
		/* The camera halted its endpoint: clear it and go on. */
		++cam->stats.stalls;
		ret = usb_clear_halt(cam->udev, cam->pipe);
		if (ret)
			dev_dbg(&cam->intf->dev, "clear halt: %d\n", ret);
		usbcam_bad(cam);
	} else if (urb->status) {
		++cam->stats.urb_errors;
		dev_dbg(&cam->intf->dev, "transfer: %d\n", urb->status);
		usbcam_bad(cam);
	} else {
		used = usbcam_frame(cam, urb->transfer_buffer,
				    urb->actual_length, buf);
	}
	if (cam->ctrl_fail_run >= USBCAM_MAX_CTRL_FAIL && !cam->failed) {
		cam->failed = true;
		++cam->stats.failures;
		dev_err(&cam->intf->dev,
			"%u register writes failed: stream stopped\n",
			cam->ctrl_fail_run);
		vb2_queue_error(&cam->queue);
	}
	if (used && !cam->auto_wb &&
	    (cam->r != cam->seen_rb[0] || cam->b != cam->seen_rb[1]))
		mirror = true;
	cam->seen_rb[0] = cam->r;
	cam->seen_rb[1] = cam->b;
	mutex_unlock(&cam->core_lock);

	if (buf) {
		if (used)
			vb2_buffer_done(&buf->vb.vb2_buf, VB2_BUF_STATE_DONE);
		else
			usbcam_put_back_buffer(cam, buf);
	}
	if (mirror)
		usbcam_mirror_balance(cam);

	/* A failed stream resubmits nothing: no busy loop on a dead camera. */
	if (READ_ONCE(cam->failed))
		return true;
	ret = usb_submit_urb(urb, GFP_KERNEL);
	/* -EPERM: poisoned by a stop; -ENODEV: unplugged. */
	if (ret)
		dev_dbg(&cam->intf->dev, "resubmit: %d\n", ret);
	return true;
}

static void usbcam_work(struct work_struct *work)
{
	struct usbcam_dev *cam = container_of(work, struct usbcam_dev, work);
	struct usbcam_urb *u;

	while (READ_ONCE(cam->streaming) && (u = usbcam_next_done(cam))) {
		if (!usbcam_handle_urb(cam, u)) {
			/* No buffer: buf_queue queues the work again. */
			usbcam_put_back_done(cam, u);
			break;
		}
	}
}

void usbcam_stream_init(struct usbcam_dev *cam)
{
	INIT_LIST_HEAD(&cam->buffers);
	INIT_LIST_HEAD(&cam->done);
	spin_lock_init(&cam->lock);
	INIT_WORK(&cam->work, usbcam_work);
}

static void usbcam_free_urbs(struct usbcam_dev *cam)
{
	int i;

	for (i = 0; i < USBCAM_URBS; ++i) {
		struct urb *urb = cam->urbs[i].urb;

		if (!urb)
			continue;
		kfree(urb->transfer_buffer);
		usb_free_urb(urb);
		cam->urbs[i].urb = NULL;
	}
}

static int usbcam_alloc_urbs(struct usbcam_dev *cam)
{
	int i;

	/* Whole packets, so that a frame too long for it ends it full. */
	cam->urb_size = ALIGN(USBCAM_HEADER_SIZE + cam->fmt.sizeimage +
				      USBCAM_URB_SLACK,
			      512);
	for (i = 0; i < USBCAM_URBS; ++i) {
		struct urb *urb = usb_alloc_urb(0, GFP_KERNEL);
		void *data = kmalloc(cam->urb_size, GFP_KERNEL);

		if (!urb || !data) {
			usb_free_urb(urb);
			kfree(data);
			usbcam_free_urbs(cam);
			return -ENOMEM;
		}
		cam->urbs[i].urb = urb;
		cam->urbs[i].cam = cam;
		usb_fill_bulk_urb(urb, cam->udev, cam->pipe, data,
				  cam->urb_size, usbcam_complete,
				  &cam->urbs[i]);
	}
	return 0;
}

/* Ends every URB and the work; nothing runs afterwards. */
static void usbcam_quiesce(struct usbcam_dev *cam)
{
	int i;

	WRITE_ONCE(cam->streaming, false);
	for (i = 0; i < USBCAM_URBS; ++i)
		if (cam->urbs[i].urb)
			usb_poison_urb(cam->urbs[i].urb);
	cancel_work_sync(&cam->work);
	INIT_LIST_HEAD(&cam->done);
	usbcam_free_urbs(cam);
}

/* Called with io_lock held, from start_streaming. */
int usbcam_stream_start(struct usbcam_dev *cam)
{
	int i, ret;

	ret = usbcam_alloc_urbs(cam);
	if (ret)
		return ret;

	mutex_lock(&cam->core_lock);
	cam->have_seq = false;
	cam->failed = false;
	cam->bad_score = 0;
	cam->ctrl_fail_run = 0;
	ret = usbcam_write_reg(cam, USBCAM_REG_WIDTH, (u16)cam->fmt.width);
	if (!ret)
		ret = usbcam_write_reg(cam, USBCAM_REG_HEIGHT,
				       (u16)cam->fmt.height);
	if (!ret)
		ret = usbcam_write_reg(cam, USBCAM_REG_LINES_PER_FRAME,
				       cam->lines_per_frame);
	if (!ret)
		ret = usbcam_write_reg(cam, USBCAM_REG_STREAM, 1);
	mutex_unlock(&cam->core_lock);
	if (ret)
		goto fail;

	WRITE_ONCE(cam->streaming, true);
	for (i = 0; i < USBCAM_URBS; ++i) {
		ret = usb_submit_urb(cam->urbs[i].urb, GFP_KERNEL);
		if (ret)
			goto fail;
	}
	return 0;

fail:
	usbcam_stream_stop(cam);
	return ret;
}

/* Called with io_lock held, from stop_streaming or a failed start. */
void usbcam_stream_stop(struct usbcam_dev *cam)
{
	usbcam_quiesce(cam);
	mutex_lock(&cam->core_lock);
	if (!cam->disconnected)
		usbcam_write_reg(cam, USBCAM_REG_STREAM, 0);
	mutex_unlock(&cam->core_lock);
}
