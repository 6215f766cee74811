// What became of each terminal of a broadcast, kept by its child in the
// order the terminals are listed and told to the caller once the delivery
// has ended: the module's own, not installed.
// SPDX-License-Identifier: MIT
#ifndef REPORT_H
#define REPORT_H

#include <stddef.h>

#include "dowall.h"

// None of this is the library's interface.
#pragma GCC visibility push(hidden)

// In the caller, before the fork: the report's file and the pipe it is told
// through. The pipe's end to hear it from, or -1 with errno set.
int reportstart();

// In the caller, after the fork: lets go of the child's ends.
void reportdone();

// In the child: whether the caller asked for a report. Its descriptors are
// moved past 2 first, where the caller's standard streams were closed.
bool reporting();

// In the child: the line at for terminal t, and what became of it so far.
void keep(size_t at, const struct wallterm *t, int outcome, size_t written, size_t due);

// In the child: what became of the terminal of line at, once finished.
void amend(size_t at, int outcome, size_t written);

// In the child: the lines up to n, told to the caller in their order, then
// that the report is whole.
void tellall(size_t n);

// In the caller: hands each line told through from to fn, with arg, until
// the child says it is done; whether it did.
bool hear(int from, wallfn *fn, void *arg);

#pragma GCC visibility pop

#endif
