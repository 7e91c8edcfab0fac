// The description files watched for changes (inotify), so that what is
// written there (by the device's ONVIF service, or on the image) is in
// force at once, with or without a SIGHUP. Each file's directory is
// watched, not the file: it is replaced by rename as often as it is
// rewritten in place. A directory that is missing, or goes away, is
// waited for through its parent's watch, so it is watched again the moment
// it is made.
#pragma once

enum { CONFIG_WATCH_FILES = 2 };

/// A watch on the directories of the `count` files `paths` (at most
/// CONFIG_WATCH_FILES, kept by the caller), to read with
/// config_watch_changed; -1 when the kernel has none to give. The
/// directories need not exist yet.
int config_watch_open(const char *const *paths, int count);

/// Reads the events waiting on the watch; whether any was for one of the
/// files (written and closed, moved in or out, created, removed, its mode
/// changed), or some were lost, or a directory went away or came (its
/// watch is then added again at once): in each case the files are to be
/// read.
int config_watch_changed(int watch);

/// Once a second at most: adds the watches not in place (a directory whose
/// parent is missing too); whether one was added now, so that the files
/// are read.
int config_watch_tend(int watch);
