// SPDX-License-Identifier: GPL-2.0 OR MIT
/*
 * The sensor model (drivers/vcam/vcam_core.c) binds a balance object; the
 * camera's firmware has none (the host's driver runs the module), so the
 * operations the model calls do nothing here.
 */
#include "AWB/AWB.h"

int Quorvin_GetAWBObjectSize(void)
{
	return 1;
}

void Quorvin_InitAWBObject(void *o, __u8 *raw, __u16 *lines, __u16 *clocks,
			   __u16 *line, __u16 *clock, __u16 *gain, __u32 *w,
			   __u32 *h, int *flag, __u16 *r, __u16 *g, __u16 *b,
			   __u16 *wb, __u16 cds, __u16 digital, int unit)
{
	(void)o, (void)raw, (void)lines, (void)clocks, (void)line, (void)clock;
	(void)gain, (void)w, (void)h, (void)flag, (void)r, (void)g, (void)b;
	(void)wb, (void)cds, (void)digital, (void)unit;
}

void Quorvin_FreeAWBObject(void *o)
{
	(void)o;
}

int Quorvin_ALCWBalance(void *o)
{
	(void)o;
	return 0;
}

int Quorvin_ImageBalance(void *o)
{
	(void)o;
	return 0;
}

int Quorvin_SetAutoAWB(void *o, BYTE m)
{
	(void)o;
	(void)m;
	return 0;
}

int Quorvin_SetAutoGain(void *o, BYTE m)
{
	(void)o;
	(void)m;
	return 0;
}

int Quorvin_SetAutoExposure(void *o, BYTE m)
{
	(void)o;
	(void)m;
	return 0;
}

BOOL Quorvin_CLuminance_SetTarget(void *o, PBYTE t)
{
	(void)o;
	(void)t;
	return TRUE;
}

void Quorvin_Set_Gain(void *o)
{
	(void)o;
}

int Quorvin_SetHighlightGuard(void *o, BYTE budget, BYTE floor)
{
	(void)o;
	(void)budget;
	(void)floor;
	return 0;
}

int Quorvin_SetRobustAWB(void *o, BYTE mode)
{
	(void)o;
	(void)mode;
	return 0;
}
