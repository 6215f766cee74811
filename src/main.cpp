// The broadcast command: sends its arguments, or else what standard input
// holds, to every logged-in user, or lists the terminals it would reach, or
// tells what became of each.
// SPDX-License-Identifier: MIT

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

#include "dowall.h"

// The longest message, from arguments or standard input: as much as the
// kernel lets one argument hold, so that what can be typed can be piped.
enum { MAXMSG = 128 * 1024 };

// The message; one byte past the longest tells a longer one from it, and
// one more holds the terminator.
static char text[MAXMSG + 2];

static const char usage[] =
    "usage: dowall [--dry-run] [--wait] [-g group | --group group] [-n | --nobanner]\n"
    "              [--] [message ...]\n"
    "       dowall --help | --version\n"
    "Sends message to the terminals of every logged-in user, under a banner that\n"
    "names the sender, the sender's terminal and the date. The arguments are\n"
    "joined by blanks; without any, it sends what standard input holds, read to\n"
    "end of file.\n"
    "  --dry-run      list the terminals it would write, one a line: path, user,\n"
    "                 source (utmp, logind:ID or owner) and whether this sender\n"
    "                 may write it (yes or no); send nothing\n"
    "  --wait         wait for the delivery to end, then list each terminal with\n"
    "                 what became of it (sent, refused, timeout, gone or failed)\n"
    "                 and the bytes it took of those due; exit 2 unless every one\n"
    "                 was sent or refused\n"
    "  -g, --group    only the terminals of the group's members (name or number)\n"
    "  -n, --nobanner the message alone, without the banner (root only)\n"
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
static void field(FILE *f, const char *s)
{
	for (; *s != '\0'; s++) {
		const unsigned char b = static_cast<unsigned char>(*s);

		if (b <= ' ' || b == '\\' || (b >= 0x7f && b <= 0x9f))
			fprintf(f, "\\%03o", b);
		else
			putc(b, f);
	}
}

// The first fields of a listed line: path, user and source.
static void fields(const struct wallterm *t)
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
	field(stdout, t->path);
	putchar(' ');
	field(stdout, user);
	if (t->session != nullptr) {
		fputs(" logind:", stdout);
		field(stdout, t->session);
	} else {
		// A pty that neither a record nor a session names is there for
		// its owner.
		fputs(t->user != nullptr ? " utmp" : " owner", stdout);
	}
}

// One line of the dry run: the fields, and whether this sender may write
// there, as the broadcast would open it (with the effective ids).
static void list(const struct wallterm *t, int /*outcome*/, size_t /*written*/, size_t /*due*/,
    void * /*arg*/)
{
	fields(t);
	puts(faccessat(AT_FDCWD, t->path, W_OK, AT_EACCESS) == 0 ? " yes" : " no");
}

// One line of the report: the fields, what became of the terminal and the
// bytes it took of those due. Whether all went well is kept in *arg.
static void told(const struct wallterm *t, int outcome, size_t written, size_t due, void *arg)
{
	static const char *const words[] = {"sent", "refused", "timeout", "gone", "failed"};
	const bool known = outcome >= 0 && outcome < static_cast<int>(sizeof words / sizeof words[0]);

	fields(t);
	printf(" %s %zu/%zu\n", known ? words[outcome] : "failed", written, due);
	if (outcome != WALL_SENT && outcome != WALL_REFUSED)
		*static_cast<bool *>(arg) = false;
}

int main(int argc, char *argv[])
{
	bool dryrun = false, wait = false, well = true;
	const char *group = nullptr;
	int flags = 0, first = 1;

	// Nothing the command was handed may outlive it in its broadcast: a
	// descriptor held open would keep whoever reads it waiting.
	closefrom(3);
	// Set-group-id, the date is the system's: a sender's TZ could move it.
	if (getauxval(AT_SECURE) != 0)
		unsetenv("TZ");

	// Only the exact words are options, and only before the message: any
	// other, one that begins with a dash too, begins the message.
	for (; first < argc; first++) {
		const char *opt = argv[first];

		if (strcmp(opt, "--help") == 0) {
			fputs(usage, stdout);
			return flushed();
		}
		if (strcmp(opt, "--version") == 0) {
			puts("dowall " DOWALL_VERSION);
			return flushed();
		}
		if (strcmp(opt, "--dry-run") == 0) {
			dryrun = true;
		} else if (strcmp(opt, "--wait") == 0) {
			wait = true;
		} else if (strcmp(opt, "-n") == 0 || strcmp(opt, "--nobanner") == 0) {
			flags |= WALL_NOBANNER;
		} else if (strncmp(opt, "--group=", 8) == 0) {
			group = opt + 8;
		} else if (strcmp(opt, "-g") == 0 || strcmp(opt, "--group") == 0) {
			if (++first == argc) {
				fprintf(stderr, "dowall: %s needs a group\n", opt);
				return 1;
			}
			group = argv[first];
		} else {
			if (strcmp(opt, "--") == 0)
				first++;
			break;
		}
	}
	if (dryrun) {
		flags |= WALL_DRYRUN;
	} else if (const int status = first < argc ? join(argv + first, argc - first) : input()) {
		return status;
	}
	wallfn *fn = wait ? told : nullptr;
	if (dryrun)
		fn = list;
	if (wallsend(text, group, flags, fn, &well) != 0) {
		const int err = errno;
		if (err == ENOENT && group != nullptr) {
			fputs("dowall: no such group: ", stderr);
			field(stderr, group);
			fputc('\n', stderr);
			return 1;
		}
		if (err == EPERM) {
			fputs("dowall: only root may send without a banner\n", stderr);
			return 1;
		}
		if (err == EPIPE) {
			flushed();
			fputs("dowall: the broadcast ended before it told all\n", stderr);
			return 2;
		}
		return fail("cannot start the broadcast", err);
	}
	if (const int status = flushed())
		return status;
	return well ? 0 : 2;
}
