// Broadcast of a message to the terminals of all logged-in users.
// SPDX-License-Identifier: MIT

#include "dowall.h"

#include <errno.h>
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

// Only the child's own timer abandons an attempt. The sender keeps the
// child's real uid and may send it SIGALRM too; that must neither jump nor
// break a call, which SA_RESTART then resumes.
static void handler(int /*sig*/, siginfo_t *si, void * /*ctx*/)
{
	if (si->si_code == SI_KERNEL && jbufset)
		siglongjmp(jbuf, 1);
}

static void catchalarm()
{
	struct sigaction sa;

	memset(&sa, 0, sizeof sa);
	sa.sa_sigaction = handler;
	sa.sa_flags = SA_SIGINFO | SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, nullptr);
}

// Whether a terminal would act on byte b instead of showing it.
static bool control(unsigned char b)
{
	if (b < 0x20)
		return b != '\t' && b != '\r' && b != '\n';
	return b >= 0x80 && b <= 0x9f;
}

// Puts the shown form of the text at *p into out, as much as size bytes hold
// without splitting a caret form, and moves *p past what it took. In a name
// tab and line ends are shown too: a name has no place for them, and a
// carriage return would let the rest overwrite the sender on the screen.
static size_t shown(char *out, size_t size, const char **p, bool name)
{
	size_t n = 0;

	for (; **p != '\0'; ++*p) {
		const unsigned char b = static_cast<unsigned char>(**p);
		const bool caret = control(b) || (name && b < 0x20);

		if (n + (caret ? 2 : 1) > size)
			break;
		if (caret) {
			out[n++] = '^';
			out[n++] = static_cast<char>((b & 0x1f) + 0x40);
		} else {
			out[n++] = static_cast<char>(b);
		}
	}
	return n;
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

// Writes all of buf to d; false once the terminal fails.
static bool put(int d, const char *buf, size_t len)
{
	while (len > 0) {
		const ssize_t n = write(d, buf, len);

		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return true;
}

// Banner and filtered text to the terminal at path. The alarm may jump out
// of any point here, so nothing here uses a stream or the heap: the jump
// would leave the C library's state half changed for the next attempt.
static void deliver(const char *path, const char *banner, const char *text)
{
	struct stat st;
	char out[4096];

	// A record may name any file; only terminals get the message.
	if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode))
		return;
	fd = open(path, O_WRONLY | O_NONBLOCK);
	if (fd < 0)
		return;
	// The open must not wait (for a carrier, say), but the writes must: a
	// terminal refuses a non-blocking write while its queue is full or
	// another process writes to it, and the alarm bounds the wait.
	if (isatty(fd) && fcntl(fd, F_SETFL, 0) == 0) {
		// The banner and the start of the text go out in one write.
		const char *p = text != nullptr ? text : "";
		size_t n = strlen(banner);

		memcpy(out, banner, n);
		for (bool more = true; more; n = 0) {
			n += shown(out + n, sizeof out - n, &p, false);
			more = put(fd, out, n) && *p != '\0';
		}
	}
	close(fd);
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
	catchalarm();
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
// without one. Only the first 28 characters of a long name, as shown, are
// kept. Anyone can give a terminal any name outside /dev, so it is shown
// as the message is.
static void ttytag(char *ttynm, size_t size, const char *tty)
{
	char name[28 + 1];

	if (tty == nullptr) {
		ttynm[0] = '\0';
		return;
	}
	if (strncmp(tty, "/dev/", 5) == 0)
		tty += 5;
	name[shown(name, sizeof name - 1, &tty, true)] = '\0';
	snprintf(ttynm, size, "(%s) ", name);
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

int wall(const char *text, int remote)
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
		// Copied, as shown: the caller's own getpw* calls reuse the
		// entry's storage, and a name service may hand in any bytes.
		name[shown(name, sizeof name - 1, &who, true)] = '\0';
		user = name;
		ttytag(ttynm, sizeof ttynm, ttyname(0));
		init++;
		catchalarm();
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
	const pid_t pid = fork();
	if (pid == 0) {
		signal(SIGHUP, SIG_IGN);
		signal(SIGTTOU, SIG_IGN);
		sigprocmask(SIG_SETMASK, &mask, nullptr);
		walk(banner, text);
	}
	const int err = errno;
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	errno = err;
	return pid < 0 ? -1 : 0;
}
