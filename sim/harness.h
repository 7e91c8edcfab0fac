// Runs a command with the simulated controller at /dev/ttyS0.
//
// The command runs in a private mount namespace where the slave side of a
// fresh pseudo-terminal is bind-mounted over /dev/ttyS0 (over a private
// /dev where the machine has no /dev/ttyS0); nothing is visible to the rest
// of the machine. This process plays the controller on the master side
// until the command ends. Where a native parent has already made the
// namespace (HOUSE_TEST_NAMESPACES set, for programs under qemu-user), the
// line is mounted in that one.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "line.h"

struct sim_run_options {
    bool capture = true;        // collect standard output and error; else inherit them
    double timeout_s = 30;      // then the command is killed
    bool private_dev = false;   // always put a private /dev under the command
    bool no_device = false;     // a private /dev without /dev/ttyS0: no controller at all
    std::string input;          // standard input of the command, when capturing
};

struct sim_result {
    int status = -1;         // exit status, or 128 + signal
    bool timed_out = false;
    std::string out, err;    // when captured
    std::string received;    // every byte the controller received
    int commands = 0;        // commands it received in full
    uint64_t bytes_in = 0, bytes_out = 0;  // on the line, each way
    double seconds = 0;      // wall time of the command, from fork to exit
    double exec_seconds = 0; // from its exec, after the namespace is made, to its exit
    struct rusage usage {};  // of the command and its children
};

/// Runs `argv` (searched in PATH) against a controller holding `state`,
/// which keeps every change the command makes. A namespace or mount that
/// cannot be made ends the command with status 125 and a "housesim:" line
/// on its standard error.
sim_result sim_run(controller_state &state, const sim_faults &faults,
                   const std::vector<std::string> &argv, const sim_run_options &options = {});
