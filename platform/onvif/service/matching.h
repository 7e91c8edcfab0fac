// Matching a request against the device: its Types, its Scopes by their
// MatchBy rule, a Resolve by our EndpointReference.
#pragma once

#include "read/request.h"

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
