#include "daemon_env.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "private_dev.h"
#include "target_runner.h"

int daemon_log = -1;

double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

std::string daemon_env_enter()
{
    // Under qemu-user a native parent has made the namespaces, with this
    // process as the first of its own process namespace (tests/emulated.sh).
    bool prepared = getenv("HOUSE_TEST_NAMESPACES") != NULL;
    if (!prepared) {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return std::string("unshare: ") + strerror(errno);
        // Without a route for the group, joining it fails with ENODEV.
        if (system("ip link set lo up && ip route add 224.0.0.0/4 dev lo src 127.0.0.1") != 0)
            return "ip: could not set up loopback and the multicast route";
        if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
            return std::string("making / private: ") + strerror(errno);
        const char *failed;
        if (private_dev(&failed) != 0)
            return std::string("private /dev: ") + failed + ": " + strerror(errno);
    }

    // The discovery library keeps its InstanceId under /var/lib: the
    // test's own, not the machine's, with the run-time description's
    // directory as the package makes it. Network namespaces the test names
    // (ip netns) are files under /run/netns, and the daemon's status is
    // under /run: the test's own too, so tests running side by side never
    // see each other's.
    if (mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755") != 0)
        return std::string("private /var/lib: ") + strerror(errno);
    mkdir("/var/lib/discovery", 0755);
    // /etc as the machine has it, with what the test writes (the daemon's
    // configuration) on top, in its own layer.
    if (mkdir("/var/lib/.etc", 0755) != 0 || mkdir("/var/lib/.etc/upper", 0755) != 0 ||
        mkdir("/var/lib/.etc/work", 0755) != 0 ||
        mount("overlay", "/etc", "overlay", 0,
              "lowerdir=/etc,upperdir=/var/lib/.etc/upper,workdir=/var/lib/.etc/work") != 0)
        return std::string("private layer over /etc: ") + strerror(errno);
    // /run, for the names of those namespaces and the daemon's status.
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=755") != 0)
        return std::string("private /run: ") + strerror(errno);
    mkdir("/run/netns", 0755);

    unlink("/dev/log");
    daemon_log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(daemon_log, (struct sockaddr *)&addr, sizeof addr) != 0)
        return std::string("/dev/log: ") + strerror(errno);
    if (prepared)
        return getpid() == 1 ? "" : "prepared namespaces without a process namespace";
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return std::string("subreaper: ") + strerror(errno);
    return "";
}

// Whether the NUL-separated command line in `cmdline` holds `word`.
static bool has_word(const char *cmdline, size_t len, const std::string &word)
{
    for (size_t at = 0; at < len; at += strlen(cmdline + at) + 1)
        if (word == cmdline + at)
            return true;
    return false;
}

// The detached daemon is reparented to this process. It is known by its
// command line: under an emulator its name is the emulator's.
static pid_t find_daemon()
{
    DIR *proc = opendir("/proc");
    pid_t found = -1;
    for (struct dirent *e; found < 0 && (e = readdir(proc));) {
        char path[300], stat[512] = "";
        snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        FILE *f = fopen(path, "r");
        if (!f)
            continue;
        size_t n = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        stat[n] = '\0';
        int pid, ppid;
        char state;
        const char *after_name = strrchr(stat, ')');
        if (!after_name || sscanf(stat, "%d", &pid) != 1 ||
            sscanf(after_name, ") %c %d", &state, &ppid) != 2 || ppid != getpid() || state == 'Z')
            continue;
        char cmdline[4096];
        snprintf(path, sizeof path, "/proc/%s/cmdline", e->d_name);
        f = fopen(path, "r");
        if (!f)
            continue;
        n = fread(cmdline, 1, sizeof cmdline - 1, f);
        fclose(f);
        cmdline[n] = '\0';
        if (has_word(cmdline, n, daemon_path))
            found = pid;
    }
    closedir(proc);
    return found;
}

pid_t daemon_start(int *status, const std::vector<std::string> &env)
{
    std::vector<std::string> words = target_runner_with(env);
    words.push_back(daemon_path);
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int wstatus;
    waitpid(pid, &wstatus, 0);
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    for (double until = now_s() + 2; now_s() < until; usleep(1000)) {
        pid_t daemon = find_daemon();
        if (daemon > 0)
            return daemon;
    }
    return -1;
}

int signal_daemon(pid_t pid, int signo)
{
    if (pid <= 0) {
        fprintf(stderr, "refusing to send signal %d to pid %d\n", signo, (int)pid);
        abort();
    }
    return kill(pid, signo);
}

int daemon_wait(pid_t pid, double timeout_s)
{
    if (pid <= 0)
        return -1;
    for (double until = now_s() + timeout_s; now_s() < until; usleep(1000)) {
        int wstatus;
        if (waitpid(pid, &wstatus, WNOHANG) == pid)
            return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    return -1;
}

int udp_socket(int port, bool join)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    if (join)  // a listener for the group takes none of the device's own requests
        addr.sin_addr.s_addr = inet_addr("239.255.255.250");
    bind(sock, (struct sockaddr *)&addr, sizeof addr);
    if (join) {
        struct ip_mreq group = {};
        group.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
        setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
    }
    return sock;
}

// Makes a socket inside the network namespace `netns` (by its name under
// /run/netns), or -1 when it cannot be entered.
template <typename Make> static int socket_in(const std::string &netns, Make make)
{
    int here = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    int sock = -1;
    if (here >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0) {
        sock = make();
        if (setns(here, CLONE_NEWNET) != 0)
            abort();  // the test would go on in the wrong network
    }
    if (here >= 0)
        close(here);
    if (there >= 0)
        close(there);
    return sock;
}

int udp_socket_in(const std::string &netns, int port, bool join)
{
    return socket_in(netns, [&] { return udp_socket(port, join); });
}

int raw_socket_in(const std::string &netns, int protocol)
{
    return socket_in(netns, [&] { return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, protocol); });
}

int udp6_socket(int port, const std::string &on)
{
    int sock = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    struct sockaddr_in6 addr = {};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons((unsigned short)port);
    struct ipv6_mreq group = {};
    group.ipv6mr_interface = if_nametoindex(on.c_str());
    setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_IF, &group.ipv6mr_interface, sizeof group.ipv6mr_interface);
    if (port != 0) {
        inet_pton(AF_INET6, "ff02::c", &group.ipv6mr_multiaddr);
        addr.sin6_addr = group.ipv6mr_multiaddr;
        addr.sin6_scope_id = group.ipv6mr_interface;
    }
    bind(sock, (struct sockaddr *)&addr, sizeof addr);
    if (port != 0)
        setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &group, sizeof group);
    return sock;
}

int udp6_socket_in(const std::string &netns, int port, const std::string &on)
{
    return socket_in(netns, [&] { return udp6_socket(port, on); });
}

void send_from(int sock, const std::string &text, const char *from, const char *address)
{
    struct addrinfo hints = {}, *to;
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo(address, "3702", &hints, &to) != 0)
        return;
    union {
        char buf[CMSG_SPACE(sizeof(struct in6_pktinfo))];
        struct cmsghdr align;
    } control = {};
    struct iovec iov = { (void *)text.data(), text.size() };
    struct msghdr msg = {};
    msg.msg_name = to->ai_addr;
    msg.msg_namelen = to->ai_addrlen;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = from ? control.buf : NULL;
    msg.msg_controllen = from ? sizeof control.buf : 0;
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    struct in_pktinfo info = {};
    struct in6_pktinfo info6 = {};
    bool v4 = to->ai_family == AF_INET;
    if (from) {
        inet_pton(to->ai_family, from, v4 ? (void *)&info.ipi_spec_dst : (void *)&info6.ipi6_addr);
        c->cmsg_level = v4 ? IPPROTO_IP : IPPROTO_IPV6;
        c->cmsg_type = v4 ? IP_PKTINFO : IPV6_PKTINFO;
        c->cmsg_len = v4 ? CMSG_LEN(sizeof info) : CMSG_LEN(sizeof info6);
        memcpy(CMSG_DATA(c), v4 ? (void *)&info : (void *)&info6, v4 ? sizeof info : sizeof info6);
        msg.msg_controllen = c->cmsg_len;
    }
    sendmsg(sock, &msg, 0);
    freeaddrinfo(to);
}

void send_to(int sock, const std::string &text, const char *address)
{
    send_from(sock, text, NULL, address);
}

static bool receive_one(int sock, double until, std::string *datagram)
{
    static thread_local char buf[65536];  // tests read from several threads
    // A wait that has run out still takes what is already queued.
    double left = until - now_s();
    struct pollfd pfd = { sock, POLLIN, 0 };
    if (poll(&pfd, 1, left > 0 ? (int)(left * 1000) + 1 : 0) != 1)
        return false;
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    datagram->assign(buf, n > 0 ? (size_t)n : 0);
    return true;
}

std::vector<std::string> receive(int sock, double seconds)
{
    std::vector<std::string> all;
    double until = now_s() + seconds;
    for (std::string d; receive_one(sock, until, &d);)
        all.push_back(d);
    return all;
}

std::string receive_with(int sock, const std::string &needle, double seconds)
{
    double until = now_s() + seconds;
    for (std::string d; receive_one(sock, until, &d);)
        if (d.find(needle) != std::string::npos)
            return d;
    return "";
}

int count_with(const std::vector<std::string> &messages, const std::string &needle)
{
    int n = 0;
    for (const std::string &m : messages)
        n += m.find(needle) != std::string::npos;
    return n;
}

int receive_ttl(int sock, const std::string &needle, double seconds)
{
    int one = 1;
    setsockopt(sock, IPPROTO_IP, IP_RECVTTL, &one, sizeof one);
    static thread_local char buf[65536];  // tests read from several threads
    for (double until = now_s() + seconds;;) {
        double left = until - now_s();
        struct pollfd pfd = { sock, POLLIN, 0 };
        if (left <= 0 || poll(&pfd, 1, (int)(left * 1000) + 1) != 1)
            return -1;
        union {
            char buf[CMSG_SPACE(sizeof(int))];
            struct cmsghdr align;
        } control;
        struct iovec iov = { buf, sizeof buf };
        struct msghdr msg = {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof control.buf;
        ssize_t n = recvmsg(sock, &msg, 0);
        if (n <= 0 || std::string(buf, (size_t)n).find(needle) == std::string::npos)
            continue;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                int ttl;
                memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
                return ttl;
            }
        return -1;
    }
}
