// Stand-in for the discovery library: a WS-Discovery target service that
// announces the device with Hello and Bye on each of its links, and answers
// Probes and Resolves with one match each, sent back to the sender and
// naming the address of the link the request came in on.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "datagram.h"
#include "links.h"
#include "onvif.h"
#include "recent.h"
#include "request.h"
#include "wsd.h"

#define EXPORTED __attribute__((visibility("default")))

static const int hello_check_ms = 1000;  // how often the hello loop looks at server_hello
static const int server_wait_steps = 100;   // the first Hello waits at most 100 x 10 ms
static const int server_wait_step_us = 10000;

enum { DATAGRAM_SIZE = 65536 };

static void append_xaddr(char *out, size_t size, struct in_addr addr)
{
    size_t used = strlen(out);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    snprintf(out + used, size - used, "%shttp://%s/onvif/device_service", used ? " " : "", text);
}

// A Hello on one link names that link's own address: it is the one its
// clients can reach.
static void send_hello_on(int sock, const struct link *l)
{
    char xaddrs[128] = "", message[WSD_MESSAGE_SIZE];
    append_xaddr(xaddrs, sizeof xaddrs, l->addr);
    size_t len = wsd_message(message, sizeof message, WSD_HELLO, NULL, xaddrs);
    if (len && sock >= 0)
        datagram_multicast(sock, l, message, len);
}

// Takes a fresh look at the links; with `greet`, each new one gets a Hello.
static void update_links(int hello_sock, int greet)
{
    struct link fresh[LINK_LIMIT];
    int count = link_update(__atomic_load_n(&server_udp, __ATOMIC_ACQUIRE), fresh);
    for (int i = 0; greet && i < count; i++)
        send_hello_on(hello_sock, &fresh[i]);
}

static void send_hellos(int sock)
{
    struct link now[LINK_LIMIT];
    int count = link_known(now);
    for (int i = 0; i < count; i++)
        send_hello_on(sock, &now[i]);
}

// The loops are cancelled only while they wait. Elsewhere a cancellation
// could land inside the C library (getifaddrs, the socket set-up) and leak
// what it holds; it stays pending until the next wait.
static void cancel_only_in_waits(void)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

static void cancellable_sleep_us(unsigned us)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    usleep(us);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
}

static int cancellable_poll(struct pollfd *pfd, int timeout_ms)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    int n = poll(pfd, 1, timeout_ms);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    return n;
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
    wait_for_server_socket();
    // Watched before the first look, so no change falls between the two.
    // The loop ends only by cancellation, with the process.
    int watch = link_watch_open();
    update_links(sock, 0);
    send_hellos(sock);
    for (;;) {
        struct pollfd pfd = { watch, POLLIN, 0 };
        if (cancellable_poll(&pfd, hello_check_ms) > 0 && link_watch_drain(watch))
            update_links(sock, 1);
        if (__atomic_exchange_n(&server_hello, 0, __ATOMIC_ACQ_REL))
            send_hellos(sock);
    }
}

// A Bye on every link the device has now.
EXPORTED void ByeHandler(int)
{
    struct link now[LINK_LIMIT];
    int count = link_scan(now);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0)
        return;
    for (int i = 0; i < count; i++) {
        char message[WSD_MESSAGE_SIZE];
        size_t len = wsd_message(message, sizeof message, WSD_BYE, NULL, NULL);
        if (len)
            datagram_multicast(sock, &now[i], message, len);
    }
    close(sock);
}

// The address of the link the request came in on (the kernel's choice
// for a reply on the arrival interface); else the one a reply to its
// sender would leave from.
static struct in_addr reply_address(const struct in_pktinfo *arrival,
                                    const struct sockaddr_in *from)
{
    if (arrival && arrival->ipi_spec_dst.s_addr != htonl(INADDR_ANY))
        return arrival->ipi_spec_dst;

    struct sockaddr_in local;
    socklen_t len = sizeof local;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    memset(&local, 0, sizeof local);
    if (sock >= 0 && connect(sock, (const struct sockaddr *)from, sizeof *from) == 0)
        getsockname(sock, (struct sockaddr *)&local, &len);
    if (sock >= 0)
        close(sock);
    return local.sin_addr;
}

static void answer(int sock, const char *data, size_t len, const struct sockaddr_in *from,
                   const struct in_pktinfo *arrival)
{
    struct wsd_request request;
    enum wsd_request_kind kind = wsd_parse_request(data, len, &request);
    if (kind == WSD_NOT_A_REQUEST || recent_seen(request.message_id))
        return;
    if (kind == WSD_PROBE_REQUEST ? !wsd_probe_matches(&request) : !wsd_resolve_matches(&request))
        return;
    onvif_remote_addr = *from;

    char xaddrs[128] = "", message[WSD_MESSAGE_SIZE];
    append_xaddr(xaddrs, sizeof xaddrs, reply_address(arrival, from));
    size_t n = wsd_message(message, sizeof message,
                           kind == WSD_PROBE_REQUEST ? WSD_PROBE_MATCHES : WSD_RESOLVE_MATCHES,
                           request.message_id, xaddrs);
    // From the group-bound socket the system picks the source address.
    if (n)
        sendto(sock, message, n, 0, (const struct sockaddr *)from, sizeof *from);
}

// Reads one waiting datagram and answers it. Returns 0 when the socket
// is fine, -1 when it failed. One datagram per wake-up: with more waiting
// the next poll returns at once, and with none the socket is not read
// again only to learn it is empty.
static int serve_one(int sock)
{
    static char data[DATAGRAM_SIZE];
    struct sockaddr_in from;
    struct in_pktinfo arrival;
    int arrived;

    ssize_t n = datagram_receive(sock, data, sizeof data, &from, &arrival, &arrived);
    if (n > 0)
        answer(sock, data, (size_t)n, &from, arrived ? &arrival : NULL);
    return n < 0 ? -1 : 0;
}

// The daemon's server socket, told to say where each datagram arrived and
// joined to the group on every link known so far (the hello loop adds the
// ones that come later).
static int open_with_pktinfo(int (*open_server)(void))
{
    int sock = open_server();
    int one = 1;
    setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    link_join_known(sock);
    return sock;
}

EXPORTED void udp_probe(int (*open_server)(void))
{
    cancel_only_in_waits();
    int sock = open_with_pktinfo(open_server);
    for (;;) {
        struct pollfd pfd = { sock, POLLIN, 0 };
        int n = cancellable_poll(&pfd, -1);  // an idle responder does not wake up
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (pfd.revents & POLLNVAL) || serve_one(sock) != 0)
            sock = open_with_pktinfo(open_server);
    }
}
