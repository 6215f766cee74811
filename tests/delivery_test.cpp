// Delivery to the terminals of the login records: which records count, the
// paths they give, what is refused, and how the child ends.
// SPDX-License-Identifier: MIT

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "dowall.h"
#include "support.h"

namespace {

bool send(const char *text)
{
	return caller([&] {
		stdin_from("/dev/null");
		wall(text, 0);
	});
}

// Reads what a pty's slave is given, in a thread of its own that starts
// after delay seconds and keeps up until stopped and quiet.
class Reader {
public:
	explicit Reader(const Pty &tty, double delay = 0)
	    : thread([this, &tty, delay] {
		      usleep(static_cast<useconds_t>(delay * 1e6));
		      struct pollfd p = {tty.master, POLLIN, 0};
		      char buf[4096];
		      while (poll(&p, 1, 100) > 0 || !stopped) {
			      ssize_t n = (p.revents & POLLIN) != 0 ? read(tty.master, buf, sizeof buf) : 0;
			      if (n > 0 && got.empty())
				      first = now();
			      if (n > 0)
				      got.append(buf, n);
		      }
	      })
	{
	}
	~Reader() { stop(); }
	Reader(const Reader &) = delete;
	Reader &operator=(const Reader &) = delete;

	std::string stop()
	{
		stopped = true;
		if (thread.joinable())
			thread.join();
		return got;
	}

	// When the first byte came; 0 for none yet.
	double started() const { return first; }

private:
	std::atomic<bool> stopped{false};
	std::string got;
	std::atomic<double> first{0};
	std::thread thread;
};

// Fills tty's queue until it takes no more; what it took.
std::string fill(const Pty &tty)
{
	const std::string chunk(4096, '~');
	const int flags = fcntl(tty.slave, F_GETFL);
	std::string queued;

	fcntl(tty.slave, F_SETFL, flags | O_NONBLOCK);
	for (ssize_t n; (n = write(tty.slave, chunk.data(), chunk.size())) > 0;)
		queued.append(chunk, 0, n);
	fcntl(tty.slave, F_SETFL, flags);
	return queued;
}

std::string lines(int n)
{
	std::string text;

	for (int i = 0; i < n; i++)
		text += "line " + std::to_string(i) + "\n";
	return text;
}

} // namespace

TEST(Delivery, OnlyUserProcessRecordsWithAUser)
{
	NEEDS_OWN_RUN();
	const struct {
		short type;
		const char *user;
		bool written;
	} cases[] = {
	    {EMPTY, "alice", false},
	    {RUN_LVL, "alice", false},
	    {BOOT_TIME, "alice", false},
	    {NEW_TIME, "alice", false},
	    {OLD_TIME, "alice", false},
	    {INIT_PROCESS, "alice", false},
	    {LOGIN_PROCESS, "alice", false},
	    {DEAD_PROCESS, "alice", false},
	    {ACCOUNTING, "alice", false},
	    {USER_PROCESS, "", false},
	    {USER_PROCESS, "alice", true},
	};
	Ptys tty = ptys(std::size(cases));
	std::vector<struct utmp> recs;

	for (size_t i = 0; i < std::size(cases); i++)
		recs.push_back(record(tty[i]->line(), cases[i].user, cases[i].type));
	Utmp db(recs);
	ASSERT_TRUE(send("hi"));
	for (size_t i = 0; i < std::size(cases); i++)
		EXPECT_EQ(deliveries(*tty[i]), cases[i].written ? "#hi" : "")
		    << "type " << cases[i].type << " user '" << cases[i].user << "'";
}

// Extra slashes stretch a line to its whole 32-byte field, unterminated.
TEST(Delivery, PathFromTheLineName)
{
	NEEDS_OWN_RUN();
	Ptys tty = ptys(4);
	const auto stretch = [](const std::string &head, const std::string &tail) {
		return head + std::string(32 - head.size() - tail.size(), '/') + tail;
	};
	const std::string n = tty[2]->name.substr(sizeof "/dev/pts/" - 1);
	const std::string lines[] = {
	    tty[0]->line(),
	    tty[1]->name,
	    stretch("pts", n),
	    stretch("/dev", tty[3]->line()),
	};

	ASSERT_EQ(lines[2].size(), 32u);
	ASSERT_EQ(lines[3].size(), 32u);
	Utmp db({record(lines[0]), record(lines[1]), record(lines[2]), record(lines[3])});
	ASSERT_TRUE(send("hi"));
	for (size_t i = 0; i < tty.size(); i++)
		EXPECT_EQ(deliveries(*tty[i]), "#hi") << lines[i];
}

TEST(Delivery, EveryRecordIsWrittenWithoutDeduplication)
{
	NEEDS_OWN_RUN();
	Ptys tty = ptys(2);
	Utmp db({record(tty[0]->line(), "alice"), record(tty[1]->line(), "bob"),
	    record(tty[0]->line(), "alice")});

	ASSERT_TRUE(send("hi"));
	EXPECT_EQ(deliveries(*tty[0]), "#hi#hi");
	EXPECT_EQ(deliveries(*tty[1]), "#hi");
}

TEST(Delivery, TerminalsThatFailToOpenAreSkipped)
{
	NEEDS_OWN_RUN();
	Pty tty;
	// A pty whose slave was never unlocked: a terminal device that no open gets.
	int locked = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_GE(locked, 0);
	Utmp db({record(""), record("dowall-no-such-terminal"),
	    record(ptsname(locked)), record(tty.line())});

	ASSERT_TRUE(send("hi"));
	EXPECT_EQ(deliveries(tty), "#hi");
	close(locked);
}

// The walk reads the records from the first, and the caller's own reading
// of them goes on where it was.
TEST(Delivery, WalkLeavesTheCallersPlaceInTheRecords)
{
	NEEDS_OWN_RUN();
	Ptys tty = ptys(2);
	Utmp db({record(tty[0]->line()), record(tty[1]->line())});

	ASSERT_TRUE(caller([&] {
		stdin_from("/dev/null");
		setutent();
		must(getutent() != nullptr);
		wall("hi", 0);
		const struct utmp *next = getutent();
		must(next != nullptr && tty[1]->line() == next->ut_line);
	}));
	EXPECT_EQ(deliveries(*tty[0]), "#hi");
	EXPECT_EQ(deliveries(*tty[1]), "#hi");
}

TEST(Delivery, EmptyOrNullTextWritesTheBannerAlone)
{
	NEEDS_OWN_RUN();
	Pty tty;
	Utmp db({record(tty.line())});

	for (const char *text : {"", static_cast<const char *>(nullptr)}) {
		ASSERT_TRUE(send(text));
		EXPECT_EQ(deliveries(tty), "#");
	}
}

TEST(Delivery, ChildExitsZeroWithNoRecordToWrite)
{
	NEEDS_OWN_RUN();
	Pty tty;

	for (const auto &recs : {std::vector<struct utmp>{},
		 std::vector<struct utmp>{record(tty.line(), "alice", DEAD_PROCESS)}}) {
		Utmp db(recs);
		EXPECT_TRUE(send("hi")); // every child is reaped and exited 0
	}
	EXPECT_EQ(deliveries(tty), "");
}

// Records naming what is not a terminal, or leading out of /dev, get
// nothing, and the walk goes on; a name merely holding ".." is no escape.
TEST(Delivery, WritesOnlyToTerminalsUnderDev)
{
	NEEDS_OWN_RUN();
	const std::string dir = "/dev/shm";
	if (access(dir.c_str(), W_OK) != 0)
		GTEST_SKIP() << dir << " is not writable here";
	Pty target, last;
	const std::string base = "dowall-" + std::to_string(getpid());
	const std::string file = dir + "/" + base + "-file", fifo = dir + "/" + base + "-fifo";
	const std::string link = dir + "/" + base + "-a..b";
	ASSERT_EQ(close(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)), 0);
	ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
	int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(reader, 0);
	ASSERT_EQ(symlink(target.name.c_str(), link.c_str()), 0);
	const std::string refused[] = {
	    "pts/../" + target.line(),
	    "../dev/" + target.line(),
	    "/dev/pts/../" + target.line(),
	    "..",
	    target.line() + "/..",
	    file.substr(5),
	    fifo.substr(5),
	    "shm",
	    "null",
	};
	std::vector<struct utmp> recs;
	for (const std::string &line : refused)
		recs.push_back(record(line));
	recs.push_back(record(link.substr(5)));
	recs.push_back(record(last.line()));
	Utmp db(recs);

	ASSERT_TRUE(send("hi"));
	EXPECT_EQ(deliveries(target), "#hi"); // through the link, once
	EXPECT_EQ(deliveries(last), "#hi");
	struct stat st;
	EXPECT_EQ(stat(file.c_str(), &st), 0);
	EXPECT_EQ(st.st_size, 0);
	char c;
	EXPECT_LE(read(reader, &c, 1), 0);
	close(reader);
	unlink(file.c_str());
	unlink(fifo.c_str());
	unlink(link.c_str());
}

// The child holds a copy of the caller's unflushed output and exit
// handlers; they must come out once, from the caller.
TEST(Delivery, CallersPendingOutputAndExitHandlersRunOnce)
{
	NEEDS_OWN_RUN();
	Pty tty;
	Utmp db({record(tty.line())});
	int p[2];

	ASSERT_EQ(pipe(p), 0);
	ASSERT_TRUE(caller([&] {
		must(dup2(p[1], 1) == 1);
		close(p[0]);
		close(p[1]);
		atexit([] { must(write(1, "handler\n", 8) == 8); });
		fputs("pending\n", stdout); // stdout on a pipe is fully buffered
		wall("hi", 0);
		reap();
		exit(0);
	}));
	close(p[1]);

	EXPECT_EQ(drain(p[0]), "handler\npending\n"); // exit handlers run before the flush
	EXPECT_EQ(deliveries(tty), "#hi");
}

// Another program writing to a terminal all the while makes it refuse a
// non-blocking write whenever the two meet.
TEST(Delivery, BusyTerminalGetsEveryBannerAndLine)
{
	NEEDS_OWN_RUN();
	constexpr char NOISE = '~';
	const std::string text = lines(40);
	Pty tty;
	Utmp db({record(tty.line())});
	Reader reader(tty);
	std::atomic<bool> stop{false};
	std::thread noise([&] {
		while (!stop)
			if (write(tty.slave, &NOISE, 1) != 1)
				break;
	});

	for (int i = 0; i < 4; i++)
		ASSERT_TRUE(send(text.c_str()));
	stop = true;
	noise.join();
	std::string out = reader.stop();
	out.erase(std::remove(out.begin(), out.end(), NOISE), out.end());
	EXPECT_EQ(deliveries(out), "#" + text + "#" + text + "#" + text + "#" + text);
}

// A terminal whose reader is away for a moment, its queue full, gets the
// whole message once the reader is back, and the next one is still written.
TEST(Delivery, BrieflyFullTerminalGetsTheWholeMessage)
{
	NEEDS_OWN_RUN();
	const std::string text = lines(10);
	Pty full, next;
	Utmp db({record(full.line()), record(next.line())});
	const std::string queued = fill(full);
	Reader reader(full, 0.5);
	ASSERT_TRUE(send(text.c_str()));

	const std::string out = reader.stop();
	EXPECT_EQ(out.substr(0, queued.size()), queued);
	EXPECT_EQ(deliveries(out.substr(queued.size())), "#" + text);
	EXPECT_EQ(deliveries(next), "#" + text);
}

// Terminals whose output is stopped (Ctrl-S, a stopped ssh client) hold up
// nobody: the terminal after five of them gets its bytes before they are
// resumed, and each of them then gets the whole message, once. One with
// room for part of the message gets that part at once and exactly the rest
// when its reader is back.
TEST(Delivery, StoppedTerminalsHoldUpNobody)
{
	NEEDS_OWN_RUN();
	const std::string text = lines(1000);
	Ptys stopped = ptys(5);
	Pty part, next;
	std::vector<struct utmp> recs;
	std::vector<std::unique_ptr<Reader>> readers;

	for (const auto &tty : stopped) {
		ASSERT_EQ(tcflow(tty->slave, TCOOFF), 0);
		recs.push_back(record(tty->line()));
		readers.push_back(std::make_unique<Reader>(*tty));
	}
	// Reading any of a full pty makes room for a few KiB.
	std::string queued = fill(part);
	char c;
	ASSERT_EQ(read(part.master, &c, 1), 1);
	queued.erase(0, 1);
	recs.push_back(record(part.line()));
	recs.push_back(record(next.line()));
	Utmp db(recs);
	Reader partly(part, 0.5), after(next);
	std::atomic<double> resumed{0};
	// Half a second after the last one has its copy, or after seconds
	// without, the stopped ones are resumed.
	std::thread resume([&] {
		for (const double end = now() + 5; after.started() == 0 && now() < end;)
			usleep(10000);
		usleep(500000);
		resumed = now();
		for (const auto &tty : stopped)
			tcflow(tty->slave, TCOON);
	});

	EXPECT_TRUE(send(text.c_str()));
	resume.join();
	EXPECT_EQ(deliveries(after.stop()), "#" + text);
	EXPECT_GT(after.started(), 0);
	EXPECT_LT(after.started(), resumed);
	for (size_t i = 0; i < stopped.size(); i++)
		EXPECT_EQ(deliveries(readers[i]->stop()), "#" + text) << i;
	const std::string out = partly.stop();
	EXPECT_EQ(out.substr(0, queued.size()), queued);
	EXPECT_EQ(deliveries(out.substr(queued.size())), "#" + text);
}

// A hundred stopped terminals cost the child one window of 2 seconds, not
// 2 seconds each, and hold up nobody: a full one listed after them has its
// whole copy once its reader is back, half a second in. Of the stopped
// ones, those resumed within the window get the whole message once, those
// resumed after it nothing.
TEST(Delivery, StoppedTerminalsAreFinishedTogether)
{
	NEEDS_OWN_RUN();
	const std::string text = lines(10);
	Ptys stopped = ptys(100);
	Pty full;
	std::vector<struct utmp> recs;

	for (const auto &tty : stopped) {
		ASSERT_EQ(tcflow(tty->slave, TCOOFF), 0);
		recs.push_back(record(tty->line(), "bob"));
	}
	const std::string queued = fill(full);
	recs.push_back(record(full.line()));
	Utmp db(recs);
	Reader reader(full, 0.5);
	std::thread resume([&] {
		usleep(1000000);
		for (size_t i = 0; i < stopped.size(); i += 2)
			tcflow(stopped[i]->slave, TCOON);
	});
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(caller([&] {
		stdin_from("/dev/null");
		const double start = now();
		must(wall(text.c_str(), 0) == 0);
		reap();
		dprintf(p[1], "%f", now() - start);
	}));
	resume.join();
	for (size_t i = 1; i < stopped.size(); i += 2)
		tcflow(stopped[i]->slave, TCOON);
	close(p[1]);
	const double took = std::stod(drain(p[0]));
	EXPECT_GT(took, 1.5);
	EXPECT_LT(took, 4);
	const std::string out = reader.stop();
	EXPECT_EQ(out.substr(0, queued.size()), queued);
	EXPECT_EQ(deliveries(out.substr(queued.size())), "#" + text);
	usleep(200000);
	for (size_t i = 0; i < stopped.size(); i++) {
		char buf[4096];
		fcntl(stopped[i]->master, F_SETFL, O_NONBLOCK);
		const ssize_t n = read(stopped[i]->master, buf, sizeof buf);
		EXPECT_EQ(deliveries(std::string(buf, std::max<ssize_t>(n, 0))), i % 2 == 0 ? "#" + text : "")
		    << i;
	}
}

// A caller whose standard streams are closed: the report's file and pipe
// take their numbers, and must not be lost when the child points 0, 1 and
// 2 at /dev/null.
TEST(Delivery, CallerWithoutStandardStreamsReachesEveryone)
{
	NEEDS_OWN_RUN();
	Ptys tty = ptys(2);
	Utmp db({record(tty[0]->line()), record(tty[1]->line())});
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(caller([&] {
		int sent = 0;
		close(0);
		close(1);
		close(2);
		must(wallsend(
			 "hi", nullptr, 0, [](const struct wallterm *, int outcome, size_t, size_t, void *arg) {
				 *static_cast<int *>(arg) += outcome == WALL_SENT;
			 },
			 &sent) == 0);
		dprintf(p[1], "%d", sent);
	}));
	close(p[1]);
	EXPECT_EQ(drain(p[0]), "2");
	for (const auto &t : tty)
		EXPECT_EQ(deliveries(*t), "#hi");
}

// A writer holding the login records' lock, as a stopped utmp helper can,
// delays neither the list nor the broadcast.
TEST(Delivery, LockOnTheRecordsDelaysNothing)
{
	NEEDS_OWN_RUN();
	Pty tty;
	Utmp db({record(tty.line())});
	int p[2], held[2];
	ASSERT_EQ(pipe(p), 0);
	ASSERT_EQ(pipe(held), 0);

	ASSERT_TRUE(caller([&] {
		stdin_from("/dev/null");
		const pid_t holder = fork();
		if (holder == 0) {
			struct flock lock = {};
			lock.l_type = F_WRLCK;
			lock.l_whence = SEEK_SET;
			const int f = open("/run/utmp", O_RDWR);
			must(f >= 0 && fcntl(f, F_SETLK, &lock) == 0 && write(held[1], "x", 1) == 1);
			pause();
			_exit(0);
		}
		char c;
		must(read(held[0], &c, 1) == 1);
		const double start = now();
		const int n = wallterms([](const struct wallterm *, void *) {}, nullptr);
		must(wall("hi", 0) == 0);
		must(wait(nullptr) != holder);
		dprintf(p[1], "%d %f", n, now() - start);
		kill(holder, SIGKILL);
		waitpid(holder, nullptr, 0);
	}));
	close(p[1]);
	std::istringstream got(drain(p[0]));
	int listed = 0;
	double took = 99;
	got >> listed >> took;
	EXPECT_EQ(listed, 1);
	EXPECT_LT(took, 1);
	EXPECT_EQ(deliveries(tty), "#hi");
}

// The sender may signal its broadcast child. A flood of SIGALRM while the
// child waits on full terminals must neither crash it nor cut an attempt
// short: once the flood is over, every terminal has the whole message.
TEST(Delivery, AlarmFloodFromTheSenderBreaksNothing)
{
	NEEDS_OWN_RUN();
	const std::string text = lines(10);
	Ptys tty = ptys(3);
	std::vector<struct utmp> recs;
	std::vector<std::string> queued(tty.size());
	std::vector<std::unique_ptr<Reader>> readers;

	for (size_t i = 0; i < tty.size(); i++) {
		queued[i] = fill(*tty[i]);
		recs.push_back(record(tty[i]->line()));
		readers.push_back(std::make_unique<Reader>(*tty[i], 0.3 * static_cast<double>(i + 1)));
	}
	Utmp db(recs);
	ASSERT_TRUE(caller([&] {
		stdin_from("/dev/null");
		// A group of its own, so that the flood reaches only the caller,
		// which wall's handler shields, and the broadcast child.
		must(setpgid(0, 0) == 0);
		must(wall(text.c_str(), 0) == 0);
		for (const double end = now() + 1; now() < end;)
			kill(0, SIGALRM);
	}));
	for (size_t i = 0; i < tty.size(); i++) {
		const std::string out = readers[i]->stop();
		EXPECT_EQ(out.substr(0, queued[i].size()), queued[i]) << i;
		EXPECT_EQ(deliveries(out.substr(queued[i].size())), "#" + text) << i;
	}
}

// Terminals of logind's sessions, in namespaces of the test's own, so that
// no terminal of the machine can be reached; "@" in a session's lines
// stands for its pty's line. The records list the second pty too.
TEST(Delivery, SessionsAddTheTerminalsNoRecordGave)
{
	NEEDS_ROOT(CLONE_NEWPID);
	NEEDS_LOGIND();
	const std::string user = "UID=4000\nCLASS=user\nSTATE=active\n";
	const struct {
		std::string lines;
		uid_t owner; // of the pty; only 4000 and 4005 are logged in
		bool written;
	} cases[] = {
	    {user + "TTY=@\n", 4000, true},
	    {user + "TTY=@\n", 4000, true}, // and a record: once
	    {"UID=4000\nCLASS=user-early\nSTATE=online\nTTY=/dev/@\n", 4000, true},
	    {"UID=4001\nCLASS=user\nSTATE=closing\nTTY=@\n", 4001, false},
	    {"UID=4002\nCLASS=greeter\nSTATE=active\nTTY=@\n", 4002, false},
	    {"UID=4003\nCLASS=manager\nSTATE=active\nTTY=@\n", 4003, false},
	    {"UID=4004\nSTATE=active\nTTY=@\n", 4004, false},             // no class
	    {"UID=4005\nCLASS=user\nSTATE=active\nTTY=@\n", 4006, false}, // not its user's
	    {user + "TTY=pts/../@\n", 4009, false},
	    // Cut to fit a path, it would name the pty.
	    {user + "TTY=" + std::string(27, '/') + "@0\n", 4009, false},
	};
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(isolated([&] {
		Ptys tty = ptys(std::size(cases));
		records("/run/utmp", {record(tty[1]->line())});
		for (size_t i = 0; i < tty.size(); i++) {
			must(fchown(tty[i]->slave, cases[i].owner, 0) == 0);
			std::string lines = cases[i].lines;
			lines.replace(lines.find('@'), 1, tty[i]->line());
			session(std::to_string(i + 2), lines);
		}
		// A later session that gives the first pty again, and a file.
		session("20", user + "TTY=" + tty[0]->line() + "\n");
		must(close(open("/dev/shm/file", O_WRONLY | O_CREAT, 0644)) == 0);
		session("21", user + "TTY=shm/file\n");
		must(send("hi"));
		struct stat st;
		must(stat("/dev/shm/file", &st) == 0 && st.st_size == 0);
		for (const auto &t : tty)
			dprintf(p[1], "%s|", deliveries(*t).c_str());
		// With no logind at all, the records alone.
		must(rename("/run/systemd", "/run/gone") == 0);
		must(send("hi"));
		dprintf(p[1], "%s", deliveries(*tty[1]).c_str());
	}));
	close(p[1]);
	std::istringstream got(drain(p[0]));
	std::string out;
	for (size_t i = 0; i < std::size(cases); i++) {
		ASSERT_TRUE(std::getline(got, out, '|'));
		EXPECT_EQ(out, cases[i].written ? "#hi" : "") << i << ": " << cases[i].lines;
	}
	ASSERT_TRUE(std::getline(got, out, '|'));
	EXPECT_EQ(out, "#hi");
}

// The ptys that logged-in users own, held by no login's processes (tmux
// panes, terminal windows), in namespaces of the test's own: each gets the
// message once; a pty of anyone else gets nothing. Carol is logged in by a
// record alone, with sessions and without. A pty whose output is stopped
// holds up no other, and gets its copy once resumed.
TEST(Delivery, EveryPtyOfALoggedInUserAndNoOneElses)
{
	NEEDS_ROOT(CLONE_NEWPID);
	NEEDS_LOGIND();
	const struct {
		uid_t owner;
		const char *whose;
		bool written, alone; // with the sessions, and with the records alone
		bool stopped;
	} cases[] = {
	    {4000, "a session's user, output stopped", true, false, true},
	    {4000, "a session's user", true, false, false},
	    {4001, "whose only session is closing", false, false, false},
	    {4002, "lingering: a service manager alone", false, false, false},
	    {4003, "with neither record nor session", false, false, false},
	    {0, "root, not logged in", false, false, false},
	    {4004, "a record's user", true, true, false},
	};
	int p[2];
	ASSERT_EQ(pipe(p), 0);

	ASSERT_TRUE(isolated([&] {
		passwd("root:x:0:0::/root:/bin/sh\ncarol:x:4004:4004::/:/bin/sh\n");
		Ptys tty = ptys(std::size(cases) + 1);
		for (size_t i = 0; i < std::size(cases); i++) {
			must(fchown(tty[i]->slave, cases[i].owner, 0) == 0);
			must(!cases[i].stopped || tcflow(tty[i]->slave, TCOOFF) == 0);
		}
		// Carol's login, whose record names the last pty.
		must(fchown(tty.back()->slave, 4004, 0) == 0);
		records("/run/utmp", {record(tty.back()->line(), "carol")});
		session("5", "UID=4000\nCLASS=user\nSTATE=active\n");
		session("6", "UID=4001\nCLASS=user\nSTATE=closing\n");
		session("7", "UID=4002\nCLASS=manager\nSTATE=active\n");
		stdin_from("/dev/null");
		must(wall("hi", 0) == 0);
		// The pty after the stopped one has its copy while that one waits.
		struct pollfd next = {tty[1]->master, POLLIN, 0};
		dprintf(p[1], "%d|", poll(&next, 1, 1000));
		for (const auto &t : tty)
			tcflow(t->slave, TCOON);
		reap();
		for (const auto &t : tty)
			dprintf(p[1], "%s|", deliveries(*t).c_str());
		must(rename("/run/systemd", "/run/gone") == 0);
		must(send("hi"));
		for (const auto &t : tty)
			dprintf(p[1], "%s|", deliveries(*t).c_str());
	}));
	close(p[1]);
	std::istringstream got(drain(p[0]));
	std::string out;
	ASSERT_TRUE(std::getline(got, out, '|'));
	EXPECT_EQ(out, "1") << "the pty after a stopped one had nothing while it was stopped";
	for (const bool sessions : {true, false}) {
		for (const auto &c : cases) {
			ASSERT_TRUE(std::getline(got, out, '|'));
			EXPECT_EQ(out, (sessions ? c.written : c.alone) ? "#hi" : "")
			    << c.whose << (sessions ? "" : ", without sessions");
		}
		ASSERT_TRUE(std::getline(got, out, '|'));
		EXPECT_EQ(out, "#hi") << "carol's record" << (sessions ? "" : ", without sessions");
	}
}

// With tostop set, a background job's write to its terminal stops the job
// and its broadcast child; with the group orphaned, the write fails instead.
TEST(Delivery, BackgroundJobReachesItsOwnTerminal)
{
	NEEDS_OWN_RUN();
	Pty own, next;
	Utmp db({record(own.line()), record(next.line())});

	ASSERT_TRUE(caller([&] {
		struct termios t;
		int st;

		must(setsid() > 0 && ioctl(own.slave, TIOCSCTTY, 0) == 0);
		must(tcgetattr(own.slave, &t) == 0);
		t.c_lflag |= TOSTOP;
		must(tcsetattr(own.slave, TCSANOW, &t) == 0);
		pid_t job = fork();
		if (job == 0) {
			sigset_t mask;
			struct sigaction hup, ttou;

			must(setpgid(0, 0) == 0);
			stdin_from(own.name);
			wall("hi", 0);
			// The caller's own signal handling is as it was.
			sigprocmask(SIG_BLOCK, nullptr, &mask);
			sigaction(SIGHUP, nullptr, &hup);
			sigaction(SIGTTOU, nullptr, &ttou);
			must(!sigismember(&mask, SIGHUP) && !sigismember(&mask, SIGTTOU));
			must(hup.sa_handler == SIG_DFL && ttou.sa_handler == SIG_DFL);
			double start = now();
			must(waitpid(-1, &st, WUNTRACED) > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0);
			must(now() - start < 1);
			_exit(0);
		}
		must(waitpid(job, &st, WUNTRACED) == job && WIFEXITED(st) && WEXITSTATUS(st) == 0);
	}));
	EXPECT_EQ(deliveries(own), "#hi");
	EXPECT_EQ(deliveries(next), "#hi");
}
