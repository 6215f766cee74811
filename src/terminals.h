// The terminals a broadcast writes, and their order: the module's own, not
// installed.
// SPDX-License-Identifier: MIT
#ifndef TERMINALS_H
#define TERMINALS_H

#include <sys/types.h>

#include "dowall.h"

// None of this is the library's interface.
#pragma GCC visibility push(hidden)

// A terminal as a source names it, and what it must still be when opened.
struct term {
	struct wallterm w;
	dev_t dev;   // the device its source found, or 0 until it is examined
	uid_t owner; // the owner it must have, or (uid_t)-1 for any
};

typedef void visitfn(struct term *t, void *arg);

// Calls visit for every terminal in the order it is written: those of the
// login records, each as often as a record names it; then the TTYs of
// logind's sessions; then every pty a logged-in user owns, by number. Only
// the terminals of the members of group members, unless it is (gid_t)-1.
// Visit examines each one itself.
void terminals(visitfn *visit, void *arg, gid_t members);

// Whether t may be attempted: a terminal, its owner's where it must have
// one, and, but for a record's, not one given before. Stats a path not
// examined yet, which may hang, and sets t->dev.
bool examine(struct term *t);

// Loads, in the caller, what the walk would load in the child, where a
// caller's other threads may have left the loader's state half changed.
void preload();

#pragma GCC visibility pop

#endif
