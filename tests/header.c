/* The public header must stand on its own in a C program. */
/* SPDX-License-Identifier: MIT */
#include "dowall.h"

void dowall_from_c(void);

void dowall_from_c(void)
{
	feputs("", stdout);
	wall("", 1);
}
