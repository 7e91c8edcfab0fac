// Who the daemon answers under load: bad datagrams, each sender's share, a
// client beside a crowd or a spoofer, and the status while it is flooded.

#include "daemon_suite.h"

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
    for (double until = now_s() + 2.5; access(WSD_STATUS_FILE, F_OK) != 0 && now_s() < until;)
        usleep(5000);  // its first writing may come just after the Hello
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
