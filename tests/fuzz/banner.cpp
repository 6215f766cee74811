// Fuzz target for the terminal tag, the banner and the terminal path.
// SPDX-License-Identifier: MIT

// The module's source itself, so that its static composers can be called
// here without a fork.
#include "dowall.cpp"    // NOLINT(bugprone-suspicious-include)
#include "report.cpp"    // NOLINT(bugprone-suspicious-include)
#include "terminals.cpp" // NOLINT(bugprone-suspicious-include)

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// The sizes of the buffers that wall and walk give the composers. Here they
// are heap buffers of just that size, so that a write past one is caught.
constexpr size_t tagsize = 32;
constexpr size_t bannersize = 81;
constexpr size_t pathsize = sizeof "/dev/" + UT_LINESIZE;

constexpr unsigned char REMOTE = 0x01;
constexpr unsigned char NOTTY = 0x02;

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

bool starts(const std::string &s, const std::string &head)
{
	return s.compare(0, head.size(), head) == 0;
}

bool ends(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() &&
	    s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool dotdot(const std::string &path)
{
	for (size_t at = 0; at <= path.size();) {
		size_t end = path.find('/', at);
		if (end == std::string::npos)
			end = path.size();
		if (path.compare(at, end - at, "..") == 0)
			return true;
		at = end + 1;
	}
	return false;
}

// The input: a flags byte, the 32 bytes of a line field, then terminal
// name, user name and date, each ended by a zero byte or the input's end.
struct Input {
	unsigned char flags = 0;
	char line[UT_LINESIZE] = {};
	std::string tty, user, date;

	Input(const uint8_t *data, size_t size)
	{
		size_t at = 0;

		if (at < size)
			flags = data[at++];
		for (size_t i = 0; i < sizeof line && at < size; i++)
			line[i] = static_cast<char>(data[at++]);
		for (std::string *s : {&tty, &user, &date}) {
			while (at < size && data[at] != '\0')
				*s += static_cast<char>(data[at++]);
			at++;
		}
	}
};

std::string tag(const Input &in)
{
	std::vector<char> ttynm(tagsize);

	ttytag(ttynm.data(), ttynm.size(), (in.flags & NOTTY) ? nullptr : in.tty.c_str());
	std::string got = ttynm.data();

	if (in.flags & NOTTY) {
		check(got.empty());
		return got;
	}
	std::string name = in.tty;
	if (starts(name, "/dev/"))
		name.erase(0, 5);
	// Control bytes, tab and line ends too, in caret form; cut at 28.
	std::string shown;
	for (const char c : name) {
		const unsigned char b = static_cast<unsigned char>(c);
		const bool caret = b < 0x20 || (b >= 0x80 && b <= 0x9f);
		if (shown.size() + (caret ? 2 : 1) > 28)
			break;
		shown += caret ? std::string{'^', static_cast<char>((b & 0x1f) + 0x40)} : std::string(1, c);
	}
	check(got.size() <= 31 && starts(got, "(") && ends(got, ") "));
	check(got == "(" + shown + ") ");
	return got;
}

void banner(const Input &in, const std::string &ttynm)
{
	std::vector<char> buf(bannersize);
	const bool remote = in.flags & REMOTE;

	compose(buf.data(), buf.size(), remote ? WALL_REMOTE : 0, in.user.c_str(), ttynm.c_str(),
	    in.date.c_str());
	const std::string got = buf.data();
	const std::string whole = remote ?
	    "\a\r\nRemote broadcast message (" + in.date + "):\r\n\r\n" :
	    "\a\r\nBroadcast message from " + in.user + " " + ttynm + "(" +
		in.date + "):\r\n\r\n";

	check(got.size() <= 80 && starts(got, "\a\r\n"));
	check(got == whole.substr(0, 80));
	if (whole.size() <= 80)
		check(ends(got, ":\r\n\r\n"));
}

void path(const Input &in)
{
	std::vector<char> buf(pathsize);
	struct utmp ut;

	memset(&ut, 0, sizeof ut);
	memcpy(ut.ut_line, in.line, sizeof ut.ut_line);
	// Right after the line field: a reader that overruns it would take these.
	memset(ut.ut_id, 'z', sizeof ut.ut_id);
	const bool ok = devpath(buf.data(), buf.size(), ut.ut_line, strnlen(ut.ut_line, sizeof ut.ut_line));
	const std::string got = buf.data();
	const std::string line(in.line, strnlen(in.line, sizeof in.line));

	check(starts(got, "/dev/") && got.size() <= 37);
	check(got == (starts(line, "/dev/") ? line : "/dev/" + line));
	// A ".." component is the one reason to refuse a path.
	check(ok == !dotdot(got));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const Input in(data, size);

	banner(in, tag(in));
	path(in);
	return 0;
}
