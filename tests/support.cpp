// Real parts for the tests: pseudo-terminals, scratch login records and
// callers of wall in child processes.
// SPDX-License-Identifier: MIT

#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <map>

Pty::Pty()
{
	char buf[64];
	struct termios t;

	if (openpty(&master, &slave, buf, nullptr, nullptr) != 0)
		throw std::runtime_error("openpty failed");
	name = buf;
	tcgetattr(slave, &t);
	cfmakeraw(&t);
	tcsetattr(slave, TCSANOW, &t);
	// Callers may run as another user.
	fchmod(slave, 0666);
}

Pty::~Pty()
{
	close(slave);
	close(master);
}

std::string Pty::read() const
{
	std::string out;
	struct pollfd p = {master, POLLIN, 0};
	char buf[4096];

	// The pty hands data over asynchronously: wait until it has been quiet.
	for (int rounds = 0; rounds < 50 && poll(&p, 1, 200) > 0; rounds++) {
		ssize_t n = ::read(master, buf, sizeof buf);
		if (n <= 0)
			break;
		out.append(buf, n);
	}
	return out;
}

Ptys ptys(size_t n)
{
	Ptys v;

	while (n-- > 0)
		v.push_back(std::make_unique<Pty>());
	return v;
}

std::string deliveries(const std::string &out)
{
	std::string marked;
	const std::string end = "):\r\n\r\n";

	for (size_t at = 0; at < out.size();) {
		size_t stop = out[at] == BEL ? out.find(end, at) : std::string::npos;
		if (stop == std::string::npos) {
			marked += out[at++];
		} else {
			marked += '#';
			at = stop + end.size();
		}
	}
	return marked;
}

std::string deliveries(const Pty &tty)
{
	return deliveries(tty.read());
}

static void fill(char *field, size_t size, const std::string &value)
{
	// The fields are fixed-width, unterminated when full.
	// NOLINTNEXTLINE(bugprone-not-null-terminated-result)
	memcpy(field, value.data(), std::min(size, value.size()));
}

struct utmp record(const std::string &line, const std::string &user, short type)
{
	struct utmp ut;

	memset(&ut, 0, sizeof ut);
	ut.ut_type = type;
	ut.ut_pid = 1;
	fill(ut.ut_line, sizeof ut.ut_line, line);
	// Right after the line field: a reader that overruns it would see this.
	fill(ut.ut_id, sizeof ut.ut_id, "zzzz");
	fill(ut.ut_user, sizeof ut.ut_user, user);
	return ut;
}

void records(const std::string &path, const std::vector<struct utmp> &recs)
{
	int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	if (f < 0)
		throw std::runtime_error("cannot create " + path);
	fchmod(f, 0644); // callers may run as another user
	for (const struct utmp &ut : recs)
		if (write(f, &ut, sizeof ut) != sizeof ut)
			throw std::runtime_error("cannot write " + path);
	close(f);
}

// The records of the live Utmp, which each caller's /run holds.
static std::vector<struct utmp> listed;

Utmp::Utmp(const std::vector<struct utmp> &recs)
{
	listed = recs;
}

Utmp::~Utmp()
{
	listed.clear();
}

void must(bool ok)
{
	if (!ok)
		_exit(2);
}

void reap()
{
	bool failed = false;
	int status;

	while (wait(&status) > 0)
		if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
			failed = true;
	if (failed)
		_exit(3);
}

// Whether this process is in namespaces the test made for it, which hold
// only what the test put there.
static bool isolating;

// Writes text to the file at path; false if it cannot.
static bool put(const char *path, const std::string &text)
{
	const int f = open(path, O_WRONLY);
	const bool ok = f >= 0 && write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size());

	if (f >= 0)
		close(f);
	return ok;
}

// In a caller: a broadcast reaches the test's own terminals and nobody's
// else. A /run of its own, holding the live Utmp's records, hides the
// machine's login records and logind's sessions, and a password database of
// the caller alone keeps the users of the test's records from being the
// machine's, whose ptys would then count as logged in. Root has the mounts;
// another user has them in a user namespace of its own, keeping its ids.
// Why it could not be had, or "".
static std::string alone()
{
	if (isolating)
		return "";
	const uid_t uid = getuid();
	const gid_t gid = getgid();
	const struct passwd *pw = getpwuid(uid);
	std::string self;

	if (pw != nullptr)
		self = std::string(pw->pw_name) + ":x:" + std::to_string(uid) + ":" +
		    std::to_string(gid) + "::/:/bin/sh\n";

	if (geteuid() != 0) {
		if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
			return std::string("no user namespace of its own: unshare: ") + strerror(errno);
		const std::string id = std::to_string(uid), gr = std::to_string(gid);
		must(put("/proc/self/uid_map", id + " " + id + " 1") && put("/proc/self/setgroups", "deny") &&
		    put("/proc/self/gid_map", gr + " " + gr + " 1"));
	} else if (unshare(CLONE_NEWNS) != 0) {
		return std::string("no private namespace: unshare: ") + strerror(errno);
	}
	if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
		return "/ is not a mount point (a plain chroot?), so mounts cannot be made private";
	must(mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0);
	records("/run/utmp", listed);
	passwd(self);
	return "";
}

bool caller(const std::function<void()> &fn)
{
	int status;

	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		// A test with records of its own asked for them with NEEDS_OWN_RUN.
		must(alone().empty() || listed.empty());
		fn();
		reap();
		_exit(0);
	}
	return pid > 0 && waitpid(pid, &status, 0) == pid &&
	    WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void private_mounts()
{
	must(unshare(CLONE_NEWNS) == 0);
	must(mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0);
}

static std::string isolate();

// What probe answers in a child of its own, whose changes go with it; or
// why it could not be asked, naming what of.
static std::string inchild(const std::function<std::string()> &probe, const std::string &of)
{
	int p[2];

	if (pipe(p) != 0)
		return "cannot probe for " + of + ": pipe failed";
	fflush(nullptr);
	const pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		const std::string why = probe();
		_exit(write(p[1], why.data(), why.size()) == static_cast<ssize_t>(why.size()) ? 0 : 1);
	}
	close(p[1]);
	if (pid < 0) {
		close(p[0]);
		return "cannot probe for " + of + ": fork failed";
	}
	std::string why = drain(p[0]);
	int status;
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		why = "cannot probe for " + of + ": the probe did not finish";
	return why;
}

// Each step as the tests take it: a failure names the first one missing.
static std::string probe_private_root(int namespaces)
{
	if (geteuid() != 0)
		return "needs root for a private mount namespace";
	// fakeroot answers for the C library, not for the kernel.
	const long real = syscall(SYS_geteuid);
	if (real != 0)
		return "needs real root: euid 0 is pretended (fakeroot?), the "
		       "kernel's is " +
		    std::to_string(real);
	if (unshare(CLONE_NEWNS | namespaces) != 0)
		return std::string("no private namespace: unshare: ") + strerror(errno);
	if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
		return errno == EINVAL ?
		    "/ is not a mount point (a plain chroot?), so mounts cannot be made private" :
		    std::string("cannot make mounts private: ") + strerror(errno);
	if (mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0)
		return std::string("cannot mount a tmpfs on /run: ") + strerror(errno);
	// A chroot may lack what an isolated caller mounts on.
	if (namespaces & CLONE_NEWPID) {
		std::string why = inchild(isolate, "a pid namespace");
		if (!why.empty())
			return why;
	}
	// Last, as it gives root up.
	if (setuid(1) != 0 || syscall(SYS_geteuid) != 1)
		return "needs real root: changes of user are pretended (fakeroot?)";
	return "";
}

std::string no_private_root(int namespaces)
{
	static std::map<int, std::string> found;
	const auto known = found.find(namespaces);

	if (known != found.end())
		return known->second;
	return found[namespaces] = inchild([&] { return probe_private_root(namespaces); }, "root");
}

std::string no_own_run()
{
	static const std::string why = inchild(alone, "a /run of its own");

	return why;
}

std::string no_proc()
{
	char buf[64];

	if (readlink("/proc/self/exe", buf, sizeof buf) > 0)
		return "";
	return "/proc, which names the files of descriptors, is not mounted here (a bare chroot?)";
}

// Binds a file holding text onto path, in a private mount namespace.
static void bind(const char *path, const std::string &text)
{
	char buf[] = "/tmp/dowall-etc-XXXXXX";
	int f = mkstemp(buf);

	must(f >= 0);
	must(write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
	fchmod(f, 0644);
	close(f);
	private_mounts();
	// One bound before, its file gone, can only be replaced.
	umount2(path, MNT_DETACH);
	must(mount(buf, path, "none", MS_BIND, nullptr) == 0);
	unlink(buf);
}

void passwd(const std::string &text)
{
	bind("/etc/passwd", text);
}

void groups(const std::string &text)
{
	bind("/etc/group", text);
}

void stdin_from(const std::string &path)
{
	int f = open(path.c_str(), O_RDWR);

	must(f >= 0 && dup2(f, 0) == 0);
	close(f);
}

std::string datetext(time_t t)
{
	char buf[32];

	ctime_r(&t, buf);
	return std::string(buf, strcspn(buf, "\n"));
}

testing::AssertionResult stamped(const std::string &got, time_t t0, time_t t1,
    const std::function<std::string(const std::string &)> &make)
{
	for (time_t t = t0; t <= t1; t++)
		if (got == make(datetext(t)))
			return testing::AssertionSuccess();
	return testing::AssertionFailure()
	    << "got      " << testing::PrintToString(got) << "\nexpected "
	    << testing::PrintToString(make(datetext(t0)));
}

std::string local(const std::string &user, const std::string &tag,
    const std::string &date)
{
	const std::string banner = "\a\r\nBroadcast message from " + user + " " +
	    tag + "(" + date + "):\r\n\r\n";

	return banner.substr(0, 80);
}

std::string remote(const std::string &date)
{
	return "\a\r\nRemote broadcast message (" + date + "):\r\n\r\n";
}

std::string drain(int fd)
{
	std::string s;
	char buf[256];

	for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
		s.append(buf, n);
	close(fd);
	return s;
}

double now()
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

testing::AssertionResult costs2s(double seconds)
{
	if (seconds >= 1.5 && seconds <= 3.5)
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << "took " << seconds << " s";
}

std::string me()
{
	struct passwd *pw = getpwuid(getuid());

	return pw != nullptr ? pw->pw_name : "";
}

// The mounts of an isolated caller, made in the first process of its pid
// namespace; what could not be made, in words, or "".
static std::string isolate()
{
	const struct {
		const char *what, *source, *target, *type, *options;
		unsigned long flags;
	} mounts[] = {
	    {"a proc of its own on /proc", "proc", "/proc", "proc", nullptr, 0},
	    {"a tmpfs on /run", "tmpfs", "/run", "tmpfs", nullptr, 0},
	    {"a devpts instance of its own on /dev/pts", "devpts", "/dev/pts", "devpts",
		"newinstance,ptmxmode=0666,mode=0620", 0},
	    {"its ptmx on /dev/ptmx", "/dev/pts/ptmx", "/dev/ptmx", "none", nullptr, MS_BIND},
	    {"a tmpfs on /dev/shm", "tmpfs", "/dev/shm", "tmpfs", nullptr, 0},
	};

	for (const auto &m : mounts)
		if (mount(m.source, m.target, m.type, m.flags, m.options) != 0)
			return std::string("cannot mount ") + m.what + ": " + strerror(errno);
	if (mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/system", 0755) != 0 ||
	    mkdir("/run/systemd/sessions", 0755) != 0)
		return std::string("cannot make logind's directories: ") + strerror(errno);
	return "";
}

bool isolated(const std::function<void()> &fn)
{
	return caller([&] {
		private_mounts();
		must(unshare(CLONE_NEWPID) == 0);
		const pid_t init = fork();
		if (init == 0) {
			must(isolate().empty());
			records("/run/utmp", {});
			isolating = true;
			fn();
			reap();
			_exit(0);
		}
		int st;
		must(init > 0 && waitpid(init, &st, 0) == init && WIFEXITED(st) && WEXITSTATUS(st) == 0);
	});
}

void session(const std::string &id, const std::string &lines)
{
	const std::string path = "/run/systemd/sessions/" + id;
	const std::string text = "# This is private data. Do not parse.\n" + lines;
	const int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	must(f >= 0 && write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
	close(f);
}
