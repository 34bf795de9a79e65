// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * vcam-tool: what the test VM needs beside v4l2-ctl and v4l2-compliance.
 * Built statically, for the VM's architecture.
 *
 *   vcam-tool measure WIDTH HEIGHT FILE
 *       The brightness of captured raw RGGB frames as an application
 *       receives them, taken as the Quorvin_AWB module takes it: the means
 *       of red, green (both greens together) and blue over the frame, then
 *       the weighted luma (2989 R + 5866 G + 1145 B) / 10000, truncated.
 *       FILE holds whole frames back to back (v4l2-ctl --stream-to). One
 *       line per frame: index, luma, mean R, mean G, mean B, then the
 *       pixels at 255 per mille (what the highlight guard limits).
 *
 *   vcam-tool loop DEVICE N
 *       N open/close cycles, then N stream cycles (two MMAP buffers, stream
 *       on, one frame, a control change, stream off, buffers freed). A frame
 *       that does not come within 10 s fails the cycle.
 *
 *   vcam-tool gaps DEVICE N DELAY_MS
 *       A slow reader: two MMAP buffers, N frames dequeued, each held for
 *       DELAY_MS before it is queued again. Prints "frames N gaps G missing
 *       M": G jumps in the sequence numbers, M numbers skipped before the
 *       last frame. Sequence numbers that do not increase are an error.
 *
 * Exit status 0 on success, 1 on any error (reported on stderr).
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int measure(FILE *f, unsigned long w, unsigned long h)
{
	unsigned char *row = malloc(w);
	unsigned long frame = 0;

	if (!row)
		return 1;
	for (;;) {
		unsigned long long sum[3] = { 0, 0, 0 };
		unsigned long y, x, got, n[3] = { 0, 0, 0 };
		unsigned long mean[3], weighted, clipped = 0;
		int ch;

		for (y = 0; y < h; ++y) {
			got = fread(row, 1, w, f);
			if (got != w) {
				free(row);
				if (y == 0 && got == 0 && feof(f))
					return 0;
				fprintf(stderr,
					"vcam-tool: frame %lu is incomplete\n",
					frame);
				return 1;
			}
			for (x = 0; x < w; ++x) {
				/* RGGB: 0 red, 1 green, 2 blue. */
				ch = (int)((y & 1) + (x & 1));
				sum[ch] += row[x];
				++n[ch];
				clipped += row[x] == 255;
			}
		}
		for (ch = 0; ch < 3; ++ch)
			mean[ch] = (unsigned long)(sum[ch] / n[ch]);
		weighted = 2989 * mean[0] + 5866 * mean[1] + 1145 * mean[2];
		printf("%lu %lu %lu %lu %lu %lu\n", frame, weighted / 10000,
		       mean[0], mean[1], mean[2],
		       (unsigned long)(clipped * 1000ull / (w * h)));
		++frame;
	}
}

static int xioctl(int fd, unsigned long req, void *arg, const char *what)
{
	int r;

	do {
		r = ioctl(fd, req, arg);
	} while (r < 0 && errno == EINTR);
	if (r < 0)
		fprintf(stderr, "vcam-tool: %s: %s\n", what, strerror(errno));
	return r;
}

static int set_ctrl(int fd, unsigned int id, int value)
{
	struct v4l2_control c;

	c.id = id;
	c.value = value;
	return xioctl(fd, VIDIOC_S_CTRL, &c, "VIDIOC_S_CTRL");
}

/* A memory-mapped buffer of the queue, as QBUF and DQBUF take it. */
static void mmap_buffer(struct v4l2_buffer *b, enum v4l2_buf_type type)
{
	memset(b, 0, sizeof(*b));
	b->type = type;
	b->memory = V4L2_MEMORY_MMAP;
}

/* Two MMAP buffers requested and queued, streaming on. */
static int start_stream(int fd)
{
	struct v4l2_requestbuffers rb;
	struct v4l2_buffer b;
	enum v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
	unsigned int k;

	memset(&rb, 0, sizeof(rb));
	rb.count = 2;
	rb.type = type;
	rb.memory = V4L2_MEMORY_MMAP;
	if (xioctl(fd, VIDIOC_REQBUFS, &rb, "VIDIOC_REQBUFS") < 0 ||
	    rb.count < 1)
		return -1;
	for (k = 0; k < rb.count; ++k) {
		mmap_buffer(&b, type);
		b.index = k;
		if (xioctl(fd, VIDIOC_QBUF, &b, "VIDIOC_QBUF") < 0)
			return -1;
	}
	return xioctl(fd, VIDIOC_STREAMON, &type, "VIDIOC_STREAMON");
}

/* The next filled buffer, waited for up to 10 s. */
static int next_frame(int fd, struct v4l2_buffer *b)
{
	struct pollfd p;

	p.fd = fd;
	p.events = POLLIN;
	if (poll(&p, 1, 10000) != 1) {
		fprintf(stderr, "vcam-tool: no frame within 10 s\n");
		return -1;
	}
	mmap_buffer(b, V4L2_BUF_TYPE_VIDEO_CAPTURE);
	return xioctl(fd, VIDIOC_DQBUF, b, "VIDIOC_DQBUF");
}

/* Streaming off and the buffers freed. */
static int stop_stream(int fd)
{
	struct v4l2_requestbuffers rb;
	enum v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;

	if (xioctl(fd, VIDIOC_STREAMOFF, &type, "VIDIOC_STREAMOFF") < 0)
		return -1;
	memset(&rb, 0, sizeof(rb));
	rb.type = type;
	rb.memory = V4L2_MEMORY_MMAP;
	return xioctl(fd, VIDIOC_REQBUFS, &rb, "VIDIOC_REQBUFS 0");
}

static int stream_cycle(int fd, int i)
{
	struct v4l2_buffer b;

	if (start_stream(fd) < 0)
		return -1;
	/*
	 * Controls change while frames flow: the target and the automatic
	 * halves, which rebind the balance object.
	 */
	if (set_ctrl(fd, V4L2_CID_BRIGHTNESS, 96 + (i % 64)) < 0 ||
	    set_ctrl(fd, V4L2_CID_AUTOGAIN, i % 3 != 0) < 0 ||
	    set_ctrl(fd, V4L2_CID_AUTO_WHITE_BALANCE, i % 2) < 0)
		return -1;
	if (next_frame(fd, &b) < 0)
		return -1;
	return stop_stream(fd);
}

static int loop(const char *dev, int n)
{
	struct v4l2_capability cap;
	int i, fd;

	for (i = 0; i < n; ++i) {
		fd = open(dev, O_RDWR);
		if (fd < 0 ||
		    xioctl(fd, VIDIOC_QUERYCAP, &cap, "VIDIOC_QUERYCAP") < 0) {
			fprintf(stderr, "vcam-tool: open %d of %s failed\n", i,
				dev);
			return 1;
		}
		close(fd);
	}
	printf("open-close %d\n", n);
	fd = open(dev, O_RDWR);
	if (fd < 0) {
		perror(dev);
		return 1;
	}
	for (i = 0; i < n; ++i) {
		if (stream_cycle(fd, i) < 0) {
			fprintf(stderr, "vcam-tool: stream cycle %d failed\n",
				i);
			close(fd);
			return 1;
		}
	}
	/* Leave every automatic control on. */
	if (set_ctrl(fd, V4L2_CID_AUTOGAIN, 1) < 0 ||
	    set_ctrl(fd, V4L2_CID_AUTO_WHITE_BALANCE, 1) < 0 ||
	    set_ctrl(fd, V4L2_CID_BRIGHTNESS, 128) < 0) {
		close(fd);
		return 1;
	}
	close(fd);
	printf("stream-on-off %d\n", n);
	return 0;
}

static int slow_reader(int fd, int n, int delay_ms)
{
	unsigned long gaps = 0, missing = 0;
	struct v4l2_buffer b;
	long last = -1;
	int k;

	if (start_stream(fd) < 0)
		return -1;
	for (k = 0; k < n; ++k) {
		if (next_frame(fd, &b) < 0)
			return -1;
		if ((long)b.sequence <= last) {
			fprintf(stderr, "vcam-tool: sequence %u after %ld\n",
				b.sequence, last);
			return -1;
		}
		if ((long)b.sequence != last + 1) {
			++gaps;
			missing += (unsigned long)((long)b.sequence - last - 1);
		}
		last = (long)b.sequence;
		usleep((useconds_t)delay_ms * 1000);
		if (xioctl(fd, VIDIOC_QBUF, &b, "VIDIOC_QBUF") < 0)
			return -1;
	}
	if (stop_stream(fd) < 0)
		return -1;
	printf("frames %d gaps %lu missing %lu\n", n, gaps, missing);
	return 0;
}

static int gaps(const char *dev, int n, int delay_ms)
{
	int fd, rc;

	fd = open(dev, O_RDWR);
	if (fd < 0) {
		perror(dev);
		return 1;
	}
	rc = slow_reader(fd, n, delay_ms);
	close(fd);
	return rc < 0 ? 1 : 0;
}

static int print_usage(void)
{
	fprintf(stderr, "usage: vcam-tool measure WIDTH HEIGHT FILE\n"
			"       vcam-tool loop DEVICE N\n"
			"       vcam-tool gaps DEVICE N DELAY_MS\n");
	return 1;
}

int main(int argc, char **argv)
{
	unsigned long w, h;
	FILE *f;
	int rc;

	if (argc == 4 && !strcmp(argv[1], "loop")) {
		if (atoi(argv[3]) <= 0)
			return print_usage();
		return loop(argv[2], atoi(argv[3]));
	}
	if (argc == 5 && !strcmp(argv[1], "gaps")) {
		if (atoi(argv[3]) <= 0 || atoi(argv[4]) < 0)
			return print_usage();
		return gaps(argv[2], atoi(argv[3]), atoi(argv[4]));
	}
	if (argc != 5 || strcmp(argv[1], "measure"))
		return print_usage();
	w = strtoul(argv[2], NULL, 10);
	h = strtoul(argv[3], NULL, 10);
	if (w < 2 || h < 2 || (w & 1) || (h & 1))
		return print_usage();
	f = fopen(argv[4], "rb");
	if (!f) {
		perror(argv[4]);
		return 1;
	}
	rc = measure(f, w, h);
	fclose(f);
	return rc;
}
