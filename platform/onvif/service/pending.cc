#include "pending.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "network/admission.h"
#include "waits.h"

// A held answer: where its request came from and arrived (an arrival
// without the room a sockaddr_storage keeps), its kind and MessageID.
struct held {
    double due;  // monotonic seconds
    unsigned char via, kind, family, multicast, soap11;
    int ifindex;
    socklen_t from_len;
    union {
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    } from;
    struct in_addr local;
    struct in6_addr local6;
    char relates_to[WSD_MESSAGE_ID_SIZE];
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

static void hold(struct held *h, enum datagram_via via, const struct arrival *a,
                 const struct answer *answer)
{
    h->due = monotonic_s() + next_random() * (double)PENDING_DELAY_MS / 1000;
    h->via = (unsigned char)via;
    h->kind = (unsigned char)answer->kind;
    h->soap11 = (unsigned char)answer->soap11;
    h->family = (unsigned char)a->family;
    h->multicast = (unsigned char)a->multicast;
    h->ifindex = a->ifindex;
    h->from_len = a->from_len <= sizeof h->from ? a->from_len : sizeof h->from;
    memcpy(&h->from, &a->from, h->from_len);
    h->local = a->local;
    h->local6 = a->local6;
    strcpy(h->relates_to, answer->relates_to);
}

// The arrival and answer a held one stands for.
static void unhold(const struct held *h, struct arrival *a, struct answer *answer)
{
    memset(a, 0, sizeof *a);
    memcpy(&a->from, &h->from, h->from_len);
    a->from_len = h->from_len;
    a->family = h->family;
    a->ifindex = h->ifindex;
    a->local = h->local;
    a->local6 = h->local6;
    a->multicast = h->multicast;
    answer->kind = (enum wsd_kind)h->kind;
    answer->soap11 = h->soap11;
    strcpy(answer->relates_to, h->relates_to);
}

// Whether `h` is for the sender (address; and port, when `port` too) of *a.
static int same_sender(const struct held *h, const struct arrival *a, int port)
{
    if (h->from_len != a->from_len || h->from.v4.sin_family != a->from.ss_family)
        return 0;
    if (h->from.v4.sin_family == AF_INET) {
        const struct sockaddr_in *f = (const struct sockaddr_in *)&a->from;
        return h->from.v4.sin_addr.s_addr == f->sin_addr.s_addr && (!port || h->from.v4.sin_port == f->sin_port);
    }
    const struct sockaddr_in6 *f = (const struct sockaddr_in6 *)&a->from;
    return memcmp(&h->from.v6.sin6_addr, &f->sin6_addr, sizeof f->sin6_addr) == 0 &&
           (!port || h->from.v6.sin6_port == f->sin6_port);
}

void pending_add(enum datagram_via via, const struct arrival *a, const struct answer *answer,
                 int wake_sender)
{
    pthread_once(&start_once, start);
    pthread_mutex_lock(&lock);
    int room = !gone && held_count < PENDING_LIMIT, senders = 0, repeat = 0;
    for (int i = 0; room && i < held_count; i++) {
        if (!same_sender(&held[i], a, 0))
            continue;
        senders++;
        repeat = same_sender(&held[i], a, 1) && strcmp(held[i].relates_to, answer->relates_to) == 0;
        room = senders < ADMISSION_BURST && !repeat;
    }
    if (room) {
        hold(&held[held_count++], via, a, answer);
        uint64_t one = 1;
        if (wake_sender && wake >= 0 && write(wake, &one, sizeof one) < 0) {
            // the count is full: a wake-up is on its way already
        }
    }
    int dropped = !room && !gone;
    pthread_mutex_unlock(&lock);
    if (dropped) {
        admission_untake(a);
        counters_outcome(a, repeat ? COUNT_REPEAT : COUNT_QUEUE_FULL);
    }
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
// current for it, so none goes by a number that a reopen handed to another;
// and only if it may still leave (responder_send asks).
void pending_send_due(void)
{
    double now = monotonic_s();
    pthread_mutex_lock(&lock);
    for (int i = 0; i < held_count;) {
        if (held[i].due > now) {
            i++;
            continue;
        }
        struct arrival to;
        struct answer answer;
        unhold(&held[i], &to, &answer);
        responder_send(-1, (enum datagram_via)held[i].via, &to, &answer);
        held[i] = held[--held_count];
    }
    pthread_mutex_unlock(&lock);
}

void pending_settle(void)
{
    pthread_mutex_lock(&lock);
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
