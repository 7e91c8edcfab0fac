// The messages the device sends: Hello, Bye, the answers to Probe and
// Resolve, and the fault for a matching rule it does not support, each for
// the description it is given, and the room a description takes in them.
#pragma once

#include <stddef.h>

#include "wsd.h"

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

/// The matching rules for Scopes the device supports (service/matching.h),
/// as a fault lists them.
#define WSD_SUPPORTED_RULES WSD_DISCOVERY_NS "/rfc3986 " WSD_DISCOVERY_NS "/strcmp0"

enum wsd_kind { WSD_HELLO, WSD_BYE, WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES, WSD_RULE_FAULT };

/// Composes a Hello, Bye, ProbeMatches or ResolveMatches message for the
/// description `said` (the fault, which describes nothing, takes NULL), or
/// the SOAP fault for a Probe with a matching rule we do not support, into
/// `out` (of `size` bytes). `relates_to` is the request's MessageID for
/// the matches and the fault; `xaddrs` the device service URLs for Hello
/// and the matches. Returns the length, or 0 when it does not fit or a
/// message that describes the device is given no description.
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
