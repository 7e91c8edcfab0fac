// Real ONVIF clients from the npm registry find the shipped daemon.

#include <signal.h>
#include <stdio.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "daemon_env.h"
#include "text_io.h"
#include "wsd.h"

TEST(Interop, OnvifClientsListTheDevice)
{
    ASSERT_EQ(daemon_env_enter(), "");
    int status;
    pid_t pid = daemon_start(&status);
    ASSERT_GT(pid, 0);

    const std::string urn = "\"urn\":\"" + std::string(wsd_endpoint()) + "\"";
    for (const char *client : { "onvif", "node-onvif" }) {
        std::string out = command_output("cd " INTEROP_DIR " && node discover.js " + std::string(client) + " 2>&1");
        // One device, found once, at the address the Probe came in on.
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << client << ": " << out;
        EXPECT_NE(out.find(urn), std::string::npos) << client << ": " << out;
        EXPECT_NE(out.find("\"xaddrs\":\"http://127.0.0.1/onvif/device_service\""),
                  std::string::npos) << client << ": " << out;
    }
    EXPECT_NE(command_output("cd " INTEROP_DIR " && node discover.js node-onvif").find("\"hardware\":\"IP_house\""),
              std::string::npos);

    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}

// The realistic set-up: the client is another host on the camera's link.
// The device answers with the address of the interface the Probe came in on.
TEST(Interop, ClientOnAnotherHostGetsTheLinkAddress)
{
    ASSERT_EQ(daemon_env_enter(), "");
    // The name is a file on the real file system; a crashed run may have
    // left it behind.
    ASSERT_EQ(system("rm -f /run/netns/client && ip netns add client"
                     " && ip link add cam0 type veth peer name cli0"
                     " && ip link set cli0 netns client"
                     " && ip addr add 10.77.0.1/24 dev cam0 && ip link set cam0 up"
                     " && ip route replace 224.0.0.0/4 dev cam0 src 10.77.0.1"
                     " && ip netns exec client sh -c 'ip link set lo up"
                     " && ip addr add 10.77.0.2/24 dev cli0 && ip link set cli0 up"
                     " && ip route add 224.0.0.0/4 dev cli0'"),
              0);
    int status;
    pid_t pid = daemon_start(&status);
    ASSERT_GT(pid, 0);

    std::string out = command_output("cd " INTEROP_DIR " && ip netns exec client node discover.js onvif 2>&1");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("\"xaddrs\":\"http://10.77.0.1/onvif/device_service\""), std::string::npos)
        << out;

    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    system("ip netns del client");
}
