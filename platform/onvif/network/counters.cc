#include "counters.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <string.h>

#include "log.h"
#include "on_link.h"
#include "waits.h"

const char *const counter_names[COUNTERS] = {
    "probes_to_group", "probes_directed", "resolves_to_group", "resolves_directed", "answered",
    "not_on_link", "link_excluded", "not_discoverable", "socket_share_spent", "address_share_spent",
    "repeat", "matched_nothing", "malformed", "too_large", "queue_full", "withdrawn", "send_failed",
    "answer_too_long", "other_messages", "hellos", "byes", "messages_cut",
};

int counter_refusal(enum counter c)
{
    return c >= COUNT_NOT_ON_LINK && c <= COUNT_TOO_LONG;
}

enum { LINKS_COUNTED = 64 };

struct counted {
    struct link_counts counts;
    unsigned long summarised[COUNTERS];  // what the last summary said
    unsigned char last_from[COUNTERS][16];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct counted links[LINKS_COUNTED];
static int link_count;
static struct requester requesters[REQUESTERS_KEPT];
static int requester_next, requester_count;
static uint16_t own_ports[2];
static unsigned long generation;

// The entry of a link, made when it has none (the last one stands for
// any beyond the table). Under the lock.
static struct counted *entry(int family, int ifindex)
{
    for (int i = 0; i < link_count; i++)
        if (links[i].counts.family == family && links[i].counts.ifindex == ifindex)
            return &links[i];
    if (link_count == LINKS_COUNTED)
        return &links[LINKS_COUNTED - 1];
    struct counted *c = &links[link_count++];
    memset(c, 0, sizeof *c);
    c->counts.family = family;
    c->counts.ifindex = ifindex;
    return c;
}

void counters_add(int family, int ifindex, enum counter c)
{
    pthread_mutex_lock(&lock);
    entry(family, ifindex)->counts.count[c]++;
    generation++;
    pthread_mutex_unlock(&lock);
}

void counters_outcome(const struct arrival *a, enum counter c)
{
    struct requester r;
    on_link_mapped(r.from, (const struct sockaddr *)&a->from);
    r.port = ntohs(a->from.ss_family == AF_INET ? ((const struct sockaddr_in *)&a->from)->sin_port
                                                : ((const struct sockaddr_in6 *)&a->from)->sin6_port);
    r.ifindex = a->ifindex;
    r.at_s = monotonic_s();
    r.outcome = c;
    pthread_mutex_lock(&lock);
    struct counted *e = entry(a->family, a->ifindex);
    e->counts.count[c]++;
    memcpy(e->last_from[c], r.from, 16);
    requesters[requester_next] = r;
    requester_next = (requester_next + 1) % REQUESTERS_KEPT;
    requester_count += requester_count < REQUESTERS_KEPT;
    generation++;
    pthread_mutex_unlock(&lock);
}

void counters_send_failed(int family, int ifindex, int error)
{
    pthread_mutex_lock(&lock);
    struct link_counts *c = &entry(family, ifindex)->counts;
    c->count[COUNT_SEND_FAILED]++;
    int k = 0;
    while (k < 3 && c->error_counts[k] && c->errors[k] != error)
        k++;
    c->errors[k] = error;  // the last slot stands for any other
    c->error_counts[k]++;
    generation++;
    pthread_mutex_unlock(&lock);
}

void counters_own_port(int family, uint16_t port)
{
    own_ports[family == AF_INET6] = port;
}

int counters_own(const struct arrival *a)
{
    uint16_t port = ntohs(a->from.ss_family == AF_INET ? ((const struct sockaddr_in *)&a->from)->sin_port
                                                       : ((const struct sockaddr_in6 *)&a->from)->sin6_port);
    unsigned char from[16];
    on_link_mapped(from, (const struct sockaddr *)&a->from);
    return (port == own_ports[0] || port == own_ports[1]) && on_link_own(from);
}

void counters_heard(const struct arrival *a)
{
    pthread_mutex_lock(&lock);
    entry(a->family, a->ifindex)->counts.heard_s = monotonic_s();
    generation++;
    pthread_mutex_unlock(&lock);
}

unsigned long counters_generation(void)
{
    pthread_mutex_lock(&lock);
    unsigned long g = generation;
    pthread_mutex_unlock(&lock);
    return g;
}

int counters_links(struct link_counts *out, int room)
{
    pthread_mutex_lock(&lock);
    int n = link_count < room ? link_count : room;
    for (int i = 0; i < n; i++)
        out[i] = links[i].counts;
    pthread_mutex_unlock(&lock);
    return n;
}

int counters_requesters(struct requester *out)
{
    pthread_mutex_lock(&lock);
    int n = requester_count;
    for (int i = 0; i < n; i++)
        out[i] = requesters[(requester_next - 1 - i + REQUESTERS_KEPT) % REQUESTERS_KEPT];
    pthread_mutex_unlock(&lock);
    return n;
}

void counters_summarise(void)
{
    struct line {
        int family, ifindex, reason;
        unsigned long count;
        unsigned char from[16];
    } lines[32];
    int n = 0;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < link_count; i++)
        for (int c = 0; c < COUNTERS; c++) {
            struct counted *e = &links[i];
            if (!counter_refusal((enum counter)c) || e->counts.count[c] == e->summarised[c] || n == 32)
                continue;
            lines[n++] = { e->counts.family, e->counts.ifindex, c, e->counts.count[c] - e->summarised[c], {} };
            memcpy(lines[n - 1].from, e->last_from[c], 16);
            e->summarised[c] = e->counts.count[c];
        }
    pthread_mutex_unlock(&lock);
    for (int i = 0; i < n; i++) {
        char name[IF_NAMESIZE] = "?", from[INET6_ADDRSTRLEN];
        if_indextoname((unsigned)lines[i].ifindex, name);
        int v4 = IN6_IS_ADDR_V4MAPPED((const struct in6_addr *)lines[i].from);
        inet_ntop(v4 ? AF_INET : AF_INET6, lines[i].from + (v4 ? 12 : 0), from, sizeof from);
        wsd_log(LOG_NOTICE, "%s: %s: %lu not answered in the last minute: %s (the last from %s)", name,
                lines[i].family == AF_INET ? "IPv4" : "IPv6", lines[i].count, counter_names[lines[i].reason],
                from);
    }
}
