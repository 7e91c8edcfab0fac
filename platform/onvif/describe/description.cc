// What the device announces: its description (scopes and XAddrs
// templates) as the configuration files give it (config.h), with
// today's defaults for what they leave out, its MetadataVersion, and
// whether it is discoverable at all; made anew when the files are read
// again, and read by every message and match.

#include <net/if.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "config/config.h"
#include "description.h"
#include "identity.h"
#include "log.h"
#include "messages.h"
#include "state.h"
#include "wsd.h"

static const char model[] = "IP_house";
static const char default_location[] = "onvif://www.onvif.org/location/unknown";
static const char default_templates[] = "http://{address}/onvif/device_service";
static const char fixed_scopes[] =
    "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming";

// The description announced now: replaced whole by a reload, read under
// the lock (a copy at a time).
static pthread_once_t description_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t description_lock = PTHREAD_MUTEX_INITIALIZER;
static struct wsd_description current;
static int discoverable_now = 1;
// The links to use and the senders allowed from off the link: kept here
// alone, and asked of wsd_link_used and wsd_allows.
static char interfaces_now[WSD_CONFIG_VALUE_SIZE];
static struct wsd_prefixes allowed_now;

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
    char all[WSD_CONFIG_SCOPES * WSD_CONFIG_VALUE_SIZE + 5 * 1024], scope[4 * WSD_CONFIG_VALUE_SIZE];
    strcpy(all, fixed_scopes);
    // The keys clients file a camera under: its hardware address (the one
    // its endpoint falls back on) and the serial number it is given. Fixed
    // as the first two: never left out, whatever else is.
    if (c->hardware_address[0])
        snprintf(scope, sizeof scope, "onvif://www.onvif.org/MacAddress/%s", c->hardware_address),
            add_scope(all, sizeof all, scope);
    if (c->text[WSD_SERIAL][0])
        text_scope(scope, "SerialNumber", c->text[WSD_SERIAL]), add_scope(all, sizeof all, scope);
    size_t fixed = strlen(all);
    // Today's defaults, as they always were: the model and the host name
    // (made safe, not encoded). An empty text announces none.
    if (!c->given[WSD_HARDWARE])
        add_scope(all, sizeof all, "onvif://www.onvif.org/hardware/IP_house");
    else if (c->text[WSD_HARDWARE][0])
        text_scope(scope, "hardware", c->text[WSD_HARDWARE]), add_scope(all, sizeof all, scope);
    if (!c->given[WSD_NAME]) {
        char host[128];
        scope_name(host, sizeof host);
        snprintf(scope, sizeof scope, "onvif://www.onvif.org/name/%s", host);
        add_scope(all, sizeof all, scope);
    } else if (c->text[WSD_NAME][0]) {
        text_scope(scope, "name", c->text[WSD_NAME]), add_scope(all, sizeof all, scope);
    }
    // Clients look for every category of scope, a location among them:
    // one that says none is known until integrators give it.
    if (!c->given[WSD_LOCATION])
        add_scope(all, sizeof all, default_location);
    else if (c->text[WSD_LOCATION][0])
        text_scope(scope, "location", c->text[WSD_LOCATION]), add_scope(all, sizeof all, scope);
    for (int i = 0; i < c->scope_count; i++)
        add_scope(all, sizeof all, c->scopes[i]);
    memset(d, 0, sizeof *d);
    snprintf(d->templates, sizeof d->templates, "%s", c->given[WSD_XADDRS] ? c->xaddrs : default_templates);
    d->discoverable = c->discoverable;
    snprintf(d->endpoint, sizeof d->endpoint, "%s", c->given[WSD_ENDPOINT] ? c->endpoint : wsd_endpoint());

    // An answer must fit one datagram of ours, on any link: the last
    // scopes go first, whole; the fixed ones stay.
    int dropped = 0;
    d->fixed_scopes = fixed;
    for (;;) {
        size_t n = strlen(all);
        if (n < sizeof d->scopes) {
            memcpy(d->scopes, all, n + 1);
            if (wsd_description_fits(d) || n == fixed)
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

// The problems of the last reading of the files, for the status.
static char refused[WSD_REFUSED_KEPT][WSD_REFUSED_SIZE];
static int refused_count;

static void log_problem(const char *problem)
{
    wsd_log(LOG_WARNING, "%s", problem);
    pthread_mutex_lock(&description_lock);
    if (refused_count < WSD_REFUSED_KEPT)
        snprintf(refused[refused_count++], WSD_REFUSED_SIZE, "%s", problem);
    pthread_mutex_unlock(&description_lock);
}

int wsd_refused(char out[][WSD_REFUSED_SIZE])
{
    pthread_mutex_lock(&description_lock);
    int n = refused_count;
    memcpy(out, refused, sizeof refused[0] * (size_t)n);
    pthread_mutex_unlock(&description_lock);
    return n;
}

// The MetadataVersion of the description `d` about to be announced: one
// rule (wsd_next_metadata_version), never below one announced before by
// this start (one more for a description other than the last) nor below
// the one kept from earlier starts; the state written back when it can
// be (a write that failed is tried again at the next reading).
static unsigned long next_version(const struct wsd_description *d)
{
    static unsigned long last;  // 0: none announced yet
    static uint64_t last_hash;
    static const char types[] = WSD_TYPES;
    uint64_t h = wsd_hash(WSD_HASH_START, types, sizeof types);
    h = wsd_hash(h, d->scopes, strlen(d->scopes) + 1);
    h = wsd_hash(h, d->templates, strlen(d->templates));
    unsigned long floor = last == 0 ? 0 : h == last_hash ? last : last + 1;
    int saved;
    unsigned long version = wsd_next_metadata_version(WSD_METADATA_VERSION_FILE, h, floor, &saved);
    static int told;
    if (!saved && !told++)
        wsd_log(LOG_WARNING, "can't keep the MetadataVersion in " WSD_METADATA_VERSION_FILE);
    last = version;
    last_hash = h;
    return version;
}

// The mode in force from a reading of the files: what they say; where the
// last word on it cannot be used, the mode in force before (across a
// restart too: it is kept); a file there but unreadable at start leaves
// the device hidden until it can be read.
static int mode_in_force(const struct wsd_config *c, int readable, int loaded)
{
    int kept;
    if (!readable)
        return 0;
    if (c->discoverable_bad && loaded)
        return __atomic_load_n(&discoverable_now, __ATOMIC_ACQUIRE);
    if (c->discoverable_bad && wsd_kept_mode(WSD_MODE_FILE, &kept))
        return kept;
    return c->discoverable;
}

// What the files say now, made the description in force. A file that is
// there but cannot be read leaves what is in force as it is (at start:
// the rest read, but hidden). A MetadataVersion is taken only for a
// description that is to be announced.
static void load_description(void)
{
    static int loaded;
    struct wsd_config c;
    struct wsd_description d;
    pthread_mutex_lock(&description_lock);
    refused_count = 0;
    pthread_mutex_unlock(&description_lock);
    int readable = wsd_config_read(WSD_CONFIG_FILE, WSD_RUNTIME_CONFIG_FILE, &c, log_problem);
    if (!readable && loaded)
        return;
    wsd_hardware_address(c.hardware_address);
    wsd_compose_description(&c, &d, log_problem);
    d.discoverable = mode_in_force(&c, readable, loaded);
    d.metadata_version = d.discoverable ? next_version(&d) : 0;
    if (readable)
        wsd_keep_mode(WSD_MODE_FILE, d.discoverable);
    pthread_mutex_lock(&description_lock);
    current = d;
    __atomic_store_n(&discoverable_now, d.discoverable, __ATOMIC_RELEASE);
    strcpy(interfaces_now, c.given[WSD_INTERFACES] ? c.interfaces : "");
    allowed_now = c.allow;
    pthread_mutex_unlock(&description_lock);
    loaded = 1;
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
    out->fixed_scopes = current.fixed_scopes;
    memcpy(out->endpoint, current.endpoint, sizeof out->endpoint);
    pthread_mutex_unlock(&description_lock);
}

int wsd_link_used(int ifindex)
{
    char name[IF_NAMESIZE];
    if (ifindex <= 0 || !if_indextoname((unsigned)ifindex, name))
        return 0;  // gone
    pthread_once(&description_once, load_description);
    pthread_mutex_lock(&description_lock);
    int used = wsd_globs_name(interfaces_now, name);
    pthread_mutex_unlock(&description_lock);
    return used;
}

int wsd_allows(const unsigned char from[16])
{
    pthread_once(&description_once, load_description);
    pthread_mutex_lock(&description_lock);
    int allowed = 0;
    for (int i = 0; i < allowed_now.count && !allowed; i++)
        allowed = wsd_prefix_holds(&allowed_now.at[i], from);
    pthread_mutex_unlock(&description_lock);
    return allowed;
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
           before.discoverable != after.discoverable || strcmp(before.endpoint, after.endpoint) != 0;
}

int wsd_discoverable(void)
{
    pthread_once(&description_once, load_description);
    return __atomic_load_n(&discoverable_now, __ATOMIC_ACQUIRE);
}

size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to, const char *xaddrs)
{
    struct wsd_description d;
    wsd_describe(&d);
    return wsd_message_with(&d, out, size, kind, relates_to, xaddrs);
}
