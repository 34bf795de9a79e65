/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * A fixed camera-driver scenario over the module's 19 exported operations,
 * written once in plain C and run in two places: inside the kernel by the
 * client module (against the loaded Quorvin_AWB module) and in user space
 * against the library. Both print the same lines, so the kernel run can be
 * compared with the user-space one.
 *
 * The host provides printing, memory and threads; the scenario uses nothing
 * else (no header of either world).
 */
#ifndef QUORVIN_KMOD_SCENARIO_H
#define QUORVIN_KMOD_SCENARIO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Provided by the host. */

/* Prints one line (no trailing newline in fmt); %d %u %x %s only. */
void qscn_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* Memory of the given size, content unspecified; 0 when there is none. */
void *qscn_alloc(unsigned long size);
void qscn_free(void *p);
/*
 * Runs fn(arg0) and fn(arg1) on two threads at the same time and waits for
 * both; 0 when both ran, non-zero when the threads could not be started.
 */
int qscn_run_two(void (*fn)(void *), void *arg0, void *arg1);
/* Lets the other thread run (a scheduling point). */
void qscn_yield(void);

/* Provided by the scenario. */

/*
 * The sequential scenario: one object driven through every exported
 * operation. Returns the number of failed checks (0 when all passed).
 */
int qscn_run_sequence(void);
/*
 * A driver in closed loop with its sensor through both per-frame calls:
 * exposure, gain and colour must settle. Returns the number of failed checks.
 */
int qscn_run_closed_loop(void);
/*
 * One object driven from two threads at once: a frame thread and a control
 * thread. Returns the number of failed checks.
 */
int qscn_run_threads(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_KMOD_SCENARIO_H */
