#include "private_dev.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

int private_dev(const char **failed)
{
    static const char *const nodes[] = { "null", "zero", "full", "random", "urandom" };
    enum { NODE_COUNT = sizeof nodes / sizeof nodes[0] };
    int fds[NODE_COUNT];
    char path[64], source[64];

    // Opened before the tmpfs hides them; a bind mount from the descriptor
    // brings each back.
    for (int i = 0; i < NODE_COUNT; i++) {
        snprintf(path, sizeof path, "/dev/%s", nodes[i]);
        fds[i] = open(path, O_PATH | O_CLOEXEC);
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755") != 0) {
        *failed = "tmpfs over /dev";
        return -1;
    }
    for (int i = 0; i < NODE_COUNT; i++) {
        if (fds[i] < 0)
            continue;
        snprintf(path, sizeof path, "/dev/%s", nodes[i]);
        snprintf(source, sizeof source, "/proc/self/fd/%d", fds[i]);
        close(open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
        int bound = mount(source, path, NULL, MS_BIND, NULL);
        close(fds[i]);
        if (bound != 0) {
            *failed = nodes[i];
            return -1;
        }
    }
    if (symlink("/proc/self/fd", "/dev/fd") != 0 || symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
        symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
        symlink("/proc/self/fd/2", "/dev/stderr") != 0) {
        *failed = "/dev links";
        return -1;
    }
    return 0;
}
