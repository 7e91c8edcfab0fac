#include "config_watch.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

// Every way the file can change under its name: written in place (its
// close), replaced by rename, made, removed, its mode changed.
enum { FILE_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB };

// One file: its directory, watched while it is there; its parent, watched
// for the directory's coming back while it is not.
struct watched_file {
    char directory[PATH_MAX], parent[PATH_MAX];
    const char *name, *directory_name;  // the file in the directory, the directory in its parent
    int wd, parent_wd;                  // -1: none
};

static struct watched_file files[CONFIG_WATCH_FILES];
static int file_count;

// The directory's watch, or while it cannot be had, its parent's; whether
// the directory is watched now.
static int add(int watch, struct watched_file *f)
{
    if (f->wd < 0 && f->parent_wd < 0)
        f->parent_wd = inotify_add_watch(watch, f->parent, IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (f->wd < 0)
        f->wd = inotify_add_watch(watch, f->directory, FILE_EVENTS | IN_ONLYDIR | IN_MOVE_SELF);
    if (f->wd >= 0 && f->parent_wd >= 0) {
        // Another file's directory may share the parent: its watch is the same.
        int shared = 0;
        for (int i = 0; i < file_count; i++)
            shared |= &files[i] != f && files[i].parent_wd == f->parent_wd && files[i].wd < 0;
        if (!shared)
            inotify_rm_watch(watch, f->parent_wd);
        f->parent_wd = -1;
    }
    return f->wd >= 0;
}

// "/a/b/c" into "/a/b" and "c"; "/c" into "/" and "c".
static const char *split(const char *path, char *directory)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return NULL;
    snprintf(directory, PATH_MAX, "%.*s", slash == path ? 1 : (int)(slash - path), path);
    return slash + 1;
}

int config_watch_open(const char *const *paths, int count)
{
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    file_count = 0;
    for (int i = 0; i < count && i < CONFIG_WATCH_FILES; i++) {
        struct watched_file *f = &files[file_count];
        char parent[PATH_MAX];
        f->name = split(paths[i], f->directory);
        f->directory_name = f->name ? split(f->directory, parent) : NULL;
        memcpy(f->parent, parent, sizeof parent);
        if (!f->directory_name || !*f->directory_name)
            continue;  // no directory of its own to wait for
        f->wd = f->parent_wd = -1;
        file_count++;
        if (watch >= 0)
            add(watch, f);
    }
    return watch;
}

// What one event says of file `f`: whether the files are to be read.
static int event_for(int watch, struct watched_file *f, const struct inotify_event *e)
{
    if (e->wd == f->wd) {
        if (e->mask & (IN_IGNORED | IN_MOVE_SELF)) {
            // The directory was removed or moved away: the watch would
            // follow it elsewhere. Its name is waited for in its parent.
            if (e->mask & IN_MOVE_SELF)
                inotify_rm_watch(watch, f->wd);
            f->wd = -1;
            add(watch, f);
            return 1;
        }
        return e->len > 0 && strcmp(e->name, f->name) == 0;
    }
    if (e->wd == f->parent_wd && f->wd < 0 && e->len > 0 && strcmp(e->name, f->directory_name) == 0)
        return add(watch, f);
    return 0;
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
                changed = 1;  // events were lost: the files are read again
                for (int i = 0; i < file_count; i++)
                    add(watch, &files[i]);
            }
            for (int i = 0; i < file_count; i++)
                changed |= event_for(watch, &files[i], e);
        }
    }
    return changed;
}

int config_watch_tend(int watch)
{
    int added = 0;
    for (int i = 0; watch >= 0 && i < file_count; i++)
        added |= files[i].wd < 0 && add(watch, &files[i]);
    return added;
}
