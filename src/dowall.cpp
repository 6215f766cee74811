// Broadcast of a message to the terminals of all logged-in users.
// SPDX-License-Identifier: MIT

#include "dowall.h"
#include "terminals.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/single_threaded.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <atomic>

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

// Lets the alarm come: the caller may have blocked it, and a jump out of
// the handler leaves it blocked.
static void unblockalarm()
{
	sigset_t alrm;

	sigemptyset(&alrm);
	sigaddset(&alrm, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alrm, nullptr);
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

// What the child writes to each terminal: the banner and the shown start
// of the text, made once for all terminals, and the rest of the text.
struct message {
	const char *head;
	size_t nhead;
	const char *rest;
};

// A terminal as an attempt has it: where it is, what it must still be when
// opened, and how many bytes of banner and text it has taken.
struct pending {
	char path[sizeof "/dev/" + UT_LINESIZE];
	dev_t dev;
	uid_t owner;
	size_t done;
};

// Terminals that would have made the first pass wait, finished after every
// other had its turn; as many as the kernel's default limit of ptys. Past
// that, a terminal's first attempt waits for it instead.
static struct pending aside[4096];
static size_t naside;

// Writes the banner and the shown text to d from byte *done of them on, and
// adds to *done what d takes. Returns 0 once all is written, else the errno
// of the write that stopped: EAGAIN where d would have had to wait.
static int send(int d, const struct message *m, size_t *done)
{
	char out[4096];
	const char *piece = m->head, *p = m->rest;
	size_t at = 0, n = m->nhead;

	// The same pieces are made each time, so *done finds its place among
	// them.
	for (;;) {
		for (size_t from = *done - at; *done < at + n; from = *done - at) {
			const ssize_t w = write(d, piece + from, n - from);

			if (w < 0 && errno == EINTR)
				continue;
			if (w <= 0)
				return w < 0 ? errno : EIO;
			*done += static_cast<size_t>(w);
		}
		if (*p == '\0')
			return 0;
		at += n;
		piece = out;
		n = shown(out, sizeof out, &p, false);
	}
}

// Whether d is still the device p was examined to be, with the owner it
// must have: a pty freed and taken by another user since is not written.
// A record's or session's terminal was examined just before its first open.
static bool same(int d, const struct pending *p, bool second)
{
	struct stat st;

	if (!second && p->owner == static_cast<uid_t>(-1))
		return true;
	return fstat(d, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == p->dev &&
	    (p->owner == static_cast<uid_t>(-1) || st.st_uid == p->owner);
}

// One attempt at p: in the first pass it takes only what the terminal
// takes at once, and puts the terminal aside for the rest; in the second
// it waits for the rest. The alarm may jump out of any point here, so
// nothing here uses a stream or the heap: the jump would leave the C
// library's state half changed for the next attempt.
static void deliver(struct pending *p, const struct message *m, bool second)
{
	bool later = false;

	fd = open(p->path, O_WRONLY | O_NONBLOCK);
	if (fd < 0)
		return;
	// The open must not wait (for a carrier, say). A terminal refuses a
	// write that would wait while its queue is full, its output stopped,
	// or another process writes to it; a wait is bounded by the alarm.
	if (same(fd, p, second) && isatty(fd)) {
		bool wait = second;

		if (!second && send(fd, m, &p->done) == EAGAIN) {
			later = naside < sizeof aside / sizeof aside[0];
			wait = !later;
		}
		if (wait && fcntl(fd, F_SETFL, 0) == 0)
			send(fd, m, &p->done);
	}
	close(fd);
	fd = -1;
	// Only once closed in time: an abandoned attempt is not retried. Counted
	// only once whole, as the alarm may still come.
	if (later) {
		aside[naside] = *p;
		std::atomic_signal_fence(std::memory_order_seq_cst);
		naside++;
	}
}

// The first attempt at a terminal a source names.
static void first(void *what, const struct message *m)
{
	struct term *t = static_cast<struct term *>(what);
	struct pending p;

	if (!examine(t))
		return;
	// Every source's path fits: a longer one was refused.
	const size_t n = strnlen(t->w.path, sizeof p.path - 1);
	memcpy(p.path, t->w.path, n);
	p.path[n] = '\0';
	p.dev = t->dev;
	p.owner = t->owner;
	p.done = 0;
	deliver(&p, m, false);
}

// The second attempt at a terminal put aside by its first.
static void second(void *what, const struct message *m)
{
	deliver(static_cast<struct pending *>(what), m, true);
}

// One delivery attempt, abandoned where it stands after 2 seconds. The
// frames a jump leaves hold nothing that needs destroying, and what is read
// after it is the module's state, never a local changed since sigsetjmp.
static void attempt(void (*fn)(void *what, const struct message *m), void *what,
    const struct message *m)
{
	fd = -1;
	alarm(2);
	if (sigsetjmp(jbuf, 0) == 0) {
		jbufset = 1;
		fn(what, m);
	} else {
		// Done here, not by every sigsetjmp: the next attempt needs it.
		unblockalarm();
	}
	jbufset = 0;
	// An abandoned attempt's descriptor is closed here, with no limit.
	if (fd >= 0)
		close(fd);
	fd = -1;
	alarm(0);
}

static void visit(struct term *t, void *arg)
{
	attempt(first, t, static_cast<const struct message *>(arg));
}

// The child's part: every logged-in user's terminal in turn, each at once
// or put aside, then those put aside, waiting for each; then exit.
[[noreturn]] static void walk(const char *banner, const char *text)
{
	char head[4096];
	const char *rest = text != nullptr ? text : "";
	size_t n = strlen(banner);

	// The banner and the start of the text go out in one write, and are
	// shown once for all terminals.
	memcpy(head, banner, n + 1);
	n += shown(head + n, sizeof head - n, &rest, false);
	struct message m = {head, n, rest};

	// The limit holds whatever the caller did to the alarm signal since the
	// first call: a handler of its own, or the signal ignored or blocked.
	catchalarm();
	unblockalarm();

	terminals(visit, &m);
	endutent();
	for (size_t i = 0; i < naside; i++)
		attempt(second, &aside[i], &m);
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

	// Loading a library is not safe in the child of a process with other
	// threads, which may hold the loader's state half changed at the fork:
	// such a caller loads sd-login and the password database's modules
	// here, once, and a single-threaded one leaves the cost to the child.
	if (!__libc_single_threaded)
		preload();

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
