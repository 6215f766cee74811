// Broadcast of a message to the terminals of all logged-in users.
// SPDX-License-Identifier: MIT

#include "dowall.h"
#include "report.h"
#include "terminals.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/single_threaded.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <atomic>

// Descriptor of the open or close under way, or -1. Volatile: it is read
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

// The bytes a terminal shows for text: what feputs writes.
static size_t shownlen(const char *text)
{
	size_t n = 0;

	for (const char *p = text; *p != '\0'; p++)
		n += control(static_cast<unsigned char>(*p)) ? 2 : 1;
	return n;
}

// What the child writes to each terminal: the banner and the shown start
// of the text, made once for all terminals, and the rest of the text.
struct message {
	const char *head;
	size_t nhead;
	const char *rest;
	size_t due;  // all of it, banner and shown text
	bool report; // whether the caller asked for a report
};

// Where an attempt leaves a terminal, besides the outcomes of the header.
enum {
	UNLISTED = -1, // refused before it was opened: nobody would list it
	ASIDE = -2,    // to be finished in the window
	OPEN = -3,     // open in the window
	NOROOM = -4,   // not reopened: no descriptor was left
};

// A terminal as an attempt has it: where it is, what it must still be when
// opened, how many bytes of banner and text it has taken, and what became
// of it.
struct pending {
	char path[sizeof "/dev/" + UT_LINESIZE];
	dev_t dev;
	uid_t owner;
	size_t done;
	size_t line;  // its place in the report
	int outcome;  // WALL_TIMEOUT until an attempt at it ends in time
	int fd;       // in the window, its descriptor
	double until; // in the window, when its 2 seconds are up
};

// Terminals that would have made the first pass wait, finished after every
// other had its turn; as many as the kernel's default limit of ptys. Past
// that, a terminal's first attempt waits for it instead.
static struct pending aside[4096];
static size_t naside;

// The first pass's attempt under way: read after a jump.
static struct pending cur;

static double now()
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The alarm, usec from now; 0 cancels it.
static void arm(long usec)
{
	struct itimerval it = {{0, 0}, {usec / 1000000, usec % 1000000}};

	setitimer(ITIMER_REAL, &it, nullptr);
}

// What a failed open of a terminal says of it.
static int refusal(int err)
{
	switch (err) {
	case EACCES:
	case EPERM:
	case EBUSY: // held exclusive by its user
		return WALL_REFUSED;
	case ENOENT:
	case ENOTDIR:
	case ENXIO:
	case ENODEV:
		return WALL_GONE;
	case EMFILE:
	case ENFILE:
		return NOROOM;
	default:
		return WALL_FAILED;
	}
}

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
static bool same(int d, const struct pending *p)
{
	struct stat st;

	return fstat(d, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == p->dev &&
	    (p->owner == static_cast<uid_t>(-1) || st.st_uid == p->owner);
}

// Opens p's terminal into fd, write-only and non-blocking, and checks that
// it is still the terminal listed: OPEN when it is; else what became of
// it, with fd closed. The open must not wait (for a carrier, say).
static int reach(const struct pending *p)
{
	fd = open(p->path, O_WRONLY | O_NONBLOCK);
	if (fd < 0)
		return refusal(errno);
	int outcome = OPEN;
	if (!same(fd, p))
		outcome = WALL_GONE;
	else if (!isatty(fd))
		outcome = WALL_FAILED;
	if (outcome != OPEN) {
		close(fd);
		fd = -1;
	}
	return outcome;
}

// Sets what became of p once nothing can cut the attempt at it short.
static void settle(struct pending *p, int outcome)
{
	std::atomic_signal_fence(std::memory_order_seq_cst);
	p->outcome = outcome;
}

// The first attempt at p: it takes what it takes at once, and is put aside
// for the rest; with no room left aside, it waits for it. The alarm may
// jump out of any point here, so nothing here uses a stream or the heap:
// the jump would leave the C library's state half changed for the next
// attempt.
static void deliver(struct pending *p, const struct message *m)
{
	int outcome = reach(p);

	if (outcome != OPEN) {
		settle(p, outcome == NOROOM ? WALL_FAILED : outcome);
		return;
	}
	// A terminal refuses a write that would wait while its queue is full,
	// its output stopped, or another process writes to it; a wait is
	// bounded by the alarm.
	int err = send(fd, m, &p->done);
	if (err == EAGAIN && naside < sizeof aside / sizeof aside[0])
		outcome = ASIDE;
	else if (err == EAGAIN && fcntl(fd, F_SETFL, 0) == 0)
		err = send(fd, m, &p->done);
	if (outcome != ASIDE)
		outcome = err == 0 ? WALL_SENT : WALL_FAILED;
	close(fd);
	fd = -1;
	// Only once closed in time: an abandoned attempt is not retried. Counted
	// only once whole, as the alarm may still come.
	if (outcome == ASIDE) {
		aside[naside] = *p;
		std::atomic_signal_fence(std::memory_order_seq_cst);
		naside++;
	}
	settle(p, outcome);
}

// The first attempt at a terminal a source names, once it is examined.
static void first(void *what, const struct message *m)
{
	struct term *t = static_cast<struct term *>(what);

	if (!examine(t)) {
		settle(&cur, UNLISTED);
		return;
	}
	// Every source's path fits: a longer one was refused.
	const size_t n = strnlen(t->w.path, sizeof cur.path - 1);
	memcpy(cur.path, t->w.path, n);
	cur.path[n] = '\0';
	cur.dev = t->dev;
	cur.owner = t->owner;
	deliver(&cur, m);
}

// One call into a terminal, abandoned where it stands after usec. The
// frames a jump leaves hold nothing that needs destroying, and what is read
// after it is the module's state, never a local changed since sigsetjmp.
// Whether it was abandoned.
static bool attempt(void (*fn)(void *what, const struct message *m), void *what,
    const struct message *m, long usec)
{
	fd = -1;
	arm(usec);
	if (sigsetjmp(jbuf, 0) != 0) {
		// Done here, not by every sigsetjmp: the next attempt needs it.
		unblockalarm();
		jbufset = 0;
		return true;
	}
	jbufset = 1;
	fn(what, m);
	jbufset = 0;
	arm(0);
	return false;
}

// Closes, with no limit, the descriptor that an abandoned open or close
// left.
static void loose()
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

// Terminals listed so far: the report's lines.
static size_t nlines;

static void visit(struct term *t, void *arg)
{
	const struct message *m = static_cast<const struct message *>(arg);

	cur.done = 0;
	cur.line = nlines;
	cur.outcome = WALL_TIMEOUT;
	attempt(first, t, m, 2000000);
	loose();
	if (cur.outcome == UNLISTED)
		return;
	if (m->report)
		keep(nlines, &t->w, cur.outcome, cur.done, m->due);
	nlines++;
}

// A terminal put aside, opened again for the window: the same device, with
// the owner it must have, or nothing is written.
static void reopen(void *what, const struct message * /*m*/)
{
	struct pending *p = static_cast<struct pending *>(what);
	const int outcome = reach(p);

	if (outcome == OPEN) {
		p->fd = fd;
		p->until = now() + 2;
	}
	settle(p, outcome);
}

// What is left for p, as much as it takes at once; closed once it has all,
// or takes no more.
static void more(void *what, const struct message *m)
{
	struct pending *p = static_cast<struct pending *>(what);
	const int err = send(p->fd, m, &p->done);

	if (err == EAGAIN)
		return;
	close(p->fd);
	p->fd = -1;
	settle(p, err == 0 ? WALL_SENT : WALL_FAILED);
}

// A terminal of the window whose time is up: closed, with no limit.
static void expire(struct pending *p)
{
	close(p->fd);
	p->fd = -1;
	p->outcome = WALL_TIMEOUT;
}

// An attempt at p in the window, with what is left of its 2 seconds; one
// cut short has run out of time.
static void within(void (*fn)(void *what, const struct message *m), struct pending *p,
    const struct message *m)
{
	const long left = static_cast<long>((p->until - now()) * 1e6);
	const bool cut = left <= 0 || attempt(fn, p, m, left);

	// What reopen opened is p's.
	if (p->outcome == OPEN)
		fd = -1;
	loose();
	if (cut && p->outcome == OPEN)
		expire(p);
}

// What became of a terminal put aside, in its line of the report.
static void told(const struct pending *p, const struct message *m)
{
	if (m->report)
		amend(p->line, p->outcome, p->done);
}

// The descriptors of the window polled, and whose they are.
static struct pollfd polled[sizeof aside / sizeof aside[0]];
static size_t whose[sizeof aside / sizeof aside[0]];

// The terminals put aside, from first on, written together: each is opened
// again and gets what is left of its bytes as it takes them, until it has
// all of them or its own 2 seconds since its reopen are up. Returns where
// the next window starts: where descriptors ran out, if they did.
static size_t window(size_t first, const struct message *m)
{
	size_t last = first;

	for (; last < naside; last++) {
		struct pending *p = &aside[last];

		p->fd = -1;
		p->outcome = WALL_TIMEOUT;
		p->until = now() + 2;
		// An open cut short is settled here: it holds no descriptor.
		within(reopen, p, m);
		if (p->outcome == NOROOM && last > first)
			break;
		if (p->outcome == NOROOM)
			p->outcome = WALL_FAILED;
		if (p->outcome != OPEN)
			told(p, m);
	}
	for (;;) {
		const double t = now();
		double next = 0;
		nfds_t n = 0;

		for (size_t i = first; i < last; i++) {
			struct pending *p = &aside[i];

			if (p->outcome != OPEN)
				continue;
			if (t >= p->until) {
				expire(p);
				told(p, m);
				continue;
			}
			polled[n] = {p->fd, POLLOUT, 0};
			whose[n++] = i;
			if (n == 1 || p->until < next)
				next = p->until;
		}
		if (n == 0)
			break;
		if (poll(polled, n, static_cast<int>((next - t) * 1000) + 1) <= 0)
			continue;
		bool moved = false;
		for (nfds_t k = 0; k < n; k++) {
			struct pending *p = &aside[whose[k]];
			const size_t done = p->done;

			if (polled[k].revents == 0)
				continue;
			within(more, p, m);
			moved = moved || p->done != done || p->outcome != OPEN;
			if (p->outcome != OPEN)
				told(p, m);
		}
		// Room, but refused: another writer holds the terminal. Let it.
		if (!moved) {
			const struct timespec ms = {0, 1000000};
			nanosleep(&ms, nullptr);
		}
	}
	return last;
}

// Lets go of the caller's standard streams: whoever reads the caller's
// output is not held up by the child, and a terminal opened later can
// never become one of them. Whether a report is asked for.
static bool letgo()
{
	const bool report = reporting();
	int null = open("/dev/null", O_RDWR);

	// Never left closed: a directory takes no writes.
	if (null < 0)
		null = open("/", O_RDONLY | O_DIRECTORY);
	for (int d = 0; d <= 2; d++)
		if (d != null)
			dup2(null, d);
	if (null > 2)
		close(null);
	return report;
}

// The child's part: every logged-in user's terminal in turn, each at once
// or put aside; then those put aside, together; then the report, if asked
// for; then exit.
[[noreturn]] static void walk(const char *banner, const char *text, gid_t group)
{
	char head[4096];
	const char *rest = text != nullptr ? text : "";
	size_t n = strlen(banner);
	struct rlimit fds;
	const bool report = letgo();

	// Those put aside are open together.
	if (getrlimit(RLIMIT_NOFILE, &fds) == 0 && fds.rlim_cur < fds.rlim_max) {
		fds.rlim_cur = fds.rlim_max;
		setrlimit(RLIMIT_NOFILE, &fds);
	}
	// The caller may go before it has heard all.
	if (report)
		signal(SIGPIPE, SIG_IGN);

	// The banner and the start of the text go out in one write, and are
	// shown once for all terminals.
	memcpy(head, banner, n + 1);
	n += shown(head + n, sizeof head - n, &rest, false);
	struct message m = {head, n, rest, report ? n + shownlen(rest) : 0, report};

	// The limit holds whatever the caller did to the alarm signal since the
	// first call: a handler of its own, or the signal ignored or blocked.
	catchalarm();
	unblockalarm();

	terminals(visit, &m, group);
	for (size_t from = 0; from < naside;)
		from = window(from, &m);
	if (report)
		tellall(nlines);
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
static void compose(char *banner, size_t size, int flags, const char *user,
    const char *ttynm, const char *date)
{
	if (flags & WALL_NOBANNER)
		banner[0] = '\0';
	else if (flags & WALL_REMOTE)
		snprintf(banner, size,
		    "\a\r\nRemote broadcast message (%s):\r\n\r\n", date);
	else
		snprintf(banner, size,
		    "\a\r\nBroadcast message from %s %s(%s):\r\n\r\n",
		    user, ttynm, date);
}

// The group a name or number gives, or -1 with errno set: ENOENT for none.
static gid_t groupid(const char *name)
{
	// Room for a group of many members.
	static char buf[1 << 18];
	struct group gr, *found = nullptr;
	char *end;

	int err = getgrnam_r(name, &gr, buf, sizeof buf, &found);
	if (err == 0 && found == nullptr && name[0] >= '0' && name[0] <= '9') {
		errno = 0;
		const unsigned long n = strtoul(name, &end, 10);
		if (*end == '\0' && errno == 0 && n < static_cast<gid_t>(-1))
			err = getgrgid_r(static_cast<gid_t>(n), &gr, buf, sizeof buf, &found);
	}
	if (err != 0 || found == nullptr) {
		errno = err != 0 ? err : ENOENT;
		return static_cast<gid_t>(-1);
	}
	return gr.gr_gid;
}

// Hands a dry run's terminals on to a caller's fn.
struct listing {
	wallfn *fn;
	void *arg;
	size_t due;
};

static void list(struct term *t, void *arg)
{
	const struct listing *l = static_cast<struct listing *>(arg);

	if (examine(t))
		l->fn(&t->w, WALL_LISTED, 0, l->due, l->arg);
}

int wallsend(const char *text, const char *group, int flags, wallfn *fn, void *arg)
{
	static int init;
	static const char *user;
	// As long as a whole banner, so the copy never cuts what a banner shows.
	static char name[81];
	static char ttynm[32];
	static char *date;
	static char nodate[1];
	char banner[81];
	gid_t gid = static_cast<gid_t>(-1);
	int from = -1;

	// A banner names who sent a message: without it, anyone could pass
	// their words off as the system's.
	if ((flags & WALL_NOBANNER) != 0 && getuid() != 0) {
		errno = EPERM;
		return -1;
	}
	if (group != nullptr && (gid = groupid(group)) == static_cast<gid_t>(-1))
		return -1;
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

	compose(banner, sizeof banner, flags, user, ttynm, date);

	if ((flags & WALL_DRYRUN) != 0) {
		struct listing l = {fn, arg, strlen(banner) + shownlen(text != nullptr ? text : "")};
		if (fn != nullptr)
			terminals(list, &l, gid);
		return 0;
	}

	// Loading a library is not safe in the child of a process with other
	// threads, which may hold the loader's state half changed at the fork:
	// such a caller loads sd-login and the password database's modules
	// here, once, and a single-threaded one leaves the cost to the child.
	if (!__libc_single_threaded)
		preload();

	if (fn != nullptr && (from = reportstart()) < 0)
		return -1;

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
		if (from >= 0)
			close(from);
		walk(banner, text, gid);
	}
	const int err = errno;
	sigprocmask(SIG_SETMASK, &mask, nullptr);
	if (fn == nullptr) {
		errno = err;
		return pid < 0 ? -1 : 0;
	}
	reportdone();
	if (pid < 0) {
		close(from);
		errno = err;
		return -1;
	}
	const bool whole = hear(from, fn, arg);
	close(from);
	while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
		;
	if (!whole) {
		errno = EPIPE;
		return -1;
	}
	return 0;
}

int wall(const char *text, int remote)
{
	return wallsend(text, nullptr, remote != 0 ? WALL_REMOTE : 0, nullptr, nullptr);
}
