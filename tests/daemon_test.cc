// The shipped discovery-daemon, in a private network of the test's own.

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
#include "wsd.h"
#include "xml_fields.h"

static const std::string hello_action = "discovery/Hello</wsa:Action>";
static const std::string bye_action = "discovery/Bye</wsa:Action>";
static const std::string matches_action = "discovery/ProbeMatches</wsa:Action>";
static const std::string resolve_matches_action = "discovery/ResolveMatches</wsa:Action>";
// How long a client waits for the answers to a Probe sent to a group: the
// device holds each back for up to 0.4 s.
static const double answer_wait_s = 1.0;


// What was heard from the first Bye on (nothing when none came).
static std::vector<std::string> from_bye(const std::vector<std::string> &heard)
{
    auto bye = std::find_if(heard.begin(), heard.end(),
                            [](const std::string &m) { return m.find(bye_action) != std::string::npos; });
    return std::vector<std::string>(bye, heard.end());
}

// The message's AppSequence InstanceId; 0 when it has none.
static unsigned long instance_id(const std::string &message)
{
    std::string id = read_xml_fields(message).one_attr(WSD_DISCOVERY_NS, "AppSequence", "InstanceId");
    return strtoul(id.c_str(), NULL, 10);
}

// The daemon's status once it has been written anew (at most once a
// second), read as a user interface would.
static status_fields status_now()
{
    usleep(1200000);
    status_fields f;
    EXPECT_EQ(status_parse(read_file(WSD_STATUS_FILE), &f), "");
    return f;
}

// Waits, up to 2.5 s, for the status to be written anew after now.
static void status_rewritten()
{
    struct stat before, now;
    int had = stat(WSD_STATUS_FILE, &before);
    for (double until = now_s() + 2.5; now_s() < until; usleep(20000))
        if (stat(WSD_STATUS_FILE, &now) == 0 && (had != 0 || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
                                                 now.st_mtim.tv_sec != before.st_mtim.tv_sec))
            return;
}

// A counter of the link `interface` (its family's) in the status.
static long counted(const status_fields &f, const std::string &interface, const std::string &counter,
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
static std::string diagnose(int *status, const std::string &options = "")
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

TEST_F(Daemon, StartsDetachedOnTheGroupAndSaysHello)
{
    // As shipped: the image's defaults, every key commented out.
    ASSERT_TRUE(write_file(WSD_CONFIG_FILE, read_file(SHIPPED_CONFIG)));
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string hello = receive_with(listener, hello_action, 2);
    ASSERT_NE(hello, "");
    EXPECT_NE(hello.find("<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"),
              std::string::npos);
    EXPECT_NE(hello.find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
              std::string::npos);
    // Every category of scope clients look for: type, hardware, name (the
    // host's, its unsafe characters made safe) and location.
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    for (char *c = host; *c; c++)
        *c = isalnum((unsigned char)*c) || strchr("-._~", *c) ? *c : '_';
    EXPECT_EQ(read_xml_fields(hello).one(WSD_DISCOVERY_NS, "Scopes"),
              "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming "
              "onvif://www.onvif.org/hardware/IP_house onvif://www.onvif.org/name/" + std::string(host) +
              " onvif://www.onvif.org/location/unknown");

    // Bound to 239.255.255.250:3702 itself, and a member of the group.
    EXPECT_NE(read_file("/proc/net/udp").find("FAFFFFEF:0E76"), std::string::npos);
    EXPECT_NE(read_file("/proc/net/igmp").find("FAFFFFEF"), std::string::npos);

    // Detached as a daemon should be: at the root, its standard streams on
    // /dev/null; and the signal handler's pipe never blocks it.
    std::string proc = "/proc/" + std::to_string(pid);
    char link[256];
    ssize_t n = readlink((proc + "/cwd").c_str(), link, sizeof link - 1);
    EXPECT_EQ(std::string(link, n > 0 ? (size_t)n : 0), "/");
    for (int fd = 0; fd < 3; fd++) {
        n = readlink((proc + "/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        EXPECT_EQ(std::string(link, n > 0 ? (size_t)n : 0), "/dev/null") << "fd " << fd;
    }
    int pipe_writers = 0;
    for (int fd = 3; fd < 64; fd++) {
        n = readlink((proc + "/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (n <= 0 || std::string(link, (size_t)n).rfind("pipe:", 0) != 0)
            continue;
        unsigned flags = 0;
        std::string info = read_file(proc + "/fdinfo/" + std::to_string(fd));
        size_t at = info.find("flags:");
        ASSERT_NE(at, std::string::npos);
        sscanf(info.c_str() + at, "flags: %o", &flags);
        if ((flags & O_ACCMODE) == O_WRONLY) {
            pipe_writers++;
            EXPECT_EQ(flags & O_NONBLOCK, (unsigned)O_NONBLOCK) << "the stop pipe blocks";
        }
    }
    EXPECT_EQ(pipe_writers, 1);

    // Announcements stay on the link: a time to live of 1.
    signal_daemon(pid, SIGHUP);
    EXPECT_EQ(receive_ttl(listener, hello_action, 2.5), 1);

    // The Bye names this device.
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    std::string bye = receive_with(listener, bye_action, 1);
    EXPECT_EQ(read_xml_fields(bye).one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint()) << bye;
    std::vector<std::string> records = log_records(0.2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].substr(0, 4), "<30>");  // daemon facility, level 6
    EXPECT_EQ(records[0].substr(records[0].size() - 24), " discovery-daemon: start");
    EXPECT_EQ(records[1].substr(records[1].size() - 23), " discovery-daemon: exit");
}

TEST_F(Daemon, AnswersEachMatchingProbeOnce)
{
    // A client probes as soon as it hears the first Hello; the Hello waits
    // for the probe loop's socket, here bound a third of a second late.
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start_slowed(&pid, "HOUSE_BIND_DELAY_MS=300"));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");

    send_to(client, onvif_client_probe("urn:uuid:probe-1"));
    std::vector<std::string> answers = receive(client, answer_wait_s);
    ASSERT_EQ(answers.size(), 1u);
    const std::string &match = answers[0];
    EXPECT_NE(match.find(matches_action), std::string::npos);
    EXPECT_NE(match.find("<wsa:RelatesTo>urn:uuid:probe-1</wsa:RelatesTo>"), std::string::npos);
    EXPECT_NE(match.find("<wsa:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
                         "</wsa:To>"),
              std::string::npos);
    EXPECT_NE(match.find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
              std::string::npos);

    // Two clients whose Probes interleave, each repeating its own: one
    // answer each.
    for (const char *id : { "urn:uuid:a", "urn:uuid:b", "urn:uuid:a", "urn:uuid:b" })
        send_to(client, onvif_client_probe(id));
    answers = receive(client, answer_wait_s);
    EXPECT_EQ(answers.size(), 2u);
    EXPECT_EQ(count_with(answers, ">urn:uuid:a</wsa:RelatesTo>"), 1);

    // The same Probe again, and one asking for another kind of device: no
    // answer. Its MessageID from another socket is another client's (two
    // runs of a client within one clock second): answered.
    send_to(client, onvif_client_probe("urn:uuid:probe-1"));
    send_to(client, probe_with("urn:uuid:probe-3", "wsdp:Device", ""));
    EXPECT_EQ(receive(client, answer_wait_s).size(), 0u);
    int other = udp_socket(0, false);
    send_to(other, onvif_client_probe("urn:uuid:probe-1"), "127.0.0.1");
    EXPECT_NE(receive_with(other, ">urn:uuid:probe-1<", 0.5), "");
    close(other);

    // Sent to the device's own address: answered at once, by the same
    // rules, once.
    send_to(client, onvif_client_probe("urn:uuid:probe-2"), "127.0.0.1");
    send_to(client, onvif_client_probe("urn:uuid:probe-2"), "127.0.0.1");
    send_to(client, probe_with("urn:uuid:probe-4", "wsdp:Device", ""), "127.0.0.1");
    answers = receive(client, 0.2);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("<wsa:RelatesTo>urn:uuid:probe-2</wsa:RelatesTo>"), std::string::npos);
    EXPECT_NE(answers[0].find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
              std::string::npos) << answers[0];

    // A matching rule the device does not support: a fault to the client
    // that asked the device itself, nothing to the group.
    const std::string unknown_rule = probe_with("urn:uuid:rule", "dn:NetworkVideoTransmitter",
                                                "onvif://www.onvif.org/Profile", "http://example.org/unknown");
    send_to(client, unknown_rule, "127.0.0.1");
    answers = receive(client, 0.2);
    ASSERT_EQ(answers.size(), 1u);
    xml_fields fault = read_xml_fields(answers[0]);  // its form byte for byte: Messages.FaultFor...
    EXPECT_EQ(fault.one(WSD_ADDRESSING_NS, "Action"), WSD_DISCOVERY_NS "/fault");
    EXPECT_EQ(fault.one(WSD_ADDRESSING_NS, "RelatesTo"), "urn:uuid:rule");
    send_to(client, std::string(unknown_rule).replace(unknown_rule.find(":rule<"), 6, ":rule-group<"));
    EXPECT_EQ(receive(client, answer_wait_s).size(), 0u);

    // node-onvif asks for three types in turn; only the transmitter is us.
    for (const char *type : { "NetworkVideoTransmitter", "Device", "NetworkVideoDisplay" })
        send_to(client, node_onvif_probe(std::string("uuid:n-") + type, type));
    answers = receive(client, answer_wait_s);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("<wsa:RelatesTo>uuid:n-NetworkVideoTransmitter</wsa:RelatesTo>"),
              std::string::npos);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// Answers to a group are held back by a random time under 0.4 s each, so a
// site's devices do not answer all at once; a burst (from a few senders,
// each within its share) is all answered in time, each once; the Bye drops
// those not yet sent.
TEST_F(Daemon, AnswersToTheGroupAreSpreadAndNoneFollowsTheBye)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    double sent = now_s(), first = 1e9, last = 0;
    for (int i = 0; i < 30; i++)
        send_from(client, onvif_client_probe("urn:uuid:burst-" + std::to_string(i)),
                  ("127.0.0." + std::to_string(10 + i / 6)).c_str(), "239.255.255.250");
    std::vector<std::string> answers;
    for (std::string a; (a = receive_with(client, matches_action, 0.5 + sent - now_s())) != "";) {
        answers.push_back(a);
        first = std::min(first, now_s() - sent);
        last = now_s() - sent;
    }
    EXPECT_EQ(answers.size(), 30u);
    for (int i = 0; i < 30; i++)
        EXPECT_EQ(count_with(answers, ">urn:uuid:burst-" + std::to_string(i) + "<"), 1) << i;
    EXPECT_LT(first, 0.2);
    EXPECT_GT(last, 0.2);
    printf("30 answers from %.0f to %.0f ms after the burst\n", first * 1000, last * 1000);

    // One socket hears both the answers and the Bye, in the order sent.
    int both = udp_socket(3702, false);
    struct ip_mreq group = {};
    group.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
    setsockopt(both, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
    for (int i = 0; i < 20; i++)
        send_from(both, onvif_client_probe("urn:uuid:dropped-" + std::to_string(i)),
                  ("127.0.0." + std::to_string(20 + i / 5)).c_str(), "239.255.255.250");
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    std::vector<std::string> heard = receive(both, 0.5), after = from_bye(heard);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(count_with(after, matches_action), 0);
    EXPECT_LT(count_with(heard, matches_action), 20);
    close(both);
}

// The daemon's resident memory in KiB; its CPU time so far, its threads'
// together, in nanoseconds.
static long rss_kib(pid_t pid)
{
    return atol(command_output("awk '/^VmRSS:/ { print $2 }' /proc/" + std::to_string(pid) + "/status").c_str());
}
static double cpu_ns(pid_t pid)
{
    return atof(command_output("awk '{ s += $1 } END { printf \"%d\", s }' /proc/" + std::to_string(pid) +
                               "/task/*/schedstat").c_str());
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
    // Datagrams of 65,000 bytes, several queued at once, to the group and
    // directed, after a warm-up: memory stays as it was (the receive path
    // keeps what a request can be).
    for (const std::string &first : { valid, "<!-- -->" + valid })
        for (const char *to : { "239.255.255.250", "127.0.0.1" })
            send_from(client, first, "127.0.4.1", to);
    receive(client, answer_wait_s);
    long rss = rss_kib(pid);
    for (int i = 0; i < 80; i++) {
        send_from(client, std::string(65000, i % 3 ? ' ' : '<'), ("127.0.4." + std::to_string(2 + i / 10)).c_str(),
                  i % 2 ? "239.255.255.250" : "127.0.0.1");
        if (i % 10 == 9)
            usleep(20000);
    }
    usleep(100000);
    printf("resident: %ld KiB, after 80 datagrams of 65,000 bytes %ld KiB\n", rss, rss_kib(pid));
#ifdef RSS_MEANINGFUL
    EXPECT_LE(rss_kib(pid), rss + 256);
#endif
    // Each bad datagram read: a round from a sender of its own.
    for (int round = 0; round < 20; round++) {
        for (const std::string &b : bad)
            send_from(client, b, ("127.0.3." + std::to_string(round + 1)).c_str(), "239.255.255.250");
        usleep(10000);  // within the socket's receive buffer
    }
    EXPECT_EQ(receive(client, 0.2).size(), 0u);
    send_to(client, valid);
    std::vector<std::string> answers = receive(client, 1.0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("urn:uuid:after-noise"), std::string::npos);

    // Each input at a limit of the reader (its fuzz seeds), to the group and
    // directed, then a Probe from the same sender, answered as ever.
    std::string names = command_output("cd " PROBE_SEEDS_DIR " && ls limit_*");
    int sender = 0;
    for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string name = names.substr(at, end - at), from = "127.0.1." + std::to_string(++sender);
        for (const char *to : { "239.255.255.250", "127.0.0.1" })
            send_from(client, read_file(PROBE_SEEDS_DIR "/" + name), from.c_str(), to);
        send_from(client, onvif_client_probe("urn:uuid:after-" + name), from.c_str(), "127.0.0.1");
        std::string answer = receive_with(client, ">urn:uuid:after-" + name + "<", 1.0);
        EXPECT_NE(answer.find("<wsd:XAddrs>http://127.0.0.1/onvif/device_service</wsd:XAddrs>"),
                  std::string::npos) << name;
    }
    EXPECT_GT(sender, 30);
    receive(listener, 0.1);  // the noise filled the listener too
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// The daemon's CPU time so far, in seconds.
static double cpu_s(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    unsigned long user = 0, system = 0;
    size_t at = stat.rfind(')');
    if (at != std::string::npos)
        sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
    return (double)(user + system) / (double)sysconf(_SC_CLK_TCK);
}

// A flood of distinct Probes from one sender gets a burst of answers and
// then a few a second; another sender beside it is answered at once.
TEST_F(Daemon, EachSenderHasABoundedShare)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    int flood = udp_socket(0, false);
    std::string beside;
    for (int i = 0; i < 2000; i++) {
        send_to(flood, onvif_client_probe("urn:uuid:flood-" + std::to_string(i)), "127.0.0.1");
        if (i % 20 == 19)
            usleep(10000);  // 2,000 a second, within the socket's buffer
        if (i == 1000) {
            send_from(client, onvif_client_probe("urn:uuid:beside"), "127.0.0.2", "127.0.0.1");
            beside = receive_with(client, ">urn:uuid:beside<", 0.5);
        }
    }
    EXPECT_NE(beside, "");
    size_t answered = receive(flood, answer_wait_s).size();
    EXPECT_GE(answered, 8u);
    EXPECT_LE(answered, 8u + 4u * 3);  // the flood lasts about 1.5 s
    printf("a flood of 2000 Probes from one sender: %zu answers\n", answered);
    close(flood);

    // One address over 100 ports gets no more than the address's share.
    std::vector<int> ports;
    for (int i = 0; i < 2000; i++) {
        if (i < 100)
            ports.push_back(udp_socket(0, false));
        send_from(ports[i % 100], onvif_client_probe("urn:uuid:port-" + std::to_string(i)), "127.0.0.3", "127.0.0.1");
        if (i % 20 == 19)
            usleep(10000);
    }
    usleep(200000);
    answered = 0;
    for (int p : ports)
        answered += receive(p, 0).size(), close(p);
    EXPECT_LE(answered, 80u);

    // Past its shares, a sender's repeats, Probes that match nothing and
    // those the full parser reads (a comment) are dropped unread, as a
    // datagram dropped for its share is: the daemon's CPU time for each.
    const std::function<std::string(int)> kinds[] = {
        [](int i) { return onvif_client_probe("urn:uuid:past-" + std::to_string(i)); },
        [](int) { return onvif_client_probe("urn:uuid:past-again"); },
        [](int i) { return probe_with("urn:uuid:past-" + std::to_string(i), "wsdp:Device", ""); },
        [](int i) { return "<!-- x -->" + probe_with("urn:uuid:past-" + std::to_string(i), "wsdp:Device", ""); },
    };
    // Each kind in two rounds, the cheaper one counted: a moment when the
    // machine is busy (other suites beside this one) falls on one round.
    double ns[4] = { 1e18, 1e18, 1e18, 1e18 };
    for (int round = 0; round < 2; round++) {
        for (int k = 0; k < 4; k++) {
            int sock = udp_socket(0, false);
            double cpu0 = cpu_ns(pid);
            for (int i = round * 500; i < round * 500 + 500; i++) {
                send_from(sock, kinds[k](i), "127.0.0.4", "127.0.0.1");
                if (i % 20 == 19)
                    usleep(10000);
            }
            usleep(100000);
            ns[k] = std::min(ns[k], (cpu_ns(pid) - cpu0) / 500);
            close(sock);
        }
    }
    printf("past the shares, CPU per datagram: %.0f ns distinct, %.0f repeated, %.0f unmatched, %.0f commented\n",
           ns[0], ns[1], ns[2], ns[3]);
    for (int k = 1; k < 4; k++)
        EXPECT_LT(ns[k], 2 * ns[0]) << k;
    // Counted: datagrams that cannot be read at all, past the socket's
    // reads, are dropped for its share, not read as malformed.
    long malformed = counted(status_now(), "lo", "malformed");
    int junk = udp_socket(0, false);
    for (int i = 0; i < 100; i++)
        send_from(junk, "<junk", "127.0.0.5", "127.0.0.1");
    status_fields f = status_now();
    EXPECT_LE(counted(f, "lo", "malformed") - malformed, 34);
    EXPECT_GE(counted(f, "lo", "socket_share_spent"), 66);
    int status;
    EXPECT_NE(diagnose(&status).find("were dropped past their sender's share"), std::string::npos);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// A client's scan as SOAP-over-UDP has it, from `from`: a Probe from a
// socket of its own and its repeat 0.3 s later; whether it was answered
// within 1.5 s.
static bool scan(const char *from, const std::string &id)
{
    int sock = udp_socket(0, false);
    send_from(sock, onvif_client_probe(id), from, "239.255.255.250");
    bool answered = receive_with(sock, id, 0.3) != "";
    send_from(sock, onvif_client_probe(id), from, "239.255.255.250");
    answered = answered || receive_with(sock, id, 1.2) != "";
    close(sock);
    return answered;
}

// Beside 250 senders on the link sending 600 Probes a second in all, each
// within its share, every Probe is answered and so is a client's scan;
// with 40 Probes a second sent in its name from another port, so is the
// client's, though it has scanned a moment ago.
TEST_F(Daemon, AClientIsAnsweredBesideACrowdOrASpoofer)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    for (int spoofer = 0; spoofer < 2; spoofer++) {
        std::atomic<bool> done{ false };
        std::atomic<int> sent{ 0 }, heard{ 0 };
        std::thread others([&] {
            int sock = udp_socket(0, false);
            fcntl(sock, F_SETFL, O_NONBLOCK);
            char reply[65536];
            for (int i = 0; !done; i++) {
                std::string from = spoofer ? "127.0.0.2" : "127.0.2." + std::to_string(1 + i % 250);
                send_from(sock, onvif_client_probe("urn:uuid:other-" + std::to_string(i)), from.c_str(),
                          "239.255.255.250");
                sent++;
                usleep(spoofer ? 25000 : 1667);
                while (recv(sock, reply, sizeof reply, 0) > 0)
                    heard++;
            }
            usleep(500000);
            while (recv(sock, reply, sizeof reply, 0) > 0)
                heard++;
            close(sock);
        });
        usleep(spoofer ? 1000000 : 300000);  // the spoofer's burst spent, the crowd's answers held
        int lately[8];  // the client scanned a moment ago: its address's spare spent
        for (int i = 0; i < 8; i++) {
            lately[i] = udp_socket(0, false);
            if (spoofer)
                send_from(lately[i], onvif_client_probe("urn:uuid:lately-" + std::to_string(i)), "127.0.0.2",
                          "239.255.255.250");
        }
        int scans = 0;
        for (int i = 0; i < 5; i++, usleep(200000))
            scans += scan("127.0.0.2", "urn:uuid:scan-" + std::to_string(spoofer) + std::to_string(i));
        for (int sock : lately)
            close(sock);
        done = true;
        others.join();
        EXPECT_GE(scans, spoofer ? 4 : 5) << (spoofer ? "beside a spoofer" : "beside a crowd");
        EXPECT_TRUE(spoofer || heard >= sent * 95 / 100) << heard << " of " << sent << " Probes from the crowd";
        receive(listener, 0);  // the crowd filled the listener
        printf("%s: %d of 5 scans answered, %d of %d Probes\n", spoofer ? "a spoofer" : "a crowd", scans,
               heard.load(), sent.load());
    }
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// The status is whole at every reading, flooded and reloaded, and is not
// written again while nothing happens; a stalled system log (its socket's
// queue full, never read) costs log lines, counted, never an answer.
TEST_F(Daemon, TheStatusIsWholeAndAStalledLogCostsNoAnswer)
{
    ASSERT_TRUE(write_file(WSD_CONFIG_FILE, "bogus\n"));  // each reading logs a line
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    std::atomic<bool> done{ false };
    std::atomic<int> reads{ 0 }, broken{ 0 };
    std::thread reader([&] {
        for (status_fields f; !done; reads++)
            broken += status_parse(read_file(WSD_STATUS_FILE), &f) != "";
    });
    int flood = udp_socket(0, false);
    for (int i = 0; i < 300; i++, usleep(5000)) {
        send_to(flood, onvif_client_probe("urn:uuid:f" + std::to_string(i)), "127.0.0.1");
        if (i % 30 == 0)
            write_file(WSD_RUNTIME_CONFIG_FILE, "name = N" + std::to_string(i) + "\n");
    }
    double sent = now_s();
    send_to(client, onvif_client_probe("urn:uuid:stalled"), "239.255.255.250");
    EXPECT_NE(receive_with(client, "urn:uuid:stalled", answer_wait_s), "");
    EXPECT_LT(now_s() - sent, 0.5);
    done = true;
    reader.join();
    EXPECT_EQ(broken, 0) << reads << " readings";
    EXPECT_GT(atol(status_get(status_now(), "log_lines_lost").c_str()), 0);
    std::string before = read_file(WSD_STATUS_FILE);
    usleep(2500000);
    EXPECT_EQ(read_file(WSD_STATUS_FILE), before);
    close(flood);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// Its sockets destroyed from outside (as `ss -K` does), the daemon clears
// their errors without spinning and answers the next Probe, to the group
// and directed, and its next Hello goes out.
TEST_F(Daemon, BrokenSocketsAreMendedWithoutSpinning)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(listener, hello_action, 2), "");
    for (const char *which : { "sport = :3702", "" }) {  // the discovery sockets, then every one
        ASSERT_EQ(system(("ss -K -u -a '" + std::string(which) + "' >/dev/null").c_str()), 0);
        double before = cpu_s(pid);
        usleep(1000000);
        EXPECT_LT(cpu_s(pid) - before, 0.1) << which;
        close(listener);
        close(client);
        listener = udp_socket(3702, true);
        client = udp_socket(0, false);
        for (const char *to : { "239.255.255.250", "127.0.0.1" }) {
            std::string id = std::string("urn:uuid:mended-") + to + which;
            send_to(client, onvif_client_probe(id), to);
            EXPECT_NE(receive_with(client, ">" + id + "<", answer_wait_s), "") << which << " " << to;
        }
        signal_daemon(pid, SIGHUP);
        EXPECT_NE(receive_with(listener, hello_action, 2.5), "") << which;
    }
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
    // One SIGHUP, one Hello: the request is cleared once answered (a second
    // Hello would come at the hello loop's next look, a second on).
    EXPECT_EQ(count_with(receive(listener, 1.5), hello_action), 0);
    signal_daemon(pid, SIGPIPE);
    send_to(client, onvif_client_probe("urn:uuid:after-sigpipe"));
    EXPECT_EQ(receive(client, answer_wait_s).size(), 1u);
    EXPECT_EQ(daemon_wait(pid, 0.1), -1);  // still running
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// Without a route for the group the server socket cannot join it: the
// daemon logs why and ends with status 1 rather than run deaf.
TEST_F(Daemon, ThatCannotJoinTheGroupSaysWhyAndEnds)
{
    ASSERT_EQ(system("ip route del 224.0.0.0/4 dev lo"), 0);
    int status;
    pid_t pid = daemon_start(&status);  // -1 when it has ended already
    EXPECT_EQ(status, 0);
    // Detached, it is this process's child (the tests are its subreaper).
    int ended = -1;
    for (int ms = 0; ms < 5000 && ended < 0; ms++, usleep(1000)) {
        int wstatus;
        if (waitpid(-1, &wstatus, WNOHANG) > 0)
            ended = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    EXPECT_EQ(ended, 1);
    if (ended < 0 && pid > 0) {
        signal_daemon(pid, SIGKILL);
        daemon_wait(pid, 5);
    }
    std::vector<std::string> records = log_records(0.2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].substr(0, 4), "<27>");  // daemon facility, level 3
    const std::string why = " discovery-daemon: setsockopt IPPROTO_IP, IP_ADD_MEMBERSHIP failed: No such device";
    EXPECT_EQ(records[1].substr(records[1].size() - std::min(why.size(), records[1].size())), why);
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

TEST_F(Daemon, AnswersAResolveForItsOwnEndpointOnly)
{
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string hello = receive_with(listener, hello_action, 2);
    ASSERT_NE(hello, "");

    send_to(client, resolve_for("urn:uuid:resolve-1", wsd_endpoint()));
    std::vector<std::string> answers = receive(client, answer_wait_s);
    ASSERT_EQ(answers.size(), 1u);
    xml_fields f = read_xml_fields(answers[0]);
    ASSERT_TRUE(f.well_formed) << answers[0];
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "Action"), WSD_DISCOVERY_NS "/ResolveMatches");
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "RelatesTo"), "urn:uuid:resolve-1");
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint());
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "XAddrs"), "http://127.0.0.1/onvif/device_service");
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "Types"), "dn:NetworkVideoTransmitter tds:Device");
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "MetadataVersion"), "1");
    EXPECT_EQ(instance_id(answers[0]), instance_id(hello));

    // The same Resolve again, and one for another endpoint: no answer.
    send_to(client, resolve_for("urn:uuid:resolve-1", wsd_endpoint()));
    send_to(client, resolve_for("urn:uuid:resolve-2", "urn:uuid:00000000-0000-0000-0000-000000000001"));
    EXPECT_EQ(receive(client, answer_wait_s).size(), 0u);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// The description integrators give: read at start, the run-time file
// again as soon as it changes (rewritten in place or replaced, no signal
// needed), both files on SIGHUP. Its MetadataVersion grows with a change
// only, across restarts too; bad lines are logged and skipped; not
// discoverable, the device says Bye and then nothing, until it is
// discoverable again.
TEST_F(Daemon, ConfiguredDescriptionAndItsReload)
{
    ASSERT_TRUE(write_file(WSD_CONFIG_FILE, "name = Default\nlocation = Hall A\nbogus line\nscope = urn:x y\n"));
    const std::string https = "xaddrs = https://{address}:8443/onvif/device_service\n", gate = "name = Gate/1\n";
    const std::string scopes = "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming "
                               "onvif://www.onvif.org/hardware/IP_house onvif://www.onvif.org/name/Gate/1 "
                               "onvif://www.onvif.org/location/";
    pid_t pid = 0;
    auto restart = [&](const std::string &runtime) {
        EXPECT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, runtime));
        if (pid > 0) {
            EXPECT_EQ(stop(pid, SIGTERM), 1);
        }
        start(&pid);
        return read_xml_fields(receive_with(listener, hello_action, 2.5));
    };
    // The run-time file written in place ('w', as a shell's '>' does) or
    // replaced by rename ('m'), and nothing else: the first Hello or Bye
    // after it ("" when none came), in force well before the hello loop's
    // one-second look at SIGHUP would have come.
    auto change = [&](const std::string &runtime, int how) {
        double t0 = now_s();
        std::string path = how == 'm' ? WSD_RUNTIME_CONFIG_FILE ".new" : WSD_RUNTIME_CONFIG_FILE;
        FILE *f = fopen(path.c_str(), "w");
        EXPECT_TRUE(f && fputs(runtime.c_str(), f) >= 0 && fclose(f) == 0);
        EXPECT_TRUE(how != 'm' || rename(path.c_str(), WSD_RUNTIME_CONFIG_FILE) == 0);
        std::string said;
        while (said.empty() && (said = receive_with(listener, "</wsa:Action>", 1.5)) != "")
            if (said.find(hello_action) == std::string::npos && said.find(bye_action) == std::string::npos)
                said.clear();
        EXPECT_LT(now_s() - t0, 0.2) << runtime;
        log_records(0.02);  // each reading logs the bad lines again: a log never read stalls the daemon
        return said;
    };
    xml_fields hello = restart(gate + https);
    EXPECT_EQ(hello.one(WSD_DISCOVERY_NS, "Scopes"), scopes + "Hall%20A");
    EXPECT_EQ(hello.one(WSD_DISCOVERY_NS, "XAddrs"), "https://127.0.0.1:8443/onvif/device_service");
    EXPECT_EQ(hello.one(WSD_DISCOVERY_NS, "MetadataVersion"), "1");
    std::string logged;
    for (const std::string &r : log_records(0.2))
        logged += r.substr(r.find("discovery-daemon: ") + 18) + "\n";
    EXPECT_EQ(logged, "start\n" WSD_CONFIG_FILE ":3: no '=' in the line\n" WSD_CONFIG_FILE
                      ":4: the scope is not an absolute URI without white space\n");
    // Probes by location: this one, another.
    for (const char *where : { "Hall%20A", "Yard" })
        send_to(client, probe_with(std::string("urn:uuid:") + where, "", scopes.substr(scopes.rfind(' ') + 1) + where),
                "127.0.0.1");
    std::vector<std::string> answers = receive(client, 0.3);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(read_xml_fields(answers[0]).one(WSD_ADDRESSING_NS, "RelatesTo"), "urn:uuid:Hall%20A");

    // SIGHUP with nothing changed: a Hello, the version the same. Changed
    // in place: a Hello at once with the next; restarted, the same.
    signal_daemon(pid, SIGHUP);
    EXPECT_EQ(read_xml_fields(receive_with(listener, hello_action, 2.5)).one(WSD_DISCOVERY_NS, "MetadataVersion"), "1");
    hello = read_xml_fields(change(gate + "location = Yard\n", 'w'));
    EXPECT_EQ(hello.one(WSD_DISCOVERY_NS, "Scopes"), scopes + "Yard");
    EXPECT_EQ(hello.one(WSD_DISCOVERY_NS, "MetadataVersion"), "2");
    EXPECT_EQ(restart(gate + "location = Yard\n").one(WSD_DISCOVERY_NS, "MetadataVersion"), "2");

    // Not discoverable, by rename: a Bye at once, and a Probe 0.1 s after
    // the write gets nothing, to the group or directed; no Bye at the stop.
    // Discoverable again: a Hello at once, and answers.
    for (const char *mode : { "no", "yes" }) {
        double t0 = now_s();
        std::string said = change(gate + "location = Yard\ndiscoverable = " + mode + "\n", 'm');
        EXPECT_NE(said.find(*mode == 'n' ? bye_action : hello_action), std::string::npos) << mode;
        usleep((useconds_t)std::max(0.0, (t0 + 0.1 - now_s()) * 1e6));
        std::string id = std::string("urn:uuid:mode-") + mode;
        for (const char *to : { "239.255.255.250", "127.0.0.1" })
            send_to(client, onvif_client_probe(id + to), to);
        EXPECT_EQ(receive(client, answer_wait_s).size(), *mode == 'n' ? 0u : 2u) << mode;
    }
    // Written several times within a moment: one Hello, for the last.
    for (int i = 1; i <= 5; i++) {
        FILE *f = fopen(WSD_RUNTIME_CONFIG_FILE, "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "name = Gate/1\nlocation = Step %d\n", i);
        fclose(f);
    }
    std::vector<std::string> heard = receive(listener, 1.5);
    ASSERT_EQ(count_with(heard, hello_action), 1);
    EXPECT_EQ(read_xml_fields(*std::find_if(heard.begin(), heard.end(), [&](const std::string &m) {
                  return m.find(hello_action) != std::string::npos;
              })).one(WSD_DISCOVERY_NS, "Scopes"), scopes + "Step%205");
    // The run-time directory removed and made again while the links keep
    // changing: what is written there is in force as before.
    std::atomic<bool> churning{ true };
    ASSERT_EQ(system("ip link add churn0 type veth peer name churn1"), 0);
    std::thread churn([&] {
        for (int i = 0; churning; i++, usleep(400000))
            system(i % 2 ? "ip addr del 10.9.9.9/32 dev churn0" : "ip addr add 10.9.9.9/32 dev churn0");
    });
    ASSERT_EQ(system("rm -r /var/lib/discovery && mkdir /var/lib/discovery"), 0);
    usleep(1200000);
    receive(listener, 0);
    log_records(0.02);
    EXPECT_EQ(change("discoverable = no\n", 'w').find(bye_action) != std::string::npos, true);
    churning = false;
    churn.join();

    // Every spelling of a yes and a no, in any case.
    for (const char *mode : { "on", "false", "TRUE", "Off", "1", "No", "Yes", "0" }) {
        bool yes = strchr("oO1TtY", mode[0]) && strcasecmp(mode, "off") != 0;
        std::string said = change(std::string("discoverable = ") + mode + "\n", 'm');
        EXPECT_NE(said.find(yes ? hello_action : bye_action), std::string::npos) << mode << " " << said.substr(0, 600);
    }
    // Fail closed: hidden, it stays hidden when the file becomes a
    // directory or a FIFO, or holds a bad mode, and says why; restarted
    // so, it starts hidden. It stops within 3 s throughout.
    auto stays_hidden = [&](const std::string &what) {
        usleep(200000);  // the file settled and read
        send_to(client, onvif_client_probe("urn:uuid:closed-" + what), "127.0.0.1");
        EXPECT_EQ(receive(client, 0.3).size(), 0u) << what;
        EXPECT_EQ(count_with(receive(listener, 0), "</wsa:Action>"), 0) << what;
    };
    log_records(0.05);
    for (const char *make : { "mkdir", "mkfifo" }) {
        ASSERT_EQ(system((std::string("rm -r " WSD_RUNTIME_CONFIG_FILE " && ") + make + " " WSD_RUNTIME_CONFIG_FILE).c_str()), 0);
        stays_hidden(make);
        std::vector<std::string> records = log_records(0.05);
        ASSERT_FALSE(records.empty()) << make;
        EXPECT_NE(records.back().find(WSD_RUNTIME_CONFIG_FILE ": not a regular file; the description and mode in force stay"),
                  std::string::npos) << records.back();
    }
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 3), 0);
    start(&pid);
    stays_hidden("restarted");
    EXPECT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE ".new", "discoverable = maybe\n"));
    EXPECT_EQ(rename(WSD_RUNTIME_CONFIG_FILE ".new", WSD_RUNTIME_CONFIG_FILE), 0);  // over the FIFO
    stays_hidden("maybe");
    // Restarted with that bad mode: hidden still, as it was before.
    log_records(0);
    EXPECT_EQ(stop(pid, SIGTERM), 0);
    start(&pid);
    stays_hidden("maybe, restarted");
    // The image's file unreadable at start: hidden, and no MetadataVersion
    // taken for a description never announced; once it can be read, in
    // force at once.
    log_records(0);
    EXPECT_EQ(stop(pid, SIGTERM), 0);
    ASSERT_EQ(system("rm " WSD_CONFIG_FILE " && mkdir " WSD_CONFIG_FILE), 0);
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "name = Hidden\ndiscoverable = yes\n"));
    std::string version = read_file(WSD_METADATA_VERSION_FILE);
    start(&pid);
    stays_hidden("the image's file unreadable");
    EXPECT_EQ(read_file(WSD_METADATA_VERSION_FILE), version);
    ASSERT_EQ(system("rmdir " WSD_CONFIG_FILE), 0);
    ASSERT_TRUE(write_file(WSD_CONFIG_FILE, "location = Hall B\n"));
    EXPECT_NE(receive_with(listener, hello_action, 0.5), "");
    log_records(0);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
}

// Clients order a device's messages by InstanceId: a restart within the
// same second must not look older than the Bye before it.
TEST_F(Daemon, InstanceIdGrowsAcrossQuickRestartsAndSurvivesACorruptFile)
{
    unsigned long last = 0;
    for (int round = 0; round < 3; round++) {
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(start(&pid));
        std::string hello = receive_with(listener, hello_action, 2);
        ASSERT_NE(hello, "") << "round " << round;
        EXPECT_GT(instance_id(hello), last) << "round " << round;
        last = instance_id(hello);
        EXPECT_EQ(stop(pid, SIGTERM), 1);
    }
    EXPECT_EQ(read_file(WSD_INSTANCE_ID_FILE), std::to_string(last) + "\n");

    // A state file cut short by a power loss: the daemon starts regardless.
    FILE *f = fopen(WSD_INSTANCE_ID_FILE, "w");
    ASSERT_NE(f, nullptr);
    fputs("17", f);
    fclose(f);
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string hello = receive_with(listener, hello_action, 2);
    ASSERT_NE(hello, "");
    EXPECT_GE(instance_id(hello), (unsigned long)time(NULL) - 5);
    EXPECT_EQ(stop(pid, SIGTERM), 1);
    const std::string kept = read_xml_fields(hello).one(WSD_DISCOVERY_NS, "MetadataVersion");

    // A state directory that can be read but no longer written (a full
    // flash, remounted read-only): descriptions A, B and A again still
    // announce growing MetadataVersions.
    ASSERT_EQ(system("mount --bind " WSD_STATE_DIR " " WSD_STATE_DIR " && mount -o remount,bind,ro " WSD_STATE_DIR), 0);
    log_records(0);  // a log never read stalls the daemon
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string said = read_xml_fields(receive_with(listener, hello_action, 2)).one(WSD_DISCOVERY_NS, "MetadataVersion");
    EXPECT_EQ(said, kept);  // what a start that can write announces for it too
    unsigned long version = std::stoul(said);
    for (const char *name : { "A", "B", "A" }) {
        EXPECT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, std::string("name = ") + name + "\n"));
        std::string next = read_xml_fields(receive_with(listener, hello_action, 1)).one(WSD_DISCOVERY_NS, "MetadataVersion");
        ASSERT_NE(next.find_first_of("0123456789"), std::string::npos) << name;
        EXPECT_GT(std::stoul(next), version) << name;
        version = std::stoul(next);
    }

    // The endpoint integrators give, at run time: a Bye as the device was,
    // a Hello as it is; a Resolve for it answered, for the derived one not.
    const std::string given = "urn:uuid:8c1b6e2a-4c1e-4f57-9d2b-2f7c9a0d3e11";
    EXPECT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "endpoint = urn:uuid:8C1B6E2A-4C1E-4F57-9D2B-2F7C9A0D3E11\n"));
    EXPECT_EQ(read_xml_fields(receive_with(listener, bye_action, 1)).one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint());
    EXPECT_EQ(read_xml_fields(receive_with(listener, hello_action, 1)).one(WSD_ADDRESSING_NS, "Address"), given);
    for (const std::string &endpoint : { given, std::string(wsd_endpoint()) })
        send_to(client, resolve_for("urn:uuid:resolve-" + endpoint, endpoint), "127.0.0.1");
    std::vector<std::string> answers = receive(client, 0.3);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(read_xml_fields(answers[0]).one(WSD_ADDRESSING_NS, "Address"), given);
    log_records(0);
    EXPECT_EQ(stop(pid, SIGTERM), 1);

    // Boards made from one image, their machine-ids still "uninitialized",
    // their link named as Debian names it on many ARM boards: each one's
    // hardware address makes its endpoint.
    ASSERT_EQ(system("rm " WSD_RUNTIME_CONFIG_FILE " && echo uninitialized > /etc/machine-id"
                     " && ip link add end0 type veth peer name end1"), 0);
    std::string endpoints[2];
    for (int board = 0; board < 2; board++) {
        ASSERT_EQ(system(("ip link set end0 address 02:00:00:00:00:0" + std::to_string(board + 1)).c_str()), 0);
        ASSERT_NO_FATAL_FAILURE(start(&pid));
        endpoints[board] = read_xml_fields(receive_with(listener, hello_action, 2)).one(WSD_ADDRESSING_NS, "Address");
        log_records(0);
        EXPECT_EQ(stop(pid, SIGTERM), 1);
    }
    EXPECT_NE(endpoints[0], endpoints[1]);
    EXPECT_NE(endpoints[0], wsd_endpoint());
}

// Two links, each with a client host at its far end, in a network
// namespace of its own: link n is camN here (10.N.0.1/24 and fd00:N::1/64
// with N = 77, 88) and cliN there (.2 and ::2).
class Links : public Daemon {
protected:
    void SetUp() override
    {
        Daemon::SetUp();
        if (HasFatalFailure())
            return;
        prefix = "wl" + std::to_string(getpid()) + "-";
        ASSERT_EQ(system("ip route del 224.0.0.0/4 dev lo"), 0);
        ASSERT_EQ(system(no_dad), 0);  // addresses usable at once
    }

    void TearDown() override
    {
        for (int n = 0; n < 2; n++)
            system(("ip netns del " + prefix + std::to_string(n) + " 2>/dev/null").c_str());
    }

    static std::string address(int n, int host) { return "10." + std::to_string(n ? 88 : 77) + ".0." + std::to_string(host); }
    static std::string address6(int n, int host) { return "fd00:" + std::to_string(n ? 88 : 77) + "::" + std::to_string(host); }
    // The XAddrs of link n as the templates say (those of a configuration,
    // or the default).
    std::string expand(const std::string &a) const
    {
        std::string x = templates;
        for (size_t at; (at = x.find("{address}")) != std::string::npos;)
            x.replace(at, 9, a);
        return x;
    }
    std::string xaddrs(int n) const { return expand(address(n, 1)); }
    std::string xaddrs6(int n) const { return expand("[" + address6(n, 1) + "]"); }
    std::string templates = "http://{address}/onvif/device_service";
    static constexpr const char *no_dad = "sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0";

    void add_link(int n)
    {
        std::string ns = prefix + std::to_string(n), cam = "cam" + std::to_string(n),
                    cli = "cli" + std::to_string(n);
        // The far end listens before this end comes up, so it hears the
        // Hello that greets the new link.
        std::string script = "ip netns add " + ns + " && ip netns exec " + ns + " " + no_dad +
                             " && ip link add " + cam + " type veth peer name " + cli +
                             " && ip link set " + cli + " netns " + ns +
                             " && ip netns exec " + ns + " sh -c 'ip link set lo up"
                             " && ip addr add " + address(n, 2) + "/24 dev " + cli +
                             " && ip addr add " + address6(n, 2) + "/64 dev " + cli +
                             " && ip link set " + cli + " up"
                             " && ip route add 224.0.0.0/4 dev " + cli + "'";
        ASSERT_EQ(system(script.c_str()), 0) << script;
        far_listener[n] = udp_socket_in(ns, 3702, true);
        far_client[n] = udp_socket_in(ns, 0, false);
        far_listener6[n] = udp6_socket_in(ns, 3702, cli);
        far_client6[n] = udp6_socket_in(ns, 0, cli);
        ASSERT_GE(far_listener[n], 0);
        ASSERT_GE(far_client[n], 0);
        script = "ip addr add " + address(n, 1) + "/24 dev " + cam + " && ip addr add " +
                 address6(n, 1) + "/64 dev " + cam + " && ip link set " + cam + " up";
        ASSERT_EQ(system(script.c_str()), 0) << script;
    }

    // A request from link n's client (`sock`) to `to`, a group or one of the
    // device's addresses: the XAddrs of the one answer within `seconds`.
    static std::string ask(int sock, const std::string &request, const std::string &id,
                           const std::string &to, double seconds = answer_wait_s)
    {
        send_to(sock, request, to.c_str());
        std::vector<std::string> answers = receive(sock, seconds);
        if (answers.size() != 1)
            return "answers: " + std::to_string(answers.size());
        xml_fields f = read_xml_fields(answers[0]);
        if (f.one(WSD_ADDRESSING_NS, "RelatesTo") != id)
            return "RelatesTo " + f.one(WSD_ADDRESSING_NS, "RelatesTo");
        return f.one(WSD_DISCOVERY_NS, "XAddrs");
    }

    std::string probe_from(int n, const std::string &id)
    {
        return ask(far_client[n], onvif_client_probe(id), id, "239.255.255.250");
    }

    std::string prefix;
    int far_listener[2] = { -1, -1 }, far_client[2] = { -1, -1 };
    int far_listener6[2] = { -1, -1 }, far_client6[2] = { -1, -1 };
};

TEST_F(Links, EachLinkHearsItsOwnAddressWhereverTheDefaultRouteIs)
{
    add_link(0);
    add_link(1);
    // A link that is down is no link: its address is never announced.
    ASSERT_EQ(system("ip link add down0 type veth peer name down1"
                     " && ip addr add 10.99.0.1/24 dev down0"), 0);
    // A /proc with no more than the processes, as a confined service has.
    ASSERT_EQ(system("mount -t proc -o subset=pid proc /proc"), 0);
    for (int route = 0; route < 2; route++) {
        ASSERT_EQ(system(("ip route replace default dev cam" + std::to_string(route)).c_str()), 0);
        if (route == 1) {  // then with XAddrs templates of a configuration
            templates = "http://{address}:8080/onvif/device_service https://{address}/onvif/device_service";
            ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "xaddrs = " + templates + "\n"));
        }
        // The second time with the probe loop's socket bound after the hello
        // loop has looked at the links: it joins the group on those known.
        pid_t pid;
        ASSERT_NO_FATAL_FAILURE(route ? start_slowed(&pid, "HOUSE_BIND_DELAY_MS=1500") : start(&pid));
        // The two links' clients at once, each on its own.
        auto link_n = [&](int n) {
            std::string hello = receive_with(far_listener[n], hello_action, 3);
            ASSERT_NE(hello, "") << "link " << n << ", default route on " << route;
            usleep(route ? 700000 : 0);  // the socket bound
            EXPECT_EQ(read_xml_fields(hello).one(WSD_DISCOVERY_NS, "XAddrs"), xaddrs(n))
                << "link " << n << ", default route on " << route;
            std::string id = "urn:uuid:l" + std::to_string(route) + std::to_string(n), at = " link " + std::to_string(n);
            EXPECT_EQ(probe_from(n, id), xaddrs(n)) << at;
            // Sent to the link's own address: answered at once.
            EXPECT_EQ(ask(far_client[n], onvif_client_probe(id + "d"), id + "d", address(n, 1), 0.2), xaddrs(n)) << at;
            EXPECT_EQ(ask(far_client[n], resolve_for(id + "r", wsd_endpoint()), id + "r", address(n, 1), 0.2),
                      xaddrs(n)) << at;
            // IPv6: a Hello of its own, and the link's IPv6 address in the
            // answers to the group FF02::C and to the address itself.
            std::string hello6 = receive_with(far_listener6[n], hello_action, 3);
            EXPECT_EQ(read_xml_fields(hello6).one(WSD_DISCOVERY_NS, "XAddrs"), xaddrs6(n)) << at;
            EXPECT_EQ(read_xml_fields(hello6).one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint()) << at;
            EXPECT_EQ(ask(far_client6[n], onvif_client_probe(id + "6"), id + "6", "ff02::c"), xaddrs6(n)) << at;
            EXPECT_EQ(ask(far_client6[n], onvif_client_probe(id + "6d"), id + "6d", address6(n, 1), 0.2), xaddrs6(n)) << at;
            EXPECT_EQ(ask(far_client6[n], resolve_for(id + "6r", wsd_endpoint()), id + "6r", "ff02::c"),
                      xaddrs6(n)) << at;
            // Answers to FF02::C are spread over 0.4 s as the IPv4 group's.
            for (int i = 0; route == 0 && i < 6; i++)
                send_to(far_client6[n], onvif_client_probe(id + "s" + std::to_string(i)), "ff02::c");
            double sent = now_s(), last = 0;
            for (int i = 0; route == 0 && i < 6 && receive_with(far_client6[n], matches_action, 0.6) != ""; i++)
                last = now_s() - sent;
            EXPECT_TRUE(route || (last > 0.1 && last < 0.5)) << at << ": the last answer after " << last << " s";
        };
        std::thread other(link_n, 1);
        link_n(0);
        other.join();
        // The device's loopback is no link while it has others: on the
        // device itself nothing names the loopback address.
        EXPECT_EQ(count_with(receive(listener, 0.2), "127.0.0.1"), 0) << "route " << route;
        signal_daemon(pid, SIGTERM);
        EXPECT_EQ(daemon_wait(pid, 5), 0);
        for (int n = 0; n < 2; n++) {
            std::vector<std::string> heard = receive(far_listener[n], 0.5);
            EXPECT_EQ(count_with(heard, bye_action), 1) << "link " << n << ", route " << route;
            EXPECT_EQ(count_with(heard, "10.99.0.1"), 0);
            EXPECT_EQ(count_with(receive(far_listener6[n], 0.2), bye_action), 1) << "link " << n;
        }
    }
    EXPECT_EQ(system("umount /proc"), 0);
}

// Only hosts on a link get answers: not one behind a router (a far
// subnet), nor one on the link with an address off its subnet or in
// another link's subnet, in either family, to a group or directed, though
// the device could reach them.
TEST_F(Links, OnlyHostsOnTheLinkGetAnswers)
{
    add_link(0);
    add_link(1);
    // Link 0's host routes to the far subnet 10.66.0.0/24 (fd00:66::/64)
    // and has addresses off the link's subnets; the device has routes to all.
    std::string ns = prefix + "0", far = prefix + "far", script = "set -e; ip netns add " + far +
        "; ip netns exec " + far + " " + no_dad + "; ip -n " + ns + " link add r0 type veth peer name f0 netns " +
        far + "; ip netns exec " + ns + " sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1; "
        "for a in 10.66.0.1/24 fd00:66::1/64; do ip -n " + ns + " addr add $a dev r0; done; ip -n " + ns +
        " link set r0 up; ip -n " + ns + " addr add 192.0.2.5/32 dev cli0; ip -n " + ns +
        " addr add fd00:99::5/128 dev cli0 nodad; ip -n " + ns + " addr add 10.88.0.9/32 dev cli0; "
        "ip route add 10.88.0.9/32 dev cam0; for a in 10.66.0.2/24 fd00:66::2/64; do ip -n " + far +
        " addr add $a dev f0; done; ip -n " + far + " link set f0 up; ip -n " + far +
        " route add default via 10.66.0.1; ip -n " + far + " -6 route add default via fd00:66::1; "
        "ip route add 10.66.0.0/24 via 10.77.0.2; ip -6 route add fd00:66::/64 via fd00:77::2; "
        "ip route add 192.0.2.5/32 dev cam0; ip -6 route add fd00:99::5/128 dev cam0; ip route add 224.0.0.0/4 dev cam0";
    ASSERT_EQ(system(script.c_str()), 0) << script;
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(far_listener[0], hello_action, 3), "");
    int far4 = udp_socket_in(far, 0, false), far6 = udp6_socket_in(far, 0, "f0");
    const struct {
        int sock;
        const char *from, *to;
    } strangers[] = {
        { far4, nullptr, "10.77.0.1" }, { far6, nullptr, "fd00:77::1" },
        { far_client[0], "192.0.2.5", "10.77.0.1" }, { far_client[0], "192.0.2.5", "239.255.255.250" },
        { far_client6[0], "fd00:99::5", "fd00:77::1" }, { far_client6[0], "fd00:99::5", "ff02::c" },
        { far_client[0], "10.88.0.9", "10.77.0.1" }, { far_client[0], "10.88.0.9", "239.255.255.250" },
    };
    // All sent at once, then one wait: no answer on any of their sockets.
    for (const auto &s : strangers) {
        std::string id = "urn:uuid:stranger-" + std::to_string(&s - strangers);
        for (const std::string &request : { onvif_client_probe(id), resolve_for(id + "r", wsd_endpoint()) })
            s.from ? send_from(s.sock, request, s.from, s.to) : send_to(s.sock, request, s.to);
    }
    usleep((useconds_t)(answer_wait_s * 1e6));
    for (const auto &s : strangers)
        EXPECT_EQ(receive(s.sock, 0).size(), 0u) << (s.from ? s.from : "far") << " to " << s.to;
    EXPECT_EQ(probe_from(0, "urn:uuid:neighbour"), xaddrs(0));  // the link's own host still is

    // The far hosts a configuration allows are answered, in either family,
    // directed Probes and Resolves alike; another far host still is not.
    ASSERT_EQ(system(("ip -n " + far + " addr add 10.66.0.3/24 dev f0 && ip -n " + far +
                      " addr add fd00:66::3/64 dev f0").c_str()), 0);
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "allow = 10.66.0.2/32 fd00:66::2/128\n"));
    usleep(200000);
    for (const auto &[sock, from, to] : std::vector<std::tuple<int, const char *, const char *>>{
             { far4, "10.66.0.2", "10.77.0.1" }, { far6, "fd00:66::2", "fd00:77::1" },
             { far4, "10.66.0.3", "10.77.0.1" }, { far6, "fd00:66::3", "fd00:77::1" } }) {
        std::string id = std::string("urn:uuid:allowed-") + from;
        for (const std::string &request : { onvif_client_probe(id), resolve_for(id + "r", wsd_endpoint()) })
            send_from(sock, request, from, to);
        EXPECT_EQ(receive(sock, 0.3).size(), from[strlen(from) - 1] == '2' ? 2u : 0u) << from;
    }
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    system(("ip netns del " + far).c_str());
}

// Only the links the configuration names are greeted and answered on,
// by their devices' names (an address's label, "cam0:1", names no link),
// however many other interfaces there are; a reading that names others
// says Bye on those left, greets those added, and sends no answer held for
// the ones left after their Bye. A link's Hello names each of its IPv4
// addresses (a link-local one only where it has no other), an answer the
// one in the sender's subnet first.
TEST_F(Links, OnlyTheLinksConfiguredEachWithEveryAddress)
{
    FILE *batch = popen("ip -batch -", "w");  // 130 interfaces before the links: the lower indexes
    for (int i = 0; batch && i < 65; i++)
        fprintf(batch, "link add d%d type veth peer name e%d\n", i, i);
    ASSERT_TRUE(batch && pclose(batch) == 0);
    add_link(0);
    add_link(1);
    ASSERT_EQ(system(("ip addr add 10.78.0.1/24 dev cam0 label cam0:1 && ip addr add 169.254.7.1/16 dev cam0 && ip -n " +
                      prefix + "0 addr add 10.78.0.2/24 dev cli0 && ip route add 224.0.0.0/4 dev cam0").c_str()), 0);
    const std::string a = "http://10.77.0.1/onvif/device_service", b = "http://10.78.0.1/onvif/device_service";
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "interfaces = cam0\n"));
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    EXPECT_EQ(read_xml_fields(receive_with(far_listener[0], hello_action, 3)).one(WSD_DISCOVERY_NS, "XAddrs"), a + " " + b);
    EXPECT_EQ(probe_from(0, "urn:uuid:from-a"), a + " " + b);
    EXPECT_EQ(ask(far_client6[0], onvif_client_probe("urn:uuid:from-a6"), "urn:uuid:from-a6", "ff02::c"), xaddrs6(0));
    send_from(far_client[0], onvif_client_probe("urn:uuid:from-b"), "10.78.0.2", "239.255.255.250");
    EXPECT_EQ(read_xml_fields(receive_with(far_client[0], "urn:uuid:from-b", answer_wait_s)).one(WSD_DISCOVERY_NS, "XAddrs"),
              b + " " + a);
    // Excluded: nothing heard or answered there, to the group or directed.
    for (const std::string &to : { std::string("239.255.255.250"), address(1, 1) })
        send_to(far_client[1], onvif_client_probe("urn:uuid:excluded"), to.c_str());
    EXPECT_EQ(receive(far_client[1], answer_wait_s).size(), 0u);
    std::vector<std::string> heard = receive(far_listener[1], 0);
    EXPECT_EQ(count_with(heard, hello_action) + count_with(heard, bye_action), 0);

    // The other link named instead, with answers to the group held for the
    // first: a Bye where the device was and nothing after it there, a Hello
    // where it is now; a link with a link-local address alone names it,
    // and no more once it has another.
    for (int i = 0; i < 8; i++)
        send_to(far_client[0], onvif_client_probe("urn:uuid:held-" + std::to_string(i)), "239.255.255.250");
    usleep(20000);
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "interfaces = !cam0\n"));
    EXPECT_NE(receive_with(far_listener[0], bye_action, 1), "");
    usleep(20000);  // what left before the Bye, arrived
    receive(far_client[0], 0);
    EXPECT_EQ(receive(far_client[0], 0.5).size(), 0u) << "answers after the Bye";
    EXPECT_EQ(read_xml_fields(receive_with(far_listener[1], hello_action, 1)).one(WSD_DISCOVERY_NS, "XAddrs"), xaddrs(1));
    EXPECT_EQ(probe_from(1, "urn:uuid:included"), xaddrs(1));
    EXPECT_EQ(probe_from(0, "urn:uuid:left"), "answers: 0");
    heard = receive(far_listener[0], 0);
    EXPECT_EQ(count_with(heard, hello_action) + count_with(heard, bye_action), 0);
    ASSERT_EQ(system("ip addr flush dev cam1 && ip addr add 169.254.8.1/16 dev cam1"), 0);
    EXPECT_EQ(read_xml_fields(receive_with(far_listener[1], "169.254", 3)).one(WSD_DISCOVERY_NS, "XAddrs"),
              "http://169.254.8.1/onvif/device_service");
    ASSERT_EQ(system("ip addr add 10.88.0.1/24 dev cam1"), 0);
    EXPECT_EQ(read_xml_fields(receive_with(far_listener[1], "10.88.0.1", 3)).one(WSD_DISCOVERY_NS, "XAddrs"), xaddrs(1));
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}

// Probes in the forms real clients send them, to the group and directed
// (a mustUnderstand with a prefix declared nowhere; SOAP 1.1 with Types as
// namespace names, from port 3702; a .NET scope rule), each answered in
// the envelope it came in, and none for a scope the device lacks. The
// default description names the link's hardware address in under 1,400
// bytes; on a link of 1,280 bytes nothing larger than it carries whole
// leaves, and the log says what was left out.
TEST_F(Links, EveryClientsProbeAnsweredWhole)
{
    add_link(0);
    ASSERT_EQ(system("ip link set cam0 address 02:00:00:00:00:77 && ip addr add 10.77.0.33/24 dev cam0"
                     " && ip route add 224.0.0.0/4 dev cam0"), 0);
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, "name = " + std::string(30, 'n') + "\nlocation = " +
                                                        std::string(30, 'l') + "\nserial = SN/1\n"));
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string hello = receive_with(far_listener[0], hello_action, 3);
    const std::string mac = "onvif://www.onvif.org/MacAddress/02:00:00:00:00:77";
    EXPECT_NE(read_xml_fields(hello).one(WSD_DISCOVERY_NS, "Scopes").find(mac + " onvif://www.onvif.org/SerialNumber/SN/1"),
              std::string::npos);
    EXPECT_LE(hello.size(), 1400u);
    std::string soap11 = probe_with("urn:uuid:X", WSD_ONVIF_NETWORK_NS ":NetworkVideoTransmitter " WSD_ONVIF_DEVICE_NS
                                    ":Device", ""), sloppy = probe_with("urn:uuid:X", "", "");
    soap11.replace(soap11.find(WSD_SOAP_NS), strlen(WSD_SOAP_NS), WSD_SOAP11_NS);
    sloppy.replace(sloppy.find("<wsa:Action>"), 12, "<wsa:Action a:mustUnderstand=\"true\">");
    int z = udp_socket_in(prefix + "0", 3702, false), n = 0;
    for (const auto &[form, answered] : std::vector<std::pair<std::string, bool>>{
             { sloppy, true }, { soap11, true }, { probe_with("urn:uuid:X", "", mac, WSD_DISCOVERY_NS "/rfc2396"), true },
             { probe_with("urn:uuid:X", "", mac + "0", WSD_DISCOVERY_NS "/rfc2396"), false },
             { std::string(soap11).replace(soap11.find("<wsd:Scopes>"), 12, "<wsd:Scopes>urn:lacking"), false } })
        for (const char *to : { "239.255.255.250", "10.77.0.1" }) {
            std::string id = "urn:uuid:form-" + std::to_string(n++), probe = form;
            send_to(z, probe.replace(probe.find("urn:uuid:X"), 10, id), to);
            xml_fields answer = read_xml_fields(receive_with(z, "RelatesTo>" + id, answered ? answer_wait_s : 0.5));
            EXPECT_EQ(answer.one(WSD_DISCOVERY_NS, "XAddrs") != "<missing>", answered) << n;
            EXPECT_EQ(answer.one(WSD_SOAP11_NS, "Body") == "", answered && form == soap11) << n;
        }

    // A link of 1,280 bytes and a description far longer.
    std::string longer = "xaddrs = http://{address}:8080/" + std::string(40, 'x') + " https://{address}/onvif\n";
    for (int i = 0; i < 12; i++)
        longer += "scope = urn:" + std::to_string(i) + std::string(80, 's') + "\n";
    ASSERT_EQ(system("ip link set cam0 mtu 1280"), 0);
    usleep(200000);
    log_records(0);
    ASSERT_TRUE(write_file(WSD_RUNTIME_CONFIG_FILE, longer));
    hello = receive_with(far_listener[0], hello_action, 2);
    send_to(z, onvif_client_probe("urn:uuid:small"), "10.77.0.1");
    std::string answer = receive_with(z, "RelatesTo>urn:uuid:small", 0.5);
    EXPECT_TRUE(hello.size() <= 1252 && answer.size() <= 1252 && answer.size() > 800) << hello.size() << " " << answer.size();
    std::string logged;
    for (const std::string &r : log_records(0.2))
        logged += r;
    for (const char *what : { "cam0: IPv4: Hellos left out their last 3 XAddrs and ", "cam0: IPv4: answers left out" })
        EXPECT_NE(logged.find(what), std::string::npos) << logged;
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}

// Why a camera is not found: each fault made for real on a link, named by
// discovery-diagnose with what to do, its counter moving where there is
// one; a healthy device's diagnosis says so and exits 0.
TEST_F(Links, TheDiagnosisNamesEachFault)
{
    add_link(0);
    ASSERT_EQ(system(("ip route add 224.0.0.0/4 dev cam0 && ip route add 192.0.2.5/32 dev cam0 && ip -n " + prefix +
                      "0 addr add 192.0.2.5/32 dev cli0").c_str()), 0);
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    ASSERT_NE(receive_with(far_listener[0], hello_action, 3), "");
    EXPECT_EQ(probe_from(0, "urn:uuid:healthy"), xaddrs(0));
    int status;
    std::string said = diagnose(&status);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(said.rfind("No problem found: discovery-daemon (pid ", 0), 0u) << said;
    EXPECT_EQ(system("setpriv --reuid=nobody --regid=nogroup --clear-groups cat " WSD_STATUS_FILE " >/dev/null"), 0);

    // Each fault, and what the diagnosis says of it.
    const struct {
        std::string make, names, counter, undo;
        bool in_status;  // seen in the status (written anew), else on the host
    } faults[] = {
        { "", "192.0.2.5 asked on cam0 and is not on that link: it gets no answer.\n"
              "  What to do: if it is to be answered (a VMS behind a router), add allow = 192.0.2.5/32",
          "not_on_link", "", true },
        { "echo bogus > " WSD_RUNTIME_CONFIG_FILE,
          "a configuration line is refused: " WSD_RUNTIME_CONFIG_FILE ":1: no '=' in the line", "", "rm " WSD_RUNTIME_CONFIG_FILE,
          true },
        { "ip link set cam0 multicast off", "cam0 cannot carry multicast", "", "ip link set cam0 multicast on", true },
        { "ip route del 224.0.0.0/4 dev cam0", "the system has no route for 239.255.255.250", "",
          "ip route add 224.0.0.0/4 dev cam0", false },
        { "nft add table inet f && nft add chain inet f in '{ type filter hook input priority 0; }'"
          " && nft add rule inet f in udp dport 3702 drop",
          "the firewall drops WS-Discovery (UDP port 3702): udp dport 3702 drop", "", "nft delete table inet f", false },
    };
    for (const auto &f : faults) {
        long before = f.counter.empty() ? 0 : counted(status_now(), "cam0", f.counter);
        ASSERT_EQ(system(f.make.empty() ? "true" : f.make.c_str()), 0) << f.make;
        if (f.counter == "not_on_link")
            send_from(far_client[0], onvif_client_probe("urn:uuid:off-link"), "192.0.2.5", "239.255.255.250");
        if (f.in_status)
            status_rewritten();
        EXPECT_TRUE(f.counter.empty() || counted(status_now(), "cam0", f.counter) > before) << f.counter;
        said = diagnose(&status);
        EXPECT_EQ(status, 1) << said;
        EXPECT_NE(said.find(f.names), std::string::npos) << said;
        ASSERT_EQ(system(f.undo.empty() ? "true" : f.undo.c_str()), 0) << f.undo;
    }
    // A bridge that snoops multicast, whose querier asked once and is gone:
    // the device's membership runs out (after 1 s here) while another
    // port's stays, and the link hears nothing more.
    ASSERT_EQ(system("ip link add br0 type bridge mcast_snooping 1 mcast_querier 0 mcast_query_response_interval 100"
                     " mcast_membership_interval 100 && ip addr flush dev cam0 && ip link set cam0 master br0"
                     " && ip addr add 10.77.0.1/24 dev br0 && ip link set br0 up && ip route replace 224.0.0.0/4 dev br0"
                     " && bridge mdb add dev br0 port cam0 grp 239.255.255.250 permanent"), 0);
    usleep(1500000);
    int querier = raw_socket_in(prefix + "0", IPPROTO_IGMP);
    const unsigned char query[8] = { 0x11, 10, 0xee, 0xf5 };  // IGMPv2's general query, its checksum
    struct sockaddr_in all = {};
    all.sin_family = AF_INET;
    all.sin_addr.s_addr = inet_addr("224.0.0.1");
    EXPECT_EQ(sendto(querier, query, sizeof query, 0, (struct sockaddr *)&all, sizeof all), 8);
    usleep(2500000);
    std::string id = "urn:uuid:snooped";
    EXPECT_EQ(ask(far_client[0], onvif_client_probe(id), id, "239.255.255.250"), "answers: 0");
    said = diagnose(&status, "--quiet-for 1");
    EXPECT_NE(said.find("nothing heard on br0 (IPv4) for 0 min"), std::string::npos) << said;
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
}

// A Hello on its way when the Bye is said (a link comes up, and the look
// at the links is slowed) is never sent after the Bye.
TEST_F(Links, NothingFollowsTheBye)
{
    add_link(0);
    ASSERT_EQ(system("ip route add 224.0.0.0/4 dev cam0"), 0);
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start_slowed(&pid, "HOUSE_GETIFADDRS_DELAY_MS=300"));
    ASSERT_NE(receive_with(far_listener[0], hello_action, 5), "");
    ASSERT_NO_FATAL_FAILURE(add_link(1));
    usleep(100000);
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 10), 0);
    for (int n = 0; n < 2; n++) {
        EXPECT_EQ(count_with(from_bye(receive(far_listener[n], 1.0)), hello_action), 0) << "link " << n;
    }
}

TEST_F(Links, LinksThatComeAndGoWhileRunning)
{
    add_link(0);
    ASSERT_EQ(system("ip route add default dev cam0"), 0);  // the server socket's first link
    pid_t pid;
    ASSERT_NO_FATAL_FAILURE(start(&pid));
    std::string first = receive_with(far_listener[0], hello_action, 3);
    ASSERT_NE(first, "");

    // A second card comes up: it is greeted, with its own address, in the
    // same instance and later in its sequence, and its Probes are answered.
    ASSERT_NO_FATAL_FAILURE(add_link(1));
    std::string greeted = receive_with(far_listener[1], hello_action, 5);
    ASSERT_NE(greeted, "");
    xml_fields g = read_xml_fields(greeted), f = read_xml_fields(first);
    EXPECT_EQ(g.one(WSD_DISCOVERY_NS, "XAddrs"), xaddrs(1));
    EXPECT_EQ(instance_id(greeted), instance_id(first));
    EXPECT_GT(std::stoul(g.one_attr(WSD_DISCOVERY_NS, "AppSequence", "MessageNumber")),
              std::stoul(f.one_attr(WSD_DISCOVERY_NS, "AppSequence", "MessageNumber")));
    EXPECT_EQ(probe_from(1, "urn:uuid:late-1"), xaddrs(1));
    EXPECT_EQ(probe_from(0, "urn:uuid:early-1"), xaddrs(0));

    // The first card's address changes (the new one first, as a renumbering
    // does): it stays in the group, under its new address.
    ASSERT_EQ(system(("sysctl -qw net.ipv4.conf.cam0.promote_secondaries=1 && ip addr add " +
                      address(0, 5) + "/24 dev cam0 && ip addr del " + address(0, 1) + "/24 dev cam0").c_str()), 0);
    ASSERT_NE(receive_with(far_listener[0], address(0, 5), 5), "");
    EXPECT_EQ(probe_from(0, "urn:uuid:renumbered-1"), "http://" + address(0, 5) + "/onvif/device_service");

    // The first goes away: the second still works, and only it hears the Bye.
    ASSERT_EQ(system("ip link del cam0"), 0);
    usleep(300000);
    EXPECT_EQ(probe_from(1, "urn:uuid:late-2"), xaddrs(1));
    EXPECT_EQ(daemon_wait(pid, 0.1), -1);  // still running
    signal_daemon(pid, SIGTERM);
    EXPECT_EQ(daemon_wait(pid, 5), 0);
    EXPECT_EQ(count_with(receive(far_listener[1], 0.5), bye_action), 1);
}
