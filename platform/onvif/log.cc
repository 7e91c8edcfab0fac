#include "log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>

#include "../kzlog/syslog_line.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int log_fd = -1;
static unsigned long lost;

void wsd_log(int level, const char *format, ...)
{
    char text[768];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    pthread_mutex_lock(&lock);
    if (!syslog_line_send(&log_fd, LOG_DAEMON | (level & LOG_PRIMASK), program_invocation_short_name, text))
        lost++;
    pthread_mutex_unlock(&lock);
}

unsigned long wsd_log_lost(void)
{
    return __atomic_load_n(&lost, __ATOMIC_RELAXED);
}
