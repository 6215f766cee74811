// Prints why the tests that need root, namespaces of their own or /proc
// skip here, and how to run them all, or nothing when they run.
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
	if (!proc.empty() || !why.empty() || !pid.empty())
		puts("To run them all, run ctest as root (not under fakeroot) on a host or in a container,\n"
		     "or in a chroot entered with its / a mount point and /proc and /dev mounted:\n"
		     "unshare -m sh -c 'mount --bind DIR DIR && mount -t proc proc DIR/proc &&\n"
		     "    mount --rbind /dev DIR/dev && exec chroot DIR'");
	return 0;
}
