// The banner above each message: sender, terminal tag, date and the cut at
// 80 characters, as a real terminal receives it.
// SPDX-License-Identifier: MIT

#include <pwd.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dowall.h"
#include "support.h"

namespace {

// What one terminal got from a broadcast by a caller set up by prepare.
struct Shot {
	std::string out;
	time_t t0, t1;
	bool ok;
};

Shot broadcast(const char *text, int remote, const std::function<void()> &prepare)
{
	Pty tty;
	Utmp db({record(tty.line())});
	Shot s;

	s.t0 = time(nullptr);
	s.ok = caller([&] {
		prepare();
		wall(text, remote);
	});
	s.t1 = time(nullptr);
	s.out = tty.read();
	return s;
}

} // namespace

TEST(Banner, LocalNamesSenderTerminalAndDate)
{
	NEEDS_OWN_RUN();
	Pty from;
	const std::string tag = "(" + from.line() + ") ";
	Shot s = broadcast("hi", 0, [&] { stdin_from(from.name); });

	ASSERT_TRUE(s.ok);
	EXPECT_TRUE(stamped(s.out, s.t0, s.t1,
	    [&](const std::string &d) { return local(me(), tag, d) + "hi"; }));
	EXPECT_EQ(s.out.size(), 58 + me().size() + tag.size() + 2);
}

TEST(Banner, RemoteNamesNeitherSenderNorTerminal)
{
	NEEDS_OWN_RUN();
	Pty from;
	Shot s = broadcast("hi", 1, [&] { stdin_from(from.name); });

	ASSERT_TRUE(s.ok);
	EXPECT_TRUE(stamped(s.out, s.t0, s.t1,
	    [](const std::string &d) { return remote(d) + "hi"; }));
	EXPECT_EQ(s.out.size(), 59u + 2);
}

TEST(Banner, SenderName)
{
	NEEDS_ROOT();
	const struct {
		const char *passwd;
		uid_t uid;
		const char *sender;
	} cases[] = {
	    {"", 0, "root"},
	    {"", 500, "uid 500"},
	    {"", 2147483647u, "uid 2147483647"},
	    {"", 2147483648u, "uid -2147483648"},
	    {"", 4294967294u, "uid -2"},
	    {"ops:x:0:0::/:/bin/sh\n", 0, "ops"},
	    {"amy:x:500:500::/:/bin/sh\n", 500, "amy"},
	    {"\x1b]0;x\a\tu\r:x:500:500::/:/bin/sh\n", 500, "^[]0;x^G^Iu^M"},
	};

	for (const auto &c : cases) {
		Shot s = broadcast("", 0, [&] {
			passwd(c.passwd);
			must(setuid(c.uid) == 0);
			stdin_from("/dev/null");
		});

		ASSERT_TRUE(s.ok) << c.sender;
		EXPECT_TRUE(stamped(s.out, s.t0, s.t1,
		    [&](const std::string &d) { return local(c.sender, "", d); }));
	}
}

// Sender and tag together fit in 22 characters; past that the banner is
// cut at 80, losing its line ends first.
TEST(Banner, CutsAtEightyCharacters)
{
	NEEDS_ROOT();
	const struct {
		size_t name;
		bool whole;
	} cases[] = {{21, true}, {22, true}, {23, false}, {60, false}};

	for (const auto &c : cases) {
		const std::string name(c.name, 'n');
		Shot s = broadcast("text", 0, [&] {
			passwd(name + ":x:0:0::/:/bin/sh\n");
			stdin_from("/dev/null");
		});

		ASSERT_TRUE(s.ok);
		EXPECT_TRUE(stamped(s.out, s.t0, s.t1, [&](const std::string &d) {
			return local(name, "", d) + "text";
		}));
		const std::string banner = s.out.substr(0, s.out.size() - 4);
		EXPECT_EQ(banner.size(), std::min<size_t>(58 + c.name, 80)) << c.name;
		EXPECT_EQ(banner.substr(banner.size() - 4) == "\r\n\r\n", c.whole) << c.name;
	}
}

// The terminal on standard input is reached through other mount points, so
// that its name takes the shapes under test.
TEST(Banner, TerminalTag)
{
	NEEDS_ROOT();
	NEEDS_PROC();
	Pty from;
	const std::string n = from.name.substr(sizeof "/dev/pts/" - 1);
	// A directory under /dev that gives a name of len characters once
	// "/dev/" is dropped, and the tag that name makes.
	const auto dir = [&](size_t len) { return "/dev/" + std::string(len - 1 - n.size(), 'p'); };
	const auto tag = [&](size_t len) { return "(" + (dir(len) + "/" + n).substr(5, 28) + ") "; };
	const struct {
		std::string dir, tag;
	} cases[] = {
	    {"/dev/pts", "(pts/" + n + ") "},
	    {"/dev/dev", "(dev/" + n + ") "}, // only the leading "/dev/" goes
	    {"/mnt/pts", "(/mnt/pts/" + n + ") "},
	    // A name anyone can make: it must not reach a terminal as codes.
	    {"/mnt/\x1b[2J\r\x9b", "(/mnt/^[[2J^M^[/" + n + ") "},
	    {dir(27), tag(27)},
	    {dir(28), tag(28)},
	    {dir(29), tag(29)},
	    {dir(40), tag(40)},
	};
	for (const auto &c : cases) {
		Shot s = broadcast("", 0, [&] {
			// Both /dev and /mnt become scratch trees with the ptys bound in.
			private_mounts();
			must(mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) == 0);
			must(mkdir("/mnt/pts", 0755) == 0);
			must(mount("/dev/pts", "/mnt/pts", "none", MS_BIND, nullptr) == 0);
			must(mount("tmpfs", "/dev", "tmpfs", 0, nullptr) == 0);
			for (const std::string &dir : {std::string("/dev/pts"), c.dir}) {
				mkdir(dir.c_str(), 0755);
				must(mount("/mnt/pts", dir.c_str(), "none", MS_BIND, nullptr) == 0);
			}
			stdin_from(c.dir + "/" + n);
		});

		ASSERT_TRUE(s.ok) << c.dir;
		EXPECT_TRUE(stamped(s.out, s.t0, s.t1,
		    [&](const std::string &d) { return local(me(), c.tag, d); }))
		    << c.dir;
	}
}

// The caller's own use of the password database must not rename the sender.
TEST(Banner, SecondCallKeepsSenderAndTagAndTakesANewDate)
{
	NEEDS_OWN_RUN();
	Pty from, tty;
	Utmp db({record(tty.line())});
	const std::string tag = "(" + from.line() + ") ";
	time_t t0 = time(nullptr), t1 = 0;

	ASSERT_TRUE(caller([&] {
		stdin_from(from.name);
		wall("one", 0);
		reap();
		getpwuid(65534);
		stdin_from("/dev/null");
		for (time_t t = time(nullptr); time(nullptr) == t;)
			usleep(10000);
		wall("two", 0);
	}));
	t1 = time(nullptr);

	const std::string out = tty.read();
	const size_t second = out.find(BEL, 1);
	ASSERT_NE(second, std::string::npos) << testing::PrintToString(out);
	const std::string a = out.substr(0, second), b = out.substr(second);
	const auto with = [&](const char *text) {
		return [&, text](const std::string &d) { return local(me(), tag, d) + text; };
	};
	EXPECT_TRUE(stamped(a, t0, t1, with("one")));
	EXPECT_TRUE(stamped(b, t0, t1, with("two")));
	// Sender and tag are the same in both, so only the dates can differ.
	EXPECT_NE(a.substr(0, a.size() - 3), b.substr(0, b.size() - 3));
}
