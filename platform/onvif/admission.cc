#include "admission.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "waits.h"
#include "wsd.h"

enum { ADDRESS_LIMIT = 128, SOURCE_CHAINS = 1024, RECENT_REQUESTS = 64 };

static const double duplicate_window_s = 5;  // a request repeated within it is dropped
static const double burst = ADMISSION_BURST, per_s = ADMISSION_PER_S;

// Addresses in the IPv6 form, IPv4 ones mapped (::ffff:a.b.c.d, 96 more
// prefix bits), so one comparison serves both families.
struct address {
    unsigned char at[16];
    int bits;  // the prefix
    int ifindex;
    int loopback;
};

// A sender's share: a token bucket, refilled at ADMISSION_PER_S up to
// ADMISSION_BURST. Kept in a hash table of chains, and in a list from the
// most recently seen to the least, whose last entry is taken for a new
// sender when all are in use. Links are entry numbers, -1 for none.
struct source {
    unsigned char at[16];
    double tokens, counted_s;
    int chain, newer, older;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct address addresses[ADDRESS_LIMIT];
static int address_count, refreshed;
static struct source sources[ADMISSION_SOURCES];
static int source_count, newest = -1, oldest = -1;
static int chains[SOURCE_CHAINS];
static struct {
    uint64_t key;
    double at;
} recent[RECENT_REQUESTS];
static unsigned recent_next;

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
    int n = 0;
    if (getifaddrs(&list) != 0)
        return;  // the last look stands
    for (struct ifaddrs *i = list; i && n < ADDRESS_LIMIT; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask ||
            (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
            continue;
        struct address *a = &fresh[n];
        mapped(a->at, i->ifa_addr);
        a->bits = prefix_bits(i->ifa_netmask);
        a->ifindex = (int)if_nametoindex(i->ifa_name);
        a->loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        n += a->ifindex > 0;
    }
    freeifaddrs(list);
    pthread_mutex_lock(&lock);
    memcpy(addresses, fresh, sizeof fresh[0] * (size_t)n);
    address_count = n;
    refreshed = 1;
    pthread_mutex_unlock(&lock);
}

static int same_prefix(const unsigned char *a, const unsigned char *b, int bits)
{
    int whole = bits / 8, rest = bits % 8;
    return memcmp(a, b, (size_t)whole) == 0 &&
           (rest == 0 || ((a[whole] ^ b[whole]) & (0xff << (8 - rest))) == 0);
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
            if (same_prefix(a->at, from, a->bits))
                return 1;
            via_loopback |= a->loopback;
        }
        own |= memcmp(a->at, from, 16) == 0;
    }
    return own && via_loopback;  // a program on the device itself
}

static unsigned chain_of(const unsigned char at[16])
{
    return (unsigned)(wsd_hash(WSD_HASH_START, (const char *)at, 16) % SOURCE_CHAINS);
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

// The sender's entry, made (or taken from the least recently seen) when it
// has none, with its tokens counted up to now. Under the lock.
static struct source *source_of(const unsigned char at[16], double now)
{
    static int chains_ready;
    if (!chains_ready) {
        memset(chains, -1, sizeof chains);
        chains_ready = 1;
    }
    unsigned c = chain_of(at);
    int i = chains[c];
    while (i >= 0 && memcmp(sources[i].at, at, 16) != 0)
        i = sources[i].chain;
    if (i < 0) {
        if (source_count < ADMISSION_SOURCES) {
            i = source_count++;
        } else {
            i = oldest;
            unlist(i);
            int *link = &chains[chain_of(sources[i].at)];
            while (*link != i)
                link = &sources[*link].chain;
            *link = sources[i].chain;
        }
        memcpy(sources[i].at, at, 16);
        sources[i].tokens = burst;
        sources[i].counted_s = now;
        sources[i].chain = chains[c];
        chains[c] = i;
        list_first(i);
    } else if (newest != i) {
        unlist(i);
        list_first(i);
    }
    struct source *s = &sources[i];
    s->tokens += (now - s->counted_s) * per_s;
    if (s->tokens > burst)
        s->tokens = burst;
    s->counted_s = now;
    return s;
}

int admission_check(const struct arrival *a)
{
    if (!wsd_discoverable())
        return 0;  // not to be found: nothing is answered
    unsigned char from[16];
    mapped(from, (const struct sockaddr *)&a->from);
    if (!__atomic_load_n(&refreshed, __ATOMIC_ACQUIRE))
        admission_refresh();  // a request before the hello loop's first look
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    int ok = a->ifindex > 0 && on_link(from, a->ifindex) && source_of(from, now)->tokens >= 1;
    pthread_mutex_unlock(&lock);
    return ok;
}

int admission_take(const struct arrival *a, const char *message_id)
{
    unsigned char from[16];
    mapped(from, (const struct sockaddr *)&a->from);
    uint16_t port = a->from.ss_family == AF_INET ? ((const struct sockaddr_in *)&a->from)->sin_port
                                                 : ((const struct sockaddr_in6 *)&a->from)->sin6_port;
    uint64_t key = wsd_hash(wsd_hash(WSD_HASH_START, (const char *)from, 16), (const char *)&port,
                            sizeof port);
    key = wsd_hash(key, message_id, strlen(message_id));
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    int repeat = 0;
    for (unsigned i = 0; i < RECENT_REQUESTS && !repeat; i++)
        repeat = recent[i].key == key && recent[i].at != 0 && now - recent[i].at < duplicate_window_s;
    struct source *s = source_of(from, now);
    int ok = !repeat && s->tokens >= 1;
    if (ok) {
        s->tokens -= 1;
        recent[recent_next].key = key;
        recent[recent_next].at = now;
        recent_next = (recent_next + 1) % RECENT_REQUESTS;
    }
    pthread_mutex_unlock(&lock);
    return ok;
}
