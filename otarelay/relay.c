#define _POSIX_C_SOURCE 200809L

#include "relay.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Stages the bootloader and the upgrader write into the command field, with
 * the progress each one stands for. */
struct relay_stage {
    char name[RELAY_STATUS_SIZE];
    int32_t percent;
};

static const struct relay_stage relay_stages[] = {
    { "upgrade_pre", 0 },
    { "boot-recovery", 30 },
    { "upgrade_post", 70 },
    { "upgrade_end", 100 },
};

const unsigned relay_interval_ms = 1500;

/* Stage names are compared on their first 31 characters only. */
#define RELAY_NAME_CMP (RELAY_STATUS_SIZE - 1)

void relay_init(struct relay_state *st)
{
    st->count = 1;
    memset(st->status, 0, sizeof st->status);
}

size_t relay_cycle(struct relay_state *st, const unsigned char *record,
                   ssize_t len, char *msg, size_t msg_size)
{
    if (record != NULL && len >= 0) {
        /* Bytes the read did not deliver count as zero; a field without a
         * terminator keeps its first 31 characters. */
        char fresh[RELAY_STATUS_SIZE];
        size_t take = (size_t)len < RELAY_NAME_CMP ? (size_t)len : RELAY_NAME_CMP;

        memset(fresh, 0, sizeof fresh);
        memcpy(fresh, record, take);

        /* Only a stage seen for the first time may move the count, and
         * never backwards. */
        if (strncmp(fresh, st->status, RELAY_NAME_CMP) != 0) {
            size_t i;
            for (i = 0; i < sizeof relay_stages / sizeof relay_stages[0]; i++) {
                int forced = 2 * relay_stages[i].percent;
                if (strncmp(relay_stages[i].name, fresh, RELAY_NAME_CMP) == 0 &&
                    forced > st->count)
                    st->count = forced;
            }
            memcpy(st->status, fresh, sizeof st->status);
        }
    }

    /* 100 % is reserved for the final stage. */
    if (st->count >= RELAY_FULL_COUNT &&
        memcmp(st->status, "upgrade_end", sizeof "upgrade_end") != 0)
        st->count = RELAY_FULL_COUNT - 1;

    if (msg_size == 0)
        return 0;
    snprintf(msg, msg_size, "%6.3f",
             (double)((float)st->count / (float)RELAY_FULL_COUNT));
    return strlen(msg) + 1;
}

int relay_advance(struct relay_state *st)
{
    st->count++;
    return st->count > RELAY_FULL_COUNT;
}

/* perror() to a chosen stream. */
static void relay_perror(FILE *err, const char *what, int errnum)
{
    fprintf(err, "%s: %s\n", what, strerror(errnum));
    fflush(err);
}

static int relay_write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

static void relay_sleep_ms(unsigned ms)
{
    struct timespec left;

    left.tv_sec = (time_t)(ms / 1000u);
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}

/* Reads the start of the partition into record; returns the read result or
 * -1 when it cannot be opened or read. */
static ssize_t relay_read_record(const char *path, unsigned char *record,
                                 size_t size, FILE *out)
{
    ssize_t len;
    int fd = open(path, O_RDONLY);

    if (fd < 0) {
        fprintf(out, "Open %s Failed \n", path);
        return -1;
    }
    memset(record, 0, size);
    len = read(fd, record, size);
    if (len < 0)
        fprintf(out, "read %s Failed \n", path);
    close(fd);
    return len;
}

/* The output lies in a directory every local user may write to, and the
 * relay runs privileged: it must not be pointed at another file. Accepted are
 * a fresh file of our own, a named pipe whoever made it (the reader usually
 * does), or a regular file we own with no other name. Symbolic links are
 * never followed. Blocks until a reader opens a pipe. Returns the descriptor,
 * or -1 with errno set. */
static int relay_open_output(const char *path)
{
    int tries;

    for (tries = 0; tries < 8; tries++) {
        struct stat sb;
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);

        if (fd >= 0 || errno != EEXIST)
            return fd;
        fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                continue; /* removed in between: create it after all */
            return -1;
        }
        /* Judged on what was opened, not on the name, which may change. */
        if (fstat(fd, &sb) == 0 &&
            (S_ISFIFO(sb.st_mode) ||
             (S_ISREG(sb.st_mode) && sb.st_uid == geteuid() && sb.st_nlink == 1)))
            return fd;
        close(fd);
        errno = EPERM;
        return -1;
    }
    errno = EAGAIN;
    return -1;
}

int relay_run(const struct relay_paths *paths, unsigned interval_ms,
              FILE *out, FILE *err)
{
    struct relay_state st;
    struct sigaction ign;
    int fd;

    /* A reader that goes away has to end us with a write error and status
     * 1 instead of a silent death by SIGPIPE. */
    memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, NULL);

    fprintf(out, "I am %d process.\n", (int)getpid());
    fflush(out);

    fd = relay_open_output(paths->output);
    if (fd < 0) {
        relay_perror(err, "Open FIFO Failed", errno);
        return 1;
    }

    relay_init(&st);
    for (;;) {
        unsigned char record[RELAY_RECORD_SIZE];
        char msg[RELAY_MESSAGE_MAX];
        ssize_t len = relay_read_record(paths->partition, record, sizeof record, out);
        size_t n = relay_cycle(&st, len < 0 ? NULL : record, len, msg, sizeof msg);

        fprintf(out, "Now the progress status:%s \n", st.status);
        fprintf(out, "Send message: %s\n", msg);
        fflush(out);

        /* Fails harmlessly on a pipe; keeps a plain file at the latest
         * message only. */
        (void)lseek(fd, 0, SEEK_SET);
        if (relay_write_all(fd, msg, n) < 0) {
            relay_perror(err, "Write FIFO Failed", errno);
            close(fd);
            return 1;
        }

        relay_sleep_ms(interval_ms);
        if (relay_advance(&st))
            break;
    }
    close(fd);
    return 0;
}
