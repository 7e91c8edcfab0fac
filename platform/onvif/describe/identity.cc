// What makes this device this device on the network: its endpoint
// address, derived from the machine id (else its hardware address) and the
// same across restarts, and fresh UUIDs for the messages it sends.

#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "identity.h"
#include "wsd.h"

static pthread_once_t identity_once = PTHREAD_ONCE_INIT;
static char endpoint[64];
static const char *endpoint_source = "host name";

uint64_t wsd_hash(uint64_t hash, const char *text, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        hash ^= (unsigned char)text[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// "urn:uuid:" and the 16 bytes in lower-case hexadecimal, grouped 8-4-4-4-12.
static void format_uuid(char *out, const unsigned char b[16])
{
    static const char hex[] = "0123456789abcdef";
    memcpy(out, "urn:uuid:", 9);
    char *p = out + 9;
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *p++ = '-';
        *p++ = hex[b[i] >> 4];
        *p++ = hex[b[i] & 15];
    }
    *p = '\0';
}

// Whether `n` bytes read from a machine id make one: not empty, not all
// zeros, not "uninitialized" (what systemd writes before the first boot
// completes, the same on every board made from one image).
static int is_machine_id(const char *id, size_t n)
{
    while (n > 0 && (id[n - 1] == '\n' || id[n - 1] == ' '))
        n--;
    size_t zeros = 0;
    while (zeros < n && id[zeros] == '0')
        zeros++;
    return n > 0 && zeros < n && !(n == 13 && memcmp(id, "uninitialized", 13) == 0);
}

// The rank of an interface's name for the hardware address: eth0 and wlan0
// first, as the boards have always had them, then any other by its name.
static int hardware_rank(const char *name)
{
    return strcmp(name, "eth0") == 0 ? 0 : strcmp(name, "wlan0") == 0 ? 1 : 2;
}

int wsd_hardware_address(char out[WSD_HARDWARE_ADDRESS_SIZE])
{
    struct ifaddrs *list;
    if (getifaddrs(&list) != 0)
        return 0;
    const struct ifaddrs *best = NULL;
    static const unsigned char none[6] = { 0 };
    for (const struct ifaddrs *i = list; i; i = i->ifa_next) {
        const struct sockaddr_ll *ll = (const struct sockaddr_ll *)i->ifa_addr;
        if (!ll || ll->sll_family != AF_PACKET || ll->sll_hatype != ARPHRD_ETHER || ll->sll_halen != 6 ||
            memcmp(ll->sll_addr, none, 6) == 0 || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        int r = hardware_rank(i->ifa_name), b = best ? hardware_rank(best->ifa_name) : 3;
        if (r < b || (r == b && strcmp(i->ifa_name, best->ifa_name) < 0))
            best = i;
    }
    if (best) {
        const unsigned char *a = ((const struct sockaddr_ll *)best->ifa_addr)->sll_addr;
        snprintf(out, WSD_HARDWARE_ADDRESS_SIZE, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4],
                 a[5]);
    }
    freeifaddrs(list);
    return best != NULL;
}

// What makes this device this device: the machine id, else the hardware
// address (as the kernel prints it, with its line end), else the host name.
static size_t device_seed(char *seed, size_t size)
{
    static const char *const sources[] = { "/etc/machine-id", "/var/lib/dbus/machine-id" };
    for (int k = 0; k < 2; k++) {
        int fd = open(sources[k], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = read(fd, seed, size);
        close(fd);
        if (n > 1 && is_machine_id(seed, (size_t)n)) {
            endpoint_source = "machine-id";
            return (size_t)n;
        }
    }
    char mac[WSD_HARDWARE_ADDRESS_SIZE];
    if (wsd_hardware_address(mac)) {
        endpoint_source = "hardware address";
        return (size_t)snprintf(seed, size, "%s\n", mac);
    }
    gethostname(seed, size);
    return strnlen(seed, size);
}

static void make_endpoint(void)
{
    // The endpoint is a hash of the seed, not the seed: the machine id is
    // not to be shown to the network.
    char seed[256];
    size_t len = device_seed(seed, sizeof seed);
    static const char salt[] = "ip-house onvif endpoint";
    uint64_t h1 = wsd_hash(wsd_hash(WSD_HASH_START, salt, sizeof salt), seed, len);
    uint64_t h2 = wsd_hash(wsd_hash(0x84222325cbf29ce4ULL, seed, len), salt, sizeof salt);
    unsigned char b[16];
    for (int i = 0; i < 8; i++) {
        b[i] = (unsigned char)(h1 >> (8 * i));
        b[8 + i] = (unsigned char)(h2 >> (8 * i));
    }
    b[6] = (unsigned char)((b[6] & 0x0f) | 0x50);  // name-based
    b[8] = (unsigned char)((b[8] & 0x3f) | 0x80);
    format_uuid(endpoint, b);
}

const char *wsd_endpoint(void)
{
    pthread_once(&identity_once, make_endpoint);
    return endpoint;
}

const char *wsd_endpoint_source(void)
{
    pthread_once(&identity_once, make_endpoint);
    return endpoint_source;
}

// Random bytes for UUIDs, drawn from the kernel a batch at a time: one
// system call for sixteen messages instead of one each. Each thread has
// its own batch, so no lock is held and no byte is handed out twice.
static int random_bytes(unsigned char *out, size_t n)
{
    static __thread unsigned char batch[256];
    static __thread size_t left;
    if (left < n) {
        if (getrandom(batch, sizeof batch, 0) != (ssize_t)sizeof batch)
            return 0;
        left = sizeof batch;
    }
    memcpy(out, batch + sizeof batch - left, n);
    left -= n;
    return 1;
}

void wsd_new_uuid(char *out)
{
    unsigned char b[16];
    if (!random_bytes(b, sizeof b)) {
        // No entropy yet this early after boot: time and a counter still
        // make it unique on this device.
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        static unsigned long counter;
        uint64_t t = (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
        uint64_t c = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
        memcpy(b, &t, 8);
        memcpy(b + 8, &c, 8);
    }
    b[6] = (unsigned char)((b[6] & 0x0f) | 0x40);  // random
    b[8] = (unsigned char)((b[8] & 0x3f) | 0x80);
    format_uuid(out, b);
}
