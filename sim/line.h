// The controller's end of the serial line: the master side of a
// pseudo-terminal whose slave stands in for /dev/ttyS0.
//
// Like the controller, it echoes every byte as it arrives, takes CR or LF
// (or both) as the end of a command, and answers with the text, CR LF and
// the ":" prompt. It sends nothing before a command byte has arrived.
// Faults make it misbehave in the ways a real line does.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "controller.h"

struct sim_faults {
    int mute_from = 0;          // from this command on (1 = the first), no echo and no answer
    bool mute_in_echo = false;  // ... once two bytes of that command are echoed (a line cut)
    bool echo_only = false;     // echo, never an answer
    bool no_prompt = false;     // answers end in CR LF without the prompt
    int hangup_at = 0;          // hang up the line at this command (1 = the first) ...
    bool hangup_in_answer = false;  // ... after its echo and half its answer, not at its first byte
    bool endless = false;       // the first answer repeats for ever, without a prompt
    bool random_bytes = false;  // noise instead of echo and answer
    unsigned seed = 1;          // of the noise
    bool paced = false;         // send at 9600 baud, 10 bits a byte
    // Raw bytes sent after the echo instead of the controller's answer, by
    // command (the line without its line end). The text carries its own
    // line ends and prompt, or none.
    std::map<std::string, std::string> script;
};

struct sim_line {
    int fd = -1;  // pseudo-terminal master, non-blocking; -1 once hung up
    controller_state *state = nullptr;
    const sim_faults *faults = nullptr;
    std::string received;  // every byte that came from the line, as it came
    std::string pending;   // bytes waiting to go out
    std::string command;   // the command being received
    int commands = 0;      // commands received in full
    char last = 0;         // the byte received before
    bool hangup_after_send = false;
    double hangup_at_s = 0;
    std::string endless_text;
    uint64_t bytes_in = 0, bytes_out = 0;
    double next_send_s = 0;  // pacing: when the next byte may go
    unsigned noise;
};

/// Seconds on the monotonic clock.
double sim_now();

/// Takes bytes received from the line: records, echoes, answers.
void sim_line_input(sim_line &line, const char *bytes, size_t n);

/// Sends what is due. Returns -1 when nothing waits, 0 when the line is
/// full (wait until it takes more), or the seconds until the next paced
/// byte is due.
double sim_line_output(sim_line &line);

/// Closes the master: the slave side sees a hang-up.
void sim_line_hangup(sim_line &line);
