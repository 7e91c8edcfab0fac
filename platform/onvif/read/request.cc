// Reading Probes and Resolves: the elements of the envelope a request is
// read from, by the quick scan or by the full XML parser, and what the
// reader makes of them. Names come resolved to their namespaces, and the
// Types' QNames are resolved with the declarations in scope
// (request_namespaces.cc); only the namespaces and local names count.

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "request.h"
#include "request_reader.h"
#include "wsd.h"
#include "xml_parser.h"
#include "xml_scan.h"

const char *wsd_next_token(const char **s, size_t *len)
{
    const char *p = *s;
    while (isspace((unsigned char)*p))
        p++;
    size_t n = 0;
    while (p[n] && !isspace((unsigned char)p[n]))
        n++;
    *len = n;
    *s = p + n;
    return p;
}

// Expat hands names as "namespace local", or "local" without a namespace.
static int is_element(const char *name, const char *ns, const char *local)
{
    size_t ns_len = strlen(ns);
    return strncmp(name, ns, ns_len) == 0 && name[ns_len] == ' ' &&
           strcmp(name + ns_len + 1, local) == 0;
}

static void start_capture(struct request_reader *r, enum capture what, char *into, size_t size)
{
    r->capture = what;
    r->capture_depth = r->depth;
    r->text = into;
    r->text_size = size;
    r->text_len = 0;
    into[0] = '\0';
}

static void on_start(void *data, const char *name, const char **attrs)
{
    struct request_reader *r = (struct request_reader *)data;
    int d = ++r->depth;

    if (d > MAX_DEPTH || r->capture != CAPTURE_NONE) {
        reader_give_up(r);  // nothing we read has child elements
        return;
    }
    // The envelope of SOAP 1.2, or of SOAP 1.1 (which some clients send
    // first): its Header and Body in its own namespace.
    const char *soap = r->request->soap11 ? WSD_SOAP11_NS : WSD_SOAP_NS;
    if (d == 1) {
        r->request->soap11 = is_element(name, WSD_SOAP11_NS, "Envelope");
        if (!r->request->soap11 && !is_element(name, WSD_SOAP_NS, "Envelope"))
            reader_give_up(r);
        if (r->parser)
            r->root_at = (long)XML_GetCurrentByteIndex(r->parser);
    } else if (d == 2) {
        if (is_element(name, soap, "Header"))
            r->in_header = d;
        else if (is_element(name, soap, "Body"))
            r->in_body = d;
    } else if (d == 3 && r->in_header) {
        if (is_element(name, WSD_ADDRESSING_NS, "Action"))
            start_capture(r, CAPTURE_ACTION, r->action, sizeof r->action);
        else if (is_element(name, WSD_ADDRESSING_NS, "MessageID"))
            start_capture(r, CAPTURE_MESSAGE_ID, r->request->message_id,
                          sizeof r->request->message_id);
    } else if (d == 3 && r->in_body) {
        if (is_element(name, WSD_DISCOVERY_NS, "Probe")) {
            r->in_probe = d;
            r->seen_probe = 1;
        } else if (is_element(name, WSD_DISCOVERY_NS, "Resolve")) {
            r->in_resolve = d;
            r->seen_resolve = 1;
        }
    } else if (d == 4 && r->in_resolve) {
        if (is_element(name, WSD_ADDRESSING_NS, "EndpointReference"))
            r->in_endpoint = d;
    } else if (d == 5 && r->in_endpoint) {
        if (is_element(name, WSD_ADDRESSING_NS, "Address"))
            start_capture(r, CAPTURE_ADDRESS, r->request->resolve_address,
                          sizeof r->request->resolve_address);
    } else if (d == 4 && r->in_probe) {
        if (is_element(name, WSD_DISCOVERY_NS, "Types")) {
            start_capture(r, CAPTURE_TYPES, r->types, sizeof r->types);
        } else if (is_element(name, WSD_DISCOVERY_NS, "Scopes")) {
            start_capture(r, CAPTURE_SCOPES, r->request->scopes, sizeof r->request->scopes);
            // A rule too long to keep is refused with the request: were
            // it dropped, the default rule would match in its place.
            for (int i = 0; attrs[i]; i += 2)
                if (strcmp(attrs[i], "MatchBy") == 0) {
                    if (strlen(attrs[i + 1]) >= sizeof r->request->match_by) {
                        reader_give_up(r);
                        return;
                    }
                    strcpy(r->request->match_by, attrs[i + 1]);
                }
        }
    }
}

// Resolves the Types list while the Types element's own declarations are
// still in scope.
static void resolve_types(struct request_reader *r)
{
    struct wsd_request *p = r->request;
    const char *s = r->types;

    for (;;) {
        size_t len;
        const char *token = wsd_next_token(&s, &len);
        if (len == 0)
            break;
        if (p->type_count == WSD_QNAMES_MAX || len >= WSD_NAME_SIZE) {
            reader_give_up(r);
            return;
        }
        char qname[WSD_NAME_SIZE];
        memcpy(qname, token, len);
        qname[len] = '\0';

        char *colon = strchr(qname, ':');
        const char *local = colon ? colon + 1 : qname;
        if (colon)
            *colon = '\0';
        const char *uri = reader_namespace_of(r, colon ? qname : "");
        // Some clients write a Type as its namespace name, a colon and its
        // local name: "http://www.onvif.org/ver10/device/wsdl:Device".
        char *last = colon ? strrchr(colon + 1, ':') : NULL;
        if (!uri && last && strchr(colon + 1, '/')) {
            *colon = ':';
            *last = '\0';
            uri = qname;
            local = last + 1;
        }
        struct wsd_qname *t = &p->types[p->type_count++];
        if (!uri || strlen(local) >= sizeof t->local) {
            p->types_unresolved = 1;
            uri = "";
        }
        strcpy(t->ns, uri);
        strcpy(t->local, local);
    }
}

static void on_end(void *data, const char *)
{
    struct request_reader *r = (struct request_reader *)data;
    int d = r->depth--;

    if (r->capture != CAPTURE_NONE && d == r->capture_depth) {
        if (r->capture == CAPTURE_TYPES)
            resolve_types(r);
        r->capture = CAPTURE_NONE;
    }
    if (d == r->in_probe)
        r->in_probe = 0;
    if (d == r->in_resolve)
        r->in_resolve = 0;
    if (d == r->in_endpoint)
        r->in_endpoint = 0;
    if (d == r->in_header)
        r->in_header = 0;
    if (d == r->in_body)
        r->in_body = 0;
}

static void on_text(void *data, const char *text, int len)
{
    struct request_reader *r = (struct request_reader *)data;
    if (r->capture == CAPTURE_NONE)
        return;
    if (r->text_len + (size_t)len >= r->text_size) {
        reader_give_up(r);
        return;
    }
    memcpy(r->text + r->text_len, text, (size_t)len);
    r->text_len += (size_t)len;
    r->text[r->text_len] = '\0';
}

// No Probe needs a document type; refusing it refuses entity expansion.
static void on_doctype(void *data, const char *, const char *, const char *, int)
{
    reader_give_up((struct request_reader *)data);
}

static void trim(char *text)
{
    size_t start = 0, len = strlen(text);
    while (start < len && isspace((unsigned char)text[start]))
        start++;
    while (len > start && isspace((unsigned char)text[len - 1]))
        len--;
    memmove(text, text + start, len - start);
    text[len - start] = '\0';
}

static void reader_start(struct request_reader *r, struct wsd_request *request)
{
    // Both records are large; only what is read before it is written is
    // cleared (clearing them whole was a fifth of the work per Probe).
    r->parser = NULL;
    r->request = request;
    r->depth = r->in_header = r->in_body = r->in_probe = r->seen_probe = 0;
    r->in_resolve = r->in_endpoint = r->seen_resolve = 0;
    r->capture = CAPTURE_NONE;
    r->action[0] = r->types[0] = '\0';
    r->ns_count = r->undeclared_count = 0;
    r->bad = 0;
    request->message_id[0] = request->scopes[0] = request->match_by[0] = '\0';
    request->resolve_address[0] = '\0';
    request->type_count = request->types_unresolved = request->soap11 = 0;
    r->root_at = -1;
}

// One reading by the full parser; whether it found the document
// well-formed and the reader kept to it. *unbound tells where a start tag
// with a prefix declared nowhere stopped it (-1: none did).
static int parse_once(struct request_reader *r, const char *data, size_t len, long *unbound)
{
    *unbound = -1;
    r->parser = xml_thread_parser();
    if (!r->parser)
        return 0;
    XML_SetUserData(r->parser, r);
    XML_SetElementHandler(r->parser, on_start, on_end);
    XML_SetCharacterDataHandler(r->parser, on_text);
    XML_SetNamespaceDeclHandler(r->parser, reader_namespace_start, reader_namespace_end);
    XML_SetStartDoctypeDeclHandler(r->parser, on_doctype);
    if (XML_Parse(r->parser, data, (int)len, XML_TRUE) == XML_STATUS_OK)
        return !r->bad;
    if (XML_GetErrorCode(r->parser) == XML_ERROR_UNBOUND_PREFIX && !r->bad)
        *unbound = (long)XML_GetCurrentByteIndex(r->parser);
    return 0;
}

enum { UNDECLARED_PREFIX = 64 };

// Whether the start tag at `tag` declares `prefix` (`n` bytes) itself.
static int declares(const char *tag, const char *end, const char *prefix, size_t n)
{
    const char *close = (const char *)memchr(tag, '>', (size_t)(end - tag));
    for (const char *p = tag; close && (p = (const char *)memmem(p, (size_t)(close - p), "xmlns:", 6)); p += 6) {
        const char *q = p + 6 + n;
        if (q < close && memcmp(p + 6, prefix, n) == 0 && (*q == '=' || *q == ' ' || *q == '\t' || *q == '\r' ||
                                                          *q == '\n'))
            return 1;
    }
    return 0;
}

// The prefixes of the start tag at `tag` (its element's and its
// attributes'), each added to the root's declarations in `decls` (bound
// to a namespace of its own that no element or attribute we read is in)
// unless it is there already or the root at `root` declares it; whether
// one was added.
static int declare_tag_prefixes(const char *tag, const char *root, const char *end, char *decls, size_t size)
{
    int added = 0;
    for (const char *p = tag + 1; p < end && *p != '>';) {
        const char *name = p;
        while (p < end && !strchr(" \t\r\n=/>", *p))
            p++;
        const char *colon = (const char *)memchr(name, ':', (size_t)(p - name));
        size_t n = colon ? (size_t)(colon - name) : 0;
        char decl[2 * UNDECLARED_PREFIX + sizeof UNDECLARED_NS + 16];
        if (n > 0 && n < UNDECLARED_PREFIX && !(n == 5 && memcmp(name, "xmlns", 5) == 0) &&
            !(n == 3 && memcmp(name, "xml", 3) == 0) && !declares(root, end, name, n)) {
            snprintf(decl, sizeof decl, " xmlns:%.*s=\"" UNDECLARED_NS "%.*s\"", (int)n, name, (int)n, name);
            if (!strstr(decls, decl) && strlen(decls) + strlen(decl) < size) {
                strcat(decls, decl);
                added = 1;
            }
        }
        // Past the value of an attribute, quoted as it may be.
        while (p < end && strchr(" \t\r\n=/", *p))
            p++;
        if (p < end && (*p == '"' || *p == '\'')) {
            const char *close = (const char *)memchr(p + 1, *p, (size_t)(end - p - 1));
            p = close ? close + 1 : end;
        }
    }
    return added;
}

// The document read again by the full parser with the prefixes that
// stopped it (at `unbound`) declared on the root element, each in a
// namespace of its own, as often as another such prefix stops it. An
// attribute so prefixed is then one the reader ignores, an element so
// prefixed one it does not know.
static __attribute__((noinline)) int parse_declaring(struct request_reader *r, const char *data, size_t len,
                                                     long unbound)
{
    char copy[65536 + UNDECLARED_MAX * (2 * UNDECLARED_PREFIX + 32)];
    char decls[UNDECLARED_MAX * (2 * UNDECLARED_PREFIX + 32)] = "";
    struct wsd_request *request = r->request;
    const char *text = data;
    size_t text_len = len;
    for (int tries = 0; tries < UNDECLARED_MAX && len <= 65536; tries++) {
        long root = r->root_at >= 0 ? r->root_at : unbound;  // no element began: the root stopped it
        if (unbound < 0 || root < 0 ||
            !declare_tag_prefixes(text + unbound, data + root, text + text_len, decls, sizeof decls))
            return 0;
        // The root's name ends where its first attribute or its '>' begins.
        size_t at = (size_t)root + 1;
        while (at < len && !strchr(" \t\r\n/>", data[at]))
            at++;
        size_t extra = strlen(decls);
        memcpy(copy, data, at);
        memcpy(copy + at, decls, extra);
        memcpy(copy + at + extra, data + at, len - at);
        text = copy;
        text_len = len + extra;
        reader_start(r, request);
        if (parse_once(r, text, text_len, &unbound))
            return 1;
    }
    return 0;
}

// The full parser's reading; whether it found the document well-formed
// and the reader kept to it. Expat refuses a document with a prefix
// declared nowhere, which some clients write on attributes they care
// little about (mustUnderstand): such a document is read again with it
// declared.
static int parse_fully(struct request_reader *r, const char *data, size_t len)
{
    long unbound;
    return parse_once(r, data, len, &unbound) || (unbound >= 0 && parse_declaring(r, data, len, unbound));
}

// The request the reader saw, once the document is read.
static enum wsd_request_kind reader_result(struct request_reader *r, int ok)
{
    struct wsd_request *request = r->request;
    request->readable = ok;
    if (!ok || r->seen_probe + r->seen_resolve != 1)
        return WSD_NOT_A_REQUEST;
    trim(r->action);
    trim(request->message_id);
    trim(request->match_by);
    trim(request->resolve_address);
    if (request->message_id[0] == '\0')
        return WSD_NOT_A_REQUEST;
    if (r->seen_probe)
        return strcmp(r->action, WSD_DISCOVERY_NS "/Probe") == 0 ? WSD_PROBE_REQUEST
                                                                  : WSD_NOT_A_REQUEST;
    return strcmp(r->action, WSD_DISCOVERY_NS "/Resolve") == 0 && request->resolve_address[0] != '\0'
               ? WSD_RESOLVE_REQUEST
               : WSD_NOT_A_REQUEST;
}

// The quick scan reads what real clients send in a fraction of the full
// parser's time; what it does not read, the full parser reads afresh.
enum wsd_request_kind wsd_parse_request(const char *data, size_t len, struct wsd_request *request)
{
    struct request_reader r;
    if (len > 65536)
        return WSD_NOT_A_REQUEST;
    reader_start(&r, request);
    const struct xml_events events = { &r, on_start, on_end, on_text, reader_namespace_start,
                                       reader_namespace_end, &r.bad };
    enum xml_scan_result scanned = xml_scan(data, len, &events);
    if (scanned != XML_SCAN_UNSURE)
        return reader_result(&r, scanned == XML_SCAN_DONE && !r.bad);
    reader_start(&r, request);
    return reader_result(&r, parse_fully(&r, data, len));
}

enum wsd_request_kind wsd_parse_request_fully(const char *data, size_t len,
                                              struct wsd_request *request)
{
    struct request_reader r;
    if (len > 65536)
        return WSD_NOT_A_REQUEST;
    reader_start(&r, request);
    return reader_result(&r, parse_fully(&r, data, len));
}

int wsd_parse_probe(const char *data, size_t len, struct wsd_request *probe)
{
    return wsd_parse_request(data, len, probe) == WSD_PROBE_REQUEST;
}
