// What the device says, on plain bytes: messages, InstanceId, description.

#include "wsd_suite.h"

TEST(Messages, ProbeMatchFormAndIdentity)
{
    char buf[WSD_MESSAGE_SIZE];
    size_t len = wsd_message(buf, sizeof buf, WSD_PROBE_MATCHES, "urn:uuid:a&b",
                             "http://10.0.0.2/onvif/device_service");
    ASSERT_GT(len, 0u);
    std::string m(buf, len);
    EXPECT_EQ(count(m, "<wsd:ProbeMatch>"), 1);
    EXPECT_NE(m.find("<wsa:RelatesTo>urn:uuid:a&amp;b</wsa:RelatesTo>"), std::string::npos);
    EXPECT_NE(m.find("<wsa:Address>" + std::string(wsd_endpoint()) + "</wsa:Address>"),
              std::string::npos);
    EXPECT_NE(m.find("<wsd:XAddrs>http://10.0.0.2/onvif/device_service</wsd:XAddrs>"),
              std::string::npos);
    EXPECT_NE(m.find("<wsd:Types>dn:NetworkVideoTransmitter tds:Device</wsd:Types>"),
              std::string::npos);
    EXPECT_NE(m.find("<wsd:MetadataVersion>1</wsd:MetadataVersion>"), std::string::npos);
    // Every namespace is declared on the Envelope, in double quotes.
    std::string envelope = m.substr(m.find("<s:Envelope"));
    envelope = envelope.substr(0, envelope.find('>'));
    EXPECT_EQ(count(envelope, "xmlns:"), 5);
    EXPECT_EQ(count(m, "xmlns"), 5);
    EXPECT_EQ(envelope.find('\''), std::string::npos);

    // Each message is new; the endpoint stays; the numbers grow.
    char again[WSD_MESSAGE_SIZE];
    len = wsd_message(again, sizeof again, WSD_HELLO, NULL, "http://x/");
    std::string hello(again, len);
    auto field = [](const std::string &s, const std::string &open) {
        size_t at = s.find(open) + open.size();
        return s.substr(at, s.find_first_of("<\"", at) - at);
    };
    EXPECT_NE(field(m, "<wsa:MessageID>"), field(hello, "<wsa:MessageID>"));
    EXPECT_EQ(field(m, "InstanceId=\""), field(hello, "InstanceId=\""));
    EXPECT_EQ(std::stoul(field(hello, "MessageNumber=\"")),
              std::stoul(field(m, "MessageNumber=\"")) + 1);
    EXPECT_EQ(strlen(wsd_endpoint()), 45u);
    EXPECT_EQ(strncmp(wsd_endpoint(), "urn:uuid:", 9), 0);

    // MessageIDs stay unique past the random bytes drawn at a time, and
    // between threads: each a version 4 UUID.
    std::set<std::string> ids;
    auto draw = [&ids](std::mutex *lock) {
        for (int i = 0; i < 40; i++) {
            char id[64];
            wsd_new_uuid(id);
            std::lock_guard<std::mutex> hold(*lock);
            ids.insert(id);
            EXPECT_TRUE(strlen(id) == 45 && id[23] == '4' && strchr("89ab", id[28])) << id;
        }
    };
    std::mutex lock;
    std::thread other(draw, &lock);
    draw(&lock);
    other.join();
    EXPECT_EQ(ids.size(), 80u);
}

// A matching rule we do not support: a SOAP 1.2 fault that relates to the
// Probe and lists the rules we do support, byte for byte.
TEST(Messages, FaultForAnUnsupportedMatchingRule)
{
    char buf[WSD_MESSAGE_SIZE];
    size_t len = wsd_message(buf, sizeof buf, WSD_RULE_FAULT, "urn:uuid:<f&1>", NULL);
    ASSERT_GT(len, 0u);
    std::string m(buf, len), id = m.substr(m.find("<wsa:MessageID>") + 15, 45);
    EXPECT_EQ(id.substr(0, 9), "urn:uuid:");
    EXPECT_EQ(m.replace(m.find(id), 45, "ID"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" WSD_SOAP_NS "\""
              " xmlns:wsa=\"" WSD_ADDRESSING_NS "\" xmlns:wsd=\"" WSD_DISCOVERY_NS "\" xmlns:dn=\""
              WSD_ONVIF_NETWORK_NS "\" xmlns:tds=\"" WSD_ONVIF_DEVICE_NS "\"><SOAP-ENV:Header>"
              "<wsa:MessageID>ID</wsa:MessageID><wsa:RelatesTo>urn:uuid:&lt;f&amp;1&gt;</wsa:RelatesTo>"
              "<wsa:To>" WSD_ADDRESSING_NS "/role/anonymous</wsa:To><wsa:Action>" WSD_DISCOVERY_NS
              "/fault</wsa:Action></SOAP-ENV:Header><SOAP-ENV:Body><SOAP-ENV:Fault><SOAP-ENV:Code>"
              "<SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value><SOAP-ENV:Subcode><SOAP-ENV:Value>"
              "wsd:MatchingRuleNotSupported</SOAP-ENV:Value></SOAP-ENV:Subcode></SOAP-ENV:Code>"
              "<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">the matching rule specified is not supported"
              "</SOAP-ENV:Text></SOAP-ENV:Reason><SOAP-ENV:Detail><wsd:SupportedMatchingRules>"
              WSD_DISCOVERY_NS "/rfc3986 " WSD_DISCOVERY_NS "/strcmp0</wsd:SupportedMatchingRules>"
              "</SOAP-ENV:Detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>");
    EXPECT_TRUE(read_xml_fields(std::string(buf, len)).well_formed);
    // To a SOAP 1.1 Probe, SOAP 1.1's fault; to it and a SOAP 1.2 one alike,
    // nothing longer than the link carries whole.
    wsd_cut cut;
    len = wsd_message_fitted(buf, sizeof buf - 1, WSD_RULE_FAULT, "urn:uuid:f2", 1, NULL, NULL, &cut);
    xml_fields f = read_xml_fields(std::string(buf, len));
    EXPECT_EQ(f.one(WSD_SOAP11_NS, "Fault"), "") << buf;
    EXPECT_EQ(f.text["faultcode"], std::vector<std::string>{ "wsd:MatchingRuleNotSupported" });
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "RelatesTo"), "urn:uuid:f2");
    EXPECT_EQ(wsd_message_fitted(buf, 1000, WSD_RULE_FAULT, "urn:uuid:f2", 0, NULL, NULL, &cut), 0u);
}

TEST(Messages, ResolveMatchCarriesEveryFieldOfTheDevice)
{
    char buf[WSD_MESSAGE_SIZE];
    size_t len = wsd_message(buf, sizeof buf, WSD_RESOLVE_MATCHES, "urn:uuid:<r&1>",
                             "http://10.0.0.2/onvif/device_service");
    ASSERT_GT(len, 0u);
    xml_fields f = read_xml_fields(std::string(buf, len));
    ASSERT_TRUE(f.well_formed) << buf;
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "Action"), WSD_DISCOVERY_NS "/ResolveMatches");
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "RelatesTo"), "urn:uuid:<r&1>");
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "To"), WSD_ADDRESSING_NS "/role/anonymous");
    EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint());
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "Types"), "dn:NetworkVideoTransmitter tds:Device");
    wsd_description d;
    wsd_describe(&d);
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "Scopes"), d.scopes);
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "XAddrs"), "http://10.0.0.2/onvif/device_service");
    EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "MetadataVersion"), "1");
    EXPECT_EQ(f.text.count(WSD_DISCOVERY_NS " ResolveMatch"), 1u);
    EXPECT_NE(f.one_attr(WSD_DISCOVERY_NS, "AppSequence", "InstanceId"), "<missing>");
    EXPECT_NE(f.one_attr(WSD_DISCOVERY_NS, "AppSequence", "MessageNumber"), "<missing>");

    // Within a limit: the last XAddrs go first, one stays; then the last
    // scopes, never the fixed ones; in SOAP 1.1 when asked.
    snprintf(d.scopes, sizeof d.scopes, "onvif://www.onvif.org/type/x urn:a urn:b");
    d.fixed_scopes = 28;
    wsd_cut cut;
    const char *three = "http://10.0.0.2/onvif/device_service http://10.0.0.3/x http://10.0.0.4/x";
    size_t whole = wsd_message_fitted(buf, sizeof buf - 1, WSD_RESOLVE_MATCHES, "urn:uuid:r", 1, three, &d, &cut);
    ASSERT_GT(whole, 0u);
    EXPECT_EQ(read_xml_fields(std::string(buf, whole)).one(WSD_SOAP11_NS, "Body"), "");
    for (const auto &[less, xaddrs, scopes, left] : std::vector<std::tuple<size_t, int, int, std::string>>{
             { 0, 0, 0, " urn:a urn:b" }, { 10, 1, 0, " urn:a urn:b" }, { 25, 2, 0, " urn:a urn:b" },
             { 38, 2, 1, " urn:a" }, { 44, 2, 2, "" }, { 60, 2, 2, "<none>" } }) {
        len = wsd_message_fitted(buf, whole - less, WSD_RESOLVE_MATCHES, "urn:uuid:r", 1, three, &d, &cut);
        EXPECT_LE(len, whole - less);
        EXPECT_EQ(len ? std::make_tuple(cut.xaddrs, cut.scopes, read_xml_fields(std::string(buf, len))
                                               .one(WSD_DISCOVERY_NS, "Scopes").substr(28))
                      : std::make_tuple(2, 2, std::string("<none>")),
                  std::make_tuple(xaddrs, scopes, left)) << less;
    }
}

// The InstanceId grows across restarts whatever the clock and the file say.
TEST(InstanceId, GrowsAcrossEveryStart)
{
    char dir[] = "/tmp/wsd-instance-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/state/instance-id";  // the directory is made
    auto write = [&](const std::string &text) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    };
    auto kept = [&] {
        char text[64] = "";
        FILE *f = fopen(path.c_str(), "r");
        if (f) {
            if (!fgets(text, sizeof text, f))
                text[0] = '\0';
            fclose(f);
        }
        return std::string(text);
    };
    int saved = -1;
    EXPECT_EQ(wsd_next_instance_id(path.c_str(), 1000, &saved), 1000u);  // nothing kept
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(kept(), "1000\n");
    // Two more starts in the same second, then the clock set back.
    EXPECT_EQ(wsd_next_instance_id(path.c_str(), 1000, &saved), 1001u);
    EXPECT_EQ(wsd_next_instance_id(path.c_str(), 1000, &saved), 1002u);
    EXPECT_EQ(wsd_next_instance_id(path.c_str(), 5, &saved), 1003u);
    EXPECT_EQ(wsd_next_instance_id(path.c_str(), 5000, &saved), 5000u);  // the clock ahead wins
    EXPECT_EQ(kept(), "5000\n");

    // A corrupt or cut file is none kept, and does not stop the start.
    for (const char *bad : { "garbage\n", "50", "", "-7\n", "99999999999999999999999\n", "12x\n" }) {
        write(bad);
        EXPECT_EQ(wsd_next_instance_id(path.c_str(), 2000, &saved), 2000u) << bad;
        EXPECT_EQ(saved, 1) << bad;
        EXPECT_EQ(kept(), "2000\n") << bad;
    }
    // The MetadataVersion: the same for the same description, the next for
    // another, never below the floor asked for (the file then says so),
    // 1 after a corrupt file.
    std::string version = std::string(dir) + "/metadata-version";
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xabc, 0, &saved), 1u);
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xabc, 0, &saved), 1u);
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xdef, 0, &saved), 2u);
    EXPECT_EQ(read_file(version), "2 def\n");
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xabc, 7, &saved), 7u);
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xabc, 7, &saved), 7u);
    EXPECT_EQ(read_file(version), "7 abc\n");
    ASSERT_TRUE(write_file(version, "2 def"));
    EXPECT_EQ(wsd_next_metadata_version(version.c_str(), 0xdef, 0, &saved), 1u);

    // A file that cannot be written: the clock, and the caller is told.
    EXPECT_EQ(wsd_next_instance_id((std::string(dir) + "/no/such/dir/id").c_str(), 3000, &saved),
              3000u);
    EXPECT_EQ(saved, 0);
    system((std::string("rm -rf ") + dir).c_str());
}

TEST(Messages, TextIsEscapedInEveryField)
{
    char buf[WSD_MESSAGE_SIZE];
    for (wsd_kind kind : { WSD_HELLO, WSD_PROBE_MATCHES, WSD_RESOLVE_MATCHES }) {
        size_t len = wsd_message(buf, sizeof buf, kind, "<id&>", "http://h/<a&b>");
        ASSERT_GT(len, 0u);
        xml_fields f = read_xml_fields(std::string(buf, len));
        ASSERT_TRUE(f.well_formed) << buf;
        EXPECT_EQ(f.one(WSD_DISCOVERY_NS, "XAddrs"), "http://h/<a&b>");
        if (kind != WSD_HELLO) {
            EXPECT_EQ(f.one(WSD_ADDRESSING_NS, "RelatesTo"), "<id&>");
        }
    }
    size_t len = wsd_message(buf, sizeof buf, WSD_BYE, NULL, NULL);
    xml_fields bye = read_xml_fields(std::string(buf, len));
    EXPECT_EQ(bye.one(WSD_ADDRESSING_NS, "Address"), wsd_endpoint());
    EXPECT_EQ(bye.one(WSD_DISCOVERY_NS, "XAddrs"), "<missing>");
}

// The configuration files: each kind of bad line is reported with its
// number and skipped, the rest applies, the second file's keys replace the
// first's; texts are percent-encoded into their scopes, and a description
// too long for one answer loses its last scopes.
TEST(Config, ReadAndComposedIntoTheDescription)
{
    static std::vector<std::string> problems;
    auto report = [](const char *p) { problems.push_back(p); };
    char dir[] = "/tmp/wsd-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string first = std::string(dir) + "/first", second = std::string(dir) + "/second";
    ASSERT_TRUE(write_file(first, "name = Default\nno equals\ncolour = red\nlocation = \xff\n"
                                  "xaddrs = http://x/\ndiscoverable = Off\ndiscoverable = maybe\nscope = a b\n  # comment\n\n"
                                  "hardware = " + std::string(256, 'h') + "\nscope = urn:first\n"
                                  "location = Building 2/North wing\r\n"
                                  "interfaces = eth/0\nallow = 10.0.0.0/33\nallow = fd00::/64 10.1.2.3/x\n"
                                  "endpoint = urn:uuid:123\nendpoint = uuid:8c1b6e2a-4c1e-4f57-9d2b-2f7c9a0d3e11\n"
                                  "interfaces = eth* !eth9\nallow = 10.20.0.0/16\n"
                                  "endpoint = urn:uuid:8C1B6E2A-4C1E-4F57-9D2B-2F7C9A0D3E11\n"
                                  "endpoint = urn:uuid:0C1B6E2A-4C1E-4F57-9D2B-2F7C9A0D3E1x\ninterfaces = lo[\n"));
    ASSERT_TRUE(write_file(second, "name=Caméra #2\nscope = urn:a?b&c\nscope = urn:b\n"
                                   "xaddrs = http://{address}:8080/x  https://{address}/x\n"
                                   "allow = 10.30.0.5 fd00:30::/64\n"));
    wsd_config c;
    EXPECT_EQ(wsd_config_read(first.c_str(), second.c_str(), &c, report), 1);
    EXPECT_EQ(problems, (std::vector<std::string>{
                            first + ":2: no '=' in the line", first + ":3: unknown key \"colour\"",
                            first + ":4: the value is not UTF-8", first + ":5: an XAddrs template without {address}",
                            first + ":7: discoverable is neither yes nor no",
                            first + ":8: the scope is not an absolute URI without white space",
                            first + ":11: the value is longer than 255 bytes",
                            first + ":14: an interface glob that names no interface",
                            first + ":15: an allowed prefix that is no IPv4 or IPv6 prefix",
                            first + ":16: an allowed prefix that is no IPv4 or IPv6 prefix",
                            first + ":17: the endpoint is no urn:uuid: with a UUID",
                            first + ":18: the endpoint is no urn:uuid: with a UUID",
                            first + ":22: the endpoint is no urn:uuid: with a UUID",
                            first + ":23: a malformed interface glob" }));
    // The links, the allowed senders and the endpoint: the second file's
    // prefixes over the first's, an endpoint in lower case.
    EXPECT_STREQ(c.interfaces, "eth* !eth9");
    EXPECT_STREQ(c.endpoint, "urn:uuid:8c1b6e2a-4c1e-4f57-9d2b-2f7c9a0d3e11");
    ASSERT_EQ(c.allow.count, 2);
    unsigned char host[16] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 30, 0, 5 };
    EXPECT_TRUE(wsd_prefix_holds(&c.allow.at[0], host));
    host[15] = 6;
    EXPECT_FALSE(wsd_prefix_holds(&c.allow.at[0], host));
    EXPECT_EQ(c.allow.at[1].bits, 64);
    // Prefixes that end inside a byte: its bits beyond the prefix are free.
    ASSERT_EQ(wsd_config_prefixes("10.16.0.0/12 10.0.16.0/20", 25, &c.allow), nullptr);
    for (const auto &[at, holds] : std::vector<std::pair<unsigned, int>>{
             { 0x0a1fffff, 1 }, { 0x0a200000, 0 }, { 0x0a0f0000, 0 }, { 0x0a001fff, 2 }, { 0x0a002000, 0 } }) {
        for (int b = 0; b < 4; b++)
            host[12 + b] = (unsigned char)(at >> (24 - 8 * b));
        EXPECT_EQ(wsd_prefix_holds(&c.allow.at[0], host) + 2 * wsd_prefix_holds(&c.allow.at[1], host), holds) << at;
    }
    for (const auto &[globs, name, used] : std::vector<std::tuple<std::string, std::string, int>>{
             { "", "docker0", 1 }, { "eth* !eth9", "eth0", 1 }, { "eth* !eth9", "eth9", 0 },
             { "eth* !eth9", "wlan0", 0 }, { "!docker* !tun?", "eth0", 1 }, { "!docker* !tun?", "tun0", 0 } })
        EXPECT_EQ(wsd_globs_name(globs.c_str(), name.c_str()), used) << globs << " " << name;
    // A bad mode after a good one: the good one, and the bad one said.
    EXPECT_EQ(c.discoverable, 0);
    EXPECT_EQ(c.discoverable_bad, 1);
    wsd_description d;
    wsd_compose_description(&c, &d, report);
    EXPECT_STREQ(d.scopes, "onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming "
                           "onvif://www.onvif.org/hardware/IP_house onvif://www.onvif.org/name/Cam%C3%A9ra%20%232 "
                           "onvif://www.onvif.org/location/Building%202/North%20wing urn:a?b&c urn:b");
    EXPECT_STREQ(d.templates, "http://{address}:8080/x https://{address}/x");
    char xaddrs[WSD_XADDRS_SIZE];
    EXPECT_EQ(wsd_xaddrs(d.templates, "[fd00::1]", xaddrs, sizeof xaddrs), 43u);
    EXPECT_STREQ(xaddrs, "http://[fd00::1]:8080/x https://[fd00::1]/x");

    // Sixteen long scopes: the last go, with one report; the rest fits.
    std::string many;
    for (int i = 0; i < WSD_CONFIG_SCOPES; i++)
        many += "scope = urn:" + std::to_string(i) + std::string(240, 's') + "\n";
    ASSERT_TRUE(write_file(second, many + "discoverable = no\n"));
    problems.clear();
    wsd_config_read(first.c_str(), second.c_str(), &c, [](const char *) {});
    wsd_compose_description(&c, &d, report);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("the description is too long for one answer: its last ", 0), 0u) << problems[0];
    EXPECT_TRUE(wsd_description_fits(&d));
    EXPECT_EQ(d.discoverable, 0);

    // A file that is there but cannot be read is no missing file.
    ASSERT_EQ(unlink(second.c_str()), 0);
    EXPECT_EQ(wsd_config_read(first.c_str(), second.c_str(), &c, [](const char *) {}), 1);
    ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
    EXPECT_EQ(wsd_config_read(first.c_str(), second.c_str(), &c, [](const char *) {}), 0);
    system((std::string("rm -rf ") + dir).c_str());
}
