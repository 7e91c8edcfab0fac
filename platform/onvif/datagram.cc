#include "datagram.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

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

void datagram_multicast(int sock, const struct link *l, const char *message, size_t len)
{
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVERY_PORT);
    to.sin_addr.s_addr = inet_addr(DISCOVERY_GROUP);
    int ttl = 1;
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

ssize_t datagram_receive(int sock, char *buf, size_t size, struct sockaddr_in *from,
                         struct in_pktinfo *arrival, int *arrived)
{
    union pktinfo_control control;
    struct iovec iov = { buf, size };
    struct msghdr msg;
    pktinfo_message(&msg, from, &iov, &control);

    *arrived = 0;
    ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    if ((msg.msg_flags & MSG_TRUNC) || from->sin_family != AF_INET)
        return 0;  // no Probe is that large
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            memcpy(arrival, CMSG_DATA(c), sizeof *arrival);
            *arrived = 1;
        }
    return n;
}
