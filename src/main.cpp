// The broadcast command: sends its arguments, or else what standard input
// holds, to every logged-in user, or lists the terminals it would reach.
// SPDX-License-Identifier: MIT

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "dowall.h"

// The longest message, from arguments or standard input: as much as the
// kernel lets one argument hold, so that what can be typed can be piped.
enum { MAXMSG = 128 * 1024 };

// The message; one byte past the longest tells a longer one from it, and
// one more holds the terminator.
static char text[MAXMSG + 2];

static const char usage[] =
    "usage: dowall [--dry-run | --help | --version | [--] [message ...]]\n"
    "Sends message to the terminals of every logged-in user, under a banner that\n"
    "names the sender, the sender's terminal and the date. The arguments are\n"
    "joined by blanks; without any, it sends what standard input holds, read to\n"
    "end of file. --dry-run lists the terminals it would write, one a line:\n"
    "path, user, source (utmp, logind:ID or owner) and whether this sender may\n"
    "write it.\n"
    "Installed setgid tty, it lets any user reach the terminals that accept\n"
    "messages (mesg y); root reaches them all.\n";

// Says on standard error what failed and why; gives the exit status.
static int fail(const char *what, int err)
{
	fprintf(stderr, "dowall: %s: %s\n", what, strerror(err));
	return 1;
}

// Says that the message is longer than MAXMSG; gives the exit status.
static int toolong(const char *from)
{
	fprintf(stderr, "dowall: %s holds more than %d bytes\n", from, MAXMSG);
	return 1;
}

// Flushes standard output; gives the exit status, 1 when what was printed
// could not be written out.
static int flushed()
{
	if (fflush(stdout) != 0 || ferror(stdout))
		return fail("cannot write standard output", errno);
	return 0;
}

// Standard input read to its end into text; 0, or the exit status once it
// has said why not. Nothing is sent from a partial read.
static int input()
{
	size_t n = 0;

	while (n < sizeof text - 1) {
		const ssize_t got = read(0, text + n, sizeof text - 1 - n);

		if (got > 0)
			n += static_cast<size_t>(got);
		else if (got == 0)
			break;
		else if (errno != EINTR)
			return fail("cannot read standard input", errno);
	}
	if (n > MAXMSG)
		return toolong("standard input");
	text[n] = '\0';
	return 0;
}

// The words joined by single blanks into text; 0, or the exit status once
// it has said why not.
static int join(char *const *words, int n)
{
	size_t len = 0;

	for (int i = 0; i < n; i++) {
		const size_t w = strlen(words[i]);

		if (len + (i > 0) + w > MAXMSG)
			return toolong("the message");
		if (i > 0)
			text[len++] = ' ';
		memcpy(text + len, words[i], w);
		len += w;
	}
	text[len] = '\0';
	return 0;
}

// A field of a listed line, with blanks, control bytes and backslashes as
// a backslash and three octal digits, as the mount table shows them, so
// that a line always splits into its fields and no byte acts on a terminal.
static void field(const char *s)
{
	for (; *s != '\0'; s++) {
		const unsigned char b = static_cast<unsigned char>(*s);

		if (b <= ' ' || b == '\\' || (b >= 0x7f && b <= 0x9f))
			printf("\\%03o", b);
		else
			putchar(b);
	}
}

// One line of the list: path, user, source and whether this sender may
// write there, as the broadcast would open it (with the effective ids).
static void list(const struct wallterm *t, void * /*arg*/)
{
	char uid[16];
	const char *user = t->user;

	// A session's or a pty's user by name, else by number; "-" when logind
	// says none.
	if (user == nullptr && t->uid == static_cast<uid_t>(-1)) {
		user = "-";
	} else if (user == nullptr) {
		const struct passwd *pw = getpwuid(t->uid);
		snprintf(uid, sizeof uid, "%u", static_cast<unsigned>(t->uid));
		user = pw != nullptr ? pw->pw_name : uid;
	}
	field(t->path);
	putchar(' ');
	field(user);
	if (t->session != nullptr) {
		fputs(" logind:", stdout);
		field(t->session);
	} else {
		// A pty that neither a record nor a session names is there for
		// its owner.
		fputs(t->user != nullptr ? " utmp" : " owner", stdout);
	}
	puts(faccessat(AT_FDCWD, t->path, W_OK, AT_EACCESS) == 0 ? " yes" : " no");
}

int main(int argc, char *argv[])
{
	int first = 1;

	// Only the exact words are options, and only as the first argument:
	// any other, one that begins with a dash too, begins the message.
	const char *opt = argc > 1 ? argv[1] : "";

	if (strcmp(opt, "--help") == 0) {
		fputs(usage, stdout);
		return flushed();
	}
	if (strcmp(opt, "--version") == 0) {
		puts("dowall " DOWALL_VERSION);
		return flushed();
	}
	if (strcmp(opt, "--dry-run") == 0) {
		wallterms(list, nullptr);
		return flushed();
	}
	if (strcmp(opt, "--") == 0)
		first = 2;
	if (const int status = argc > first ? join(argv + first, argc - first) : input())
		return status;
	if (wall(text, 0) != 0)
		return fail("cannot start the broadcast", errno);
	return 0;
}
