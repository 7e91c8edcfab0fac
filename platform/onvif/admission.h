// Who gets answers, and how many. A discovery request is answered only
// when its sender is on the link it came in on: an answer to anyone else
// (a spoofed source, a host behind a router) would make the device a
// reflector. Each sender has a bounded share of answers, and a request it
// repeats (same MessageID, same address and port) is answered once.
#pragma once

#include "datagram.h"

enum {
    ADMISSION_BURST = 8,     // answers a sender may have at once
    ADMISSION_PER_S = 4,     // and then each second
    ADMISSION_SOURCES = 512, // senders remembered; the least recently seen goes first
};

/// Asked for each datagram before anything of it is read: whether the
/// device is discoverable, and its sender on the link it arrived on (IPv4: inside the prefix of an
/// address of that interface; IPv6: link-local, or inside the prefix of an
/// address of that interface; on loopback, any of the device's own
/// addresses) and has answers left. No allocation, one lock.
int admission_check(const struct arrival *a);

/// For a request from *a that is owed an answer: 0 when the same sender
/// (address and port) asked with `message_id` within the last 5 s, or has
/// no answer left; else remembers it, takes one answer of the sender's
/// share and returns 1.
int admission_take(const struct arrival *a, const char *message_id);

/// Takes a fresh look at the device's addresses, which say what is on each
/// link: at start and whenever the links change.
void admission_refresh(void);
