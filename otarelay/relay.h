/* Upgrade progress relay: turns the stage in the boot-message record into a
 * progress fraction and feeds it to whoever displays upgrade progress. */
#ifndef OTARELAY_RELAY_H
#define OTARELAY_RELAY_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RELAY_RECORD_SIZE 96   /* bytes read from the start of the partition */
#define RELAY_STATUS_SIZE 32   /* command field: stage name, zero-terminated */
#define RELAY_FULL_COUNT 200   /* progress count of 100 %, in half percents */
#define RELAY_MESSAGE_MAX 16   /* room for one formatted message */

/* Time between two polls of the partition in milliseconds. */
extern const unsigned relay_interval_ms;

struct relay_state {
    int count;                      /* progress in half percents */
    char status[RELAY_STATUS_SIZE]; /* stage seen last, at most 31 chars */
};

struct relay_paths {
    const char *partition; /* boot-message partition, read every cycle */
    const char *output;    /* named pipe (or plain file) receiving progress */
};

void relay_init(struct relay_state *st);

/* One poll cycle without I/O. record/len is what the partition read
 * delivered; record == NULL or len < 0 means the partition could not be
 * opened or read, so the stage stays as it was. Writes the progress text
 * (" 0.005" ... " 1.000") into msg and returns the number of bytes to send,
 * terminating zero included. */
size_t relay_cycle(struct relay_state *st, const unsigned char *record,
                   ssize_t len, char *msg, size_t msg_size);

/* Moves the count on after the sleep; returns nonzero once 100 % has been
 * sent and the relay is done. */
int relay_advance(struct relay_state *st);

/* The whole program: opens paths->output, polls paths->partition every
 * interval_ms until done. Progress lines go to out, failures (perror style)
 * to err. Returns the exit status: 0 when done, 1 when the output cannot be
 * opened or written. */
int relay_run(const struct relay_paths *paths, unsigned interval_ms,
              FILE *out, FILE *err);

#ifdef __cplusplus
}
#endif

#endif
