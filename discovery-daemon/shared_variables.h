// The variables the discovery library binds to by name. The daemon defines
// them with C linkage and exports them from its dynamic symbol table (see
// exports.list); their declarations and sizes are the library's (onvif.h).
//
//   server_udp          int, -1    the current server socket
//   server_hello        int, 0     set to 1 on SIGHUP; the hello loop reads it
//   udp_sync            1 byte, 0  for the library
//   ONVIF_BUFFER        4 bytes, 0 for the library
//   tempdhcp_flag       4 bytes, 0 for the library
//   onvif_log_input     int, 0     cleared again at start
//   onvif_log_output    int, 0     cleared again at start
//   current_time        4 bytes, 0 for the library
//   onvif_remote_addr   16 bytes, 0  for the library
#pragma once

#include "onvif.h"
