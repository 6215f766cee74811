// Broadcast of a message to the terminals of all logged-in users.
// SPDX-License-Identifier: MIT

#include "dowall.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/single_threaded.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#if DOWALL_LOGIND
#include <systemd/sd-login.h>
#endif

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

// Composes the path of the terminal named by the first len bytes of name,
// relative to /dev/ or beginning with it; false if it must not be opened.
// A name too long for path is refused, never cut.
static bool devpath(char *path, size_t size, const char *name, size_t len)
{
	if (len >= 5 && strncmp(name, "/dev/", 5) == 0) {
		name += 5;
		len -= 5;
	}
	const int n = snprintf(path, size, "/dev/%.*s", static_cast<int>(len), name);
	return n >= 0 && static_cast<size_t>(n) < size && !climbs(path);
}

// Device numbers of the terminals examined so far, so that a session adds
// only what no record and no earlier session gave. Past its size a device
// is not remembered and may be written twice: better than left out.
static dev_t seen[4096];
static size_t nseen;

// Whether the terminal at path may be attempted: a record may name any
// file, and a session too, so only character devices are, and of those a
// session gives only one that is new and, where dev is not 0, that device.
static bool examine(const struct wallterm *t, dev_t dev)
{
	struct stat st;

	if (stat(t->path, &st) != 0 || !S_ISCHR(st.st_mode))
		return false;
	if (t->session != nullptr) {
		if (dev != 0 && st.st_rdev != dev)
			return false;
		for (size_t i = 0; i < nseen; i++)
			if (seen[i] == st.st_rdev)
				return false;
	}
	if (nseen < sizeof seen / sizeof seen[0])
		seen[nseen++] = st.st_rdev;
	return true;
}

// What visits each terminal a source names, with the device it must be
// (or 0); it examines the terminal itself.
typedef void visitfn(const struct wallterm *t, dev_t dev, void *arg);

#if DOWALL_LOGIND
// sd-login, from libsystemd loaded at run time rather than linked: programs
// that link the module need no more, and a host without it still has the
// login records.
static struct {
	bool tried;
	decltype(&sd_get_sessions) list;
	decltype(&sd_session_get_class) kind;
	decltype(&sd_session_get_state) state;
	decltype(&sd_session_get_uid) uid;
	decltype(&sd_session_get_tty) tty;
	int (*leader)(const char *session, pid_t *pid); // libsystemd 254 on
} sd;

template <typename Fn> static void lookup(void *lib, Fn *fn, const char *name)
{
	*fn = reinterpret_cast<Fn>(dlsym(lib, name));
}

// Whether sd-login is there; loads it the first time.
static bool loadsd()
{
	if (!sd.tried) {
		sd.tried = true;
		// Without systemd as init there is no logind, and nothing to load.
		if (access("/run/systemd/system", F_OK) != 0)
			return false;
		void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
		if (lib == nullptr)
			return false;
		lookup(lib, &sd.list, "sd_get_sessions");
		lookup(lib, &sd.kind, "sd_session_get_class");
		lookup(lib, &sd.state, "sd_session_get_state");
		lookup(lib, &sd.uid, "sd_session_get_uid");
		lookup(lib, &sd.tty, "sd_session_get_tty");
		lookup(lib, &sd.leader, "sd_session_get_leader");
		if (!sd.kind || !sd.state || !sd.uid || !sd.tty)
			sd.list = nullptr;
	}
	return sd.list != nullptr;
}

// Reads the file at path into buf, as text; its length, or -1.
static ssize_t slurp(const char *path, char *buf, size_t size)
{
	const int f = open(path, O_RDONLY | O_CLOEXEC);
	size_t n = 0;

	if (f < 0)
		return -1;
	while (n < size - 1) {
		const ssize_t got = read(f, buf + n, size - 1 - n);

		if (got > 0)
			n += static_cast<size_t>(got);
		else if (got == 0)
			break;
		else if (errno != EINTR) {
			close(f);
			return -1;
		}
	}
	close(f);
	buf[n] = '\0';
	return static_cast<ssize_t>(n);
}

// The controlling terminal of process pid as /proc shows it, or 0, and
// how many threads it has.
static dev_t ctty(pid_t pid, long *threads)
{
	char path[40], buf[1024];
	dev_t tty = 0;

	*threads = 0;
	snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
	if (slurp(path, buf, sizeof buf) <= 0)
		return 0;
	// The name in parentheses is the process's own choice: skip past it.
	// The terminal is the fifth field after it, a whole device number,
	// and the number of threads the eighteenth.
	const char *p = strrchr(buf, ')');
	for (int i = 1; p != nullptr && i <= 18; i++) {
		p = strchr(p + 1, ' ');
		if (p != nullptr && i == 5)
			tty = static_cast<dev_t>(strtoul(p + 1, nullptr, 10));
		if (p != nullptr && i == 18)
			*threads = strtol(p + 1, nullptr, 10);
	}
	return tty;
}

// Adds the pids that the children file at path lists to the queue, as far
// as it has room; returns its new length.
static size_t adopt(const char *path, pid_t *queue, size_t len, size_t size)
{
	char list[4096];

	if (slurp(path, list, sizeof list) <= 0)
		return len;
	for (char *p = list, *end; len < size; p = end) {
		const long child = strtol(p, &end, 10);
		if (end == p)
			break;
		if (child > 0)
			queue[len++] = static_cast<pid_t>(child);
	}
	return len;
}

// Adds the children of every thread of pid to the queue, as far as it has
// room; returns its new length. A process of one thread has one list.
static size_t children(pid_t pid, long threads, pid_t *queue, size_t len, size_t size)
{
	char path[64], buf[4096];

	if (threads == 1) {
		snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
		    static_cast<int>(pid));
		return adopt(path, queue, len, size);
	}
	snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
	const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return len;
	for (ssize_t n; (n = getdents64(dir, buf, sizeof buf)) > 0;) {
		for (ssize_t at = 0; at < n;) {
			const struct dirent64 *d = reinterpret_cast<struct dirent64 *>(buf + at);

			at += d->d_reclen;
			if (d->d_name[0] < '1' || d->d_name[0] > '9')
				continue;
			snprintf(path, sizeof path, "/proc/%d/task/%.20s/children",
			    static_cast<int>(pid), d->d_name);
			len = adopt(path, queue, len, size);
		}
	}
	close(dir);
	return len;
}

// Whether process pid is still in the control group of session name, as
// systemd names it (session-NAME.scope, inside slices), so that a pid that
// another process took since leads nowhere. Read from /proc, for a tenth
// of what sd_pid_get_session costs.
static bool insession(pid_t pid, const char *name)
{
	char path[40], buf[4096];
	const size_t id = strlen(name);

	snprintf(path, sizeof path, "/proc/%d/cgroup", static_cast<int>(pid));
	if (slurp(path, buf, sizeof buf) <= 0)
		return false;
	// Lines of "hierarchy:controllers:path"; systemd's own tree is the
	// unified one (no controllers) or, on old systems, name=systemd.
	for (char *line = buf, *next; line != nullptr && *line != '\0'; line = next) {
		next = strchr(line, '\n');
		if (next != nullptr)
			*next++ = '\0';
		char *tree = strchr(line, ':');
		char *cg = tree != nullptr ? strchr(tree + 1, ':') : nullptr;
		if (cg == nullptr || (cg != tree + 1 && strncmp(tree + 1, "name=systemd:", 13) != 0))
			continue;
		// The first part that is not a slice is the unit.
		for (char *part = cg + 1; *part == '/';) {
			const size_t len = strcspn(part + 1, "/");
			if (len > 6 && strncmp(part + 1 + len - 6, ".slice", 6) == 0) {
				part += 1 + len;
				continue;
			}
			if (len == 8 + id + 6 && strncmp(part + 1, "session-", 8) == 0 &&
			    strncmp(part + 9, name, id) == 0 && strncmp(part + 9 + id, ".scope", 6) == 0)
				return true;
			break;
		}
	}
	return false;
}

// The terminals of a session that logind gives no terminal, ssh logins
// among them: the controlling terminals of its leader and the leader's
// descendants. Only pseudo-terminals and virtual consoles are looked for.
static void descend(pid_t leader, struct wallterm *t, char *path, size_t size,
    visitfn *visit, void *arg)
{
	// Past this many processes, the rest of the tree is not looked at.
	pid_t queue[1024];
	size_t len = 0;

	queue[len++] = leader;
	for (size_t i = 0; i < len; i++) {
		long threads;
		const dev_t dev = ctty(queue[i], &threads);
		const unsigned maj = major(dev), min = minor(dev);

		if (maj == 136 || (maj == 4 && min >= 1 && min < 64)) {
			snprintf(path, size, maj == 136 ? "/dev/pts/%u" : "/dev/tty%u", min);
			visit(t, dev, arg);
		}
		len = children(queue[i], threads, queue, len, sizeof queue / sizeof queue[0]);
	}
}

// Whether a session class is one of a user's, "user" or a variant such as
// "user-early"; greeters, lock screens and managers get nothing.
static bool userclass(const char *kind)
{
	return strncmp(kind, "user", 4) == 0 && (kind[4] == '\0' || kind[4] == '-');
}

// The terminals of one session that is a user's and not closing.
static void session(const char *name, visitfn *visit, void *arg)
{
	char path[sizeof "/dev/" + UT_LINESIZE];
	struct wallterm t = {path, nullptr, static_cast<uid_t>(-1), name};
	char *kind = nullptr, *state = nullptr, *tty = nullptr;
	pid_t leader = 0;

	if (sd.kind(name, &kind) < 0 || !userclass(kind) ||
	    sd.state(name, &state) < 0 || strcmp(state, "closing") == 0) {
		// Not a session to write.
	} else if (sd.tty(name, &tty) >= 0 && tty != nullptr && tty[0] != '\0') {
		if (devpath(path, sizeof path, tty, strlen(tty)))
			visit(&t, 0, arg);
	} else if (sd.leader != nullptr && sd.leader(name, &leader) >= 0 && leader > 0 &&
	    insession(leader, name)) {
		descend(leader, &t, path, sizeof path, visit, arg);
	}
	free(kind);
	free(state);
	free(tty);
}

static int byid(const void *a, const void *b)
{
	return strverscmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// Every session logind lists, in the order of their ids, numbers in
// numeric order, so that a broadcast is the same each time.
static void sessions(visitfn *visit, void *arg)
{
	char **names = nullptr;
	const int n = loadsd() ? sd.list(&names) : 0;

	if (n > 0 && names != nullptr) {
		qsort(names, static_cast<size_t>(n), sizeof *names, byid);
		for (int i = 0; i < n; i++) {
			session(names[i], visit, arg);
			free(names[i]);
		}
	}
	free(names);
}
#else
static bool loadsd()
{
	return false;
}

static void sessions(visitfn * /*visit*/, void * /*arg*/)
{
}
#endif

// Every terminal, in the order it is written: those of the login records
// from where they stand, each as often as a record names it, then those of
// logind's sessions that no record gave.
static void terminals(visitfn *visit, void *arg)
{
	char path[sizeof "/dev/" + UT_LINESIZE];
	char user[sizeof utmp::ut_user + 1];
	struct wallterm t = {path, user, static_cast<uid_t>(-1), nullptr};
	struct utmp *ut;

	nseen = 0;
	while ((ut = getutent()) != nullptr) {
		if (ut->ut_type != USER_PROCESS || ut->ut_user[0] == '\0')
			continue;
		// A line or user fills its field without a terminator when it is
		// that long; "/dev/" and a whole line always fit in path.
		snprintf(user, sizeof user, "%.*s", static_cast<int>(sizeof ut->ut_user), ut->ut_user);
		if (devpath(path, sizeof path, ut->ut_line, strnlen(ut->ut_line, sizeof ut->ut_line)))
			visit(&t, 0, arg);
	}
	sessions(visit, arg);
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

// What the child writes to each terminal.
struct message {
	const char *banner;
	const char *text;
};

// Banner and filtered text to the terminal t. The alarm may jump out of any
// point here, so nothing here uses a stream or the heap: the jump would
// leave the C library's state half changed for the next attempt.
static void deliver(const struct wallterm *t, dev_t dev, const struct message *m)
{
	char out[4096];

	if (!examine(t, dev))
		return;
	fd = open(t->path, O_WRONLY | O_NONBLOCK);
	if (fd < 0)
		return;
	// The open must not wait (for a carrier, say), but the writes must: a
	// terminal refuses a non-blocking write while its queue is full or
	// another process writes to it, and the alarm bounds the wait.
	if (isatty(fd) && fcntl(fd, F_SETFL, 0) == 0) {
		// The banner and the start of the text go out in one write.
		const char *p = m->text != nullptr ? m->text : "";
		size_t n = strlen(m->banner);

		memcpy(out, m->banner, n);
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
static void attempt(const struct wallterm *t, dev_t dev, void *arg)
{
	fd = -1;
	alarm(2);
	if (sigsetjmp(jbuf, 1) == 0) {
		jbufset = 1;
		deliver(t, dev, static_cast<const struct message *>(arg));
	}
	jbufset = 0;
	// An abandoned attempt's descriptor is closed here, with no limit.
	if (fd >= 0)
		close(fd);
	fd = -1;
	alarm(0);
}

// The child's part: every logged-in user's terminal in turn, then exit.
[[noreturn]] static void walk(const char *banner, const char *text)
{
	struct message m = {banner, text};
	sigset_t alrm;

	// The limit holds whatever the caller did to the alarm signal since the
	// first call: a handler of its own, or the signal ignored or blocked.
	catchalarm();
	sigemptyset(&alrm);
	sigaddset(&alrm, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alrm, nullptr);

	terminals(attempt, &m);
	endutent();
	// Not exit: the caller's unflushed output and exit handlers are its own.
	_exit(0);
}

// Hands examined terminals on to a caller's fn.
struct handover {
	void (*fn)(const struct wallterm *t, void *arg);
	void *arg;
	int n;
};

// The walk has no use for a session's user, which would cost it one more
// reading of the session: only a caller is told it.
static void handon(const struct wallterm *t, dev_t dev, void *arg)
{
	struct handover *h = static_cast<struct handover *>(arg);
	struct wallterm told = *t;

	if (!examine(t, dev))
		return;
#if DOWALL_LOGIND
	if (told.session != nullptr && sd.uid(told.session, &told.uid) < 0)
		told.uid = static_cast<uid_t>(-1);
#endif
	h->fn(&told, h->arg);
	h->n++;
}

int wallterms(void (*fn)(const struct wallterm *t, void *arg), void *arg)
{
	struct handover h = {fn, arg, 0};

	setutent();
	terminals(handon, &h);
	endutent();
	return h.n;
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
	// threads, which may hold the loader's or allocator's state half
	// changed at the fork: such a caller loads sd-login here, once, and
	// a single-threaded one leaves the cost to the child.
	if (!__libc_single_threaded)
		loadsd();

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
