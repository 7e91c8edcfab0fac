// Matching a request against the device: its Types by namespace and local
// name, its Scopes by their MatchBy rule, a Resolve by our
// EndpointReference.

#include <string.h>
#include <strings.h>

#include "describe/description.h"
#include "matching.h"
#include "read/request.h"
#include "wsd.h"

// An endpoint address is a URI; ours is a UUID URN, whose hexadecimal
// digits may come in either case.
int wsd_resolve_matches(const struct wsd_request *resolve)
{
    struct wsd_description d;
    wsd_describe(&d);
    return strcasecmp(resolve->resolve_address, d.endpoint) == 0;
}

static int is_ours(const struct wsd_qname *t)
{
    return (strcmp(t->ns, WSD_ONVIF_NETWORK_NS) == 0 &&
            strcmp(t->local, "NetworkVideoTransmitter") == 0) ||
           (strcmp(t->ns, WSD_ONVIF_DEVICE_NS) == 0 && strcmp(t->local, "Device") == 0);
}

// The length of the next path segment of `s`, which starts after a '/'.
static size_t segment(const char *s)
{
    size_t n = 0;
    while (s[n] && s[n] != '/' && s[n] != '?' && s[n] != '#')
        n++;
    return n;
}

int wsd_scope_matches(const char *ask, const char *have)
{
    // Scheme and authority: everything before the path, case aside.
    const char *a = strchr(ask, ':'), *h = strchr(have, ':');
    if (!a || !h || a - ask != h - have || strncasecmp(ask, have, (size_t)(a - ask)) != 0)
        return 0;
    a++;
    h++;
    if (strncmp(a, "//", 2) == 0 || strncmp(h, "//", 2) == 0) {
        if (strncmp(a, "//", 2) != 0 || strncmp(h, "//", 2) != 0)
            return 0;
        size_t al = 2 + strcspn(a + 2, "/?#"), hl = 2 + strcspn(h + 2, "/?#");
        if (al != hl || strncasecmp(a, h, al) != 0)
            return 0;
        a += al;
        h += hl;
    }
    // Path: each segment asked for equals the one we have, in turn.
    for (;;) {
        while (*a == '/')
            a++;
        while (*h == '/')
            h++;
        size_t al = segment(a), hl = segment(h);
        if (al == 0)
            return 1;
        if (al != hl || strncmp(a, h, al) != 0)
            return 0;
        a += al;
        h += hl;
    }
}

static int scope_held(const char *ask, size_t len, int exact, const char *scopes)
{
    char want[WSD_SCOPES_SIZE];
    memcpy(want, ask, len);
    want[len] = '\0';

    for (const char *s = scopes; *s;) {
        size_t n = strcspn(s, " ");
        char have[WSD_SCOPES_SIZE];
        memcpy(have, s, n);
        have[n] = '\0';
        if (exact ? strcmp(want, have) == 0 : wsd_scope_matches(want, have))
            return 1;
        s += n;
        while (*s == ' ')
            s++;
    }
    return 0;
}

enum wsd_match wsd_probe_match(const struct wsd_request *p)
{
    if (p->types_unresolved)
        return WSD_NOT_MATCHED;
    for (int i = 0; i < p->type_count; i++)
        if (!is_ours(&p->types[i]))
            return WSD_NOT_MATCHED;

    int exact;
    if (p->match_by[0] == '\0' || strcmp(p->match_by, WSD_DISCOVERY_NS "/rfc3986") == 0 ||
        strcmp(p->match_by, WSD_DISCOVERY_NS "/rfc2396") == 0)
        exact = 0;
    else if (strcmp(p->match_by, WSD_DISCOVERY_NS "/strcmp0") == 0)
        exact = 1;
    else
        return WSD_RULE_NOT_SUPPORTED;

    // Matched against what is announced now.
    struct wsd_description d;
    d.scopes[0] = '\0';
    const char *s = p->scopes;
    for (;;) {
        size_t len;
        const char *scope = wsd_next_token(&s, &len);
        if (len == 0)
            return WSD_MATCHED;
        if (!d.scopes[0])
            wsd_describe(&d);
        if (!scope_held(scope, len, exact, d.scopes))
            return WSD_NOT_MATCHED;
    }
}

int wsd_probe_matches(const struct wsd_request *p)
{
    return wsd_probe_match(p) == WSD_MATCHED;
}
