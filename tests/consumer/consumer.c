/*
 * A program that uses the installed library as a user's program would:
 * it lists a pseudo-terminal of its own in a scratch login-records file,
 * broadcasts to it, and checks what the terminal received.
 */
/* SPDX-License-Identifier: MIT */
#include <dowall.h>

#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

int main(void)
{
	char db[] = "/tmp/dowall-consumer-XXXXXX", name[64], got[512];
	struct utmp ut;
	struct pollfd p;
	int master, slave, fd, status;
	size_t len = 0;
	ssize_t n;

	if (openpty(&master, &slave, name, NULL, NULL) != 0 ||
	    (fd = mkstemp(db)) < 0)
		return 2;
	close(fd);
	memset(&ut, 0, sizeof ut);
	ut.ut_type = USER_PROCESS;
	ut.ut_pid = getpid();
	strncpy(ut.ut_line, name + 5, sizeof ut.ut_line);
	strncpy(ut.ut_user, "consumer", sizeof ut.ut_user);
	if (utmpname(db) != 0 || pututline(&ut) == NULL)
		return 2;
	endutent();

	wall("hello from \033[31mC", 0);
	if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return 3;
	unlink(db);

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
