// The links the device is discoverable on: each IPv4 interface that is up
// and can carry multicast, with its address. The hello loop follows them
// (netlink); the probe loop's server socket is a member of the group on
// each.
#pragma once

#include <netinet/in.h>

enum { LINK_LIMIT = 32 };

struct link {
    int ifindex;
    struct in_addr addr;
};

/// Every IPv4 interface that is up and multicast-capable, with its first
/// address, into `out` (LINK_LIMIT entries); loopback only when there is
/// nothing else. Returns how many.
int link_scan(struct link *out);

/// The links as last seen by link_update, into `out`; returns how many.
int link_known(struct link *out);

/// Takes a fresh look at the links: the server socket `server` (-1: none
/// yet) joins the group on the new ones and leaves the ones gone. The new
/// ones go into `fresh` (LINK_LIMIT entries); returns how many.
int link_update(int server, struct link *fresh);

/// Joins the group on every link known so far (one the socket has already
/// is refused and stays).
void link_join_known(int sock);

/// A netlink socket told of links and IPv4 addresses that come and go, or
/// -1 when there is none to be had (the links are then only looked at on
/// start).
int link_watch_open(void);

/// Reads all that is waiting on the watch; returns whether anything was
/// (what it says does not matter: the links are looked at afresh).
int link_watch_drain(int watch);
