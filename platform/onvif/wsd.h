// WS-Discovery (2005/04) for an ONVIF video transmitter: the pieces of the
// discovery library stand-in, apart from its sockets so they can be tested
// on plain bytes.
#pragma once

#include <stddef.h>

#define WSD_SOAP_NS "http://www.w3.org/2003/05/soap-envelope"
#define WSD_ADDRESSING_NS "http://schemas.xmlsoap.org/ws/2004/08/addressing"
#define WSD_DISCOVERY_NS "http://schemas.xmlsoap.org/ws/2005/04/discovery"
#define WSD_ONVIF_NETWORK_NS "http://www.onvif.org/ver10/network/wsdl"
#define WSD_ONVIF_DEVICE_NS "http://www.onvif.org/ver10/device/wsdl"

enum {
    WSD_MESSAGE_ID_SIZE = 256,
    WSD_TYPES_SIZE = 1024,
    WSD_SCOPES_SIZE = 2048,
    WSD_QNAMES_MAX = 16,
    WSD_NAME_SIZE = 256,
    WSD_MESSAGE_SIZE = 4096,  // every message we send fits
};

/// A Probe's Types, each resolved to its namespace and local name.
struct wsd_qname {
    char ns[WSD_NAME_SIZE];
    char local[WSD_NAME_SIZE];
};

struct wsd_probe {
    char message_id[WSD_MESSAGE_ID_SIZE];
    struct wsd_qname types[WSD_QNAMES_MAX];
    int type_count;
    int types_unresolved;  // a prefix had no namespace in scope
    char scopes[WSD_SCOPES_SIZE];  // as written, white space separated
    char match_by[WSD_NAME_SIZE];  // empty: the default rule
};

/// Parses one datagram. Returns 1 when it is a well-formed SOAP 1.2
/// WS-Discovery Probe with a MessageID, 0 for anything else: other
/// messages, broken or oversized XML, document type declarations, nesting
/// deeper than a Probe needs.
int wsd_parse_probe(const char *data, size_t len, struct wsd_probe *probe);

/// Whether the device matches the Probe: every Type it asks for is one of
/// ours (none asked matches), and every Scope it asks for matches one of
/// ours by its MatchBy rule (RFC 3986 by default; strcmp0; anything else
/// matches nothing).
int wsd_probe_matches(const struct wsd_probe *probe);

/// Whether `ask` matches `have` by the RFC 3986 rule: scheme and authority
/// alike but for case, the path of `ask` a segment-wise prefix of `have`'s.
int wsd_scope_matches(const char *ask, const char *have);

/// The device's scopes, white space separated.
const char *wsd_scopes(void);

/// The device's endpoint address, "urn:uuid:...": the same across restarts
/// and interfaces.
const char *wsd_endpoint(void);

/// Writes a fresh "urn:uuid:..." into `out` (at least 46 bytes).
void wsd_new_uuid(char *out);

enum wsd_kind { WSD_HELLO, WSD_BYE, WSD_PROBE_MATCHES };

/// Composes a Hello, Bye or ProbeMatches message into `out` (of `size`
/// bytes). `relates_to` is the Probe's MessageID for a ProbeMatches;
/// `xaddrs` the device service URLs for Hello and ProbeMatches. Returns the
/// length, or 0 when it does not fit.
size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to,
                   const char *xaddrs);

/// Writes `text` into `out` with the XML escapes for character data.
void wsd_escape(char *out, size_t size, const char *text);
