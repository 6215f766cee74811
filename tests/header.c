/* The public header must stand on its own in a C program. */
/* SPDX-License-Identifier: MIT */
#include "dowall.h"

void dowall_from_c(void);

static void seen(const struct wallterm *term, void *arg)
{
	*(uid_t *)arg = term->uid;
}

void dowall_from_c(void)
{
	uid_t uid;

	feputs("", stdout);
	wall("", 1);
	wallterms(seen, &uid);
}
