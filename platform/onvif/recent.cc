#include "recent.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "wsd.h"

static const double duplicate_window_s = 5;  // a request repeated within it is dropped

enum { RECENT_REQUESTS = 32 };

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int recent_seen(const char *message_id)
{
    static struct {
        uint64_t hash;
        double at;
    } recent[RECENT_REQUESTS];
    static unsigned next;
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

    uint64_t hash = wsd_hash(WSD_HASH_START, message_id, strlen(message_id));
    double now = now_s();
    int seen = 0;
    pthread_mutex_lock(&lock);
    for (unsigned i = 0; i < RECENT_REQUESTS && !seen; i++)
        seen = recent[i].hash == hash && recent[i].at != 0 && now - recent[i].at < duplicate_window_s;
    if (!seen) {
        recent[next].hash = hash;
        recent[next].at = now;
        next = (next + 1) % RECENT_REQUESTS;
    }
    pthread_mutex_unlock(&lock);
    return seen;
}
