// The daemon's status document (/run/discovery-daemon/status.json) read
// into flat pairs of a path and a value: "links[0].interface" = "eth0",
// "discoverable" = "true", "counters[1].heard_at" = "null". Strings come
// unescaped; numbers, true, false and null as written.
#pragma once

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::string, std::string>> status_fields;

/// Reads the JSON text into *out; returns "" or what is wrong with it.
std::string status_parse(const std::string &text, status_fields *out);

/// The value at `path`; `otherwise` when there is none.
std::string status_get(const status_fields &f, const std::string &path, const std::string &otherwise = "");

/// How many elements the array at `path` has.
int status_count(const status_fields &f, const std::string &path);
