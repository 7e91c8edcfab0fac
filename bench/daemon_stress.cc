// Stress for the shipped discovery-daemon, in a private network of its own:
// start/stop cycles with signals at random moments, a storm of SIGHUPs
// while Probes are answered, and a flood of malformed datagrams.
//
//   daemon_stress [cycles] [sighups] [datagrams] [rss]   (default 200 10000 100000 rss)
//
// RSS must stay flat unless the last word is "no-rss": under AddressSanitizer
// freed memory is held in quarantine, and LeakSanitizer checks at exit.
//
// Prints its figures; exits 1 when the daemon misbehaved.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "daemon_env.h"
#include "probes.h"

static const std::string bye_action = "discovery/Bye</wsa:Action>";
static const std::string hello_action = "discovery/Hello</wsa:Action>";
static int failures = 0;
static bool check_rss = true;

#define CHECK(cond, ...)                                                   \
    do {                                                                   \
        if (!(cond)) {                                                     \
            failures++;                                                    \
            fprintf(stderr, "FAILED: %s: ", #cond);                        \
            fprintf(stderr, __VA_ARGS__);                                  \
            fprintf(stderr, "\n");                                         \
        }                                                                  \
    } while (0)

static long rss_kib(pid_t pid)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    long kib = -1;
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    if (f)
        fclose(f);
    return kib;
}


static pid_t start()
{
    int status;
    pid_t pid = daemon_start(&status);
    CHECK(status == 0 && pid > 0, "start: status %d, pid %d", status, pid);
    return pid;
}

static void cycles(int count, int listener, std::mt19937 &rng)
{
    static const int signals[] = { SIGTERM, SIGINT, SIGQUIT, SIGUSR1 };
    int clean = 0, byes = 0;
    for (int i = 0; i < count; i++) {
        pid_t pid = start();
        if (pid <= 0)
            continue;
        // A third of the stops come right after start, before the loops may exist.
        if (rng() % 3 != 0)
            usleep(rng() % 300000);
        signal_daemon(pid, signals[rng() % 4]);
        int status = daemon_wait(pid, 5);
        int seen = count_with(receive(listener, 0.05), bye_action);
        receive(daemon_log, 0);
        CHECK(status == 0, "cycle %d: exit status %d", i, status);
        CHECK(seen <= 1, "cycle %d: %d Byes", i, seen);
        CHECK(signal_daemon(pid, 0) != 0, "cycle %d: process left over", i);
        if (status != 0)
            signal_daemon(pid, SIGKILL);
        clean += status == 0;
        byes += seen;
    }
    printf("start/stop cycles      %6d  clean exits %d, Byes %d\n", count, clean, byes);
}

// A sender of its own for each Probe: the daemon answers any one sender
// only a few times a second.
static std::string sender(int i)
{
    return "127.0.1." + std::to_string(1 + i % 250);
}

// The first Probes touch the receive buffer and the probe thread's heap;
// RSS is compared after them.
static void warm_up(int client)
{
    for (int i = 0; i < 20; i++) {
        std::string id = "urn:uuid:warm-" + std::to_string(i);
        send_from(client, onvif_client_probe(id), sender(i).c_str(), "239.255.255.250");
        send_to(client, "<x>" + id);
        receive_with(client, id, 0.5);
    }
}

static void sighup_storm(int count, int listener)
{
    pid_t pid = start();
    if (pid <= 0)
        return;
    receive_with(listener, hello_action, 2);
    int client = udp_socket(0, false), sent = 0, answered = 0;
    warm_up(client);
    long rss_before = rss_kib(pid);

    std::atomic<bool> done{ false };
    std::thread hups([&] {
        for (int i = 0; i < count; i++) {
            signal_daemon(pid, SIGHUP);
            usleep(100);
        }
        done = true;
    });
    while (!done) {
        std::string id = "urn:uuid:storm-" + std::to_string(sent);
        send_from(client, onvif_client_probe(id), sender(sent++).c_str(), "239.255.255.250");
        answered += !receive_with(client, id, 0.5).empty();
        receive(listener, 0);  // keep the Hellos from filling the listener
    }
    hups.join();
    long rss_after = rss_kib(pid);
    signal_daemon(pid, SIGTERM);
    CHECK(daemon_wait(pid, 5) == 0, "exit after the SIGHUP storm");
    CHECK(answered == sent, "%d of %d Probes answered during the storm", answered, sent);
    CHECK(!check_rss || rss_after <= rss_before + 64, "RSS grew from %ld to %ld KiB", rss_before,
          rss_after);
    printf("SIGHUPs                %6d  Probes answered meanwhile %d of %d, RSS %ld -> %ld KiB\n",
           count, answered, sent, rss_before, rss_after);
    close(client);
    receive(daemon_log, 0);
}

static void flood(int count, int listener, std::mt19937 &rng)
{
    pid_t pid = start();
    if (pid <= 0)
        return;
    receive_with(listener, hello_action, 2);
    int client = udp_socket(0, false);
    warm_up(client);
    std::string valid = onvif_client_probe("urn:uuid:flood");
    const std::string shapes[] = {
        "",
        "garbage",
        valid.substr(0, valid.size() / 2),
        "<!DOCTYPE x [<!ENTITY a \"aaaaaaaa\">]><x>&a;</x>",
        std::string(200, '<'),
        probe_with("", "dn:NetworkVideoTransmitter", ""),
        std::string(valid).replace(valid.find("Probe</wsa"), 5, "Hello"),
    };
    // Each shape once first: the code that reads it is paged in then, not
    // counted as growth (what valid Probes never need, the full XML
    // parser's, is paged in only by the flood).
    for (const std::string &d : shapes)
        send_to(client, d);
    receive(client, 0.3);
    long rss_before = rss_kib(pid);
    double start_s = now_s();
    for (int i = 0; i < count; i++) {
        std::string d = shapes[rng() % 7];
        if (!d.empty() && rng() % 2)
            d[rng() % d.size()] = (char)rng();
        send_to(client, d);
        if (i % 200 == 199) {
            usleep(2000);
            receive(listener, 0);
        }
    }
    double flood_s = now_s() - start_s;
    receive(listener, 0.1);
    receive(client, 0.3);
    send_to(client, valid);
    std::vector<std::string> answers = receive(client, 1.0);
    long rss_after = rss_kib(pid);
    CHECK(answers.size() == 1, "%zu answers to the Probe after the flood", answers.size());
    CHECK(!check_rss || rss_after <= rss_before + 64, "RSS grew from %ld to %ld KiB", rss_before,
          rss_after);
    signal_daemon(pid, SIGTERM);
    CHECK(daemon_wait(pid, 5) == 0, "exit after the flood");
    printf("malformed datagrams    %6d  in %.1f s, Probe after it answered: %s, RSS %ld -> %ld KiB\n",
           count, flood_s, answers.size() == 1 ? "yes" : "no", rss_before, rss_after);
    close(client);
    receive(daemon_log, 0);
}

int main(int argc, char **argv)
{
    int cycle_count = argc > 1 ? atoi(argv[1]) : 200;
    int sighups = argc > 2 ? atoi(argv[2]) : 10000;
    int datagrams = argc > 3 ? atoi(argv[3]) : 100000;
    check_rss = !(argc > 4 && strcmp(argv[4], "no-rss") == 0);

    std::string why = daemon_env_enter();
    if (!why.empty()) {
        fprintf(stderr, "daemon_stress: %s\n", why.c_str());
        return 1;
    }
    int listener = udp_socket(3702, true);
    std::mt19937 rng((unsigned)time(NULL));

    cycles(cycle_count, listener, rng);
    sighup_storm(sighups, listener);
    flood(datagrams, listener, rng);
    printf("%s\n", failures ? "daemon stress: FAILED" : "daemon stress: all held");
    return failures ? 1 : 0;
}
