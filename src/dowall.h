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
 * a user owns; a record's or session's terminal only while it is that
 * user's.  The writing is done by a child process and wall returns at
 * once; it never waits for that child, so a caller that lives on must reap
 * it.  A non-zero remote selects the banner that names neither sender nor
 * terminal; a null text sends the banner alone.  Nothing is reported:
 * terminals that cannot be written, or not within 2 seconds, are skipped.
 * One that cannot take the message at once is put aside until every other
 * has had its turn; then all those put aside are written together, each
 * for at most 2 seconds from its reopening, so that none waits on another.
 * The child ignores SIGHUP and SIGTTOU, so that neither the end of the
 * caller's session nor a terminal set to tostop can stop it.  It points
 * descriptors 0, 1 and 2 at /dev/null before anything else, so that
 * whoever reads the caller's output is not held up by it, but keeps the
 * caller's other descriptors open until it ends: closing them could pull
 * one from under a name-service module that the walk uses.  The login
 * records are read from their file, so the caller's own place in them, as
 * the C library's reader keeps it, is left alone.  From the first call on, the process's SIGALRM
 * handling is wall's own: an alarm outside the child's deliveries is then
 * caught and has no effect.  Returns 0 once the child exists, or -1 with
 * errno set when it could not be created, in which case nothing is sent.
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
 * nor session.  The wallterm and its strings last only until fn returns.
 * Returns the number of terminals.
 */
int wallterms(void (*fn)(const struct wallterm *term, void *arg), void *arg);

/* The banner that names neither sender nor terminal, as wall's remote. */
#define WALL_REMOTE 0x1
/* No banner, the text alone: only for a caller whose real user is root. */
#define WALL_NOBANNER 0x2
/* Nothing sent and no child: fn gets each terminal, with WALL_LISTED. */
#define WALL_DRYRUN 0x4

/* What became of a terminal, as wallsend hands it to fn. */
enum {
	WALL_SENT,    /* it has taken every byte */
	WALL_REFUSED, /* the open was refused: it takes no messages from this sender */
	WALL_TIMEOUT, /* its 2 seconds ran out, in its first attempt or its second */
	WALL_GONE,    /* it was gone, or no longer the device or owner listed, when opened */
	WALL_FAILED,  /* another error, such as a terminal that was hung up */
	WALL_LISTED   /* nothing was attempted: a dry run */
};

/*
 * Sends as wall does, with flags of WALL_REMOTE, WALL_NOBANNER and
 * WALL_DRYRUN, to the terminals of group's members only unless group is
 * null: the users whose primary or supplementary group it is, given by
 * name or number.  With fn null it returns as soon as the child exists,
 * as wall does.  Otherwise it waits until the delivery has ended, reaps
 * the child and calls fn, with arg, once for each terminal, in the order
 * wallterms gives them: the terminal, what became of it (WALL_SENT to
 * WALL_FAILED; WALL_LISTED in a dry run), the bytes of banner and shown
 * text it took and those it was due.  Returns 0; or -1 with errno set,
 * having sent nothing: ENOENT when group names no group, EPERM for
 * WALL_NOBANNER from a caller whose real user is not root, as fork sets
 * it, or as the group's lookup does; or -1 with errno EPIPE when the
 * child ended before it had told all, fn having been called for what it
 * told.
 */
typedef void wallfn(const struct wallterm *term, int outcome, size_t written, size_t due,
    void *arg);
int wallsend(const char *text, const char *group, int flags, wallfn *fn, void *arg);

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
