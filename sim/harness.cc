#include "harness.h"

#include "private_dev.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static void child_fail(const char *what)
{
    dprintf(2, "housesim: %s: %s\n", what, strerror(errno));
    _exit(125);
}

static void bind_fd(int fd, const char *target)
{
    char source[64];
    snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    if (mount(source, target, NULL, MS_BIND, NULL) != 0)
        child_fail(target);
}

// Mounts the line over /dev/ttyS0 in a private mount namespace, over a
// private /dev where the machine has no /dev/ttyS0 or the options ask for
// one. Where a native parent has already made the namespace and /dev
// (HOUSE_TEST_NAMESPACES set: programs under qemu-user, which cannot make
// them), the last run's line, gone with its pseudo-terminal, is taken down
// instead.
static void enter_namespace(const char *slave_path, const sim_run_options &options)
{
    bool prepared = getenv("HOUSE_TEST_NAMESPACES") != NULL;
    if (prepared) {
        while (umount2("/dev/ttyS0", MNT_DETACH) == 0) {
        }
    } else {
        if (unshare(CLONE_NEWNS) != 0)
            child_fail("private mount namespace");
        if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
            child_fail("making / private");
    }
    // Opened after unshare: a bind mount takes its source from this
    // namespace's mounts only.
    int slave = open(slave_path, O_PATH | O_CLOEXEC);
    if (slave < 0)
        child_fail(slave_path);
    const char *failed;
    if (!prepared && (options.private_dev || options.no_device || access("/dev/ttyS0", F_OK) != 0) &&
        private_dev(&failed) != 0)
        child_fail(failed);
    if (options.no_device) {
        unlink("/dev/ttyS0");  // only a prepared /dev has one
        close(slave);
        return;
    }
    if (access("/dev/ttyS0", F_OK) != 0) {
        int fd = open("/dev/ttyS0", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0)
            child_fail("/dev/ttyS0 mount point");
        close(fd);
    }
    bind_fd(slave, "/dev/ttyS0");
    close(slave);
}

static void start_child(const char *slave_path, const int out[2], const int err[2],
                        const std::vector<std::string> &argv, const sim_run_options &options,
                        int in_fd, int stamp_fd)
{
    if (options.capture) {
        dup2(in_fd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
    }
    enter_namespace(slave_path, options);

    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The moment of the exec, for timing the command alone.
    double now = sim_now();
    if (write(stamp_fd, &now, sizeof now) != (ssize_t)sizeof now)
        _exit(125);
    execvp(args[0], args.data());
    dprintf(2, "housesim: %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

static bool drain(int *fd, std::string *into)
{
    char buf[4096];
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
        into->append(buf, (size_t)n);
        return true;
    }
    if (n == 0 || errno != EAGAIN) {
        close(*fd);
        *fd = -1;
    }
    return false;
}

static int open_pty(int *slave, std::string *slave_path)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("housesim: pseudo-terminal");
        exit(125);
    }
    // This process holds the slave open for the whole run, so the line
    // stays up between the programs the command starts.
    const char *name = ptsname(master);
    if (name)
        *slave_path = name;
    *slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (*slave < 0) {
        perror("housesim: pseudo-terminal slave");
        exit(125);
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
    return master;
}

// Feeds the command's standard input, then closes it.
static int input_pipe(const std::string &input)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (write(p[1], input.data(), input.size()) < 0)
        perror("housesim: input");
    close(p[1]);
    return p[0];
}

sim_result sim_run(controller_state &state, const sim_faults &faults,
                   const std::vector<std::string> &argv, const sim_run_options &options)
{
    sim_result r;
    sim_line line;
    int slave;
    int out[2] = { -1, -1 }, err[2] = { -1, -1 };

    std::string slave_path;
    line.fd = open_pty(&slave, &slave_path);
    line.state = &state;
    line.faults = &faults;
    line.noise = faults.seed;
    int in_fd = -1;
    if (options.capture) {
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            perror("housesim: pipe");
            exit(125);
        }
        in_fd = input_pipe(options.input);
    }

    int stamp[2];
    if (pipe2(stamp, O_CLOEXEC) != 0) {
        perror("housesim: pipe");
        exit(125);
    }
    double start = sim_now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("housesim: fork");
        exit(125);
    }
    if (pid == 0)
        start_child(slave_path.c_str(), out, err, argv, options, in_fd, stamp[1]);
    close(stamp[1]);

    if (options.capture) {
        close(out[1]);
        close(err[1]);
        close(in_fd);
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        fcntl(err[0], F_SETFL, O_NONBLOCK);
    }

    bool reaped = false;
    int wstatus = 0;
    while (!reaped || out[0] >= 0 || err[0] >= 0) {
        double wait_s = sim_line_output(line);
        struct pollfd pfd[3] = {
            { line.fd, (short)(POLLIN | (wait_s == 0 ? POLLOUT : 0)), 0 },
            { out[0], POLLIN, 0 },
            { err[0], POLLIN, 0 },
        };
        // Wake often enough to notice the command's end and the next paced byte.
        double timeout_s = wait_s > 0 && wait_s < 0.01 ? wait_s : 0.01;
        struct timespec ts = { 0, (long)(timeout_s * 1e9) };
        ppoll(pfd, 3, &ts, NULL);

        if (line.fd >= 0 && (pfd[0].revents & POLLIN)) {
            char buf[4096];
            ssize_t n = read(line.fd, buf, sizeof buf);
            if (n > 0)
                sim_line_input(line, buf, (size_t)n);
        }
        if (pfd[1].revents)
            while (drain(&out[0], &r.out)) {}
        if (pfd[2].revents)
            while (drain(&err[0], &r.err)) {}

        if (!reaped && wait4(pid, &wstatus, WNOHANG, &r.usage) == pid) {
            reaped = true;
            double now = sim_now(), exec_at;
            r.seconds = now - start;
            if (read(stamp[0], &exec_at, sizeof exec_at) == (ssize_t)sizeof exec_at)
                r.exec_seconds = now - exec_at;
        }
        if (!reaped && sim_now() - start > options.timeout_s) {
            r.timed_out = true;
            kill(pid, SIGKILL);
        }
        if (reaped && r.timed_out)
            break;  // what the command left running may hold the pipes
    }

    sim_line_hangup(line);
    close(slave);
    close(stamp[0]);
    if (out[0] >= 0)
        close(out[0]);
    if (err[0] >= 0)
        close(err[0]);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.capture && r.status == 125 && r.err.rfind("housesim:", 0) == 0)
        fprintf(stderr, "%s", r.err.c_str());  // the namespace could not be made: say so loudly
    r.received = line.received;
    r.commands = line.commands;
    r.bytes_in = line.bytes_in;
    r.bytes_out = line.bytes_out;
    return r;
}
