// The netlink watch on the device's links and addresses: told of each
// that comes or goes, the hello loop takes a fresh look at them.

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "links.h"

int link_watch_open(void)
{
    int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (sock >= 0 && bind(sock, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(sock);
        sock = -1;
    }
    return sock;
}

int link_watch_drain(int watch)
{
    static char buf[8192];
    int any = 0;
    while (recv(watch, buf, sizeof buf, MSG_DONTWAIT) > 0 || errno == ENOBUFS)
        any = 1;  // ENOBUFS: messages were lost; a fresh look covers them
    return any;
}

int link_watch_mend(int watch, short revents)
{
    if (revents & (POLLHUP | POLLNVAL)) {
        if (!(revents & POLLNVAL))
            close(watch);
        return link_watch_open();
    }
    int error;
    socklen_t len = sizeof error;
    getsockopt(watch, SOL_SOCKET, SO_ERROR, &error, &len);
    link_watch_drain(watch);
    return watch;
}
