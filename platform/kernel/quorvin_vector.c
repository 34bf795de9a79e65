// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The vector registers the pixel passes may borrow (AWB/platform.h): on
 * x86-64, AVX2 and AVX-512 between kernel_fpu_begin() and kernel_fpu_end(),
 * on arm64 Advanced SIMD between kernel_neon_begin() and kernel_neon_end(),
 * whenever may_use_simd() allows; nowhere else. Part of the Quorvin_AWB
 * module and of its pixel self-test module.
 */
#include <linux/module.h>
#ifdef CONFIG_X86_64
#include <asm/cpufeature.h>
#include <asm/fpu/api.h>
#include <asm/simd.h>
#endif
#if defined(CONFIG_ARM64) && defined(CONFIG_KERNEL_MODE_NEON)
#include <asm/cpufeature.h>
#include <asm/neon.h>
#include <asm/simd.h>
#define QUORVIN_ARM64_NEON
#endif

#include "AWB/platform.h"

#ifdef CONFIG_X86_64
static bool quorvin_prefer_ymm(void)
{
#ifdef X86_FEATURE_PREFER_YMM
	return boot_cpu_has(X86_FEATURE_PREFER_YMM);
#else
	return false;
#endif
}
#endif

/*
 * The pixel passes' vector sections (AWB/platform.h). AVX2 needs the
 * processor's AVX and AVX2 and the kernel's saving of the 256-bit register
 * state; the AVX-512 correction also the processor's AVX-512 F and BW and the
 * saving of the mask and 512-bit registers. Kernels that mark the processors
 * whose clock drops with 512-bit registers (X86_FEATURE_PREFER_YMM, kernels
 * newer than 6.12) keep those to AVX2. arm64: Advanced SIMD where the
 * kernel has the floating-point and vector registers (arm64 has either both
 * or neither). Elsewhere there are no vector variants in the kernel, and
 * nothing is offered.
 */
unsigned int quorvin_vector_features(void)
{
#ifdef CONFIG_X86_64
	unsigned int features;

	if (!boot_cpu_has(X86_FEATURE_AVX2) || !boot_cpu_has(X86_FEATURE_AVX) ||
	    !cpu_has_xfeatures(XFEATURE_MASK_SSE | XFEATURE_MASK_YMM, NULL))
		return 0;
	features = QUORVIN_VECTOR_SSE2 | QUORVIN_VECTOR_AVX2;
	if (boot_cpu_has(X86_FEATURE_AVX512F) &&
	    boot_cpu_has(X86_FEATURE_AVX512BW) &&
	    cpu_has_xfeatures(XFEATURE_MASK_AVX512, NULL) &&
	    !quorvin_prefer_ymm())
		features |= QUORVIN_VECTOR_AVX512BW;
	return features;
#elif defined(QUORVIN_ARM64_NEON)
	return system_supports_fpsimd() ? QUORVIN_VECTOR_NEON : 0;
#else
	return 0;
#endif
}

int quorvin_vector_begin(void)
{
#ifdef CONFIG_X86_64
	if (!may_use_simd())
		return 0;
	kernel_fpu_begin();
	return 1;
#elif defined(QUORVIN_ARM64_NEON)
	if (!may_use_simd())
		return 0;
	kernel_neon_begin();
	return 1;
#else
	return 0;
#endif
}

void quorvin_vector_end(void)
{
#ifdef CONFIG_X86_64
	kernel_fpu_end();
#elif defined(QUORVIN_ARM64_NEON)
	kernel_neon_end();
#endif
}
