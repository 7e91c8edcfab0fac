#include "directed.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/admission.h"
#include "network/datagram.h"
#include "network/links.h"
#include "pending.h"
#include "responder.h"
#include "waits.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t thread;
static int running, stopped;
static int directed_family;  // AF_INET6, or AF_INET on a kernel without IPv6

// Only datagrams sent to this host's own addresses, and to the groups this
// socket joins itself: the IPv4 group's come to the daemon's socket alone,
// or each would be answered twice.
static int open_socket(int family)
{
    int sock = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0)
        return -1;
    int one = 1, zero = 0, hops = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(sock, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    struct sockaddr_storage any;
    memset(&any, 0, sizeof any);
    any.ss_family = (sa_family_t)family;
    if (family == AF_INET6) {
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &zero, sizeof zero);
        setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        ((struct sockaddr_in6 *)&any)->sin6_port = htons(DISCOVERY_PORT);
    } else {
        ((struct sockaddr_in *)&any)->sin_port = htons(DISCOVERY_PORT);
    }
    datagram_report_arrival(sock, family);
    if (bind(sock, (struct sockaddr *)&any,
             family == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in)) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

// The socket for `family`, in use from now on: for the answers held for
// FF02::C's requests and for the group's memberships.
static int open_in_use(int family)
{
    int sock = open_socket(family);
    if (sock >= 0 && family == AF_INET6)
        link_attach(AF_INET6, sock);
    datagram_use(VIA_DIRECTED, sock);
    return sock;
}

// The socket is gone (a descriptor that is no socket, or one no longer
// bound to the port): a new one in its place, the old one closed once no
// send can use its number.
static int reopen(int sock)
{
    if (directed_family == AF_INET6)
        link_attach(AF_INET6, -1);
    datagram_use(VIA_DIRECTED, -1);
    if (sock >= 0)
        close(sock);
    return open_in_use(directed_family);
}

static void answer_request(int sock, const char *data, size_t len, const struct arrival *a)
{
    struct answer owed;
    if (!responder_read(data, len, a, &owed))
        return;
    if (a->multicast)
        pending_add(VIA_DIRECTED, a, &owed, 1);
    else
        responder_send(sock, VIA_DIRECTED, a, &owed);
}

// One blocking read per batch of requests, which is also where the thread
// may be cancelled: no wait of its own before it. A read that brings none
// is a fault (the socket's pending error, now cleared); one that keeps
// coming back waits longer each time.
static void *serve(void *arg)
{
    static struct datagram_batch b;
    int sock = (int)(intptr_t)arg;
    struct backoff faults = { 0, 0 };
    cancel_only_in_waits();
    for (;;) {
        waiting(1);
        int n = datagram_receive(sock, &b, 0);
        waiting(0);
        for (int i = 0; i < n; i++)
            if (responder_admit(&b.arrival[i], b.len[i]))
                answer_request(sock, b.data[i], b.len[i], &b.arrival[i]);
        if (n > 0)
            continue;
        backoff_after_fault(&faults);
        if (n < 0 || !datagram_clear_error(sock, DISCOVERY_PORT))
            sock = reopen(sock);
    }
    return NULL;
}

int directed_start(void)
{
    pthread_mutex_lock(&lock);
    if (!running && !stopped) {
        directed_family = AF_INET6;
        int sock = open_in_use(AF_INET6);
        if (sock < 0) {
            directed_family = AF_INET;  // a kernel without IPv6
            sock = open_in_use(AF_INET);
        }
        if (sock >= 0)
            running = pthread_create(&thread, NULL, serve, (void *)(intptr_t)sock) == 0;
    }
    int ok = running;
    pthread_mutex_unlock(&lock);
    return ok;
}

void directed_stop(void)
{
    pthread_mutex_lock(&lock);
    stopped = 1;
    if (running) {
        pthread_cancel(thread);
        pthread_join(thread, NULL);
        running = 0;
    }
    pthread_mutex_unlock(&lock);
}
