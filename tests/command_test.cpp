// The command end to end, run by its build path in a private mount namespace
// whose /run holds login records of the test's own.
// SPDX-License-Identifier: MIT

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

namespace {

// What the caller sees of the command, sent back through a pipe.
struct Ending {
	int status = -1;      // the command's exit status
	double returned = -1; // seconds until the command exited
	double finished = -1; // seconds until its broadcast child exited too
};

struct Outcome : Ending {
	bool ok = false; // every process, the broadcast child too, exited 0
	std::string out, err;
};

// Runs the command with args, and env added to its environment, while the
// login records list ttys.
Outcome command(const std::vector<const char *> &args,
    const std::vector<const Pty *> &ttys, const std::string &input,
    const std::vector<std::string> &env = {})
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
		// The broadcast child is orphaned; adopt it to see how it ends.
		must(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
		double start = now();
		pid_t pid = fork();
		if (pid == 0) {
			stdin_from(input);
			dup2(out[1], 1);
			dup2(err[1], 2);
			for (const std::string &e : env)
				putenv(const_cast<char *>(e.c_str()));
			std::vector<const char *> argv{DOWALL_EXE};
			argv.insert(argv.end(), args.begin(), args.end());
			argv.push_back(nullptr);
			execv(DOWALL_EXE, const_cast<char **>(argv.data()));
			_exit(127);
		}
		int st = -1;
		Ending e;
		must(waitpid(pid, &st, 0) == pid && WIFEXITED(st));
		e.status = WEXITSTATUS(st);
		e.returned = now() - start;
		reap();
		e.finished = now() - start;
		must(write(status[1], &e, sizeof e) == sizeof e);
	});
	close(out[1]);
	close(err[1]);
	close(status[1]);
	Ending &e = r;
	if (read(status[0], &e, sizeof e) != sizeof e)
		e = Ending();
	close(status[0]);
	r.out = drain(out[0]);
	r.err = drain(err[0]);
	return r;
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
	} cases[] = {
	    {{"hello"}, false, "hello"},
	    {{"hello", "extra", "args"}, false, "hello"},
	    {{"\x1b[2J\aover\x9b"}, true, "^[[2J^Gover^["},
	    {{""}, true, ""},
	};

	for (const auto &c : cases) {
		const std::string tag = c.from_tty ? "(" + from.line() + ") " : "";
		time_t t0 = time(nullptr);
		Outcome r = command(c.args, {&tty}, c.from_tty ? from.name : "/dev/null");
		time_t t1 = time(nullptr);

		EXPECT_TRUE(r.ok) << c.shown;
		EXPECT_EQ(r.status, 0) << c.shown;
		EXPECT_EQ(r.out, "") << c.shown;
		EXPECT_EQ(r.err, "") << c.shown;
		EXPECT_TRUE(stamped(tty.read(), t0, t1, [&](const std::string &d) {
			return local(me(), tag, d) + c.shown;
		}));
	}
}

TEST(Command, WithoutMessagePrintsUsageAndBroadcastsNothing)
{
	NEEDS_ROOT();
	Pty tty;
	Outcome r = command({}, {&tty}, "/dev/null");

	EXPECT_TRUE(r.ok);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "usage: dowall message\n");
	EXPECT_EQ(tty.read(), "");
}

TEST(Command, ReturnsAtOnceWhileItsChildWaitsOnAHungTerminal)
{
	NEEDS_ROOT();
	Pty hung, tty;
	time_t t0 = time(nullptr);
	Outcome r = command({"hello"}, {&hung, &tty}, "/dev/null",
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
