// What makes this device this device on the network: its endpoint
// address, derived from the machine id and the same across restarts, the
// description it announces (scopes and XAddrs, from the configuration
// files, config.h), and fresh UUIDs for the messages it sends.

#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "config.h"
#include "wsd.h"

static const char model[] = "IP_house";
static const char default_location[] = "onvif://www.onvif.org/location/unknown";
static const char default_templates[] = "http://{address}/onvif/device_service";
static const char fixed_scopes[] =
    "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming";

static pthread_once_t identity_once = PTHREAD_ONCE_INIT;
static char endpoint[64];

// The description announced now: replaced whole by a reload, read under
// the lock (a copy at a time).
static pthread_once_t description_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t description_lock = PTHREAD_MUTEX_INITIALIZER;
static struct wsd_description current;
static int discoverable_now = 1;

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

// What makes this device this device: the machine id, else the first
// hardware address, else the host name.
static size_t device_seed(char *seed, size_t size)
{
    static const char *const sources[] = { "/etc/machine-id", "/var/lib/dbus/machine-id",
                                           "/sys/class/net/eth0/address",
                                           "/sys/class/net/wlan0/address" };
    for (const char *path : sources) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = read(fd, seed, size);
        close(fd);
        if (n > 1)
            return (size_t)n;
    }
    gethostname(seed, size);
    return strnlen(seed, size);
}

// Host names may hold characters a scope URI may not: keep the safe ones.
static void scope_name(char *out, size_t size)
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    size_t n = 0;
    for (const char *p = host; *p && n + 1 < size; p++) {
        char c = *p;
        int safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_' || c == '~';
        out[n++] = safe ? c : '_';
    }
    out[n] = '\0';
    if (n == 0)
        snprintf(out, size, "%s", model);
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

// The scope "onvif://www.onvif.org/<key>/<text>", each '/'-separated
// segment of the text percent-encoded (RFC 3986: unreserved characters
// kept, every other byte %XX), into `out` (at least 4 x 256 bytes).
static void text_scope(char *out, const char *key, const char *text)
{
    int n = sprintf(out, "onvif://www.onvif.org/%s/", key);
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        int keep = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
                   strchr("-._~/", *p);
        n += keep ? sprintf(out + n, "%c", *p) : sprintf(out + n, "%%%02X", *p);
    }
}

// Appends one scope, whole, to the list in `all`.
static void add_scope(char *all, size_t size, const char *scope)
{
    size_t n = strlen(all);
    if (n + 1 + strlen(scope) < size)
        sprintf(all + n, " %s", scope);
}

void wsd_compose_description(const struct wsd_config *c, struct wsd_description *d,
                             wsd_config_report report)
{
    char all[WSD_CONFIG_SCOPES * WSD_CONFIG_VALUE_SIZE + 4 * 1024], scope[4 * WSD_CONFIG_VALUE_SIZE];
    strcpy(all, fixed_scopes);
    // Today's defaults, as they always were: the model and the host name
    // (made safe, not encoded). An empty text announces none.
    if (!c->has_text[WSD_HARDWARE])
        add_scope(all, sizeof all, "onvif://www.onvif.org/hardware/IP_house");
    else if (c->text[WSD_HARDWARE][0])
        text_scope(scope, "hardware", c->text[WSD_HARDWARE]), add_scope(all, sizeof all, scope);
    if (!c->has_text[WSD_NAME]) {
        char host[128];
        scope_name(host, sizeof host);
        snprintf(scope, sizeof scope, "onvif://www.onvif.org/name/%s", host);
        add_scope(all, sizeof all, scope);
    } else if (c->text[WSD_NAME][0]) {
        text_scope(scope, "name", c->text[WSD_NAME]), add_scope(all, sizeof all, scope);
    }
    // Clients look for every category of scope, a location among them:
    // one that says none is known until integrators give it.
    if (!c->has_text[WSD_LOCATION])
        add_scope(all, sizeof all, default_location);
    else if (c->text[WSD_LOCATION][0])
        text_scope(scope, "location", c->text[WSD_LOCATION]), add_scope(all, sizeof all, scope);
    for (int i = 0; i < c->scope_count; i++)
        add_scope(all, sizeof all, c->scopes[i]);
    memset(d, 0, sizeof *d);
    snprintf(d->templates, sizeof d->templates, "%s", c->has_xaddrs ? c->xaddrs : default_templates);
    d->discoverable = c->discoverable;

    // An answer must fit one datagram of ours, on any link: the last
    // scopes go first, whole; the two fixed ones stay.
    int dropped = 0;
    for (;;) {
        size_t n = strlen(all);
        if (n < sizeof d->scopes) {
            memcpy(d->scopes, all, n + 1);
            if (wsd_description_fits(d) || n == sizeof fixed_scopes - 1)
                break;
        }
        *strrchr(all, ' ') = '\0';
        dropped++;
    }
    if (dropped) {
        char problem[128];
        snprintf(problem, sizeof problem, "the description is too long for one answer: its last %d "
                 "scope%s left out", dropped, dropped > 1 ? "s" : "");
        report(problem);
    }
}

static void log_problem(const char *problem)
{
    syslog(LOG_WARNING, "%s", problem);
}

static void load_description(void)
{
    struct wsd_config c;
    struct wsd_description d;
    wsd_config_read(WSD_CONFIG_FILE, WSD_RUNTIME_CONFIG_FILE, &c, log_problem);
    wsd_compose_description(&c, &d, log_problem);

    // The MetadataVersion grows whenever Types, Scopes or XAddrs templates
    // differ from those last announced, across restarts too.
    static const char types[] = WSD_TYPES;
    uint64_t h = wsd_hash(WSD_HASH_START, types, sizeof types);
    h = wsd_hash(h, d.scopes, strlen(d.scopes) + 1);
    h = wsd_hash(h, d.templates, strlen(d.templates));
    static unsigned long last_version;
    static uint64_t last_hash;
    int saved;
    d.metadata_version = wsd_next_metadata_version(WSD_METADATA_VERSION_FILE, h, &saved);
    if (!saved) {  // the file stays behind: this start counts on in memory
        static int told;
        if (!told++)
            syslog(LOG_WARNING, "can't keep the MetadataVersion in " WSD_METADATA_VERSION_FILE);
        if (last_version)
            d.metadata_version = last_hash == h ? last_version : last_version + 1;
    }
    last_version = d.metadata_version;
    last_hash = h;
    pthread_mutex_lock(&description_lock);
    current = d;
    __atomic_store_n(&discoverable_now, d.discoverable, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&description_lock);
}

// Each answer takes a copy: the texts as long as they are, not their
// buffers whole.
void wsd_describe(struct wsd_description *out)
{
    pthread_once(&description_once, load_description);
    pthread_mutex_lock(&description_lock);
    memcpy(out->scopes, current.scopes, strlen(current.scopes) + 1);
    memcpy(out->templates, current.templates, strlen(current.templates) + 1);
    out->metadata_version = current.metadata_version;
    out->discoverable = current.discoverable;
    pthread_mutex_unlock(&description_lock);
}

int wsd_reload(void)
{
    pthread_once(&description_once, load_description);
    static pthread_mutex_t reading = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&reading);
    struct wsd_description before;
    wsd_describe(&before);
    load_description();
    struct wsd_description after;
    wsd_describe(&after);
    pthread_mutex_unlock(&reading);
    return before.metadata_version != after.metadata_version ||
           before.discoverable != after.discoverable;
}

int wsd_discoverable(void)
{
    pthread_once(&description_once, load_description);
    return __atomic_load_n(&discoverable_now, __ATOMIC_ACQUIRE);
}

size_t wsd_xaddrs(const char *templates, const char *address, char *out, size_t size)
{
    size_t n = 0, alen = strlen(address);
    for (const char *p = templates; *p;) {
        const char *at = strstr(p, "{address}");
        size_t lit = at ? (size_t)(at - p) : strlen(p);
        if (n + lit + (at ? alen : 0) >= size)
            return 0;
        memcpy(out + n, p, lit);
        n += lit;
        if (!at)
            break;
        memcpy(out + n, address, alen);
        n += alen;
        p = at + 9;
    }
    out[n] = '\0';
    return n;
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
