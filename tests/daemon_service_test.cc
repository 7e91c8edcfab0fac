// The daemon's life on one link: it starts, says Hello, answers, mends its
// sockets, takes its signals and says Bye.

#include "daemon_suite.h"

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
