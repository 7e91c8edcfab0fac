// The server socket routine, called as the discovery library calls it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "daemon_env.h"
#include "server_socket.h"
#include "shared_variables.h"

static int option(int sock, int level, int name)
{
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(sock, level, name, &value, &len);
    return value;
}

TEST(ServerSocket, OpensOnTheGroupAndReplacesThePreviousSocket)
{
    ASSERT_EQ(daemon_env_enter(), "");
    ASSERT_EQ(server_udp, -1);

    int first = open_server_socket();
    ASSERT_GE(first, 0);
    EXPECT_EQ(server_udp, first);
    EXPECT_EQ(fcntl(first, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(fcntl(first, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(option(first, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(option(first, IPPROTO_IP, IP_MULTICAST_LOOP), 1);
    EXPECT_EQ(option(first, IPPROTO_IP, IP_MULTICAST_TTL), 1);
    struct sockaddr_in bound = {};
    socklen_t len = sizeof bound;
    getsockname(first, (struct sockaddr *)&bound, &len);
    EXPECT_STREQ(inet_ntoa(bound.sin_addr), "239.255.255.250");
    EXPECT_EQ(ntohs(bound.sin_port), 3702);

    // The group reaches it; this host's own address does not.
    int client = udp_socket(0, false);
    send_to(client, "to the group");
    send_to(client, "to the host", "127.0.0.1");
    std::vector<std::string> got = receive(first, 0.3);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "to the group");

    // Another socket is open when the next call starts: the next free
    // number after the client's is the first socket's own, once closed.
    int second = open_server_socket();
    EXPECT_EQ(server_udp, second);
    EXPECT_EQ(second, first);
    send_to(client, "again");
    EXPECT_EQ(receive(second, 0.3).size(), 1u);
}
