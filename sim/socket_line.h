// The simulated controller on a Unix stream socket, for an emulator's
// serial port (a socket character device connects to it as a client): the
// other end of the stream is the device's UART, so the line behaves as on
// the pseudo-terminal, faults and pacing included.
#pragma once

#include "line.h"

/// Listens on `path` (replacing what is there) and serves each client in
/// turn, keeping `state` across them; a client that goes away is waited
/// for again, as an emulator reconnects. Prints "connected" on standard
/// output at each connection. Every byte received is appended to
/// `record_fd` when it is not -1. Returns 0 when SIGINT or SIGTERM arrives,
/// 1 when the socket cannot be made.
int sim_serve_socket(controller_state &state, const sim_faults &faults, const char *path,
                     int record_fd);
