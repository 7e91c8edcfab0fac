/* Load generator for WS-Discovery responders: sends Probes one after the
 * other to 239.255.255.250:3702 and times each answer, then reports the
 * responder's CPU time, RSS and idle wake-ups from /proc.
 *
 *   probe_load FORM COUNT PID IDLE_SECONDS NAME [ADDRESS]
 *
 * ADDRESS is where the Probes go: the group when left out, or the
 * responder's own address (directed Probes, answered at once).
 * FORM is the Probe the responder answers: "onvif" (the npm onvif
 * client's), "wsdd" (Types wsdp:Device) or "wsdd2" (wsa:-prefixed Action and
 * MessageID, Types wsdp:Device). Prints one table row.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
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

int main(int argc, char **argv)
{
    if (argc != 6 && argc != 7) {
        fprintf(stderr, "usage: probe_load FORM COUNT PID IDLE_SECONDS NAME [ADDRESS]\n");
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

    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in group = { 0 };
    group.sin_family = AF_INET;
    group.sin_port = htons(3702);
    group.sin_addr.s_addr = inet_addr(argc == 7 ? argv[6] : "239.255.255.250");

    double *latency = calloc((size_t)count, sizeof *latency);
    int answered = 0;
    double cpu0 = per_task(pid, "schedstat", NULL), start = now_s();
    for (int i = 0; i < count; i++) {
        char id[64], probe[2048], reply[65536];
        snprintf(id, sizeof id, "urn:uuid:00000000-0000-4000-8000-%012d", i);
        int len = compose(probe, sizeof probe, form, id);
        double sent = now_s();
        sendto(sock, probe, (size_t)len, 0, (struct sockaddr *)&group, sizeof group);
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
