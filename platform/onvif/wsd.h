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

/// What a datagram asks for.
enum wsd_request { WSD_NOT_A_REQUEST, WSD_PROBE_REQUEST, WSD_RESOLVE_REQUEST };

/// A Probe, or a Resolve (message_id and resolve_address only).
struct wsd_probe {
    char message_id[WSD_MESSAGE_ID_SIZE];
    char resolve_address[WSD_NAME_SIZE];  // the EndpointReference a Resolve names
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

/// Parses one datagram as a Probe or as a Resolve (a well-formed SOAP 1.2
/// WS-Discovery Resolve with a MessageID and an EndpointReference Address).
enum wsd_request wsd_parse_request(const char *data, size_t len, struct wsd_probe *request);

/// Whether a Resolve names this device's EndpointReference.
int wsd_resolve_matches(const struct wsd_probe *resolve);

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

enum wsd_kind { WSD_HELLO, WSD_BYE, WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES };

/// Composes a Hello, Bye, ProbeMatches or ResolveMatches message into `out`
/// (of `size` bytes). `relates_to` is the request's MessageID for the
/// matches; `xaddrs` the device service URLs for all but Bye. Returns the
/// length, or 0 when it does not fit.
size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to,
                   const char *xaddrs);

/// Writes `text` into `out` with the XML escapes for character data.
void wsd_escape(char *out, size_t size, const char *text);

/// Where the last InstanceId is kept across restarts of the service.
#define WSD_INSTANCE_ID_FILE "/var/lib/discovery/instance-id"

/// The InstanceId for a start of the service at `now` (seconds): greater
/// than the one kept in `path` (max(kept + 1, now)), so it grows across
/// every restart, even two in one second or with the clock behind. A
/// missing, corrupt or truncated file counts as none kept. The new value is
/// written back atomically (temporary file, fsync, rename; the directory is
/// made if missing); *saved tells whether that worked.
unsigned long wsd_next_instance_id(const char *path, unsigned long now, int *saved);
