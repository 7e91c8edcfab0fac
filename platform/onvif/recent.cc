#include "recent.h"

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

    uint64_t hash = wsd_hash(WSD_HASH_START, message_id, strlen(message_id));
    double now = now_s();
    for (unsigned i = 0; i < RECENT_REQUESTS; i++)
        if (recent[i].hash == hash && recent[i].at != 0 && now - recent[i].at < duplicate_window_s)
            return 1;
    recent[next].hash = hash;
    recent[next].at = now;
    next = (next + 1) % RECENT_REQUESTS;
    return 0;
}
