#include "line.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

static const double byte_time_s = 10.0 / 9600;  // start bit, 8 data bits, stop bit

double sim_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void sim_line_hangup(sim_line &line)
{
    if (line.fd >= 0)
        close(line.fd);
    line.fd = -1;
    line.pending.clear();
    line.endless_text.clear();
}

static bool muted(const sim_line &line)
{
    const sim_faults &f = *line.faults;
    if (f.mute_from == 0 || line.commands + 1 < f.mute_from)
        return false;
    return line.commands + 1 > f.mute_from || !f.mute_in_echo || line.command.size() >= 2;
}

static std::string noise(sim_line &line)
{
    unsigned len = rand_r(&line.noise) % 300;
    std::string bytes;
    for (unsigned i = 0; i < len; i++)
        bytes += (char)(rand_r(&line.noise) & 0xff);
    return bytes;
}

static void answer_command(sim_line &line, const std::string &command)
{
    const sim_faults &f = *line.faults;
    line.commands++;
    if (f.echo_only)
        return;
    if (f.random_bytes) {
        line.pending += noise(line);
        return;
    }

    std::string text;
    auto scripted = f.script.find(command);
    if (scripted != f.script.end()) {
        text = scripted->second;
    } else {
        bool prompt;
        text = controller_answer(*line.state, command, &prompt);
        if (f.endless)
            text += " ";  // repeated, never a prompt
        else if (prompt)
            text += f.no_prompt ? "\r\n" : "\r\n:";
    }

    if (f.hangup_at == line.commands) {
        line.pending += text.substr(0, text.size() / 2);
        line.hangup_after_send = true;
    } else if (f.endless) {
        line.endless_text = text.empty() ? std::string("x") : text;
    } else {
        line.pending += text;
    }
}

// A whole command has arrived: the controller answers it, unless the line
// is muted, when it is only counted.
static void end_command(sim_line &line, bool quiet)
{
    if (quiet)
        line.commands++;
    else
        answer_command(line, line.command);
    line.command.clear();
}

void sim_line_input(sim_line &line, const char *bytes, size_t n)
{
    for (size_t i = 0; i < n && line.fd >= 0; i++) {
        char c = bytes[i];
        line.received += c;
        line.bytes_in++;

        if (line.faults->hangup_at == line.commands + 1 && !line.faults->hangup_in_answer) {
            sim_line_hangup(line);
            return;
        }
        bool quiet = muted(line);
        if (!quiet && !line.faults->random_bytes)
            line.pending += c;

        char before = line.last;
        line.last = c;
        if (c == '\n' && before == '\r')
            continue;  // the LF of a CR LF pair
        if (c == '\r' || c == '\n') {
            end_command(line, quiet);
            continue;
        }
        line.command += c;
        // The defaults question is answered with a lone "y".
        if (line.state->asked_default && line.command == "y")
            end_command(line, quiet);
    }
}

double sim_line_output(sim_line &line)
{
    for (;;) {
        if (line.fd < 0)
            return -1;
        if (line.pending.empty() && !line.endless_text.empty())
            line.pending = line.endless_text;
        if (line.pending.empty()) {
            if (!line.hangup_after_send)
                return -1;
            // A hang-up throws away what the other side has not read yet:
            // give it time to read, but less than its 100 ms of silence.
            double now = sim_now();
            if (line.hangup_at_s == 0)
                line.hangup_at_s = now + 0.05;
            if (now < line.hangup_at_s)
                return line.hangup_at_s - now;
            sim_line_hangup(line);
            return -1;
        }

        size_t len = line.pending.size();
        if (line.faults->paced) {
            double now = sim_now();
            if (now < line.next_send_s)
                return line.next_send_s - now;
            // An idle line does not save up time for a burst.
            if (now > line.next_send_s + byte_time_s)
                line.next_send_s = now;
            line.next_send_s += byte_time_s;
            len = 1;
        }
        ssize_t sent = write(line.fd, line.pending.data(), len);
        if (sent < 0 && errno == EAGAIN)
            return 0;
        if (sent <= 0) {
            line.pending.clear();  // the line is gone; the run will end
            return -1;
        }
        line.pending.erase(0, (size_t)sent);
        line.bytes_out += (uint64_t)sent;
    }
}
