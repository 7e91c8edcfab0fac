// Answers to requests sent to a discovery group, each held back for a
// random time spread evenly over [0, PENDING_DELAY_MS): a site's devices
// must not all answer a Probe in the same millisecond, or the client's
// receive buffer overflows and devices go missing. WS-Discovery allows up
// to 500 ms; some clients stop listening 500 ms after their Probe when
// nothing came, so the last answer leaves well before that. A held answer
// keeps what it needs to be composed when it falls due: its kind, the
// request's MessageID, and where the request came from and arrived.
#pragma once

#include "network/datagram.h"
#include "responder.h"

// Room for what the device owes at 1,000 answers a second and more, with
// the delays spread as they are (about 200 held at a time).
enum { PENDING_DELAY_MS = 400, PENDING_LIMIT = 512 };

/// Holds `answer` for `a`'s sender, to go by the socket current for `via`
/// when its time comes. Not held, and its share given back, when
/// PENDING_LIMIT answers are waiting already, when its sender has its
/// burst held already, or when the same request of the same sender is held
/// already; nothing is held after the Bye. Safe from any thread; from a
/// thread other than the one that sends them, `wake_sender` has that one
/// woken through pending_wake_fd.
void pending_add(enum datagram_via via, const struct arrival *a, const struct answer *answer,
                 int wake_sender);

/// Milliseconds until the next held answer is due; -1 when none is held.
int pending_next_ms(void);

/// Sends every held answer that is due (none of the sends waits); drops
/// those that may no longer leave (admission_answerable).
void pending_send_due(void);

/// Returns once no held answer is being sent: one sent from now on was
/// asked whether it may leave after what changed before this call.
void pending_settle(void);

/// Readable when another thread held an answer; pending_woken reads it.
int pending_wake_fd(void);
void pending_woken(void);

/// The Bye: drops the answers not yet sent, and holds none from now on.
void pending_drop_all(void);
