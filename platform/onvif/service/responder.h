// service/: the target service itself. The hello and probe loops with
// the Bye (loops.cc) over the directed socket (directed.cc), the answers
// held back (pending.cc) and the responder (responder.cc), which matches
// a request against the device (matching.cc); the status the loops keep
// (status.cc). It calls every folder below it.
//
// What a request gets: a datagram read as a Probe or a Resolve, matched
// against the device, checked for repeats, and the answer it is owed,
// naming the device service's address on the link the request came in on
// (composed when it is sent: a held answer keeps only what it needs).
#pragma once

#include <stddef.h>

#include "describe/messages.h"
#include "network/datagram.h"
#include "wsd.h"

/// An answer owed: its kind, the MessageID it relates to, and the SOAP
/// version of the request's envelope, which the answer's takes.
struct answer {
    enum wsd_kind kind;  // WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES or WSD_RULE_FAULT
    int soap11;
    char relates_to[WSD_MESSAGE_ID_SIZE];
};

/// Asked for each datagram that arrived (as *a, `len` bytes; 0: too long
/// to be read) before anything of it is read: whether it is to be read
/// (admission_check). Counts what it says, and that the link heard it.
int responder_admit(const struct arrival *a, size_t len);

/// Reads the datagram that arrived as *a. When it is a Probe this device
/// matches or a Resolve naming it, or a Probe sent to the device itself
/// with a matching rule it does not support (a fault), and not a repeat
/// from the same sender within its share (admission_take), fills *out and
/// returns 1; otherwise returns 0.
int responder_read(const char *data, size_t len, const struct arrival *a, struct answer *out);

/// Composes the answer owed to *a into `out` (WSD_MESSAGE_SIZE bytes): an
/// IPv4 request's names the link's IPv4 address, an IPv6 one's the link's
/// IPv6 address; within what one datagram on that link carries whole
/// (responder_fit). Returns its length, 0 when there is none to name or it
/// does not fit.
size_t responder_compose(const struct answer *answer, const struct arrival *a, char *out);

/// A message of `kind` for the link *l (its XAddrs `xaddrs`; the
/// description `said`, NULL for the one now) into `out` (WSD_MESSAGE_SIZE
/// bytes), within what one datagram there carries whole (link_room): what
/// does not fit is left out (wsd_message_fitted), and the log says so once
/// for each change of what is left out on a link. Returns the length, 0
/// when it cannot be sent whole.
size_t responder_fit(char *out, const struct link *l, enum wsd_kind kind, const char *relates_to, int soap11,
                     const char *xaddrs, const struct wsd_description *said);

/// Composes the answer owed to *a and hands it to the kernel, on `sock`,
/// or when `sock` is -1 on the socket current for `via`, if it may still
/// leave (admission_answerable: a reload may have hidden the device,
/// dropped the link or the sender's prefix since it arrived). Sent, it counts
/// as given (admission_given); not sent, its share goes back
/// (admission_untake).
void responder_send(int sock, enum datagram_via via, const struct arrival *a,
                    const struct answer *answer);
