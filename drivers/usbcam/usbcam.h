/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * quorvin_usbcam: a V4L2 capture driver for the Quorvin USB test camera
 * (usbcam_proto.h) whose automatic exposure, gain and white balance come
 * from the Quorvin_AWB module. Split by role:
 *
 *   usbcam_main.c    module, USB probe and disconnect, the camera's lifetime
 *   usbcam_video.c   V4L2 ioctls, file operations, videobuf2 queue
 *   usbcam_stream.c  bulk URBs, frame checks, the frame work, registers
 *   usbcam_ctrls.c   controls and the binding to the balance object
 *   usbcam_common.c  what the reference drivers share
 *                    (drivers/common/qcam_v4l2.c, compiled in)
 *
 * Contexts: URB completions (atomic) only hand finished transfers to the
 * frame work; the work (process context) checks each frame, calls the
 * module, writes what it published to the camera with control transfers,
 * fills a vb2 buffer and resubmits the URB.
 *
 * Locks, in this order: io_lock (ioctls and the queue), the control
 * handler's lock, core_lock (the balance object, its bound variables, the
 * camera's registers and statistics), lock (spinlock: queued buffers and
 * finished URBs). The work never takes io_lock, so stop_streaming can wait
 * for it while holding io_lock.
 */
#ifndef QUORVIN_USBCAM_H
#define QUORVIN_USBCAM_H

#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/usb.h>
#include <linux/workqueue.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-device.h>
#include <media/videobuf2-v4l2.h>

#include "../common/qcam_v4l2.h"
#include "usbcam_proto.h"

/* Bulk URBs in flight while streaming, one frame each. */
#define USBCAM_URBS 2
/*
 * Frames from a register write to the first frame exposed with it, as the
 * driver sees them: the sensor's two frames, plus the frames already under
 * way in the URBs and the one the camera is sending. The module must skip
 * at least that many frames after each change before it measures again.
 */
#define USBCAM_SENSOR_LATENCY 2
#define USBCAM_SKIP_FRAMES    (USBCAM_SENSOR_LATENCY + USBCAM_URBS + 1)
#define USBCAM_AVERAGE_FRAMES 4
/* Room beyond a frame in each URB, so that an overlong frame is seen whole. */
#define USBCAM_URB_SLACK 4096
/*
 * When the camera counts as broken and the stream ends with an error to
 * the application: each bad transfer (bad frame, URB error, stall) adds
 * USBCAM_BAD_WEIGHT to a score that each good frame lowers by one, and the
 * stream ends when it passes USBCAM_BAD_LIMIT: after 16 bad transfers in a
 * row, or within about 20 frames when every frame comes with one, while a
 * camera that spoils fewer than one transfer in four goes on. Likewise
 * after USBCAM_MAX_CTRL_FAIL register writes in a row failed.
 */
#define USBCAM_BAD_WEIGHT    4
#define USBCAM_BAD_LIMIT     63
#define USBCAM_MAX_CTRL_FAIL 3

/* Exposure control range in 100 us: up to one frame at 15 frames/s. */
#define USBCAM_EXPOSURE_MAX	666
#define USBCAM_CLOCKS_PER_100US (USBCAM_PIXEL_CLOCK_HZ / 10000u)
/* The module's dead band around the target. */
#define USBCAM_TOLERANCE 5
#define USBCAM_THRESHOLD 5

enum usbcam_entry {
	USBCAM_ENTRY_IMAGE = 0, /* Quorvin_ImageBalance: the module corrects */
	USBCAM_ENTRY_ALC =
		1, /* Quorvin_ALCWBalance: the camera applies R, G, B */
};

/* Why frames were dropped, and other events of the stream. */
struct usbcam_stats {
	u32 frames;	  /* delivered to the application or to no buffer */
	u32 short_frames; /* fewer bytes than the header announced */
	u32 long_frames;  /* more bytes than the header announced */
	u32 bad_magic;	  /* a transfer that does not start with a header */
	u32 bad_size;	  /* a header whose size is not the format's */
	u32 gaps;	  /* sequence numbers missing between good frames */
	u32 urb_errors;	  /* transfers that ended with an error */
	u32 stalls;	  /* halted bulk endpoint, cleared */
	u32 ctrl_errors;  /* register accesses that failed */
	u32 failures;	  /* streams ended because the camera kept failing */
};

struct usbcam_urb {
	struct urb *urb;
	struct usbcam_dev *cam;
	struct list_head done; /* on usbcam_dev.done when finished */
};

/* Camera registers as last written. */
struct usbcam_regs {
	u16 line, clock, gain;
	u16 rgb[3];
};

struct usbcam_dev {
	struct v4l2_device v4l2_dev;
	struct video_device vdev;
	struct vb2_queue queue;
	struct v4l2_ctrl_handler ctrls;
	struct qcam_ctrls std; /* the standard camera controls */

	struct usb_device *udev; /* referenced until the release */
	struct usb_interface *intf;
	unsigned int pipe; /* bulk IN */
	bool disconnected; /* set once by disconnect, under core_lock */

	struct mutex io_lock;	  /* ioctls and the queue */
	struct mutex core_lock;	  /* the balance object, registers, counters */
	spinlock_t lock;	  /* queued buffers and finished URBs */
	struct list_head buffers; /* of struct qcam_buffer */
	struct list_head done;
	struct workqueue_struct *wq;
	struct work_struct work;
	struct usbcam_urb urbs[USBCAM_URBS];
	u32 urb_size;

	/* Stream state, written by the work and by start/stop. */
	bool streaming;
	bool failed;
	bool have_seq;
	u32 seq_base, next_seq;
	u32 bad_score, ctrl_fail_run;
	struct usbcam_stats stats; /* under core_lock */

	u32 fps;
	struct v4l2_pix_format fmt;

	/* Bound to the balance object (Quorvin_InitAWBObject). */
	void *awb; /* Quorvin_GetAWBObjectSize() bytes */
	u8 *raw;   /* USBCAM_MAX_WIDTH x USBCAM_MAX_HEIGHT, never moves */
	u32 width, height;
	u16 lines_per_frame, clocks_per_line;
	u16 shutter_line, shutter_clock, gain; /* published by the module */
	int new_exposure;
	u16 r, g, b; /* colour gains, 1/16 */
	u32 publications;

	struct usbcam_regs regs; /* the camera's registers, as written */
	int entry;		 /* enum usbcam_entry */
	int auto_exposure, auto_gain, auto_wb;
	u8 target;
	u16 seen_rb[2]; /* red and blue after the last frame */
	bool mirroring; /* under the handler lock: the work copies red, blue */
};

/* usbcam_main.c */
extern bool usbcam_trace;

/* usbcam_video.c */
int usbcam_video_register(struct usbcam_dev *cam);
u16 usbcam_lines_per_frame(u32 fps);

/* usbcam_stream.c */
int usbcam_read_reg(struct usbcam_dev *cam, u16 reg, u16 *value);
int usbcam_write_reg(struct usbcam_dev *cam, u16 reg, u16 value);
int usbcam_write_regs(struct usbcam_dev *cam, u16 first, const u16 *values,
		      unsigned int n);
int usbcam_stream_start(struct usbcam_dev *cam);
void usbcam_stream_stop(struct usbcam_dev *cam);
void usbcam_stream_init(struct usbcam_dev *cam);

/* usbcam_ctrls.c */
int usbcam_ctrls_init(struct usbcam_dev *cam);
void usbcam_bind(struct usbcam_dev *cam);
void usbcam_frame_balance(struct usbcam_dev *cam, u32 sequence);
void usbcam_mirror_balance(struct usbcam_dev *cam);

#endif /* QUORVIN_USBCAM_H */
