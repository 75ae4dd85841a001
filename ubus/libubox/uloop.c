#define _GNU_SOURCE
#include <sys/epoll.h>
#include <sys/wait.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <libubox/uloop.h>
#include <libubox/utils.h>

#define ULOOP_MAX_EVENTS 10

struct uloop_fd_event {
	struct uloop_fd *fd;
	unsigned int events;
};

bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;

static int poll_fd = -1;
static int waker_pipe[2] = { -1, -1 };
static struct uloop_fd waker_fd;
static struct list_head timeouts = LIST_HEAD_INIT(timeouts);
static struct list_head processes = LIST_HEAD_INIT(processes);
static struct uloop_fd_event cur_fds[ULOOP_MAX_EVENTS];
static int cur_fd, cur_nfds;
static int uloop_run_depth;
static volatile sig_atomic_t uloop_status;
static volatile sig_atomic_t do_sigchld;

static void uloop_signal_wake(int signo)
{
	uint8_t sigbyte = (uint8_t) signo;
	int saved = errno;

	if (waker_pipe[1] >= 0) {
		ssize_t r;
		do {
			r = write(waker_pipe[1], &sigbyte, 1);
		} while (r < 0 && errno == EINTR);
	}
	errno = saved;
}

static void uloop_handle_sigint(int signo)
{
	uloop_status = signo;
	uloop_cancelled = true;
	uloop_signal_wake(signo);
}

static void uloop_sigchld(int signo)
{
	do_sigchld = 1;
	uloop_signal_wake(signo);
}

static void waker_consume(struct uloop_fd *fd, unsigned int events)
{
	char buf[16];

	(void) events;
	while (read(fd->fd, buf, sizeof(buf)) > 0)
		;
}

static int waker_init(void)
{
	if (waker_pipe[0] >= 0)
		return 0;
	if (pipe2(waker_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		waker_pipe[0] = waker_pipe[1] = -1;
		return -1;
	}
	waker_fd.fd = waker_pipe[0];
	waker_fd.cb = waker_consume;
	return uloop_fd_add(&waker_fd, ULOOP_READ);
}

/* Only a default disposition is taken over; a program's own handler stays. */
static void uloop_install_handler(int signum, void (*handler)(int), bool add)
{
	struct sigaction s, cur;

	if (sigaction(signum, NULL, &cur) < 0)
		return;
	if (add) {
		if (cur.sa_handler != SIG_DFL || (cur.sa_flags & SA_SIGINFO))
			return;
		memset(&s, 0, sizeof(s));
		sigemptyset(&s.sa_mask);
		s.sa_handler = handler;
		s.sa_flags = 0;
		sigaction(signum, &s, NULL);
	} else {
		if (cur.sa_handler != handler || (cur.sa_flags & SA_SIGINFO))
			return;
		memset(&s, 0, sizeof(s));
		sigemptyset(&s.sa_mask);
		s.sa_handler = SIG_DFL;
		sigaction(signum, &s, NULL);
	}
}

/* SIGPIPE stays ignored after uloop_done(): log lines written during
 * shutdown to a reader that has gone must not turn an orderly exit into a
 * death by signal. */
static void uloop_ignore_sigpipe(void)
{
	struct sigaction s, cur;

	if (sigaction(SIGPIPE, NULL, &cur) < 0)
		return;
	if (cur.sa_handler != SIG_DFL || (cur.sa_flags & SA_SIGINFO))
		return;
	memset(&s, 0, sizeof(s));
	sigemptyset(&s.sa_mask);
	s.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &s, NULL);
}

static void uloop_setup_signals(bool add)
{
	uloop_install_handler(SIGINT, uloop_handle_sigint, add);
	uloop_install_handler(SIGTERM, uloop_handle_sigint, add);
	if (uloop_handle_sigchld || !add)
		uloop_install_handler(SIGCHLD, uloop_sigchld, add);
	if (add)
		uloop_ignore_sigpipe();
}

int uloop_init(void)
{
	if (poll_fd >= 0)
		return 0;

	poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (poll_fd < 0)
		return -1;

	if (waker_init() < 0) {
		uloop_done();
		return -1;
	}

	uloop_setup_signals(true);
	return 0;
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	struct epoll_event ev;
	int op;

	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);
	if (poll_fd < 0)
		return -1;

	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL, 0);
		if (fl >= 0)
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}

	memset(&ev, 0, sizeof(ev));
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = sock;

	op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	if (epoll_ctl(poll_fd, op, sock->fd, &ev) < 0)
		return -1;

	sock->flags = (uint8_t) flags;
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *fd)
{
	int i;
	int ret = 0;

	/* events already fetched for this fd must not reach it any more */
	for (i = 0; i < cur_nfds; i++) {
		if (cur_fds[cur_fd + i].fd == fd)
			cur_fds[cur_fd + i].fd = NULL;
	}

	if (!fd->registered)
		return 0;

	fd->registered = false;
	if (poll_fd >= 0)
		ret = epoll_ctl(poll_fd, EPOLL_CTL_DEL, fd->fd, NULL);
	fd->flags = 0;
	return ret;
}

static int uloop_fetch_events(int timeout)
{
	struct epoll_event events[ULOOP_MAX_EVENTS];
	int n, nfds;

	nfds = epoll_wait(poll_fd, events, ULOOP_MAX_EVENTS, timeout);
	for (n = 0; n < nfds; ++n) {
		struct uloop_fd_event *cur = &cur_fds[n];
		struct uloop_fd *u = (struct uloop_fd *) events[n].data.ptr;
		unsigned int ev = 0;

		cur->fd = u;
		cur->events = 0;
		if (!u)
			continue;

		if (events[n].events & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}

		if (!(events[n].events & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP))) {
			cur->fd = NULL;
			continue;
		}

		if (events[n].events & EPOLLRDHUP)
			u->eof = true;
		if (events[n].events & EPOLLIN)
			ev |= ULOOP_READ;
		if (events[n].events & EPOLLOUT)
			ev |= ULOOP_WRITE;

		cur->events = ev;
	}

	return nfds;
}

/* Dispatches one ready fd; the rest wait for the next iteration. */
static void uloop_run_events(int timeout)
{
	if (!cur_nfds) {
		cur_fd = 0;
		cur_nfds = uloop_fetch_events(timeout);
		if (cur_nfds < 0)
			cur_nfds = 0;
	}

	while (cur_nfds > 0) {
		struct uloop_fd_event *cur = &cur_fds[cur_fd++];
		struct uloop_fd *fd = cur->fd;

		cur_nfds--;
		if (!fd || !fd->cb)
			continue;

		fd->cb(fd, cur->events);
		return;
	}
}

static int64_t tv_diff_ms(const struct timeval *t1, const struct timeval *t2)
{
	return ((int64_t) t1->tv_sec - (int64_t) t2->tv_sec) * 1000 +
	       ((int64_t) t1->tv_usec - (int64_t) t2->tv_usec) / 1000;
}

static bool tv_later(const struct timeval *a, const struct timeval *b)
{
	return a->tv_sec > b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_usec > b->tv_usec);
}

static void uloop_gettime(struct timeval *tv)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	struct uloop_timeout *tmp;
	struct list_head *h = &timeouts;

	if (timeout->pending)
		return -1;

	list_for_each_entry(tmp, &timeouts, list) {
		if (tv_later(&tmp->time, &timeout->time)) {
			h = &tmp->list;
			break;
		}
	}

	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	struct timeval *time = &timeout->time;

	if (timeout->pending)
		uloop_timeout_cancel(timeout);

	if (msecs < 0)
		msecs = 0;
	uloop_gettime(time);
	time->tv_sec += msecs / 1000;
	time->tv_usec += (msecs % 1000) * 1000;
	if (time->tv_usec >= 1000000) {
		time->tv_sec++;
		time->tv_usec -= 1000000;
	}

	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;

	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	struct timeval now;

	if (!timeout->pending)
		return -1;
	uloop_gettime(&now);
	return tv_diff_ms(&timeout->time, &now);
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	int64_t td = uloop_timeout_remaining64(timeout);

	if (td > INT_MAX)
		return INT_MAX;
	if (td < INT_MIN)
		return INT_MIN;
	return (int) td;
}

static int uloop_get_next_timeout(void)
{
	struct uloop_timeout *timeout;
	struct timeval now;
	int64_t diff;

	if (list_empty(&timeouts))
		return -1;

	uloop_gettime(&now);
	timeout = list_first_entry(&timeouts, struct uloop_timeout, list);
	/* a timeout that is due runs now, not a millisecond later */
	if (!tv_later(&timeout->time, &now))
		return 0;
	/* otherwise round up, so the wake-up is never early */
	diff = ((int64_t) timeout->time.tv_sec - (int64_t) now.tv_sec) * 1000000 +
	       ((int64_t) timeout->time.tv_usec - (int64_t) now.tv_usec);
	diff = (diff + 999) / 1000;
	if (diff > INT_MAX)
		return INT_MAX;
	return (int) diff;
}

static void uloop_process_timeouts(void)
{
	struct uloop_timeout *t;
	struct timeval now;

	uloop_gettime(&now);
	while (!list_empty(&timeouts)) {
		t = list_first_entry(&timeouts, struct uloop_timeout, list);
		if (tv_later(&t->time, &now))
			break;

		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

int uloop_process_add(struct uloop_process *p)
{
	struct uloop_process *tmp;
	struct list_head *h = &processes;

	if (p->pending)
		return -1;

	list_for_each_entry(tmp, &processes, list) {
		if (tmp->pid > p->pid) {
			h = &tmp->list;
			break;
		}
	}

	list_add_tail(&p->list, h);
	p->pending = true;
	return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
	if (!p->pending)
		return -1;

	list_del(&p->list);
	p->pending = false;
	return 0;
}

/*
 * Only children registered with uloop_process_add are reaped, so that
 * popen/pclose or a program's own waitpid keep their exit statuses.
 */
static void uloop_handle_processes(void)
{
	struct uloop_process *p, *tmp;
	int status;

	do_sigchld = 0;
	list_for_each_entry_safe(p, tmp, &processes, list) {
		pid_t pid = waitpid(p->pid, &status, WNOHANG);

		if (pid != p->pid)
			continue;
		uloop_process_delete(p);
		if (p->cb)
			p->cb(p, status);
	}
}

bool uloop_cancelling(void)
{
	return uloop_run_depth > 0 && uloop_cancelled;
}

int uloop_run_timeout(int timeout)
{
	int next_time;

	uloop_run_depth++;
	uloop_status = 0;
	uloop_cancelled = false;
	do {
		uloop_process_timeouts();

		if (do_sigchld)
			uloop_handle_processes();

		if (uloop_cancelled)
			break;

		next_time = uloop_get_next_timeout();
		if (timeout >= 0 && (next_time < 0 || timeout < next_time))
			next_time = timeout;
		if (poll_fd < 0)
			break;
		uloop_run_events(next_time);
	} while (!uloop_cancelled && timeout < 0);

	--uloop_run_depth;
	return uloop_status;
}

void uloop_done(void)
{
	struct uloop_timeout *t, *tt;
	struct uloop_process *p, *pp;

	uloop_setup_signals(false);

	if (waker_pipe[0] >= 0) {
		uloop_fd_delete(&waker_fd);
		close(waker_pipe[0]);
		close(waker_pipe[1]);
		waker_pipe[0] = waker_pipe[1] = -1;
	}

	if (poll_fd >= 0) {
		close(poll_fd);
		poll_fd = -1;
	}
	cur_nfds = 0;
	cur_fd = 0;

	list_for_each_entry_safe(t, tt, &timeouts, list)
		uloop_timeout_cancel(t);
	list_for_each_entry_safe(p, pp, &processes, list)
		uloop_process_delete(p);
}
