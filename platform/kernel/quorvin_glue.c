// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * Kernel side of the Quorvin_AWB module: everything that needs kernel
 * headers lives here, so that the C++ core never sees one.
 *
 * - the platform layer the core calls (AWB/platform.h): the object's lock is
 *   the kernel's own struct semaphore, stored in the QuorvinSemaphore bytes
 *   of the balance object, and 64-bit division goes through div_u64 (32-bit
 *   x86 has no native 64-bit divide);
 * - the module's identity, parameter, load/unload functions and exports,
 *   expanded from platform/module_def.h, the list the user-space build
 *   shares.
 */
#include <linux/build_bug.h>
#include <linux/math64.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/semaphore.h>

#include "AWB/AWB.h"
#include "AWB/platform.h"
#include "platform/module_def.h"

/*
 * The core reserves QuorvinSemaphore by size and alignment per architecture;
 * the kernel's type must fill it exactly. A kernel built with lock debugging
 * (a larger struct semaphore) is refused here rather than corrupting the
 * fields that follow awb_lock.
 */
static_assert(sizeof(struct semaphore) == sizeof(QuorvinSemaphore),
	      "struct semaphore must fill QuorvinSemaphore exactly");
static_assert(__alignof__(struct semaphore) == __alignof__(QuorvinSemaphore),
	      "struct semaphore must have the alignment of QuorvinSemaphore");

static struct semaphore *as_semaphore(QuorvinSemaphore *sem)
{
	return (struct semaphore *)sem->u.bytes;
}

void quorvin_sema_init(QuorvinSemaphore *sem, int val)
{
	sema_init(as_semaphore(sem), val);
}

void quorvin_down(QuorvinSemaphore *sem)
{
	down(as_semaphore(sem));
}

void quorvin_up(QuorvinSemaphore *sem)
{
	up(as_semaphore(sem));
}

__u64 quorvin_div_u64_u32(__u64 dividend, __u32 divisor)
{
	return div_u64(dividend, divisor);
}

/* Module identity and parameter. */
MODULE_LICENSE(QUORVIN_MODULE_LICENSE);
MODULE_DESCRIPTION(QUORVIN_MODULE_DESCRIPTION);

#define QUORVIN_KPARAM(name, type, value, perm, desc) \
	static type name = value;                     \
	module_param(name, type, perm);               \
	MODULE_PARM_DESC(name, desc);
QUORVIN_MODULE_PARAMS(QUORVIN_KPARAM)
#undef QUORVIN_KPARAM

/* Loading and unloading set up and tear down nothing. */
int __init QUORVIN_MODULE_INIT_FN(void)
{
	return 0;
}

void __exit QUORVIN_MODULE_EXIT_FN(void)
{
}

/* module_init() stringifies its argument: expand the names first. */
#define QUORVIN_MODULE_INIT(fn) module_init(fn)
#define QUORVIN_MODULE_EXIT(fn) module_exit(fn)
QUORVIN_MODULE_INIT(QUORVIN_MODULE_INIT_FN);
QUORVIN_MODULE_EXIT(QUORVIN_MODULE_EXIT_FN);

/*
 * Exports: the four per-frame and correction operations are GPL-only, the
 * other seventeen ordinary. The module's licence is GPL-compatible, so GPL
 * drivers may use all twenty-one on every kernel, and drivers of any licence
 * the ordinary ones.
 */
#define QUORVIN_EXPORT(sym)	     EXPORT_SYMBOL(sym);
#define QUORVIN_EXPORT_GPL_ONLY(sym) EXPORT_SYMBOL_GPL(sym);
QUORVIN_MODULE_EXPORTS(QUORVIN_EXPORT, QUORVIN_EXPORT_GPL_ONLY)
#undef QUORVIN_EXPORT
#undef QUORVIN_EXPORT_GPL_ONLY
