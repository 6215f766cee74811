// Prints why the tests that need root, namespaces of their own or /proc
// skip here, or nothing when they run.
// SPDX-License-Identifier: MIT

#include <sched.h>
#include <stdio.h>

#include "support.h"

int main()
{
	const std::string why = no_private_root();
	const std::string pid = why.empty() ? no_private_root(CLONE_NEWPID) : "";
	const std::string proc = no_proc();

	if (!proc.empty())
		printf("The tests that need /proc skip here: %s.\n", proc.c_str());
	if (!why.empty())
		printf("The tests that need root skip here: %s.\n", why.c_str());
	else if (!pid.empty())
		printf("The tests that need a pid namespace of their own skip here: %s.\n", pid.c_str());
	return 0;
}
