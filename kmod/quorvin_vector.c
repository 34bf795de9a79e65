// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The vector registers the pixel passes may borrow (AWB/platform.h): on
 * x86-64, AVX2 between kernel_fpu_begin() and kernel_fpu_end(), whenever
 * may_use_simd() allows; nowhere else. Part of the Quorvin_AWB module and of
 * its pixel self-test module.
 */
#include <linux/module.h>
#ifdef CONFIG_X86_64
#include <asm/cpufeature.h>
#include <asm/fpu/api.h>
#include <asm/simd.h>
#endif

#include "AWB/platform.h"

/*
 * The pixel passes' vector sections (AWB/platform.h). Only AVX2 is offered:
 * the kernel's vector variants are written for it. It needs the processor's
 * AVX2 and the kernel's saving of the 256-bit register state. Outside x86-64
 * there are no vector variants in the kernel, and nothing is offered.
 */
unsigned int quorvin_vector_features(void)
{
#ifdef CONFIG_X86_64
	if (boot_cpu_has(X86_FEATURE_AVX2) && boot_cpu_has(X86_FEATURE_AVX) &&
	    cpu_has_xfeatures(XFEATURE_MASK_SSE | XFEATURE_MASK_YMM, NULL))
		return QUORVIN_VECTOR_SSE2 | QUORVIN_VECTOR_AVX2;
#endif
	return 0;
}

int quorvin_vector_begin(void)
{
#ifdef CONFIG_X86_64
	if (!may_use_simd())
		return 0;
	kernel_fpu_begin();
	return 1;
#else
	return 0;
#endif
}

void quorvin_vector_end(void)
{
#ifdef CONFIG_X86_64
	kernel_fpu_end();
#endif
}
