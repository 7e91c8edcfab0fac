#include "links.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "describe/description.h"
#include "describe/messages.h"


// The links as the hello loop last saw them, and the sockets that are
// members of the groups on them (-1: none yet).
static pthread_mutex_t links_lock = PTHREAD_MUTEX_INITIALIZER;
static struct link links[LINK_LIMIT];
static int link_count;
static int group_socket4 = -1, group_socket6 = -1;

// The same link with the same addresses: one whose addresses changed is
// left and joined again, and greeted with the new ones.
static int same_link(const struct link *a, const struct link *b)
{
    return a->family == b->family && a->ifindex == b->ifindex &&
           (a->family == AF_INET ? a->count == b->count &&
                                       memcmp(a->addr, b->addr, sizeof a->addr[0] * (size_t)a->count) == 0
                                 : memcmp(&a->addr6, &b->addr6, sizeof a->addr6) == 0);
}

static int has_link(const struct link *set, int count, const struct link *l)
{
    for (int i = 0; i < count; i++)
        if (same_link(&set[i], l))
            return 1;
    return 0;
}

// Whether the interface can be a link: up and multicast-capable, one the
// configuration uses; loopback only on the pass that looks for nothing
// else.
static int usable(unsigned flags, int loopback, int ifindex)
{
    return ifindex > 0 && (flags & IFF_UP) && !(flags & IFF_LOOPBACK) == !loopback &&
           (loopback || (flags & IFF_MULTICAST)) && wsd_link_used(ifindex);
}

int link_local4(struct in_addr a)
{
    return (ntohl(a.s_addr) & 0xffff0000u) == 0xa9fe0000u;  // 169.254/16
}

// An IPv4 address of the link *l: its first, or one more; a link-local
// one only while the link has no other.
static void add_ipv4(struct link *l, const struct ifaddrs *i)
{
    struct in_addr a = ((const struct sockaddr_in *)i->ifa_addr)->sin_addr;
    unsigned mask = i->ifa_netmask ? ntohl(((const struct sockaddr_in *)i->ifa_netmask)->sin_addr.s_addr) : ~0u;
    if (l->count > 0 && link_local4(a))
        return;
    if (l->count == 1 && link_local4(l->addr[0]))
        l->count = 0;
    if (l->count == LINK_ADDRESSES)
        return;
    l->addr[l->count] = a;
    l->bits[l->count++] = (unsigned char)__builtin_popcount(mask);
}

static int scan_ipv4(struct ifaddrs *list, struct link *out, int room)
{
    int n = 0;
    for (int loopback = 0; loopback < 2 && n == 0; loopback++) {
        for (struct ifaddrs *i = list; i; i = i->ifa_next) {
            // An address's label ("eth0:1") names its device to the kernel.
            int ifindex = i->ifa_addr && i->ifa_addr->sa_family == AF_INET ? (int)if_nametoindex(i->ifa_name) : 0;
            if (!usable(i->ifa_flags, loopback, ifindex))
                continue;
            int at = 0;
            while (at < n && out[at].ifindex != ifindex)
                at++;
            if (at == n && n == room)
                continue;
            if (at == n) {
                memset(&out[n], 0, sizeof out[n]);
                out[n].family = AF_INET;
                out[n++].ifindex = ifindex;
            }
            add_ipv4(&out[at], i);
        }
    }
    return n;
}

static unsigned interface_flags(struct ifaddrs *list, const char *name)
{
    for (struct ifaddrs *i = list; i; i = i->ifa_next)
        if (strcmp(i->ifa_name, name) == 0)
            return i->ifa_flags;
    return 0;
}

// How good an IPv6 address is to name the link by: a global one before a
// deprecated one before a link-local one; 0 for one that cannot be used
// yet or at all (still being checked for duplicates, or found one).
static int address_rank(unsigned scope, unsigned flags)
{
    enum { DADFAILED = 0x08, DEPRECATED = 0x20, TENTATIVE = 0x40 };
    enum { SCOPE_GLOBAL = 0x00, SCOPE_HOST = 0x10, SCOPE_LINK = 0x20 };
    if (flags & (TENTATIVE | DADFAILED))
        return 0;
    if (scope == SCOPE_GLOBAL)
        return flags & DEPRECATED ? 3 : 4;
    return scope == SCOPE_LINK ? 2 : scope == SCOPE_HOST;
}

// The kernel's list of IPv6 addresses says what getifaddrs does not: each
// address's scope and whether it is usable yet. Read through the process's
// own directory: a service confined to its processes' part of /proc
// (systemd's ProcSubset=pid) has no /proc/net.
static int scan_ipv6(struct ifaddrs *list, struct link *out, int room)
{
    FILE *f = fopen("/proc/self/net/if_inet6", "re");
    int n = 0, rank[LINK_LIMIT];
    if (!f)
        return 0;
    for (int loopback = 0; loopback < 2 && n == 0; loopback++) {
        rewind(f);
        char hex[33], name[IF_NAMESIZE];
        unsigned ifindex, prefix, scope, flags;
        while (fscanf(f, "%32s %x %x %x %x %15s", hex, &ifindex, &prefix, &scope, &flags, name) == 6) {
            int r = address_rank(scope, flags), at = 0;
            if (r == 0 || !usable(interface_flags(list, name), loopback, (int)ifindex))
                continue;
            while (at < n && out[at].ifindex != (int)ifindex)
                at++;
            if (at == room || (at < n && rank[at] >= r))
                continue;
            struct link l;
            memset(&l, 0, sizeof l);
            l.family = AF_INET6;
            l.ifindex = (int)ifindex;
            l.count = 1;
            for (int b = 0; b < 16; b++)
                sscanf(hex + 2 * b, "%2hhx", &l.addr6.s6_addr[b]);
            out[at] = l;
            rank[at] = r;
            n += at == n;
        }
    }
    fclose(f);
    return n;
}

// The interface's MTU; 0 when the kernel does not say.
static int interface_mtu(int ifindex)
{
    struct ifreq req;
    memset(&req, 0, sizeof req);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int ok = sock >= 0 && if_indextoname((unsigned)ifindex, req.ifr_name) && ioctl(sock, SIOCGIFMTU, &req) == 0;
    if (sock >= 0)
        close(sock);
    return ok ? req.ifr_mtu : 0;
}

int link_scan(struct link *out)
{
    struct ifaddrs *list;
    if (getifaddrs(&list) != 0)
        return 0;
    int n = scan_ipv4(list, out, LINK_LIMIT / 2);
    n += scan_ipv6(list, out + n, LINK_LIMIT / 2);
    freeifaddrs(list);
    for (int i = 0; i < n; i++) {  // looked at once, not for each answer
        link_name_address(&out[i]);
        out[i].mtu = interface_mtu(out[i].ifindex);
    }
    return n;
}

size_t link_room(const struct link *l)
{
    int mtu = l->mtu > 0 ? l->mtu : interface_mtu(l->ifindex);
    size_t headers = l->family == AF_INET6 ? 40 + 8 : 20 + 8;
    if (mtu <= 0 || (size_t)mtu - headers >= WSD_MESSAGE_SIZE)
        return WSD_MESSAGE_SIZE - 1;
    return (size_t)mtu > headers ? (size_t)mtu - headers : 0;
}

int link_known(struct link *out)
{
    pthread_mutex_lock(&links_lock);
    int count = link_count;
    memcpy(out, links, sizeof links[0] * (size_t)count);
    pthread_mutex_unlock(&links_lock);
    return count;
}

int link_find(int family, int ifindex, struct link *out)
{
    int found = 0;
    pthread_mutex_lock(&links_lock);
    for (int i = 0; i < link_count && !found; i++)
        if (links[i].family == family && links[i].ifindex == ifindex) {
            *out = links[i];
            found = 1;
        }
    pthread_mutex_unlock(&links_lock);
    return found;
}

// The group on one link, for the socket of its family; a membership the
// socket has already (the one the daemon joined) is refused and stays.
static void membership(const struct link *l, int join)
{
    int sock = l->family == AF_INET ? group_socket4 : group_socket6;
    if (sock < 0)
        return;
    if (l->family == AF_INET) {
        struct ip_mreqn m;
        memset(&m, 0, sizeof m);
        m.imr_multiaddr.s_addr = inet_addr(DISCOVERY_GROUP);
        m.imr_address = l->addr[0];
        m.imr_ifindex = l->ifindex;
        setsockopt(sock, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m, sizeof m);
    } else {
        struct ipv6_mreq m;
        inet_pton(AF_INET6, DISCOVERY_GROUP6, &m.ipv6mr_multiaddr);
        m.ipv6mr_interface = (unsigned)l->ifindex;
        setsockopt(sock, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &m,
                   sizeof m);
    }
}

void link_attach(int family, int sock)
{
    pthread_mutex_lock(&links_lock);
    *(family == AF_INET ? &group_socket4 : &group_socket6) = sock;
    for (int i = 0; i < link_count; i++)
        if (links[i].family == family)
            membership(&links[i], 1);
    pthread_mutex_unlock(&links_lock);
}

int link_update(struct link *fresh, struct link *gone, int *gone_count)
{
    struct link now[LINK_LIMIT];
    int count = link_scan(now), fresh_count = 0;

    pthread_mutex_lock(&links_lock);
    if (gone)
        *gone_count = 0;
    for (int i = 0; i < link_count; i++)
        if (!has_link(now, count, &links[i])) {
            membership(&links[i], 0);
            if (gone)
                gone[(*gone_count)++] = links[i];
        }
    for (int i = 0; i < count; i++)
        if (!has_link(links, link_count, &now[i])) {
            membership(&now[i], 1);
            fresh[fresh_count++] = now[i];
        }
    memcpy(links, now, sizeof now[0] * (size_t)count);
    link_count = count;
    pthread_mutex_unlock(&links_lock);
    return fresh_count;
}

void link_name_address(struct link *l)
{
    char text[INET6_ADDRSTRLEN];
    int v6 = l->family == AF_INET6;
    inet_ntop(l->family, v6 ? (const void *)&l->addr6 : (const void *)&l->addr[0], text, sizeof text);
    snprintf(l->address, sizeof l->address, "%s%s%s", v6 ? "[" : "", text, v6 ? "]" : "");
    for (int k = 0; !v6 && k < l->count; k++)
        inet_ntop(AF_INET, &l->addr[k], l->names[k], sizeof l->names[k]);
}

// The index of the address of *l whose subnet holds `sender`; 0 when none
// does.
static int subnet_of(const struct link *l, const struct in_addr *sender)
{
    for (int k = 0; sender && k < l->count; k++)
        if (l->bits[k] && ((l->addr[k].s_addr ^ sender->s_addr) & htonl(~0u << (32 - l->bits[k]))) == 0)
            return k;
    return 0;
}

int link_xaddrs(const struct link *l, const struct in_addr *sender, char *out, size_t size)
{
    struct wsd_description d;
    wsd_describe(&d);
    out[0] = '\0';
    if (l->family != AF_INET || l->count < 2)
        return wsd_xaddrs(d.templates, l->address, out, size) > 0;
    // The address in the sender's subnet first, then the others in turn,
    // each while one message still has room for them.
    size_t room = wsd_xaddrs_room(&d), used = 0, n = 0;
    int first = subnet_of(l, sender), named = 0;
    for (int k = -1; k < l->count; k++) {
        if (k == first)
            continue;
        size_t at = n + (n > 0), len = wsd_xaddrs(d.templates, l->names[k < 0 ? first : k], out + at, size - at);
        size_t escaped = len + (n > 0) + wsd_escapes(out + at);
        if (len == 0 || (named > 0 && used + escaped > room))
            break;
        if (n > 0)
            out[n] = ' ';
        n = at + len;
        used += escaped;
        named++;
    }
    out[n] = '\0';
    return named;
}
