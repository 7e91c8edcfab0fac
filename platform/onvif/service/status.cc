#include "status.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "config/config.h"
#include "describe/description.h"
#include "describe/identity.h"
#include "log.h"
#include "network/counters.h"
#include "network/links.h"
#include "waits.h"
#include "wsd.h"

static unsigned long changes;  // what status_changed says, besides the counters
static long started;           // when the service started (unix time)

void status_changed(void)
{
    long zero = 0;
    __atomic_compare_exchange_n(&started, &zero, (long)time(NULL), 0, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    __atomic_add_fetch(&changes, 1, __ATOMIC_RELAXED);
}

// `s` as a JSON string: quoted, escaped, and ASCII where it is not UTF-8.
static void put_string(FILE *f, const char *s)
{
    int utf8 = wsd_valid_utf8((const unsigned char *)s, strlen(s));
    fputc('"', f);
    for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
        if (*p == '"' || *p == '\\')
            fprintf(f, "\\%c", *p);
        else if (*p < 0x20 || *p == 0x7f)
            fprintf(f, "\\u%04x", *p);
        else
            fputc(*p >= 0x80 && !utf8 ? '?' : *p, f);
    }
    fputc('"', f);
}

static const char *family_name(int family)
{
    return family == AF_INET ? "IPv4" : "IPv6";
}

static void put_interface(FILE *f, int ifindex)
{
    char name[IF_NAMESIZE] = "?";
    if_indextoname((unsigned)ifindex, name);
    fputs("\"interface\":", f);
    put_string(f, name);
}

// Monotonic seconds as the wall clock's.
static long wall(double monotonic)
{
    return (long)(time(NULL) - (monotonic_s() - monotonic));
}

static void put_links(FILE *f)
{
    struct link links[LINK_LIMIT];
    int n = link_known(links);
    fputs("\"links\":[", f);
    for (int i = 0; i < n; i++) {
        const struct link *l = &links[i];
        char xaddrs[WSD_XADDRS_SIZE];
        link_xaddrs(l, NULL, xaddrs, sizeof xaddrs);
        fprintf(f, "%s{", i ? "," : "");
        put_interface(f, l->ifindex);
        fprintf(f, ",\"family\":\"%s\",\"addresses\":[", family_name(l->family));
        for (int k = 0; k < (l->family == AF_INET ? l->count : 1); k++) {
            fputs(k ? "," : "", f);
            put_string(f, l->family == AF_INET ? l->names[k] : l->address);
        }
        fputs("],\"xaddrs\":", f);
        put_string(f, xaddrs);
        fprintf(f, ",\"mtu\":%d}", l->mtu);
    }
    fputs("],", f);
}

// Every interface, with what makes it a link or not.
static void put_interfaces(FILE *f)
{
    struct ifaddrs *list;
    fputs("\"interfaces\":[", f);
    int first = 1;
    if (getifaddrs(&list) == 0) {
        for (struct ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET)
                continue;
            int ifindex = (int)if_nametoindex(i->ifa_name);
            fputs(first ? "{" : ",{", f);
            first = 0;
            put_interface(f, ifindex);
            fprintf(f, ",\"up\":%s,\"multicast\":%s,\"loopback\":%s,\"used\":%s}",
                    i->ifa_flags & IFF_UP ? "true" : "false", i->ifa_flags & IFF_MULTICAST ? "true" : "false",
                    i->ifa_flags & IFF_LOOPBACK ? "true" : "false", wsd_link_used(ifindex) ? "true" : "false");
        }
        freeifaddrs(list);
    }
    fputs("],", f);
}

static void put_counters(FILE *f)
{
    struct link_counts counts[64];
    int n = counters_links(counts, 64);
    fputs("\"counters\":[", f);
    for (int i = 0; i < n; i++) {
        const struct link_counts *c = &counts[i];
        fprintf(f, "%s{", i ? "," : "");
        put_interface(f, c->ifindex);
        fprintf(f, ",\"family\":\"%s\",\"heard_at\":", family_name(c->family));
        if (c->heard_s > 0)
            fprintf(f, "%ld", wall(c->heard_s));
        else
            fputs("null", f);
        for (int k = 0; k < COUNTERS; k++)
            fprintf(f, ",\"%s\":%lu", counter_names[k], c->count[k]);
        fputs(",\"send_errors\":{", f);
        for (int k = 0; k < 4 && c->error_counts[k]; k++)
            fprintf(f, "%s\"%s\":%d", k ? "," : "", c->errors[k] ? strerrorname_np(c->errors[k]) : "none",
                    c->error_counts[k]);
        fputs("}}", f);
    }
    fprintf(f, "],\"log_lines_lost\":%lu,", wsd_log_lost());
}

static void put_requesters(FILE *f)
{
    struct requester r[REQUESTERS_KEPT];
    int n = counters_requesters(r);
    fputs("\"requesters\":[", f);
    for (int i = 0; i < n; i++) {
        char from[INET6_ADDRSTRLEN];
        int v4 = IN6_IS_ADDR_V4MAPPED((const struct in6_addr *)r[i].from);
        inet_ntop(v4 ? AF_INET : AF_INET6, r[i].from + (v4 ? 12 : 0), from, sizeof from);
        fprintf(f, "%s{\"address\":\"%s\",\"port\":%u,", i ? "," : "", from, r[i].port);
        put_interface(f, r[i].ifindex);
        fprintf(f, ",\"at\":%ld,\"outcome\":\"%s\"}", wall(r[i].at_s), counter_names[r[i].outcome]);
    }
    fputs("]", f);
}

static void put_status(FILE *f)
{
    struct wsd_description d;
    wsd_describe(&d);
    int configured = strcmp(d.endpoint, wsd_endpoint()) != 0;
    fprintf(f, "{\"pid\":%d,\"started\":%ld,\"written\":%ld,\"discoverable\":%s,\"endpoint\":", (int)getpid(),
            __atomic_load_n(&started, __ATOMIC_RELAXED), (long)time(NULL), d.discoverable ? "true" : "false");
    put_string(f, d.endpoint);
    fprintf(f, ",\"endpoint_from\":\"%s\",\"metadata_version\":%lu,",
            configured ? "configuration" : wsd_endpoint_source(), d.metadata_version);
    put_links(f);
    put_interfaces(f);
    char refused[WSD_REFUSED_KEPT][WSD_REFUSED_SIZE];
    int n = wsd_refused(refused);
    fputs("\"config_refused\":[", f);
    for (int i = 0; i < n; i++) {
        fputs(i ? "," : "", f);
        put_string(f, refused[i]);
    }
    fputs("],", f);
    put_counters(f);
    put_requesters(f);
    fputs("}\n", f);
}

// The document, written whole beside the file and renamed over it.
static int write_status(void)
{
    mkdir(WSD_STATUS_DIR, 0755);  // where the service has not made it
    int fd = open(WSD_STATUS_FILE ".tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : NULL;
    if (!f) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    fchmod(fd, 0644);  // readable by an unprivileged UI, whatever the umask
    put_status(f);
    int ok = !ferror(f);
    ok = fclose(f) == 0 && ok;
    return ok && rename(WSD_STATUS_FILE ".tmp", WSD_STATUS_FILE) == 0;
}

void status_tend(void)
{
    static unsigned long written_counts = (unsigned long)-1, written_changes = (unsigned long)-1;
    static double written_s;
    static int told;
    unsigned long counts = counters_generation(), now_changes = __atomic_load_n(&changes, __ATOMIC_RELAXED);
    if ((counts == written_counts && now_changes == written_changes) || monotonic_s() - written_s < 1)
        return;
    written_counts = counts;
    written_changes = now_changes;
    written_s = monotonic_s();
    if (!write_status() && !told++)
        wsd_log(LOG_WARNING, "can't write the status in " WSD_STATUS_FILE ": %s", strerror(errno));
}
