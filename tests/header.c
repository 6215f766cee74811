/* The public header must stand on its own in a C program. */
#include "dowall.h"

void (*const dowall_routines[])(void) = {
	(void (*)(void))wall,
	(void (*)(void))feputs,
};
