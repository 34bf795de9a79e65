/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * What the module needs from its host, and nothing more. Two implementations
 * exist outside AWB/: the kernel glue (kernel semaphores and 64-bit division
 * helpers) and a user-space one (POSIX semaphores).
 */
#ifndef QUORVIN_AWB_PLATFORM_H
#define QUORVIN_AWB_PLATFORM_H

#include "win.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Storage for the host's counting semaphore, held by value in the balance
 * object. Its size is that of the host's type: the kernel's struct semaphore
 * (16 bytes on 32-bit x86, 24 on 64-bit) or POSIX sem_t in user space (16 and
 * 32). Each implementation checks at compile time that its type fits exactly.
 * The pointer member gives the alignment of both types.
 */
#if defined(__KERNEL__)
#if defined(__LP64__)
#define QUORVIN_SEMAPHORE_SIZE 24
#else
#define QUORVIN_SEMAPHORE_SIZE 16
#endif
#else
#if defined(__LP64__)
#define QUORVIN_SEMAPHORE_SIZE 32
#else
#define QUORVIN_SEMAPHORE_SIZE 16
#endif
#endif

typedef struct QuorvinSemaphore {
    union {
        unsigned char bytes[QUORVIN_SEMAPHORE_SIZE];
        void* align;
    } u;
} QuorvinSemaphore;

/* Counting semaphore; quorvin_down waits without being interruptible. */
void quorvin_sema_init(QuorvinSemaphore* sem, int val);
void quorvin_down(QuorvinSemaphore* sem);
void quorvin_up(QuorvinSemaphore* sem);

/* dividend / divisor, truncating; 32-bit kernels have no native 64-bit
 * division, so it goes through the host. divisor must not be 0. */
__u64 quorvin_div_u64_u32(__u64 dividend, __u32 divisor);

/*
 * Vector registers for the pixel passes (x86, arm64).
 * quorvin_vector_features: the QUORVIN_VECTOR_* instruction sets the
 * processor has and the host lets the module use (probed once, at the first
 * pass). quorvin_vector_begin: non-zero when vector registers may be used
 * now; they are then the caller's until quorvin_vector_end, and nothing may
 * sleep in between. The kernel lends them between kernel_fpu_begin() and
 * kernel_fpu_end() (arm64: kernel_neon_begin() and kernel_neon_end()) with
 * preemption held off, so each stretch between the two calls is kept short
 * (PixelDispatch.cpp cuts frames into chunks). User space: always, and the
 * two calls do nothing.
 */
#define QUORVIN_VECTOR_SSE2     1u
#define QUORVIN_VECTOR_AVX2     2u
#define QUORVIN_VECTOR_AVX512BW 4u
#define QUORVIN_VECTOR_NEON     8u /* arm64's Advanced SIMD */
unsigned int quorvin_vector_features(void);
int quorvin_vector_begin(void);
void quorvin_vector_end(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_AWB_PLATFORM_H */
