// Real parts for the tests: pseudo-terminals, scratch login records and
// callers of wall in child processes.
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>
#include <time.h>
#include <utmp.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

constexpr char BEL = '\a';

// A pseudo-terminal pair; the slave is raw so that bytes arrive as written.
struct Pty {
	int master = -1;
	int slave = -1;
	std::string name; // "/dev/pts/N"

	Pty();
	~Pty();
	Pty(const Pty &) = delete;
	Pty &operator=(const Pty &) = delete;

	// The line name a login record gives for it: "pts/N".
	std::string line() const { return name.substr(5); }
	// Everything written to the slave, once nothing more has come for a while.
	std::string read() const;
};

using Ptys = std::vector<std::unique_ptr<Pty>>;

// n pseudo-terminals.
Ptys ptys(size_t n);

// A terminal's output with each banner shown as "#", so that what remains
// counts the deliveries and shows their texts.
std::string deliveries(const std::string &out);
std::string deliveries(const Pty &tty);

// One login record, with fields filled as far as they go (no terminator
// when a value fills its field).
struct utmp record(const std::string &line, const std::string &user = "alice",
    short type = USER_PROCESS);

// Writes recs as the login-records file at path.
void records(const std::string &path, const std::vector<struct utmp> &recs);

// The login records of the callers made while it lives, in a /run of
// their own (see NEEDS_OWN_RUN).
struct Utmp {
	explicit Utmp(const std::vector<struct utmp> &recs);
	~Utmp();
	Utmp(const Utmp &) = delete;
	Utmp &operator=(const Utmp &) = delete;
};

// Runs fn in a child that stands for a caller of wall, then reaps it and
// every process it left. True if all of them exited with status 0.
bool caller(const std::function<void()> &fn);

// In a caller: waits for all children; exits with status 3 if one failed.
void reap();
// In a caller: exits with status 2 when a set-up step fails.
void must(bool ok);
// In a caller: makes the mount table its own, so mounts stay private.
void private_mounts();
// In a caller: the password database holds just this text (needs root).
void passwd(const std::string &text);
// In a caller: the group database holds just this text (needs root).
void groups(const std::string &text);
// In a caller: standard input comes from path.
void stdin_from(const std::string &path);

// Why a test cannot have, here, real root in a private mount namespace
// whose / and /run are its own, with the further namespaces that unshare
// flags name; empty when it can. Found once per flags, in a child.
std::string no_private_root(int namespaces = 0);

// Skips the test, saying why, when why is not empty.
#define SKIP_FOR(why) \
	do { \
		const std::string why_ = (why); \
		if (!why_.empty()) \
			GTEST_SKIP() << why_; \
	} while (0)

// Skips the test, saying why, unless it can have that private root, with
// the further namespaces given, if any.
#define NEEDS_ROOT(...) SKIP_FOR(no_private_root(__VA_ARGS__))

// Why a caller cannot, here, have a /run of its own, which login records of
// the test's own need; empty when it can.
std::string no_own_run();

// Skips the test, saying why, unless its callers can have their own /run.
#define NEEDS_OWN_RUN() SKIP_FOR(no_own_run())

// Why a test cannot, here, name the file of a descriptor, as ttyname and
// the probe do through /proc; empty when it can.
std::string no_proc();

// Skips the test, saying why, where /proc is not mounted (a bare chroot).
#define NEEDS_PROC() SKIP_FOR(no_proc())

// Skips the test where the module is built without logind's sessions.
#if DOWALL_LOGIND
#define NEEDS_LOGIND() (void)0
#else
#define NEEDS_LOGIND() GTEST_SKIP() << "built without logind's sessions (DOWALL_LOGIND is off)"
#endif

// The 24-character date text for t, as a banner shows it.
std::string datetext(time_t t);

// Whether got equals make(date) for the date text of some second in [t0, t1].
testing::AssertionResult stamped(const std::string &got, time_t t0, time_t t1,
    const std::function<std::string(const std::string &)> &make);

// The local banner as a terminal shows it, cut at 80 characters, and the
// remote one.
std::string local(const std::string &user, const std::string &tag,
    const std::string &date);
std::string remote(const std::string &date);

// Everything read from fd up to end of file; fd is closed.
std::string drain(int fd);

// Seconds on the monotonic clock.
double now();

// Whether seconds is what one terminal that never completes costs: the
// 2-second limit, with room for a loaded machine.
testing::AssertionResult costs2s(double seconds);

// Name of the user that the test runs as.
std::string me();

// Runs fn in a caller that is the first process of a pid namespace of its
// own, with its own /proc, a tmpfs /run holding an empty /run/utmp and the
// directories logind keeps, and a devpts instance of its own on /dev/pts,
// so that its ptys are the only terminals a broadcast can reach (needs
// root). True if every process exited with status 0.
bool isolated(const std::function<void()> &fn);

// In an isolated caller: a session file with these lines, as logind writes.
void session(const std::string &id, const std::string &lines);
