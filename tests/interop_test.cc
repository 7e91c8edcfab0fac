// Real ONVIF clients from the npm registry find the shipped daemon.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "config.h"
#include "daemon_env.h"
#include "text_io.h"
#include "wsd.h"

TEST(Interop, OnvifClientsListTheDevice)
{
    ASSERT_EQ(daemon_env_enter(), "");
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "name = Gate-7\nlocation = Yard\n"));
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
    // node-onvif shows the name, hardware and location the device is given.
    EXPECT_NE(command_output("cd " INTEROP_DIR " && node discover.js node-onvif")
                  .find("\"name\":\"Gate-7\",\"hardware\":\"IP_house\",\"location\":\"Yard\""),
              std::string::npos);
    // Debian's onvif-util lists each camera by host and name.
    std::string util = command_output("timeout 30 onvif-util -a 2>&1");
    EXPECT_NE(util.find("Found 1 cameras\n127.0.0.1 ("), std::string::npos) << util;

    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}

// The realistic set-up: the clients are other hosts on the camera's links,
// one link each, and the device has two. Each client finds it at the
// address of its own link, whichever link has the default route; nmap's
// scripts find it over IPv6 too, and by its address.
TEST(Interop, ClientsOnEachOfTwoLinksGetTheirLinkAddress)
{
    ASSERT_EQ(daemon_env_enter(), "");
    const std::string prefix = "ic" + std::to_string(getpid()) + "-";
    const std::string no_dad = "sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0";
    ASSERT_EQ(system(no_dad.c_str()), 0);
    for (int n = 0; n < 2; n++) {
        std::string ns = prefix + std::to_string(n), net = n ? "10.88.0." : "10.77.0.";
        std::string net6 = n ? "fd00:88::" : "fd00:77::";
        std::string cam = "cam" + std::to_string(n), cli = "cli" + std::to_string(n);
        std::string script = "ip netns add " + ns + " && ip netns exec " + ns + " " + no_dad +
                             " && ip link add " + cam + " type veth peer name " + cli +
                             " && ip link set " + cli + " netns " + ns +
                             " && ip addr add " + net + "1/24 dev " + cam + " && ip addr add " + net6 +
                             "1/64 dev " + cam + " && ip link set " + cam + " up"
                             " && ip netns exec " + ns + " sh -c 'ip link set lo up"
                             " && ip addr add " + net + "2/24 dev " + cli + " && ip addr add " + net6 +
                             "2/64 dev " + cli + " && ip link set " + cli + " up"
                             " && ip route add 224.0.0.0/4 dev " + cli + "'";
        ASSERT_EQ(system(script.c_str()), 0) << script;
    }
    ASSERT_EQ(system("ip route replace 224.0.0.0/4 dev cam1"), 0);
    int status;
    pid_t pid = daemon_start(&status);
    ASSERT_GT(pid, 0);

    for (int n = 0; n < 2; n++) {
        std::string ns = prefix + std::to_string(n), here = n ? "10.88.0.1" : "10.77.0.1";
        for (const char *client : { "onvif", "node-onvif" }) {
            std::string out = command_output("cd " INTEROP_DIR " && ip netns exec " + ns +
                                             " node discover.js " + client + " 2>&1");
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << client << " on " << ns << ": " << out;
            EXPECT_NE(out.find("\"xaddrs\":\"http://" + here + "/onvif/device_service\""),
                      std::string::npos) << client << " on " << ns << ": " << out;
        }
        std::string out = command_output("ip netns exec " + ns + " timeout 30 onvif-util -a 2>&1");
        EXPECT_NE(out.find("Found 1 cameras"), std::string::npos) << ns << ": " << out;
        EXPECT_NE(out.find("\n" + here + " ("), std::string::npos) << ns << ": " << out;

        std::string here6 = n ? "fd00:88::1" : "fd00:77::1", cli = "cli" + std::to_string(n);
        const struct {
            std::string args, address;
        } nmap_runs[] = {
            { "-sU -p 3702 -T5 --max-retries 0 -n -Pn --script wsdd-discover " + here, here },
            { "-6 -sU -p 3702 -T5 --max-retries 0 -n -Pn --script wsdd-discover " + here6, "[" + here6 + "]" },
            { "--script broadcast-wsdd-discover -e " + cli, here },
            { "-6 --script broadcast-wsdd-discover -e " + cli, "[" + here6 + "]" },
        };
        for (const auto &run : nmap_runs) {
            out = command_output("ip netns exec " + ns + " timeout 60 nmap --script-args timeout=2s " +
                                 run.args + " 2>&1");
            EXPECT_NE(out.find("Address: http://" + run.address + "/onvif/device_service\n"),
                      std::string::npos) << ns << ": nmap " << run.args << ": " << out;
        }
    }

    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    for (int n = 0; n < 2; n++)
        system(("ip netns del " + prefix + std::to_string(n)).c_str());
}
