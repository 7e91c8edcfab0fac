// The messages the device sends: Hello, Bye and the answers to Probe and
// Resolve, each with the AppSequence of this start of the service, and the
// fault for a matching rule it does not support.

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "identity.h"
#include "log.h"
#include "messages.h"
#include "state.h"
#include "wsd.h"

static pthread_once_t instance_once = PTHREAD_ONCE_INIT;
static unsigned long instance_id;
static unsigned long message_number;

// This start of the service: taken with its first message.
static void start_instance(void)
{
    int saved;
    instance_id = wsd_next_instance_id(WSD_INSTANCE_ID_FILE, (unsigned long)time(NULL), &saved);
    if (!saved)
        wsd_log(LOG_WARNING, "can't keep the InstanceId in " WSD_INSTANCE_ID_FILE
                            "; the next start may repeat it");
}

// A message is put together piece by piece, at the end of what is there:
// the pieces that never change are copied, not formatted (most of the cost
// of an answer was the formatter's). `len` keeps growing past `size`, so
// the caller learns that it did not fit.
struct text {
    char *out;
    size_t size, len;
};

static void put(struct text *t, const char *piece, size_t n)
{
    if (t->len + n < t->size)
        memcpy(t->out + t->len, piece, n);
    t->len += n;
}

#define PUT(t, literal) put(t, literal, sizeof literal - 1)

static void put_string(struct text *t, const char *s)
{
    put(t, s, strlen(s));
}

// `s` as character data: '&', '<' and '>' escaped, runs between them copied.
static void put_escaped(struct text *t, const char *s)
{
    for (;;) {
        size_t run = strcspn(s, "&<>");
        put(t, s, run);
        s += run;
        if (!*s)
            return;
        if (*s == '&')
            PUT(t, "&amp;");
        else if (*s == '<')
            PUT(t, "&lt;");
        else
            PUT(t, "&gt;");
        s++;
    }
}

static void put_number(struct text *t, unsigned long v)
{
    char digits[24];
    size_t at = sizeof digits;
    do
        digits[--at] = (char)('0' + v % 10);
    while ((v /= 10) != 0);
    put(t, digits + at, sizeof digits - at);
}

// The fault's envelope, as it has always been.
static const char envelope_open[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" WSD_SOAP_NS "\""
    " xmlns:wsa=\"" WSD_ADDRESSING_NS "\""
    " xmlns:wsd=\"" WSD_DISCOVERY_NS "\""
    " xmlns:dn=\"" WSD_ONVIF_NETWORK_NS "\""
    " xmlns:tds=\"" WSD_ONVIF_DEVICE_NS "\">"
    "<SOAP-ENV:Header><wsa:MessageID>";

// The device's own messages are compact: a datagram of more than about
// 1,400 bytes is cut or dropped on container and overlay networks, and
// one of more than 1,472 is fragmented on Ethernet. The envelope's prefix
// is one letter, there is no XML declaration (UTF-8 is XML's default),
// and the Bye, which names no Type, declares none of their namespaces.
// Clients read the messages by their namespaces; those that match text
// look for the wsa: and wsd: prefixes, which stay.
static void put_envelope_open(struct text *t, int soap11, int types)
{
    if (soap11)
        PUT(t, "<s:Envelope xmlns:s=\"" WSD_SOAP11_NS "\"");
    else
        PUT(t, "<s:Envelope xmlns:s=\"" WSD_SOAP_NS "\"");
    PUT(t, " xmlns:wsa=\"" WSD_ADDRESSING_NS "\" xmlns:wsd=\"" WSD_DISCOVERY_NS "\"");
    if (types)
        PUT(t, " xmlns:dn=\"" WSD_ONVIF_NETWORK_NS "\" xmlns:tds=\"" WSD_ONVIF_DEVICE_NS "\"");
    PUT(t, "><s:Header><wsa:MessageID>");
}

static const struct {
    const char *action, *element, *match;
} kinds[] = {
    { WSD_DISCOVERY_NS "/Hello", "Hello", "" },
    { WSD_DISCOVERY_NS "/Bye", "Bye", "" },
    { WSD_DISCOVERY_NS "/ProbeMatches", "ProbeMatches", "ProbeMatch" },
    { WSD_DISCOVERY_NS "/ResolveMatches", "ResolveMatches", "ResolveMatch" },
};

// The part of Hello and the matches that describes the device (`d`); all
// but the Bye's EndpointReference when `xaddrs` is NULL.
static void describe(struct text *t, const struct wsd_description *d, const char *xaddrs)
{
    PUT(t, "<wsa:EndpointReference><wsa:Address>");
    put_string(t, d->endpoint);
    PUT(t, "</wsa:Address></wsa:EndpointReference>");
    if (!xaddrs)
        return;
    PUT(t, "<wsd:Types>" WSD_TYPES "</wsd:Types><wsd:Scopes>");
    put_escaped(t, d->scopes);
    PUT(t, "</wsd:Scopes><wsd:XAddrs>");
    put_escaped(t, xaddrs);
    PUT(t, "</wsd:XAddrs><wsd:MetadataVersion>");
    put_number(t, d->metadata_version);
    PUT(t, "</wsd:MetadataVersion>");
}

// The body and the header each have a budget of their own, which together
// keep every message within WSD_MESSAGE_SIZE: an answer to a MessageID too
// long for its header is not sent, and a description is cut to fit its
// (wsd_compose_description).
enum { BODY_BUDGET = 2048, HEADER_BUDGET = 1024 };

int wsd_description_fits(const struct wsd_description *d)
{
    // The longest address there is, in every template, and the longest
    // MetadataVersion.
    char xaddrs[WSD_XADDRS_SIZE];
    struct wsd_description longest = *d;
    longest.metadata_version = (unsigned long)-1;
    if (!wsd_xaddrs(d->templates, "[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255]", xaddrs, sizeof xaddrs))
        return 0;
    struct text body = { NULL, 0, 0 };
    describe(&body, &longest, xaddrs);
    return body.len < BODY_BUDGET;
}

// The end of a text that may not have fitted: its length, 0 when it did not.
static size_t finish(struct text *t)
{
    if (t->len >= t->size)
        return 0;
    t->out[t->len] = '\0';
    return t->len;
}

// A directed Probe asking for a matching rule we do not support gets this
// fault, addressed as an answer is (no AppSequence: it is no message of
// the device's sequence), listing the rules we do support: SOAP 1.2's, as
// it has always been, or for a Probe that came in a SOAP 1.1 envelope,
// SOAP 1.1's (its code the subcode's, its reason the faultstring).
static size_t rule_fault(char *out, size_t size, const char *relates_to, int soap11)
{
    char id[64];
    wsd_new_uuid(id);
    struct text t = { out, size, 0 };
    if (soap11)
        put_envelope_open(&t, 1, 0);
    else
        PUT(&t, envelope_open);
    put_string(&t, id);
    PUT(&t, "</wsa:MessageID><wsa:RelatesTo>");
    put_escaped(&t, relates_to);
    PUT(&t, "</wsa:RelatesTo><wsa:To>" WSD_ADDRESSING_NS "/role/anonymous</wsa:To>"
            "<wsa:Action>" WSD_DISCOVERY_NS "/fault</wsa:Action>");
    if (soap11)
        PUT(&t, "</s:Header><s:Body><s:Fault><faultcode>wsd:MatchingRuleNotSupported</faultcode>"
                "<faultstring>the matching rule specified is not supported</faultstring>"
                "<detail><wsd:SupportedMatchingRules>" WSD_SUPPORTED_RULES
                "</wsd:SupportedMatchingRules></detail></s:Fault></s:Body></s:Envelope>");
    else
        PUT(&t, "</SOAP-ENV:Header>"
                "<SOAP-ENV:Body><SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
                "<SOAP-ENV:Subcode><SOAP-ENV:Value>wsd:MatchingRuleNotSupported</SOAP-ENV:Value>"
                "</SOAP-ENV:Subcode></SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">"
                "the matching rule specified is not supported</SOAP-ENV:Text></SOAP-ENV:Reason>"
                "<SOAP-ENV:Detail><wsd:SupportedMatchingRules>" WSD_SUPPORTED_RULES
                "</wsd:SupportedMatchingRules></SOAP-ENV:Detail></SOAP-ENV:Fault></SOAP-ENV:Body>"
                "</SOAP-ENV:Envelope>");
    return finish(&t);
}

size_t wsd_xaddrs_room(const struct wsd_description *d)
{
    struct text body = { NULL, 0, 0 };
    unsigned long version = (unsigned long)-1;  // the longest there is
    PUT(&body, "<wsa:EndpointReference><wsa:Address></wsa:Address></wsa:EndpointReference>"
               "<wsd:Types>" WSD_TYPES "</wsd:Types><wsd:Scopes></wsd:Scopes><wsd:XAddrs></wsd:XAddrs>"
               "<wsd:MetadataVersion></wsd:MetadataVersion>");
    put_string(&body, d->endpoint);
    put_escaped(&body, d->scopes);
    put_number(&body, version);
    return body.len < BODY_BUDGET ? BODY_BUDGET - 1 - body.len : 0;
}

size_t wsd_xaddrs(const char *templates, const char *address, char *out, size_t size)
{
    size_t n = 0, alen = strlen(address);
    for (const char *p = templates; *p;) {
        const char *at = strstr(p, "{address}");
        size_t lit = at ? (size_t)(at - p) : strlen(p);
        if (n + lit + (at ? alen : 0) >= size)
            return 0;
        memcpy(out + n, p, lit);
        n += lit;
        if (!at)
            break;
        memcpy(out + n, address, alen);
        n += alen;
        p = at + 9;
    }
    out[n] = '\0';
    return n;
}

size_t wsd_escapes(const char *s)
{
    size_t more = 0;
    for (; *(s += strcspn(s, "&<>")); s++)
        more += *s == '&' ? 4 : 3;
    return more;
}

// A message for the description `d`, in the SOAP version asked for.
static size_t compose(char *out, size_t size, enum wsd_kind kind, const char *relates_to, const char *xaddrs,
                      const struct wsd_description *d, int soap11)
{
    if (kind == WSD_RULE_FAULT)
        return rule_fault(out, size, relates_to, soap11);
    char id[64];
    int matches = kind == WSD_PROBE_MATCHES || kind == WSD_RESOLVE_MATCHES;
    struct text body = { NULL, 0, 0 }, related = { NULL, 0, 0 };
    describe(&body, d, kind == WSD_BYE ? NULL : xaddrs);
    if (matches)
        put_escaped(&related, relates_to);
    size_t header = sizeof "<wsa:MessageID></wsa:MessageID>" - 1 + 45 +
                    (matches ? sizeof "<wsa:RelatesTo></wsa:RelatesTo><wsa:To>" WSD_ADDRESSING_NS
                                      "/role/anonymous</wsa:To>" - 1 + related.len
                             : sizeof "<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>" - 1);
    if (body.len >= BODY_BUDGET || header >= HEADER_BUDGET)
        return 0;

    wsd_new_uuid(id);
    pthread_once(&instance_once, start_instance);
    struct text t = { out, size, 0 };
    put_envelope_open(&t, soap11, kind != WSD_BYE);
    put_string(&t, id);
    if (matches) {
        PUT(&t, "</wsa:MessageID><wsa:RelatesTo>");
        put_escaped(&t, relates_to);
        PUT(&t, "</wsa:RelatesTo><wsa:To>" WSD_ADDRESSING_NS "/role/anonymous</wsa:To>");
    } else {
        PUT(&t, "</wsa:MessageID><wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>");
    }
    PUT(&t, "<wsa:Action>");
    put_string(&t, kinds[kind].action);
    PUT(&t, "</wsa:Action><wsd:AppSequence InstanceId=\"");
    put_number(&t, instance_id);
    PUT(&t, "\" MessageNumber=\"");
    put_number(&t, __atomic_add_fetch(&message_number, 1, __ATOMIC_RELAXED));
    PUT(&t, "\"/></s:Header><s:Body><wsd:");
    put_string(&t, kinds[kind].element);
    PUT(&t, ">");
    if (matches) {
        PUT(&t, "<wsd:");
        put_string(&t, kinds[kind].match);
        PUT(&t, ">");
    }
    describe(&t, d, kind == WSD_BYE ? NULL : xaddrs);
    if (matches) {
        PUT(&t, "</wsd:");
        put_string(&t, kinds[kind].match);
        PUT(&t, ">");
    }
    PUT(&t, "</wsd:");
    put_string(&t, kinds[kind].element);
    PUT(&t, "></s:Body></s:Envelope>");
    return finish(&t);
}

size_t wsd_message_with(const struct wsd_description *said, char *out, size_t size, enum wsd_kind kind,
                        const char *relates_to, const char *xaddrs)
{
    if (!said && kind != WSD_RULE_FAULT)
        return 0;
    return compose(out, size, kind, relates_to, xaddrs, said, 0);
}

// Leaves out the last of the white-space separated words in `list` past
// its first `keep` bytes; whether there was one.
static int drop_last(char *list, size_t keep)
{
    char *space = strrchr(list, ' ');
    if (!space || (size_t)(space - list) < keep)
        return 0;
    *space = '\0';
    return 1;
}

size_t wsd_message_fitted(char *out, size_t limit, enum wsd_kind kind, const char *relates_to, int soap11,
                          const char *xaddrs, const struct wsd_description *said, struct wsd_cut *cut)
{
    size_t size = limit + 1 < (size_t)WSD_MESSAGE_SIZE ? limit + 1 : (size_t)WSD_MESSAGE_SIZE;
    cut->xaddrs = cut->scopes = 0;
    if (!said && kind != WSD_RULE_FAULT)
        return 0;
    size_t len = compose(out, size, kind, relates_to, xaddrs, said, soap11);
    if ((len > 0 && len <= limit) || kind == WSD_BYE || kind == WSD_RULE_FAULT)
        return len <= limit ? len : 0;

    // The last XAddrs first (one stays), then the last scopes but the fixed
    // ones; what still does not fit is not sent.
    struct wsd_description d = *said;
    char kept[WSD_XADDRS_SIZE];
    size_t n = xaddrs ? strnlen(xaddrs, sizeof kept - 1) : 0;
    memcpy(kept, xaddrs ? xaddrs : "", n);
    kept[n] = '\0';
    while (len == 0 || len > limit) {
        if (xaddrs && drop_last(kept, 0))
            cut->xaddrs++;
        else if (drop_last(d.scopes, d.fixed_scopes))
            cut->scopes++;
        else
            break;
        len = compose(out, size, kind, relates_to, xaddrs ? kept : NULL, &d, soap11);
    }
    return len <= limit ? len : 0;
}
