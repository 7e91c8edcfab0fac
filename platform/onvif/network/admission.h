// Who gets answers, and how many. A discovery request is answered only
// when its sender is on the link it came in on (on_link.h). Each sender
// has bounded shares of answers and of datagrams
// read, and a request it repeats (same MessageID, same address and port)
// is answered once. Whether the device is to be heard at all is decided
// here too, for every request, held answer and announcement.
//
// The shares are kept for each socket (address and port) and for each
// address, and a datagram must find room in both, its socket's looked at
// first: one that has spent its own share takes nothing of its address's.
// So a spoofer sending in a client's name from another port drains its
// own port's share and no more than that port's rate of the address's,
// while an address's many ports together still get no more than the
// address's share (the reflection bound). One that rotates over many
// ports can still drain an address's share.
#pragma once

#include "counters.h"
#include "datagram.h"

enum {
    ADMISSION_BURST = 8,           // answers a socket may have at once
    ADMISSION_PER_S = 4,           // and then each second
    ADMISSION_ADDRESS_BURST = 16,  // answers an address may have at once, all its sockets together
    ADMISSION_ADDRESS_PER_S = 8,   // and then each second
    ADMISSION_READ_FACTOR = 4,     // datagrams read per answer, for each of the four figures above
    ADMISSION_SOURCES = 1024,      // sockets and addresses remembered; the least recently seen goes first
};

/// Whether the device is to be heard at all now (it is discoverable):
/// asked before each Hello, held answer and request.
int admission_open(void);

/// What admission says of a datagram that may be answered; any other
/// answer is the reason it may not (a refusal of counters.h).
#define ADMITTED COUNT_ANSWERED

/// Whether an answer to *a may leave now: the device is open, the link it
/// arrived on is one in use and its sender may be answered there
/// (on_link_admits). The one rule, asked when a datagram arrives and
/// again when its answer is sent (a held one, after a reload).
enum counter admission_answerable(const struct arrival *a);

/// Asked for each datagram before anything of it is read: whether it is
/// answerable (admission_answerable) and its socket and address each have
/// answers and reads left. One read is spent. No allocation, two locks.
enum counter admission_check(const struct arrival *a);

/// For a request from *a that is owed an answer: COUNT_REPEAT when the
/// same sender (address and port) was given an answer to `message_id`
/// within the last 5 s, a share's refusal when it has no answer left; else
/// takes one answer of its socket's and its address's shares (ADMITTED).
enum counter admission_take(const struct arrival *a, const char *message_id);

/// The answer taken for *a was never sent (a queue full, a send that
/// failed, a repeat already held): it goes back to the shares.
void admission_untake(const struct arrival *a);

/// The answer to `message_id` from *a was handed to the kernel: the same
/// sender's repeat of it within 5 s gets none.
void admission_given(const struct arrival *a, const char *message_id);

