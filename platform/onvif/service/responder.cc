#include "responder.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include "describe/description.h"
#include "log.h"
#include "matching.h"
#include "network/admission.h"
#include "network/on_link.h"
#include "onvif.h"
#include "read/request.h"

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
static int answer_xaddrs(const struct arrival *a, char *out, size_t size, struct link *link)
{
    struct link l;
    memset(&l, 0, sizeof l);
    int known = link_find(a->family, a->ifindex, &l);
    l.ifindex = a->ifindex;
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
            l.ifindex = a->ifindex;
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
    *link = l;
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

int responder_admit(const struct arrival *a, size_t len)
{
    if (counters_own(a))
        return 0;
    counters_heard(a);
    enum counter why = len ? admission_check(a) : COUNT_TOO_LARGE;
    if (why != ADMITTED)
        counters_outcome(a, why);
    return why == ADMITTED;
}

int responder_read(const char *data, size_t len, const struct arrival *a, struct answer *out)
{
    struct wsd_request request;
    enum wsd_request_kind kind = wsd_parse_request(data, len, &request);
    if (kind == WSD_NOT_A_REQUEST) {
        if (request.readable)
            counters_add(a->family, a->ifindex, COUNT_OTHER);
        else
            counters_outcome(a, COUNT_MALFORMED);
        return 0;
    }
    int probe = kind == WSD_PROBE_REQUEST;
    counters_add(a->family, a->ifindex, a->multicast ? probe ? COUNT_PROBE_GROUP : COUNT_RESOLVE_GROUP
                                                     : probe ? COUNT_PROBE_DIRECTED : COUNT_RESOLVE_DIRECTED);
    int answer = owed(kind, &request, a);
    enum counter why = answer < 0 ? COUNT_UNMATCHED : !answerable(a) ? COUNT_EXCLUDED
                                                    : admission_take(a, request.message_id);
    if (why != ADMITTED) {
        counters_outcome(a, why);
        return 0;
    }
    note_sender(a);
    out->kind = (enum wsd_kind)answer;
    out->soap11 = request.soap11;
    strcpy(out->relates_to, request.message_id);
    return 1;
}

// Says what a link's messages leave out to fit it, once for each change of
// that (for each link and family, Hellos and answers apart).
static void tell_fitted(const struct link *l, enum wsd_kind kind, const struct wsd_cut *cut, size_t len)
{
    enum { TOLD = 16 };
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    static struct {
        int ifindex, family, hello, xaddrs, scopes, unsent;
    } told[TOLD];
    int hello = kind == WSD_HELLO, unsent = len == 0, at = 0;
    pthread_mutex_lock(&lock);
    while (at < TOLD - 1 && told[at].ifindex && !(told[at].ifindex == l->ifindex &&
                                                   told[at].family == l->family && told[at].hello == hello))
        at++;
    int same = told[at].ifindex == l->ifindex && told[at].family == l->family && told[at].hello == hello &&
               told[at].xaddrs == cut->xaddrs && told[at].scopes == cut->scopes && told[at].unsent == unsent;
    told[at] = { l->ifindex, l->family, hello, cut->xaddrs, cut->scopes, unsent };
    pthread_mutex_unlock(&lock);
    if (same || (!cut->xaddrs && !cut->scopes && !unsent))
        return;
    char name[IF_NAMESIZE] = "?";
    if_indextoname((unsigned)l->ifindex, name);
    if (unsent)
        wsd_log(LOG_WARNING, "%s: %s: %s does not fit %zu bytes, the most a datagram carries whole there; "
               "not sent", name, l->family == AF_INET ? "IPv4" : "IPv6", hello ? "a Hello" : "an answer", link_room(l));
    else
        wsd_log(LOG_WARNING, "%s: %s: %ss left out their last %d XAddrs and %d scopes to fit %zu bytes, the most "
               "a datagram carries whole there", name, l->family == AF_INET ? "IPv4" : "IPv6",
               hello ? "Hello" : "answer", cut->xaddrs, cut->scopes, link_room(l));
}

size_t responder_fit(char *out, const struct link *l, enum wsd_kind kind, const char *relates_to, int soap11,
                     const char *xaddrs, const struct wsd_description *said)
{
    struct wsd_description now;
    if (!said) {
        wsd_describe(&now);
        said = &now;
    }
    struct wsd_cut cut;
    size_t len = wsd_message_fitted(out, link_room(l), kind, relates_to, soap11, xaddrs, said, &cut);
    if (kind != WSD_BYE)
        tell_fitted(l, kind, &cut, len);
    if (cut.xaddrs || cut.scopes)
        counters_add(l->family, l->ifindex, COUNT_CUT);
    return len;
}

size_t responder_compose(const struct answer *answer, const struct arrival *a, char *out)
{
    char xaddrs[WSD_XADDRS_SIZE];
    xaddrs[0] = '\0';
    struct link l;
    memset(&l, 0, sizeof l);
    l.family = a->family;
    l.ifindex = a->ifindex;
    if (answer->kind != WSD_RULE_FAULT && !answer_xaddrs(a, xaddrs, sizeof xaddrs, &l))
        return 0;
    return responder_fit(out, &l, answer->kind, answer->relates_to, answer->soap11,
                         answer->kind == WSD_RULE_FAULT ? NULL : xaddrs, NULL);
}

void responder_send(int sock, enum datagram_via via, const struct arrival *a,
                    const struct answer *answer)
{
    char message[WSD_MESSAGE_SIZE];
    enum counter why = admission_answerable(a);
    size_t len = why == ADMITTED ? responder_compose(answer, a, message) : 0;
    errno = 0;
    int sent = len > 0 && (sock >= 0 ? datagram_reply(sock, a, message, len)
                                     : datagram_reply_via(via, a, message, len));
    if (sent) {
        admission_given(a, answer->relates_to);
        counters_outcome(a, COUNT_ANSWERED);
        return;
    }
    admission_untake(a);
    if (why != ADMITTED)
        counters_outcome(a, COUNT_WITHDRAWN);
    else if (len == 0)
        counters_outcome(a, COUNT_TOO_LONG);
    else
        counters_send_failed(a->family, a->ifindex, errno);
}
