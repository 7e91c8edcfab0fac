// The shipped discovery-daemon, in a private network of the test's own.

#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon_env.h"
#include "probes.h"
#include "text_io.h"

static const std::string hello_action = "discovery/Hello</wsa:Action>";
static const std::string bye_action = "discovery/Bye</wsa:Action>";
static const std::string matches_action = "discovery/ProbeMatches</wsa:Action>";

class Daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(daemon_env_enter(), "");
        listener = udp_socket(3702, true);  // sees Hello and Bye
        client = udp_socket(0, false);      // sends Probes, gets the answers
    }

    // A daemon that did not start ends the test here: nothing is signalled.
    void start(pid_t *pid)
    {
        int status;
        *pid = daemon_start(&status);
        EXPECT_EQ(status, 0);  // the shell gets its prompt back at once
        ASSERT_GT(*pid, 0);
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

TEST_F(Daemon, StartsDetachedOnTheGroupAndSaysHello)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string hello = receive_with(listener, hello_action, 2);
    ASSERT_NE(hello, "");
    EXPECT_NE(hello.find("<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"),
              std::string::npos);
    EXPECT_NE(hello.find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
              std::string::npos);

    // Bound to 239.255.255.250:3702 itself, and a member of the group.
    EXPECT_NE(read_file("/proc/net/udp").find("FAFFFFEF:0E76"), std::string::npos);
    EXPECT_NE(read_file("/proc/net/igmp").find("FAFFFFEF"), std::string::npos);

    EXPECT_EQ(stop(pid, SIGTERM), 1);
    std::vector<std::string> records = log_records(0.2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].substr(0, 4), "<30>");  // daemon facility, level 6
    EXPECT_EQ(records[0].substr(records[0].size() - 24), " discovery-daemon: start");
    EXPECT_EQ(records[1].substr(records[1].size() - 23), " discovery-daemon: exit");
}

TEST_F(Daemon, AnswersEachMatchingProbeOnceThroughTheGroupOnly)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");

    send_to(client, onvif_client_probe("urn:uuid:probe-1"));
    std::vector<std::string> answers = receive(client, 0.5);
    ASSERT_EQ(answers.size(), 1u);
    const std::string &match = answers[0];
    EXPECT_NE(match.find(matches_action), std::string::npos);
    EXPECT_NE(match.find("<wsa:RelatesTo>urn:uuid:probe-1</wsa:RelatesTo>"), std::string::npos);
    EXPECT_NE(match.find("<wsa:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
                         "</wsa:To>"),
              std::string::npos);
    EXPECT_NE(match.find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
              std::string::npos);

    // The same Probe again, one sent to this host's own address, and one
    // asking for another kind of device: no answer.
    send_to(client, onvif_client_probe("urn:uuid:probe-1"));
    send_to(client, onvif_client_probe("urn:uuid:probe-2"), "127.0.0.1");
    send_to(client, probe_with("urn:uuid:probe-3", "wsdp:Device", ""));
    EXPECT_EQ(receive(client, 0.5).size(), 0u);

    // node-onvif asks for three types in turn; only the transmitter is us.
    for (const char *type : { "NetworkVideoTransmitter", "Device", "NetworkVideoDisplay" })
        send_to(client, node_onvif_probe(std::string("uuid:n-") + type, type));
    answers = receive(client, 0.5);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("<wsa:RelatesTo>uuid:n-NetworkVideoTransmitter</wsa:RelatesTo>"),
              std::string::npos);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

TEST_F(Daemon, SurvivesBadDatagrams)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    std::string valid = onvif_client_probe("urn:uuid:after-noise");
    const std::string bad[] = {
        "",
        "not xml at all",
        valid.substr(0, valid.size() / 2),
        std::string(60000, '<'),
        "<!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>" + probe_with("urn:uuid:x", "&c;", ""),
        std::string(5000, 'x').insert(0, "<a>") ,
        [] { std::string s; for (int i = 0; i < 3000; i++) s += "<e>"; return s; }(),
        probe_with("", "dn:NetworkVideoTransmitter", ""),  // no MessageID
    };
    for (int round = 0; round < 20; round++) {
        for (const std::string &b : bad)
            send_to(client, b);
        usleep(10000);  // within the socket's receive buffer
    }
    EXPECT_EQ(receive(client, 0.2).size(), 0u);
    send_to(client, valid);
    std::vector<std::string> answers = receive(client, 1.0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("urn:uuid:after-noise"), std::string::npos);
    receive(listener, 0.1);  // the noise filled the listener too
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

TEST_F(Daemon, SighupAnnouncesAgainAndSigpipeIsIgnored)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    for (int i = 0; i < 2; i++) {
        signal_daemon(pid, SIGHUP);
        EXPECT_NE(receive_with(listener, hello_action, 2.5), "") << "SIGHUP " << i + 1;
    }
    signal_daemon(pid, SIGPIPE);
    send_to(client, onvif_client_probe("urn:uuid:after-sigpipe"));
    EXPECT_EQ(receive(client, 0.5).size(), 1u);
    EXPECT_EQ(daemon_wait(pid, 0.1), -1);  // still running
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

TEST_F(Daemon, EachTerminatingSignalSaysByeOnceAndExitsCleanly)
{
    for (int signo : { SIGTERM, SIGINT, SIGQUIT, SIGUSR1 }) {
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(start(&pid));
        ASSERT_NE(receive_with(listener, hello_action, 2), "");
        log_records(0.05);
        EXPECT_EQ(stop(pid, signo), 1) << "signal " << signo;
        std::vector<std::string> records = log_records(0.1);
        ASSERT_FALSE(records.empty());
        EXPECT_NE(records.back().find("discovery-daemon: exit"), std::string::npos);
    }
}

TEST_F(Daemon, StopsCleanlyAtAnyMomentAndSaysByeOnce)
{
    // Right after start, before the loops may exist; and a second signal
    // while stopping.
    for (int cycle = 0; cycle < 12; cycle++) {
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(start(&pid));
        if (cycle % 3 == 1)
            usleep(2000 * cycle);
        signal_daemon(pid, SIGTERM);
        if (cycle % 2 == 1)
            signal_daemon(pid, cycle % 4 == 1 ? SIGINT : SIGTERM);
        EXPECT_EQ(daemon_wait(pid, 5), 0) << "cycle " << cycle;
        EXPECT_EQ(count_with(receive(listener, 0.3), bye_action), 1) << "cycle " << cycle;
        EXPECT_NE(signal_daemon(pid, 0), 0);  // nothing left over
        // A log socket that is never read fills up and stalls the daemon.
        EXPECT_EQ(log_records(0.01).size(), 2u) << "cycle " << cycle;
    }
}
