// The library's log: records to the system log, daemon facility, under the
// program's name, that never wait for the log daemon. A record it could not
// take (its socket full, or none there) is counted, not waited for: a
// stalled log costs records, never an answer or a Hello.
#pragma once

#include <syslog.h>

/// Logs one record at `level` (LOG_WARNING, ...), formatted as printf does.
void wsd_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/// How many records were lost so far.
unsigned long wsd_log_lost(void);
