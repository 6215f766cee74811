/*
 * Stand-ins for C library calls, so that tests can make chosen terminals
 * hang without touching a real device, and see what a broadcast child does.
 *
 * DOWALL_HANG lists "call:path" words ("open:/dev/pts/3 write:/dev/pts/4"):
 * the first such call on that path sleeps far longer than any time limit,
 * as a call that never completes would; a signal whose handler returns ends
 * it with EINTR. DOWALL_TRACE names a descriptor that gets a line for each
 * hang, each close() and each pread() called while an alarm is pending, as
 * a read of the login records would be.
 */
/* SPDX-License-Identifier: MIT */
#define _GNU_SOURCE /* NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* The formatter would misread the if, its statement unterminated here. */
/* clang-format off */
#define REAL(name) \
	static __typeof__(name) *real_##name; \
	if (real_##name == NULL) \
		real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)
/* clang-format on */

static void trace(const char *fmt, ...)
{
	const char *to = getenv("DOWALL_TRACE");
	char line[256];
	va_list ap;
	int n;

	if (to == NULL)
		return;
	va_start(ap, fmt);
	n = vsnprintf(line, sizeof line, fmt, ap);
	va_end(ap);
	if (n > 0 && write((int)strtol(to, NULL, 10), line, n) != n)
		return;
}

/* The file a descriptor names, as /proc shows it, or "-" for none. */
static const char *named(int d, char *buf, size_t size)
{
	char link[32];
	ssize_t n;

	snprintf(link, sizeof link, "/proc/self/fd/%d", d);
	n = readlink(link, buf, size - 1);
	if (n <= 0)
		return "-";
	buf[n] = '\0';
	return buf;
}

/* Whether the call on path is chosen and has not hung yet; it then has. */
static int chosen(const char *call, const char *path)
{
	static unsigned long hung;
	const char *p = getenv("DOWALL_HANG");
	size_t c = strlen(call), n = strlen(path);

	for (unsigned i = 0; p != NULL && *(p += strspn(p, " ")) != '\0'; i++) {
		size_t len = strcspn(p, " ");
		if (len == c + 1 + n && strncmp(p, call, c) == 0 && p[c] == ':' &&
		    strncmp(p + c + 1, path, n) == 0 && !(hung & 1UL << i)) {
			hung |= 1UL << i;
			return 1;
		}
		p += len;
	}
	return 0;
}

/* Non-zero when the call was made to hang, and so has failed. */
static int hang(const char *call, const char *path)
{
	struct timespec t, left = {10, 0};

	if (!chosen(call, path))
		return 0;
	clock_gettime(CLOCK_MONOTONIC, &t);
	trace("hang %s %s %.3f\n", call, path, (double)t.tv_sec + (double)t.tv_nsec / 1e9);
	nanosleep(&left, NULL);
	errno = EINTR;
	return 1;
}

static int hangs(const char *call, int d)
{
	char buf[64];

	return getenv("DOWALL_HANG") != NULL && hang(call, named(d, buf, sizeof buf));
}

/* The stand-ins keep their own parameter names, not the C library's. */
/* NOLINTBEGIN(readability-inconsistent-declaration-parameter-name) */
int open(const char *path, int flags, ...)
{
	mode_t mode = 0;
	va_list ap;
	REAL(open);

	if (flags & (O_CREAT | O_TMPFILE)) {
		va_start(ap, flags);
		mode = va_arg(ap, mode_t);
		va_end(ap);
	}
	if (hang("open", path))
		return -1;
	return real_open(path, flags, mode);
}

int stat(const char *restrict path, struct stat *restrict st)
{
	REAL(stat);

	if (hang("stat", path))
		return -1;
	return real_stat(path, st);
}

ssize_t write(int d, const void *buf, size_t n)
{
	REAL(write);

	if (hangs("write", d))
		return -1;
	return real_write(d, buf, n);
}

int close(int d)
{
	char buf[64];
	REAL(close);

	if (hangs("close", d))
		return -1;
	if (getenv("DOWALL_TRACE") != NULL)
		trace("close %s\n", named(d, buf, sizeof buf));
	return real_close(d);
}

ssize_t pread(int d, void *buf, size_t n, off_t at)
{
	struct itimerval t;
	REAL(pread);

	if (getitimer(ITIMER_REAL, &t) == 0 &&
	    (t.it_value.tv_sec != 0 || t.it_value.tv_usec != 0))
		trace("pending\n");
	return real_pread(d, buf, n, at);
}
/* NOLINTEND(readability-inconsistent-declaration-parameter-name) */
