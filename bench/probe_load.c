/* Load generator for WS-Discovery responders: sends Probes one after the
 * other to 239.255.255.250:3702 and times each answer, then reports the
 * responder's CPU time, RSS and idle wake-ups from /proc.
 *
 *   probe_load FORM COUNT PID IDLE_SECONDS NAME [ADDRESS [SOURCES]]
 *   probe_load flood COUNT PID ADDRESS [distinct|repeated|unmatched|commented]
 *
 * ADDRESS is where the Probes go: the group when left out, or the
 * responder's own address (directed Probes, answered at once).
 * FORM is the Probe the responder answers: "onvif" (the npm onvif
 * client's), "wsdd" (Types wsdp:Device) or "wsdd2" (wsa:-prefixed Action and
 * MessageID, Types wsdp:Device). SOURCES ("10.79.1.1/250") spreads the
 * Probes over that many sender addresses from the first one up, in turn
 * (this host's own), so that a responder's share per sender does not cap
 * the load. Prints one table row.
 *
 * "flood" sends COUNT Probes from one sender as fast as it can and prints
 * how many were answered, how many the responder's kernel dropped (its
 * receive buffer full) and the responder's CPU time per datagram it
 * received. The Probes are distinct ones the responder matches (the
 * default), one such Probe repeated, distinct ones for a Type it is not
 * (unmatched), or those with an XML comment (commented), which a quick
 * reader leaves to a full parser.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int compose(char *out, size_t size, const char *form, const char *id)
{
    if (strcmp(form, "onvif") == 0)
        return snprintf(out, size,
            "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\" "
            "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><Header>"
            "<wsa:MessageID xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">%s"
            "</wsa:MessageID><wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
            "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
            "<wsa:Action xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
            "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action></Header><Body>"
            "<Probe xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
            "<Types>dn:NetworkVideoTransmitter</Types><Scopes /></Probe></Body></Envelope>", id);
    return snprintf(out, size,
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
        "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
        "xmlns:wsdp=\"http://schemas.xmlsoap.org/ws/2006/02/devprof\"><soap:Header>"
        "<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
        "<wsa:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action>"
        "<wsa:MessageID>%s</wsa:MessageID></soap:Header>"
        "<soap:Body><wsd:Probe><wsd:Types>wsdp:Device</wsd:Types></wsd:Probe></soap:Body>"
        "</soap:Envelope>", id);
}

/* Sums a per-thread figure over the responder's threads. */
static double per_task(int pid, const char *file, const char *key)
{
    char path[128];
    double total = 0;
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR *dir = opendir(path);
    for (struct dirent *e; dir && (e = readdir(dir));) {
        if (e->d_name[0] == '.')
            continue;
        char file_path[300], line[256];
        snprintf(file_path, sizeof file_path, "/proc/%d/task/%s/%s", pid, e->d_name, file);
        FILE *f = fopen(file_path, "r");
        while (f && fgets(line, sizeof line, f)) {
            double v;
            if (!key && sscanf(line, "%lf", &v) == 1) {
                total += v;  /* schedstat: nanoseconds on the CPU first */
                break;
            }
            if (key && strncmp(line, key, strlen(key)) == 0 &&
                sscanf(line + strlen(key), " %lf", &v) == 1)
                total += v;
        }
        if (f)
            fclose(f);
    }
    if (dir)
        closedir(dir);
    return total;
}

static long rss_kib(int pid)
{
    char path[64], line[256];
    long kib = -1;
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    if (f)
        fclose(f);
    return kib;
}

static double wakeups(int pid)
{
    return per_task(pid, "status", "voluntary_ctxt_switches:") +
           per_task(pid, "status", "nonvoluntary_ctxt_switches:");
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

/* The UDP receive-buffer drops in the responder's network namespace. */
static long rcvbuf_errors(int pid)
{
    char path[64], line[512], names[512] = "";
    long value = -1;
    snprintf(path, sizeof path, "/proc/%d/net/snmp", pid);
    FILE *f = fopen(path, "r");
    while (f && fgets(line, sizeof line, f)) {
        if (strncmp(line, "Udp: ", 5) != 0)
            continue;
        if (!names[0]) {
            snprintf(names, sizeof names, "%s", line);
            continue;
        }
        /* The value under the name RcvbufErrors in the line before. */
        int column = 0;
        for (const char *p = names; (p = strchr(p, ' ')) && strncmp(p + 1, "RcvbufErrors", 12) != 0; p++)
            column++;
        const char *v = line;
        for (int i = 0; i <= column && v; i++)
            v = strchr(v + 1, ' ');
        value = v ? atol(v) : -1;
    }
    if (f)
        fclose(f);
    return value;
}

static int flood(int count, int pid, const char *address, const char *kind)
{
    const char *form = strcmp(kind, "distinct") == 0 || strcmp(kind, "repeated") == 0 ? "onvif" : "wsdd";
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in to = { 0 };
    to.sin_family = AF_INET;
    to.sin_port = htons(3702);
    to.sin_addr.s_addr = inet_addr(address);
    long drops0 = rcvbuf_errors(pid);
    double cpu0 = per_task(pid, "schedstat", NULL);
    for (int i = 0; i < count; i++) {
        char id[64], probe[2048];
        snprintf(id, sizeof id, "urn:uuid:00000000-0000-4000-8000-f%011d", strcmp(kind, "repeated") ? i : 0);
        int len = compose(probe, sizeof probe, form, id);
        char *body = strstr(probe, "<soap:Body>");
        if (strcmp(kind, "commented") == 0 && body) {
            memmove(body + 15, body, strlen(body) + 1);
            memcpy(body, "<!-- flood -->", 15 - 1);
            body[14] = ' ';
            len += 15;
        }
        sendto(sock, probe, (size_t)len, 0, (struct sockaddr *)&to, sizeof to);
    }
    int answered = 0;
    char reply[65536];
    for (struct pollfd pfd = { sock, POLLIN, 0 }; poll(&pfd, 1, 1000) == 1;)
        answered += recv(sock, reply, sizeof reply, 0) > 0;
    long dropped = rcvbuf_errors(pid) - drops0;
    double cpu_us = (per_task(pid, "schedstat", NULL) - cpu0) / 1e3;
    printf("flood %s %d %d %ld %.2f\n", kind, count, answered, dropped,
           count > dropped ? cpu_us / (double)(count - dropped) : 0);
    return 0;
}

int main(int argc, char **argv)
{
    if ((argc == 5 || argc == 6) && strcmp(argv[1], "flood") == 0)
        return flood(atoi(argv[2]), atoi(argv[3]), argv[4], argc == 6 ? argv[5] : "distinct");
    if (argc < 6 || argc > 8) {
        fprintf(stderr, "usage: probe_load FORM COUNT PID IDLE_SECONDS NAME [ADDRESS [SOURCES]]\n"
                        "       probe_load flood COUNT PID ADDRESS [distinct|repeated|unmatched|commented]\n");
        return 2;
    }
    const char *form = argv[1], *name = argv[5];
    int count = atoi(argv[2]), pid = atoi(argv[3]);
    double idle_s = atof(argv[4]);

    /* Idle first: nothing is sent to the responder (skipped for 0 s). */
    double idle_rate = 0;
    if (idle_s > 0) {
        double w0 = wakeups(pid);
        usleep((useconds_t)(idle_s * 1e6));
        idle_rate = (wakeups(pid) - w0) / idle_s;
    }

    /* The sender address of each Probe, named per datagram (IP_PKTINFO):
     * one socket speaks for them all and hears every answer. */
    int sources = 1;
    char first[32] = "";
    if (argc == 8 && sscanf(argv[7], "%31[0-9.]/%d", first, &sources) != 2)
        first[0] = '\0';
    if (sources < 1)
        sources = 1;
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in group = { 0 };
    group.sin_family = AF_INET;
    group.sin_port = htons(3702);
    group.sin_addr.s_addr = inet_addr(argc >= 7 ? argv[6] : "239.255.255.250");

    double *latency = calloc((size_t)count, sizeof *latency);
    int answered = 0;
    double cpu0 = per_task(pid, "schedstat", NULL), start = now_s();
    for (int i = 0; i < count; i++) {
        char id[64], probe[2048], reply[65536];
        snprintf(id, sizeof id, "urn:uuid:00000000-0000-4000-8000-%012d", i);
        int len = compose(probe, sizeof probe, form, id);
        union {
            char buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
            struct cmsghdr align;
        } control = { { 0 } };
        struct iovec iov = { probe, (size_t)len };
        struct msghdr msg = { &group, sizeof group, &iov, 1, control.buf, sizeof control.buf, 0 };
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        struct in_pktinfo from = { 0 };
        from.ipi_spec_dst.s_addr = htonl(ntohl(inet_addr(first)) + (uint32_t)(i % sources));
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof from);
        memcpy(CMSG_DATA(c), &from, sizeof from);
        if (!first[0])
            msg.msg_control = NULL, msg.msg_controllen = 0;
        double sent = now_s();
        sendmsg(sock, &msg, 0);
        /* Wait for the answer to this Probe; strays are skipped. */
        for (;;) {
            struct pollfd pfd = { sock, POLLIN, 0 };
            int left_ms = (int)((sent + 1.0 - now_s()) * 1000);
            if (left_ms <= 0 || poll(&pfd, 1, left_ms) != 1)
                break;
            ssize_t n = recv(sock, reply, sizeof reply - 1, 0);
            if (n <= 0)
                continue;
            reply[n] = '\0';
            if (strstr(reply, id)) {
                latency[answered++] = now_s() - sent;
                break;
            }
        }
    }
    double elapsed = now_s() - start;
    double cpu_ns = per_task(pid, "schedstat", NULL) - cpu0;

    qsort(latency, (size_t)answered, sizeof *latency, by_value);
    double p50 = answered ? latency[answered / 2] : 0;
    double p99 = answered ? latency[(answered * 99) / 100 < answered ? (answered * 99) / 100 : answered - 1] : 0;
    printf("%-18s %6d/%-6d %10.0f %9.0f %9.0f %12.1f %8ld %10.2f\n", name, answered, count,
           answered / elapsed, p50 * 1e6, p99 * 1e6, answered ? cpu_ns / 1e3 / answered : 0,
           rss_kib(pid), idle_rate);
    free(latency);
    return answered == count ? 0 : 1;
}
