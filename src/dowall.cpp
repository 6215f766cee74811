// Broadcast of a message to the terminals of all logged-in users.
// SPDX-License-Identifier: MIT

#include "dowall.h"

#include <fcntl.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

// Descriptor of the delivery attempt under way, or -1. Volatile: it is read
// after a jump out of the middle of an attempt.
static volatile int fd = -1;

// Where an attempt that ran out of time is abandoned, and whether that
// jump point is set: an alarm outside an attempt (the caller's process never
// sets one) must not jump.
static sigjmp_buf jbuf;
static volatile sig_atomic_t jbufset;

static void handler(int /*sig*/)
{
	signal(SIGALRM, handler);
	if (jbufset)
		siglongjmp(jbuf, 1);
}

// Whether a terminal would act on byte b instead of showing it.
static bool control(unsigned char b)
{
	if (b < 0x20)
		return b != '\t' && b != '\r' && b != '\n';
	return b >= 0x80 && b <= 0x9f;
}

void feputs(const char *text, FILE *stream)
{
	if (text == nullptr)
		text = "";
	// Bytes go to the stream in pieces shorter than any stream buffer, each
	// line feed on its own: a line-buffered stream then makes the writes it
	// would make byte by byte, for a fraction of the calls.
	char run[120];
	size_t n = 0;

	flockfile(stream);
	for (const char *p = text; *p != '\0'; p++) {
		const unsigned char b = static_cast<unsigned char>(*p);

		if (n > sizeof run - 2) {
			fwrite_unlocked(run, 1, n, stream);
			n = 0;
		}
		if (b == '\n') {
			fwrite_unlocked(run, 1, n, stream);
			n = 0;
			putc_unlocked('\n', stream);
		} else if (control(b)) {
			run[n++] = '^';
			run[n++] = static_cast<char>((b & 0x1f) + 0x40);
		} else {
			run[n++] = static_cast<char>(b);
		}
	}
	fwrite_unlocked(run, 1, n, stream);
	funlockfile(stream);
	fflush(stream);
}

// Whether path has a ".." component, which could lead out of /dev.
static bool climbs(const char *path)
{
	for (const char *p = path; (p = strstr(p, "..")) != nullptr; p++)
		if ((p == path || p[-1] == '/') && (p[2] == '\0' || p[2] == '/'))
			return true;
	return false;
}

// Composes the terminal path of a record; false if it must not be opened.
static bool ttypath(char *path, size_t size, const struct utmp *ut)
{
	// The line fills its field without a terminator when it is that long.
	const int len = sizeof ut->ut_line;

	if (strncmp(ut->ut_line, "/dev/", 5) == 0)
		snprintf(path, size, "%.*s", len, ut->ut_line);
	else
		snprintf(path, size, "/dev/%.*s", len, ut->ut_line);
	return !climbs(path);
}

// Banner and filtered text to the terminal at path.
static void deliver(const char *path, const char *banner, const char *text)
{
	// The buffer the C library would give a terminal's stream, set here
	// because the terminal is already checked: the library would look
	// again, and take it from the heap, for every terminal.
	static char buf[BUFSIZ];
	struct stat st;

	// A record may name any file; only terminals get the message.
	if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode))
		return;
	fd = open(path, O_WRONLY | O_NONBLOCK);
	if (fd < 0)
		return;
	// The open must not wait (for a carrier, say), but the writes must: a
	// terminal refuses a non-blocking write while its queue is full or
	// another process writes to it, and the alarm bounds the wait.
	if (FILE *f = isatty(fd) && fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "w") : nullptr) {
		const size_t size = st.st_blksize > 0 ? static_cast<size_t>(st.st_blksize) : sizeof buf;

		setvbuf(f, buf, _IOLBF, size < sizeof buf ? size : sizeof buf);
		fputs(banner, f);
		feputs(text, f);
		fclose(f);
	} else {
		close(fd);
	}
	fd = -1;
}

// One delivery attempt, abandoned where it stands after 2 seconds. The
// frames a jump leaves hold nothing that needs destroying, and what is read
// after it is the module's state, never a local changed since sigsetjmp.
static void attempt(const char *path, const char *banner, const char *text)
{
	fd = -1;
	alarm(2);
	if (sigsetjmp(jbuf, 1) == 0) {
		jbufset = 1;
		deliver(path, banner, text);
	}
	jbufset = 0;
	// The stream of an abandoned attempt is never touched again.
	if (fd >= 0)
		close(fd);
	fd = -1;
	alarm(0);
}

// The child's part: every logged-in user's terminal in turn, then exit.
[[noreturn]] static void walk(const char *banner, const char *text)
{
	// "/dev/" and a whole line field always fit, so no path is ever cut.
	char path[sizeof "/dev/" + UT_LINESIZE];
	struct utmp *ut;
	sigset_t alrm;

	// The limit holds whatever the caller did to the alarm signal since the
	// first call: a handler of its own, or the signal ignored or blocked.
	signal(SIGALRM, handler);
	// Deprecated, but it is what makes the handler's own re-installation
	// with signal keep interrupting calls instead of restarting them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
	siginterrupt(SIGALRM, 1);
#pragma GCC diagnostic pop
	sigemptyset(&alrm);
	sigaddset(&alrm, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alrm, nullptr);

	while ((ut = getutent()) != nullptr) {
		if (ut->ut_type != USER_PROCESS || ut->ut_user[0] == '\0')
			continue;
		if (ttypath(path, sizeof path, ut))
			attempt(path, banner, text);
	}
	endutent();
	// Not exit: the caller's unflushed output and exit handlers are its own.
	_exit(0);
}

// The sender's terminal as the banner names it: "(pts/3) ", or empty
// without one. Only the first 28 characters of a long name are kept.
static void ttytag(char *ttynm, size_t size, const char *tty)
{
	if (tty == nullptr) {
		ttynm[0] = '\0';
		return;
	}
	if (strncmp(tty, "/dev/", 5) == 0)
		tty += 5;
	snprintf(ttynm, size, "(%.28s) ", tty);
}

// The banner above the message; one longer than size allows is cut.
static void compose(char *banner, size_t size, int remote, const char *user,
    const char *ttynm, const char *date)
{
	if (remote)
		snprintf(banner, size,
		    "\a\r\nRemote broadcast message (%s):\r\n\r\n", date);
	else
		snprintf(banner, size,
		    "\a\r\nBroadcast message from %s %s(%s):\r\n\r\n",
		    user, ttynm, date);
}

void wall(const char *text, int remote)
{
	static int init;
	static const char *user;
	// As long as a whole banner, so the copy never cuts what a banner shows.
	static char name[81];
	static char ttynm[32];
	static char *date;
	static char nodate[1];
	char banner[81];

	setutent();
	if (init == 0) {
		uid_t uid = getuid();
		struct passwd *pw = getpwuid(uid);
		char uidnm[16];
		const char *who = "root";

		snprintf(uidnm, sizeof uidnm, "uid %d", static_cast<int>(uid));
		if (pw != nullptr)
			who = pw->pw_name;
		else if (uid != 0)
			who = uidnm;
		// Copied: the caller's own getpw* calls reuse the entry's storage.
		snprintf(name, sizeof name, "%s", who);
		user = name;
		ttytag(ttynm, sizeof ttynm, ttyname(0));
		init++;
		signal(SIGALRM, handler);
	}

	time_t now = time(nullptr);
	date = ctime(&now);
	if (date == nullptr) // a clock beyond what ctime can print
		date = nodate;
	date[strcspn(date, "\n")] = '\0';

	compose(banner, sizeof banner, remote, user, ttynm, date);

	// The child outlives the caller: it must survive the hangup when the
	// caller ends its session, and write to the caller's terminal from a
	// background job. Blocked across the fork, so that neither signal can
	// reach it before it ignores them; a pending one is then discarded.
	sigset_t block, mask;
	sigemptyset(&block);
	sigaddset(&block, SIGHUP);
	sigaddset(&block, SIGTTOU);
	sigprocmask(SIG_BLOCK, &block, &mask);
	if (fork() == 0) {
		signal(SIGHUP, SIG_IGN);
		signal(SIGTTOU, SIG_IGN);
		sigprocmask(SIG_SETMASK, &mask, nullptr);
		walk(banner, text);
	}
	sigprocmask(SIG_SETMASK, &mask, nullptr);
}
