#include "server_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kzlog.h"
#include "shared_variables.h"

static const char discovery_group[] = "239.255.255.250";
static const unsigned short discovery_port = 3702;

static void set_option(int sock, int level, int name, const char *failure)
{
    int one = 1;
    if (setsockopt(sock, level, name, &one, sizeof one) != 0)
        kzerror(1, errno, failure);
}

int open_server_socket(void)
{
    close(server_udp);  // -1 the first time; harmless

    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0)
        kzerror(1, errno, "unable to create UDP socket");
    if (fcntl(sock, F_SETFL, O_NONBLOCK) != 0)
        kzerror(1, errno, "unable to set server UDP socket to nonblocking");
    if (fcntl(sock, F_SETFD, FD_CLOEXEC) != 0)
        kzerror(1, errno, "can't set close-on-exec on server UDP socket");
    set_option(sock, SOL_SOCKET, SO_REUSEADDR, "setsockopt SOL_SOCKET, SO_REUSEADDR failed");
    // Our own Hello and Bye come back to local listeners on this host.
    set_option(sock, IPPROTO_IP, IP_MULTICAST_LOOP,
               "setsockopt IPPROTO_IP, IP_MULTICAST_LOOP failed");

    struct ip_mreq group;
    group.imr_multiaddr.s_addr = inet_addr(discovery_group);
    group.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0)
        kzerror(1, errno, "setsockopt IPPROTO_IP, IP_ADD_MEMBERSHIP failed");
    // Discovery stays on the local link.
    set_option(sock, IPPROTO_IP, IP_MULTICAST_TTL, "setsockopt IPPROTO_IP, IP_MULTICAST_TTL failed");

    // Bound to the group itself, so datagrams sent to this host's own
    // address on the port never arrive here.
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(discovery_port);
    inet_aton(discovery_group, &addr.sin_addr);
    if (bind(sock, (struct sockaddr *)&addr, sizeof addr) != 0)
        kzerror(1, errno, "unable to bind UDP socket");

    server_udp = sock;
    return sock;
}
