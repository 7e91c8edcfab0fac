#include "directed.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "datagram.h"
#include "links.h"
#include "pending.h"
#include "responder.h"
#include "waits.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t thread;
static int running, stopped;
static int directed_socket = -1;

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

static void answer_request(int sock, const char *data, size_t len, const struct arrival *a)
{
    struct answer owed;
    if (!responder_read(data, len, a, &owed))
        return;
    if (a->multicast) {
        pending_add(sock, a, &owed, 1);
        return;
    }
    char message[WSD_MESSAGE_SIZE];
    size_t n = responder_compose(&owed, message, sizeof message);
    if (n)
        datagram_reply(sock, a, message, n);
}

// One blocking read per request, which is also where the thread may be
// cancelled: no wait of its own before it.
static void *serve(void *)
{
    static char data[65536];
    cancel_only_in_waits();
    for (;;) {
        struct arrival a;
        waiting(1);
        ssize_t n = datagram_receive(directed_socket, data, sizeof data, 0, &a);
        waiting(0);
        if (n > 0)
            answer_request(directed_socket, data, (size_t)n, &a);
        else if (n < 0)
            cancellable_sleep_us(100000);  // not to spin on a socket gone bad
    }
    return NULL;
}

int directed_start(void)
{
    pthread_mutex_lock(&lock);
    if (!running && !stopped) {
        directed_socket = open_socket(AF_INET6);
        if (directed_socket >= 0)
            link_attach(AF_INET6, directed_socket);
        else
            directed_socket = open_socket(AF_INET);  // a kernel without IPv6
        if (directed_socket >= 0) {
            running = pthread_create(&thread, NULL, serve, NULL) == 0;
        }
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
