// Delivery to the terminals of the login records: which records count, the
// paths they give, what is refused, and how the child ends.
// SPDX-License-Identifier: MIT

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "dowall.h"
#include "support.h"

namespace {

// A terminal's output with each banner shown as "#", so that what remains
// counts the deliveries and shows their texts.
std::string deliveries(const Pty &tty)
{
	std::string out = tty.read(), marked;
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

bool send(const char *text)
{
	return caller([&] {
		stdin_from("/dev/null");
		wall(text, 0);
	});
}

using Ptys = std::vector<std::unique_ptr<Pty>>;

Ptys ptys(size_t n)
{
	Ptys v;

	while (n-- > 0)
		v.push_back(std::make_unique<Pty>());
	return v;
}

} // namespace

TEST(Delivery, OnlyUserProcessRecordsWithAUser)
{
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
	Ptys tty = ptys(2);
	Utmp db({record(tty[0]->line(), "alice"), record(tty[1]->line(), "bob"),
	    record(tty[0]->line(), "alice")});

	ASSERT_TRUE(send("hi"));
	EXPECT_EQ(deliveries(*tty[0]), "#hi#hi");
	EXPECT_EQ(deliveries(*tty[1]), "#hi");
}

TEST(Delivery, TerminalsThatFailToOpenAreSkipped)
{
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

TEST(Delivery, WalkStartsAtTheFirstRecordWhateverTheCallerRead)
{
	Ptys tty = ptys(2);
	Utmp db({record(tty[0]->line()), record(tty[1]->line())});

	ASSERT_TRUE(caller([&] {
		stdin_from("/dev/null");
		setutent();
		must(getutent() != nullptr && getutent() != nullptr);
		wall("hi", 0);
	}));
	EXPECT_EQ(deliveries(*tty[0]), "#hi");
	EXPECT_EQ(deliveries(*tty[1]), "#hi");
}

TEST(Delivery, EmptyTextWritesTheBannerAlone)
{
	Pty tty;
	Utmp db({record(tty.line())});

	ASSERT_TRUE(send(""));
	EXPECT_EQ(deliveries(tty), "#");
}

TEST(Delivery, ChildExitsZeroWithNoRecordToWrite)
{
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
