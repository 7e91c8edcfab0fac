// Who is on the link a datagram arrived on: the device's addresses and
// their prefixes on each interface, and the interfaces the configuration
// uses, as last looked at; the prefixes it allows from off the link are
// the description's (wsd_allows).

#include "on_link.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string.h>

#include "config/config.h"
#include "describe/description.h"
#include "wsd.h"

// Past either table's size the rest is left out: an address left out
// admits nobody, an interface left out is not used (fail closed).
enum { ADDRESS_LIMIT = 128, USED_LIMIT = 256 };

// Addresses in the IPv6 form, IPv4 ones mapped (::ffff:a.b.c.d, 96 more
// prefix bits), so one comparison serves both families.
struct address {
    struct wsd_prefix prefix;  // the address and its prefix length
    int ifindex;
    int loopback;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct address addresses[ADDRESS_LIMIT];
static int address_count, refreshed;
// The interfaces the configuration uses (wsd_link_used), as last looked at.
static int used[USED_LIMIT], used_count;

void on_link_mapped(unsigned char out[16], const struct sockaddr *sa)
{
    memset(out, 0, 16);
    if (sa->sa_family == AF_INET) {
        out[10] = out[11] = 0xff;
        memcpy(out + 12, &((const struct sockaddr_in *)sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        memcpy(out, &((const struct sockaddr_in6 *)sa)->sin6_addr, 16);
    }
}

static int prefix_bits(const struct sockaddr *mask)
{
    unsigned char m[16];
    on_link_mapped(m, mask);
    int bits = 0;
    for (int i = mask->sa_family == AF_INET ? 12 : 0; i < 16; i++)
        bits += __builtin_popcount(m[i]);
    return bits + (mask->sa_family == AF_INET ? 96 : 0);
}

void on_link_refresh(void)
{
    struct ifaddrs *list;
    struct address fresh[ADDRESS_LIMIT];
    int n = 0, in_use[USED_LIMIT], in_use_count = 0, seen[USED_LIMIT], seen_count = 0;
    if (getifaddrs(&list) != 0)
        return;  // the last look stands
    for (struct ifaddrs *i = list; i; i = i->ifa_next) {
        // An address's label ("eth0:1") names its device to the kernel.
        int ifindex = (int)if_nametoindex(i->ifa_name), known = 0;
        for (int k = 0; k < seen_count; k++)
            known |= seen[k] == ifindex;
        if (ifindex > 0 && !known && seen_count < USED_LIMIT) {
            seen[seen_count++] = ifindex;
            if (wsd_link_used(ifindex))
                in_use[in_use_count++] = ifindex;
        }
        if (!i->ifa_addr || !i->ifa_netmask || n == ADDRESS_LIMIT ||
            (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
            continue;
        struct address *a = &fresh[n];
        on_link_mapped(a->prefix.at, i->ifa_addr);
        a->prefix.bits = prefix_bits(i->ifa_netmask);
        a->ifindex = ifindex;
        a->loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        n += a->ifindex > 0;
    }
    freeifaddrs(list);
    pthread_mutex_lock(&lock);
    memcpy(addresses, fresh, sizeof fresh[0] * (size_t)n);
    address_count = n;
    memcpy(used, in_use, sizeof in_use[0] * (size_t)in_use_count);
    used_count = in_use_count;
    refreshed = 1;
    pthread_mutex_unlock(&lock);
}

// Under the lock.
static int on_link(const unsigned char from[16], int ifindex)
{
    if (from[0] == 0xfe && (from[1] & 0xc0) == 0x80)
        return 1;  // IPv6 link-local: never forwarded by a router
    int own = 0, via_loopback = 0;
    for (int i = 0; i < address_count; i++) {
        const struct address *a = &addresses[i];
        if (a->ifindex == ifindex) {
            if (wsd_prefix_holds(&a->prefix, from))
                return 1;
            via_loopback |= a->loopback;
        }
        own |= memcmp(a->prefix.at, from, 16) == 0;
    }
    return own && via_loopback;  // a program on the device itself
}

// Under the lock: -1 when the interface is not one in use, 1 when the
// sender is on it, 0 when it is not (the configuration may allow it).
static int admitted(const unsigned char from[16], int ifindex)
{
    int in_use = 0;
    for (int i = 0; i < used_count && !in_use; i++)
        in_use = used[i] == ifindex;
    return !in_use ? -1 : on_link(from, ifindex) ? 1 : 0;
}

int on_link_own(const unsigned char from[16])
{
    pthread_mutex_lock(&lock);
    int own = 0;
    for (int i = 0; i < address_count && !own; i++)
        own = memcmp(addresses[i].prefix.at, from, 16) == 0;
    pthread_mutex_unlock(&lock);
    return own;
}

int on_link_admits(const unsigned char from[16], int ifindex)
{
    if (!__atomic_load_n(&refreshed, __ATOMIC_ACQUIRE))
        on_link_refresh();  // a request before the hello loop's first look
    pthread_mutex_lock(&lock);
    int ok = admitted(from, ifindex);
    pthread_mutex_unlock(&lock);
    return ok == 0 ? wsd_allows(from) : ok;
}
