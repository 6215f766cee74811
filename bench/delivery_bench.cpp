// What one broadcast costs per terminal, next to the least that writing the
// same bytes to the same terminals can cost, what the caller waits for, and
// what terminals that take nothing hold up.
// SPDX-License-Identifier: MIT

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <paths.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "dowall.h"

namespace {

// Terminals as logged-in users hold them: the slave stays open, so an open
// by the broadcast is never the first nor its close the last.
struct Term {
	int master;
	int slave;
	std::string path;
};

std::vector<Term> terms;

const char oneline[] = "The system goes down for maintenance at 18:00; please log out.";
const char tenlines[] =
    "The system goes down for maintenance at 18:00.\n"
    "Please save your work and log out before then.\n"
    "The file servers stay up; only this host stops.\n"
    "Jobs still running at 18:00 will be killed.\n"
    "Queued batch jobs are held and start again later.\n"
    "The downtime is planned for two hours.\n"
    "Mail sent during the downtime is not lost.\n"
    "The web front end shows the progress.\n"
    "Questions go to the operators' desk.\n"
    "Thank you for your patience.";

double now()
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void die(const char *what)
{
	perror(what);
	exit(1);
}

// Room for a master and a slave per terminal, and the bench's own files.
void descriptors(size_t n)
{
	struct rlimit rl;

	if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
		die("getrlimit");
	rlim_t want = 2 * n + 64;
	if (rl.rlim_cur >= want)
		return;
	if (rl.rlim_max < want)
		rl.rlim_max = want; // root may raise the hard limit too
	rl.rlim_cur = want;
	if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
		die("setrlimit");
}

// Whether the bench's /run has room for session files, so that it lists
// sessions of its own as logind would.
bool ownrun;
// The user of the records: the one who owns the ptys, so that a broadcast
// looking for that user's ptys finds them all written already.
std::string recorded = "root";

// A /run and a devpts instance of the bench's own, for its login records,
// session files and ptys: a broadcast reads the records from their file in
// /run, so without them it would reach the host's users. Needs root.
bool own()
{
	struct stat run, var;

	if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
	    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 ||
	    mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
	    // openpty opens /dev/ptmx, which must make ptys of this instance.
	    mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) != 0)
		return false;
	// The records' directory (/var/run) must be the /run just mounted.
	std::string dir = _PATH_UTMP;
	dir.erase(dir.rfind('/'));
	if (stat("/run", &run) != 0 || stat(dir.c_str(), &var) != 0 || run.st_dev != var.st_dev ||
	    run.st_ino != var.st_ino)
		return false;
	ownrun = mkdir("/run/systemd", 0755) == 0 && mkdir("/run/systemd/sessions", 0755) == 0;
	const struct passwd *pw = getpwuid(0);
	if (pw != nullptr)
		recorded = pw->pw_name;
	return true;
}

// Login records for the first n terminals, in the bench's own /run: the
// first k name the user who, the rest the records' user.
void record(size_t n, size_t k = 0, const char *who = nullptr)
{
	int f = open(_PATH_UTMP, O_WRONLY | O_CREAT | O_TRUNC, 0664);

	if (f < 0)
		die(_PATH_UTMP);
	for (size_t i = 0; i < n; i++) {
		struct utmp ut;

		memset(&ut, 0, sizeof ut);
		ut.ut_type = USER_PROCESS;
		ut.ut_pid = getpid();
		strncpy(ut.ut_line, terms[i].path.c_str() + 5, sizeof ut.ut_line);
		strncpy(ut.ut_user, i < k ? who : recorded.c_str(), sizeof ut.ut_user);
		if (write(f, &ut, sizeof ut) != sizeof ut)
			die("write");
	}
	close(f);
}

// Exactly n terminals, so that a look through /dev/pts finds no more than
// asked for, and login records that list just them, or none of them.
void terminals(size_t n, bool listed = true)
{
	descriptors(n);
	for (; terms.size() > n; terms.pop_back()) {
		close(terms.back().master);
		close(terms.back().slave);
	}
	while (terms.size() < n) {
		Term t;
		char name[64];

		if (openpty(&t.master, &t.slave, name, nullptr, nullptr) != 0)
			die("openpty");
		fcntl(t.master, F_SETFL, O_NONBLOCK);
		t.path = name;
		terms.push_back(t);
	}
	record(listed ? n : 0);
}

// Empties the terminals, so that every delivery finds room; how many had
// anything to read.
size_t drain(size_t n)
{
	char buf[4096];
	size_t had = 0;

	for (size_t i = 0; i < n; i++) {
		ssize_t got = read(terms[i].master, buf, sizeof buf);
		had += got > 0;
		while (got > 0)
			got = read(terms[i].master, buf, sizeof buf);
	}
	return had;
}

// What share of the n terminals each broadcast reached: a build that
// leaves some out looks the cheaper for it.
benchmark::Counter share(size_t reached, size_t n)
{
	return {static_cast<double>(reached) / static_cast<double>(n), benchmark::Counter::kAvgIterations};
}

// The banner as the broadcast composes it for this process.
std::string banner()
{
	struct passwd *pw = getpwuid(getuid());
	const char *tty = ttyname(0);
	time_t t = time(nullptr);
	std::string date = ctime(&t);
	std::string tag;
	char buf[81];

	date.erase(date.find('\n'));
	if (tty != nullptr)
		tag = std::string("(") + (strncmp(tty, "/dev/", 5) == 0 ? tty + 5 : tty) + ") ";
	snprintf(buf, sizeof buf, "\a\r\nBroadcast message from %s %s(%s):\r\n\r\n",
	    pw != nullptr ? pw->pw_name : "root", tag.c_str(), date.c_str());
	return buf;
}

// The pieces a line-buffered stream writes: up to each line feed, then the rest.
std::vector<std::string> lines(const std::string &s)
{
	std::vector<std::string> out;
	size_t from = 0;

	for (size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1)
		out.push_back(s.substr(from, nl + 1 - from));
	if (from < s.size())
		out.push_back(s.substr(from));
	return out;
}

// Seconds that fn takes in a child of its own, as the broadcast's walk
// does, so that both pay for one process. A floor that failed part way
// would look cheap, so its failure ends the bench.
template <typename Fn> double forked(Fn fn)
{
	double t0 = now();
	pid_t pid = fork();
	int status;

	if (pid < 0)
		die("fork");
	if (pid == 0) {
		fn();
		_exit(0);
	}
	if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "a floor failed\n");
		exit(1);
	}
	return now() - t0;
}

// Open, the given writes, close, in a floor's child.
void put(const char *path, const std::vector<std::string> &pieces)
{
	int d = open(path, O_WRONLY | O_NONBLOCK);

	if (d < 0)
		_exit(1);
	for (const std::string &p : pieces)
		if (write(d, p.data(), p.size()) < 0)
			_exit(1);
	close(d);
}

double module(const char *text)
{
	double t0 = now();

	wall(text, 0);
	// wall's only child; nothing else of the bench's is running.
	if (wait(nullptr) < 0)
		die("wait");
	return now() - t0;
}

// Open, the given writes, close: one write of banner and text is the raw
// floor, the stream's writes one line each the same-writes floor.
double direct(size_t n, const std::vector<std::string> &pieces)
{
	return forked([&] {
		for (size_t i = 0; i < n; i++)
			put(terms[i].path.c_str(), pieces);
	});
}

// Calls fn for each login record, read as the broadcast reads them: from
// their file, whole records a batch at a time, with no lock.
template <typename Fn> void records(Fn fn)
{
	struct utmp buf[16];
	const int f = open(_PATH_UTMP, O_RDONLY);
	ssize_t n;

	if (f < 0)
		_exit(1);
	for (off_t at = 0; (n = pread(f, buf, sizeof buf, at)) >= static_cast<ssize_t>(sizeof *buf); at += n) {
		n -= n % static_cast<ssize_t>(sizeof *buf);
		for (const struct utmp *ut = buf; ut < buf + n / static_cast<ssize_t>(sizeof *buf); ut++)
			fn(ut);
	}
	close(f);
}

// Only the walk through the login records that the broadcast makes, which
// the other floors leave out: what reading them costs.
double walk()
{
	return forked([] { records([](const struct utmp * /*ut*/) {}); });
}

// The design floor: what the design itself must do for each terminal, in
// one child as the broadcast does: read its record, then open it, write
// banner and text at once and close it.
double design(const std::vector<std::string> &whole)
{
	return forked([&] {
		records([&](const struct utmp *ut) {
			char path[sizeof "/dev/" + UT_LINESIZE];

			snprintf(path, sizeof path, "/dev/%.*s", static_cast<int>(sizeof ut->ut_line),
			    ut->ut_line);
			if (ut->ut_type == USER_PROCESS)
				put(path, whole);
		});
	});
}

// One broadcast to n terminals and the floors over the same terminals, in
// turns, so that drift in the machine reaches them all alike.
void BM_Deliver(benchmark::State &state)
{
	const size_t n = state.range(0);
	const char *text = state.range(1) == 1 ? oneline : tenlines;
	const std::string bytes = banner() + text;
	const std::vector<std::string> whole = {bytes};
	// The banner ends in a line feed, so its lines and the text's are these.
	const std::vector<std::string> pieces = lines(bytes);
	double tm = 0, tr = 0, ts = 0, tw = 0, td = 0;
	size_t reached = 0;

	terminals(n);
	module(text); // the one-time set-up of the first call
	drain(n);
	for (auto _ : state) {
		double m = module(text);
		reached += drain(n);
		tr += direct(n, whole);
		drain(n);
		ts += direct(n, pieces);
		drain(n);
		tw += walk();
		td += design(whole);
		drain(n);
		tm += m;
		state.SetIterationTime(m);
	}
	const double per = 1e6 / (static_cast<double>(n) * static_cast<double>(state.iterations()));
	state.counters["module_us"] = tm * per;
	state.counters["raw_us"] = tr * per;
	state.counters["same_us"] = ts * per;
	state.counters["walk_us"] = tw * per;
	state.counters["design_us"] = td * per;
	state.counters["x_design"] = tm / td;
	state.counters["x_raw"] = tm / tr;
	state.counters["x_same"] = tm / ts;
	state.counters["writes"] = static_cast<double>(pieces.size());
	state.counters["reached"] = share(reached, n);
}
BENCHMARK(BM_Deliver)
    ->ArgNames({"ttys", "lines"})
    ->ArgsProduct({{1, 10, 100, 1000}, {1, 10}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The user whose terminals are stopped: one the password database knows,
// so that the broadcast checks that each is theirs, as it does on a host.
const char stopper[] = "nobody";

// Reads the master of t until text has arrived whole, or nothing has come
// for 10 seconds; whether it did.
bool arrives(const Term &t, const char *text)
{
	const size_t n = strlen(text);
	struct pollfd p = {t.master, POLLIN, 0};
	std::string got;
	char buf[4096];

	while (got.size() < n || got.compare(got.size() - n, n, text) != 0) {
		if (poll(&p, 1, 10000) <= 0)
			return false;
		const ssize_t r = read(t.master, buf, sizeof buf);
		if (r < 0 && errno != EAGAIN)
			return false;
		if (r > 0)
			got.append(buf, static_cast<size_t>(r));
	}
	return true;
}

// One broadcast to k terminals of one user whose output is stopped, as by
// Ctrl-S, and to a healthy one of another user listed after them: when the
// healthy one has its copy, which is about when the first pass ends, and
// when the broadcast's child ends.
void BM_Stopped(benchmark::State &state)
{
	const size_t k = state.range(0);
	const struct passwd *pw = getpwnam(stopper);
	struct termios raw;
	double th = 0, tl = 0;
	size_t reached = 0;

	if (pw == nullptr)
		return state.SkipWithError("needs the user nobody");
	terminals(0, false); // none stopped by an earlier run
	terminals(k + 1, false);
	module(oneline); // the one-time set-up of the first call, with no records
	for (size_t i = 0; i < k; i++)
		if (fchown(terms[i].slave, pw->pw_uid, static_cast<gid_t>(-1)) != 0 ||
		    tcflow(terms[i].slave, TCOOFF) != 0)
			die("stop");
	// The healthy one's bytes arrive as written.
	if (tcgetattr(terms[k].slave, &raw) != 0)
		die("tcgetattr");
	cfmakeraw(&raw);
	if (tcsetattr(terms[k].slave, TCSANOW, &raw) != 0)
		die("tcsetattr");
	record(k + 1, k, stopper);
	for (auto _ : state) {
		const double t0 = now();

		if (wall(oneline, 0) != 0)
			die("wall");
		reached += arrives(terms[k], oneline);
		const double t1 = now();
		// wall's only child; nothing else of the bench's is running.
		if (wait(nullptr) < 0)
			die("wait");
		const double t2 = now();
		th += t1 - t0;
		tl += t2 - t0;
		state.SetIterationTime(t2 - t0);
	}
	for (size_t i = 0; i < k; i++)
		tcflow(terms[i].slave, TCOON);
	terminals(0, false);
	const double per = 1e3 / static_cast<double>(state.iterations());
	state.counters["healthy_ms"] = th * per;
	state.counters["life_ms"] = tl * per;
	// What the child lives on after the healthy copy: the stopped ones' window.
	state.counters["after_ms"] = (tl - th) * per;
	state.counters["reached"] = share(reached, 1);
}
// A run with stopped terminals lasts about 2 seconds, their window: a few do.
BENCHMARK(BM_Stopped)->ArgName("stopped")->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stopped)
    ->ArgName("stopped")
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Session i's user is firstuid + i: never root, who owns the records'
// terminals, so that a session reaches its own pty alone.
const uid_t firstuid = 5000;

// No session, no systemd as init and no terminal: the records walk alone.
// Only in the bench's own /run, whose session files these are.
void nosessions()
{
	if (!ownrun)
		return;
	rmdir("/run/systemd/system");
	for (size_t i = 0; i < terms.size(); i++)
		unlink(("/run/systemd/sessions/" + std::to_string(i + 1)).c_str());
	terminals(0, false);
}

// n sessions of users of their own, each of whom owns one terminal that no
// record lists: given as the session's TTY, or only owned.
void sessions(size_t n, bool owned)
{
	nosessions();
	terminals(n, false);
	for (size_t i = 0; i < n; i++) {
		const uid_t uid = firstuid + static_cast<uid_t>(i);
		std::string text = "UID=" + std::to_string(uid) + "\nCLASS=user\nSTATE=active\n";
		if (!owned)
			text += "TTY=" + terms[i].path.substr(5) + "\n";
		if (fchown(terms[i].slave, uid, static_cast<gid_t>(-1)) != 0)
			die("fchown");
		int f = open(("/run/systemd/sessions/" + std::to_string(i + 1)).c_str(),
		    O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (f < 0 || write(f, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
			die("session file");
		close(f);
	}
	if (mkdir("/run/systemd/system", 0755) != 0)
		die("/run/systemd/system");
}

// The floor of the sessions walk: the sessions listed with sd-login and
// asked what any walk must (class, state, user, TTY), each TTY written,
// then every pty that a listed user owns and no TTY gave, from one reading
// of /dev/pts and one stat per entry. Each question reads the session's
// file anew, and that dominates.
double listed(const std::vector<std::string> &whole)
{
	return forked([&] {
		void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
		using Text = int (*)(const char *, char **);
		using Uid = int (*)(const char *, uid_t *);
		auto list = reinterpret_cast<int (*)(char ***)>(dlsym(lib, "sd_get_sessions"));
		auto kind = reinterpret_cast<Text>(dlsym(lib, "sd_session_get_class"));
		auto state = reinterpret_cast<Text>(dlsym(lib, "sd_session_get_state"));
		auto user = reinterpret_cast<Uid>(dlsym(lib, "sd_session_get_uid"));
		auto tty = reinterpret_cast<Text>(dlsym(lib, "sd_session_get_tty"));
		std::vector<uid_t> uids;
		std::vector<unsigned long> given; // pty numbers written as TTYs
		char **names = nullptr;
		const int k = list(&names);
		char path[sizeof "/dev/pts/" + NAME_MAX];

		for (int i = 0; i < k; i++) {
			char *c = nullptr, *s = nullptr, *t = nullptr;
			uid_t uid;
			if (kind(names[i], &c) < 0 || state(names[i], &s) < 0 || user(names[i], &uid) < 0)
				_exit(1);
			uids.push_back(uid);
			if (tty(names[i], &t) >= 0) {
				snprintf(path, sizeof path, "/dev/%s", t);
				put(path, whole);
				given.push_back(strtoul(t + 4, nullptr, 10));
			}
			free(c);
			free(s);
			free(t);
			free(names[i]);
		}
		free(names);
		std::sort(uids.begin(), uids.end());
		std::sort(given.begin(), given.end());

		DIR *dir = opendir("/dev/pts");
		struct stat st;
		for (const struct dirent *e; (e = readdir(dir)) != nullptr;) {
			if (e->d_name[0] < '0' || e->d_name[0] > '9' ||
			    fstatat(dirfd(dir), e->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode) ||
			    !std::binary_search(uids.begin(), uids.end(), st.st_uid) ||
			    std::binary_search(given.begin(), given.end(), strtoul(e->d_name, nullptr, 10)))
				continue;
			snprintf(path, sizeof path, "/dev/pts/%s", e->d_name);
			put(path, whole);
		}
		closedir(dir);
	});
}

// Whether libsystemd loads, asked in a child: loaded in the bench, it would
// be in every later child already, so that neither the broadcast nor the
// floor would pay for loading it, and every later fork would copy it too.
bool loads()
{
	const pid_t pid = fork();
	int status;

	if (pid < 0)
		die("fork");
	if (pid == 0)
		_exit(dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL) != nullptr ? 0 : 1);
	return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One broadcast to n sessions that only logind lists, next to the floor of
// the same work done directly.
void BM_Sessions(benchmark::State &state)
{
	const size_t n = state.range(0);
	const bool owned = state.range(1) != 0;
	const std::vector<std::string> whole = {banner() + oneline};
	double tm = 0, tf = 0;
	size_t reached = 0;

	if (!ownrun || !loads())
		return state.SkipWithError("needs libsystemd, and room for session files in /run");
	sessions(n, owned);
	module(oneline);
	drain(n);
	for (auto _ : state) {
		double m = module(oneline);
		reached += drain(n);
		tf += listed(whole);
		if (drain(n) != n) {
			state.SkipWithError("the floor left a terminal out");
			break;
		}
		tm += m;
		state.SetIterationTime(m);
	}
	nosessions();
	const double per = 1e6 / (static_cast<double>(n) * static_cast<double>(state.iterations()));
	state.counters["module_us"] = tm * per;
	state.counters["floor_us"] = tf * per;
	state.counters["x_floor"] = tm / tf;
	state.counters["reached"] = share(reached, n);
}
BENCHMARK(BM_Sessions)
    ->ArgNames({"sessions", "owned"})
    ->ArgsProduct({{1, 10, 100}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// How long a caller of wall waits, next to a bare fork whose child exits at
// once: the rest of the broadcast is the child's.
void BM_Return(benchmark::State &state)
{
	terminals(1);
	module(oneline);
	drain(1);
	for (auto _ : state) {
		double t0 = now();
		wall(oneline, 0);
		state.SetIterationTime(now() - t0);
		wait(nullptr);
		drain(1);
	}
}
BENCHMARK(BM_Return)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_Fork(benchmark::State &state)
{
	for (auto _ : state) {
		double t0 = now();
		pid_t pid = fork();
		if (pid == 0)
			_exit(0);
		state.SetIterationTime(now() - t0);
		waitpid(pid, nullptr, 0);
	}
}
BENCHMARK(BM_Fork)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
	if (!own()) {
		fprintf(stderr, "dowall_bench: needs root, for a /run and ptys of its own\n");
		return 1;
	}
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	nosessions();
	return 0;
}
