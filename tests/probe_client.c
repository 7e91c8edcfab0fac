/* A WS-Discovery client for tests run from a shell (the init script, the
 * systemd unit): sends one Probe for ONVIF devices to port 3702 of ADDRESS
 * (the IPv4 group when left out; IPv6 takes a %zone) and prints the XAddrs
 * of every ProbeMatches that answers it within SECONDS. With "hello" it
 * sends nothing and prints those of every Hello heard on the IPv4 group
 * instead. With -t, each line starts with the milliseconds since the
 * Probe; with -s, the Scopes are printed in place of the XAddrs. Exits 0
 * when one came, 1 when none did.
 *   probe_client [-t] [-s] SECONDS [ADDRESS | hello]
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netdb.h>
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

int main(int argc, char **argv)
{
    int timed = argc > 1 && strcmp(argv[1], "-t") == 0;
    argc -= timed;
    argv += timed;
    int scopes = argc > 1 && strcmp(argv[1], "-s") == 0;
    argc -= scopes;
    argv += scopes;
    const char *field = scopes ? "Scopes>" : "XAddrs>";
    struct addrinfo hints = { .ai_flags = AI_NUMERICHOST, .ai_socktype = SOCK_DGRAM }, *to;
    int hello = argc > 2 && strcmp(argv[2], "hello") == 0;
    if (argc < 2 || getaddrinfo(argc > 2 && !hello ? argv[2] : "239.255.255.250", "3702", &hints, &to)) {
        fprintf(stderr, "usage: probe_client SECONDS [ADDRESS]\n");
        return 2;
    }
    char id[64], probe[1024], reply[65536];
    snprintf(id, sizeof id, "urn:uuid:7e57c11e-0000-4000-8000-%012ld", (long)getpid());
    int len = snprintf(probe, sizeof probe,
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
        " xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
        " xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
        " xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><s:Header>"
        "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action>"
        "<a:MessageID>%s</a:MessageID>"
        "<a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To></s:Header>"
        "<s:Body><d:Probe><d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></s:Body>"
        "</s:Envelope>", id);
    int sock = socket(to->ai_family, SOCK_DGRAM, 0), one = 1;
    struct ip_mreq group = { { inet_addr("239.255.255.250") }, { INADDR_ANY } };
    if (hello ? setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
                    bind(sock, to->ai_addr, to->ai_addrlen) != 0 ||
                    setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0
              : sendto(sock, probe, (size_t)len, 0, to->ai_addr, to->ai_addrlen) != len) {
        perror("probe_client");
        return 2;
    }
    freeaddrinfo(to);
    int found = 0;
    double start = now_s();
    for (double end = start + atof(argv[1]); now_s() < end;) {
        struct pollfd pfd = { sock, POLLIN, 0 };
        if (poll(&pfd, 1, (int)((end - now_s()) * 1000) + 1) != 1)
            continue;
        ssize_t n = recv(sock, reply, sizeof reply - 1, 0);
        if (n <= 0)
            continue;
        reply[n] = '\0';
        char *x = strstr(reply, field), *x_end = x ? strstr(x, "</") : NULL;
        if ((hello ? strstr(reply, "/Hello<") != NULL
                   : strstr(reply, id) && strstr(reply, "ProbeMatches")) && x_end) {
            if (timed)
                printf("%.1f ", (now_s() - start) * 1000);
            printf("%.*s\n", (int)(x_end - x - strlen(field)), x + strlen(field));
            fflush(stdout);
            found = 1;
        }
    }
    return found ? 0 : 1;
}
