/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * The wire protocol of the Quorvin USB test camera, shared by the camera's
 * firmware (device/usbcam-device.c, a FunctionFS program) and the host
 * driver (quorvin_usbcam). Everything on the wire is little-endian.
 *
 * - One vendor-specific interface (class 0xff) with one bulk IN endpoint.
 * - Registers are 16 bits wide and are read and written with vendor
 *   control requests addressed to the device (recipient device):
 *   USBCAM_REQ_READ (IN, wIndex register, 2 bytes of data) and
 *   USBCAM_REQ_WRITE (OUT, wIndex the first register, wLength / 2
 *   consecutive values as data, applied at the same frame: shutter and
 *   gain written together never straddle a frame start; a data stage also
 *   makes the host's request time out when the camera never answers).
 * - While USBCAM_REG_STREAM is 1 the camera sends one bulk transfer per
 *   frame: a struct usbcam_frame_header, then payload_len bytes of 8-bit
 *   RGGB pixels, ended by a short packet. The header's size is not a
 *   multiple of any bulk packet size, and every payload is a multiple of
 *   512 bytes, so a frame always ends with a short packet.
 * - The sensor applies shutter and gain written after frame n is sent to
 *   frame n + 2, colour gains to frame n + 1; the header carries the values
 *   the frame was exposed with.
 */
#ifndef QUORVIN_USBCAM_PROTO_H
#define QUORVIN_USBCAM_PROTO_H

#include <linux/types.h>

/* pid.codes test range. */
#define USBCAM_VENDOR_ID  0x1209
#define USBCAM_PRODUCT_ID 0x0007

#define USBCAM_REQ_READ	 0x01
#define USBCAM_REQ_WRITE 0x02
/* How long the host waits for a register access, in ms. */
#define USBCAM_CTRL_TIMEOUT_MS 1000

enum usbcam_reg {
	USBCAM_REG_SHUTTER_LINE = 0,  /* lines */
	USBCAM_REG_SHUTTER_CLOCK = 1, /* pixel clocks within a line */
	USBCAM_REG_GAIN = 2,	      /* analogue gain, x 2^(reg / 64) */
	USBCAM_REG_RED = 3,	      /* colour gains, 1/16 */
	USBCAM_REG_GREEN = 4,
	USBCAM_REG_BLUE = 5,
	USBCAM_REG_STREAM = 6,		/* 1 streaming, 0 stopped */
	USBCAM_REG_WIDTH = 7,		/* pixels, even */
	USBCAM_REG_HEIGHT = 8,		/* lines, even */
	USBCAM_REG_LINES_PER_FRAME = 9, /* frame timing (frame rate) */
	USBCAM_REG_COUNT
};

/* Sensor timing: 24 MHz pixel clock, 1000 clocks per line. */
#define USBCAM_PIXEL_CLOCK_HZ  24000000u
#define USBCAM_CLOCKS_PER_LINE 1000u
#define USBCAM_MAX_WIDTH       1280u
#define USBCAM_MAX_HEIGHT      720u
#define USBCAM_GAIN_MAX	       255u
#define USBCAM_BALANCE_MAX     127u

#define USBCAM_MAGIC 0x43555651u /* "QVUC" */

struct usbcam_frame_header {
	__le32 magic;
	__le32 sequence; /* frames sent since power-up, one per frame */
	__le16 shutter_line, shutter_clock, gain; /* exposed with */
	__le16 red, green, blue;
	__le16 width, height;
	__le16 lines_per_frame;
	__le16 reserved;
	__le32 payload_len; /* bytes following the header */
} __attribute__((packed));

#define USBCAM_HEADER_SIZE 32u

#endif /* QUORVIN_USBCAM_PROTO_H */
