// Stand-in for the logging library: records go to syslog, daemon facility.

#include "kzlog.h"

#include <stdlib.h>
#include <string.h>
#include <syslog.h>

void kzlog_open(const char *name, int option)
{
    openlog(name, option, LOG_DAEMON);
}

void kzlog(int level, const char *text)
{
    syslog(level, "%s", text);
}

void kzlog_close(void)
{
    closelog();
}

void kzerror(int status, int errnum, const char *text)
{
    if (errnum != 0) {
        char reason[128];
        // The GNU strerror_r returns its text, which need not be `reason`.
        syslog(LOG_ERR, "%s: %s", text, strerror_r(errnum, reason, sizeof reason));
    } else {
        syslog(LOG_ERR, "%s", text);
    }
    if (status != 0)
        exit(status);
}
