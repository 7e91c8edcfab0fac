// The checks, one function each: the daemon, its mode and configuration,
// the links and their groups, what was heard and refused, the sizes of the
// answers, the firewall and the device's identity.

#include "checks.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void say(diagnosis *d, const std::string &problem, const std::string &remedy)
{
    d->found.push_back({ problem, remedy });
}

static std::string get(const diagnosis *d, const std::string &path)
{
    return status_get(d->status, path);
}

// Everything `f` holds (none when it is NULL).
static std::string read_all(FILE *f)
{
    std::string text;
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    return text;
}

static std::string read_text(const char *path)
{
    FILE *f = fopen(path, "re");
    std::string text = read_all(f);
    if (f)
        fclose(f);
    return text;
}

// The output of a command, given at most 5 s; "" when it cannot run.
static std::string output_of(const std::string &command)
{
    FILE *p = popen(("timeout 5 " + command + " 2>/dev/null").c_str(), "re");
    std::string text = read_all(p);
    if (p)
        pclose(p);
    return text;
}

static bool running(const diagnosis *d)
{
    long pid = atol(get(d, "pid").c_str());
    return pid > 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM);
}

static void check_daemon(diagnosis *d)
{
    if (!d->status_error.empty() || !running(d)) {
        say(d, "discovery-daemon is not running" +
                   (d->status_error.empty() ? std::string(" (its status is from a daemon that has ended)")
                                            : " (" + d->status_error + ")"),
            "start it: /etc/init.d/discovery-daemon start, or systemctl start discovery-daemon; its log "
            "says why it ended");
        return;
    }
    if (get(d, "discoverable") == "false")
        say(d, "the device is not discoverable: the configuration says discoverable = no",
            "set discoverable = yes in /var/lib/discovery/discovery.conf (or the image's "
            "/etc/discovery/discovery.conf)");
    for (int i = 0; i < status_count(d->status, "config_refused"); i++)
        say(d, "a configuration line is refused: " + get(d, "config_refused[" + std::to_string(i) + "]"),
            "correct or remove that line; the rest of the file applies");
    long lost = atol(get(d, "log_lines_lost").c_str());
    if (lost > 0)
        say(d, std::to_string(lost) + " log lines were lost: the system log is stalled or missing",
            "see that the system log daemon runs (discovery goes on without it)");
}

// Each interface the configuration uses: up, and able to carry multicast;
// each left out, said so.
static void check_interfaces(diagnosis *d)
{
    for (int i = 0; i < status_count(d->status, "interfaces"); i++) {
        std::string at = "interfaces[" + std::to_string(i) + "].", name = get(d, at + "interface");
        if (get(d, at + "loopback") == "true")
            continue;
        if (get(d, at + "used") == "false")
            say(d, name + " is left out by the configuration (interfaces): clients on it do not find the device",
                "if they should, name it in interfaces = in /var/lib/discovery/discovery.conf");
        else if (get(d, at + "up") == "false")
            say(d, name + " is down: clients on it do not find the device",
                "bring it up (ip link set " + name + " up), or leave it out (interfaces = !" + name + ")");
        else if (get(d, at + "multicast") == "false")
            say(d, name + " cannot carry multicast (no MULTICAST flag): no Probe to the group reaches the device there",
                "ip link set " + name + " multicast on");
    }
}

// Whether the kernel's IPv4 routes hold one for the discovery group.
static bool group_routed()
{
    std::string routes = read_text("/proc/net/route");
    unsigned group = ntohl(inet_addr("239.255.255.250"));
    for (size_t at = routes.find('\n'); at != std::string::npos && at + 1 < routes.size();
         at = routes.find('\n', at + 1)) {
        char name[32];
        unsigned dest, gateway, flags, mask;
        if (sscanf(routes.c_str() + at + 1, "%31s %x %x %x %*d %*d %*d %x", name, &dest, &gateway, &flags, &mask) == 5 &&
            (flags & 1) && ((group & ntohl(mask)) == ntohl(dest)))
            return true;
    }
    return false;
}

// Whether the kernel lists `name` as a member of the discovery group:
// /proc/net/igmp names a device on a line of its own, its groups (in
// little-endian hex) on the lines below; /proc/net/igmp6 has a line for
// each device and group.
static bool member(const std::string &name, bool v4)
{
    std::string text = read_text(v4 ? "/proc/net/igmp" : "/proc/net/igmp6"), device;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        char first[64] = "", second[64] = "";
        if (sscanf(line.c_str(), "%63s %63s", first, second) < 1)
            continue;
        if (!v4 && first[0] >= '0' && first[0] <= '9' && name == second &&
            line.find("ff02000000000000000000000000000c") != std::string::npos)
            return true;
        if (v4 && line[0] >= '0' && line[0] <= '9') {
            device = second;
            if (!device.empty() && device.back() == ':')
                device.pop_back();
        } else if (v4 && device == name && strcmp(first, "FAFFFFEF") == 0) {
            return true;
        }
    }
    return false;
}

// Whether the status lists the link `name` of `family` as one in use.
static bool in_use(const diagnosis *d, const std::string &name, const std::string &family)
{
    for (int k = 0; k < status_count(d->status, "links"); k++)
        if (get(d, "links[" + std::to_string(k) + "].interface") == name &&
            get(d, "links[" + std::to_string(k) + "].family") == family)
            return true;
    return false;
}

// The links in use: routed, members of the group, heard from lately.
static void check_links(diagnosis *d)
{
    if (!group_routed())
        say(d, "the system has no route for 239.255.255.250: the daemon cannot join the discovery group",
            "add one (ip route add 224.0.0.0/4 dev eth0), or a default route");
    for (int i = 0; running(d) && i < status_count(d->status, "links"); i++) {
        std::string at = "links[" + std::to_string(i) + "].", name = get(d, at + "interface");
        bool v4 = get(d, at + "family") == "IPv4";
        if (!member(name, v4))
            say(d, std::string("the device is not a member of ") + (v4 ? "239.255.255.250" : "FF02::C") + " on " +
                       name + ": Probes to the group there do not reach it",
                "restart discovery-daemon; if it stays so, see that " + name + " can carry multicast");
    }
    for (int i = 0; running(d) && i < status_count(d->status, "counters"); i++) {
        std::string at = "counters[" + std::to_string(i) + "].", name = get(d, at + "interface");
        std::string family = get(d, at + "family"), heard = get(d, at + "heard_at");
        long since = heard == "null" ? d->now - atol(get(d, "started").c_str()) : d->now - atol(heard.c_str());
        if (in_use(d, name, family) && since > d->quiet_s)
            say(d, "nothing heard on " + name + " (" + family + ") for " + std::to_string(since / 60) +
                       " min: no client there probes, or the group's datagrams do not reach the device",
                "if clients there cannot find it: a switch with IGMP snooping needs a querier (or snooping "
                "off), and clients in another VLAN or behind a router are not on this link");
    }
}

// Who was refused, and why: senders off the link, shares spent, answers
// that did not fit, sends that failed.
static void check_counters(diagnosis *d)
{
    for (int i = 0; i < status_count(d->status, "requesters"); i++) {
        std::string at = "requesters[" + std::to_string(i) + "].", address = get(d, at + "address");
        if (get(d, at + "outcome") == "not_on_link")
            say(d, address + " asked on " + get(d, at + "interface") + " and is not on that link: it gets no answer",
                "if it is to be answered (a VMS behind a router), add allow = " + address +
                    (address.find(':') == std::string::npos ? "/32" : "/128") + " (or its subnet)");
    }
    for (int i = 0; i < status_count(d->status, "counters"); i++) {
        std::string at = "counters[" + std::to_string(i) + "].";
        std::string where = " on " + get(d, at + "interface") + " (" + get(d, at + "family") + ")";
        long spent = atol(get(d, at + "socket_share_spent").c_str()) + atol(get(d, at + "address_share_spent").c_str());
        if (spent > 0)
            say(d, std::to_string(spent) + " datagrams" + where + " were dropped past their sender's share",
                "a flood, or a client that scans too often: find the sender in the requesters of the status");
        long cut = atol(get(d, at + "messages_cut").c_str()), unsent = atol(get(d, at + "answer_too_long").c_str());
        if (cut + unsent > 0)
            say(d, "answers" + where + " are larger than the link carries whole: " + std::to_string(cut) +
                       " left XAddrs or scopes out, " + std::to_string(unsent) + " were not sent",
                "shorten the description (scope and xaddrs lines) or raise the link's MTU");
        std::string errors;
        for (const auto &[path, value] : d->status)
            if (path.rfind(at + "send_errors.", 0) == 0 && in_use(d, get(d, at + "interface"), get(d, at + "family")))
                errors += (errors.empty() ? "" : ", ") + path.substr(at.size() + 12) + " " + value;
        if (!errors.empty())
            say(d, "sends" + where + " failed: " + errors,
                "EPERM: a firewall rule rejects the device's own messages (UDP port 3702); ENETUNREACH: no route");
    }
}

// A rule of the firewall's that drops or rejects UDP port 3702.
static void check_firewall(diagnosis *d)
{
    std::string rules = output_of("nft list ruleset") + output_of("iptables-save") + output_of("ip6tables-save");
    for (size_t at = 0; at < rules.size();) {
        size_t end = rules.find('\n', at);
        std::string line = rules.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? rules.size() : end + 1;
        if (line.find("3702") != std::string::npos &&
            (line.find("drop") != std::string::npos || line.find("reject") != std::string::npos ||
             line.find("DROP") != std::string::npos || line.find("REJECT") != std::string::npos)) {
            size_t first = line.find_first_not_of(" \t");
            say(d, "the firewall drops WS-Discovery (UDP port 3702): " + line.substr(first == std::string::npos ? 0 : first),
                "remove that rule, or accept UDP port 3702 before it");
        }
    }
}

// An identity that other boards share: one machine-id for an image.
static void check_identity(diagnosis *d)
{
    std::string id = read_text("/etc/machine-id");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    std::string from = get(d, "endpoint_from");
    if (from == "configuration")
        return;
    if (id.empty() || id == "uninitialized" || id.find_first_not_of('0') == std::string::npos)
        say(d, "/etc/machine-id is " + (id.empty() ? std::string("empty") : "\"" + id + "\"") +
                   ", as on every board of the image: the endpoint comes from the " +
                   (from.empty() ? std::string("hardware address or host name") : from),
            "give each board its own (systemd-machine-id-setup), or an endpoint = line");
    if (from == "host name")
        say(d, "the endpoint comes from the host name, which boards of one image share",
            "give each board its own machine-id, or an endpoint = line");
}

void checks_run(diagnosis *d)
{
    check_daemon(d);
    check_interfaces(d);
    check_links(d);
    check_counters(d);
    check_firewall(d);
    check_identity(d);
}
