// SPDX-License-Identifier: GPL-2.0 OR MIT
// User-space implementation of the platform layer, all that the core needs
// from its host: POSIX semaphores stand in for the kernel's, and 64-bit
// division is native. The module's identity, parameter and loader are a test
// target of their own (module_user.cpp).
#include <AWB/AWB.h>
#include <AWB/platform.h>

#include <cerrno>
#include <semaphore.h>
#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

static_assert(sizeof(sem_t) == sizeof(QuorvinSemaphore),
              "the lock storage must hold sem_t exactly");
static_assert(alignof(sem_t) <= alignof(QuorvinSemaphore), "the lock storage must align sem_t");

static sem_t* as_sem(QuorvinSemaphore* sem) {
    return reinterpret_cast<sem_t*>(sem->u.bytes);
}

extern "C" void quorvin_sema_init(QuorvinSemaphore* sem, int val) {
    sem_init(as_sem(sem), 0, static_cast<unsigned>(val));
}

// Uninterruptible, as the kernel's down(): a signal never makes it give up.
extern "C" void quorvin_down(QuorvinSemaphore* sem) {
    while (sem_wait(as_sem(sem)) != 0 && errno == EINTR) {
    }
}

extern "C" void quorvin_up(QuorvinSemaphore* sem) {
    sem_post(as_sem(sem));
}

extern "C" __u64 quorvin_div_u64_u32(__u64 dividend, __u32 divisor) {
    return dividend / divisor;
}

// Vector registers are always the program's own in user space.
int quorvin_user_vector_grants = -1;

extern "C" unsigned int quorvin_vector_features(void) {
    unsigned int features = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2"))
        features |= QUORVIN_VECTOR_SSE2;
    if (__builtin_cpu_supports("avx2"))
        features |= QUORVIN_VECTOR_AVX2;
    if (__builtin_cpu_supports("avx512bw"))
        features |= QUORVIN_VECTOR_AVX512BW;
#elif defined(__aarch64__)
    // Advanced SIMD, as the kernel reports it to programs (HWCAP_ASIMD).
    if (getauxval(AT_HWCAP) & (1UL << 1))
        features |= QUORVIN_VECTOR_NEON;
#endif
    return features;
}

extern "C" int quorvin_vector_begin(void) {
    if (quorvin_user_vector_grants < 0)
        return 1;
    if (quorvin_user_vector_grants == 0)
        return 0;
    --quorvin_user_vector_grants;
    return 1;
}

extern "C" void quorvin_vector_end(void) {}
