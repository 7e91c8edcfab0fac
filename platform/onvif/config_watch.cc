#include "config_watch.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

// Every way the file can change under its name: written in place (its
// close), replaced by rename, made, removed, its mode changed.
enum { FILE_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB };

static char directory[PATH_MAX], name[NAME_MAX + 1];
static int watched = -1;  // the directory's watch, -1 while there is none

static int add(int watch)
{
    watched = inotify_add_watch(watch, directory, FILE_EVENTS | IN_ONLYDIR | IN_MOVE_SELF);
    return watched >= 0;
}

int config_watch_open(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return -1;
    snprintf(directory, sizeof directory, "%.*s", slash == path ? 1 : (int)(slash - path), path);
    snprintf(name, sizeof name, "%s", slash + 1);
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0)
        add(watch);
    return watch;
}

int config_watch_changed(int watch)
{
    union {
        char buf[4096];
        struct inotify_event align;
    } events;
    int changed = 0;
    for (ssize_t n; (n = read(watch, events.buf, sizeof events.buf)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event *e = (const struct inotify_event *)(events.buf + at);
            at += (ssize_t)(sizeof *e + e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                changed = 1;  // events were lost: the file is read again
            } else if (e->wd != watched) {
                continue;
            } else if (e->mask & (IN_IGNORED | IN_MOVE_SELF)) {
                // The directory was removed or moved away: the watch would
                // follow it elsewhere. The name is looked for again.
                if (e->mask & IN_MOVE_SELF)
                    inotify_rm_watch(watch, watched);
                watched = -1;
                changed = 1;
            } else if (e->len > 0 && strcmp(e->name, name) == 0) {
                changed = 1;
            }
        }
    }
    return changed;
}

int config_watch_tend(int watch)
{
    return watch >= 0 && watched < 0 && add(watch);
}
