#include "responder.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "admission.h"
#include "on_link.h"
#include "onvif.h"
#include "request.h"

// The IPv4 address of the link the request came in on (the kernel's
// choice for a reply on the arrival interface); else the one a reply to
// its sender would leave from.
static struct in_addr reply_address(const struct arrival *a)
{
    if (a->local.s_addr != htonl(INADDR_ANY))
        return a->local;

    struct sockaddr_storage local;
    socklen_t len = sizeof local;
    int sock = socket(a->from.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    memset(&local, 0, sizeof local);
    if (sock >= 0 && connect(sock, (const struct sockaddr *)&a->from, a->from_len) == 0)
        getsockname(sock, (struct sockaddr *)&local, &len);
    if (sock >= 0)
        close(sock);
    struct in_addr addr = {};
    if (local.ss_family == AF_INET)
        addr = ((struct sockaddr_in *)&local)->sin_addr;
    else if (local.ss_family == AF_INET6)  // an IPv4 sender on an IPv6 socket
        memcpy(&addr, &((struct sockaddr_in6 *)&local)->sin6_addr.s6_addr[12], sizeof addr);
    return addr;
}

// The link's own addresses, in the family the request came in: a client
// reaches the device by the address it found it on, one in its own subnet
// first. An IPv4 request on an interface that is no link of ours (yet), or
// to an address the link is not known to have, names the address a reply
// leaves from.
static int answer_xaddrs(const struct arrival *a, char *out, size_t size)
{
    struct link l;
    memset(&l, 0, sizeof l);
    int known = link_find(a->family, a->ifindex, &l);
    unsigned char mapped[16];  // the IPv4 sender, from an IPv4 or IPv6 socket alike
    on_link_mapped(mapped, (const struct sockaddr *)&a->from);
    struct in_addr from;
    memcpy(&from, mapped + 12, sizeof from);
    if (a->family == AF_INET) {
        struct in_addr addr = reply_address(a);
        int has = 0;
        for (int k = 0; k < l.count; k++)
            has |= l.addr[k].s_addr == addr.s_addr;
        if (!known || (!has && !link_local4(addr))) {
            memset(&l, 0, sizeof l);
            l.family = AF_INET;
            l.count = 1;
            l.addr[0] = addr;
            link_name_address(&l);
        }
    } else if (!known) {
        if (a->multicast)
            return 0;  // an interface that is no link (yet)
        l.family = AF_INET6;
        l.addr6 = a->local6;
        link_name_address(&l);
    }
    return link_xaddrs(&l, a->family == AF_INET ? &from : NULL, out, size) > 0;
}

// The library's record of the last request's sender, for an IPv4 one.
static void note_sender(const struct arrival *a)
{
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    struct sockaddr_in from;
    memset(&from, 0, sizeof from);
    from.sin_family = AF_INET;
    if (a->from.ss_family == AF_INET) {
        from = *(const struct sockaddr_in *)&a->from;
    } else {
        const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)&a->from;
        if (!IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            return;
        from.sin_port = v6->sin6_port;
        memcpy(&from.sin_addr, &v6->sin6_addr.s6_addr[12], sizeof from.sin_addr);
    }
    pthread_mutex_lock(&lock);
    onvif_remote_addr = from;
    pthread_mutex_unlock(&lock);
}

// The answer a request is owed, by its kind and how the device matches
// it: its kind, or -1 for none. A matching rule we do not support is
// said to a client that asked the device itself; to a group, silence.
static int owed(enum wsd_request_kind kind, const struct wsd_request *request,
                const struct arrival *a)
{
    if (kind == WSD_RESOLVE_REQUEST)
        return wsd_resolve_matches(request) ? WSD_RESOLVE_MATCHES : -1;
    enum wsd_match m = wsd_probe_match(request);
    return m == WSD_MATCHED ? WSD_PROBE_MATCHES : m == WSD_RULE_NOT_SUPPORTED && !a->multicast ? WSD_RULE_FAULT : -1;
}

// Whether there is an address to name for a request that came as *a:
// IPv6 sent to the group, only on a link known as one.
static int answerable(const struct arrival *a)
{
    struct link l;
    return a->family == AF_INET || !a->multicast || link_find(AF_INET6, a->ifindex, &l);
}

int responder_read(const char *data, size_t len, const struct arrival *a, struct answer *out)
{
    struct wsd_request request;
    enum wsd_request_kind kind = wsd_parse_request(data, len, &request);
    if (kind == WSD_NOT_A_REQUEST)
        return 0;
    int answer = owed(kind, &request, a);
    if (answer < 0 || !answerable(a) || !admission_take(a, request.message_id))
        return 0;
    note_sender(a);
    out->kind = (enum wsd_kind)answer;
    strcpy(out->relates_to, request.message_id);
    return 1;
}

size_t responder_compose(const struct answer *answer, const struct arrival *a, char *out, size_t size)
{
    char xaddrs[WSD_XADDRS_SIZE];
    xaddrs[0] = '\0';
    if (answer->kind != WSD_RULE_FAULT && !answer_xaddrs(a, xaddrs, sizeof xaddrs))
        return 0;
    return wsd_message(out, size, answer->kind, answer->relates_to, xaddrs);
}

void responder_send(int sock, enum datagram_via via, const struct arrival *a,
                    const struct answer *answer)
{
    char message[WSD_MESSAGE_SIZE];
    size_t len = admission_answerable(a) ? responder_compose(answer, a, message, sizeof message) : 0;
    int sent = len > 0 && (sock >= 0 ? datagram_reply(sock, a, message, len)
                                     : datagram_reply_via(via, a, message, len));
    if (sent)
        admission_given(a, answer->relates_to);
    else
        admission_untake(a);
}
