// Runs the built housectl against the simulated controller.
#pragma once

#include <string>
#include <vector>

#include "harness.h"
#include "target_runner.h"

static const std::string housectl_path = HOUSECTL_PATH;

/// Runs housectl with `args`; `state` keeps the controller's settings
/// across runs when given.
inline sim_result housectl(const std::vector<std::string> &args, const sim_faults &faults = {},
                           controller_state *state = nullptr, const sim_run_options &options = {})
{
    controller_state fresh = controller_defaults();
    std::vector<std::string> argv = target_runner();
    argv.push_back(housectl_path);
    argv.insert(argv.end(), args.begin(), args.end());
    return sim_run(state ? *state : fresh, faults, argv, options);
}

/// The message housectl's fatal errors end with on standard error.
inline std::string fatal(const std::string &message)
{
    return housectl_path + ": " + message + "\n";
}
