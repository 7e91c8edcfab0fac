// Real ONVIF clients from the npm registry find the shipped daemon.

#include <signal.h>
#include <stdio.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "daemon_env.h"
#include "wsd.h"

static std::string run(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p)
        pclose(p);
    return out;
}

TEST(Interop, OnvifClientsListTheDevice)
{
    ASSERT_EQ(daemon_env_enter(), "");
    int status;
    pid_t pid = daemon_start(&status);
    ASSERT_GT(pid, 0);

    const std::string urn = "\"urn\":\"" + std::string(wsd_endpoint()) + "\"";
    for (const char *client : { "onvif", "node-onvif" }) {
        std::string out = run("cd " INTEROP_DIR " && node discover.js " + std::string(client) + " 2>&1");
        // One device, found once, at the address the Probe came in on.
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << client << ": " << out;
        EXPECT_NE(out.find(urn), std::string::npos) << client << ": " << out;
        EXPECT_NE(out.find("\"xaddrs\":\"http://127.0.0.1/onvif/device_service\""),
                  std::string::npos) << client << ": " << out;
    }
    EXPECT_NE(run("cd " INTEROP_DIR " && node discover.js node-onvif").find("\"hardware\":\"IP_house\""),
              std::string::npos);

    kill(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}
