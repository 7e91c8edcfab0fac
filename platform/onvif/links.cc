#include "links.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "datagram.h"

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

// Loopback is no link for discovery, unless it is all there is.
int link_scan(struct link *out)
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

int link_known(struct link *out)
{
    pthread_mutex_lock(&links_lock);
    int count = link_count;
    memcpy(out, links, sizeof links[0] * (size_t)count);
    pthread_mutex_unlock(&links_lock);
    return count;
}

static struct ip_mreqn group_on(const struct link *l)
{
    struct ip_mreqn m;
    memset(&m, 0, sizeof m);
    m.imr_multiaddr.s_addr = inet_addr(DISCOVERY_GROUP);
    m.imr_address = l->addr;
    m.imr_ifindex = l->ifindex;
    return m;
}

static void membership(int sock, int option, const struct link *l)
{
    struct ip_mreqn m = group_on(l);
    if (sock >= 0)
        setsockopt(sock, IPPROTO_IP, option, &m, sizeof m);
}

void link_join_known(int sock)
{
    pthread_mutex_lock(&links_lock);
    for (int i = 0; i < link_count; i++)
        membership(sock, IP_ADD_MEMBERSHIP, &links[i]);
    pthread_mutex_unlock(&links_lock);
}

int link_update(int server, struct link *fresh)
{
    struct link now[LINK_LIMIT];
    int count = link_scan(now), fresh_count = 0;

    pthread_mutex_lock(&links_lock);
    for (int i = 0; i < count; i++)
        if (!has_link(links, link_count, &now[i])) {
            membership(server, IP_ADD_MEMBERSHIP, &now[i]);
            fresh[fresh_count++] = now[i];
        }
    for (int i = 0; i < link_count; i++)
        if (!has_link(now, count, &links[i]))
            membership(server, IP_DROP_MEMBERSHIP, &links[i]);
    memcpy(links, now, sizeof now[0] * (size_t)count);
    link_count = count;
    pthread_mutex_unlock(&links_lock);
    return fresh_count;
}

int link_watch_open(void)
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

int link_watch_drain(int watch)
{
    static char buf[8192];
    int any = 0;
    while (recv(watch, buf, sizeof buf, MSG_DONTWAIT) > 0 || errno == ENOBUFS)
        any = 1;  // ENOBUFS: messages were lost; a fresh look covers them
    return any;
}
