// One record to the system log's socket (/dev/log), never waiting for it:
// a log daemon that is stalled (its socket's queue full) or missing costs
// the record, never the caller's time. The record is what the C library's
// syslog sends: "<priority>Mmm dd hh:mm:ss ident: text".
#pragma once

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

/// Connects *fd to the log's socket when it is not (-1).
static inline int syslog_line_connect(int *fd)
{
    if (*fd >= 0)
        return 1;
    struct sockaddr_un to;
    memset(&to, 0, sizeof to);
    to.sun_family = AF_UNIX;
    strcpy(to.sun_path, "/dev/log");
    *fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*fd >= 0 && connect(*fd, (struct sockaddr *)&to, sizeof to) != 0) {
        close(*fd);
        *fd = -1;
    }
    return *fd >= 0;
}

/// Sends `text` at `priority` (facility and level) under `ident` by the
/// socket *fd, connected on first use and again once when the log daemon
/// was restarted meanwhile. Returns whether the record went. Not safe from
/// several threads at once on one *fd: the caller holds its lock.
static inline int syslog_line_send(int *fd, int priority, const char *ident, const char *text)
{
    char line[1024], stamp[32];
    time_t now = time(NULL);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
    int n = snprintf(line, sizeof line, "<%d>%s %s: %s", priority, stamp, ident, text);
    size_t len = n < 0 ? 0 : (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!syslog_line_connect(fd))
            return 0;
        if (send(*fd, line, len, MSG_NOSIGNAL) >= 0)  // the socket never waits
            return 1;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return 0;  // stalled: lost
        close(*fd);  // the log daemon went away, or came back anew
        *fd = -1;
    }
    return 0;
}
