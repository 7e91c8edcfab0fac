// WS-Discovery Probes read and matched, and the messages composed, on
// plain bytes.

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.h"
#include "describe/description.h"
#include "describe/identity.h"
#include "describe/state.h"
#include "probes.h"
#include "read/request.h"
#include "service/matching.h"
#include "text_io.h"
#include "wsd.h"
#include "xml_fields.h"

// Composing a message starts the service's instance, which keeps its
// InstanceId under /var/lib: these tests get an empty one of their own.
// Under emulation a native parent has made the mount namespace already.
class PrivateStateDirectory : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (getenv("HOUSE_TEST_NAMESPACES") == NULL) {
            ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
            ASSERT_EQ(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL), 0) << strerror(errno);
        }
        ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
    }
};
static ::testing::Environment *const private_state =
    ::testing::AddGlobalTestEnvironment(new PrivateStateDirectory);

static int parse(const std::string &xml, wsd_request *p)
{
    return wsd_parse_probe(xml.data(), xml.size(), p);
}

static int matches(const std::string &xml)
{
    wsd_request p;
    return parse(xml, &p) && wsd_probe_matches(&p);
}

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

static int count(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

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
