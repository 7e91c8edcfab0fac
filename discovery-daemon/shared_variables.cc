#include "shared_variables.h"

extern "C" {
int server_udp = -1;
int server_hello = 0;
unsigned char udp_sync = 0;
uint32_t ONVIF_BUFFER = 0;
uint32_t tempdhcp_flag = 0;
int onvif_log_input = 0;
int onvif_log_output = 0;
uint32_t current_time = 0;
struct sockaddr_in onvif_remote_addr = {};
}

static_assert(sizeof udp_sync == 1 && sizeof ONVIF_BUFFER == 4 && sizeof tempdhcp_flag == 4 &&
              sizeof current_time == 4 && sizeof onvif_remote_addr == 16,
              "the discovery library expects these sizes");
