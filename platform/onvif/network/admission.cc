#include "admission.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "describe/description.h"
#include "describe/identity.h"
#include "on_link.h"
#include "waits.h"
#include "wsd.h"

enum { SOURCE_CHAINS = 2048, GIVEN_SLOTS = 4096, GIVEN_PROBE = 8 };

static const double duplicate_window_s = 5;  // a request repeated within it is answered once

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
static struct source sources[ADMISSION_SOURCES];
static int source_count, newest = -1, oldest = -1;
static int chains[SOURCE_CHAINS];
static struct given given[GIVEN_SLOTS];

int admission_open(void)
{
    return wsd_discoverable();
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
    on_link_mapped(from, (const struct sockaddr *)&a->from);
    return a->from.ss_family == AF_INET ? ((const struct sockaddr_in *)&a->from)->sin_port
                                        : ((const struct sockaddr_in6 *)&a->from)->sin6_port;
}

enum counter admission_answerable(const struct arrival *a)
{
    if (!admission_open())
        return COUNT_HIDDEN;  // not to be found: nothing is answered
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    int admits = a->ifindex > 0 ? on_link_admits(from, a->ifindex) : -1;
    return admits < 0 ? COUNT_EXCLUDED : admits == 0 || port == 0 ? COUNT_NOT_ON_LINK : ADMITTED;
}

enum counter admission_check(const struct arrival *a)
{
    enum counter why = admission_answerable(a);
    if (why != ADMITTED)
        return why;
    unsigned char from[16];
    uint16_t port = sender_of(a, from);
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    struct source *socket = source_of(from, port, now), *address = NULL;
    if (socket->answers < 1 || socket->reads < 1)
        why = COUNT_SOCKET_SHARE;
    else if ((address = source_of(from, 0, now))->answers < 1 || address->reads < 1)
        why = COUNT_ADDRESS_SHARE;
    if (why == ADMITTED) {
        socket->reads -= 1;
        address->reads -= 1;
    }
    pthread_mutex_unlock(&lock);
    return why;
}

// The request `message_id` of the sender of *a (its address and port, into
// `from` and *port) as the answers given are kept: a key, never 0.
static uint64_t given_key(const struct arrival *a, const char *message_id, unsigned char from[16],
                          uint16_t *port)
{
    *port = sender_of(a, from);
    uint64_t key = wsd_hash(wsd_hash(WSD_HASH_START, (const char *)from, 16), (const char *)port,
                            sizeof *port);
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

enum counter admission_take(const struct arrival *a, const char *message_id)
{
    unsigned char from[16];
    uint16_t port;
    uint64_t key = given_key(a, message_id, from, &port);
    double now = monotonic_s();
    int repeat;
    pthread_mutex_lock(&lock);
    given_slot(key, now, &repeat);
    struct source *socket = source_of(from, port, now), *address = source_of(from, 0, now);
    enum counter why = repeat ? COUNT_REPEAT : socket->answers < 1 ? COUNT_SOCKET_SHARE
                     : address->answers < 1 ? COUNT_ADDRESS_SHARE : ADMITTED;
    if (why == ADMITTED) {
        socket->answers -= 1;
        address->answers -= 1;
    }
    pthread_mutex_unlock(&lock);
    return why;
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
    uint16_t port;
    uint64_t key = given_key(a, message_id, from, &port);
    double now = monotonic_s();
    int found;
    pthread_mutex_lock(&lock);
    struct given *g = given_slot(key, now, &found);
    g->key = key;
    g->at = now;
    pthread_mutex_unlock(&lock);
}
