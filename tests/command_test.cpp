// The command end to end, run by its build path in a private mount namespace
// whose /run holds login records of the test's own.
// SPDX-License-Identifier: MIT

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support.h"

namespace {

// What the caller sees of the command, sent back through a pipe.
struct Ending {
	int status = -1;      // the command's exit status
	double returned = -1; // seconds until the command exited
	double finished = -1; // seconds until its broadcast child exited too
	std::string streams;  // its descriptors 0, 1 and 2 then, or "-" if it had gone
};

struct Outcome : Ending {
	bool ok = false; // every process, the broadcast child too, exited 0
	std::string out, err;
};

// The command's standard input: the file at path or, without one, a pipe
// that carries bytes.
struct Input {
	std::string path;
	std::string bytes{};
};

// The group that terminals which accept messages are writable by, or
// (gid_t)-1 where there is none.
gid_t ttygroup()
{
	const struct group *tty = getgrnam("tty");

	return tty != nullptr ? tty->gr_gid : static_cast<gid_t>(-1);
}

// A copy of the built command as it is installed for ordinary users, on
// the /run that the caller mounted, which honours set-group-id.
const char *setgid_copy()
{
	const char *exe = "/run/dowall";
	const std::string bin = drain(open(DOWALL_EXE, O_RDONLY));
	const int f = open(exe, O_WRONLY | O_CREAT | O_EXCL, 0755);

	must(ttygroup() != static_cast<gid_t>(-1) && f >= 0);
	must(write(f, bin.data(), bin.size()) == static_cast<ssize_t>(bin.size()));
	// The group first: changing it clears the set-group-id bit.
	must(fchown(f, 0, ttygroup()) == 0 && fchmod(f, 02755) == 0);
	close(f);
	return exe;
}

// What the first child of this process, the broadcast adopted, holds as
// descriptors 0, 1 and 2, "-" for one it has not; "-" without a child.
std::string streams()
{
	const std::string children = "/proc/self/task/" + std::to_string(getpid()) + "/children";
	std::istringstream pids(drain(open(children.c_str(), O_RDONLY)));
	std::string pid, got;
	char buf[256];

	if (!(pids >> pid))
		return "-";
	for (int d = 0; d <= 2; d++) {
		const std::string fd = "/proc/" + pid + "/fd/" + std::to_string(d);
		const ssize_t n = readlink(fd.c_str(), buf, sizeof buf);
		got += (d > 0 ? "," : "") + (n > 0 ? std::string(buf, n) : "-");
	}
	return got;
}

// Runs the command with args, and env added to its environment, while the
// login records list ttys. A sender other than root runs, with that uid and
// gid, a copy that is set-group-id tty, after limit if given. Given shell,
// sh runs it, with the command as $0 and args as the rest.
Outcome command(const std::vector<const char *> &args,
    const std::vector<const Pty *> &ttys, const Input &input,
    const std::vector<std::string> &env = {}, uid_t sender = 0,
    const std::function<void()> &limit = nullptr, const char *shell = nullptr)
{
	int out[2], err[2], status[2];
	Outcome r;

	if (pipe(out) != 0 || pipe(err) != 0 || pipe(status) != 0)
		return r;
	r.ok = caller([&] {
		std::vector<struct utmp> recs;
		recs.reserve(ttys.size());
		for (const Pty *tty : ttys)
			recs.push_back(record(tty->line()));
		private_mounts();
		must(mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0);
		records("/run/utmp", recs);
		const char *exe = sender != 0 ? setgid_copy() : DOWALL_EXE;
		int feed[2];
		must(pipe(feed) == 0);
		// The broadcast child is orphaned; adopt it to see how it ends.
		must(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
		double start = now();
		pid_t pid = fork();
		if (pid == 0) {
			if (input.path.empty())
				dup2(feed[0], 0);
			else
				stdin_from(input.path);
			close(feed[0]);
			close(feed[1]);
			dup2(out[1], 1);
			dup2(err[1], 2);
			for (const std::string &e : env)
				putenv(const_cast<char *>(e.c_str()));
			if (sender != 0)
				must(setgroups(0, nullptr) == 0 && setgid(sender) == 0 &&
				    setuid(sender) == 0);
			if (limit)
				limit();
			std::vector<const char *> argv{exe};
			if (shell != nullptr)
				argv.insert(argv.begin(), {"/bin/sh", "-c", shell});
			argv.insert(argv.end(), args.begin(), args.end());
			argv.push_back(nullptr);
			execv(argv[0], const_cast<char **>(argv.data()));
			_exit(127);
		}
		close(feed[0]);
		must(write(feed[1], input.bytes.data(), input.bytes.size()) ==
		    static_cast<ssize_t>(input.bytes.size()));
		close(feed[1]);
		int st = -1;
		must(waitpid(pid, &st, 0) == pid && WIFEXITED(st));
		const double returned = now() - start;
		const std::string held = streams();
		reap();
		dprintf(status[1], "%d %f %f %s", WEXITSTATUS(st), returned, now() - start, held.c_str());
	});
	close(out[1]);
	close(err[1]);
	close(status[1]);
	Ending &e = r;
	std::istringstream ending(drain(status[0]));
	if (!(ending >> e.status >> e.returned >> e.finished >> e.streams))
		e = Ending();
	r.out = drain(out[0]);
	r.err = drain(err[0]);
	return r;
}

// In an isolated caller: runs exe with args as uid, with its gid the same
// and no terminal; what it printed, and its exit status after a blank.
std::string as(uid_t uid, const char *exe, const std::vector<const char *> &args)
{
	int out[2];
	must(pipe(out) == 0);
	const pid_t pid = fork();
	if (pid == 0) {
		std::vector<const char *> argv{exe};
		argv.insert(argv.end(), args.begin(), args.end());
		argv.push_back(nullptr);
		stdin_from("/dev/null");
		must(dup2(out[1], 1) == 1 && setgroups(0, nullptr) == 0 && setgid(uid) == 0 &&
		    setuid(uid) == 0);
		execv(exe, const_cast<char **>(argv.data()));
		_exit(127);
	}
	close(out[1]);
	const std::string got = drain(out[0]);
	int st;
	must(waitpid(pid, &st, 0) == pid && WIFEXITED(st));
	return got + " " + std::to_string(WEXITSTATUS(st));
}

// Sends the strings through fd, each ended by a zero byte.
void report(int fd, const std::vector<std::string> &strings)
{
	for (const std::string &s : strings)
		must(write(fd, s.c_str(), s.size() + 1) == static_cast<ssize_t>(s.size() + 1));
}

// The strings report sent through fd.
std::vector<std::string> reported(int fd)
{
	std::istringstream in(drain(fd));
	std::vector<std::string> got;

	for (std::string s; std::getline(in, s, '\0');)
		got.push_back(s);
	return got;
}

} // namespace

TEST(Command, BroadcastsSilentlyAndExitsZero)
{
	NEEDS_ROOT();
	Pty tty, from;
	const struct {
		std::vector<const char *> args;
		bool from_tty;
		std::string shown;
		bool bare = false; // without the banner
	} cases[] = {
	    {{"hello"}, false, "hello"},
	    {{"The", "file", "servers", "restart", "at", "18:00"}, false,
		"The file servers restart at 18:00"},
	    {{"-h"}, false, "-h"},
	    {{"--- going down at 18:00 ---", "--help"}, false, "--- going down at 18:00 --- --help"},
	    {{"--", "--help"}, false, "--help"},
	    {{"--", "--"}, false, "--"},
	    {{"\x1b[2J\aover\x9b"}, true, "^[[2J^Gover^["},
	    {{""}, true, ""},
	    {{"-n", "--nobanner", "--", "-n"}, true, "-n", true},
	};

	for (const auto &c : cases) {
		const std::string tag = c.from_tty ? "(" + from.line() + ") " : "";
		time_t t0 = time(nullptr);
		Outcome r = command(c.args, {&tty}, {c.from_tty ? from.name : "/dev/null"});
		time_t t1 = time(nullptr);

		EXPECT_TRUE(r.ok) << c.shown;
		EXPECT_EQ(r.status, 0) << c.shown;
		EXPECT_EQ(r.out, "") << c.shown;
		EXPECT_EQ(r.err, "") << c.shown;
		EXPECT_TRUE(stamped(tty.read(), t0, t1, [&](const std::string &d) {
			return (c.bare ? "" : local(me(), tag, d)) + c.shown;
		}));
	}
}

TEST(Command, WithoutMessageSendsStandardInputOrRefusesItWhole)
{
	NEEDS_ROOT();
	Pty tty;
	const size_t bound = 131072; // 128 KiB, as much as one argument holds
	const std::string half(bound / 2, 'x');
	const struct {
		std::vector<const char *> args;
		std::string input;
		bool sent;
		std::string shown;
	} cases[] = {
	    {{}, "line one\n\tline two\r\n", true, "line one\n\tline two\r\n"},
	    {{}, "", true, ""},
	    {{}, "hello" + std::string(bound - 5, '\0'), true, "hello"},
	    {{}, std::string(bound + 1, 'x'), false, ""},
	    {{"--"}, "from input", true, "from input"},
	    // Arguments joined by a blank: one byte over.
	    {{half.c_str(), half.c_str()}, "", false, ""},
	};

	for (const auto &c : cases) {
		time_t t0 = time(nullptr);
		Outcome r = command(c.args, {&tty}, {"", c.input});
		time_t t1 = time(nullptr);
		const std::string got = tty.read();

		EXPECT_TRUE(r.ok) << c.input.size();
		EXPECT_EQ(r.out, "") << c.input.size();
		if (c.sent) {
			EXPECT_EQ(r.status, 0) << c.input.size();
			EXPECT_EQ(r.err, "") << c.input.size();
			EXPECT_TRUE(stamped(got, t0, t1, [&](const std::string &d) {
				return local(me(), "", d) + c.shown;
			}));
		} else {
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.err.rfind("dowall: ", 0), 0U) << r.err;
			EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
			EXPECT_EQ(got, "");
		}
	}
}

TEST(Command, HelpAndVersionPrintAndSendNothing)
{
	NEEDS_ROOT();
	Pty tty;
	const struct {
		const char *arg;
		std::regex out;
	} cases[] = {
	    {"--help", std::regex("usage: dowall \\[--dry-run\\] \\[--wait\\] \\[-g group \\| --group group\\] "
				  "\\[-n \\| --nobanner\\]\n +\\[--\\] \\[message \\.\\.\\.\\]\n(.+\n)+")},
	    {"--version", std::regex("dowall [0-9]+\\.[0-9]+\\.[0-9]+\n")},
	};

	for (const auto &c : cases) {
		Outcome r = command({c.arg}, {&tty}, {"/dev/null"});

		EXPECT_TRUE(r.ok) << c.arg;
		EXPECT_EQ(r.status, 0) << c.arg;
		EXPECT_TRUE(std::regex_match(r.out, c.out)) << r.out;
		EXPECT_EQ(r.err, "") << c.arg;
		EXPECT_EQ(tty.read(), "") << c.arg;
	}
}

// Skips the test in a sanitizer build: its runtime cannot read the
// environment, nor check for leaks, in a process that is set-group-id, and
// fails the command at its exit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NEEDS_PLAIN_BUILD() GTEST_SKIP() << "a sanitizer build cannot run set-group-id"
#endif
#endif
#ifndef NEEDS_PLAIN_BUILD
#define NEEDS_PLAIN_BUILD() (void)0
#endif

// Skips the test where it cannot run a set-group-id copy of the command.
#define NEEDS_SETGID_COPY() \
	do { \
		NEEDS_PLAIN_BUILD(); \
		SKIP_FOR(ttygroup() == static_cast<gid_t>(-1) ? "no group tty" : ""); \
	} while (0)

// Installed setgid tty, the command run by an ordinary user writes what
// the group may write, and the sender's own terminal.
TEST(Command, SetgidTtyReachesTerminalsThatAcceptMessages)
{
	NEEDS_ROOT();
	NEEDS_SETGID_COPY();
	const uid_t sender = 4242, other = 4343;
	const gid_t tty = ttygroup();
	Pty accepts, refuses, own;

	ASSERT_EQ(fchown(accepts.slave, other, tty), 0);
	ASSERT_EQ(fchmod(accepts.slave, 0620), 0);
	ASSERT_EQ(fchown(refuses.slave, other, tty), 0);
	ASSERT_EQ(fchmod(refuses.slave, 0600), 0);
	ASSERT_EQ(fchown(own.slave, sender, tty), 0);
	ASSERT_EQ(fchmod(own.slave, 0600), 0);
	// The date is the system's, whatever the sender's TZ says.
	unsetenv("TZ");
	time_t t0 = time(nullptr);
	Outcome r = command({"hello"}, {&accepts, &refuses, &own}, {"/dev/null"},
	    {"TZ=UTC+24:59:59"}, sender);
	time_t t1 = time(nullptr);
	const auto sent = [](const std::string &d) {
		return local("uid 4242", "", d) + "hello";
	};

	EXPECT_TRUE(r.ok);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(stamped(accepts.read(), t0, t1, sent));
	EXPECT_EQ(refuses.read(), "");
	EXPECT_TRUE(stamped(own.read(), t0, t1, sent));
}

TEST(Command, ReturnsAtOnceWhileItsChildWaitsOnAHungTerminal)
{
	NEEDS_ROOT();
	Pty hung, tty;
	time_t t0 = time(nullptr);
	Outcome r = command({"hello"}, {&hung, &tty}, {"/dev/null"},
	    {"LD_PRELOAD=" DOWALL_PROBE, "DOWALL_HANG=open:" + hung.name});
	time_t t1 = time(nullptr);

	EXPECT_TRUE(r.ok);
	EXPECT_EQ(r.status, 0);
	EXPECT_LT(r.returned, 0.5);
	EXPECT_TRUE(costs2s(r.finished));
	EXPECT_EQ(hung.read(), "");
	EXPECT_TRUE(stamped(tty.read(), t0, t1, [](const std::string &d) {
		return local(me(), "", d) + "hello";
	}));
}

// What the command may not do it does not do, and says why: send at a
// sender's process limit, without a banner as anyone but root, or to a
// group there is not.
TEST(Command, RefusesAndSaysWhy)
{
	NEEDS_ROOT();
	NEEDS_SETGID_COPY();
	Pty tty;
	const struct {
		std::vector<const char *> args;
		uid_t sender;
		std::function<void()> limit;
		std::string err;
	} cases[] = {
	    {{"hello"}, 4242, [] {
		     const struct rlimit one = {1, 1};
		     must(setrlimit(RLIMIT_NPROC, &one) == 0);
	     },
		"dowall: cannot start the broadcast: " + std::string(strerror(EAGAIN)) + "\n"},
	    {{"-n", "hello"}, 4242, nullptr, "dowall: only root may send without a banner\n"},
	    {{"--nobanner", "--dry-run"}, 4242, nullptr, "dowall: only root may send without a banner\n"},
	    {{"--group", "no\x1bsuch", "hello"}, 0, nullptr, "dowall: no such group: no\\033such\n"},
	    {{"--group=", "hello"}, 0, nullptr, "dowall: no such group: \n"},
	    {{"--wait", "-g"}, 0, nullptr, "dowall: -g needs a group\n"},
	};

	for (const auto &c : cases) {
		Outcome r = command(c.args, {&tty}, {"/dev/null"}, {}, c.sender, c.limit);

		EXPECT_TRUE(r.ok) << c.err;
		EXPECT_EQ(r.status, 1) << c.err;
		EXPECT_EQ(r.out, "") << c.err;
		EXPECT_EQ(r.err, c.err);
	}
	EXPECT_EQ(tty.read(), "");
}

// Whoever reads the command's output gets it back at once, whatever the
// terminals do: the broadcast child holds none of the caller's streams.
TEST(Command, CallerReadingItsOutputWaitsForNothing)
{
	NEEDS_ROOT();
	NEEDS_PROC();
	Ptys stopped = ptys(6);
	std::vector<const Pty *> ttys;

	for (const auto &t : stopped) {
		ASSERT_EQ(tcflow(t->slave, TCOOFF), 0);
		ttys.push_back(t.get());
	}
	for (const char *shell : {"x=$(\"$0\" \"$@\")", "\"$0\" \"$@\" | cat", "\"$0\" \"$@\" 2>&1 | cat"}) {
		Outcome r = command({"hello"}, ttys, {""}, {}, 0, nullptr, shell);

		EXPECT_TRUE(r.ok) << shell;
		EXPECT_EQ(r.status, 0) << shell;
		EXPECT_LT(r.returned, 0.5) << shell;
		EXPECT_EQ(r.streams, "/dev/null,/dev/null,/dev/null") << shell;
		EXPECT_TRUE(costs2s(r.finished)) << shell;
	}
}

// What the list says is what the broadcast then does: records, sessions,
// the ptys of logged-in users, refusals and the once-only rule in one
// isolated namespace, the command run by a sender who may not write every
// terminal, and who may not see other users' processes either.
TEST(Command, DryRunListsWhatTheBroadcastWrites)
{
	NEEDS_ROOT(CLONE_NEWPID);
	NEEDS_LOGIND();
	NEEDS_SETGID_COPY();
	const gid_t group = ttygroup();
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(isolated([&] {
		passwd("root:x:0:0::/root:/bin/sh\nmallory:x:4444:4444::/:/bin/sh\n");
		must(mount("none", "/proc", "none", MS_REMOUNT, "hidepid=2") == 0);
		// pts/0 both sources list, pts/1 and pts/3 sessions alone, pts/2
		// a record's, closed to the group; of the rest, pts/5 and pts/12
		// are the sessions' user's, as pts/1 and pts/3 are. A record of
		// mallory's names pts/4, and a session pts/6: neither is theirs.
		Ptys tty = ptys(13);
		for (const auto &t : tty)
			must(fchown(t->slave, 4343, group) == 0 && fchmod(t->slave, 0620) == 0);
		must(fchmod(tty[2]->slave, 0600) == 0);
		for (const size_t i : {1, 3, 5, 12})
			must(fchown(tty[i]->slave, 4000, group) == 0);
		must(mkfifo("/dev/shm/fifo", 0666) == 0);
		const int fifo = open("/dev/shm/fifo", O_RDONLY | O_NONBLOCK);
		records("/run/utmp", {record(tty[0]->line(), "alice"), record("pts/../x"), record("shm/fifo"), record("null"), record(tty[2]->line(), "bob"), record(tty[4]->line(), "mallory")});
		const std::string user = "UID=4000\nCLASS=user\nSTATE=active\nTTY=";
		session("10", user + tty[3]->line() + "\n");
		session("4", user + tty[6]->line() + "\n");
		session("2", user + tty[1]->line() + "\n");
		session("3", user + tty[0]->line() + "\n");
		const char *exe = setgid_copy();
		const std::string listed = as(4242, exe, {"--dry-run"});
		// No child was left to write: this namespace's first process
		// inherits any, and has none.
		must(wait(nullptr) < 0 && errno == ECHILD);
		std::string before;
		for (const auto &t : tty)
			before += deliveries(*t) + "|";
		char c;
		must(read(fifo, &c, 1) <= 0);
		must(as(4242, exe, {"hi"}) == " 0");
		reap();
		std::string after;
		for (const auto &t : tty)
			after += deliveries(*t) + "|";
		dprintf(p[1], "%s\n%s\n%s", before.c_str(), after.c_str(), listed.c_str());
	}));
	close(p[1]);
	std::istringstream got(drain(p[0]));
	std::string before, after, listed;
	std::getline(got, before);
	std::getline(got, after);
	std::getline(got, listed, '\0');
	EXPECT_EQ(before, "|||||||||||||");
	EXPECT_EQ(after, "#hi|#hi||#hi||#hi|||||||#hi|");
	EXPECT_EQ(listed, "/dev/pts/0 alice utmp yes\n"
			  "/dev/pts/2 bob utmp no\n"
			  "/dev/pts/1 4000 logind:2 yes\n"
			  "/dev/pts/3 4000 logind:10 yes\n"
			  "/dev/pts/5 4000 owner yes\n"
			  "/dev/pts/12 4000 owner yes\n 0");
}

// --wait tells what became of each terminal, those --dry-run lists and in
// its order: sent; refused by one that takes no messages from this sender;
// out of time for one whose output stays stopped. Its status says whether
// each that takes messages got the whole message.
TEST(Command, WaitTellsWhatBecameOfWhatTheDryRunLists)
{
	NEEDS_ROOT(CLONE_NEWPID);
	NEEDS_SETGID_COPY();
	const gid_t group = ttygroup();
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(isolated([&] {
		passwd("root:x:0:0::/root:/bin/sh\n");
		Ptys tty = ptys(3);
		std::vector<struct utmp> recs;
		for (const auto &t : tty) {
			must(fchown(t->slave, 4343, group) == 0 && fchmod(t->slave, 0620) == 0);
			recs.push_back(record(t->line()));
		}
		must(fchmod(tty[1]->slave, 0600) == 0);
		records("/run/utmp", recs);
		const char *exe = setgid_copy();
		const std::string listed = as(4242, exe, {"--dry-run"});
		const std::string sent = as(4242, exe, {"--wait", "hi"});
		must(tcflow(tty[2]->slave, TCOOFF) == 0);
		report(p[1], {listed, sent, as(4242, exe, {"--wait", "hi"})});
		for (const auto &t : tty)
			tcflow(t->slave, TCOON);
	}));
	close(p[1]);
	const std::vector<std::string> got = reported(p[0]);
	ASSERT_EQ(got.size(), 3u);
	const std::string due = std::to_string(local("uid 4242", "", datetext(0)).size() + 2);
	const std::string whole = "sent " + due + "/" + due, none = " 0/" + due;
	const auto lines = [](const std::string &a, const std::string &b, const std::string &c) {
		return "/dev/pts/0 alice utmp " + a + "\n/dev/pts/1 alice utmp " + b +
		    "\n/dev/pts/2 alice utmp " + c + "\n";
	};
	EXPECT_EQ(got[0], lines("yes", "no", "yes") + " 0");
	EXPECT_EQ(got[1], lines(whole, "refused" + none, whole) + " 0");
	EXPECT_EQ(got[2], lines(whole, "refused" + none, "timeout" + none) + " 2");
}

// --group reaches the group's members only, whose primary group it is or a
// supplementary one, named or numbered, a record's user looked up by name
// and a pty's by its owner, in the list and the broadcast alike.
TEST(Command, GroupReachesItsMembersOnly)
{
	NEEDS_ROOT(CLONE_NEWPID);
	const struct {
		std::vector<const char *> args;
	} cases[] = {{{"--group", "ops"}}, {{"-g", "4200"}}, {{"--group=ops"}}};
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(isolated([&] {
		passwd("root:x:0:0::/root:/bin/sh\nann:x:4100:4200::/:/bin/sh\n"
		       "ben:x:4101:4101::/:/bin/sh\ncal:x:4102:4102::/:/bin/sh\n");
		groups("root:x:0:\nops:x:4200:ben\nben:x:4101:\ncal:x:4102:cal\n");
		// Records of ann, ben and cal, each for a pty of theirs; a pty
		// of ben's and one of cal's that no record names.
		const uid_t owners[] = {4100, 4101, 4102, 4101, 4102};
		Ptys tty = ptys(std::size(owners));
		for (size_t i = 0; i < tty.size(); i++)
			must(fchown(tty[i]->slave, owners[i], 0) == 0);
		records("/run/utmp", {record(tty[0]->line(), "ann"), record(tty[1]->line(), "ben"), record(tty[2]->line(), "cal")});
		std::vector<std::string> got;
		for (const auto &c : cases) {
			std::vector<const char *> args = c.args;
			args.push_back("--dry-run");
			got.push_back(as(0, DOWALL_EXE, args));
		}
		std::vector<const char *> args = cases[0].args;
		args.insert(args.begin(), "--wait");
		args.push_back("hi");
		got.push_back(as(0, DOWALL_EXE, args));
		std::string written;
		for (const auto &t : tty)
			written += deliveries(*t) + "|";
		got.push_back(written);
		report(p[1], got);
	}));
	close(p[1]);
	const std::vector<std::string> got = reported(p[0]);
	ASSERT_EQ(got.size(), std::size(cases) + 2);
	for (size_t i = 0; i < std::size(cases); i++)
		EXPECT_EQ(got[i], "/dev/pts/0 ann utmp yes\n/dev/pts/1 ben utmp yes\n/dev/pts/3 ben owner yes\n 0")
		    << cases[i].args[0];
	const std::string due = std::to_string(local("root", "", datetext(0)).size() + 2);
	const std::string whole = " sent " + due + "/" + due + "\n";
	EXPECT_EQ(got[3], "/dev/pts/0 ann utmp" + whole + "/dev/pts/1 ben utmp" + whole + "/dev/pts/3 ben owner" + whole + " 0");
	EXPECT_EQ(got[4], "#hi|#hi||#hi||");
}
