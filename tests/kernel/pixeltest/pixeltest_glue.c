// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Kernel side of the pixel self-test module quorvin_pixeltest: built from the
 * core's pixel sources (Kbuild beside this file), it runs the pixel passes
 * on the word and the vector variants inside the kernel and compares them
 * (pixeltest.cpp), once more with the vector registers refused, and logs
 * its results as "QV pixels ..." lines. Test only: the Quorvin_AWB module
 * logs nothing.
 */
#include <linux/math64.h>
#include <linux/module.h>
#include <linux/printk.h>
#include <linux/vmalloc.h>
#ifdef CONFIG_X86_64
#include <asm/fpu/api.h>
#endif
#include <linux/irqflags.h>

#include "AWB/platform.h"
#include "pixeltest.h"

void qv_line(const char *what, unsigned int a, unsigned int b, unsigned int c)
{
	pr_info("QV pixels %s %u %u %u\n", what, a, b, c);
}

void *qv_alloc(unsigned long bytes)
{
	return vmalloc(bytes);
}

void qv_free(void *p)
{
	vfree(p);
}

/* The division the picture modes' object calls, as the module's glue has it. */
__u64 quorvin_div_u64_u32(__u64 dividend, __u32 divisor)
{
	return div_u64(dividend, divisor);
}

/*
 * fn(arg) where every quorvin_vector_begin() inside finds may_use_simd()
 * false: on x86-64 while this task holds the vector registers itself; on
 * arm64 with interrupts off (from 6.8 on a task may take kernel-mode NEON
 * only once, so holding it would not do; fn only computes).
 */
void qv_without_vectors(void (*fn)(void *), void *arg)
{
#if defined(CONFIG_X86_64)
	kernel_fpu_begin();
	fn(arg);
	kernel_fpu_end();
#elif defined(CONFIG_ARM64)
	unsigned long flags;

	local_irq_save(flags);
	fn(arg);
	local_irq_restore(flags);
#else
	fn(arg);
#endif
}

static int __init quorvin_pixeltest_init(void)
{
	qv_pixeltest_run();
	return 0;
}

static void __exit quorvin_pixeltest_exit(void)
{
}

module_init(quorvin_pixeltest_init);
module_exit(quorvin_pixeltest_exit);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Quorvin AWB pixel passes: self-test of the word and vector variants");
