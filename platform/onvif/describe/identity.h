// Who the device is: its endpoint address, the same across restarts and
// interfaces, its hardware address, and fresh message ids.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "wsd.h"

/// The device's own endpoint address, "urn:uuid:...", derived from what
/// makes it this device (the machine id, else a hardware address): the
/// same across restarts and interfaces. A configured one takes its place
/// in the description.
const char *wsd_endpoint(void);

/// Where wsd_endpoint() came from: "machine-id", "hardware address" or
/// "host name".
const char *wsd_endpoint_source(void);

/// The device's hardware address, as the kernel prints it (lower-case hex
/// pairs and colons), into `out`: that of eth0, else wlan0, else the first
/// other interface by name (up or not) with a 6-byte Ethernet address
/// that is not all zeros, loopback aside: the same from boot to boot.
/// Returns 0 when there is none.
int wsd_hardware_address(char out[WSD_HARDWARE_ADDRESS_SIZE]);

/// Writes a fresh "urn:uuid:..." into `out` (at least 46 bytes).
void wsd_new_uuid(char *out);

/// FNV-1a of `len` bytes of `text`, continuing from `hash` (start with
/// WSD_HASH_START): fast and well spread, not for secrets.
#define WSD_HASH_START 0xcbf29ce484222325ULL
uint64_t wsd_hash(uint64_t hash, const char *text, size_t len);
