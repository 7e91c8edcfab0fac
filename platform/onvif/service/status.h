// The service's status, for any UI and for discovery-diagnose: a small
// JSON document under /run that says what the device announces, where,
// and what it did and why not (counters.h). No socket and no signal are
// needed to read it: it is a file, readable by all, replaced whole
// (written beside it, then renamed over it), so a reader never sees half
// of it. It is written only when something changed, and at most once a
// second.
//
//   {"pid":..., "started":<unix time>, "written":<unix time>,
//    "discoverable":true|false,
//    "endpoint":"urn:uuid:...", "endpoint_from":"configuration"|"machine-id"|
//    "hardware address"|"host name", "metadata_version":...,
//    "links":[{"interface","family","addresses":[...],"xaddrs","mtu"}],
//    "interfaces":[{"interface","up","multicast","used"}],
//    "config_refused":["path:line: what is wrong", ...],
//    "counters":[{"interface","family","heard_at":<unix time>|null,
//                 <each counter's name>:n, ..., "send_errors":{"EPERM":n}}],
//    "log_lines_lost":n,
//    "requesters":[{"address","port","interface","at","outcome"}]}
#pragma once

#define WSD_STATUS_DIR "/run/discovery-daemon"
#define WSD_STATUS_FILE WSD_STATUS_DIR "/status.json"

/// Something the counters do not count changed (the description, the
/// mode, the links): the status is to be written again.
void status_changed(void);

/// Writes the status when it changed and its last writing is a second
/// old or more; for the hello loop, which wakes at least once a second.
/// A directory that is missing is made (it is, where the daemon runs as
/// root); one that cannot be written is said once in the log.
void status_tend(void);
