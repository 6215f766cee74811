// The 2-second limit on each delivery attempt, against terminals that the
// probe's stand-ins (linked into this program) make hang. These tests wait
// out real alarms, so they are few, and each hang is checked for its cost.
// SPDX-License-Identifier: MIT

#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "dowall.h"
#include "support.h"

namespace {

// What a caller and its broadcast child did, from the probe's trace.
struct Trace {
	bool ok = false;                         // caller and broadcast child exited 0
	std::vector<std::string> hangs;          // "call path" of each hang, in order
	std::vector<double> at;                  // when each hang began
	std::vector<std::string> closes;         // what each close() of a terminal closed
	int pending = 0;                         // records read while an alarm was pending
	std::vector<std::string> told;           // "path outcome written/due" of a report
	double start = 0, returned = 0, end = 0; // call, return, child's end
	time_t t0 = 0, t1 = 0;                   // the seconds the banner's date may show
};

// Writes a report's line to the trace.
void tell(const struct wallterm *t, int outcome, size_t written, size_t due, void *arg)
{
	dprintf(*static_cast<int *>(arg), "told %s %d %zu/%zu\n", t->path, outcome, written, due);
}

// Broadcasts text from a caller, after prepare if given, with the calls in
// hang (DOWALL_HANG's form) made to hang; with a report, if asked for.
Trace broadcast(const std::string &hang, const char *text,
    const std::function<void()> &prepare = nullptr, bool report = false)
{
	int t[2];
	Trace r;

	if (pipe(t) != 0)
		return r;
	r.t0 = time(nullptr);
	r.ok = caller([&] {
		int st;

		stdin_from("/dev/null");
		if (prepare)
			prepare();
		setenv("DOWALL_HANG", hang.c_str(), 1);
		setenv("DOWALL_TRACE", std::to_string(t[1]).c_str(), 1);
		double start = now();
		if (report)
			must(wallsend(text, nullptr, 0, tell, &t[1]) == 0);
		else
			wall(text, 0);
		double returned = now();
		must(report || (wait(&st) > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0));
		dprintf(t[1], "times %.3f %.3f %.3f\n", start, returned, now());
	});
	r.t1 = time(nullptr);
	close(t[1]);

	std::istringstream in(drain(t[0]));
	for (std::string word; in >> word;) {
		std::string call, path;
		double at;
		if (word == "hang" && in >> call >> path >> at) {
			r.hangs.push_back(call.append(" ").append(path));
			r.at.push_back(at);
		} else if (word == "close" && in >> path) {
			// The lookup of a record's user, and the look through
			// /dev/pts, close files of their own.
			if (path.rfind("/dev/pts/", 0) == 0)
				r.closes.push_back(path);
		} else if (std::string counts; word == "told" && in >> path >> call >> counts) {
			r.told.push_back(path.append(" ").append(call).append(" ").append(counts));
		} else if (word == "pending") {
			r.pending++;
		} else if (word == "times") {
			in >> r.start >> r.returned >> r.end;
		}
	}
	return r;
}

testing::AssertionResult got(const Pty &tty, const Trace &r, const std::string &text)
{
	return stamped(tty.read(), r.t0, r.t1, [&](const std::string &d) {
		return local(me(), "", d) + text;
	});
}

void block_alarm()
{
	sigset_t s;

	sigemptyset(&s);
	sigaddset(&s, SIGALRM);
	sigprocmask(SIG_BLOCK, &s, nullptr);
}

void ignore_alarm_after_a_call()
{
	int st;

	wall("first", 0);
	must(wait(&st) > 0);
	signal(SIGALRM, SIG_IGN);
}

} // namespace

TEST(Limit, HungOpenIsAbandonedAndTheNextTerminalGetsEverything)
{
	NEEDS_OWN_RUN();
	NEEDS_PROC();
	Pty hung, next;
	Utmp db({record(hung.line()), record(next.line())});
	Trace r = broadcast("open:" + hung.name, "one\ntwo");

	ASSERT_TRUE(r.ok);
	ASSERT_EQ(r.hangs, std::vector<std::string>{"open " + hung.name});
	EXPECT_TRUE(costs2s(r.end - r.at[0]));
	EXPECT_LT(r.returned - r.start, 0.5);
	EXPECT_EQ(hung.read(), "");
	EXPECT_TRUE(got(next, r, "one\ntwo"));
	// The abandoned attempt had no descriptor: only the next one is closed.
	EXPECT_EQ(r.closes, std::vector<std::string>{next.name});
	EXPECT_EQ(r.pending, 0);
}

TEST(Limit, EveryLaterAttemptHasItsOwnLimit)
{
	NEEDS_OWN_RUN();
	NEEDS_PROC();
	Pty stats, writes, closes, next;
	Utmp db({record(stats.line()), record(writes.line()),
	    record(closes.line()), record(next.line())});
	const std::string hang = "stat:" + stats.name + " write:" + writes.name +
	    " close:" + closes.name;
	const std::vector<std::string> hangs = {"stat " + stats.name,
	    "write " + writes.name, "close " + closes.name};
	Trace r = broadcast(hang, "one\ntwo");

	ASSERT_TRUE(r.ok);
	ASSERT_EQ(r.hangs, hangs);
	EXPECT_TRUE(costs2s(r.at[1] - r.at[0]));
	EXPECT_TRUE(costs2s(r.at[2] - r.at[1]));
	EXPECT_TRUE(costs2s(r.end - r.at[2]));
	EXPECT_EQ(stats.read(), "");
	// Nothing of an abandoned write comes later, not even at exit.
	EXPECT_EQ(writes.read(), "");
	EXPECT_TRUE(got(closes, r, "one\ntwo"));
	EXPECT_TRUE(got(next, r, "one\ntwo"));
	// Abandoned descriptors are closed after the jump.
	EXPECT_EQ(r.closes, (std::vector<std::string>{writes.name, closes.name, next.name}));
	EXPECT_EQ(r.pending, 0);
}

// What a report says of a terminal whose open hangs, and of one put aside
// whose pty is freed and taken by another user while that open holds the
// walk up: the first ran out of time, the second is gone and gets nothing.
TEST(Limit, ReportSaysWhatBecameOfEachTerminal)
{
	NEEDS_ROOT();
	Pty freed, hung, next;
	ASSERT_EQ(fchown(freed.slave, 4444, 0), 0);
	ASSERT_EQ(tcflow(freed.slave, TCOOFF), 0);
	Utmp db({record(freed.line(), "mallory"), record(hung.line()), record(next.line())});
	std::thread taken([&] {
		usleep(1000000);
		if (fchown(freed.slave, 4343, 0) == 0)
			tcflow(freed.slave, TCOON);
	});
	Trace r = broadcast(
	    "open:" + hung.name, "hi",
	    [] { passwd("mallory:x:4444:4444::/:/bin/sh\n"); }, true);
	taken.join();
	const std::string due = std::to_string(local("root", "", datetext(r.t0)).size() + 2);

	ASSERT_TRUE(r.ok);
	EXPECT_EQ(r.told, (std::vector<std::string>{
			      freed.name + " " + std::to_string(WALL_GONE) + " 0/" + due,
			      hung.name + " " + std::to_string(WALL_TIMEOUT) + " 0/" + due,
			      next.name + " " + std::to_string(WALL_SENT) + " " + due + "/" + due,
			  }));
	EXPECT_EQ(freed.read(), "");
	EXPECT_EQ(next.read().size(), std::stoul(due));
}

TEST(Limit, HoldsWhateverTheCallerDidToTheAlarmSignal)
{
	NEEDS_OWN_RUN();
	Pty hung, next;
	Utmp db({record(hung.line()), record(next.line())});
	const struct {
		const char *what;
		std::function<void()> prepare;
	} cases[] = {
	    {"blocked", block_alarm},
	    {"ignored after the first call", ignore_alarm_after_a_call},
	};

	for (const auto &c : cases) {
		Trace r = broadcast("open:" + hung.name, "second", c.prepare);

		ASSERT_TRUE(r.ok) << c.what;
		ASSERT_EQ(r.hangs.size(), 1u) << c.what;
		EXPECT_TRUE(costs2s(r.end - r.at[0])) << c.what;
		EXPECT_EQ(hung.read().find("second"), std::string::npos) << c.what;
		std::string out = next.read();
		EXPECT_EQ(out.substr(out.size() - std::min<size_t>(out.size(), 6)), "second")
		    << c.what;
	}
}

TEST(Limit, CallerSurvivesAnAlarmAfterWallReturned)
{
	NEEDS_OWN_RUN();
	Pty tty;
	Utmp db({record(tty.line())});

	EXPECT_TRUE(caller([] {
		stdin_from("/dev/null");
		wall("x", 0);
		raise(SIGALRM);
	}));
	EXPECT_NE(tty.read().find('x'), std::string::npos);
}

// The sender's session ends as soon as wall returns: the hangup signals the
// terminal's foreground group, the broadcast child's too, while a hung
// terminal holds the child up.
TEST(Limit, ChildOutlivesTheSendersSession)
{
	NEEDS_OWN_RUN();
	Pty own, hung, next;
	Utmp db({record(hung.line()), record(next.line()), record(own.line())});
	const std::string tag = "(" + own.line() + ") ";

	const time_t t0 = time(nullptr);
	// Adopts the broadcast child to see how it ends.
	EXPECT_TRUE(caller([&] {
		must(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
		if (fork() == 0) {
			must(setsid() > 0 && ioctl(own.slave, TIOCSCTTY, 0) == 0);
			must(dup2(own.slave, 0) == 0);
			setenv("DOWALL_HANG", ("open:" + hung.name).c_str(), 1);
			wall("hi", 0);
			_exit(0);
		}
	}));
	const time_t t1 = time(nullptr);
	EXPECT_EQ(hung.read(), "");
	for (const Pty *tty : {&next, &own})
		EXPECT_TRUE(stamped(tty->read(), t0, t1, [&](const std::string &d) {
			return local(me(), tag, d) + "hi";
		})) << tty->name;
}
