// A private network for one discovery-daemon test: the test process moves
// into its own network namespace (loopback up, multicast routed over it)
// and mount namespace (a private /dev with the test's log socket at
// /dev/log, an empty /var/lib for the daemon's state, a layer of its own
// over /etc for the daemon's configuration, its own /run for the
// namespaces it names and the daemon's status), and becomes the reaper of
// the daemons it starts.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

static const std::string daemon_path = DISCOVERY_DAEMON_PATH;

/// Monotonic seconds.
double now_s();

/// Enters the namespaces; returns "" or what failed.
std::string daemon_env_enter();

/// The socket at /dev/log; the daemon's log records arrive here.
extern int daemon_log;

/// Runs the daemon as a shell would, with `env` ("NAME=value" each) added
/// to its environment. Sets *status to the command's exit status and
/// returns the detached daemon's pid, or -1.
pid_t daemon_start(int *status, const std::vector<std::string> &env = {});

/// Waits up to `timeout_s` for the detached daemon to end; returns its
/// exit status, 128 + signal, or -1 when it did not end (at once for a pid
/// that is not positive).
int daemon_wait(pid_t pid, double timeout_s);

/// The one way the tests signal a daemon: sends `signo` to `pid` only when
/// it is positive, and otherwise aborts the test program (kill(-1) would
/// reach every process the test may signal). Returns kill's result.
int signal_daemon(pid_t pid, int signo);

/// A UDP socket bound to `port` (0: any port) on every address, or, when
/// `join`, on the discovery group's, which it joins.
int udp_socket(int port, bool join);

/// The same, made inside the network namespace `netns` (by its name under
/// /run/netns); -1 when it cannot be entered.
int udp_socket_in(const std::string &netns, int port, bool join);

/// A raw IPv4 socket of `protocol` made inside the network namespace
/// `netns`; -1 when it cannot be entered.
int raw_socket_in(const std::string &netns, int protocol);

/// An IPv6 UDP socket whose multicast leaves by the interface `on`: bound to
/// any port on every IPv6 address for a `port` of 0, else to `port` on the
/// IPv6 discovery group FF02::C on that interface, which it joins.
int udp6_socket(int port, const std::string &on);

/// The same, made inside the network namespace `netns`.
int udp6_socket_in(const std::string &netns, int port, const std::string &on);

/// Sends `text` to port 3702 of `address`: IPv4, or IPv6 from an IPv6
/// socket (with its %zone where it needs one).
void send_to(int sock, const std::string &text, const char *address = "239.255.255.250");

/// The same, from the local address `from` (the socket is bound to any):
/// one socket speaks for many senders.
void send_from(int sock, const std::string &text, const char *from, const char *address);

/// Every datagram arriving on `sock` within `seconds` (0: those already there).
std::vector<std::string> receive(int sock, double seconds);

/// The first datagram on `sock` holding `needle`, waiting up to `seconds`;
/// "" when none came.
std::string receive_with(int sock, const std::string &needle, double seconds);

/// The time to live of the first datagram on `sock` holding `needle`
/// within `seconds`; -1 when none came.
int receive_ttl(int sock, const std::string &needle, double seconds);

/// How many of `messages` hold `needle`.
int count_with(const std::vector<std::string> &messages, const std::string &needle);
