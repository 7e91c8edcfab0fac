// Discovery datagrams with the link they leave by or arrived on: one socket
// serves every link, so the link is named per message (IP_PKTINFO,
// IPV6_PKTINFO), not per socket.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "links.h"

/// Where a datagram came from and where it arrived.
struct arrival {
    struct sockaddr_storage from;
    socklen_t from_len;
    int family;              // AF_INET (IPv4-mapped senders too) or AF_INET6
    int ifindex;             // the interface it came in on; 0 when not told
    struct in_addr local;    // IPv4: the address a reply leaves from
    struct in6_addr local6;  // IPv6: the address it was sent to
    int multicast;           // sent to a group
};

/// Has `sock` (of `family`; an IPv6 socket also for the IPv4 it takes)
/// report where each datagram arrives.
void datagram_report_arrival(int sock, int family);

// Room for each datagram: more than any request a client sends (a few
// hundred bytes to a few KiB) and than the reader keeps of one (its fields
// together), so that memory never grows with what is sent. A longer
// datagram is not read.
enum { DATAGRAM_SIZE = 8192, DATAGRAM_BATCH = 8 };

/// Datagrams read in one call, each with where it arrived. Under a flood
/// one call takes what a burst queued, not one system call each.
struct datagram_batch {
    char data[DATAGRAM_BATCH][DATAGRAM_SIZE];
    size_t len[DATAGRAM_BATCH];  // 0: one to be ignored (too long)
    struct arrival arrival[DATAGRAM_BATCH];
};

/// Reads up to DATAGRAM_BATCH datagrams into *b: those waiting
/// (MSG_DONTWAIT), or waiting for the first (0). Returns how many; 0 when
/// nothing was read (none waiting, or an error the socket had pending, now
/// cleared: the datagrams queued behind it stay); -1 when the socket itself
/// failed.
int datagram_receive(int sock, struct datagram_batch *b, int flags);

/// For a socket that polled POLLERR: clears its pending error (as a
/// destroyed socket or an ICMP error leaves it) and tells whether it is
/// still bound to `port`, so worth keeping: its queued datagrams stay.
int datagram_clear_error(int sock, int port);

/// Sends `len` bytes to the link's discovery group, port 3702, out of the
/// link's own interface and from its own address, with a hop limit of 1:
/// discovery stays on the local link. Nothing after datagram_silence but
/// with `last_word` (the Bye). Returns whether the kernel took it.
int datagram_multicast(int sock, const struct link *l, const char *message, size_t len, int last_word);

/// Sends `len` bytes to the sender of a datagram, from the address it was
/// sent to (for one sent to a group, from the interface it came in on);
/// whether the kernel took it.
int datagram_reply(int sock, const struct arrival *a, const char *message, size_t len);

/// The sockets answers leave by, named for what they receive: the IPv4
/// group's (the daemon's server socket) and the directed one.
enum datagram_via { VIA_GROUP, VIA_DIRECTED, VIA_COUNT };

/// From now on answers for `via` leave by `sock` (-1: none); returns the
/// socket used before, which no send uses any more once this returns.
int datagram_use(enum datagram_via via, int sock);

/// datagram_reply on the socket current for `via`; dropped when there is
/// none.
int datagram_reply_via(enum datagram_via via, const struct arrival *a, const char *message,
                       size_t len);

/// The Bye is the last word: after this, nothing is sent but the Bye's own
/// messages. Every send is made under one lock, which this takes too, so a
/// message on its way is out before it returns. No send waits: a full
/// socket buffer drops the message.
void datagram_silence(void);
