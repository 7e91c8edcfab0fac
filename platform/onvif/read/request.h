// read/: the requests a target service answers, Probe and Resolve, read
// from a datagram: the lexical pieces (xml_tokens.cc) of the quick scan of
// the common forms (xml_scan.cc), the full XML parser for the rest
// (xml_parser.cc), the namespaces in scope (request_namespaces.cc) and the
// request the reader makes of them (request.cc), in that order upwards. It
// calls only the ground floor (wsd.h) and the XML parser (expat).
#pragma once

#include <stddef.h>

#include "wsd.h"

/// A Probe's Types, each resolved to its namespace and local name.
struct wsd_qname {
    char ns[WSD_NAME_SIZE];
    char local[WSD_NAME_SIZE];
};

/// What a datagram asks for.
enum wsd_request_kind { WSD_NOT_A_REQUEST, WSD_PROBE_REQUEST, WSD_RESOLVE_REQUEST };

/// A Probe (every field but resolve_address), or a Resolve (message_id and
/// resolve_address).
struct wsd_request {
    char message_id[WSD_MESSAGE_ID_SIZE];
    char resolve_address[WSD_NAME_SIZE];  // the EndpointReference a Resolve names
    struct wsd_qname types[WSD_QNAMES_MAX];
    int type_count;
    int types_unresolved;  // a prefix had no namespace in scope
    char scopes[WSD_SCOPES_SIZE];  // as written, white space separated
    char match_by[WSD_NAME_SIZE];  // empty: the default rule
    int soap11;  // in a SOAP 1.1 envelope, to be answered in one
    int readable;  // well-formed and read whole, a request or not
};

/// Parses one datagram as a Probe (a well-formed SOAP 1.2 or SOAP 1.1
/// WS-Discovery Probe with a MessageID) or as a Resolve (the same, with an
/// EndpointReference Address), or as neither: other messages, broken or
/// oversized XML, document type declarations, nesting deeper than a
/// request needs, an undeclared prefix on an element. An attribute whose
/// prefix is declared nowhere (as some clients write mustUnderstand) is
/// ignored.
enum wsd_request_kind wsd_parse_request(const char *data, size_t len, struct wsd_request *request);

/// The same, read by the full XML parser alone, as the quick scan of the
/// common forms must read them too (the fuzz target compares the two).
enum wsd_request_kind wsd_parse_request_fully(const char *data, size_t len,
                                              struct wsd_request *request);

/// Whether the datagram is a Probe (wsd_parse_request, Probes only).
int wsd_parse_probe(const char *data, size_t len, struct wsd_request *probe);

/// The next white-space separated token at *s: returns its start and sets
/// *len (0 at the end), and moves *s past it.
const char *wsd_next_token(const char **s, size_t *len);
