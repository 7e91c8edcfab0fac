// The AppSequence InstanceId, kept across restarts of the service: clients
// order a device's messages by it, so it must grow each time the service
// starts, whatever the clock says (a device without a real-time clock
// starts at the same time after each boot until the clock is set).

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "wsd.h"

// The value in the file: one decimal number and a line end, nothing else.
static int read_kept(const char *path, unsigned long *kept)
{
    char text[32];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || text[0] < '0' || text[0] > '9' || errno != 0 || strcmp(end, "\n") != 0)
        return 0;
    *kept = value;
    return 1;
}

// The file's directory, made when missing (its parent must exist).
static void make_directory_of(const char *path)
{
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash && slash != dir) {
        *slash = '\0';
        mkdir(dir, 0755);
    }
}

static int write_kept(const char *path, unsigned long value)
{
    char tmp[PATH_MAX], text[32];
    if (snprintf(tmp, sizeof tmp, "%s.%d.tmp", path, (int)getpid()) >= (int)sizeof tmp)
        return 0;
    make_directory_of(path);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    int len = snprintf(text, sizeof text, "%lu\n", value);
    int ok = write(fd, text, (size_t)len) == len && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) == 0)
        return 1;
    unlink(tmp);
    return 0;
}

unsigned long wsd_next_instance_id(const char *path, unsigned long now, int *saved)
{
    unsigned long kept = 0, id = now;
    if (read_kept(path, &kept) && kept != ULONG_MAX && kept + 1 > id)
        id = kept + 1;
    if (id == 0)
        id = 1;
    *saved = write_kept(path, id);
    return id;
}
