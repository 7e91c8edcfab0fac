// The run-time description file watched for changes (inotify), so that
// what the device's ONVIF service writes there is in force at once, with
// or without a SIGHUP. The file's directory is watched, not the file: it
// is replaced by rename as often as it is rewritten in place.
#pragma once

/// A watch on the directory of `path`, to read with config_watch_changed;
/// -1 when the kernel has none to give. The directory need not exist yet.
int config_watch_open(const char *path);

/// Reads the events waiting on the watch; whether any was for the file
/// (written and closed, moved in or out, created, removed, its mode
/// changed), or some were lost, or the directory's watch is gone (to be
/// added again by config_watch_tend): in each case the file is to be read.
int config_watch_changed(int watch);

/// Once a second: adds the directory's watch when it is not in place (the
/// directory was missing, or went away); whether it was added now, so
/// that the file there is read.
int config_watch_tend(int watch);
