// config/: the discovery description integrators give the device, read
// from its files (config.cc), each value checked (config_values.cc, below
// it), and the files watched for changes (config_watch.cc). It calls only
// the ground floor.
//
// Two files of one format: the image's defaults (/etc/discovery/
// discovery.conf, may be read-only) and then the run-time settings
// (/var/lib/discovery/discovery.conf, written for instance by the device's
// ONVIF service).
//
//   # comment
//   name = Gate camera            text, announced as a scope
//   location = Building 2/North   text, '/' separates the scope's segments
//   hardware = IP_house_mk2       text
//   serial = 4711-0815            text, announced as a fixed scope
//   scope = onvif://www.onvif.org/Profile/G    one more scope URI, repeatable
//   xaddrs = http://{address}:8080/onvif/device_service https://{address}/onvif/device_service
//   discoverable = yes            or no (true/false, on/off, 1/0, in any case)
//   interfaces = eth* !eth9       the links used: shell globs, '!' excluding
//   allow = 10.20.0.0/16 fd00:20::/64   senders answered though not on the link
//   endpoint = urn:uuid:8c1b6e2a-4c1e-4f57-9d2b-2f7c9a0d3e11   the device's
//
// A key in the second file replaces the first's; for `scope`, all of the
// first file's scope lines. A line that cannot be used is reported and
// skipped; the rest applies. A file that is missing is no fault; one that
// is there but cannot be read (not a regular file, no permission, an I/O
// error) is, and the reading then counts for nothing.
#pragma once

#include <stddef.h>

#include "config_values.h"
#include "wsd.h"

#define WSD_CONFIG_FILE "/etc/discovery/discovery.conf"
#define WSD_RUNTIME_CONFIG_FILE "/var/lib/discovery/discovery.conf"


enum wsd_config_text { WSD_NAME, WSD_LOCATION, WSD_HARDWARE, WSD_SERIAL, WSD_TEXT_KEYS };

/// Every key, the texts first; a key's `given` flag is at its number.
enum wsd_config_key { WSD_SCOPE = WSD_TEXT_KEYS, WSD_XADDRS, WSD_DISCOVERABLE, WSD_INTERFACES,
                      WSD_ALLOW, WSD_ENDPOINT, WSD_KEYS };

/// What the files say; a key not given is not `given`.
struct wsd_config {
    char text[WSD_TEXT_KEYS][WSD_CONFIG_VALUE_SIZE];  // UTF-8; empty: none announced
    char scopes[WSD_CONFIG_SCOPES][WSD_CONFIG_VALUE_SIZE];  // absolute URIs
    int scope_count;
    char xaddrs[WSD_CONFIG_VALUE_SIZE];  // templates, one space apart, each with {address}
    int discoverable;      // the last good value, in reading order
    int discoverable_bad;  // a bad value came after it: the mode in force is to stay
    char interfaces[WSD_CONFIG_VALUE_SIZE];  // globs, one space apart
    struct wsd_prefixes allow;
    char endpoint[WSD_ENDPOINT_SIZE];  // in lower case
    int given[WSD_KEYS];
    char hardware_address[WSD_HARDWARE_ADDRESS_SIZE];  // not the files': the device's, "" for none
};

/// Reports one unusable line or file: "<path>:<line>: <what is wrong>".
typedef void (*wsd_config_report)(const char *problem);

/// Reads the text of one file (`len` bytes, named `path` in reports) into
/// *c, over what *c holds already.
void wsd_config_parse(const char *path, const char *text, size_t len, struct wsd_config *c,
                      wsd_config_report report);

/// Both files, the second over the first, into *c (cleared first); each
/// problem to `report`, an unreadable file too. Returns 0 when a file is
/// there but could not be read: what is in force is then to stay.
int wsd_config_read(const char *defaults, const char *runtime, struct wsd_config *c,
                    wsd_config_report report);
