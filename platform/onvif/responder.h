// What a request gets: a datagram read as a Probe or a Resolve, matched
// against the device, checked for repeats, and the answer it is owed,
// naming the device service's address on the link the request came in on.
#pragma once

#include <stddef.h>

#include "datagram.h"
#include "wsd.h"

/// An answer owed: its kind, the MessageID it relates to and the XAddrs it
/// names.
struct answer {
    enum wsd_kind kind;  // WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES or WSD_RULE_FAULT
    char relates_to[WSD_MESSAGE_ID_SIZE];
    char xaddrs[WSD_XADDRS_SIZE];
};

/// Reads the datagram that arrived as *a. When it is a Probe this device
/// matches or a Resolve naming it, or a Probe sent to the device itself
/// with a matching rule it does not support (a fault), and not a repeat
/// from the same sender within its share (admission_take), fills *out and
/// returns 1; otherwise returns 0. An IPv4
/// request is answered with the link's IPv4 address, an IPv6 one with the
/// link's IPv6 address.
int responder_read(const char *data, size_t len, const struct arrival *a, struct answer *out);

/// Composes the answer into `out` (WSD_MESSAGE_SIZE bytes); returns its
/// length, 0 when it does not fit.
size_t responder_compose(const struct answer *answer, char *out, size_t size);
