// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Test client of the Quorvin_AWB module: plays a camera driver inside the
 * kernel. At load it runs the camera-driver scenario (scenario.c) against
 * the module's exports, first in sequence, then from two kernel threads on
 * one object, and prints every result line to the kernel log as
 * "quorvin_client: <line>". Loading fails (-EINVAL) when a check failed.
 *
 * Like every real camera driver it is GPL-licensed and uses GPL-only kernel
 * exports (ktime_get times the scenario) beside the module's exports, the
 * GPL-only ones included: the kernel loads such a client only against a
 * module whose licence is GPL-compatible.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/completion.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/version.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 15, 0)
#include <linux/stdarg.h>
#else
#include <stdarg.h>
#endif

#include "scenario.h"

void qscn_print(const char *fmt, ...)
{
	char line[256];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	pr_info("%s\n", line);
}

void *qscn_alloc(unsigned long size)
{
	return kmalloc(size, GFP_KERNEL);
}

void qscn_free(void *p)
{
	kfree(p);
}

struct qscn_kthread {
	void (*fn)(void *arg);
	void *arg;
	struct completion done;
};

/*
 * Runs its part, then waits to be stopped: kthread_stop() must find the
 * thread alive, and the module's code must not run after the caller moves
 * on.
 */
static int qscn_kthread_main(void *p)
{
	struct qscn_kthread *t = p;

	t->fn(t->arg);
	complete(&t->done);
	while (!kthread_should_stop()) {
		set_current_state(TASK_INTERRUPTIBLE);
		if (kthread_should_stop()) {
			__set_current_state(TASK_RUNNING);
			break;
		}
		schedule();
	}
	return 0;
}

int qscn_run_two(void (*fn)(void *), void *arg0, void *arg1)
{
	struct qscn_kthread t[2];
	struct task_struct *task[2];
	int i;

	for (i = 0; i < 2; ++i) {
		t[i].fn = fn;
		t[i].arg = i == 0 ? arg0 : arg1;
		init_completion(&t[i].done);
		task[i] =
			kthread_create(qscn_kthread_main, &t[i], "qscn/%d", i);
		if (IS_ERR(task[i])) {
			/* task[0] was never woken: its part never runs */
			if (i == 1)
				kthread_stop(task[0]);
			return -1;
		}
	}
	wake_up_process(task[0]);
	wake_up_process(task[1]);
	for (i = 0; i < 2; ++i) {
		wait_for_completion(&t[i].done);
		kthread_stop(task[i]);
	}
	return 0;
}

void qscn_yield(void)
{
	cond_resched();
}

static int __init quorvin_client_init(void)
{
	int failed;
	ktime_t start;

	pr_info("start\n");
	start = ktime_get();
	failed = qscn_run_sequence();
	failed += qscn_run_closed_loop();
	failed += qscn_run_threads();
	pr_info("time %lld us\n", ktime_us_delta(ktime_get(), start));
	pr_info("end: %d failed checks\n", failed);
	return failed == 0 ? 0 : -EINVAL;
}

static void __exit quorvin_client_exit(void)
{
	pr_info("unloaded\n");
}

module_init(quorvin_client_init);
module_exit(quorvin_client_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Quorvin AWB test client: a camera driver scenario in the kernel");
