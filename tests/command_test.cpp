// The command end to end, run by its build path in a private mount namespace
// whose /run holds login records of the test's own.

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

namespace {

struct Outcome {
	int status = -1;	// the command's exit status
	bool ok = false;	// every process, the broadcast child too, exited 0
	std::string out, err;
};

// Runs the command with args while the login records list tty.
Outcome command(const std::vector<const char *> &args, const Pty &tty,
    const std::string &input)
{
	int out[2], err[2], status[2];
	Outcome r;

	if (pipe(out) != 0 || pipe(err) != 0 || pipe(status) != 0)
		return r;
	r.ok = caller([&] {
		private_mounts();
		must(mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0);
		records("/run/utmp", {record(tty.line())});
		// The broadcast child is orphaned; adopt it to see how it ends.
		must(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
		pid_t pid = fork();
		if (pid == 0) {
			stdin_from(input);
			dup2(out[1], 1);
			dup2(err[1], 2);
			std::vector<const char *> argv{DOWALL_EXE};
			argv.insert(argv.end(), args.begin(), args.end());
			argv.push_back(nullptr);
			execv(DOWALL_EXE, const_cast<char **>(argv.data()));
			_exit(127);
		}
		int st = -1;
		must(waitpid(pid, &st, 0) == pid && WIFEXITED(st));
		st = WEXITSTATUS(st);
		must(write(status[1], &st, sizeof st) == sizeof st);
	});
	close(out[1]);
	close(err[1]);
	close(status[1]);
	if (read(status[0], &r.status, sizeof r.status) != sizeof r.status)
		r.status = -1;
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
		Outcome r = command(c.args, tty, c.from_tty ? from.name : "/dev/null");
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
	Outcome r = command({}, tty, "/dev/null");

	EXPECT_TRUE(r.ok);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "usage: dowall message\n");
	EXPECT_EQ(tty.read(), "");
}
