// The library's threads are cancelled only while they wait. Elsewhere a
// cancellation could land inside the C library (getifaddrs, the socket
// set-up, a lock held) and leak what it holds; it stays pending until the
// next wait.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

/// Called first in each thread: cancellation waits for a wait.
static inline void cancel_only_in_waits(void)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

/// Opens the thread to cancellation for the length of one wait.
static inline void waiting(int cancellable)
{
    int old;
    pthread_setcancelstate(cancellable ? PTHREAD_CANCEL_ENABLE : PTHREAD_CANCEL_DISABLE, &old);
}

static inline void cancellable_sleep_us(unsigned us)
{
    waiting(1);
    usleep(us);
    waiting(0);
}

static inline int cancellable_poll(struct pollfd *pfd, nfds_t count, int timeout_ms)
{
    waiting(1);
    int n = poll(pfd, count, timeout_ms);
    waiting(0);
    return n;
}

/// A socket fault handled over and over must not spin: the first costs no
/// wait, each that follows within a second of the last waits twice as
/// long as the one before (10 ms, then up to 1 s).
struct backoff {
    double last_s;
    unsigned wait_ms;
};

/// Monotonic seconds.
static inline double monotonic_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static inline void backoff_after_fault(struct backoff *b)
{
    if (monotonic_s() - b->last_s > 1)
        b->wait_ms = 0;
    else
        b->wait_ms = b->wait_ms == 0 ? 10 : b->wait_ms >= 500 ? 1000 : 2 * b->wait_ms;
    if (b->wait_ms)
        cancellable_sleep_us(b->wait_ms * 1000);
    b->last_s = monotonic_s();
}
