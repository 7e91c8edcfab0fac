// Stand-in for the discovery library: a WS-Discovery target service that
// announces the device with Hello and Bye on each of its links, and answers
// Probes and Resolves with one match each, sent back to the sender and
// naming the address of the link the request came in on.

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
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
static const int hello_check_ms = 1000;  // how often the hello loop looks at server_hello
static const double duplicate_window_s = 5;  // a request repeated within it is dropped
static const int server_wait_steps = 100;   // the first Hello waits at most 100 x 10 ms
static const int server_wait_step_us = 10000;

enum { DATAGRAM_SIZE = 65536, RECENT_PROBES = 32, LINK_LIMIT = 32 };

// A link the device is discoverable on: an interface and its address.
struct link {
    int ifindex;
    struct in_addr addr;
};

// The links as the hello loop last saw them; the probe loop joins the
// group on each when it gets a new server socket.
static pthread_mutex_t links_lock = PTHREAD_MUTEX_INITIALIZER;
static struct link links[LINK_LIMIT];
static int link_count;

static int has_link(const struct link *set, int count, const struct link *l)
{
    for (int i = 0; i < count; i++)
        if (set[i].ifindex == l->ifindex && set[i].addr.s_addr == l->addr.s_addr)
            return 1;
    return 0;
}

// Every IPv4 interface that is up and can carry multicast, with its first
// address. Loopback is no link for discovery, unless it is all there is.
static int scan_links(struct link *out)
{
    struct ifaddrs *list;
    int n = 0;
    if (getifaddrs(&list) != 0)
        return 0;
    for (int loopback = 0; loopback < 2 && n == 0; loopback++) {
        for (struct ifaddrs *i = list; i && n < LINK_LIMIT; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
                !(i->ifa_flags & IFF_LOOPBACK) != !loopback ||
                (!loopback && !(i->ifa_flags & IFF_MULTICAST)))
                continue;
            struct link l = { (int)if_nametoindex(i->ifa_name),
                              ((struct sockaddr_in *)i->ifa_addr)->sin_addr };
            int known = 0;
            for (int k = 0; k < n; k++)
                known |= out[k].ifindex == l.ifindex;
            if (l.ifindex > 0 && !known)
                out[n++] = l;
        }
    }
    freeifaddrs(list);
    return n;
}

static struct ip_mreqn group_on(const struct link *l)
{
    struct ip_mreqn m;
    memset(&m, 0, sizeof m);
    m.imr_multiaddr.s_addr = inet_addr(discovery_group);
    m.imr_address = l->addr;
    m.imr_ifindex = l->ifindex;
    return m;
}

// Adds the link to the server socket's memberships; one it has already
// (the one the daemon joined) is refused and stays.
static void join_link(int sock, const struct link *l)
{
    struct ip_mreqn m = group_on(l);
    if (sock >= 0)
        setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
}

static void leave_link(int sock, const struct link *l)
{
    struct ip_mreqn m = group_on(l);
    if (sock >= 0)
        setsockopt(sock, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
}

static void join_known_links(int sock)
{
    pthread_mutex_lock(&links_lock);
    for (int i = 0; i < link_count; i++)
        join_link(sock, &links[i]);
    pthread_mutex_unlock(&links_lock);
}

// Room for one IP_PKTINFO control message, aligned for its header.
union pktinfo_control {
    char buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
    struct cmsghdr align;
};

// One datagram to or from `peer` in `iov`, with room for IP_PKTINFO: the
// interface and address it leaves by, or the ones it arrived on.
static void pktinfo_message(struct msghdr *msg, struct sockaddr_in *peer, struct iovec *iov,
                            union pktinfo_control *control)
{
    memset(msg, 0, sizeof *msg);
    msg->msg_name = peer;
    msg->msg_namelen = sizeof *peer;
    msg->msg_iov = iov;
    msg->msg_iovlen = 1;
    msg->msg_control = control->buf;
    msg->msg_controllen = sizeof control->buf;
}

// Sends to the group out of the link's own interface, named per message
// (IP_PKTINFO) rather than per socket: one socket serves every link.
static void multicast_on(int sock, const struct link *l, const char *message, size_t len)
{
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(discovery_port);
    to.sin_addr.s_addr = inet_addr(discovery_group);
    int ttl = 1;  // discovery stays on the local link
    setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);

    union pktinfo_control control;
    memset(&control, 0, sizeof control);
    struct iovec iov = { (void *)message, len };
    struct msghdr msg;
    pktinfo_message(&msg, &to, &iov, &control);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo out;
    memset(&out, 0, sizeof out);
    out.ipi_ifindex = l->ifindex;
    out.ipi_spec_dst = l->addr;  // the source address: the link's own
    memcpy(CMSG_DATA(c), &out, sizeof out);
    sendmsg(sock, &msg, 0);
}

static void append_xaddr(char *out, size_t size, struct in_addr addr)
{
    size_t used = strlen(out);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    snprintf(out + used, size - used, "%shttp://%s/onvif/device_service", used ? " " : "", text);
}

// A Hello on one link names that link's own address: it is the one its
// clients can reach.
static void send_hello_on(int sock, const struct link *l)
{
    char xaddrs[128] = "", message[WSD_MESSAGE_SIZE];
    append_xaddr(xaddrs, sizeof xaddrs, l->addr);
    size_t len = wsd_message(message, sizeof message, WSD_HELLO, NULL, xaddrs);
    if (len && sock >= 0)
        multicast_on(sock, l, message, len);
}

// Takes a fresh look at the links: the server socket joins the group on
// new ones and leaves those gone. With `greet`, each new link gets a Hello.
static void update_links(int hello_sock, int greet)
{
    struct link now[LINK_LIMIT], fresh[LINK_LIMIT];
    int count = scan_links(now), fresh_count = 0;
    int server = __atomic_load_n(&server_udp, __ATOMIC_ACQUIRE);

    pthread_mutex_lock(&links_lock);
    for (int i = 0; i < count; i++)
        if (!has_link(links, link_count, &now[i])) {
            join_link(server, &now[i]);
            fresh[fresh_count++] = now[i];
        }
    for (int i = 0; i < link_count; i++)
        if (!has_link(now, count, &links[i]))
            leave_link(server, &links[i]);
    memcpy(links, now, sizeof now[0] * (size_t)count);
    link_count = count;
    pthread_mutex_unlock(&links_lock);

    for (int i = 0; greet && i < fresh_count; i++)
        send_hello_on(hello_sock, &fresh[i]);
}

static void send_hellos(int sock)
{
    struct link now[LINK_LIMIT];
    pthread_mutex_lock(&links_lock);
    int count = link_count;
    memcpy(now, links, sizeof now[0] * (size_t)count);
    pthread_mutex_unlock(&links_lock);
    for (int i = 0; i < count; i++)
        send_hello_on(sock, &now[i]);
}

// Route messages about links and IPv4 addresses; -1 when there are none to
// be had (the links are then only looked at on start).
static int open_link_watch(void)
{
    int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (sock >= 0 && bind(sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(sock);
        sock = -1;
    }
    return sock;
}

// Whether anything arrived; what it says does not matter, the links are
// looked at afresh.
static int drain_link_watch(int sock)
{
    static char buf[8192];
    int any = 0;
    while (recv(sock, buf, sizeof buf, MSG_DONTWAIT) > 0 || errno == ENOBUFS)
        any = 1;  // ENOBUFS: messages were lost; a fresh look covers them
    return any;
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

static int cancellable_poll(struct pollfd *pfd, int timeout_ms)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    int n = poll(pfd, 1, timeout_ms);
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
    // Watched before the first look, so no change falls between the two.
    // The loop ends only by cancellation, with the process.
    int watch = open_link_watch();
    update_links(sock, 0);
    send_hellos(sock);
    for (;;) {
        struct pollfd pfd = { watch, POLLIN, 0 };
        if (cancellable_poll(&pfd, hello_check_ms) > 0 && drain_link_watch(watch))
            update_links(sock, 1);
        if (__atomic_exchange_n(&server_hello, 0, __ATOMIC_ACQ_REL))
            send_hellos(sock);
    }
}

// A Bye on every link the device has now.
EXPORTED void ByeHandler(int)
{
    struct link now[LINK_LIMIT];
    int count = scan_links(now);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0)
        return;
    for (int i = 0; i < count; i++) {
        char message[WSD_MESSAGE_SIZE];
        size_t len = wsd_message(message, sizeof message, WSD_BYE, NULL, NULL);
        if (len)
            multicast_on(sock, &now[i], message, len);
    }
    close(sock);
}

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Clients repeat a Probe or Resolve with the same MessageID over UDP; one
// answer is enough.
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

// The address of the link the request came in on (the kernel's choice
// for a reply on the arrival interface); else the one a reply to its
// sender would leave from.
static struct in_addr reply_address(const struct in_pktinfo *arrival,
                                    const struct sockaddr_in *from)
{
    if (arrival && arrival->ipi_spec_dst.s_addr != htonl(INADDR_ANY))
        return arrival->ipi_spec_dst;

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
                   const struct in_pktinfo *arrival)
{
    struct wsd_probe request;
    enum wsd_request kind = wsd_parse_request(data, len, &request);
    if (kind == WSD_NOT_A_REQUEST || seen_recently(request.message_id))
        return;
    if (kind == WSD_PROBE_REQUEST ? !wsd_probe_matches(&request) : !wsd_resolve_matches(&request))
        return;
    onvif_remote_addr = *from;

    char xaddrs[128] = "", message[WSD_MESSAGE_SIZE];
    append_xaddr(xaddrs, sizeof xaddrs, reply_address(arrival, from));
    size_t n = wsd_message(message, sizeof message,
                           kind == WSD_PROBE_REQUEST ? WSD_PROBE_MATCHES : WSD_RESOLVE_MATCHES,
                           request.message_id, xaddrs);
    // From the group-bound socket the system picks the source address.
    if (n)
        sendto(sock, message, n, 0, (const struct sockaddr *)from, sizeof *from);
}

// Reads one waiting datagram and answers it. Returns 0 when the socket
// is fine, -1 when it failed. One datagram per wake-up: with more waiting
// the next poll returns at once, and with none the socket is not read
// again only to learn it is empty.
static int serve_one(int sock)
{
    static char data[DATAGRAM_SIZE];
    struct sockaddr_in from;
    union pktinfo_control control;
    struct iovec iov = { data, sizeof data };
    struct msghdr msg;
    pktinfo_message(&msg, &from, &iov, &control);

    ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    if ((msg.msg_flags & MSG_TRUNC) || from.sin_family != AF_INET)
        return 0;  // no Probe is that large

    struct in_pktinfo arrival;
    const struct in_pktinfo *arrived = NULL;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            memcpy(&arrival, CMSG_DATA(c), sizeof arrival);
            arrived = &arrival;
        }
    answer(sock, data, (size_t)n, &from, arrived);
    return 0;
}

// The daemon's server socket, told to say where each datagram arrived and
// joined to the group on every link known so far (the hello loop adds the
// ones that come later).
static int open_with_pktinfo(int (*open_server)(void))
{
    int sock = open_server();
    int one = 1;
    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    join_known_links(sock);
    return sock;
}

EXPORTED void udp_probe(int (*open_server)(void))
{
    cancel_only_in_waits();
    int sock = open_with_pktinfo(open_server);
    for (;;) {
        struct pollfd pfd = { sock, POLLIN, 0 };
        int n = cancellable_poll(&pfd, -1);  // an idle responder does not wake up
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (pfd.revents & POLLNVAL) || serve_one(sock) != 0)
            sock = open_with_pktinfo(open_server);
    }
}
