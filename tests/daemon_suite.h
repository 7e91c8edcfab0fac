// The shipped discovery-daemon, in a private network of the test's own:
// the fixture and helpers its suites share.
#pragma once

#include <arpa/inet.h>
#include <ctype.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "config/config.h"
#include "daemon_env.h"
#include "describe/identity.h"
#include "describe/state.h"
#include "probes.h"
#include "service/status.h"
#include "status_read.h"
#include "target_runner.h"
#include "text_io.h"
#include "xml_fields.h"

inline const std::string hello_action = "discovery/Hello</wsa:Action>";
inline const std::string bye_action = "discovery/Bye</wsa:Action>";
inline const std::string matches_action = "discovery/ProbeMatches</wsa:Action>";
// How long a client waits for the answers to a Probe sent to a group: the
// device holds each back for up to 0.4 s.
inline const double answer_wait_s = 1.0;

// What was heard from the first Bye on (nothing when none came).
inline std::vector<std::string> from_bye(const std::vector<std::string> &heard)
{
    auto bye = std::find_if(heard.begin(), heard.end(),
                            [](const std::string &m) { return m.find(bye_action) != std::string::npos; });
    return std::vector<std::string>(bye, heard.end());
}

// The message's AppSequence InstanceId; 0 when it has none.
inline unsigned long instance_id(const std::string &message)
{
    std::string id = read_xml_fields(message).one_attr(WSD_DISCOVERY_NS, "AppSequence", "InstanceId");
    return strtoul(id.c_str(), NULL, 10);
}

// The daemon's status once it has been written anew (at most once a
// second), read as a user interface would.
inline status_fields status_now()
{
    usleep(1200000);
    status_fields f;
    EXPECT_EQ(status_parse(read_file(WSD_STATUS_FILE), &f), "");
    return f;
}

// Waits, up to 2.5 s, for the status to be written anew after now.
inline void status_rewritten()
{
    struct stat before, now;
    int had = stat(WSD_STATUS_FILE, &before);
    for (double until = now_s() + 2.5; now_s() < until; usleep(20000))
        if (stat(WSD_STATUS_FILE, &now) == 0 && (had != 0 || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
                                                 now.st_mtim.tv_sec != before.st_mtim.tv_sec))
            return;
}

// A counter of the link `interface` (its family's) in the status.
inline long counted(const status_fields &f, const std::string &interface, const std::string &counter,
                    const std::string &family = "IPv4")
{
    for (int i = 0; i < status_count(f, "counters"); i++) {
        std::string at = "counters[" + std::to_string(i) + "].";
        if (status_get(f, at + "interface") == interface && status_get(f, at + "family") == family)
            return atol(status_get(f, at + counter, "-1").c_str());
    }
    return -1;
}

// What discovery-diagnose says now, its exit status in *status.
inline std::string diagnose(int *status, const std::string &options = "")
{
    std::string out;
    FILE *p = popen((target_runner_prefix() + DIAGNOSE_PATH " " + options).c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    int wstatus = p ? pclose(p) : -1;
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return out;
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(daemon_env_enter(), "");
        listener = udp_socket(3702, true);  // sees Hello and Bye
        client = udp_socket(0, false);      // sends Probes, gets the answers
    }

    // A daemon that did not start ends the test here: nothing is signalled.
    void start(pid_t *pid, const std::vector<std::string> &env = {})
    {
        int status;
        *pid = daemon_start(&status, env);
        EXPECT_EQ(status, 0);  // the shell gets its prompt back at once
        ASSERT_GT(*pid, 0);
    }

    // The same with tests/late_bind.c preloaded and `delay` ("NAME=ms") set;
    // the sanitizer build cannot preload, and starts it plain.
    void start_slowed(pid_t *pid, const char *delay)
    {
#ifdef LATE_BIND_PATH
        start(pid, { "LD_PRELOAD=" LATE_BIND_PATH, delay });
#else
        (void)delay;
        start(pid);
#endif
    }

    // Stops the daemon with `signo`; returns the Byes seen.
    int stop(pid_t pid, int signo)
    {
        signal_daemon(pid, signo);
        EXPECT_EQ(daemon_wait(pid, 5), 0) << "signal " << signo;
        return count_with(receive(listener, 0.3), bye_action);
    }

    std::vector<std::string> log_records(double seconds) { return receive(daemon_log, seconds); }

    int listener = -1, client = -1;
};
