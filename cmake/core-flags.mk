# SPDX-License-Identifier: GPL-2.0 OR MIT
# The compiler flags of the core (AWB/**/*.cpp), in one place for every build
# that compiles it: kmod/core.mk includes this file, CMake reads it through
# cmake/core-flags.cmake (QUORVIN_CORE_FLAGS ...), the scripts through
# read_core_flags in scripts/lib.sh. So that all three can read it: one
# variable a line, first set with := and then extended with +=, flags only
# (no references to other variables, no continued lines).

# Every build of the core, user space included: freestanding C++, no
# exceptions, no RTTI.
quorvin-core-flags := -fno-exceptions -fno-rtti -ffreestanding

# What the kernel build adds to the kernel's own C flags for C++: the
# language, no C++ library headers, no guards around local statics, no
# destructor registration, no unwind tables.
quorvin-kernel-cxx-flags := -std=gnu++17 -nostdinc++ -fno-threadsafe-statics -fno-use-cxa-atexit
quorvin-kernel-cxx-flags += -fno-unwind-tables -fno-asynchronous-unwind-tables

# arm64 kernels: gcc compiles atomic built-ins to calls of libgcc's
# out-of-line helpers (__aarch64_ldadd4_relax ...), which the kernel does not
# have; inline instructions instead, as the kernel's own code gets them.
quorvin-kernel-arm64-flags := -mno-outline-atomics

# The flags that keep vector and floating-point registers out of the
# kernel's code (its own, and -mgeneral-regs-only for the checks). The one object of the core that uses vector registers
# (AWB/pixel/PixelVector.cpp on x86-64, run between kernel_fpu_begin() and
# kernel_fpu_end(); PixelNeon.cpp on arm64) is compiled without them and with
# quorvin-vector-object-flags (arm64: quorvin-vector-object-arm64-flags)
# instead; the core knows of its variants through
# quorvin-kernel-vector-flags.
quorvin-no-vector-flags := -mno-sse -mno-sse2 -mno-3dnow -mno-avx -mgeneral-regs-only
quorvin-vector-object-flags := -msse2
quorvin-kernel-vector-flags := -DQUORVIN_KERNEL_VECTORS
# arm64: the object with vector registers (AWB/pixel/PixelNeon.cpp, run
# between kernel_neon_begin() and kernel_neon_end()) is compiled without the
# kernel's -mgeneral-regs-only and freestanding, as the kernel's own NEON
# code (lib/raid6) is.
quorvin-vector-object-arm64-flags := -ffreestanding

# The kernel's own flags, for the checks that compile the core outside Kbuild
# (scripts/core-check.sh: freestanding, stack depth), with
# quorvin-no-vector-flags and the flags of the architecture below: those
# that shape the code and its stack frames as in Debian's kernels (6.1,
# amd64, 686 and arm64). Besides the code model, alignment, red zone and
# register arguments, the stack protector's canary, the function tracer's
# call (x86) or patchable entry (arm64) at every entry (no function is a
# leaf: no red zone either) and zeroed locals change the frames; so do the
# kernel's non-PIE code and its overflow and null-pointer semantics, through
# the registers the code needs.
quorvin-kernel-check-flags := -O2 -nostdinc -D__KERNEL__ -fno-PIE
quorvin-kernel-check-flags += -fno-strict-aliasing -fno-strict-overflow -fno-delete-null-pointer-checks
quorvin-kernel-check-flags += -fstack-protector-strong -ftrivial-auto-var-init=zero
quorvin-kernel-check-flags += -fconserve-stack
quorvin-kernel-x86_64-flags := -m64 -mcmodel=kernel -mno-red-zone -mpreferred-stack-boundary=3
quorvin-kernel-x86_64-flags += -mno-mmx -pg -mfentry
quorvin-kernel-i386-flags := -m32 -mregparm=3 -freg-struct-return -mpreferred-stack-boundary=2
quorvin-kernel-i386-flags += -fno-omit-frame-pointer -fno-optimize-sibling-calls
quorvin-kernel-i386-flags += -mno-mmx -pg -mfentry
# arm64 (with quorvin-kernel-arm64-flags): frame pointers, pointer
# authentication of return addresses, the canary read through sp_el0 and
# the tracer's patchable entry, as Debian's arm64 kernels build; general
# registers only (its quorvin-no-vector-flags).
quorvin-kernel-arm64-check-flags := -mabi=lp64 -mlittle-endian -fno-omit-frame-pointer
quorvin-kernel-arm64-check-flags += -fno-optimize-sibling-calls -fpatchable-function-entry=2
quorvin-kernel-arm64-check-flags += -mbranch-protection=pac-ret+leaf -mstack-protector-guard=sysreg
quorvin-kernel-arm64-check-flags += -mstack-protector-guard-reg=sp_el0
quorvin-kernel-arm64-check-flags += -mstack-protector-guard-offset=1360
quorvin-no-vector-arm64-flags := -mgeneral-regs-only
