// network/: the device on its links. The links and their netlink watch
// (links.cc, link_watch.cc), datagrams with the link they arrive on and
// leave by (datagram.cc), who is on the link (on_link.cc), who is answered
// and how often (admission.cc), and what is counted of each link
// (counters.cc). It calls describe/, config/ and the ground floor.
//
// The links the device is discoverable on: each interface that is up and
// can carry multicast, once for IPv4 with its address and once for IPv6
// with its address (a global one where it has one, else its link-local
// one). The hello loop follows them (netlink); the sockets that receive
// the discovery groups' datagrams are members of the group on each.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

#include "wsd.h"

enum { LINK_LIMIT = 64, LINK_ADDRESSES = 8 };

struct link {
    int family;  // AF_INET or AF_INET6
    int ifindex;
    int count;                            // AF_INET: its addresses, the primary first
    struct in_addr addr[LINK_ADDRESSES];  // AF_INET
    unsigned char bits[LINK_ADDRESSES];   // AF_INET: the prefix length of each
    struct in6_addr addr6;                // AF_INET6
    char address[WSD_ADDRESS_SIZE];  // the first address as the XAddrs name it (link_name_address)
    char names[LINK_ADDRESSES][16];  // AF_INET: each address as text, formatted once
    int mtu;                         // the interface's, as last looked at; 0: not known
};

/// Every link of the device now that the configuration says to use
/// (wsd_link_used), into `out` (LINK_LIMIT entries); in each family
/// loopback only when there is nothing else. An IPv4 link has each of its
/// addresses, but for a link-local one (169.254/16) where it has another.
/// Returns how many.
int link_scan(struct link *out);

/// The links as last seen by link_update, into `out`; returns how many.
int link_known(struct link *out);

/// The link of `family` on interface `ifindex` as last seen, into *out;
/// returns 0 when there is none.
int link_find(int family, int ifindex, struct link *out);

/// `sock` is to be a member of the discovery group of `family` on every
/// link of that family, from now on: it joins those known so far, and
/// link_update has it join and leave as links come and go.
void link_attach(int family, int sock);

/// Takes a fresh look at the links: the attached sockets leave the group on
/// the links gone and join it on the new ones (in that order, so that an
/// interface whose address changed stays a member). The new links go into
/// `fresh` and, when `gone` is not NULL, those gone into `gone` (LINK_LIMIT
/// entries each, *gone_count of them); returns how many are new.
int link_update(struct link *fresh, struct link *gone, int *gone_count);

/// A netlink socket told of links and addresses that come and go, or -1
/// when there is none to be had (the links are then only looked at on
/// start).
int link_watch_open(void);

/// Reads all that is waiting on the watch; returns whether anything was
/// (what it says does not matter: the links are looked at afresh).
int link_watch_drain(int watch);

/// For a watch that polled `revents` with an error: clears it (the
/// kernel's queue ran over: ENOBUFS), or for a watch that is gone
/// (POLLHUP, POLLNVAL) opens a new one. Returns the watch to use; the links
/// must then be looked at afresh.
int link_watch_mend(int watch, short revents);

/// How many bytes of a message one datagram on the link *l carries whole,
/// unfragmented: its MTU (as last looked at, else asked of the kernel)
/// less the IP and UDP headers, and WSD_MESSAGE_SIZE - 1 at most.
size_t link_room(const struct link *l);

/// Whether `a` is an IPv4 link-local address (169.254/16).
int link_local4(struct in_addr a);

/// Sets the link's addresses as the XAddrs name them: IPv6 in brackets and
/// without a zone ("10.0.0.2", "[fd00::2]").
void link_name_address(struct link *l);

/// The device service's URLs on the link, as the XAddrs templates say now:
/// "http://10.0.0.2/onvif/device_service" by default, the templates put
/// together for each of its addresses, the one whose subnet holds `sender`
/// first (IPv4; NULL: in their order), as many as one message has room
/// for. Returns how many addresses are named.
int link_xaddrs(const struct link *l, const struct in_addr *sender, char *out, size_t size);
