// JSON reports of the housing's state on standard output.
//
// A group report runs its query and prints one named member ("led" : {...})
// or, for illuminance and external temperature, a single member line. The
// full report prints one JSON object holding every value. All values are
// printed as strings; integers in decimal, floats with six decimals, text
// with JSON escapes for '"', '\\', control bytes and every byte that is not
// part of a well-formed UTF-8 sequence (as "\u00XX"); well-formed UTF-8 is
// printed as it is, so the output is always valid UTF-8. A query that fails
// ends the process after what was already printed.
#pragma once

#include "house_status.h"

/// The report of one query's group.
void show_report(enum house_query query);
void show_led(void);
void show_thermostat(void);
void show_preheat(void);
void show_fan(void);
void show_camera(void);
void show_lux(void);
void show_temp(void);
void show_power(void);
void show_all(void);

/// Writes `text` into `out` (room for `size` bytes) as the inside of a JSON
/// string; cuts at a whole escape or character when room runs out. Returns
/// `out`.
char *json_text(char *out, unsigned size, const char *text);
