// The daemon on links of the test's own (veth pairs into namespaces), and
// the diagnosis of what keeps a device from being found there.

#include "daemon_suite.h"

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
