// The broadcast command: sends its first argument, or else what standard
// input holds, to every logged-in user.
// SPDX-License-Identifier: MIT

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "dowall.h"

// The longest message read from standard input: as much as the kernel lets
// one argument hold, so that what can be given as an argument can be piped.
enum { MAXMSG = 128 * 1024 };

static const char usage[] =
    "usage: dowall [message]\n"
    "Sends message to the terminal of every logged-in user, under a banner that\n"
    "names the sender, the sender's terminal and the date. Without a message,\n"
    "it sends what standard input holds, read to end of file.\n"
    "Installed setgid tty, it lets any user reach the terminals that accept\n"
    "messages (mesg y); root reaches every terminal.\n";

// Says on standard error what failed and why; gives the exit status.
static int fail(const char *what, int err)
{
	fprintf(stderr, "dowall: %s: %s\n", what, strerror(err));
	return 1;
}

// Prints text on standard output; gives the exit status, 1 when the text
// could not be written out.
static int print(const char *text)
{
	fputs(text, stdout);
	if (fflush(stdout) != 0 || ferror(stdout))
		return fail("cannot write standard output", errno);
	return 0;
}

// Standard input read to its end, as text ending in a zero byte, or null
// once it has said why not. Nothing is sent from a partial read.
static const char *input()
{
	// One byte past the longest message tells a longer one from it, and
	// one more holds the terminator.
	static char text[MAXMSG + 2];
	size_t n = 0;

	while (n < sizeof text - 1) {
		const ssize_t got = read(0, text + n, sizeof text - 1 - n);

		if (got > 0)
			n += static_cast<size_t>(got);
		else if (got == 0)
			break;
		else if (errno != EINTR) {
			fail("cannot read standard input", errno);
			return nullptr;
		}
	}
	if (n > MAXMSG) {
		fprintf(stderr, "dowall: standard input holds more than %d bytes\n", MAXMSG);
		return nullptr;
	}
	text[n] = '\0';
	return text;
}

int main(int argc, char *argv[])
{
	const char *text;

	// Only the exact words are options: any other first argument, one
	// that begins with a dash too, is the message.
	if (argc > 1 && strcmp(argv[1], "--help") == 0)
		return print(usage);
	if (argc > 1 && strcmp(argv[1], "--version") == 0)
		return print("dowall " DOWALL_VERSION "\n");
	if (argc > 1)
		text = argv[1];
	else if ((text = input()) == nullptr)
		return 1;
	if (wall(text, 0) != 0)
		return fail("cannot start the broadcast", errno);
	return 0;
}
