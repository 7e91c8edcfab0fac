// Logging library libkzlog-pthread.so; safe to call from any thread.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/// Opens the log under `name` with the option value `option`.
void kzlog_open(const char *name, int option);

/// Writes one record of `text` at syslog level `level`.
void kzlog(int level, const char *text);

/// Closes the log.
void kzlog_close(void);

/// Reports a fatal error: `text`, and the system error text when `errnum` is
/// not 0. Does not return when `status` is not 0: the process exits with it.
void kzerror(int status, int errnum, const char *text);

#ifdef __cplusplus
}
#endif
