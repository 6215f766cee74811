// The terminals of the logged-in users: those the login records name, the
// TTYs of logind's sessions, and the ptys those users own.
// SPDX-License-Identifier: MIT

#include "terminals.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <paths.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utmp.h>

#if DOWALL_LOGIND
#include <systemd/sd-login.h>
#endif

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

// The number a /dev/pts entry's name gives, or -1: only plain decimal
// numbers name ptys.
static long ptynumber(const char *name)
{
	long n = 0;

	if (name[0] == '0' && name[1] != '\0')
		return -1;
	for (const char *p = name; *p != '\0'; p++) {
		if (*p < '0' || *p > '9' || p - name >= 9)
			return -1;
		n = n * 10 + (*p - '0');
	}
	return name[0] != '\0' ? n : -1;
}

// Whether bit k of bits, which holds size bytes, is set; none past them is.
static bool marked(const unsigned char *bits, size_t size, long k)
{
	return k >= 0 && static_cast<size_t>(k) < size * 8 && (bits[k / 8] & 1 << (k % 8)) != 0;
}

static void mark(unsigned char *bits, size_t size, long k)
{
	if (k >= 0 && static_cast<size_t>(k) < size * 8)
		bits[k / 8] |= 1 << (k % 8);
}

// Device numbers of the terminals the records and sessions gave, in order,
// so that a later source adds only what no earlier one gave. Past its size
// a device is not remembered and may be written twice: better than left
// out.
static dev_t seen[4096];
static size_t nseen;
// Of those, the ptys named /dev/pts/N with N below 4096, so that a look
// through /dev/pts passes them by without a stat of its own.
static unsigned char named[4096 / 8];

// Where dev is in seen, or would go.
static size_t place(dev_t dev)
{
	size_t lo = 0, hi = nseen;

	while (lo < hi) {
		const size_t mid = lo + (hi - lo) / 2;
		if (seen[mid] < dev)
			lo = mid + 1;
		else
			hi = mid;
	}
	return lo;
}

// Whether the character device dev is a terminal, as far as can be told
// without opening it: a pty, or a device of the tty class. Where /sys does
// not tell, any device may be one.
static bool terminal(dev_t dev)
{
	char link[64], target[256];

	// The majors of ptys, which /sys does not list.
	if (major(dev) >= 136 && major(dev) <= 143)
		return true;
	snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(dev), minor(dev));
	const ssize_t n = readlink(link, target, sizeof target - 1);
	if (n < 0)
		return access("/sys/dev/char", F_OK) != 0;
	target[n] = '\0';
	const char *name = strrchr(target, '/');
	return name != nullptr && strcmp(name, "/tty") == 0;
}

bool examine(struct term *t)
{
	struct stat st;
	// A record or a session may name any file, and any user's terminal.
	const bool given = t->dev == 0;

	if (given) {
		if (stat(t->w.path, &st) != 0 || !S_ISCHR(st.st_mode) ||
		    (t->owner != static_cast<uid_t>(-1) && st.st_uid != t->owner) || !terminal(st.st_rdev))
			return false;
		t->dev = st.st_rdev;
		if (strncmp(t->w.path, "/dev/pts/", 9) == 0)
			mark(named, sizeof named, ptynumber(t->w.path + 9));
	}
	const size_t at = place(t->dev);
	const bool before = at < nseen && seen[at] == t->dev;
	if (t->w.user == nullptr && before)
		return false;
	// Nothing comes after the owned ptys: they need no remembering.
	if (given && !before && nseen < sizeof seen / sizeof seen[0]) {
		memmove(seen + at + 1, seen + at, (nseen - at) * sizeof *seen);
		seen[at] = t->dev;
		nseen++;
	}
	return true;
}

// The group whose members alone are written, or (gid_t)-1 for everyone.
static gid_t group = static_cast<gid_t>(-1);

// Whether the user named name, whose primary group is gid, is a member of
// group, as id shows it: the primary group or a supplementary one.
static bool member(const char *name, gid_t gid)
{
	// As many groups as a user can have.
	static gid_t groups[65536];
	int n = sizeof groups / sizeof groups[0];

	if (group == static_cast<gid_t>(-1) || gid == group)
		return true;
	if (getgrouplist(name, gid, groups, &n) < 0)
		return false;
	for (int i = 0; i < n; i++)
		if (groups[i] == group)
			return true;
	return false;
}

// Room for any sane entry; the caller's own getpw* results stay theirs.
static char pwbuf[16384];

// The logged-in users, and whether each is of the group. Past its size a
// user is not remembered, and only the terminals the records and sessions
// name reach them.
static struct {
	uid_t uid;
	signed char member; // -1 until asked
} users[4096];
static size_t nusers;

static size_t among(uid_t uid)
{
	size_t i = 0;

	while (i < nusers && users[i].uid != uid)
		i++;
	return i;
}

static void login(uid_t uid, int member)
{
	const size_t i = among(uid);

	if (i == nusers && nusers < sizeof users / sizeof users[0]) {
		users[nusers].uid = uid;
		users[nusers++].member = static_cast<signed char>(member);
	}
}

static bool loggedin(uid_t uid)
{
	return among(uid) < nusers;
}

// Whether the user numbered uid is of the group; one the password database
// does not know is not, nor is (uid_t)-1, nobody known.
static bool ofgroup(uid_t uid)
{
	const size_t i = among(uid);
	struct passwd pw, *found = nullptr;

	if (group == static_cast<gid_t>(-1))
		return true;
	if (uid == static_cast<uid_t>(-1))
		return false;
	if (i < nusers && users[i].member >= 0)
		return users[i].member != 0;
	const bool yes = getpwuid_r(uid, &pw, pwbuf, sizeof pwbuf, &found) == 0 &&
	    found != nullptr && member(pw.pw_name, pw.pw_gid);
	if (i < nusers)
		users[i].member = yes ? 1 : 0;
	return yes;
}

// A record's user as the password database has it: whose terminal the
// record's must be, and whether the user is of the group, which one it
// does not know is not. Each distinct name is looked up once; a host's
// records repeat a few names many times. Past its size a name is looked
// up each time.
struct named {
	char name[sizeof utmp::ut_user + 1];
	bool found, member;
	uid_t uid;
};
static struct named names[256];
static size_t nnames;

static const struct named *byrecord(const char *name)
{
	static struct named extra;
	struct named *n = &extra;
	struct passwd pw, *found = nullptr;

	for (size_t i = 0; i < nnames; i++)
		if (strcmp(names[i].name, name) == 0)
			return &names[i];
	if (nnames < sizeof names / sizeof names[0])
		n = &names[nnames++];
	snprintf(n->name, sizeof n->name, "%s", name);
	n->found = getpwnam_r(name, &pw, pwbuf, sizeof pwbuf, &found) == 0 && found != nullptr;
	n->uid = n->found ? pw.pw_uid : static_cast<uid_t>(-1);
	n->member = n->found ? member(pw.pw_name, pw.pw_gid) : group == static_cast<gid_t>(-1);
	if (n->found)
		login(n->uid, n->member);
	return n;
}

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
		if (!sd.kind || !sd.state || !sd.uid || !sd.tty)
			sd.list = nullptr;
	}
	return sd.list != nullptr;
}

// Whether a session class is one of a user's, "user" or a variant such as
// "user-early"; greeters, lock screens and managers get nothing.
static bool userclass(const char *kind)
{
	return strncmp(kind, "user", 4) == 0 && (kind[4] == '\0' || kind[4] == '-');
}

// A session that is a user's and not closing logs its user in, and gives
// its TTY where logind knows one.
static void session(const char *name, visitfn *visit, void *arg)
{
	char path[sizeof "/dev/" + UT_LINESIZE];
	struct term t = {{path, nullptr, static_cast<uid_t>(-1), name}, 0, static_cast<uid_t>(-1)};
	char *kind = nullptr, *state = nullptr, *tty = nullptr;

	if (sd.kind(name, &kind) >= 0 && userclass(kind) && sd.state(name, &state) >= 0 &&
	    strcmp(state, "closing") != 0) {
		// A session's TTY must be its user's; one whose user logind
		// does not say may be anyone's.
		if (sd.uid(name, &t.w.uid) >= 0)
			login(t.w.uid, -1);
		else
			t.w.uid = static_cast<uid_t>(-1);
		t.owner = t.w.uid;
		if (sd.tty(name, &tty) >= 0 && tty != nullptr && tty[0] != '\0' &&
		    devpath(path, sizeof path, tty, strlen(tty)) && ofgroup(t.w.uid))
			visit(&t, arg);
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

// The ptys of logged-in users in one window of numbers, by number less the
// window's base, where there marks them.
static struct {
	dev_t dev;
	uid_t uid;
} found[4096];
// Cleared for each window, where found is only written where a pty is, so
// that a broadcast's child touches no more of found than it needs.
static unsigned char there[sizeof found / sizeof found[0] / 8];

// Finds the ptys of logged-in users numbered from base on, a window's
// worth, passing by those the records and sessions named. Returns whether
// /dev/pts holds numbers past the window.
static bool window(int dir, long base)
{
	const long size = sizeof found / sizeof found[0];
	char buf[4096];
	bool beyond = false;

	memset(there, 0, sizeof there);
	if (base > 0)
		lseek(dir, 0, SEEK_SET);
	for (ssize_t n; (n = getdents64(dir, buf, sizeof buf)) > 0;) {
		for (ssize_t at = 0; at < n;) {
			const struct dirent64 *d = reinterpret_cast<struct dirent64 *>(buf + at);
			const long k = ptynumber(d->d_name);
			struct stat st;

			at += d->d_reclen;
			beyond = beyond || k >= base + size;
			// One named already is not even looked at; one given under
			// another name, examine refuses.
			if (k < base || k >= base + size || marked(named, sizeof named, k) ||
			    fstatat(dir, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
			    !S_ISCHR(st.st_mode) || !loggedin(st.st_uid) || !ofgroup(st.st_uid))
				continue;
			found[k - base].dev = st.st_rdev;
			found[k - base].uid = st.st_uid;
			mark(there, sizeof there, k - base);
		}
	}
	return beyond;
}

// The ptys that logged-in users own, by number: every terminal a user
// opens (a login's, a tmux pane's, a terminal window's) is theirs, so no
// process need be looked at. The numbers are taken a window at a time, so
// that any number of ptys fits in fixed storage; the default limit of
// 4096 ptys makes one window.
static void owned(visitfn *visit, void *arg)
{
	const long size = sizeof found / sizeof found[0];
	char path[sizeof "/dev/pts/" + 10];

	if (nusers == 0)
		return;
	const int dir = open("/dev/pts", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return;
	for (long base = 0, more = 1; more; base += size) {
		more = window(dir, base);
		for (long i = 0; i < size; i++) {
			if (!marked(there, sizeof there, i))
				continue;
			snprintf(path, sizeof path, "/dev/pts/%u", static_cast<unsigned>(base + i));
			struct term t = {{path, nullptr, found[i].uid, nullptr}, found[i].dev, found[i].uid};
			visit(&t, arg);
		}
	}
	close(dir);
}

// The terminal of a login record of a user process, which must be the
// user's where the password database knows the user.
static void record(const struct utmp *ut, visitfn *visit, void *arg)
{
	char path[sizeof "/dev/" + UT_LINESIZE];
	char user[sizeof utmp::ut_user + 1];
	struct term t = {{path, user, static_cast<uid_t>(-1), nullptr}, 0, static_cast<uid_t>(-1)};

	if (ut->ut_type != USER_PROCESS || ut->ut_user[0] == '\0')
		return;
	// A line or user fills its field without a terminator when it is that
	// long; "/dev/" and a whole line always fit in path.
	snprintf(user, sizeof user, "%.*s", static_cast<int>(sizeof ut->ut_user), ut->ut_user);
	const struct named *who = byrecord(user);
	t.owner = who->uid;
	if (who->member && devpath(path, sizeof path, ut->ut_line, strnlen(ut->ut_line, sizeof ut->ut_line)))
		visit(&t, arg);
}

// The login records, read straight from their file a whole record at a
// time: the C library's reader waits on a lock that any user's stopped
// helper can hold, and then reads nothing. A record half written is not
// read.
static void records(visitfn *visit, void *arg)
{
	struct utmp buf[16];
	struct stat st;

	const int f = open(_PATH_UTMP, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (f < 0)
		return;
	// Only a file: another kind could hold the walk up.
	bool more = fstat(f, &st) == 0 && S_ISREG(st.st_mode);
	for (off_t at = 0; more;) {
		const ssize_t n = pread(f, buf, sizeof buf, at);
		if (n < 0 && errno == EINTR)
			continue;
		more = n >= static_cast<ssize_t>(sizeof *buf);
		const size_t k = more ? static_cast<size_t>(n) / sizeof *buf : 0;
		for (size_t i = 0; i < k; i++)
			record(&buf[i], visit, arg);
		at += static_cast<off_t>(k * sizeof *buf);
	}
	close(f);
}

void terminals(visitfn *visit, void *arg, gid_t members)
{
	nseen = 0;
	memset(named, 0, sizeof named);
	nusers = 0;
	nnames = 0;
	group = members;
	records(visit, arg);
	sessions(visit, arg);
	owned(visit, arg);
}

void preload()
{
	static bool loaded;

	if (!loaded) {
		loaded = true;
		loadsd();
		// The password database's modules load at their first lookup: one
		// that finds nothing goes through them all.
		struct passwd pw, *found;
		getpwnam_r("", &pw, pwbuf, sizeof pwbuf, &found);
	}
}

// Hands examined terminals on to a caller's fn.
struct handover {
	void (*fn)(const struct wallterm *t, void *arg);
	void *arg;
	int n;
};

static void handon(struct term *t, void *arg)
{
	struct handover *h = static_cast<struct handover *>(arg);

	if (!examine(t))
		return;
	h->fn(&t->w, h->arg);
	h->n++;
}

int wallterms(void (*fn)(const struct wallterm *t, void *arg), void *arg)
{
	struct handover h = {fn, arg, 0};

	terminals(handon, &h, static_cast<gid_t>(-1));
	return h.n;
}
