// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * quorvin_vcam: a V4L2 capture driver for a virtual raw Bayer camera whose
 * automatic exposure, gain and white balance come from the Quorvin_AWB
 * module. It is the reference for camera drivers that use the module; this
 * file holds the module parameters, the platform devices (one
 * "quorvin_vcam.N" per camera, devices=, default 1) and driver, and the
 * camera's lifetime. vcam.h lists the other files and their roles.
 *
 * A camera lives until its last user is gone: unbinding it (or unloading)
 * unregisters its video device at once, and the v4l2_device release frees
 * everything once the last open file is closed.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/err.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>

#include "vcam.h"
#include "vcam_compat.h"

static unsigned int devices = 1;
module_param(devices, uint, 0444);
MODULE_PARM_DESC(devices, "number of cameras (1 to 8, default 1)");

static char *entry[VCAM_MAX_DEVICES];
module_param_array(entry, charp, NULL, 0444);
MODULE_PARM_DESC(entry, "per camera: image (Quorvin_ImageBalance, default) or alc (Quorvin_ALCWBalance, colour gains applied by the sensor)");

/*
 * A free-running sensor makes every frame whether a buffer is queued or not
 * and skips the sequence numbers of the frames it drops (vcam_thread.c);
 * taken when streaming starts.
 */
bool vcam_free_running;
module_param_named(free_running, vcam_free_running, bool, 0644);
MODULE_PARM_DESC(free_running, "sensor runs freely: the module sees every frame, frames with no buffer are dropped and leave gaps in the sequence numbers (default: a frame only into a queued buffer, no gaps)");

/* Silent on success unless asked: v4l2_dbg levels, writable at any time. */
unsigned int vcam_debug;
module_param_named(debug, vcam_debug, uint, 0644);
MODULE_PARM_DESC(debug, "debug level: 0 silent (default), 1 cameras bound, unbound and released and streams stopped, 2 also every shutter, gain and colour gain the module publishes");

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
	struct vcam_dev *cam = container_of(v, struct vcam_dev, v4l2_dev);

	v4l2_dbg(1, vcam_debug, cam, "released\n");
	vcam_free(cam);
}

static int vcam_probe(struct platform_device *pdev)
{
	struct vcam_dev *cam;
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
	vcam_video_init_format(cam);

	ret = vcam_ctrls_init(cam);
	if (ret)
		goto free;
	ret = vcam_video_init_queue(cam, &pdev->dev);
	if (ret)
		goto free;

	ret = v4l2_device_register(&pdev->dev, &cam->v4l2_dev);
	if (ret)
		goto free;
	/* From here on the v4l2_device's release frees the camera. */
	cam->v4l2_dev.release = vcam_release;
	cam->v4l2_dev.ctrl_handler = &cam->ctrls;
	memcpy(cam->name, cam->v4l2_dev.name, sizeof(cam->name));

	ret = vcam_video_register(cam);
	if (ret) {
		v4l2_device_unregister(&cam->v4l2_dev);
		v4l2_device_put(&cam->v4l2_dev);
		return ret;
	}
	platform_set_drvdata(pdev, cam);
	v4l2_dbg(1, vcam_debug, &cam->v4l2_dev, "%s entry, as %s\n",
		 entry_kind == VCAM_ENTRY_ALC ? "alc" : "image",
		 video_device_node_name(&cam->vdev));
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

	v4l2_dbg(1, vcam_debug, &cam->v4l2_dev, "unbound\n");
	vb2_video_unregister_device(&cam->vdev);
	v4l2_device_unregister(&cam->v4l2_dev);
	v4l2_device_put(&cam->v4l2_dev);
}

#ifdef VCAM_REMOVE_RETURNS_VOID
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
