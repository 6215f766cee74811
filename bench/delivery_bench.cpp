// What one broadcast costs per terminal, next to the least that writing the
// same bytes to the same terminals can cost, and what the caller waits for.
// SPDX-License-Identifier: MIT

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

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
char db[] = "/tmp/dowall-bench-XXXXXX";

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

// Whether /run and /dev/pts are the bench's own, so that it lists sessions
// of its own as logind would and a broadcast finds no pty but its own: it
// needs root.
bool ownrun;
// The user of the records: where the ptys are the bench's own, the one who
// owns them, so that a broadcast looking for that user's ptys finds them
// all written already; elsewhere a name that no password database can hold
// (":" separates its fields), so that it finds no one's.
std::string recorded = "dowall:bench";

// Exactly n terminals, so that a look through /dev/pts finds no more than
// asked for, and a login-records file that lists just them, or none of them.
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

	int f = open(db, O_WRONLY | O_TRUNC);
	if (f < 0)
		die(db);
	for (size_t i = 0; listed && i < n; i++) {
		struct utmp ut;

		memset(&ut, 0, sizeof ut);
		ut.ut_type = USER_PROCESS;
		ut.ut_pid = getpid();
		strncpy(ut.ut_line, terms[i].path.c_str() + 5, sizeof ut.ut_line);
		strncpy(ut.ut_user, recorded.c_str(), sizeof ut.ut_user);
		if (write(f, &ut, sizeof ut) != sizeof ut)
			die("write");
	}
	close(f);
	utmpname(db);
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

// Only the walk through the login records that the broadcast makes, which
// the floors leave out: what the C library's reading of them costs.
double walk()
{
	return forked([] {
		setutent();
		while (getutent() != nullptr)
			;
		endutent();
	});
}

// One broadcast to n terminals and the floors over the same terminals, in
// turns, so that drift in the machine reaches them all alike. The design
// floor is what the design itself must do per terminal: the records read
// (the walk) and one open, one write and one close (the raw floor). It
// counts two forks to the broadcast's one, so with few terminals it is
// generous.
void BM_Deliver(benchmark::State &state)
{
	const size_t n = state.range(0);
	const char *text = state.range(1) == 1 ? oneline : tenlines;
	const std::string bytes = banner() + text;
	const std::vector<std::string> whole = {bytes};
	// The banner ends in a line feed, so its lines and the text's are these.
	const std::vector<std::string> pieces = lines(bytes);
	double tm = 0, tr = 0, ts = 0, tw = 0;
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
		tm += m;
		state.SetIterationTime(m);
	}
	const double per = 1e6 / (static_cast<double>(n) * static_cast<double>(state.iterations()));
	state.counters["module_us"] = tm * per;
	state.counters["raw_us"] = tr * per;
	state.counters["same_us"] = ts * per;
	state.counters["walk_us"] = tw * per;
	state.counters["design_us"] = (tr + tw) * per;
	state.counters["x_design"] = tm / (tr + tw);
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

const char scopes[] = "/sys/fs/cgroup/dowall-bench.slice";
// The leader of each session that has one, as ssh logins have.
std::vector<pid_t> leaders;

void own()
{
	if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
	    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 ||
	    mount("cgroup2", "/sys/fs/cgroup", "cgroup2", 0, nullptr) != 0 ||
	    mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
	    mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) != 0)
		return;
	ownrun = mkdir("/run/systemd", 0755) == 0 && mkdir("/run/systemd/sessions", 0755) == 0 &&
	    (mkdir(scopes, 0755) == 0 || errno == EEXIST);
	const struct passwd *pw = getpwuid(0);
	if (ownrun && pw != nullptr)
		recorded = pw->pw_name;
}

std::string scope(size_t i)
{
	return std::string(scopes) + "/session-" + std::to_string(i + 1) + ".scope";
}

// A session's leader in the session's control group, without a terminal,
// and its child, which holds terminal i.
pid_t leader(size_t i)
{
	int ready[2];

	if (mkdir(scope(i).c_str(), 0755) != 0 || pipe(ready) != 0)
		die("session");
	pid_t pid = fork();
	if (pid == 0) {
		int f = open((scope(i) + "/cgroup.procs").c_str(), O_WRONLY);
		if (f < 0 || write(f, "0", 1) != 1 || setsid() < 0)
			_exit(1);
		if (fork() == 0) {
			if (setsid() < 0 || ioctl(terms[i].slave, TIOCSCTTY, 0) != 0)
				_exit(1);
			if (write(ready[1], "x", 1) != 1)
				_exit(1);
			pause();
		}
		pause();
	}
	char c;
	if (pid < 0 || read(ready[0], &c, 1) != 1)
		die("leader");
	close(ready[0]);
	close(ready[1]);
	return pid;
}

// No session, and no systemd as init: the records walk alone.
void nosessions()
{
	rmdir("/run/systemd/system");
	for (size_t i = 0; i < terms.size(); i++)
		unlink(("/run/systemd/sessions/" + std::to_string(i + 1)).c_str());
	for (size_t i = 0; i < leaders.size(); i++) {
		int f = open((scope(i) + "/cgroup.kill").c_str(), O_WRONLY);
		if (f < 0 || write(f, "1", 1) != 1)
			die("cgroup.kill");
		close(f);
		waitpid(leaders[i], nullptr, 0);
		while (rmdir(scope(i).c_str()) != 0 && errno == EBUSY)
			usleep(1000);
	}
	leaders.clear();
}

// n sessions, each with a terminal of its own that no record lists: its
// TTY, or through its leader.
void sessions(size_t n, bool byleader)
{
	nosessions();
	terminals(n, false);
	for (size_t i = 0; i < n; i++) {
		std::string text = "UID=0\nCLASS=user\nSTATE=active\n";
		if (byleader) {
			leaders.push_back(leader(i));
			text += "LEADER=" + std::to_string(leaders.back()) + "\n";
		} else {
			text += "TTY=" + terms[i].path.substr(5) + "\n";
		}
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
// asked what any walk must ask (class, state, then TTY, then leader), each
// one's terminal written directly. Each question reads the session's file
// anew, and that dominates.
double listed(size_t n, const std::string &bytes)
{
	return forked([&] {
		void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
		using List = int (*)(char ***);
		using Tty = int (*)(const char *, char **);
		using Leader = int (*)(const char *, pid_t *);
		auto list = reinterpret_cast<List>(dlsym(lib, "sd_get_sessions"));
		auto kind = reinterpret_cast<Tty>(dlsym(lib, "sd_session_get_class"));
		auto state = reinterpret_cast<Tty>(dlsym(lib, "sd_session_get_state"));
		auto tty = reinterpret_cast<Tty>(dlsym(lib, "sd_session_get_tty"));
		auto lead = reinterpret_cast<Leader>(dlsym(lib, "sd_session_get_leader"));
		char **names = nullptr;
		const int k = list(&names);

		for (int i = 0; i < k; i++) {
			const size_t at = strtoul(names[i], nullptr, 10) - 1;
			char *c = nullptr, *s = nullptr, *t = nullptr;
			pid_t pid;
			if (at >= n || kind(names[i], &c) < 0 || state(names[i], &s) < 0 ||
			    (tty(names[i], &t) < 0) != !leaders.empty() ||
			    (!leaders.empty() && lead(names[i], &pid) < 0))
				_exit(1);
			free(c);
			free(s);
			free(t);
			int d = open(terms[at].path.c_str(), O_WRONLY | O_NONBLOCK);
			if (d < 0 || write(d, bytes.data(), bytes.size()) < 0)
				_exit(1);
			close(d);
			free(names[i]);
		}
		free(names);
	});
}

// One broadcast to n sessions that only logind lists, next to the floor
// of the same sessions listed and written directly.
void BM_Sessions(benchmark::State &state)
{
	const size_t n = state.range(0);
	const bool byleader = state.range(1) != 0;
	const std::string bytes = banner() + oneline;
	void *lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
	double tm = 0, tf = 0;
	size_t reached = 0;

	if (!ownrun || lib == nullptr)
		return state.SkipWithError("needs root, for a /run of its own, and libsystemd");
	if (byleader && dlsym(lib, "sd_session_get_leader") == nullptr)
		return state.SkipWithError("libsystemd has no sd_session_get_leader (before 254)");
	sessions(n, byleader);
	module(oneline);
	drain(n);
	for (auto _ : state) {
		double m = module(oneline);
		reached += drain(n);
		tf += listed(n, bytes);
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
    ->ArgNames({"sessions", "leader"})
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
	int f = mkstemp(db);

	if (f < 0)
		die("mkstemp");
	close(f);
	own();
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	nosessions();
	rmdir(scopes);
	unlink(db);
	return 0;
}
