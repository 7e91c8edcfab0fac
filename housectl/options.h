// What each option of the command line does: the front end's actions,
// apart from the option loop, so they are compiled with the operations
// they call.
#pragma once

/// Carries out option `opt` (a letter of the option string) with its
/// attached argument `arg` (NULL without one): a show option prints its
/// group (-a all of them), with an argument -l, -t, -h, -f and -c change a
/// setting, -d restores the defaults, -r reboots the housing and -q
/// detects it. Returns when the action is done; -q and every failure end
/// the process.
void run_option(int opt, const char *arg);

/// Prints the help text on standard error, naming the program `name`, and
/// ends the process with status 1.
[[noreturn]] void usage(const char *name);
