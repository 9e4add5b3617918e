/*
 * kqueue process-exit watches for Linux, with the shape the daemon uses on
 * FreeBSD: kqueue(), kevent() with struct kevent, EV_SET, EVFILT_PROC,
 * EV_ADD | EV_ENABLE | EV_ONESHOT and NOTE_EXIT, the wait(2) status of the
 * exited process in the event's data.
 *
 * Only that much is provided: one-shot NOTE_EXIT watches on processes, any
 * number of changes per call, and a wait that returns at most the events
 * asked for. A watch names the exact process (a pidfd), so a reused PID never
 * fires a stale watch. Registering a PID that does not exist fails with
 * ESRCH; registering one that is already watched keeps the one watch.
 *
 * Exit statuses of processes that are not our children come from the
 * kernel's process-events connector, which needs root. Without it, a watched
 * child's status comes from waitid and any other process reads as having
 * exited with status 0; this is logged once, when the first kqueue is made.
 *
 * Thread safety: one thread may wait while others register.
 */
#ifndef KELV_PLATFORM_SYS_EVENT_H_
#define KELV_PLATFORM_SYS_EVENT_H_

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct kevent {
  uintptr_t ident; /* the PID */
  short filter;    /* EVFILT_PROC */
  unsigned short flags;
  unsigned int fflags;
  int64_t data; /* NOTE_EXIT: the wait(2) status */
  void* udata;
};

#define EVFILT_PROC (-5)

#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_ENABLE 0x0004
#define EV_DISABLE 0x0008
#define EV_ONESHOT 0x0010
#define EV_EOF 0x8000
#define EV_ERROR 0x4000

#define NOTE_EXIT 0x80000000U

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* ev_ = (kevp);       \
    ev_->ident = (a);                  \
    ev_->filter = (b);                 \
    ev_->flags = (c);                  \
    ev_->fflags = (d);                 \
    ev_->data = (e);                   \
    ev_->udata = (f);                  \
  } while (0)

/* A new queue (a descriptor), or -1 with errno. Also raises the soft limit
 * of open descriptors to the hard limit, since every watch holds one. */
int kqueue(void);

/* Applies the changes, then waits for at most nevents events (null timeout:
 * without limit). Returns the number of events, or -1 with errno: ESRCH for
 * a PID that does not exist, EMFILE/ENFILE when no descriptor is left for a
 * watch, EINTR when a signal handler ran on the waiting thread, EBADF for a
 * bad queue. The wait sleeps through a signal that is ignored and through a
 * stop and continue of the process; time spent stopped counts against the
 * timeout. */
int kevent(int kq, const struct kevent* changelist, int nchanges,
           struct kevent* eventlist, int nevents,
           const struct timespec* timeout);

#ifdef __cplusplus
}
#endif

#endif /* KELV_PLATFORM_SYS_EVENT_H_ */
