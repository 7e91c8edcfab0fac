#!/bin/sh
# The discovery library binds to these variables by name: the daemon must
# export exactly them, as data.
expected="ONVIF_BUFFER current_time onvif_log_input onvif_log_output onvif_remote_addr server_hello server_udp tempdhcp_flag udp_sync"
nm=${2:-nm}
exported=$($nm -D --defined-only "$1" | awk '$2 ~ /^[BDbd]$/ {print $3}' | LC_ALL=C sort | tr '\n' ' ')
others=$($nm -D --defined-only "$1" | awk '$2 !~ /^[BDbd]$/ {print $3}' | tr '\n' ' ')
echo "exported data: $exported"
echo "other symbols: $others"
[ "$exported" = "$expected " ] && [ -z "$others" ]
