// Discovery datagrams with the link they leave by or arrived on: one socket
// serves every link, so the link is named per message (IP_PKTINFO), not
// per socket.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <sys/types.h>

#include "links.h"

#define DISCOVERY_GROUP "239.255.255.250"
enum { DISCOVERY_PORT = 3702 };

/// Sends `len` bytes to the group, port 3702, out of the link's own
/// interface and from its own address, with a TTL of 1: discovery stays on
/// the local link.
void datagram_multicast(int sock, const struct link *l, const char *message, size_t len);

/// Reads one waiting datagram (never blocks) into `buf`, its sender into
/// *from and, when the socket has IP_PKTINFO on, where it arrived into
/// *arrival (*arrived tells whether). Returns the length; 0 when nothing was
/// waiting or the datagram is to be ignored (too long, not IPv4); -1 when
/// the socket failed.
ssize_t datagram_receive(int sock, char *buf, size_t size, struct sockaddr_in *from,
                         struct in_pktinfo *arrival, int *arrived);
