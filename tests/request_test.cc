// Probes and Resolves read from plain bytes, and matched against the device.

#include "wsd_suite.h"

TEST(Probe, ReadsTheFormsRealClientsSend)
{
    wsd_request p;
    ASSERT_EQ(parse(onvif_client_probe("urn:uuid:1"), &p), 1);
    EXPECT_STREQ(p.message_id, "urn:uuid:1");
    ASSERT_EQ(p.type_count, 1);
    EXPECT_STREQ(p.types[0].ns, WSD_ONVIF_NETWORK_NS);
    EXPECT_STREQ(p.types[0].local, "NetworkVideoTransmitter");
    EXPECT_TRUE(wsd_probe_matches(&p));

    // The prefix is declared on the Types element itself.
    ASSERT_EQ(parse(node_onvif_probe(" uuid:2\n", "NetworkVideoTransmitter"), &p), 1);
    EXPECT_STREQ(p.message_id, "uuid:2");
    EXPECT_TRUE(wsd_probe_matches(&p));
    // dp0 is the network namespace: dp0:Device is not the device service.
    EXPECT_FALSE(matches(node_onvif_probe("uuid:3", "Device")));
    EXPECT_FALSE(matches(node_onvif_probe("uuid:4", "NetworkVideoDisplay")));

    // openHAB's: mustUnderstand with a prefix declared nowhere, ignored by
    // the quick scan and the full parser alike (a comment sends it there);
    // such a prefix on an element we read still leaves no Probe.
    std::string sloppy = probe_with("urn:uuid:5", "", "");
    sloppy.replace(sloppy.find("<wsa:Action>"), 12, "<wsa:Action a:mustUnderstand=\"true\">");
    for (const std::string &form : { sloppy, std::string(sloppy).insert(sloppy.find("<soap:Body>"), "<!---->") }) {
        EXPECT_EQ(wsd_parse_request_fully(form.data(), form.size(), &p), WSD_PROBE_REQUEST);
        EXPECT_TRUE(matches(form));
    }
    EXPECT_FALSE(matches(std::string(sloppy).replace(sloppy.find("wsd:Probe>"), 9, "x:Probe")));
    // ZoneMinder's first: SOAP 1.1, each Type its namespace name, ':' and
    // its local name.
    std::string soap11 = probe_with("urn:uuid:6", WSD_ONVIF_NETWORK_NS ":NetworkVideoTransmitter " WSD_ONVIF_DEVICE_NS
                                    ":Device", "");
    ASSERT_EQ(parse(soap11.replace(soap11.find(WSD_SOAP_NS), strlen(WSD_SOAP_NS), WSD_SOAP11_NS), &p), 1);
    EXPECT_EQ(p.soap11, 1);
    EXPECT_TRUE(wsd_probe_matches(&p));
    EXPECT_FALSE(matches(probe_with("a", WSD_ONVIF_NETWORK_NS ":Device", "")));
}

TEST(Probe, TypesAreMatchedByNamespaceAndLocalName)
{
    EXPECT_TRUE(matches(probe_with("a", "", "")));
    EXPECT_TRUE(matches(probe_with("a", "  ", "")));
    EXPECT_TRUE(matches(probe_with("a", "tds:Device dn:NetworkVideoTransmitter", "")));
    EXPECT_FALSE(matches(probe_with("a", "wsdp:Device", "")));
    EXPECT_FALSE(matches(probe_with("a", "dn:Device", "")));
    EXPECT_FALSE(matches(probe_with("a", "nope:Device", "")));  // no such prefix in scope
    EXPECT_FALSE(matches(probe_with("a", "NetworkVideoTransmitter", "")));  // no default namespace

    // An unprefixed name takes the default namespace in scope.
    std::string xml = probe_with("a", "X", "");
    xml.replace(xml.find("<wsd:Types>X"), 12,
                "<wsd:Types xmlns=\"" WSD_ONVIF_DEVICE_NS "\">Device");
    EXPECT_TRUE(matches(xml));
}

TEST(Probe, ScopesFollowTheirMatchingRule)
{
    const struct {
        const char *scopes;
        int match;
    } rfc3986[] = {
        { "onvif://www.onvif.org/Profile/Streaming", 1 },
        { "ONVIF://WWW.ONVIF.ORG/Profile", 1 },  // scheme and authority: any case
        { "onvif://www.onvif.org/profile/streaming", 0 },  // path: exact
        { "onvif://www.onvif.org/Prof", 0 },  // whole segments only
        { "onvif://www.onvif.org/hardware/IP_house/", 1 },
        { "onvif://www.onvif.org", 1 },
        { "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/type", 1 },
        { "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/location", 1 },  // as shipped
        { "onvif://www.onvif.org/Profile/Streaming onvif://www.onvif.org/country", 0 },
        { "onvif://example.org/Profile", 0 },
        { "http://www.onvif.org/Profile", 0 },
    };
    for (const auto &c : rfc3986)
        EXPECT_EQ(matches(probe_with("a", "", c.scopes)), c.match) << c.scopes;
    EXPECT_TRUE(matches(probe_with("a", "", "onvif://www.onvif.org/Profile",
                                   WSD_DISCOVERY_NS "/rfc3986")));
    // WS-Discovery 2005/04's own default, as a .NET client names it.
    EXPECT_TRUE(matches(probe_with("a", "", "onvif://www.onvif.org/Profile", WSD_DISCOVERY_NS "/rfc2396")));
    EXPECT_FALSE(matches(probe_with("a", "", "onvif://www.onvif.org/country", WSD_DISCOVERY_NS "/rfc2396")));

    EXPECT_TRUE(matches(probe_with("a", "", "onvif://www.onvif.org/Profile/Streaming",
                                   WSD_DISCOVERY_NS "/strcmp0")));
    EXPECT_FALSE(matches(probe_with("a", "", "onvif://www.onvif.org/Profile",
                                    WSD_DISCOVERY_NS "/strcmp0")));
    // A rule we do not support is said so (a fault), for our Types only; a
    // rule too long to keep is no rule we know either, not the default.
    wsd_request p;
    for (const auto &[types, rule, match] : std::vector<std::tuple<std::string, std::string, wsd_match>>{
             { "", WSD_DISCOVERY_NS "/ldap", WSD_RULE_NOT_SUPPORTED },
             { "dn:NetworkVideoTransmitter", "http://example.org/unknown", WSD_RULE_NOT_SUPPORTED },
             { "wsdp:Device", "http://example.org/unknown", WSD_NOT_MATCHED } }) {
        ASSERT_TRUE(parse(probe_with("a", types, "onvif://www.onvif.org/Profile", rule), &p));
        EXPECT_EQ(wsd_probe_match(&p), match) << types << " " << rule;
    }
    EXPECT_FALSE(matches(probe_with("a", "", "", WSD_DISCOVERY_NS "/ldap")));
    EXPECT_FALSE(matches(probe_with("a", "", "", std::string(WSD_NAME_SIZE, 'm'))));
    EXPECT_FALSE(matches(probe_with("a", "", "", std::string(4000, 'm'))));

    EXPECT_TRUE(wsd_scope_matches("urn:x", "urn:x"));
    EXPECT_FALSE(wsd_scope_matches("urn:x", "onvif://x"));
}

TEST(Probe, AnythingElseIsNotAProbe)
{
    wsd_request p;
    std::string valid = onvif_client_probe("urn:uuid:1");
    std::string deep;
    for (int i = 0; i < 100; i++)
        deep += "<e>";
    const std::string cases[] = {
        "",
        "garbage",
        valid.substr(0, valid.size() - 1),
        probe_with("", "", ""),  // no MessageID
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"x\">]>" + probe_with("a", "", ""),
        deep,
        // A SOAP 1.1 envelope, and a Hello.
        std::string(valid).replace(valid.find("2003/05/soap-envelope"), 21,
                                   "2001/12/soap-envelope"),
        std::string(valid).replace(valid.find("discovery/Probe<"), 16, "discovery/Hello<"),
        std::string(70000, ' ') + valid,
    };
    for (const std::string &c : cases)
        EXPECT_EQ(parse(c, &p), 0) << c.substr(0, 80);

    // Our own announcements come back through the multicast loop.
    char message[WSD_MESSAGE_SIZE];
    for (wsd_kind kind : { WSD_HELLO, WSD_BYE, WSD_PROBE_MATCHES }) {
        size_t len = wsd_message(message, sizeof message, kind, "urn:uuid:x", "http://a/");
        ASSERT_GT(len, 0u);
        EXPECT_EQ(wsd_parse_probe(message, len, &p), 0);
    }
}

TEST(Resolve, NamesOurEndpointOrIsIgnored)
{
    wsd_request r;
    std::string ours = wsd_endpoint();
    std::string xml = resolve_for(" urn:uuid:r1 ", ours);
    ASSERT_EQ(wsd_parse_request(xml.data(), xml.size(), &r), WSD_RESOLVE_REQUEST);
    EXPECT_STREQ(r.message_id, "urn:uuid:r1");
    EXPECT_STREQ(r.resolve_address, ours.c_str());
    EXPECT_TRUE(wsd_resolve_matches(&r));
    EXPECT_EQ(wsd_parse_probe(xml.data(), xml.size(), &r), 0);  // a Resolve is no Probe

    // A UUID's digits in either case; another endpoint, or a prefix of ours.
    std::string upper = ours;
    for (size_t i = 9; i < upper.size(); i++)
        upper[i] = (char)toupper((unsigned char)upper[i]);
    for (const auto &[address, match] :
         std::vector<std::pair<std::string, bool>>{ { upper, true },
                                                     { "urn:uuid:00000000-0000-0000-0000-000000000000", false },
                                                     { ours.substr(0, ours.size() - 1), false },
                                                     { ours + "0", false } }) {
        xml = resolve_for("urn:uuid:r2", address);
        ASSERT_EQ(wsd_parse_request(xml.data(), xml.size(), &r), WSD_RESOLVE_REQUEST) << address;
        EXPECT_EQ(wsd_resolve_matches(&r), match) << address;
    }

    // Without a MessageID, without an address, or with a Probe's action.
    for (const std::string &bad :
         { resolve_for("", ours), resolve_for("urn:uuid:r3", ""),
           std::string(resolve_for("urn:uuid:r4", ours))
               .replace(resolve_for("urn:uuid:r4", ours).find("/Resolve<"), 9, "/Probe<") })
        EXPECT_EQ(wsd_parse_request(bad.data(), bad.size(), &r), WSD_NOT_A_REQUEST) << bad;
}

// The reader's bounds, and namespace scope, pinned.
TEST(Probe, BoundsAndNamespaceScope)
{
    wsd_request p;
    // Sixteen Types fit; a seventeenth is more than a Probe may carry.
    std::string types;
    for (int i = 0; i < WSD_QNAMES_MAX; i++)
        types += " dn:NetworkVideoTransmitter";
    EXPECT_EQ(parse(probe_with("a", types, ""), &p), 1);
    EXPECT_EQ(p.type_count, WSD_QNAMES_MAX);
    EXPECT_EQ(parse(probe_with("a", types + " tds:Device", ""), &p), 0);

    // A MessageID fills its buffer but for the terminator, or is refused.
    std::string id(WSD_MESSAGE_ID_SIZE - 1, 'i');
    ASSERT_EQ(parse(probe_with(id, "", ""), &p), 1);
    EXPECT_EQ(std::string(p.message_id), id);
    EXPECT_EQ(parse(probe_with(id + "i", "", ""), &p), 0);

    // The first namespace declared in the message is found like any other.
    std::string first = "<s:Envelope xmlns:dn=\"" WSD_ONVIF_NETWORK_NS "\" "
                        "xmlns:s=\"" WSD_SOAP_NS "\" xmlns:a=\"" WSD_ADDRESSING_NS "\" "
                        "xmlns:d=\"" WSD_DISCOVERY_NS "\"><s:Header>"
                        "<a:Action>" WSD_DISCOVERY_NS "/Probe</a:Action>"
                        "<a:MessageID>urn:uuid:f</a:MessageID></s:Header><s:Body><d:Probe>"
                        "<d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></s:Body>"
                        "</s:Envelope>";
    EXPECT_TRUE(matches(first));

    // A prefix declared on an element that has ended is out of scope.
    std::string ended = probe_with("a", "q:NetworkVideoTransmitter", "");
    ended.replace(ended.find("<wsd:Types>"), 0,
                  "<x:Extra xmlns:x=\"urn:x\" xmlns:q=\"" WSD_ONVIF_NETWORK_NS "\"/>");
    ASSERT_EQ(parse(ended, &p), 1);
    EXPECT_TRUE(p.types_unresolved);
    EXPECT_FALSE(wsd_probe_matches(&p));
}
