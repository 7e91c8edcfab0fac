// Stand-in for the discovery library: a WS-Discovery target service that
// announces the device with Hello and Bye on each of its links, IPv4 and
// IPv6, and answers Probes and Resolves with one match each, sent back to
// the sender and naming the address of the link the request came in on.
// Requests sent to a group are answered after a random delay, those sent
// to the device's own address at once.

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "datagram.h"
#include "directed.h"
#include "links.h"
#include "onvif.h"
#include "pending.h"
#include "responder.h"
#include "waits.h"
#include "wsd.h"

#define EXPORTED __attribute__((visibility("default")))

static const int hello_check_ms = 1000;  // how often the hello loop looks at server_hello
static const int server_wait_steps = 100;   // the first Hello waits at most 100 x 10 ms
static const int server_wait_step_us = 10000;

enum { DATAGRAM_SIZE = 65536 };

// The hello loop's sockets: the daemon's for IPv4, its own for IPv6.
struct hello_sockets {
    int v4, v6;
};

// Hello or Bye on one link, from the socket of its family; a Hello names
// the link's own address: it is the one its clients can reach.
static void announce_on(const struct hello_sockets *s, const struct link *l, enum wsd_kind kind)
{
    char xaddrs[128], message[WSD_MESSAGE_SIZE];
    link_xaddrs(l, xaddrs, sizeof xaddrs);
    size_t len = wsd_message(message, sizeof message, kind, NULL, xaddrs);
    int sock = l->family == AF_INET ? s->v4 : s->v6;
    if (len && sock >= 0)
        datagram_multicast(sock, l, message, len);
}

// Takes a fresh look at the links; with `greet`, each new one gets a Hello.
static void update_links(const struct hello_sockets *s, int greet)
{
    struct link fresh[LINK_LIMIT];
    int count = link_update(fresh);
    for (int i = 0; greet && i < count; i++)
        announce_on(s, &fresh[i], WSD_HELLO);
}

static void send_hellos(const struct hello_sockets *s)
{
    struct link now[LINK_LIMIT];
    int count = link_known(now);
    for (int i = 0; i < count; i++)
        announce_on(s, &now[i], WSD_HELLO);
}

// The first Hello says the device is there to be probed: it waits until
// the probe loop has its socket, but not for ever.
static void wait_for_server_socket(void)
{
    for (int i = 0; i < server_wait_steps && __atomic_load_n(&server_udp, __ATOMIC_ACQUIRE) < 0;
         i++)
        cancellable_sleep_us(server_wait_step_us);
}

EXPORTED void udp_hello(int sock)
{
    cancel_only_in_waits();
    struct hello_sockets s = { sock, socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP) };
    wait_for_server_socket();
    // Watched before the first look, so no change falls between the two.
    // The loop ends only by cancellation, with the process.
    int watch = link_watch_open();
    update_links(&s, 0);
    send_hellos(&s);
    for (;;) {
        struct pollfd pfd = { watch, POLLIN, 0 };
        if (cancellable_poll(&pfd, 1, hello_check_ms) > 0 && link_watch_drain(watch))
            update_links(&s, 1);
        if (__atomic_exchange_n(&server_hello, 0, __ATOMIC_ACQ_REL))
            send_hellos(&s);
    }
}

// No answer follows the Bye: those held back are dropped and the directed
// requests' thread ends first. Then a Bye on every link the device has now.
EXPORTED void ByeHandler(int)
{
    pending_drop_all();
    directed_stop();
    struct link now[LINK_LIMIT];
    int count = link_scan(now);
    struct hello_sockets s = { socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP),
                               socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP) };
    for (int i = 0; i < count; i++)
        announce_on(&s, &now[i], WSD_BYE);
    if (s.v4 >= 0)
        close(s.v4);
    if (s.v6 >= 0)
        close(s.v6);
}

// Reads one waiting datagram from the IPv4 group and holds its answer.
// Returns 0 when the socket is fine, -1 when it failed. One datagram per
// wake-up: with more waiting the next poll returns at once, and with none
// the socket is not read again only to learn it is empty.
static int serve_one(int sock)
{
    static char data[DATAGRAM_SIZE];
    struct arrival a;
    struct answer owed;

    ssize_t n = datagram_receive(sock, data, sizeof data, MSG_DONTWAIT, &a);
    if (n > 0 && a.family == AF_INET && responder_read(data, (size_t)n, &a, &owed))
        pending_add(sock, &a, &owed, 0);
    return n < 0 ? -1 : 0;
}

// The daemon's server socket, told to say where each datagram arrived and
// joined to the group on every link known so far (the hello loop adds the
// ones that come later).
static int open_with_pktinfo(int (*open_server)(void))
{
    int sock = open_server();
    datagram_report_arrival(sock, AF_INET);
    link_attach(AF_INET, sock);
    return sock;
}

EXPORTED void udp_probe(int (*open_server)(void))
{
    cancel_only_in_waits();
    int sock = open_with_pktinfo(open_server);
    directed_start();
    for (;;) {
        // An idle responder does not wake up: no timeout while nothing is held.
        struct pollfd pfd[2] = { { sock, POLLIN, 0 }, { pending_wake_fd(), POLLIN, 0 } };
        int n = cancellable_poll(pfd, 2, pending_next_ms());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (pfd[0].revents & POLLNVAL) ||
            ((pfd[0].revents & POLLIN) && serve_one(sock) != 0))
            sock = open_with_pktinfo(open_server);
        if (pfd[1].revents & POLLIN)
            pending_woken();
        pending_send_due();
    }
}
