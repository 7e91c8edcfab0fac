// The reader of one discovery request, as the XML events of the quick scan
// or of the full parser drive it: where in the envelope it is, what it
// captures, and the namespaces in scope. Shared by the element handlers
// (request.cc) and the namespace handlers (request_namespaces.cc).
#pragma once

#include <expat.h>
#include <stddef.h>

#include "wsd.h"

enum { MAX_DEPTH = 16, MAX_NAMESPACES = 32, ACTION_SIZE = 256, UNDECLARED_MAX = 8 };

/// The namespace the full parser is given for a prefix declared nowhere,
/// the prefix after it. Names in it count as undeclared, wherever it is
/// declared; its declarations do not count towards MAX_NAMESPACES.
#define UNDECLARED_NS "urn:x-undeclared-prefix-7f3a9c:"  // UNDECLARED_MAX prefixes at most

enum capture { CAPTURE_NONE, CAPTURE_ACTION, CAPTURE_MESSAGE_ID, CAPTURE_TYPES, CAPTURE_SCOPES,
               CAPTURE_ADDRESS };

struct namespace_decl {
    char prefix[64];  // "" for the default namespace
    char uri[WSD_NAME_SIZE];
};

struct wsd_request;

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
    struct namespace_decl ns[MAX_NAMESPACES + UNDECLARED_MAX];
    int ns_count, undeclared_count;
    int bad;
    long root_at;  // where the root element's start tag is (the full parser), -1 before it
};

/// The request is not one we read: the reader stops, and so does the
/// parser driving it.
static inline void reader_give_up(struct request_reader *r)
{
    r->bad = 1;
    if (r->parser)  // the quick scan stops on its own
        XML_StopParser(r->parser, XML_FALSE);
}

/// A namespace declaration begins or ends (expat's handlers; `prefix` NULL
/// for the default namespace, `uri` NULL when it is undeclared).
void reader_namespace_start(void *data, const char *prefix, const char *uri);
void reader_namespace_end(void *data, const char *prefix);

/// The namespace `prefix` ("" for the default one) stands for in the
/// declarations in scope now; NULL when none does or it is undeclared.
const char *reader_namespace_of(const struct request_reader *r, const char *prefix);
