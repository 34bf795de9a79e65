// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * usbcam-device: the firmware of the Quorvin USB test camera, a user-space
 * program on the device side of a USB gadget through FunctionFS (the
 * protocol is in ../usbcam_proto.h). It renders frames with the sensor
 * model of drivers/vcam/vcam_core.c, compiled in, and sends one bulk
 * transfer per frame at the frame rate the host set.
 *
 *   usbcam-device [options] FFS-DIR
 *     --mode MODE      misbehave (below); default none
 *     --at N           first frame that misbehaves (default 20)
 *     --count N        misbehave N times, every frame from --at on
 *                      (default 1; 0: for ever)
 *     --light-file F   scene light in percent, read before every frame
 *     --log F          one line per frame sent: sequence, shutter line,
 *                      shutter clock, gain, red, green, blue
 *
 * Modes: none, short (a frame shorter than its header says), long (a frame
 * longer), magic (a wrong magic), seqjump (the sequence jumps by 5), garbage
 * (100 bytes that are no frame, between two frames), stall (the bulk
 * endpoint halts), ctrl-fail (a register write is refused with a stall),
 * ctrl-timeout (a register write is never answered), no-bulk (descriptors
 * without the bulk endpoint), zero-packet (a bulk endpoint of packet size
 * 0), extra-intf (a second interface beside the camera's), vanish (the
 * camera goes away in the middle of a frame: half a frame, then exit).
 *
 * Threads: the main thread serves ep0 (events and control requests) and
 * never blocks in read(): it polls first, so that an unbind of the gadget
 * never waits on a read that holds FunctionFS's lock. The frame thread
 * writes frames to ep1; a stream stop interrupts its write with a signal.
 */
#define _GNU_SOURCE
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "../../vcam/vcam_core.h"
#include "../usbcam_proto.h"

enum mode {
	MODE_NONE,
	MODE_SHORT,
	MODE_LONG,
	MODE_MAGIC,
	MODE_SEQJUMP,
	MODE_GARBAGE,
	MODE_STALL,
	MODE_CTRL_FAIL,
	MODE_CTRL_TIMEOUT,
	MODE_NO_BULK,
	MODE_ZERO_PACKET,
	MODE_EXTRA_INTF,
	MODE_VANISH,
};

static const char *const mode_names[] = {
	"none",	       "short",	     "long",	  "magic",	  "seqjump",
	"garbage",     "stall",	     "ctrl-fail", "ctrl-timeout", "no-bulk",
	"zero-packet", "extra-intf", "vanish",
};

/* Bytes a "long" frame carries beyond its header's length. */
#define LONG_EXTRA 1024u
/* Bytes a "short" frame lacks. */
#define SHORT_MISSING 1000u
#define GARBAGE_LEN   100u
#define SEQ_JUMP      5u

static enum mode mode;
static unsigned int mode_at = 20, mode_count = 1;
static const char *light_file, *log_path;
static FILE *log_file;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
/* Under lock. */
static __u16 regs[USBCAM_REG_COUNT];
static int enabled;	  /* the host configured the interface */
static int regs_changed;  /* written since the frame thread looked */
static unsigned int sent; /* frames sent (or dropped on purpose) */
static unsigned int misbehaved;
static pthread_t frame_thread;

static struct vcam_core core;
static __u8 raw[USBCAM_MAX_WIDTH * USBCAM_MAX_HEIGHT];
static __u8 frame_buf[USBCAM_HEADER_SIZE +
		      USBCAM_MAX_WIDTH * USBCAM_MAX_HEIGHT + LONG_EXTRA];
static int ep0 = -1;
/* Set by an unanswered request: ep0 rests longer than the host waits. */
static int deaf;
#define DEAF_MS (USBCAM_CTRL_TIMEOUT_MS + 100)
static char ep1_path[4096];

static void die(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	fprintf(stderr, "usbcam-device: ");
	vfprintf(stderr, fmt, ap);
	fprintf(stderr, "\n");
	va_end(ap);
	exit(1);
}

/* --- descriptors ---------------------------------------------------------- */

struct intf_eps {
	struct usb_interface_descriptor intf;
	struct usb_endpoint_descriptor_no_audio ep;
} __attribute__((packed));

static void fill_intf(struct intf_eps *d, int number, int eps, __u16 packet)
{
	memset(d, 0, sizeof(*d));
	d->intf.bLength = sizeof(d->intf);
	d->intf.bDescriptorType = USB_DT_INTERFACE;
	d->intf.bInterfaceNumber = (__u8)number;
	d->intf.bNumEndpoints = (__u8)eps;
	d->intf.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
	d->intf.iInterface = 1;
	d->ep.bLength = sizeof(d->ep);
	d->ep.bDescriptorType = USB_DT_ENDPOINT;
	d->ep.bEndpointAddress = (__u8)((number + 1) | USB_DIR_IN);
	d->ep.bmAttributes = USB_ENDPOINT_XFER_BULK;
	d->ep.wMaxPacketSize = htole16(packet);
}

/*
 * Full- and high-speed descriptors: one interface with one bulk IN
 * endpoint, or what the mode breaks.
 */
static void write_descriptors(void)
{
	struct {
		struct usb_functionfs_descs_head_v2 head;
		__le32 fs_count, hs_count;
		struct intf_eps fs[2], hs[2];
	} __attribute__((packed)) d;
	struct {
		struct usb_functionfs_strings_head head;
		__le16 lang;
		char str[sizeof("Quorvin camera")];
	} __attribute__((packed)) s;
	int intfs = mode == MODE_EXTRA_INTF ? 2 : 1;
	int eps = mode == MODE_NO_BULK ? 0 : 1;
	__u16 fs_packet = mode == MODE_ZERO_PACKET ? 0 : 64;
	__u16 hs_packet = mode == MODE_ZERO_PACKET ? 0 : 512;
	size_t per = eps ? sizeof(struct intf_eps) :
			   sizeof(struct usb_interface_descriptor);
	char buf[sizeof(d)];
	size_t len = 0;
	int i;

	memset(&d, 0, sizeof(d));
	for (i = 0; i < intfs; ++i) {
		fill_intf(&d.fs[i], i, eps, fs_packet);
		fill_intf(&d.hs[i], i, eps, hs_packet);
	}
	/* Pack the variable-length lists: header, counts, fs, hs. */
	d.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
	d.head.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC |
			       FUNCTIONFS_ALL_CTRL_RECIP);
	d.fs_count = htole32((__u32)(intfs * (1 + eps)));
	d.hs_count = d.fs_count;
	memcpy(buf, &d, sizeof(d.head) + 8);
	len = sizeof(d.head) + 8;
	for (i = 0; i < intfs; ++i, len += per)
		memcpy(buf + len, &d.fs[i], per);
	for (i = 0; i < intfs; ++i, len += per)
		memcpy(buf + len, &d.hs[i], per);
	((struct usb_functionfs_descs_head_v2 *)buf)->length =
		htole32((__u32)len);
	if (write(ep0, buf, len) != (ssize_t)len)
		die("descriptors refused: %s", strerror(errno));

	s.head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
	s.head.length = htole32(sizeof(s));
	s.head.str_count = htole32(1);
	s.head.lang_count = htole32(1);
	s.lang = htole16(0x0409);
	memcpy(s.str, "Quorvin camera", sizeof(s.str));
	if (write(ep0, &s, sizeof(s)) != (ssize_t)sizeof(s))
		die("strings refused: %s", strerror(errno));
}

/* --- frames --------------------------------------------------------------- */

static void on_signal(int sig)
{
	(void)sig; /* interrupts a blocked write */
}

static unsigned int read_light(void)
{
	char text[32];
	ssize_t n;
	int fd;

	if (!light_file)
		return 100;
	fd = open(light_file, O_RDONLY);
	if (fd < 0)
		return core.light;
	n = read(fd, text, sizeof(text) - 1);
	close(fd);
	if (n <= 0)
		return core.light;
	text[n] = 0;
	return (unsigned int)strtoul(text, NULL, 10);
}

/* True when frame number `n` (0-based count of frames sent) misbehaves. */
static int misbehave_now(enum mode m)
{
	if (mode != m || sent < mode_at)
		return 0;
	return mode_count == 0 || misbehaved < mode_count;
}

static void sleep_until(struct timespec *t)
{
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, t, NULL) ==
	       EINTR)
		;
}

static void advance(struct timespec *t, long ns)
{
	struct timespec now;

	t->tv_nsec += ns;
	while (t->tv_nsec >= 1000000000L) {
		t->tv_nsec -= 1000000000L;
		++t->tv_sec;
	}
	/* More than a frame behind (a slow bus): count from now. */
	clock_gettime(CLOCK_MONOTONIC, &now);
	if ((now.tv_sec - t->tv_sec) * 1000000000L + now.tv_nsec - t->tv_nsec >
	    ns)
		*t = now;
}

/* Renders the next frame into frame_buf; returns its transfer length. */
static size_t render(__u32 sequence)
{
	struct usbcam_frame_header h;
	__u32 w, hgt, payload;

	pthread_mutex_lock(&lock);
	if (regs_changed) {
		/* Shutter and gain: the newest registers, due in two frames. */
		core.pipe[1].line = regs[USBCAM_REG_SHUTTER_LINE];
		core.pipe[1].clock = regs[USBCAM_REG_SHUTTER_CLOCK];
		core.pipe[1].gain = regs[USBCAM_REG_GAIN];
		core.lines_per_frame = regs[USBCAM_REG_LINES_PER_FRAME];
		vcam_core_set_format(&core, regs[USBCAM_REG_WIDTH],
				     regs[USBCAM_REG_HEIGHT]);
		regs_changed = 0;
	}
	/* Colour gains: the sensor takes them at the next frame. */
	core.r = regs[USBCAM_REG_RED];
	core.g = regs[USBCAM_REG_GREEN];
	core.b = regs[USBCAM_REG_BLUE];
	pthread_mutex_unlock(&lock);

	core.light = read_light();
	vcam_core_frame(&core);
	w = core.width;
	hgt = core.height;
	payload = w * hgt;

	memset(&h, 0, sizeof(h));
	h.magic = htole32(USBCAM_MAGIC);
	h.sequence = htole32(sequence);
	h.shutter_line = htole16(core.applied.line);
	h.shutter_clock = htole16(core.applied.clock);
	h.gain = htole16(core.applied.gain);
	h.red = htole16(core.cg_applied[0]);
	h.green = htole16(core.cg_applied[1]);
	h.blue = htole16(core.cg_applied[2]);
	h.width = htole16((__u16)w);
	h.height = htole16((__u16)hgt);
	h.lines_per_frame = htole16(core.lines_per_frame);
	h.payload_len = htole32(payload);
	memcpy(frame_buf, &h, sizeof(h));
	memcpy(frame_buf + USBCAM_HEADER_SIZE, raw, payload);
	if (log_file) {
		fprintf(log_file, "%u %u %u %u %u %u %u\n", sequence,
			core.applied.line, core.applied.clock,
			core.applied.gain, core.cg_applied[0],
			core.cg_applied[1], core.cg_applied[2]);
		fflush(log_file);
	}
	return USBCAM_HEADER_SIZE + payload;
}

static int write_all(int fd, const void *buf, size_t len)
{
	ssize_t n = write(fd, buf, len);

	return n == (ssize_t)len ? 0 : -1;
}

/* Waits until the host streams. */
static void wait_streaming(void)
{
	pthread_mutex_lock(&lock);
	while (!(enabled && regs[USBCAM_REG_STREAM]))
		pthread_cond_wait(&cond, &lock);
	pthread_mutex_unlock(&lock);
}

static int streaming(void)
{
	int on;

	pthread_mutex_lock(&lock);
	on = enabled && regs[USBCAM_REG_STREAM];
	pthread_mutex_unlock(&lock);
	return on;
}

static void *frames(void *arg)
{
	struct timespec next;
	__u32 sequence = 0;
	int ep1 = -1;

	(void)arg;
	clock_gettime(CLOCK_MONOTONIC, &next);
	for (;;) {
		size_t len;
		long period;
		__u16 lines;
		__u8 junk;

		wait_streaming();
		if (ep1 < 0) {
			ep1 = open(ep1_path, O_RDWR);
			if (ep1 < 0)
				die("%s: %s", ep1_path, strerror(errno));
		}
		pthread_mutex_lock(&lock);
		lines = regs[USBCAM_REG_LINES_PER_FRAME];
		pthread_mutex_unlock(&lock);
		/* ns per frame: lines x clocks per line / pixel clock. */
		period = (long)((unsigned long long)(lines ? lines : 800) *
				USBCAM_CLOCKS_PER_LINE * 1000000000ull /
				USBCAM_PIXEL_CLOCK_HZ);
		len = render(sequence);
		if (misbehave_now(MODE_SEQJUMP))
			sequence += SEQ_JUMP;
		++sequence;

		if (misbehave_now(MODE_MAGIC)) {
			frame_buf[0] ^= 0xff;
			++misbehaved;
		} else if (misbehave_now(MODE_SHORT)) {
			len -= SHORT_MISSING;
			++misbehaved;
		} else if (misbehave_now(MODE_LONG)) {
			memset(frame_buf + len, 0x55, LONG_EXTRA);
			len += LONG_EXTRA;
			++misbehaved;
		} else if (misbehave_now(MODE_SEQJUMP)) {
			++misbehaved;
		} else if (misbehave_now(MODE_GARBAGE)) {
			memset(frame_buf + len, 0xa5, GARBAGE_LEN);
			write_all(ep1, frame_buf + len, GARBAGE_LEN);
			++misbehaved;
		} else if (misbehave_now(MODE_STALL)) {
			/* A read halts an IN endpoint; the host clears it. */
			if (read(ep1, &junk, 1) < 0 && errno != EBADMSG)
				fprintf(stderr, "usbcam-device: halt: %s\n",
					strerror(errno));
			++misbehaved;
		} else if (misbehave_now(MODE_VANISH)) {
			write_all(ep1, frame_buf, len / 2);
			fprintf(stderr, "usbcam-device: gone mid-frame\n");
			_exit(0);
		}
		/* A frame rendered as the stream stopped is not sent. */
		if (streaming() && write_all(ep1, frame_buf, len) < 0) {
			/* Stream stopped, interface disabled or host gone. */
			if (errno != EINTR && errno != ESHUTDOWN)
				fprintf(stderr, "usbcam-device: frame: %s\n",
					strerror(errno));
			if (errno != EINTR)
				usleep(10000);
		}
		++sent;
		advance(&next, period);
		sleep_until(&next);
	}
	return NULL;
}

/* --- control requests ----------------------------------------------------- */

static void stall(const struct usb_ctrlrequest *s)
{
	__u8 b;

	/* FunctionFS halts ep0 on an access against the request's direction. */
	if (s->bRequestType & USB_DIR_IN) {
		if (read(ep0, &b, 0) < 0 && errno != EL2HLT)
			fprintf(stderr, "usbcam-device: halting ep0: %s\n",
				strerror(errno));
	} else {
		if (write(ep0, &b, 0) < 0 && errno != EL2HLT)
			fprintf(stderr, "usbcam-device: halting ep0: %s\n",
				strerror(errno));
	}
}

static void setup(const struct usb_ctrlrequest *s)
{
	__u16 reg = le16toh(s->wIndex), len = le16toh(s->wLength);
	__le16 out, in[USBCAM_REG_COUNT];
	unsigned int i, n = len / 2;

	if ((s->bRequestType & USB_TYPE_MASK) != USB_TYPE_VENDOR ||
	    reg >= USBCAM_REG_COUNT) {
		stall(s);
		return;
	}
	if (s->bRequest == USBCAM_REQ_READ && (s->bRequestType & USB_DIR_IN)) {
		pthread_mutex_lock(&lock);
		out = htole16(regs[reg]);
		pthread_mutex_unlock(&lock);
		if (write(ep0, &out, len < 2 ? len : 2) < 0)
			fprintf(stderr, "usbcam-device: read reply: %s\n",
				strerror(errno));
		return;
	}
	if (s->bRequest != USBCAM_REQ_WRITE || (s->bRequestType & USB_DIR_IN) ||
	    !n || len != 2 * n || reg + n > USBCAM_REG_COUNT) {
		stall(s);
		return;
	}
	if (reg != USBCAM_REG_STREAM && (misbehave_now(MODE_CTRL_FAIL) ||
					 misbehave_now(MODE_CTRL_TIMEOUT))) {
		++misbehaved;
		if (mode == MODE_CTRL_FAIL)
			stall(s);
		/*
		 * ctrl-timeout: the data stage is not taken. ep0 must not be
		 * read meanwhile (a read would take it), until the host gave
		 * up; FunctionFS cancels the request at the next one.
		 */
		if (mode == MODE_CTRL_TIMEOUT)
			deaf = 1;
		return;
	}
	/* The data stage; the status stage follows by itself. */
	if (read(ep0, in, len) != (ssize_t)len) {
		fprintf(stderr, "usbcam-device: write data: %s\n",
			strerror(errno));
		return;
	}
	/* All at once: the frame thread takes them at its next frame. */
	pthread_mutex_lock(&lock);
	for (i = 0; i < n; ++i)
		regs[reg + i] = le16toh(in[i]);
	regs_changed = 1;
	pthread_cond_broadcast(&cond);
	pthread_mutex_unlock(&lock);
	if (reg == USBCAM_REG_STREAM && !le16toh(in[0]))
		pthread_kill(frame_thread, SIGUSR1);
}

static void set_enabled(int on)
{
	pthread_mutex_lock(&lock);
	enabled = on;
	if (!on)
		regs[USBCAM_REG_STREAM] = 0;
	pthread_cond_broadcast(&cond);
	pthread_mutex_unlock(&lock);
	if (!on)
		pthread_kill(frame_thread, SIGUSR1);
}

static void bad_arguments(void)
{
	fprintf(stderr,
		"usage: usbcam-device [--mode M] [--at N] [--count N] [--light-file F] [--log F] FFS-DIR\n");
	exit(2);
}

int main(int argc, char **argv)
{
	struct sigaction sa;
	const char *dir = NULL;
	char path[4096];
	static __u8 awb_dummy[1];
	int i;

	for (i = 1; i < argc; ++i) {
		const char *a = argv[i];
		unsigned int m;

		if (!strcmp(a, "--mode") && i + 1 < argc) {
			for (m = 0;
			     m < sizeof(mode_names) / sizeof(*mode_names); ++m)
				if (!strcmp(argv[i + 1], mode_names[m]))
					break;
			if (m == sizeof(mode_names) / sizeof(*mode_names))
				bad_arguments();
			mode = (enum mode)m;
			++i;
		} else if (!strcmp(a, "--at") && i + 1 < argc) {
			mode_at = (unsigned int)strtoul(argv[++i], NULL, 10);
		} else if (!strcmp(a, "--count") && i + 1 < argc) {
			mode_count = (unsigned int)strtoul(argv[++i], NULL, 10);
		} else if (!strcmp(a, "--light-file") && i + 1 < argc) {
			light_file = argv[++i];
		} else if (!strcmp(a, "--log") && i + 1 < argc) {
			log_path = argv[++i];
		} else if (a[0] == '-' || dir) {
			bad_arguments();
		} else {
			dir = a;
		}
	}
	if (!dir)
		bad_arguments();
	if (log_path) {
		log_file = fopen(log_path, "w");
		if (!log_file)
			die("%s: %s", log_path, strerror(errno));
	}

	vcam_core_init(&core, awb_dummy, raw, VCAM_ENTRY_ALC);
	regs[USBCAM_REG_SHUTTER_LINE] = core.pipe[1].line;
	regs[USBCAM_REG_SHUTTER_CLOCK] = core.pipe[1].clock;
	regs[USBCAM_REG_GAIN] = core.pipe[1].gain;
	regs[USBCAM_REG_RED] = 16;
	regs[USBCAM_REG_GREEN] = 16;
	regs[USBCAM_REG_BLUE] = 16;
	regs[USBCAM_REG_WIDTH] = (__u16)core.width;
	regs[USBCAM_REG_HEIGHT] = (__u16)core.height;
	regs[USBCAM_REG_LINES_PER_FRAME] = core.lines_per_frame;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal; /* no SA_RESTART: writes are interrupted */
	sigaction(SIGUSR1, &sa, NULL);
	signal(SIGPIPE, SIG_IGN);

	snprintf(path, sizeof(path), "%s/ep0", dir);
	snprintf(ep1_path, sizeof(ep1_path), "%s/ep1", dir);
	ep0 = open(path, O_RDWR);
	if (ep0 < 0)
		die("%s: %s", path, strerror(errno));
	write_descriptors();
	if (pthread_create(&frame_thread, NULL, frames, NULL))
		die("no frame thread");
	printf("usbcam-device: ready, mode %s\n", mode_names[mode]);
	fflush(stdout);

	for (;;) {
		struct usb_functionfs_event ev[4];
		struct pollfd p = { .fd = ep0, .events = POLLIN };
		ssize_t n;
		int k;

		if (deaf) {
			usleep(DEAF_MS * 1000);
			deaf = 0;
		}
		if (poll(&p, 1, 1000) <= 0)
			continue;
		n = read(ep0, ev, sizeof(ev));
		if (n < 0) {
			/* EIDRM: a request left unanswered was cancelled. */
			if (errno == EINTR || errno == EAGAIN || errno == EIDRM)
				continue;
			if (errno == ENODEV || errno == EBADF)
				die("ep0: %s", strerror(errno));
			/*
			 * What a host that gave up on a request leaves behind:
			 * say it and go on, at most a hundred times a second.
			 */
			fprintf(stderr, "usbcam-device: ep0: %s\n",
				strerror(errno));
			usleep(10000);
			continue;
		}
		for (k = 0; k < (int)(n / (ssize_t)sizeof(ev[0])); ++k) {
			switch (ev[k].type) {
			case FUNCTIONFS_ENABLE:
				set_enabled(1);
				break;
			case FUNCTIONFS_DISABLE:
			case FUNCTIONFS_UNBIND:
				set_enabled(0);
				break;
			case FUNCTIONFS_SETUP:
				setup(&ev[k].u.setup);
				break;
			default:
				break;
			}
		}
	}
}
