// SPDX-License-Identifier: GPL-2.0 OR MIT
// User-space implementation of the platform layer, all that the core needs
// from its host: POSIX semaphores stand in for the kernel's, and 64-bit
// division is native. The module's identity, parameter and loader are a test
// target of their own (module_user.cpp).
#include <AWB/AWB.h>
#include <AWB/platform.h>

#include <cerrno>
#include <semaphore.h>

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
