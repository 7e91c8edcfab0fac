// housesim: runs a command with a simulated housing controller at
// /dev/ttyS0, e.g.  housesim -- housectl -a; or serves the controller on a
// Unix socket for an emulated device's serial port:  housesim --socket PATH
//
// The controller keeps its state while the command runs (or while the
// socket is served), so a shell command can change a setting and see it in
// the next query.

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fcntl.h>
#include <unistd.h>

#include "harness.h"
#include "socket_line.h"

static void usage(const char *name, int status)
{
    fprintf(status == 0 ? stdout : stderr,
            "Usage: %s [options] [--] command [argument...]\n"
            "       %s [options] --socket PATH\n"
            "Runs the command with a simulated housing controller at /dev/ttyS0, or serves\n"
            "the controller on a Unix socket (an emulator's serial port connects to it)\n"
            "until SIGINT or SIGTERM.\n"
            "  --mute-from N      no echo and no answer from command N on (1 = all)\n"
            "  --mute-in-echo     ... once two bytes of command N are echoed\n"
            "  --echo-only        echo commands, never answer\n"
            "  --no-prompt        answer without the ':' prompt\n"
            "  --hangup-at N      hang up the line at the first byte of command N\n"
            "  --hangup-in-answer ... or halfway through its answer\n"
            "  --endless          the first answer repeats for ever\n"
            "  --random SEED      line noise instead of echo and answer\n"
            "  --script CMD=TEXT  answer CMD with TEXT (C escapes: \\r \\n \\\\ \\xHH)\n"
            "  --paced            send at 9600 baud\n"
            "  --private-dev      give the command a private /dev\n"
            "  --received         print the bytes received, C-escaped, on standard error\n"
            "  --stats            print line and time figures on standard error\n"
            "  --socket PATH      serve on a Unix socket; print \"connected\" at each connection\n"
            "  --record FILE      with --socket: append every byte received to FILE\n"
            "  --help             print this text\n",
            name, name);
    exit(status);
}

static std::string unescape(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        p++;
        switch (*p) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            char hex[3] = { p[1], p[1] ? p[2] : (char)0, 0 };
            out += (char)strtol(hex, NULL, 16);
            p += strlen(hex);
            break;
        }
        default: out += *p; break;
        }
    }
    return out;
}

static std::string escape(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        char tmp[8];
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (c < 0x20 || c >= 0x7f) { snprintf(tmp, sizeof tmp, "\\x%02x", c); out += tmp; }
        else out += (char)c;
    }
    return out;
}

int main(int argc, char **argv)
{
    enum { MUTE_FROM = 256, MUTE_IN_ECHO, ECHO_ONLY, NO_PROMPT, HANGUP_AT, HANGUP_IN_ANSWER, ENDLESS, RANDOM,
           SCRIPT, PACED, PRIVATE_DEV, RECEIVED, STATS, SOCKET, RECORD, HELP };
    static const struct option long_options[] = {
        { "mute-from", required_argument, NULL, MUTE_FROM },
        { "mute-in-echo", no_argument, NULL, MUTE_IN_ECHO },
        { "echo-only", no_argument, NULL, ECHO_ONLY },
        { "no-prompt", no_argument, NULL, NO_PROMPT },
        { "hangup-at", required_argument, NULL, HANGUP_AT },
        { "hangup-in-answer", no_argument, NULL, HANGUP_IN_ANSWER },
        { "endless", no_argument, NULL, ENDLESS },
        { "random", required_argument, NULL, RANDOM },
        { "script", required_argument, NULL, SCRIPT },
        { "paced", no_argument, NULL, PACED },
        { "private-dev", no_argument, NULL, PRIVATE_DEV },
        { "received", no_argument, NULL, RECEIVED },
        { "stats", no_argument, NULL, STATS },
        { "socket", required_argument, NULL, SOCKET },
        { "record", required_argument, NULL, RECORD },
        { "help", no_argument, NULL, HELP },
        { NULL, 0, NULL, 0 },
    };
    sim_faults faults;
    sim_run_options options;
    bool show_received = false, show_stats = false;
    const char *socket_path = NULL, *record_path = NULL;
    int opt;

    options.capture = false;
    options.timeout_s = 3600;
    while ((opt = getopt_long(argc, argv, "+", long_options, NULL)) != -1) {
        switch (opt) {
        case MUTE_FROM: faults.mute_from = atoi(optarg); break;
        case MUTE_IN_ECHO: faults.mute_in_echo = true; break;
        case ECHO_ONLY: faults.echo_only = true; break;
        case NO_PROMPT: faults.no_prompt = true; break;
        case HANGUP_AT: faults.hangup_at = atoi(optarg); break;
        case HANGUP_IN_ANSWER: faults.hangup_in_answer = true; break;
        case ENDLESS: faults.endless = true; break;
        case RANDOM: faults.random_bytes = true; faults.seed = (unsigned)atoi(optarg); break;
        case SCRIPT: {
            const char *eq = strchr(optarg, '=');
            if (!eq)
                usage(argv[0], 2);
            faults.script[std::string(optarg, (size_t)(eq - optarg))] = unescape(eq + 1);
            break;
        }
        case PACED: faults.paced = true; break;
        case PRIVATE_DEV: options.private_dev = true; break;
        case RECEIVED: show_received = true; break;
        case STATS: show_stats = true; break;
        case SOCKET: socket_path = optarg; break;
        case RECORD: record_path = optarg; break;
        case HELP: usage(argv[0], 0); break;
        default: usage(argv[0], 2);
        }
    }
    controller_state state = controller_defaults();
    if (socket_path != NULL) {
        if (optind < argc)
            usage(argv[0], 2);
        int record = -1;
        if (record_path != NULL &&
            (record = open(record_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) < 0) {
            perror(record_path);
            return 1;
        }
        return sim_serve_socket(state, faults, socket_path, record);
    }
    if (optind >= argc)
        usage(argv[0], 2);

    sim_result r = sim_run(state, faults, std::vector<std::string>(argv + optind, argv + argc),
                           options);
    if (show_received)
        fprintf(stderr, "received: %s\n", escape(r.received).c_str());
    if (show_stats)
        fprintf(stderr,
                "line bytes in %llu out %llu, commands %d, wall %.6f s, user %.6f s, sys %.6f s, "
                "max rss %ld KiB\n",
                (unsigned long long)r.bytes_in, (unsigned long long)r.bytes_out, r.commands,
                r.seconds, (double)r.usage.ru_utime.tv_sec + r.usage.ru_utime.tv_usec / 1e6,
                (double)r.usage.ru_stime.tv_sec + r.usage.ru_stime.tv_usec / 1e6,
                r.usage.ru_maxrss);
    return r.status;
}
