// Discovery datagrams with the link they leave by or arrived on: one socket
// serves every link, so the link is named per message (IP_PKTINFO,
// IPV6_PKTINFO), not per socket.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "links.h"

#define DISCOVERY_GROUP "239.255.255.250"
#define DISCOVERY_GROUP6 "ff02::c"
enum { DISCOVERY_PORT = 3702 };

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

/// Reads one datagram into `buf` and where it arrived into *a: at once
/// (MSG_DONTWAIT), or waiting (0). Returns the length; 0 when nothing was
/// waiting or the datagram is to be ignored (too long); -1 when the socket
/// failed.
ssize_t datagram_receive(int sock, char *buf, size_t size, int flags, struct arrival *a);

/// Sends `len` bytes to the link's discovery group, port 3702, out of the
/// link's own interface and from its own address, with a hop limit of 1:
/// discovery stays on the local link.
void datagram_multicast(int sock, const struct link *l, const char *message, size_t len);

/// Sends `len` bytes to the sender of a datagram, from the address it was
/// sent to (for one sent to a group, from the interface it came in on).
void datagram_reply(int sock, const struct arrival *a, const char *message, size_t len);
