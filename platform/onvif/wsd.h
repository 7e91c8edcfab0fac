// WS-Discovery (2005/04) for an ONVIF video transmitter: the device's
// identity and the messages it sends, apart from the sockets so they can be
// tested on plain bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

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

/// The device's scopes, white space separated.
const char *wsd_scopes(void);

/// The device's endpoint address, "urn:uuid:...": the same across restarts
/// and interfaces.
const char *wsd_endpoint(void);

/// Writes a fresh "urn:uuid:..." into `out` (at least 46 bytes).
void wsd_new_uuid(char *out);

/// FNV-1a of `len` bytes of `text`, continuing from `hash` (start with
/// WSD_HASH_START): fast and well spread, not for secrets.
#define WSD_HASH_START 0xcbf29ce484222325ULL
uint64_t wsd_hash(uint64_t hash, const char *text, size_t len);

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
