// The library's threads are cancelled only while they wait. Elsewhere a
// cancellation could land inside the C library (getifaddrs, the socket
// set-up, a lock held) and leak what it holds; it stays pending until the
// next wait.
#pragma once

#include <poll.h>
#include <pthread.h>
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
