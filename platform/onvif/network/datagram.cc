#include "datagram.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <string.h>

static pthread_mutex_t send_lock = PTHREAD_MUTEX_INITIALIZER;
static int silenced;
static int sockets[VIA_COUNT] = { -1, -1 };

// Room for the packet information, aligned for its header: an IPv6 socket
// gives both kinds for an IPv4 datagram.
union pktinfo_control {
    char buf[CMSG_SPACE(sizeof(struct in6_pktinfo)) + CMSG_SPACE(sizeof(struct in_pktinfo))];
    struct cmsghdr align;
};

// One datagram to or from `peer` in `iov`, with room for the packet
// information: the interface and address it leaves by, or arrived on.
static void pktinfo_message(struct msghdr *msg, void *peer, socklen_t peer_len,
                            struct iovec *iov, union pktinfo_control *control)
{
    memset(msg, 0, sizeof *msg);
    msg->msg_name = peer;
    msg->msg_namelen = peer_len;
    msg->msg_iov = iov;
    msg->msg_iovlen = 1;
    msg->msg_control = control->buf;
    msg->msg_controllen = sizeof control->buf;
}

void datagram_report_arrival(int sock, int family)
{
    int one = 1;
    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    if (family == AF_INET6)
        setsockopt(sock, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
}

// Where it arrived, from the packet information the kernel gave.
static void read_arrival(struct msghdr *msg, struct arrival *a)
{
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            struct in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            a->family = AF_INET;
            a->ifindex = info.ipi_ifindex;
            a->local = info.ipi_spec_dst;
            a->multicast = IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            struct in6_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            a->ifindex = (int)info.ipi6_ifindex;
            if (IN6_IS_ADDR_V4MAPPED(&info.ipi6_addr) && a->family != AF_INET) {
                a->family = AF_INET;  // the address it was sent to: one of ours
                memcpy(&a->local, &info.ipi6_addr.s6_addr[12], sizeof a->local);
                a->multicast = IN_MULTICAST(ntohl(a->local.s_addr));
            } else if (!IN6_IS_ADDR_V4MAPPED(&info.ipi6_addr)) {
                a->family = AF_INET6;
                a->local6 = info.ipi6_addr;
                a->multicast = IN6_IS_ADDR_MULTICAST(&info.ipi6_addr);
            }
        }
    }
}

int datagram_receive(int sock, struct datagram_batch *b, int flags)
{
    union pktinfo_control control[DATAGRAM_BATCH];
    struct iovec iov[DATAGRAM_BATCH];
    struct mmsghdr m[DATAGRAM_BATCH];
    for (int i = 0; i < DATAGRAM_BATCH; i++) {
        iov[i] = (struct iovec){ b->data[i], DATAGRAM_SIZE };
        pktinfo_message(&m[i].msg_hdr, &b->arrival[i].from, sizeof b->arrival[i].from, &iov[i],
                        &control[i]);
    }
    int n = recvmmsg(sock, m, DATAGRAM_BATCH, flags ? flags : MSG_WAITFORONE, NULL);
    if (n < 0)  // a descriptor that is no socket (any more) is all that fails for good
        return errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == EINVAL ? -1 : 0;
    for (int i = 0; i < n; i++) {
        struct arrival *a = &b->arrival[i];
        struct sockaddr_storage from = a->from;
        memset(a, 0, sizeof *a);
        a->from = from;
        a->from_len = m[i].msg_hdr.msg_namelen;
        a->family = a->from.ss_family;
        read_arrival(&m[i].msg_hdr, a);
        b->len[i] = m[i].msg_hdr.msg_flags & MSG_TRUNC ? 0 : m[i].msg_len;  // no request is that large
    }
    return n;
}

int datagram_clear_error(int sock, int port)
{
    int error;
    socklen_t len = sizeof error;
    struct sockaddr_storage local;
    socklen_t local_len = sizeof local;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0 ||
        getsockname(sock, (struct sockaddr *)&local, &local_len) != 0)
        return 0;
    in_port_t bound = local.ss_family == AF_INET ? ((struct sockaddr_in *)&local)->sin_port
                                                 : ((struct sockaddr_in6 *)&local)->sin6_port;
    return bound == htons((in_port_t)port);
}

// Every message leaves here, under the lock the Bye takes: from `sock`,
// or when `via` names one, from the socket current for it, looked up under
// the same lock (a number replaced meanwhile, perhaps reused already, is
// never sent on). The error a socket had pending comes back from the first
// send after it, and is cleared: that send is made again, once.
static int send_message(int sock, int via, const struct msghdr *msg, int last_word)
{
    pthread_mutex_lock(&send_lock);
    if (via >= 0)
        sock = sockets[via];
    int sent = sock >= 0 && (!silenced || last_word) &&
               (sendmsg(sock, msg, MSG_DONTWAIT) >= 0 ||
                (errno != EAGAIN && errno != EWOULDBLOCK && sendmsg(sock, msg, MSG_DONTWAIT) >= 0));
    pthread_mutex_unlock(&send_lock);
    return sent;  // not sent: dropped, as a datagram may be
}

void datagram_silence(void)
{
    pthread_mutex_lock(&send_lock);
    silenced = 1;
    pthread_mutex_unlock(&send_lock);
}

int datagram_use(enum datagram_via via, int sock)
{
    pthread_mutex_lock(&send_lock);
    int before = sockets[via];
    sockets[via] = sock;
    pthread_mutex_unlock(&send_lock);
    return before;
}

// Names the interface and source address a datagram leaves by.
static void set_pktinfo(struct msghdr *msg, int family, int ifindex, const void *source)
{
    struct cmsghdr *c = CMSG_FIRSTHDR(msg);
    if (family == AF_INET) {
        struct in_pktinfo out;
        memset(&out, 0, sizeof out);
        out.ipi_ifindex = ifindex;
        memcpy(&out.ipi_spec_dst, source, sizeof out.ipi_spec_dst);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof out);
        memcpy(CMSG_DATA(c), &out, sizeof out);
    } else {
        struct in6_pktinfo out;
        memset(&out, 0, sizeof out);
        out.ipi6_ifindex = (unsigned)ifindex;
        memcpy(&out.ipi6_addr, source, sizeof out.ipi6_addr);
        c->cmsg_level = IPPROTO_IPV6;
        c->cmsg_type = IPV6_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof out);
        memcpy(CMSG_DATA(c), &out, sizeof out);
    }
    msg->msg_controllen = c->cmsg_len;
}

int datagram_multicast(int sock, const struct link *l, const char *message, size_t len, int last_word)
{
    union {
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    } to;
    memset(&to, 0, sizeof to);
    int hops = 1;
    if (l->family == AF_INET) {
        to.v4.sin_family = AF_INET;
        to.v4.sin_port = htons(DISCOVERY_PORT);
        to.v4.sin_addr.s_addr = inet_addr(DISCOVERY_GROUP);
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
    } else {
        to.v6.sin6_family = AF_INET6;
        to.v6.sin6_port = htons(DISCOVERY_PORT);
        inet_pton(AF_INET6, DISCOVERY_GROUP6, &to.v6.sin6_addr);
        to.v6.sin6_scope_id = (unsigned)l->ifindex;
        setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
    }

    union pktinfo_control control;
    memset(&control, 0, sizeof control);
    struct iovec iov = { (void *)message, len };
    struct msghdr msg;
    pktinfo_message(&msg, &to, l->family == AF_INET ? sizeof to.v4 : sizeof to.v6, &iov, &control);
    set_pktinfo(&msg, l->family, l->ifindex,
                l->family == AF_INET ? (const void *)&l->addr : (const void *)&l->addr6);
    return send_message(sock, -1, &msg, last_word);
}

// The reply to *a in `msg`, with its packet information in `control`.
static void reply_message(struct msghdr *msg, const struct arrival *a, struct iovec *iov,
                          union pktinfo_control *control)
{
    struct in6_addr any = IN6ADDR_ANY_INIT;
    memset(control, 0, sizeof *control);
    pktinfo_message(msg, (void *)&a->from, a->from_len, iov, control);
    if (a->family == AF_INET)
        set_pktinfo(msg, AF_INET, 0, &a->local);
    else
        set_pktinfo(msg, AF_INET6, a->ifindex, a->multicast ? &any : &a->local6);
}

int datagram_reply(int sock, const struct arrival *a, const char *message, size_t len)
{
    union pktinfo_control control;
    struct iovec iov = { (void *)message, len };
    struct msghdr msg;
    reply_message(&msg, a, &iov, &control);
    return send_message(sock, -1, &msg, 0);
}

int datagram_reply_via(enum datagram_via via, const struct arrival *a, const char *message,
                       size_t len)
{
    union pktinfo_control control;
    struct iovec iov = { (void *)message, len };
    struct msghdr msg;
    reply_message(&msg, a, &iov, &control);
    return send_message(-1, via, &msg, 0);
}
