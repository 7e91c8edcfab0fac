// The requests a target service answers, Probe and Resolve: read from a
// datagram with a namespace-aware XML parser, and matched against the
// device.
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

/// How the device matches a Probe: every Type it asks for must be one of
/// ours (none asked matches), and every Scope it asks for must match one
/// of ours by its MatchBy rule (RFC 3986 by default, or WS-Discovery
/// 2005/04's own default, RFC 2396, which means the same for our scopes,
/// or strcmp0); a Probe for our Types with any other rule asks for one we
/// do not support.
enum wsd_match { WSD_NOT_MATCHED, WSD_MATCHED, WSD_RULE_NOT_SUPPORTED };
enum wsd_match wsd_probe_match(const struct wsd_request *probe);

/// Whether the device matches the Probe (wsd_probe_match, WSD_MATCHED).
int wsd_probe_matches(const struct wsd_request *probe);

/// Whether a Resolve names this device's EndpointReference.
int wsd_resolve_matches(const struct wsd_request *resolve);

/// Whether `ask` matches `have` by the RFC 3986 rule: scheme and authority
/// alike but for case, the path of `ask` a segment-wise prefix of `have`'s.
int wsd_scope_matches(const char *ask, const char *have);

/// The next white-space separated token at *s: returns its start and sets
/// *len (0 at the end), and moves *s past it.
const char *wsd_next_token(const char **s, size_t *len);
