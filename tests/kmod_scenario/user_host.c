// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * User-space host of the camera-driver scenario (tests/kernel/client/scenario.c):
 * the same scenario the kernel client runs, against the user-space library.
 * Prints its lines on stdout; the kernel test compares the kernel client's
 * lines with these. Exit status 0 when every check passed.
 */
#define _POSIX_C_SOURCE 200809L /* pthreads and sched_yield in strict C11 */

#include "scenario.h"

#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

void qscn_print(const char* fmt, ...) {
    va_list ap;

    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
}

void* qscn_alloc(unsigned long size) {
    return malloc(size);
}

void qscn_free(void* p) {
    free(p);
}

struct qscn_thread {
    void (*fn)(void*);
    void* arg;
};

static void* qscn_thread_main(void* p) {
    struct qscn_thread* t = (struct qscn_thread*)p;

    t->fn(t->arg);
    return NULL;
}

int qscn_run_two(void (*fn)(void*), void* arg0, void* arg1) {
    struct qscn_thread t[2] = {{fn, arg0}, {fn, arg1}};
    pthread_t id[2];

    if (pthread_create(&id[0], NULL, qscn_thread_main, &t[0]) != 0)
        return -1;
    if (pthread_create(&id[1], NULL, qscn_thread_main, &t[1]) != 0) {
        /* Run the second part here so that the first is not left alone. */
        qscn_thread_main(&t[1]);
        pthread_join(id[0], NULL);
        return -1;
    }
    pthread_join(id[0], NULL);
    pthread_join(id[1], NULL);
    return 0;
}

void qscn_yield(void) {
    sched_yield();
}

int main(void) {
    int failed = qscn_run_sequence();

    failed += qscn_run_closed_loop();
    failed += qscn_run_threads();
    fflush(stdout);
    return failed == 0 ? 0 : 1;
}
