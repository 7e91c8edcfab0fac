// Reading Probes and Resolves: the elements of the envelope a request is
// read from, by the quick scan or by the full XML parser, and what the
// reader makes of them. Names come resolved to their namespaces
// (request_namespaces.cc); only the namespaces and local names count.

#include <ctype.h>
#include <string.h>

#include "request.h"
#include "request_reader.h"
#include "wsd.h"
#include "xml_parser.h"
#include "xml_scan.h"

void reader_give_up(struct request_reader *r)
{
    r->bad = 1;
    if (r->parser)  // the quick scan stops on its own
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
        reader_give_up(r);  // nothing we read has child elements
        return;
    }
    if (d == 1) {
        if (!is_element(name, WSD_SOAP_NS, "Envelope"))
            reader_give_up(r);
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

static void on_end(void *data, const char *)
{
    struct request_reader *r = (struct request_reader *)data;
    int d = r->depth--;

    if (r->capture != CAPTURE_NONE && d == r->capture_depth) {
        if (r->capture == CAPTURE_TYPES)
            reader_resolve_types(r);
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
    r->ns_count = 0;
    r->bad = 0;
    request->message_id[0] = request->scopes[0] = request->match_by[0] = '\0';
    request->resolve_address[0] = '\0';
    request->type_count = request->types_unresolved = 0;
}

// The full parser's reading; whether it found the document well-formed
// and the reader kept to it.
static int parse_fully(struct request_reader *r, const char *data, size_t len)
{
    r->parser = xml_thread_parser();
    if (!r->parser)
        return 0;
    XML_SetUserData(r->parser, r);
    XML_SetElementHandler(r->parser, on_start, on_end);
    XML_SetCharacterDataHandler(r->parser, on_text);
    XML_SetNamespaceDeclHandler(r->parser, reader_namespace_start, reader_namespace_end);
    XML_SetStartDoctypeDeclHandler(r->parser, on_doctype);
    return XML_Parse(r->parser, data, (int)len, XML_TRUE) == XML_STATUS_OK && !r->bad;
}

// The request the reader saw, once the document is read.
static enum wsd_request_kind reader_result(struct request_reader *r, int ok)
{
    struct wsd_request *request = r->request;
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
