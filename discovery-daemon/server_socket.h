// The WS-Discovery server socket, opened on the discovery library's
// request.
#pragma once

/// Closes the previous server socket (server_udp), opens a non-blocking,
/// close-on-exec UDP socket that has joined 239.255.255.250 on the
/// interface the system picks and is bound to that group on port 3702, with
/// multicast loop on and TTL 1; stores it in server_udp and returns it. Any
/// failing step ends the process through kzerror with status 1.
int open_server_socket(void);
