// describe/: what the device says of itself. Who it is (identity.cc) and
// what it keeps across restarts (state.cc) at the bottom, the messages
// that say it (messages.cc) above them, and on top its description as the
// configuration gives it now (description.cc). It calls config/ and the
// ground floor, nothing above.
#pragma once

#include <stddef.h>

#include "config/config.h"
#include "messages.h"
#include "wsd.h"

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

/// wsd_message_with for the description now.
size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to,
                   const char *xaddrs);
