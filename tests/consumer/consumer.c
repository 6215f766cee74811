/*
 * A program that uses the installed library as a user's program would:
 * it lists a pseudo-terminal of its own in login records of its own,
 * broadcasts to it, and checks what the terminal received and what the
 * library says became of it. It must run with a /run of its own, where
 * there are no login records yet: it never writes the machine's.
 */
/* SPDX-License-Identifier: MIT */
#include <dowall.h>

#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <utmp.h>

/* Counts the terminals that took all of it. */
static void told(const struct wallterm *t, int outcome, size_t written, size_t due, void *arg)
{
	if (outcome == WALL_SENT && written == due)
		++*(int *)arg;
	else
		fprintf(stderr, "consumer: %s: outcome %d, %zu of %zu bytes\n", t->path, outcome,
		    written, due);
}

int main(void)
{
	char name[64], got[512];
	struct utmp ut;
	struct pollfd p;
	int master, slave, fd, sent = 0;
	size_t len = 0;
	ssize_t n;

	if (openpty(&master, &slave, name, NULL, NULL) != 0)
		return 2;
	fd = open(_PATH_UTMP, O_WRONLY | O_CREAT | O_EXCL, 0644);
	if (fd < 0) {
		perror("consumer: " _PATH_UTMP " (give me a /run of my own)");
		return 2;
	}
	memset(&ut, 0, sizeof ut);
	ut.ut_type = USER_PROCESS;
	ut.ut_pid = getpid();
	strncpy(ut.ut_line, name + 5, sizeof ut.ut_line);
	strncpy(ut.ut_user, "consumer", sizeof ut.ut_user);
	if (write(fd, &ut, sizeof ut) != (ssize_t)sizeof ut || close(fd) != 0)
		return 2;

	if (wallsend("hello from \033[31mC", NULL, 0, told, &sent) != 0 || sent != 1)
		return 3;
	unlink(_PATH_UTMP);

	p.fd = master;
	p.events = POLLIN;
	while (len < sizeof got - 1 && poll(&p, 1, 500) > 0 &&
	    (n = read(master, got + len, sizeof got - 1 - len)) > 0)
		len += (size_t)n;
	got[len] = '\0';
	if (strstr(got, "Broadcast message from ") == NULL ||
	    strstr(got, "hello from ^[[31mC") == NULL) {
		fprintf(stderr, "consumer: the terminal got \"%s\"\n", got);
		return 1;
	}
	puts("consumer: delivered");
	return 0;
}
