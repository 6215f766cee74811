/* Broadcast of a message to the terminals of all logged-in users. */
/* SPDX-License-Identifier: MIT */
#ifndef DOWALL_H
#define DOWALL_H

#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes a banner and then text, filtered as by feputs, to every terminal
 * of every logged-in user: those the login records name, those of logind's
 * sessions, read through libsystemd loaded at run time, and every pty such
 * a user owns.  The writing is done by a child process and wall returns at
 * once; it never waits for that child, so a caller that lives on must reap
 * it.  A non-zero remote selects the banner that names neither sender nor
 * terminal; a null text sends the banner alone.  Nothing is reported:
 * terminals that cannot be written, or not within 2 seconds, are skipped.
 * One that cannot take the message at once waits until every other one has
 * had its turn.  The child ignores SIGHUP and SIGTTOU, so that neither the
 * end of the caller's session nor a terminal set to tostop can stop it, and
 * keeps the caller's descriptors open until it ends.  From the first call
 * on, the process's SIGALRM handling is wall's own: an alarm outside the
 * child's deliveries is then caught and has no effect.  Returns 0 once the
 * child exists, or -1 with errno set when it could not be created, in
 * which case nothing is sent.
 */
int wall(const char *text, int remote);

/* A terminal that wall writes, as wallterms hands it on. */
struct wallterm {
	const char *path;    /* the device, such as "/dev/pts/3" */
	const char *user;    /* the login record's user, or null */
	uid_t uid;           /* the session's or pty's user, or (uid_t)-1: a record, or unknown */
	const char *session; /* the logind session's id, or null */
};

/*
 * Calls fn, with arg, for every terminal that wall would attempt, in the
 * order it would first attempt them, and writes to none: the terminals of
 * the login records, each as often as a record names it, then those of
 * logind's sessions and then the ptys of logged-in users, by number, that
 * no record or session gave.  A pty found by its owner has neither user
 * nor session.  Rewinds the login records and closes them again.  The
 * wallterm and its strings last only until fn returns.  Returns the number
 * of terminals.
 */
int wallterms(void (*fn)(const struct wallterm *term, void *arg), void *arg);

/*
 * Writes text to stream with the control bytes 0x01-0x1F (but tab, carriage
 * return and line feed) and 0x80-0x9F in caret notation, so that a terminal
 * shows them instead of acting on them, then flushes the stream.  A null
 * text writes nothing.
 */
void feputs(const char *text, FILE *stream);

#ifdef __cplusplus
}
#endif

#endif
