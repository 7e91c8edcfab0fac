#include "pending.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "waits.h"

struct held {
    double due;  // monotonic seconds
    enum datagram_via via;
    struct arrival to;
    struct answer answer;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct held held[PENDING_LIMIT];
static int held_count;
static int gone;  // the Bye was said
static int wake = -1;
static pthread_once_t start_once = PTHREAD_ONCE_INIT;
static uint64_t random_state;

// The delays come from the kernel's random bytes, drawn once: devices
// started the same way must not draw the same ones.
static void start(void)
{
    if (getrandom(&random_state, sizeof random_state, GRND_NONBLOCK) != sizeof random_state)
        random_state = (uint64_t)monotonic_s() * 1000003u ^ (uint64_t)getpid() << 32;
    random_state |= 1;
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// Evenly over [0, 1): xorshift64*, under the lock.
static double next_random(void)
{
    random_state ^= random_state >> 12;
    random_state ^= random_state << 25;
    random_state ^= random_state >> 27;
    return (double)((random_state * 0x2545f4914f6cdd1dULL) >> 11) / 9007199254740992.0;
}

void pending_add(enum datagram_via via, const struct arrival *a, const struct answer *answer,
                 int wake_sender)
{
    pthread_once(&start_once, start);
    pthread_mutex_lock(&lock);
    if (!gone && held_count < PENDING_LIMIT) {
        struct held *h = &held[held_count++];
        h->due = monotonic_s() + next_random() * (double)PENDING_DELAY_MS / 1000;
        h->via = via;
        h->to = *a;
        h->answer = *answer;
        uint64_t one = 1;
        if (wake_sender && wake >= 0 && write(wake, &one, sizeof one) < 0) {
            // the count is full: a wake-up is on its way already
        }
    }
    pthread_mutex_unlock(&lock);
}

int pending_next_ms(void)
{
    pthread_mutex_lock(&lock);
    double first = -1;
    for (int i = 0; i < held_count; i++)
        if (first < 0 || held[i].due < first)
            first = held[i].due;
    pthread_mutex_unlock(&lock);
    if (first < 0)
        return -1;
    double ms = (first - monotonic_s()) * 1000;
    return ms <= 0 ? 0 : (int)ms + 1;
}

// Each is sent under the lock, so none can follow the Bye; on the socket
// current for it, so none goes by a number that a reopen handed to another.
void pending_send_due(void)
{
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    for (int i = 0; i < held_count;) {
        if (held[i].due > now) {
            i++;
            continue;
        }
        char message[WSD_MESSAGE_SIZE];
        size_t len = wsd_discoverable() ? responder_compose(&held[i].answer, message, sizeof message) : 0;
        if (len)
            datagram_reply_via(held[i].via, &held[i].to, message, len);
        held[i] = held[--held_count];
    }
    pthread_mutex_unlock(&lock);
}

int pending_wake_fd(void)
{
    pthread_once(&start_once, start);
    return wake;
}

void pending_woken(void)
{
    uint64_t count;
    if (read(wake, &count, sizeof count) < 0) {
        // read by an earlier wake-up already
    }
}

void pending_drop_all(void)
{
    pthread_mutex_lock(&lock);
    gone = 1;
    held_count = 0;
    pthread_mutex_unlock(&lock);
}
