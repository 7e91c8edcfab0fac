// Running the programs built for the target.
#pragma once

#include <string>
#include <vector>

/// The words that run a program built for the target: none on the build
/// machine, the emulator's command for a cross build (TARGET_EMULATOR,
/// words separated by spaces).
inline std::vector<std::string> target_runner()
{
    std::vector<std::string> words;
#ifdef TARGET_EMULATOR
    std::string all = TARGET_EMULATOR;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(' ', at);
        if (end == std::string::npos)
            end = all.size();
        if (end > at)
            words.push_back(all.substr(at, end - at));
        at = end + 1;
    }
#endif
    return words;
}

/// The same as one prefix for a shell command line ("" or "emulator ... ").
inline std::string target_runner_prefix()
{
    std::string prefix;
    for (const std::string &w : target_runner())
        prefix += w + " ";
    return prefix;
}

/// The words that run a program built for the target with `env` ("NAME=value"
/// each) added to its environment: through the emulator's own option, or
/// through env(1) on the build machine. With no `env`, target_runner().
inline std::vector<std::string> target_runner_with(const std::vector<std::string> &env)
{
    std::vector<std::string> words = target_runner();
    bool emulated = !words.empty();
    if (!emulated && !env.empty())
        words.push_back("env");
    for (const std::string &e : env) {
        if (emulated)
            words.push_back("-E");  // the emulator sets the program's environment
        words.push_back(e);
    }
    return words;
}
