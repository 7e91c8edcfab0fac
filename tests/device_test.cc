// The device emulated whole: the armhf image booted once under full-system
// emulation, with the real kernel's serial driver and network stack. The
// housing controller is simulated on this side of each serial port; the
// test's own network namespace holds the other end of the device's link.
//
// Serial ports of the device: ttyS0 is the controller, kept for the whole
// boot; ttyS1 is a controller restarted with a fault for each case; ttyS2
// has its modem lines low (CTS low: nothing it is given goes out). The
// emulator reads a host terminal's modem lines for a port on one; a pseudo-
// terminal has none, so they read as low.
//
//   device_tests VMLINUZ INITRAMFS HOUSESIM NATIVE_HOUSECTL INTEROP_DIR

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_env.h"
#include "harness.h"
#include "probes.h"
#include "text_io.h"

static std::string vmlinuz, initramfs, housesim, native_housectl, interop_dir;
static char work_dir[] = "/tmp/house-device-XXXXXX";


static std::string path_in_work(const std::string &name)
{
    return std::string(work_dir) + "/" + name;
}

// A child of this test: started with its standard output on a pipe, ended
// by a signal to its own (checked) pid.
struct child {
    pid_t pid = -1;
    int out = -1;  // its standard output, non-blocking
    std::string seen;
};

static child start_child(const std::vector<std::string> &argv, int in_fd, const std::string &err_path)
{
    child c;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return c;
    c.pid = fork();
    if (c.pid == 0) {
        if (in_fd >= 0)
            dup2(in_fd, 0);
        dup2(out[1], 1);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            dup2(err, 2);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    c.out = out[0];
    fcntl(c.out, F_SETFL, O_NONBLOCK);
    return c;
}

static void stop_child(child &c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        for (double until = now_s() + 5; now_s() < until; usleep(10000))
            if (waitpid(c.pid, NULL, WNOHANG) == c.pid) {
                c.pid = -1;
                break;
            }
        if (c.pid > 0) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, NULL, 0);
        }
    }
    c.pid = -1;
    if (c.out >= 0)
        close(c.out);
    c.out = -1;
}

// Reads what the child has printed, waiting up to `seconds` for `needle`
// to appear after `from`; returns its position or npos.
static size_t wait_for(child &c, const std::string &needle, double seconds, size_t from = 0)
{
    for (double until = now_s() + seconds;;) {
        size_t at = c.seen.find(needle, from);
        if (at != std::string::npos)
            return at;
        double left = until - now_s();
        if (left <= 0)
            return std::string::npos;
        struct pollfd pfd = { c.out, POLLIN, 0 };
        poll(&pfd, 1, (int)(left * 1000) + 1);
        char buf[4096];
        ssize_t n = read(c.out, buf, sizeof buf);
        if (n > 0)
            c.seen.append(buf, (size_t)n);
        else if (n == 0)
            usleep(10000);  // the child is gone; what it said is all there is
    }
}

// The emulated device and what feeds its serial ports.
static child qemu, line0, line1;
static int console_in = -1;  // the device's console, written by the tests
static int cts_low_master = -1;  // held open, never read
static bool booted = false;

// A controller on `socket` with `faults`, recording what it receives.
static std::vector<std::string> housesim_args(const std::string &socket, const std::string &record,
                                              const std::vector<std::string> &faults)
{
    std::vector<std::string> argv = { housesim };
    argv.insert(argv.end(), faults.begin(), faults.end());
    argv.insert(argv.end(), { "--socket", socket, "--record", record });
    return argv;
}

// What the device printed, and how the emulator ended if it has: reaped
// here, so that nothing signals its pid afterwards.
static std::string console_log()
{
    std::string ended;
    int status;
    if (qemu.pid > 0 && waitpid(qemu.pid, &status, WNOHANG) == qemu.pid) {
        ended = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                    : "exited with " + std::to_string(WEXITSTATUS(status));
        qemu.pid = -1;
    }
    return "\n--- device console ---\n" + qemu.seen + "\n--- emulator " + ended + " ---\n" +
           read_file(path_in_work("qemu.err"));
}

class Device : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_NE(mkdtemp(work_dir), nullptr);
        // The device's link ends in a tap device of this test's own network.
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ASSERT_EQ(system("ip link set lo up && ip tuntap add dev tap0 mode tap"
                         " && ip addr add 10.78.0.1/24 dev tap0 && ip link set tap0 up"
                         " && ip route add 224.0.0.0/4 dev tap0"),
                  0);

        line0 = start_child(housesim_args(path_in_work("line0"), path_in_work("line0.rec"), {}),
                            -1, path_in_work("line0.err"));
        line1 = start_child(housesim_args(path_in_work("line1"), path_in_work("line1.rec"), {}),
                            -1, path_in_work("line1.err"));
        for (int i = 0; i < 500 && (access(path_in_work("line0").c_str(), F_OK) != 0 ||
                                    access(path_in_work("line1").c_str(), F_OK) != 0); i++)
            usleep(10000);

        cts_low_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(cts_low_master, 0);
        ASSERT_EQ(grantpt(cts_low_master), 0);
        ASSERT_EQ(unlockpt(cts_low_master), 0);
        std::string cts_low_path = ptsname(cts_low_master);

        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        double start = now_s();
        qemu = start_child({ "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15",
                             "-smp", "1", "-m", "256M", "-nodefaults", "-display", "none",
                             "-no-reboot", "-serial", "stdio", "-kernel", vmlinuz, "-initrd",
                             initramfs, "-append", "console=ttyAMA0 panic=-1 quiet house.test",
                             "-chardev", "socket,id=line0,reconnect=1,path=" + path_in_work("line0"),
                             "-device", "pci-serial,chardev=line0,addr=0x10",
                             "-chardev", "socket,id=line1,reconnect=1,path=" + path_in_work("line1"),
                             "-device", "pci-serial,chardev=line1,addr=0x11",
                             "-chardev", "serial,id=cts_low,path=" + cts_low_path,
                             "-device", "pci-serial,chardev=cts_low,addr=0x12",
                             "-netdev", "tap,id=n0,ifname=tap0,script=no,downscript=no",
                             "-device", "virtio-net-pci,netdev=n0,romfile=" },
                           in[0], path_in_work("qemu.err"));
        close(in[0]);
        console_in = in[1];
        ASSERT_GT(qemu.pid, 0);
        // Booting takes seconds unloaded, most of a minute on a busy host.
        ASSERT_NE(wait_for(qemu, "@@READY", 240), std::string::npos)
            << "the device did not boot" << console_log();
        printf("device booted in %.1f s\n", now_s() - start);
        booted = true;
        ASSERT_NE(shell("run() { t0=$(cut -d' ' -f1 /proc/uptime); \"$@\" >/tmp/o 2>/tmp/e; s=$?;"
                        " t1=$(cut -d' ' -f1 /proc/uptime); echo @@OUT; od -An -tx1 -v /tmp/o;"
                        " echo @@ERR; od -An -tx1 -v /tmp/e; echo \"@@STATUS $s $t0 $t1\"; }"),
                  "@@timeout");
    }

    static void TearDownTestSuite()
    {
        if (booted && console_in >= 0) {
            const char off[] = "poweroff -f\n";
            if (write(console_in, off, sizeof off - 1) < 0)
                perror("console");
            wait_for(qemu, "reboot: Power down", 20);
        }
        if (console_in >= 0)
            close(console_in);
        if (cts_low_master >= 0)
            close(cts_low_master);
        stop_child(qemu);
        stop_child(line0);
        stop_child(line1);
        system((std::string("rm -rf ") + work_dir).c_str());
    }

    // Runs a shell command line on the device's console; returns what it
    // printed, or "@@timeout".
    static std::string shell(const std::string &command, double seconds = 60)
    {
        static int serial = 0;
        std::string done = "@@DONE" + std::to_string(++serial) + "\n";
        size_t from = qemu.seen.size();
        std::string line = command + "\necho @@DONE" + std::to_string(serial) + "\n";
        if (write(console_in, line.data(), line.size()) != (ssize_t)line.size())
            return "@@timeout";
        size_t at = wait_for(qemu, done, seconds, from);
        if (at == std::string::npos)
            return "@@timeout";
        return qemu.seen.substr(from, at - from);
    }

    struct run_result {
        std::string out, err;
        int status = -1;
        double seconds = -1;  // on the device's own clock
    };

    static std::string unhex(const std::string &text)
    {
        std::string bytes;
        unsigned v;
        for (size_t at = 0; at < text.size();) {
            while (at < text.size() && !isxdigit((unsigned char)text[at]))
                at++;
            if (at + 1 < text.size() && sscanf(text.c_str() + at, "%2x", &v) == 1) {
                bytes += (char)v;
                at += 2;
            } else {
                break;
            }
        }
        return bytes;
    }

    // Runs a command on the device through `run`: its output, error output,
    // exit status and time.
    static run_result device_run(const std::string &command)
    {
        run_result r;
        std::string text = shell("run " + command);
        size_t out = text.find("@@OUT\n"), err = text.find("@@ERR\n"), st = text.find("@@STATUS ");
        EXPECT_TRUE(out != std::string::npos && err != std::string::npos && st != std::string::npos)
            << command << ": " << text << console_log();
        if (out == std::string::npos || err == std::string::npos || st == std::string::npos)
            return r;
        r.out = unhex(text.substr(out + 6, err - out - 6));
        r.err = unhex(text.substr(err + 6, st - err - 6));
        double t0, t1;
        if (sscanf(text.c_str() + st, "@@STATUS %d %lf %lf", &r.status, &t0, &t1) == 3)
            r.seconds = t1 - t0;
        return r;
    }

    // The same options natively, against a fresh controller or `state`,
    // named "housectl" as on the device.
    static sim_result native_run(const std::vector<std::string> &args, const sim_faults &faults,
                                 controller_state *state)
    {
        std::vector<std::string> argv = { "bash", "-c", "exec -a housectl \"$0\" \"$@\"",
                                          native_housectl };
        argv.insert(argv.end(), args.begin(), args.end());
        controller_state fresh = controller_defaults();
        return sim_run(state ? *state : fresh, faults, argv);
    }
};

static std::string join(const std::vector<std::string> &args)
{
    std::string all;
    for (const std::string &a : args)
        all += (all.empty() ? "" : " ") + a;
    return all;
}

TEST_F(Device, HousectlOnTheSerialDriverMatchesTheNativeRun)
{
    // One controller for the sequence, natively too: the setting is kept.
    controller_state native_state = controller_defaults();
    const std::vector<std::vector<std::string>> runs = {
        { "-q" }, { "-a" }, { "-lpower=40" }, { "-l" }, { "-ton", "-ttoff=12", "-t" }, { "-x" },
    };
    for (const auto &args : runs) {
        size_t before = read_file(path_in_work("line0.rec")).size();
        run_result d = device_run("housectl " + join(args));
        std::string received = read_file(path_in_work("line0.rec")).substr(before);
        sim_result n = native_run(args, {}, &native_state);
        EXPECT_EQ(d.out, n.out) << join(args);
        EXPECT_EQ(d.err, n.err) << join(args);
        EXPECT_EQ(d.status, n.status) << join(args);
        EXPECT_EQ(received, n.received) << join(args);
    }
    EXPECT_EQ(native_state.led_power, 40);
}

TEST_F(Device, LineFaultsGiveTheNativeOutcome)
{
    const struct {
        const char *name;
        std::vector<std::string> flags;
        sim_faults faults;
    } cases[] = {
        { "mute", { "--mute-from", "1" }, [] { sim_faults f; f.mute_from = 1; return f; }() },
        { "mute later", { "--mute-from", "3" }, [] { sim_faults f; f.mute_from = 3; return f; }() },
        { "no prompt", { "--no-prompt" }, [] { sim_faults f; f.no_prompt = true; return f; }() },
        { "echo only", { "--echo-only" }, [] { sim_faults f; f.echo_only = true; return f; }() },
        { "noise", { "--random", "7" }, [] { sim_faults f; f.random_bytes = true; f.seed = 7; return f; }() },
    };
    for (const auto &c : cases) {
        for (const std::vector<std::string> &args :
             { std::vector<std::string>{ "-q" }, std::vector<std::string>{ "-l", "-i" } }) {
            // A fresh controller with the fault behind ttyS1; the emulator
            // reconnects to it.
            stop_child(line1);
            std::string record = path_in_work("line1.rec");
            unlink(record.c_str());
            line1 = start_child(housesim_args(path_in_work("line1"), record, c.flags), -1,
                                path_in_work("line1.err"));
            ASSERT_NE(wait_for(line1, "connected\n", 10), std::string::npos)
                << c.name << ": the emulator did not reconnect" << console_log();
            run_result d = device_run("unshare -m sh -c 'mount --bind /dev/ttyS1 /dev/ttyS0 &&"
                                      " exec housectl " + join(args) + "'");
            sim_result n = native_run(args, c.faults, nullptr);
            EXPECT_EQ(d.out, n.out) << c.name << " " << join(args);
            EXPECT_EQ(d.err, n.err) << c.name << " " << join(args);
            EXPECT_EQ(d.status, n.status) << c.name << " " << join(args);
            EXPECT_EQ(read_file(record), n.received) << c.name << " " << join(args);
        }
    }
}

// CTS low: the driver takes the command but never sends it. The run ends
// on its transaction timeouts, not on the driver's drain limit at close.
TEST_F(Device, CtsLowEndsWithinTheTimeouts)
{
    std::string lines = shell("cat /proc/tty/driver/serial");
    ASSERT_NE(lines.find("\n2: uart:16550A"), std::string::npos) << lines;
    EXPECT_EQ(lines.substr(lines.find("\n2: uart")).find("CTS"), std::string::npos)
        << "ttyS2's CTS is not low: " << lines;
    run_result d = device_run("unshare -m sh -c 'mount --bind /dev/ttyS2 /dev/ttyS0 &&"
                              " exec housectl -q'");
    EXPECT_EQ(d.out, "Error read from tty! (poll)No IP house here!\n");
    EXPECT_EQ(d.err, "");
    EXPECT_EQ(d.status, 255);
    EXPECT_GE(d.seconds, 0.0);
    EXPECT_LT(d.seconds, 0.1 + 0.2 + 1.0) << "the run waited for the line to drain";
    printf("CTS low: housectl -q took %.2f s on the device\n", d.seconds);
}

// Probes the device until it answers, for up to `seconds` from `from`;
// returns how long after `from` it did, or -1.
static double answered_after(double from, double seconds)
{
    int sock = udp_socket(0, false);
    for (int n = 0; now_s() < from + seconds; n++) {
        std::string id = "urn:uuid:de71ce00-0000-4000-8000-" + std::to_string(100000000000 + n);
        send_to(sock, onvif_client_probe(id));
        if (receive_with(sock, id, 0.5) != "") {
            close(sock);
            return now_s() - from;
        }
    }
    close(sock);
    return -1;
}

// The daemon's pid on the device, by its executable: its init script's
// processes bear the same name.
static const std::string daemon_pid =
    "$(for p in /proc/[0-9]*; do [ \"$(readlink $p/exe)\" = /usr/sbin/discovery-daemon ] &&"
    " echo ${p#/proc/}; done)";

TEST_F(Device, DaemonFromItsInitScriptOnTheDevicesLink)
{
    int listener = udp_socket(3702, true);  // Hello and Bye, on tap0
    const std::string xaddrs = "http://10.78.0.2/onvif/device_service";

    // Started while the link has no address yet (a lease pending): the
    // service waits for it and the daemon comes as soon as it is there.
    EXPECT_EQ(shell("ip route flush dev eth0; ip addr flush dev eth0; echo flushed"), "flushed\n");
    EXPECT_EQ(shell("/etc/init.d/discovery-daemon start; echo started $?"), "started 0\n");
    EXPECT_EQ(shell("sleep 3; /etc/init.d/discovery-daemon status; echo $?"),
              "discovery-daemon is not running: waiting for the network\n3\n");
    EXPECT_EQ(shell("ip addr add 10.78.0.2/24 dev eth0 && ip route add 224.0.0.0/4 dev eth0;"
                    " echo back"), "back\n");
    double back = now_s();
    std::string hello = receive_with(listener, "discovery/Hello</wsa:Action>", 15);
    ASSERT_NE(hello, "") << console_log();
    EXPECT_NE(hello.find("<wsd:XAddrs>" + xaddrs + "</wsd:XAddrs>"), std::string::npos) << hello;
    double answered = answered_after(back, 15);
    EXPECT_GE(answered, 0) << "no answer within 15 s of the address coming back";
    printf("init script: answered %.1f s after the address came back\n", answered);
    EXPECT_EQ(shell("awk '/^Uid:/ { print $2 }' /proc/" + daemon_pid + "/status"), "101\n");

    // An unexpected end: it comes back.
    std::string killed = shell("echo " + daemon_pid + "; kill -KILL " + daemon_pid);
    double kill_time = now_s();
    answered = answered_after(kill_time, 15);
    EXPECT_GE(answered, 0) << "no answer within 15 s of SIGKILL: " << killed << console_log();
    printf("init script: answered %.1f s after SIGKILL\n", answered);
    EXPECT_NE(shell("echo " + daemon_pid), killed);

    for (const char *client : { "onvif", "node-onvif" }) {
        std::string out = command_output("cd " + interop_dir + " && timeout 60 node discover.js " +
                                         client + " 2>&1");
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << client << ": " << out;
        EXPECT_NE(out.find("\"xaddrs\":\"" + xaddrs + "\""), std::string::npos)
            << client << ": " << out;
    }
    std::string util = command_output("timeout 60 onvif-util -a 2>&1");
    EXPECT_NE(util.find("Found 1 cameras"), std::string::npos) << util;
    EXPECT_NE(util.find("10.78.0.2 ("), std::string::npos) << util;

    receive(listener, 0);
    EXPECT_EQ(shell("/etc/init.d/discovery-daemon reload; echo reloaded $?"), "reloaded 0\n");
    EXPECT_NE(receive_with(listener, "discovery/Hello</wsa:Action>", 10), "");

    receive(listener, 0);
    EXPECT_EQ(shell("/etc/init.d/discovery-daemon stop; echo stopped $?", 30), "stopped 0\n");
    EXPECT_EQ(count_with(receive(listener, 1.0), "discovery/Bye</wsa:Action>"), 1);
    EXPECT_EQ(shell("/etc/init.d/discovery-daemon status >/dev/null; echo $?"), "3\n");
    // Nothing of the service is left, and nothing starts it again.
    EXPECT_EQ(shell("sleep 12; ps -o args | grep -c '[d]iscovery-daemon'"), "0\n");
    EXPECT_LT(answered_after(now_s(), 1), 0) << "answered 12 s after stop";

    std::string log = shell("cat /var/log/messages");
    EXPECT_NE(log.find("discovery-daemon: start"), std::string::npos) << log;
    EXPECT_NE(log.find("discovery-daemon: exit"), std::string::npos) << log;
    close(listener);
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 6) {
        fprintf(stderr, "usage: %s VMLINUZ INITRAMFS HOUSESIM NATIVE_HOUSECTL INTEROP_DIR\n", argv[0]);
        return 2;
    }
    vmlinuz = argv[1];
    initramfs = argv[2];
    housesim = argv[3];
    native_housectl = argv[4];
    interop_dir = argv[5];
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
