// What the daemon says of the device: its configured description, its
// endpoint, its InstanceId.

#include "daemon_suite.h"

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
