// The broadcast command: sends its first argument to every logged-in user.
// SPDX-License-Identifier: MIT

#include <stdio.h>

#include "dowall.h"

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fputs("usage: dowall message\n", stderr);
		return 1;
	}
	wall(argv[1], 0);
	return 0;
}
