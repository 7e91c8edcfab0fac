// Requests sent to one of the device's own addresses, IPv4 or IPv6
// ("add device by address"), and to the IPv6 discovery group FF02::C: one
// socket takes them all, apart from the IPv4 group's (the daemon's server
// socket), and a thread of the library's own answers them, the directed
// ones at once, the group's after the random delay.
#pragma once

/// Opens the socket and starts its thread, unless the Bye was said.
/// Returns 0 when there is none to be had: the device is then discoverable
/// through the IPv4 group only.
int directed_start(void);

/// Ends the thread, which then answers nothing more; for the Bye.
void directed_stop(void);
