// Discovery library libonvif.so: the WS-Discovery hello and probe loops
// and the Bye announcement, as the discovery daemon uses them.
//
// The library refers by name to variables the program defines and exports
// from its dynamic symbol table; their layout beyond the sizes is the
// library's own.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Hello loop: announces the device from `sock` (an unbound IPv4 UDP socket,
/// -1 when it could not be made), then again each time `server_hello` is set.
/// Runs until its thread is cancelled.
void udp_hello(int sock);

/// Probe loop: gets the multicast server socket from `open_server()` (again
/// whenever it fails) and answers matching Probes. Runs until its thread is
/// cancelled.
void udp_probe(int (*open_server)(void));

/// Announces that the device leaves, on the signal `signo`.
void ByeHandler(int signo);

// Defined by the program.
extern int server_udp;            // the current server socket, -1 before the first
extern int server_hello;          // set to 1 to have the hello loop announce again
extern unsigned char udp_sync;
extern uint32_t ONVIF_BUFFER;
extern uint32_t tempdhcp_flag;
extern int onvif_log_input;
extern int onvif_log_output;
extern uint32_t current_time;
extern struct sockaddr_in onvif_remote_addr;  // the last Probe's sender

#ifdef __cplusplus
}
#endif
