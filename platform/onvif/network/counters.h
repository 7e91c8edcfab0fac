// What the service did, and why it did not: counters for each link
// (interface and family), the last requesters with what each got or why
// not, when each link last heard anything from anyone, and the log lines
// lost. Read by the status document (status.h) and summarised in the log,
// at most one line a minute for each reason and link, never one a datagram.
#pragma once

#include <stdint.h>

#include "datagram.h"

enum counter {
    // Requests read: Probes and Resolves, to a group or to the device.
    COUNT_PROBE_GROUP,
    COUNT_PROBE_DIRECTED,
    COUNT_RESOLVE_GROUP,
    COUNT_RESOLVE_DIRECTED,
    COUNT_ANSWERED,
    // A datagram not answered, by why (the refusals).
    COUNT_NOT_ON_LINK,   // its sender is not on the link, nor allowed
    COUNT_EXCLUDED,      // it came in on a link the configuration leaves out
    COUNT_HIDDEN,        // the device is not discoverable
    COUNT_SOCKET_SHARE,  // its sender's socket (address and port) spent its share
    COUNT_ADDRESS_SHARE, // its sender's address spent its share
    COUNT_REPEAT,        // a request answered within the last 5 s
    COUNT_UNMATCHED,     // a Probe or Resolve the device does not match
    COUNT_MALFORMED,     // not well-formed, or not read (too deep, too long a field)
    COUNT_TOO_LARGE,     // longer than a datagram is read
    COUNT_QUEUE_FULL,    // its answer found no room among those held
    COUNT_WITHDRAWN,     // answered no more by the time its answer was due
    COUNT_SEND_FAILED,   // its answer not taken by the kernel
    COUNT_TOO_LONG,      // its answer larger than the link carries whole
    // Not requests, and the device's own messages.
    COUNT_OTHER,         // other messages: Hellos, Byes, other devices' answers
    COUNT_HELLO,
    COUNT_BYE,
    COUNT_CUT,           // messages that left XAddrs or scopes out to fit the link
    COUNTERS
};

/// Each counter's name in the status document ("not_on_link").
extern const char *const counter_names[COUNTERS];

/// Whether the counter is a reason a datagram was not answered.
int counter_refusal(enum counter c);

/// Counts one of `c` on the link `ifindex` of `family` (AF_INET, AF_INET6).
void counters_add(int family, int ifindex, enum counter c);

/// Counts what the datagram that arrived as *a got (`c`: COUNT_ANSWERED or
/// a refusal), and keeps it among the last requesters.
void counters_outcome(const struct arrival *a, enum counter c);

/// Counts a send on the link that failed with `error` (errno).
void counters_send_failed(int family, int ifindex, int error);

/// The link the datagram *a arrived on heard something now.
void counters_heard(const struct arrival *a);

/// A port the device's own announcements leave from.
void counters_own_port(int family, uint16_t port);

/// Whether *a is one of the device's own announcements, looped back: from
/// one of its addresses and the port of its announcements. Not counted,
/// nor read.
int counters_own(const struct arrival *a);

/// Grows with every count: the status is written again when it changed.
unsigned long counters_generation(void);

/// Once a minute: one log line for each reason and link with refusals
/// since the last, naming how many and the last sender.
void counters_summarise(void);

/// The counts of one link, for the status.
struct link_counts {
    int family, ifindex;
    unsigned long count[COUNTERS];
    double heard_s;  // monotonic seconds, 0: never
    int errors[4], error_counts[4];  // the errors sends failed with
};

/// The links counted so far into `out` (`room` entries); returns how many.
int counters_links(struct link_counts *out, int room);

/// One of the last requesters: who, when, and what it got or why not.
struct requester {
    unsigned char from[16];  // mapped
    uint16_t port;
    int ifindex;
    double at_s;  // monotonic
    enum counter outcome;
};

enum { REQUESTERS_KEPT = 8 };

/// The last requesters, the latest first, into `out` (REQUESTERS_KEPT);
/// returns how many.
int counters_requesters(struct requester *out);
