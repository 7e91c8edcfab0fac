// What the service keeps across its restarts, in a directory of its own
// (WSD_STATE_DIR).
// The AppSequence InstanceId: clients order a device's messages by it, so
// it must grow each time the service starts, whatever the clock says (a
// device without a real-time clock starts at the same time after each
// boot until the clock is set). The MetadataVersion, with the description
// it is for: clients that keep a device's description take a greater one
// as the sign to read it again, so it never falls. The mode in force, for
// a start whose files say nothing usable about it.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state.h"
#include "wsd.h"

// The value in the file: one decimal number, then `rest` (the rest of the
// line: nothing, or a hash in hexadecimal) and a line end, nothing else.
static int read_kept(const char *path, unsigned long *kept, uint64_t *rest)
{
    char text[64];
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
    if (end == text || text[0] < '0' || text[0] > '9' || errno != 0)
        return 0;
    if (rest) {
        char *hash = end + 1;
        if (*end != ' ' || !((*hash >= '0' && *hash <= '9') || (*hash >= 'a' && *hash <= 'f')))
            return 0;
        *rest = strtoull(hash, &end, 16);
        if (errno != 0)
            return 0;
    }
    if (strcmp(end, "\n") != 0)
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

static int write_kept(const char *path, const char *text)
{
    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.%d.tmp", path, (int)getpid()) >= (int)sizeof tmp)
        return 0;
    make_directory_of(path);
    unlink(tmp);  // one an older start left, perhaps not ours to write
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    ssize_t len = (ssize_t)strlen(text);
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
    if (read_kept(path, &kept, NULL) && kept != ULONG_MAX && kept + 1 > id)
        id = kept + 1;
    if (id == 0)
        id = 1;
    char text[32];
    snprintf(text, sizeof text, "%lu\n", id);
    *saved = write_kept(path, text);
    return id;
}

unsigned long wsd_next_metadata_version(const char *path, uint64_t hash, unsigned long floor, int *saved)
{
    unsigned long kept = 0, version = 1;
    uint64_t kept_hash = 0;
    int known = read_kept(path, &kept, &kept_hash) && kept > 0 && kept != ULONG_MAX;
    if (known)
        version = kept_hash == hash ? kept : kept + 1;
    if (version < floor)
        version = floor;
    if (known && version == kept && kept_hash == hash) {  // nothing to write (flash wears)
        *saved = 1;
        return version;
    }
    char text[64];
    snprintf(text, sizeof text, "%lu %llx\n", version, (unsigned long long)hash);
    *saved = write_kept(path, text);
    return version;
}

int wsd_kept_mode(const char *path, int *mode)
{
    unsigned long kept;
    if (!read_kept(path, &kept, NULL) || kept > 1)
        return 0;
    *mode = (int)kept;
    return 1;
}

void wsd_keep_mode(const char *path, int mode)
{
    int kept;
    if (!wsd_kept_mode(path, &kept) || kept != mode)
        write_kept(path, mode ? "1\n" : "0\n");
}
