// Which senders a request is answered for: those on the link it arrived
// on, or in a prefix the configuration allows, when that link is one the
// configuration uses. An answer to anyone else (a spoofed source, a host
// behind a router) would make the device a reflector.
#pragma once

#include <sys/socket.h>

/// Takes a fresh look at the device's addresses, which say what is on each
/// link, and at what the configuration uses and allows: at start, whenever
/// the links change and at each reading of the configuration.
void on_link_refresh(void);

/// A socket address's address in the IPv6 form, IPv4 ones mapped
/// (::ffff:a.b.c.d), into `out`.
void on_link_mapped(unsigned char out[16], const struct sockaddr *sa);

/// Whether `from` (mapped) is one of the device's own addresses.
int on_link_own(const unsigned char from[16]);

/// Whether a request from `from` (mapped) that arrived on the interface
/// `ifindex` may be answered: the interface is one the configuration uses,
/// and the sender is on it (IPv4: inside the prefix of an address of that
/// interface; IPv6: link-local, or inside the prefix of an address of that
/// interface; on loopback, any of the device's own addresses) or in a
/// prefix the configuration allows: 1; 0 for a sender that is not, -1 for
/// an interface not in use. No allocation, one lock.
int on_link_admits(const unsigned char from[16], int ifindex);
