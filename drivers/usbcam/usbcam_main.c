// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_usbcam: the module, USB probe and disconnect, and the lifetime
 * of a camera (usbcam.h describes the driver).
 *
 * A camera lives until its last user is gone: disconnect (unplug, or the
 * driver unbound) ends the stream, unregisters the video device at once
 * and drops the probe's reference; the v4l2_device release, once the last
 * open file is closed, frees the balance object, the memory and the
 * references to the USB device and interface.
 */
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>

#include "AWB/AWB.h"
#include "usbcam.h"

static char *entry = "image";
module_param(entry, charp, 0444);
MODULE_PARM_DESC(entry, "image (Quorvin_ImageBalance, default) or alc (Quorvin_ALCWBalance, colour gains applied by the camera)");

bool usbcam_trace;
module_param_named(trace, usbcam_trace, bool, 0644);
MODULE_PARM_DESC(trace, "log every shutter and gain the module publishes");

static struct usbcam_dev *to_cam(struct v4l2_device *v)
{
	return container_of(v, struct usbcam_dev, v4l2_dev);
}

/* Drop counters and stream events, for tests and bug reports. */
static ssize_t stats_show(struct device *dev, struct device_attribute *attr,
			  char *buf)
{
	struct usbcam_dev *cam = usb_get_intfdata(to_usb_interface(dev));
	struct usbcam_stats s;

	if (!cam)
		return -ENODEV;
	mutex_lock(&cam->core_lock);
	s = cam->stats;
	mutex_unlock(&cam->core_lock);
	return sysfs_emit(buf,
			  "frames %u short %u long %u magic %u size %u gaps %u urb_errors %u stalls %u ctrl_errors %u failures %u\n",
			  s.frames, s.short_frames, s.long_frames, s.bad_magic,
			  s.bad_size, s.gaps, s.urb_errors, s.stalls,
			  s.ctrl_errors, s.failures);
}
static DEVICE_ATTR_RO(stats);

static void usbcam_free(struct usbcam_dev *cam)
{
	v4l2_ctrl_handler_free(&cam->ctrls);
	if (cam->awb && cam->raw)
		Quorvin_FreeAWBObject(cam->awb);
	kfree(cam->awb);
	vfree(cam->raw);
	if (cam->wq)
		destroy_workqueue(cam->wq);
	usb_put_intf(cam->intf);
	usb_put_dev(cam->udev);
	kfree(cam);
}

/* The last reference is gone: no file is open, the device unregistered. */
static void usbcam_release(struct v4l2_device *v)
{
	struct usbcam_dev *cam = to_cam(v);

	/* The interface may have no driver any more: name the module. */
	pr_debug(KBUILD_MODNAME " %s: released\n", dev_name(&cam->intf->dev));
	usbcam_free(cam);
}

/* The camera's interface: number 0, vendor class, one bulk IN endpoint. */
static int usbcam_find_endpoint(struct usbcam_dev *cam,
				struct usb_interface *intf)
{
	struct usb_host_interface *alt = intf->cur_altsetting;
	struct usb_endpoint_descriptor *in;

	if (alt->desc.bInterfaceNumber != 0)
		return -ENODEV;
	if (usb_find_bulk_in_endpoint(alt, &in)) {
		dev_err(&intf->dev, "no bulk IN endpoint\n");
		return -ENODEV;
	}
	if (!usb_endpoint_maxp(in)) {
		dev_err(&intf->dev, "bulk endpoint of packet size 0\n");
		return -ENODEV;
	}
	cam->pipe = usb_rcvbulkpipe(cam->udev, usb_endpoint_num(in));
	return 0;
}

static int usbcam_probe(struct usb_interface *intf,
			const struct usb_device_id *id)
{
	struct usbcam_dev *cam;
	int ret;

	cam = kzalloc(sizeof(*cam), GFP_KERNEL);
	if (!cam)
		return -ENOMEM;
	cam->udev = usb_get_dev(interface_to_usbdev(intf));
	cam->intf = usb_get_intf(intf);
	ret = usbcam_find_endpoint(cam, intf);
	if (ret)
		goto free;

	mutex_init(&cam->io_lock);
	mutex_init(&cam->core_lock);
	usbcam_stream_init(cam);
	cam->wq = alloc_ordered_workqueue("usbcam-%s", WQ_HIGHPRI,
					  dev_name(&intf->dev));
	cam->raw = vzalloc(USBCAM_MAX_WIDTH * USBCAM_MAX_HEIGHT);
	cam->awb = kzalloc(Quorvin_GetAWBObjectSize(), GFP_KERNEL);
	if (!cam->wq || !cam->raw || !cam->awb) {
		ret = -ENOMEM;
		goto free;
	}

	/* The camera's registers now: the module starts from them. */
	ret = usbcam_read_reg(cam, USBCAM_REG_SHUTTER_LINE, &cam->regs.line);
	if (!ret)
		ret = usbcam_read_reg(cam, USBCAM_REG_SHUTTER_CLOCK,
				      &cam->regs.clock);
	if (!ret)
		ret = usbcam_read_reg(cam, USBCAM_REG_GAIN, &cam->regs.gain);
	if (ret) {
		dev_err(&intf->dev, "registers unreadable: %d\n", ret);
		goto free;
	}
	cam->regs.rgb[0] = 16;
	cam->regs.rgb[1] = 16;
	cam->regs.rgb[2] = 16;

	cam->entry = strcmp(entry, "alc") ? USBCAM_ENTRY_IMAGE :
					    USBCAM_ENTRY_ALC;
	cam->fps = QCAM_FPS_DEFAULT;
	cam->lines_per_frame = usbcam_lines_per_frame(cam->fps);
	cam->clocks_per_line = USBCAM_CLOCKS_PER_LINE;
	cam->fmt.width = 640;
	cam->fmt.height = 480;
	qcam_fill_format(&cam->fmt);
	cam->width = cam->fmt.width;
	cam->height = cam->fmt.height;
	cam->r = 16;
	cam->g = 16;
	cam->b = 16;
	cam->auto_exposure = 1;
	cam->auto_gain = 1;
	cam->auto_wb = 1;
	cam->target = 128;
	usbcam_bind(cam);

	ret = usbcam_ctrls_init(cam);
	if (ret)
		goto free;

	ret = v4l2_device_register(&intf->dev, &cam->v4l2_dev);
	if (ret)
		goto free;
	/* From here on the v4l2_device's release frees the camera. */
	cam->v4l2_dev.release = usbcam_release;
	cam->v4l2_dev.ctrl_handler = &cam->ctrls;

	usb_set_intfdata(intf, cam);
	ret = usbcam_video_register(cam);
	if (ret)
		goto unregister;
	ret = device_create_file(&intf->dev, &dev_attr_stats);
	if (ret)
		goto unregister_video;
	dev_dbg(&intf->dev, "%s entry, as %s\n",
		cam->entry == USBCAM_ENTRY_ALC ? "alc" : "image",
		video_device_node_name(&cam->vdev));
	return 0;

unregister_video:
	vb2_video_unregister_device(&cam->vdev);
unregister:
	usb_set_intfdata(intf, NULL);
	v4l2_device_unregister(&cam->v4l2_dev);
	v4l2_device_put(&cam->v4l2_dev);
	return ret;

free:
	usbcam_free(cam);
	return ret;
}

/*
 * Unplugged, or the driver unbound (rmmod included): the stream ends with
 * an error, the device node goes; the camera is freed at the release.
 */
static void usbcam_disconnect(struct usb_interface *intf)
{
	struct usbcam_dev *cam = usb_get_intfdata(intf);

	device_remove_file(&intf->dev, &dev_attr_stats);
	mutex_lock(&cam->core_lock);
	cam->disconnected = true;
	mutex_unlock(&cam->core_lock);
	/* Waiters see the error at once. */
	vb2_queue_error(&cam->queue);
	usb_set_intfdata(intf, NULL);
	/* Stops a stream (URBs killed, work ended) and unregisters. */
	vb2_video_unregister_device(&cam->vdev);
	v4l2_device_disconnect(&cam->v4l2_dev);
	v4l2_device_put(&cam->v4l2_dev);
	dev_dbg(&intf->dev, "disconnected\n");
}

static const struct usb_device_id usbcam_ids[] = {
	{ USB_DEVICE_AND_INTERFACE_INFO(USBCAM_VENDOR_ID, USBCAM_PRODUCT_ID,
					USB_CLASS_VENDOR_SPEC, 0, 0) },
	{}
};
MODULE_DEVICE_TABLE(usb, usbcam_ids);

static struct usb_driver usbcam_driver = {
	.name = KBUILD_MODNAME,
	.probe = usbcam_probe,
	.disconnect = usbcam_disconnect,
	.id_table = usbcam_ids,
};

static int __init usbcam_init(void)
{
	if (strcmp(entry, "image") && strcmp(entry, "alc")) {
		pr_err(KBUILD_MODNAME ": entry=%s: give image or alc\n", entry);
		return -EINVAL;
	}
	return usb_register(&usbcam_driver);
}

static void __exit usbcam_exit(void)
{
	usb_deregister(&usbcam_driver);
}

module_init(usbcam_init);
module_exit(usbcam_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Quorvin USB raw Bayer camera: a V4L2 driver on Quorvin_AWB");
