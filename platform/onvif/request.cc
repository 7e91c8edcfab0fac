// Reading Probes and Resolves with a namespace-aware XML parser. Clients
// differ in prefixes, in where they declare namespaces and in default
// namespaces; only the namespaces and local names count.

#include <ctype.h>
#include <expat.h>
#include <pthread.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>

#include "request.h"
#include "wsd.h"

enum { MAX_DEPTH = 16, MAX_NAMESPACES = 32, ACTION_SIZE = 256 };

enum capture { CAPTURE_NONE, CAPTURE_ACTION, CAPTURE_MESSAGE_ID, CAPTURE_TYPES, CAPTURE_SCOPES,
               CAPTURE_ADDRESS };

struct namespace_decl {
    char prefix[64];  // "" for the default namespace
    char uri[WSD_NAME_SIZE];
};

struct request_reader {
    XML_Parser parser;
    struct wsd_request *request;
    int depth;
    int in_header, in_body, in_probe;  // depth at which each opened, 0 when outside
    int in_resolve, in_endpoint;
    int seen_probe, seen_resolve;
    enum capture capture;
    int capture_depth;
    char *text;  // the buffer being captured into
    size_t text_size, text_len;
    char action[ACTION_SIZE];
    char types[WSD_TYPES_SIZE];
    struct namespace_decl ns[MAX_NAMESPACES];
    int ns_count;
    int bad;
};

static void give_up(struct request_reader *r)
{
    r->bad = 1;
    XML_StopParser(r->parser, XML_FALSE);
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
        give_up(r);  // nothing we read has child elements
        return;
    }
    if (d == 1) {
        if (!is_element(name, WSD_SOAP_NS, "Envelope"))
            give_up(r);
    } else if (d == 2) {
        if (is_element(name, WSD_SOAP_NS, "Header"))
            r->in_header = d;
        else if (is_element(name, WSD_SOAP_NS, "Body"))
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
            for (int i = 0; attrs[i]; i += 2)
                if (strcmp(attrs[i], "MatchBy") == 0 &&
                    strlen(attrs[i + 1]) < sizeof r->request->match_by)
                    strcpy(r->request->match_by, attrs[i + 1]);
        }
    }
}

static const char *lookup_namespace(const struct request_reader *r, const char *prefix)
{
    if (strcmp(prefix, "xml") == 0)
        return "http://www.w3.org/XML/1998/namespace";
    for (int i = r->ns_count - 1; i >= 0; i--)
        if (strcmp(r->ns[i].prefix, prefix) == 0)
            return r->ns[i].uri[0] ? r->ns[i].uri : NULL;  // xmlns="" undeclares
    return NULL;
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
            give_up(r);
            return;
        }
        char qname[WSD_NAME_SIZE];
        memcpy(qname, token, len);
        qname[len] = '\0';

        char *colon = strchr(qname, ':');
        const char *local = colon ? colon + 1 : qname;
        if (colon)
            *colon = '\0';
        const char *uri = lookup_namespace(r, colon ? qname : "");
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
        give_up(r);
        return;
    }
    memcpy(r->text + r->text_len, text, (size_t)len);
    r->text_len += (size_t)len;
    r->text[r->text_len] = '\0';
}

static void on_namespace_start(void *data, const char *prefix, const char *uri)
{
    struct request_reader *r = (struct request_reader *)data;
    if (!prefix)
        prefix = "";
    if (!uri)
        uri = "";
    if (r->ns_count == MAX_NAMESPACES || strlen(prefix) >= sizeof r->ns[0].prefix ||
        strlen(uri) >= sizeof r->ns[0].uri) {
        give_up(r);
        return;
    }
    strcpy(r->ns[r->ns_count].prefix, prefix);
    strcpy(r->ns[r->ns_count].uri, uri);
    r->ns_count++;
}

// Declarations end in the reverse order they began.
static void on_namespace_end(void *data, const char *)
{
    struct request_reader *r = (struct request_reader *)data;
    if (r->ns_count > 0)
        r->ns_count--;
}

// No Probe needs a document type; refusing it refuses entity expansion.
static void on_doctype(void *data, const char *, const char *, const char *, int)
{
    give_up((struct request_reader *)data);
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

// One parser per thread, reset for each Probe instead of made anew, and
// freed when its thread ends (a cancelled one too).
static pthread_once_t parser_once = PTHREAD_ONCE_INIT;
static pthread_key_t parser_key;

// The secret that seeds the parser's name hashing against crafted
// collisions: drawn once for the process. Expat would otherwise draw a
// new one from the kernel at every reset, a system call per Probe. Zero
// (no random bytes to be had) leaves expat to draw its own.
static unsigned long hash_salt;

static void free_parser(void *parser)
{
    XML_ParserFree((XML_Parser)parser);
}

static void make_parser_key(void)
{
    pthread_key_create(&parser_key, free_parser);
    if (getrandom(&hash_salt, sizeof hash_salt, GRND_NONBLOCK) != (ssize_t)sizeof hash_salt)
        hash_salt = 0;
}

static XML_Parser thread_parser(void)
{
    pthread_once(&parser_once, make_parser_key);
    XML_Parser parser = (XML_Parser)pthread_getspecific(parser_key);
    if (parser) {
        XML_ParserReset(parser, NULL);  // clears the handlers and the salt too
    } else {
        parser = XML_ParserCreateNS(NULL, ' ');
        if (parser && pthread_setspecific(parser_key, parser) != 0) {
            XML_ParserFree(parser);
            return NULL;
        }
    }
    if (parser && hash_salt)
        XML_SetHashSalt(parser, hash_salt);
    return parser;
}

enum wsd_request_kind wsd_parse_request(const char *data, size_t len, struct wsd_request *request)
{
    // Both records are large; only what is read before it is written is
    // cleared (clearing them whole was a fifth of the work per Probe).
    struct request_reader r;
    r.request = request;
    r.depth = r.in_header = r.in_body = r.in_probe = r.seen_probe = 0;
    r.in_resolve = r.in_endpoint = r.seen_resolve = 0;
    r.capture = CAPTURE_NONE;
    r.action[0] = r.types[0] = '\0';
    r.ns_count = 0;
    r.bad = 0;
    request->message_id[0] = request->scopes[0] = request->match_by[0] = '\0';
    request->resolve_address[0] = '\0';
    request->type_count = request->types_unresolved = 0;

    if (len > 65536)
        return WSD_NOT_A_REQUEST;
    r.parser = thread_parser();
    if (!r.parser)
        return WSD_NOT_A_REQUEST;
    XML_SetUserData(r.parser, &r);
    XML_SetElementHandler(r.parser, on_start, on_end);
    XML_SetCharacterDataHandler(r.parser, on_text);
    XML_SetNamespaceDeclHandler(r.parser, on_namespace_start, on_namespace_end);
    XML_SetStartDoctypeDeclHandler(r.parser, on_doctype);

    int ok = XML_Parse(r.parser, data, (int)len, XML_TRUE) == XML_STATUS_OK && !r.bad;
    if (!ok || r.seen_probe + r.seen_resolve != 1)
        return WSD_NOT_A_REQUEST;
    trim(r.action);
    trim(request->message_id);
    trim(request->match_by);
    trim(request->resolve_address);
    if (request->message_id[0] == '\0')
        return WSD_NOT_A_REQUEST;
    if (r.seen_probe)
        return strcmp(r.action, WSD_DISCOVERY_NS "/Probe") == 0 ? WSD_PROBE_REQUEST
                                                                 : WSD_NOT_A_REQUEST;
    return strcmp(r.action, WSD_DISCOVERY_NS "/Resolve") == 0 && request->resolve_address[0] != '\0'
               ? WSD_RESOLVE_REQUEST
               : WSD_NOT_A_REQUEST;
}

int wsd_parse_probe(const char *data, size_t len, struct wsd_request *probe)
{
    return wsd_parse_request(data, len, probe) == WSD_PROBE_REQUEST;
}
