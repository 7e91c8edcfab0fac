#include "admission.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "config.h"
#include "waits.h"
#include "wsd.h"

enum { ADDRESS_LIMIT = 128, SOURCE_CHAINS = 2048, GIVEN_SLOTS = 4096, GIVEN_PROBE = 8 };

static const double duplicate_window_s = 5;  // a request repeated within it is answered once

// Addresses in the IPv6 form, IPv4 ones mapped (::ffff:a.b.c.d, 96 more
// prefix bits), so one comparison serves both families.
struct address {
    struct wsd_prefix prefix;  // the address and its prefix length
    int ifindex;
    int loopback;
};

// A socket's or an address's shares: token buckets of answers and of
// datagrams read, refilled at their rates up to their bursts. Kept in a
// hash table of chains, and in a list from the most recently seen to the
// least, whose last entry is taken for a new one when all are in use.
// Links are entry numbers, -1 for none.
struct source {
    unsigned char at[16];
    uint16_t port;  // 0: the address's own shares
    float answers, reads;
    double counted_s;
    int chain, newer, older;
};

// The answers given lately, by sender and MessageID, for 5 s: enough of
// them for every answer a crowd can be given in that time.
struct given {
    uint64_t key;
    double at;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct address addresses[ADDRESS_LIMIT];
static int address_count, refreshed;
// The interfaces the configuration does not use, and the prefixes whose
// senders it allows from off the link.
static int unused[ADDRESS_LIMIT], unused_count;
static struct wsd_prefix allowed[WSD_CONFIG_PREFIXES];
static int allowed_count;
static struct source sources[ADMISSION_SOURCES];
static int source_count, newest = -1, oldest = -1;
static int chains[SOURCE_CHAINS];
static struct given given[GIVEN_SLOTS];

int admission_open(void)
{
    return wsd_discoverable();
}

static void mapped(unsigned char out[16], const struct sockaddr *sa)
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
    mapped(m, mask);
    int bits = 0;
    for (int i = mask->sa_family == AF_INET ? 12 : 0; i < 16; i++)
        bits += __builtin_popcount(m[i]);
    return bits + (mask->sa_family == AF_INET ? 96 : 0);
}

void admission_refresh(void)
{
    struct ifaddrs *list;
    struct address fresh[ADDRESS_LIMIT];
    int n = 0, off[ADDRESS_LIMIT], off_count = 0;
    struct wsd_prefix allow[WSD_CONFIG_PREFIXES];
    int allow_count = wsd_allowed(allow);
    if (getifaddrs(&list) != 0)
        return;  // the last look stands
    for (struct ifaddrs *i = list; i; i = i->ifa_next) {
        int ifindex = (int)if_nametoindex(i->ifa_name), known = 0;
        for (int k = 0; k < off_count; k++)
            known |= off[k] == ifindex;
        if (ifindex > 0 && !known && off_count < ADDRESS_LIMIT && !wsd_interface_used(i->ifa_name))
            off[off_count++] = ifindex;
        if (!i->ifa_addr || !i->ifa_netmask || n == ADDRESS_LIMIT ||
            (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
            continue;
        struct address *a = &fresh[n];
        mapped(a->prefix.at, i->ifa_addr);
        a->prefix.bits = prefix_bits(i->ifa_netmask);
        a->ifindex = ifindex;
        a->loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        n += a->ifindex > 0;
    }
    freeifaddrs(list);
    pthread_mutex_lock(&lock);
    memcpy(addresses, fresh, sizeof fresh[0] * (size_t)n);
    address_count = n;
    memcpy(unused, off, sizeof off[0] * (size_t)off_count);
    unused_count = off_count;
    memcpy(allowed, allow, sizeof allow[0] * (size_t)allow_count);
    allowed_count = allow_count;
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

// Whether a request from `from` that arrived on `ifindex` may be answered:
// on a link the configuration uses, from a sender on that link or in a
// prefix it allows. Under the lock.
static int admitted(const unsigned char from[16], int ifindex)
{
    for (int i = 0; i < unused_count; i++)
        if (unused[i] == ifindex)
            return 0;
    if (on_link(from, ifindex))
        return 1;
    for (int i = 0; i < allowed_count; i++)
        if (wsd_prefix_holds(&allowed[i], from))
            return 1;
    return 0;
}

static unsigned chain_of(const unsigned char at[16], uint16_t port)
{
    uint64_t h = wsd_hash(WSD_HASH_START, (const char *)at, 16);
    return (unsigned)(wsd_hash(h, (const char *)&port, sizeof port) % SOURCE_CHAINS);
}

static void unlist(int i)
{
    struct source *s = &sources[i];
    *(s->newer >= 0 ? &sources[s->newer].older : &newest) = s->older;
    *(s->older >= 0 ? &sources[s->older].newer : &oldest) = s->newer;
}

static void list_first(int i)
{
    sources[i].newer = -1;
    sources[i].older = newest;
    *(newest >= 0 ? &sources[newest].newer : &oldest) = i;
    newest = i;
}

// The shares of one socket (or, for port 0, of one address) counted up
// to `now`, at their rates up to their bursts.
static void refill(struct source *s, double now)
{
    double burst = s->port ? ADMISSION_BURST : ADMISSION_ADDRESS_BURST;
    double rate = s->port ? ADMISSION_PER_S : ADMISSION_ADDRESS_PER_S;
    double read_factor = ADMISSION_READ_FACTOR, elapsed = now - s->counted_s;
    double answers = s->answers + elapsed * rate, reads = s->reads + elapsed * rate * read_factor;
    s->answers = (float)(answers > burst ? burst : answers);
    s->reads = (float)(reads > burst * read_factor ? burst * read_factor : reads);
    s->counted_s = now;
}

// The entry of a socket (or an address, port 0), made (or taken from the
// least recently seen) when it has none, its shares counted up to now.
// Under the lock.
static struct source *source_of(const unsigned char at[16], uint16_t port, double now)
{
    static int chains_ready;
    if (!chains_ready) {
        memset(chains, -1, sizeof chains);
        chains_ready = 1;
    }
    unsigned c = chain_of(at, port);
    int i = chains[c];
    while (i >= 0 && (sources[i].port != port || memcmp(sources[i].at, at, 16) != 0))
        i = sources[i].chain;
    if (i < 0) {
        if (source_count < ADMISSION_SOURCES) {
            i = source_count++;
        } else {
            i = oldest;
            unlist(i);
            int *link = &chains[chain_of(sources[i].at, sources[i].port)];
            while (*link != i)
                link = &sources[*link].chain;
            *link = sources[i].chain;
        }
        struct source *s = &sources[i];
        memcpy(s->at, at, 16);
        s->port = port;
        s->answers = port ? ADMISSION_BURST : ADMISSION_ADDRESS_BURST;
        s->reads = s->answers * (float)ADMISSION_READ_FACTOR;
        s->counted_s = now;
        s->chain = chains[c];
        chains[c] = i;
        list_first(i);
    } else if (newest != i) {
        unlist(i);
        list_first(i);
    }
    refill(&sources[i], now);
    return &sources[i];
}

// The sender of *a: its address (mapped) and port.
static uint16_t sender_of(const struct arrival *a, unsigned char from[16])
{
    mapped(from, (const struct sockaddr *)&a->from);
    return a->from.ss_family == AF_INET ? ((const struct sockaddr_in *)&a->from)->sin_port
                                        : ((const struct sockaddr_in6 *)&a->from)->sin6_port;
}

int admission_check(const struct arrival *a)
{
    if (!admission_open())
        return 0;  // not to be found: nothing is answered
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    if (!__atomic_load_n(&refreshed, __ATOMIC_ACQUIRE))
        admission_refresh();  // a request before the hello loop's first look
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    int ok = a->ifindex > 0 && port != 0 && admitted(from, a->ifindex);
    struct source *socket = ok ? source_of(from, port, now) : NULL;
    ok = ok && socket->answers >= 1 && socket->reads >= 1;
    struct source *address = ok ? source_of(from, 0, now) : NULL;
    ok = ok && address->answers >= 1 && address->reads >= 1;
    if (ok) {
        socket->reads -= 1;
        address->reads -= 1;
    }
    pthread_mutex_unlock(&lock);
    return ok;
}

static uint64_t given_key(const unsigned char from[16], uint16_t port, const char *message_id)
{
    uint64_t key = wsd_hash(wsd_hash(WSD_HASH_START, (const char *)from, 16), (const char *)&port,
                            sizeof port);
    return wsd_hash(key, message_id, strlen(message_id)) | 1;  // 0 marks a free slot
}

// The slot of `key` among those given lately, or the one to take for it
// (a free or out-of-date one of its neighbourhood, else the oldest).
// Under the lock.
static struct given *given_slot(uint64_t key, double now, int *found)
{
    struct given *take = NULL;
    double oldest_age = -1;
    for (unsigned k = 0; k < GIVEN_PROBE; k++) {
        struct given *g = &given[(key + k) % GIVEN_SLOTS];
        int fresh = g->key != 0 && now - g->at < duplicate_window_s;
        if (fresh && g->key == key) {
            *found = 1;
            return g;
        }
        double age = fresh ? now - g->at : duplicate_window_s;
        if (age > oldest_age) {
            oldest_age = age;
            take = g;
        }
    }
    *found = 0;
    return take;
}

int admission_take(const struct arrival *a, const char *message_id)
{
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    uint64_t key = given_key(from, port, message_id);
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    int repeat;
    given_slot(key, now, &repeat);
    struct source *socket = source_of(from, port, now), *address = source_of(from, 0, now);
    int ok = !repeat && socket->answers >= 1 && address->answers >= 1;
    if (ok) {
        socket->answers -= 1;
        address->answers -= 1;
    }
    pthread_mutex_unlock(&lock);
    return ok;
}

void admission_untake(const struct arrival *a)
{
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    source_of(from, port, now)->answers += 1;  // above its burst for a moment at most
    source_of(from, 0, now)->answers += 1;
    pthread_mutex_unlock(&lock);
}

void admission_given(const struct arrival *a, const char *message_id)
{
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    uint64_t key = given_key(from, port, message_id);
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    int found;
    struct given *g = given_slot(key, now, &found);
    g->key = key;
    g->at = now;
    pthread_mutex_unlock(&lock);
}
