/* SPDX-License-Identifier: GPL-2.0 OR MIT */
/*
 * Between the pixel self-test (pixeltest.cpp) and its kernel side
 * (pixeltest_glue.c).
 */
#ifndef QUORVIN_KMOD_PIXELTEST_H
#define QUORVIN_KMOD_PIXELTEST_H

#ifdef __cplusplus
extern "C" {
#endif

void qv_line(const char *what, unsigned int a, unsigned int b, unsigned int c);
void *qv_alloc(unsigned long bytes);
void qv_free(void *p);
void qv_without_vectors(void (*fn)(void *), void *arg);
void qv_pixeltest_run(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORVIN_KMOD_PIXELTEST_H */
