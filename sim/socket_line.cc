#include "socket_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop_serving;

static void stop(int signo)
{
    (void)signo;
    stop_serving = 1;
}

static int listen_on(const char *path)
{
    struct sockaddr_un addr = {};
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "housesim: socket path too long: %s\n", path);
        return -1;
    }
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path);
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 1) != 0) {
        fprintf(stderr, "housesim: %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Serves one client until it goes away or a stop is asked for.
static void serve(sim_line &line, int record_fd)
{
    while (!stop_serving && line.fd >= 0) {
        double wait_s = sim_line_output(line);
        if (line.fd < 0)
            break;  // a hang-up fault closed the line
        struct pollfd pfd = { line.fd, (short)(POLLIN | (wait_s == 0 ? POLLOUT : 0)), 0 };
        int timeout_ms = wait_s > 0 ? (int)(wait_s * 1000) + 1 : 1000;
        if (poll(&pfd, 1, timeout_ms) < 0 && errno != EINTR)
            break;
        if (!(pfd.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[4096];
        ssize_t n = read(line.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            sim_line_hangup(line);
            break;
        }
        if (record_fd >= 0 && write(record_fd, buf, (size_t)n) != n)
            perror("housesim: record");
        sim_line_input(line, buf, (size_t)n);
    }
}

int sim_serve_socket(controller_state &state, const sim_faults &faults, const char *path,
                     int record_fd)
{
    struct sigaction sa = {};
    sa.sa_handler = stop;  // no SA_RESTART: a blocked accept or poll returns
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    int listener = listen_on(path);
    if (listener < 0)
        return 1;
    while (!stop_serving) {
        int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR)
                continue;
            perror("housesim: accept");
            break;
        }
        printf("connected\n");
        fflush(stdout);
        // Each connection is a line of its own; the controller's settings
        // stay.
        sim_line line;
        line.fd = client;
        line.state = &state;
        line.faults = &faults;
        line.noise = faults.seed;
        serve(line, record_fd);
        sim_line_hangup(line);
    }
    close(listener);
    unlink(path);
    return stop_serving ? 0 : 1;
}
