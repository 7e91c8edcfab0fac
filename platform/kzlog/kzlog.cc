// Stand-in for the logging library: records go to the system log, daemon
// facility, without ever waiting for it (syslog_line.h): a stalled log
// daemon costs records, never the program's progress.

#include "kzlog.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "syslog_line.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int log_fd = -1;
static char ident[64] = "kzlog";

void kzlog_open(const char *name, int)
{
    pthread_mutex_lock(&lock);
    snprintf(ident, sizeof ident, "%s", name);
    syslog_line_connect(&log_fd);
    pthread_mutex_unlock(&lock);
}

void kzlog(int level, const char *text)
{
    pthread_mutex_lock(&lock);
    syslog_line_send(&log_fd, LOG_DAEMON | (level & LOG_PRIMASK), ident, text);
    pthread_mutex_unlock(&lock);
}

void kzlog_close(void)
{
    pthread_mutex_lock(&lock);
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
    pthread_mutex_unlock(&lock);
}

void kzerror(int status, int errnum, const char *text)
{
    if (errnum != 0) {
        char reason[128], line[512];
        // The GNU strerror_r returns its text, which need not be `reason`.
        snprintf(line, sizeof line, "%s: %s", text, strerror_r(errnum, reason, sizeof reason));
        kzlog(LOG_ERR, line);
    } else {
        kzlog(LOG_ERR, text);
    }
    if (status != 0)
        exit(status);
}
