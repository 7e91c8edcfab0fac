// Stand-in for the discovery library: a WS-Discovery target service that
// announces the device with Hello and Bye and answers Probes with one
// ProbeMatch each, sent back to the Probe's sender.

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "onvif.h"
#include "wsd.h"

#define EXPORTED __attribute__((visibility("default")))

static const char discovery_group[] = "239.255.255.250";
static const unsigned short discovery_port = 3702;
static const unsigned hello_check_us = 1000000;  // how often the hello loop looks at server_hello
static const double duplicate_window_s = 5;  // a Probe repeated within it is dropped
static const int server_wait_steps = 100;   // the first Hello waits at most 100 x 10 ms
static const int server_wait_step_us = 10000;

enum { DATAGRAM_SIZE = 65536, RECENT_PROBES = 32 };

static void multicast(int sock, const char *message, size_t len)
{
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(discovery_port);
    to.sin_addr.s_addr = inet_addr(discovery_group);
    int ttl = 1;  // discovery stays on the local link
    setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sendto(sock, message, len, 0, (struct sockaddr *)&to, sizeof to);
}

static void append_xaddr(char *out, size_t size, struct in_addr addr)
{
    size_t used = strlen(out);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    snprintf(out + used, size - used, "%shttp://%s/onvif/device_service", used ? " " : "", text);
}

// The device service on every interface that is up; loopback only when
// there is nothing else.
static void local_xaddrs(char *out, size_t size)
{
    struct ifaddrs *list;
    out[0] = '\0';
    if (getifaddrs(&list) != 0)
        return;
    for (int loopback = 0; loopback < 2 && out[0] == '\0'; loopback++) {
        for (struct ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
                !(i->ifa_flags & IFF_LOOPBACK) != !loopback)
                continue;
            append_xaddr(out, size, ((struct sockaddr_in *)i->ifa_addr)->sin_addr);
        }
    }
    freeifaddrs(list);
}

static void send_hello(int sock)
{
    char xaddrs[1024], message[WSD_MESSAGE_SIZE];
    local_xaddrs(xaddrs, sizeof xaddrs);
    size_t len = wsd_message(message, sizeof message, WSD_HELLO, NULL, xaddrs);
    if (len)
        multicast(sock, message, len);
}

// The loops are cancelled only while they wait. Elsewhere a cancellation
// could land inside the C library (getifaddrs, the socket set-up) and leak
// what it holds; it stays pending until the next wait.
static void cancel_only_in_waits(void)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

static void cancellable_sleep_us(unsigned us)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    usleep(us);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

static int cancellable_poll(struct pollfd *pfd)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    // No timeout: an idle responder does not wake up.
    int n = poll(pfd, 1, -1);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    return n;
}

// The first Hello says the device is there to be probed: it waits until
// the probe loop has its socket, but not for ever.
static void wait_for_server_socket(void)
{
    for (int i = 0; i < server_wait_steps && __atomic_load_n(&server_udp, __ATOMIC_ACQUIRE) < 0;
         i++)
        cancellable_sleep_us(server_wait_step_us);
}

EXPORTED void udp_hello(int sock)
{
    cancel_only_in_waits();
    wait_for_server_socket();
    send_hello(sock);
    for (;;) {
        cancellable_sleep_us(hello_check_us);
        if (__atomic_exchange_n(&server_hello, 0, __ATOMIC_ACQ_REL))
            send_hello(sock);
    }
}

EXPORTED void ByeHandler(int)
{
    char message[WSD_MESSAGE_SIZE];
    size_t len = wsd_message(message, sizeof message, WSD_BYE, NULL, NULL);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0 || !len)
        return;
    multicast(sock, message, len);
    close(sock);
}

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Clients repeat a Probe with the same MessageID over UDP; one answer is
// enough.
static int seen_recently(const char *message_id)
{
    static struct {
        uint64_t hash;
        double at;
    } recent[RECENT_PROBES];
    static unsigned next;

    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char *p = message_id; *p; p++)
        hash = (hash ^ (unsigned char)*p) * 0x100000001b3ULL;
    double now = now_s();
    for (unsigned i = 0; i < RECENT_PROBES; i++)
        if (recent[i].hash == hash && recent[i].at != 0 && now - recent[i].at < duplicate_window_s)
            return 1;
    recent[next].hash = hash;
    recent[next].at = now;
    next = (next + 1) % RECENT_PROBES;
    return 0;
}

// The address the Probe came in on, else the one a reply to its sender
// would leave from.
static struct in_addr reply_address(struct in_addr arrived_on, const struct sockaddr_in *from)
{
    if (arrived_on.s_addr != htonl(INADDR_ANY))
        return arrived_on;
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    memset(&local, 0, sizeof local);
    if (sock >= 0 && connect(sock, (const struct sockaddr *)from, sizeof *from) == 0)
        getsockname(sock, (struct sockaddr *)&local, &len);
    if (sock >= 0)
        close(sock);
    return local.sin_addr;
}

static void answer(int sock, const char *data, size_t len, const struct sockaddr_in *from,
                   struct in_addr arrived_on)
{
    struct wsd_probe probe;
    if (!wsd_parse_probe(data, len, &probe) || seen_recently(probe.message_id) ||
        !wsd_probe_matches(&probe))
        return;
    onvif_remote_addr = *from;

    char xaddrs[128] = "", message[WSD_MESSAGE_SIZE];
    append_xaddr(xaddrs, sizeof xaddrs, reply_address(arrived_on, from));
    size_t n = wsd_message(message, sizeof message, WSD_PROBE_MATCHES, probe.message_id, xaddrs);
    // From the group-bound socket the system picks the source address.
    if (n)
        sendto(sock, message, n, 0, (const struct sockaddr *)from, sizeof *from);
}

// Reads every waiting datagram. Returns 0 once the socket is drained, -1
// when it failed.
static int drain(int sock)
{
    static char data[DATAGRAM_SIZE];
    for (;;) {
        struct sockaddr_in from;
        union {
            char buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
            struct cmsghdr align;
        } control;
        struct iovec iov = { data, sizeof data };
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof control.buf;

        ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        if ((msg.msg_flags & MSG_TRUNC) || from.sin_family != AF_INET)
            continue;  // no Probe is that large

        struct in_addr arrived_on = { htonl(INADDR_ANY) };
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                arrived_on = ((struct in_pktinfo *)CMSG_DATA(c))->ipi_spec_dst;
        answer(sock, data, (size_t)n, &from, arrived_on);
    }
}

static int open_with_pktinfo(int (*open_server)(void))
{
    int sock = open_server();
    int one = 1;
    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    return sock;
}

EXPORTED void udp_probe(int (*open_server)(void))
{
    cancel_only_in_waits();
    int sock = open_with_pktinfo(open_server);
    for (;;) {
        struct pollfd pfd = { sock, POLLIN, 0 };
        int n = cancellable_poll(&pfd);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (pfd.revents & POLLNVAL) || drain(sock) != 0)
            sock = open_with_pktinfo(open_server);
    }
}
