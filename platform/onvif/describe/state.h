// What the service keeps across its restarts: the InstanceId, the
// MetadataVersion and the mode in force, each in a file of its own.
#pragma once

#include <stdint.h>

/// The service's own state, which its user alone writes (the run-time
/// description lives elsewhere, where only root writes: config.h).
#define WSD_STATE_DIR "/var/lib/discovery-daemon"
/// Where the last InstanceId is kept across restarts of the service.
#define WSD_INSTANCE_ID_FILE WSD_STATE_DIR "/instance-id"
/// Where the last MetadataVersion is kept, with the description it was for.
#define WSD_METADATA_VERSION_FILE WSD_STATE_DIR "/metadata-version"
/// Where the mode in force is kept (1 discoverable, 0 not), for a start
/// whose configuration says nothing usable about it.
#define WSD_MODE_FILE WSD_STATE_DIR "/discoverable"

/// The InstanceId for a start of the service at `now` (seconds): greater
/// than the one kept in `path` (max(kept + 1, now)), so it grows across
/// every restart, even two in one second or with the clock behind. A
/// missing, corrupt or truncated file counts as none kept. The new value is
/// written back atomically (temporary file, fsync, rename; the directory is
/// made if missing); *saved tells whether that worked.
unsigned long wsd_next_instance_id(const char *path, unsigned long now, int *saved);

/// The MetadataVersion for a description whose hash is `hash`, by the one
/// rule: the one kept in `path` when it was for the same description, one
/// greater when not, 1 when none is kept; never below `floor` (what this
/// start announced before). Written back as instance ids are when the file
/// does not say so already; *saved tells whether the file now holds it. No
/// clock: a later start that can write reads the same file, so it never
/// announces less than a start that could not.
unsigned long wsd_next_metadata_version(const char *path, uint64_t hash, unsigned long floor, int *saved);

/// The mode kept in `path` into *mode; 0 when none is kept.
int wsd_kept_mode(const char *path, int *mode);

/// Keeps `mode` in `path`, written only when it says otherwise.
void wsd_keep_mode(const char *path, int mode);
