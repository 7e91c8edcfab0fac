// Whole files and command output as strings, for the tests.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

/// The whole content of `path`; "" when it cannot be read.
inline std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "r");
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    if (f)
        fclose(f);
    return text;
}

/// Writes `text` as the whole of `path`, making its directory; whether it could.
inline bool write_file(const std::string &path, const std::string &text)
{
    std::string dir = path.substr(0, path.rfind('/'));
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0)
        return false;
    FILE *f = fopen(path.c_str(), "w");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    return f && fclose(f) == 0 && ok;
}

/// What the shell command `command` prints on standard output.
inline std::string command_output(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p)
        pclose(p);
    return out;
}
