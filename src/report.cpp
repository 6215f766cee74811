// What became of each terminal of a broadcast, told by its child to the
// caller.
// SPDX-License-Identifier: MIT

#include "report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utmp.h>

// A terminal's line of the report. Empty user and session strings stand for
// none.
struct line {
	char path[sizeof "/dev/" + UT_LINESIZE];
	char user[sizeof utmp::ut_user + 1];
	char session[256];
	uid_t uid;
	int outcome; // END after the last line
	size_t written, due;
};
enum { END = -1 };

// Each line at its place in the listing, in a file of memory: a terminal put
// aside is done only after those listed after it. Then the pipe that tells
// the lines to the caller, and whether a line could not be kept.
static int file = -1, tell = -1;
static bool lost;

int reportstart()
{
	int p[2];

	file = memfd_create("dowall-report", MFD_CLOEXEC);
	if (file < 0)
		return -1;
	if (pipe2(p, O_CLOEXEC) != 0) {
		const int err = errno;
		reportdone();
		errno = err;
		return -1;
	}
	tell = p[1];
	return p[0];
}

void reportdone()
{
	if (file >= 0)
		close(file);
	if (tell >= 0)
		close(tell);
	file = tell = -1;
}

// Moves d past the standard streams.
static void away(int *d)
{
	if (*d >= 0 && *d <= 2) {
		const int moved = fcntl(*d, F_DUPFD_CLOEXEC, 3);
		close(*d);
		*d = moved;
	}
}

bool reporting()
{
	away(&file);
	away(&tell);
	return file >= 0;
}

static void put(const struct line *l, size_t at)
{
	const off_t where = static_cast<off_t>(at * sizeof *l);

	if (pwrite(file, l, sizeof *l, where) != static_cast<ssize_t>(sizeof *l))
		lost = true;
}

void keep(size_t at, const struct wallterm *t, int outcome, size_t written, size_t due)
{
	struct line l;

	memset(&l, 0, sizeof l);
	snprintf(l.path, sizeof l.path, "%s", t->path);
	snprintf(l.user, sizeof l.user, "%s", t->user != nullptr ? t->user : "");
	snprintf(l.session, sizeof l.session, "%s", t->session != nullptr ? t->session : "");
	l.uid = t->uid;
	l.outcome = outcome;
	l.written = written;
	l.due = due;
	put(&l, at);
}

void amend(size_t at, int outcome, size_t written)
{
	struct line l;
	const off_t where = static_cast<off_t>(at * sizeof l);

	if (pread(file, &l, sizeof l, where) != static_cast<ssize_t>(sizeof l)) {
		lost = true;
		return;
	}
	l.outcome = outcome;
	l.written = written;
	put(&l, at);
}

// Writes all of l to d; whether it could.
static bool whole(int d, const struct line *l)
{
	const char *p = reinterpret_cast<const char *>(l);

	for (size_t at = 0; at < sizeof *l;) {
		const ssize_t w = write(d, p + at, sizeof *l - at);

		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		at += static_cast<size_t>(w);
	}
	return true;
}

void tellall(size_t n)
{
	struct line l;

	for (size_t i = 0; i < n; i++) {
		const off_t where = static_cast<off_t>(i * sizeof l);
		if (pread(file, &l, sizeof l, where) != static_cast<ssize_t>(sizeof l) || !whole(tell, &l))
			return;
	}
	// A report with a line lost is not whole: the caller must not take it
	// for one.
	memset(&l, 0, sizeof l);
	l.outcome = END;
	if (!lost)
		whole(tell, &l);
}

bool hear(int from, wallfn *fn, void *arg)
{
	struct line l;
	char *p = reinterpret_cast<char *>(&l);

	for (;;) {
		for (size_t at = 0; at < sizeof l;) {
			const ssize_t r = read(from, p + at, sizeof l - at);

			if (r < 0 && errno == EINTR)
				continue;
			if (r <= 0)
				return false;
			at += static_cast<size_t>(r);
		}
		if (l.outcome == END)
			return true;
		l.path[sizeof l.path - 1] = '\0';
		l.user[sizeof l.user - 1] = '\0';
		l.session[sizeof l.session - 1] = '\0';
		const struct wallterm t = {l.path, l.user[0] != '\0' ? l.user : nullptr, l.uid,
		    l.session[0] != '\0' ? l.session : nullptr};
		fn(&t, l.outcome, l.written, l.due, arg);
	}
}
