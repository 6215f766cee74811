// Prints why the tests that need root skip here, or nothing when they run.
// SPDX-License-Identifier: MIT

#include <stdio.h>

#include "support.h"

int main()
{
	const std::string why = no_private_root();

	if (!why.empty())
		printf("%s\n", why.c_str());
	return 0;
}
