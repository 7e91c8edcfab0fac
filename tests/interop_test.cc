// Real ONVIF clients from the npm registry find the shipped daemon.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "daemon_env.h"
#include "describe/identity.h"
#include "text_io.h"
#include "wsd.h"

// What each of `commands` prints (its error output too), run side by side:
// the clients mostly wait for answers, each its own window.
static std::vector<std::string> outputs_of(const std::vector<std::string> &commands)
{
    std::vector<std::string> out(commands.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < commands.size(); i++)
        runs.emplace_back([&, i] { out[i] = command_output(commands[i] + " 2>&1"); });
    for (std::thread &t : runs)
        t.join();
    return out;
}

// Whether the daemon has joined the discovery groups on `link`, IPv4 and
// IPv6, as the kernel lists them (igmp: a link's line, then its groups
// indented; igmp6: a group a line).
static bool joined(const std::string &link)
{
    bool v4 = false, v6 = false;
    std::istringstream igmp(read_file("/proc/net/igmp")), igmp6(read_file("/proc/net/igmp6"));
    std::string line, device, group;
    for (std::string here; std::getline(igmp, line);) {
        std::istringstream words(line);
        if (line[0] != '\t' && words >> group >> device)
            here = device;
        else if (words >> group && here == link && group == "FAFFFFEF")
            v4 = true;
    }
    while (std::getline(igmp6, line)) {
        std::istringstream words(line);
        v6 |= words >> group >> device >> group && device == link && group == "ff02000000000000000000000000000c";
    }
    return v4 && v6;
}

// The daemon detaches before it listens, as daemons do, and a client that
// sends one Probe at once (onvif-util) finds nothing if it comes before the
// groups are joined: waits, up to 5 s, until every one of `links` is; if
// not, says what the kernel lists.
static testing::AssertionResult joined_on(const std::vector<std::string> &links)
{
    auto all = [&] { return std::all_of(links.begin(), links.end(), joined); };
    for (double until = now_s() + 5; now_s() < until && !all();)
        usleep(5000);
    if (all())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << read_file("/proc/net/igmp") << read_file("/proc/net/igmp6");
}

TEST(Interop, OnvifClientsListTheDevice)
{
    ASSERT_EQ(daemon_env_enter(), "");
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "name = Gate-7\nlocation = Yard\n"));
    int status;
    pid_t pid = daemon_start(&status);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(joined_on({ "lo" }));

    const std::string urn = "\"urn\":\"" + std::string(wsd_endpoint()) + "\"";
    std::vector<std::string> out = outputs_of({ "cd " INTEROP_DIR " && node discover.js onvif",
                                                "cd " INTEROP_DIR " && node discover.js node-onvif",
                                                "timeout 30 onvif-util -a" });
    for (int i = 0; i < 2; i++) {
        // One device, found once, at the address the Probe came in on.
        EXPECT_EQ(std::count(out[i].begin(), out[i].end(), '\n'), 1) << out[i];
        EXPECT_NE(out[i].find(urn), std::string::npos) << out[i];
        EXPECT_NE(out[i].find("\"xaddrs\":\"http://127.0.0.1/onvif/device_service\""), std::string::npos) << out[i];
    }
    // node-onvif shows the name, hardware and location the device is given.
    EXPECT_NE(out[1].find("\"name\":\"Gate-7\",\"hardware\":\"IP_house\",\"location\":\"Yard\""),
              std::string::npos) << out[1];
    // Debian's onvif-util lists each camera by host and name.
    EXPECT_NE(out[2].find("Found 1 cameras\n127.0.0.1 ("), std::string::npos) << out[2];

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
    ASSERT_TRUE(joined_on({ "cam0", "cam1" }));

    // Every client on both links at once: each waits out its own window.
    std::vector<std::string> commands, expected;
    for (int n = 0; n < 2; n++) {
        std::string ns = prefix + std::to_string(n), here = n ? "10.88.0.1" : "10.77.0.1";
        std::string here6 = n ? "fd00:88::1" : "fd00:77::1", cli = "cli" + std::to_string(n);
        std::string nmap = "ip netns exec " + ns + " timeout 60 nmap --script-args timeout=2s ";
        for (const char *client : { "onvif", "node-onvif" }) {
            commands.push_back("cd " INTEROP_DIR " && ip netns exec " + ns + " node discover.js " + client);
            expected.push_back("\"xaddrs\":\"http://" + here + "/onvif/device_service\"");
        }
        commands.push_back("ip netns exec " + ns + " timeout 30 onvif-util -a");
        expected.push_back("Found 1 cameras\n" + here + " (");
        commands.push_back(nmap + "-sU -p 3702 -T5 --max-retries 0 -n -Pn --script wsdd-discover " + here);
        commands.push_back(nmap + "-6 -sU -p 3702 -T5 --max-retries 0 -n -Pn --script wsdd-discover " + here6);
        commands.push_back(nmap + "--script broadcast-wsdd-discover -e " + cli);
        commands.push_back(nmap + "-6 --script broadcast-wsdd-discover -e " + cli);
        for (const std::string &address : { here, "[" + here6 + "]", here, "[" + here6 + "]" })
            expected.push_back("Address: http://" + address + "/onvif/device_service\n");
    }
    std::vector<std::string> out = outputs_of(commands);
    for (size_t i = 0; i < commands.size(); i++) {
        EXPECT_NE(out[i].find(expected[i]), std::string::npos) << commands[i] << ": " << out[i];
        bool npm = commands[i].find("discover.js") != std::string::npos;  // one device, found once
        EXPECT_TRUE(!npm || std::count(out[i].begin(), out[i].end(), '\n') == 1) << commands[i] << ": " << out[i];
    }

    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    for (int n = 0; n < 2; n++)
        system(("ip netns del " + prefix + std::to_string(n)).c_str());
}
