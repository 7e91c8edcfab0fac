// WS-Discovery (2005/04) for an ONVIF video transmitter: the device's
// identity and the messages it sends, apart from the sockets so they can be
// tested on plain bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WSD_SOAP_NS "http://www.w3.org/2003/05/soap-envelope"
#define WSD_SOAP11_NS "http://schemas.xmlsoap.org/soap/envelope/"
#define WSD_ADDRESSING_NS "http://schemas.xmlsoap.org/ws/2004/08/addressing"
#define WSD_DISCOVERY_NS "http://schemas.xmlsoap.org/ws/2005/04/discovery"
#define WSD_ONVIF_NETWORK_NS "http://www.onvif.org/ver10/network/wsdl"
#define WSD_ONVIF_DEVICE_NS "http://www.onvif.org/ver10/device/wsdl"

/// The Types the device announces, in the namespaces every message declares.
#define WSD_TYPES "dn:NetworkVideoTransmitter tds:Device"

enum {
    WSD_MESSAGE_ID_SIZE = 256,
    WSD_TYPES_SIZE = 1024,
    WSD_SCOPES_SIZE = 2048,
    WSD_QNAMES_MAX = 16,
    WSD_NAME_SIZE = 256,
    WSD_MESSAGE_SIZE = 4096,  // every message we send fits
    WSD_TEMPLATES_SIZE = 256,
    WSD_XADDRS_SIZE = 1536,   // the templates with each address of a link put in, as many as fit
    WSD_ADDRESS_SIZE = 48,    // "10.0.0.2", "[fd00::1]": an IPv6 address in brackets
    WSD_ENDPOINT_SIZE = 46,   // "urn:uuid:" and a UUID, and the terminator
};

struct wsd_config;
typedef void (*wsd_config_report)(const char *problem);

/// What the device announces, as its configuration says now: its scopes
/// (white space separated), its XAddrs templates ({address} standing for
/// the address of the link), the MetadataVersion of that description, and
/// whether it is discoverable at all.
struct wsd_description {
    char scopes[WSD_SCOPES_SIZE];
    size_t fixed_scopes;  // the length of the first scopes, which are never left out
    char templates[WSD_TEMPLATES_SIZE];
    unsigned long metadata_version;
    int discoverable;
    char endpoint[WSD_ENDPOINT_SIZE];  // the configured one, or wsd_endpoint()
};

/// A copy of the description now: read from the configuration files on
/// first use, and again by each wsd_reload. Safe from any thread.
void wsd_describe(struct wsd_description *out);

/// Reads the configuration files again (their problems go to the log); the
/// description from now on, with its MetadataVersion one greater when its
/// Types, Scopes or XAddrs templates differ from those last announced.
/// Returns whether the description or the mode changed.
int wsd_reload(void);

enum { WSD_REFUSED_KEPT = 16, WSD_REFUSED_SIZE = 256 };

/// The problems the last reading of the files logged ("path:line: what is
/// wrong"), the first WSD_REFUSED_KEPT, into `out`; returns how many.
int wsd_refused(char out[][WSD_REFUSED_SIZE]);

/// Whether the device is discoverable now: cheap enough for each datagram.
int wsd_discoverable(void);

/// Whether the interface `ifindex` is one of the links to use, as the
/// configuration says now (every one when it says nothing), by the
/// kernel's name for the device (never an address's label, as "eth0:1"):
/// the one rule every caller asks. 0 for an interface that is gone.
int wsd_link_used(int ifindex);

/// Whether the configuration allows answers to the sender `from` (mapped:
/// ::ffff:a.b.c.d for IPv4) although it is not on the link.
int wsd_allows(const unsigned char from[16]);

/// The description a configuration gives (the MetadataVersion aside): the
/// fixed scopes (the type and profile, the hardware address, the serial
/// number when given), the hardware, name and location ones (defaults for
/// those not given), the further scopes; the last scopes but the fixed
/// ones left out, and said to `report`, when an answer would not fit one
/// message.
void wsd_compose_description(const struct wsd_config *c, struct wsd_description *d,
                             wsd_config_report report);

/// Whether every message with the description `d` fits, on any link (one
/// address each).
int wsd_description_fits(const struct wsd_description *d);

/// How long the XAddrs of a message with the description `d` may be, as
/// put in the message (escaped).
size_t wsd_xaddrs_room(const struct wsd_description *d);

/// How many bytes longer `s` is escaped as character data ('&' as "&amp;",
/// '<' and '>' as "&lt;" and "&gt;").
size_t wsd_escapes(const char *s);

/// The XAddrs of a link whose address is `address`: `templates` with each
/// {address} replaced. Returns the length, 0 when it does not fit `size`.
size_t wsd_xaddrs(const char *templates, const char *address, char *out, size_t size);

/// The device's own endpoint address, "urn:uuid:...", derived from what
/// makes it this device (the machine id, else a hardware address): the
/// same across restarts and interfaces. A configured one takes its place
/// in the description.
const char *wsd_endpoint(void);

/// Where wsd_endpoint() came from: "machine-id", "hardware address" or
/// "host name".
const char *wsd_endpoint_source(void);

enum { WSD_HARDWARE_ADDRESS_SIZE = 18 };  // "02:00:00:00:00:01" and the terminator

/// The device's hardware address, as the kernel prints it (lower-case hex
/// pairs and colons), into `out`: that of eth0, else wlan0, else the first
/// other interface by name (up or not) with a 6-byte Ethernet address
/// that is not all zeros, loopback aside: the same from boot to boot.
/// Returns 0 when there is none.
int wsd_hardware_address(char out[WSD_HARDWARE_ADDRESS_SIZE]);

/// Writes a fresh "urn:uuid:..." into `out` (at least 46 bytes).
void wsd_new_uuid(char *out);

/// FNV-1a of `len` bytes of `text`, continuing from `hash` (start with
/// WSD_HASH_START): fast and well spread, not for secrets.
#define WSD_HASH_START 0xcbf29ce484222325ULL
uint64_t wsd_hash(uint64_t hash, const char *text, size_t len);

/// The matching rules for Scopes the device supports (request.h), as a
/// fault lists them.
#define WSD_SUPPORTED_RULES WSD_DISCOVERY_NS "/rfc3986 " WSD_DISCOVERY_NS "/strcmp0"

enum wsd_kind { WSD_HELLO, WSD_BYE, WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES, WSD_RULE_FAULT };

/// Composes a Hello, Bye, ProbeMatches or ResolveMatches message, or the
/// SOAP fault for a Probe with a matching rule we do not support, into
/// `out` (of `size` bytes). `relates_to` is the request's MessageID for
/// the matches and the fault; `xaddrs` the device service URLs for Hello
/// and the matches. Returns the length, or 0 when it does not fit.
size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to,
                   const char *xaddrs);

/// wsd_message for the description `said` (NULL: the one now), as a Bye
/// for what the device was before a reload is.
size_t wsd_message_with(const struct wsd_description *said, char *out, size_t size, enum wsd_kind kind,
                        const char *relates_to, const char *xaddrs);

/// What a message left out to fit.
struct wsd_cut {
    int xaddrs, scopes;
};

/// A message as wsd_message_with composes it, in a SOAP 1.1 envelope when
/// `soap11` (an answer to a request that came in one), of at most `limit`
/// bytes (what the link carries in one datagram unfragmented, and
/// WSD_MESSAGE_SIZE at most): what does not fit is left out in one order,
/// the last XAddrs first (one stays), then the last scopes but the fixed
/// ones, and *cut says how many of each. Returns the length, 0 when even
/// so it does not fit (nothing is to be sent).
size_t wsd_message_fitted(char *out, size_t limit, enum wsd_kind kind, const char *relates_to, int soap11,
                          const char *xaddrs, const struct wsd_description *said, struct wsd_cut *cut);

/// The service's own state, which its user alone writes (the run-time
/// description lives elsewhere, where only root writes: config.h).
#define WSD_STATE_DIR "/var/lib/discovery-daemon"
/// Where the last InstanceId is kept across restarts of the service.
#define WSD_INSTANCE_ID_FILE WSD_STATE_DIR "/instance-id"
/// Where the last MetadataVersion is kept, with the description it was for.
#define WSD_METADATA_VERSION_FILE WSD_STATE_DIR "/metadata-version"
/// Where the mode in force is kept (1 discoverable, 0 not), for a start
/// whose configuration says nothing usable about it.
#define WSD_MODE_FILE WSD_STATE_DIR "/discoverable"

/// The InstanceId for a start of the service at `now` (seconds): greater
/// than the one kept in `path` (max(kept + 1, now)), so it grows across
/// every restart, even two in one second or with the clock behind. A
/// missing, corrupt or truncated file counts as none kept. The new value is
/// written back atomically (temporary file, fsync, rename; the directory is
/// made if missing); *saved tells whether that worked.
unsigned long wsd_next_instance_id(const char *path, unsigned long now, int *saved);

/// The MetadataVersion for a description whose hash is `hash`, by the one
/// rule: the one kept in `path` when it was for the same description, one
/// greater when not, 1 when none is kept; never below `floor` (what this
/// start announced before). Written back as instance ids are when the file
/// does not say so already; *saved tells whether the file now holds it. No
/// clock: a later start that can write reads the same file, so it never
/// announces less than a start that could not.
unsigned long wsd_next_metadata_version(const char *path, uint64_t hash, unsigned long floor, int *saved);

/// The mode kept in `path` into *mode; 0 when none is kept.
int wsd_kept_mode(const char *path, int *mode);

/// Keeps `mode` in `path`, written only when it says otherwise.
void wsd_keep_mode(const char *path, int mode);
