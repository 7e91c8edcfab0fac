// Stand-in for the discovery library: a WS-Discovery target service that
// announces the device with Hello and Bye on each of its links, IPv4 and
// IPv6, and answers Probes and Resolves with one match each, sent back to
// the sender and naming the address of the link the request came in on.
// Requests sent to a group are answered after a random delay, those sent
// to the device's own address at once; only senders on the link get
// answers (admission.h). The description files are watched: what is
// written there is in force within a moment, as on SIGHUP (which re-reads
// both files and always greets). No socket fault makes a loop spin: each is
// cleared or the socket reopened, and a fault that keeps coming back is
// handled less and less often (waits.h).

#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/config.h"
#include "config/config_watch.h"
#include "describe/description.h"
#include "directed.h"
#include "log.h"
#include "network/admission.h"
#include "network/counters.h"
#include "network/datagram.h"
#include "network/links.h"
#include "network/on_link.h"
#include "onvif.h"
#include "pending.h"
#include "responder.h"
#include "status.h"
#include "waits.h"
#include "wsd.h"

#define EXPORTED __attribute__((visibility("default")))

static const int hello_check_ms = 1000;  // how often the hello loop looks at server_hello
static const int settle_ms = 20;         // the run-time file read once quiet this long
static const int settle_max_ms = 60;     // and at the latest this long after its first change
static const int server_wait_steps = 100;   // the first Hello waits at most 100 x 10 ms
static const int server_wait_step_us = 10000;
static const double summary_s = 60;         // refusals summarised in the log this often

enum { BATCHES = 8 };  // read at most this many batches from the group per wake-up

// The hello loop's sockets: the daemon's for IPv4, its own for IPv6.
struct hello_sockets {
    int v4, v6;
};

// Says when a link's Hello names fewer of its addresses than it has (the
// rest do not fit one message), once for each such change.
static void tell_cut(const struct link *l, int named)
{
    static int told_ifindex, told_named, told_count;
    if (named >= l->count || (told_ifindex == l->ifindex && told_named == named && told_count == l->count))
        return;
    char name[IF_NAMESIZE] = "?";
    if_indextoname((unsigned)l->ifindex, name);
    wsd_log(LOG_WARNING, "%s: the XAddrs name %d of its %d addresses: more do not fit one message", name, named,
           l->count);
    told_ifindex = l->ifindex, told_named = named, told_count = l->count;
}

// Hello or Bye on one link, from the socket of its family; a Hello names
// the link's own addresses: those are the ones its clients can reach. A
// Bye is for the description `said` (NULL: the one now). The Bye of the
// stop is the `last_word`: it goes out after the silence.
static void announce_on(const struct hello_sockets *s, const struct link *l, enum wsd_kind kind,
                        int last_word, const struct wsd_description *said)
{
    char xaddrs[WSD_XADDRS_SIZE] = "", message[WSD_MESSAGE_SIZE];
    if (kind == WSD_HELLO)
        tell_cut(l, link_xaddrs(l, NULL, xaddrs, sizeof xaddrs));
    size_t len = responder_fit(message, l, kind, NULL, 0, kind == WSD_HELLO ? xaddrs : NULL, said);
    int sock = l->family == AF_INET ? s->v4 : s->v6;
    errno = 0;
    if (!len)
        counters_add(l->family, l->ifindex, COUNT_TOO_LONG);
    else if (sock >= 0 && datagram_multicast(sock, l, message, len, last_word))
        counters_add(l->family, l->ifindex, kind == WSD_HELLO ? COUNT_HELLO : COUNT_BYE);
    else
        counters_send_failed(l->family, l->ifindex, errno);
}

// Takes a fresh look at the links; with `greet`, each new one gets a Hello.
static void update_links(const struct hello_sockets *s, int greet)
{
    struct link fresh[LINK_LIMIT];
    int count = link_update(fresh, NULL, NULL);
    on_link_refresh();
    status_changed();
    for (int i = 0; greet && admission_open() && i < count; i++)
        announce_on(s, &fresh[i], WSD_HELLO, 0, NULL);
}

static void announce(const struct hello_sockets *s, enum wsd_kind kind)
{
    struct link now[LINK_LIMIT];
    int count = link_known(now);
    for (int i = 0; i < count; i++)
        announce_on(s, &now[i], kind, 0, NULL);
}

static int among(const struct link *set, int count, const struct link *l)
{
    for (int i = 0; i < count; i++)
        if (set[i].family == l->family && set[i].ifindex == l->ifindex)
            return 1;
    return 0;
}

// The configuration read again, and the device announced as it says now.
// Where it was heard and no longer will be, a Bye as it was: on the links
// no longer to be used, and on all when it is hidden now or has another
// endpoint. Where it is heard now, a Hello: on every link when its
// description, mode or endpoint changed, or always on SIGHUP (`always`);
// else on the links newly to be used.
static void reload(const struct hello_sockets *s, int always)
{
    struct wsd_description before, after;
    wsd_describe(&before);
    int was = admission_open(), changed = wsd_reload() || always;
    struct link fresh[LINK_LIMIT], gone[LINK_LIMIT], now[LINK_LIMIT];
    int gone_count, fresh_count = link_update(fresh, gone, &gone_count);
    on_link_refresh();
    status_changed();
    pending_settle();  // no answer held from before leaves after the Byes below
    int count = link_known(now), is = admission_open();
    wsd_describe(&after);
    int farewell = was && (!is || strcmp(before.endpoint, after.endpoint) != 0);
    for (int i = 0; was && i < gone_count; i++)
        announce_on(s, &gone[i], WSD_BYE, 0, &before);
    for (int i = 0; i < count; i++) {
        int added = among(fresh, fresh_count, &now[i]);
        if (farewell && !added)
            announce_on(s, &now[i], WSD_BYE, 0, &before);
        if (is && (changed || added))
            announce_on(s, &now[i], WSD_HELLO, 0, NULL);
    }
}

// The run-time file is read once it has settled: a writer's steps (a
// rewrite in place, then a rename, or several writes within a moment)
// give one reading, within settle_max_ms of the first.
struct settling {
    double first_s, due_s;  // 0: nothing changed
};

static void file_changed(struct settling *c)
{
    double now = monotonic_s();
    if (c->first_s == 0)
        c->first_s = now;
    c->due_s = now + settle_ms / 1000.0;
    if (c->due_s > c->first_s + settle_max_ms / 1000.0)
        c->due_s = c->first_s + settle_max_ms / 1000.0;
}

// How long the hello loop may wait: till the file has settled, else till
// its next look at server_hello (and at the watches).
static int wait_ms(const struct settling *c)
{
    if (c->due_s == 0)
        return hello_check_ms;
    double ms = (c->due_s - monotonic_s()) * 1000;
    return ms <= 0 ? 0 : (int)ms + 1;
}

// Whether the files are to be read: a change the watch saw, or, once a
// second whatever else the loop is doing, a watch put back in place.
static int files_changed(int config, int readable, double *next_tend_s)
{
    int changed = readable && config_watch_changed(config);
    double now = monotonic_s();
    if (now >= *next_tend_s) {
        *next_tend_s = now + hello_check_ms / 1000.0;
        changed |= config_watch_tend(config);
    }
    return changed;
}

// The watch polled a fault: messages were lost (the kernel's queue ran
// over) or the socket is gone. A new watch if need be, and a fresh look at
// the links covers what was missed.
static int mend_watch(const struct hello_sockets *s, int watch, short revents, struct backoff *b)
{
    backoff_after_fault(b);
    watch = link_watch_mend(watch, revents);
    update_links(s, 1);
    return watch;
}

// The first Hello says the device is there to be probed: it waits until
// the probe loop has its socket, but not for ever.
static void wait_for_server_socket(void)
{
    for (int i = 0; i < server_wait_steps && __atomic_load_n(&server_udp, __ATOMIC_ACQUIRE) < 0;
         i++)
        cancellable_sleep_us(server_wait_step_us);
}

// The port a hello socket sends from, bound now (the kernel would at its
// first send): what comes back from it is the device's own, not heard.
static void own_port(int sock, int family)
{
    struct sockaddr_storage local;
    socklen_t len = sizeof local;
    memset(&local, 0, sizeof local);
    local.ss_family = (sa_family_t)family;
    bind(sock, (struct sockaddr *)&local, family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6));
    if (getsockname(sock, (struct sockaddr *)&local, &len) == 0)
        counters_own_port(family, ntohs(family == AF_INET ? ((struct sockaddr_in *)&local)->sin_port
                                                          : ((struct sockaddr_in6 *)&local)->sin6_port));
}

// Once a minute: the refusals summarised in the log.
static void summarise(double *next_s)
{
    if (monotonic_s() < *next_s)
        return;
    *next_s = monotonic_s() + summary_s;
    counters_summarise();
}

EXPORTED void udp_hello(int sock)
{
    cancel_only_in_waits();
    struct hello_sockets s = { sock >= 0 ? sock : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP),
                               socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP) };
    own_port(s.v4, AF_INET);
    own_port(s.v6, AF_INET6);
    double next_summary_s = monotonic_s() + summary_s;
    struct backoff faults = { 0, 0 };
    // Watched before the first look, so no change falls between the two.
    // The loop ends only by cancellation, with the process.
    static const char *const files[] = { WSD_RUNTIME_CONFIG_FILE, WSD_CONFIG_FILE };
    int config = config_watch_open(files, 2);
    double next_tend_s = 0;
    wait_for_server_socket();
    int watch = link_watch_open();
    struct settling settling = { 0, 0 };
    update_links(&s, 0);
    if (admission_open())
        announce(&s, WSD_HELLO);
    for (;;) {
        struct pollfd pfd[2] = { { watch, POLLIN, 0 }, { config, POLLIN, 0 } };
        int n = cancellable_poll(pfd, 2, wait_ms(&settling));
        if (n > 0 && (pfd[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            watch = mend_watch(&s, watch, pfd[0].revents, &faults);
        else if (n > 0 && (pfd[0].revents & POLLIN) && link_watch_drain(watch))
            update_links(&s, 1);
        if (files_changed(config, n > 0 && (pfd[1].revents & POLLIN), &next_tend_s))
            file_changed(&settling);
        if (settling.due_s != 0 && monotonic_s() >= settling.due_s) {
            settling.first_s = settling.due_s = 0;
            reload(&s, 0);
        }
        if (__atomic_exchange_n(&server_hello, 0, __ATOMIC_ACQ_REL))
            reload(&s, 1);
        summarise(&next_summary_s);
        status_tend();
    }
}

// No message follows the Bye: those held back are dropped, the directed
// requests' thread ends, and nothing is sent from now on (a Hello on its
// way is out first). Then a Bye on every link the device has now, unless
// it is not discoverable (its Bye was said when it stopped being so).
EXPORTED void ByeHandler(int)
{
    pending_drop_all();
    directed_stop();
    datagram_silence();
    if (!admission_open())
        return;
    struct link now[LINK_LIMIT];
    int count = link_scan(now);
    struct hello_sockets s = { socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP),
                               socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP) };
    for (int i = 0; i < count; i++)
        announce_on(&s, &now[i], WSD_BYE, 1, NULL);
    if (s.v4 >= 0)
        close(s.v4);
    if (s.v6 >= 0)
        close(s.v6);
}

// Reads the datagrams waiting on the IPv4 group's socket, a few batches at
// most, and holds their answers: a flood is drained faster than it comes, and
// one from a sender that gets no answer costs its read and a lookup.
// Returns 0 when the socket is fine, -1 when it failed.
static int serve_batch(int sock)
{
    static struct datagram_batch b;
    for (int k = 0; k < BATCHES; k++) {
        int n = datagram_receive(sock, &b, MSG_DONTWAIT);
        for (int i = 0; i < n; i++) {
            struct answer owed;
            const struct arrival *a = &b.arrival[i];
            if (a->family == AF_INET && responder_admit(a, b.len[i]) && responder_read(b.data[i], b.len[i], a, &owed))
                pending_add(VIA_GROUP, a, &owed, 0);
        }
        if (n < DATAGRAM_BATCH)
            return n < 0 ? -1 : 0;
    }
    return 0;
}

// The daemon's server socket, told to say where each datagram arrived and
// joined to the group on every link known so far (the hello loop adds the
// ones that come later). The one it replaces is closed by open_server:
// until the new one is in place no membership change and no answer goes
// to that number.
static int open_group_socket(int (*open_server)(void))
{
    link_attach(AF_INET, -1);
    datagram_use(VIA_GROUP, -1);
    int sock = open_server();
    datagram_report_arrival(sock, AF_INET);
    link_attach(AF_INET, sock);
    datagram_use(VIA_GROUP, sock);
    return sock;
}

EXPORTED void udp_probe(int (*open_server)(void))
{
    cancel_only_in_waits();
    int sock = open_group_socket(open_server);
    struct backoff faults = { 0, 0 };
    directed_start();
    for (;;) {
        // An idle responder does not wake up: no timeout while nothing is held.
        struct pollfd pfd[2] = { { sock, POLLIN, 0 }, { pending_wake_fd(), POLLIN, 0 } };
        int n = cancellable_poll(pfd, 2, pending_next_ms());
        if (n < 0 && errno == EINTR)
            continue;
        // A pending error (POLLERR, as from a socket destroyed from outside
        // or an ICMP error) is cleared and the socket kept with its queue;
        // one closed or shut (POLLNVAL, POLLHUP), one that failed to read or
        // lost its binding, is opened anew.
        short r = n < 0 ? POLLNVAL : pfd[0].revents;
        int faulty = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (faulty)
            backoff_after_fault(&faults);
        int keep = !(r & (POLLHUP | POLLNVAL));
        if (keep && (r & POLLIN))
            keep = serve_batch(sock) == 0;
        if (keep && (r & POLLERR))
            keep = datagram_clear_error(sock, DISCOVERY_PORT);
        if (!keep) {
            if (!faulty)
                backoff_after_fault(&faults);
            sock = open_group_socket(open_server);
        }
        if (pfd[1].revents & POLLIN)
            pending_woken();
        pending_send_due();
    }
}
