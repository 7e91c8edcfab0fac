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

/// Prints one group's own report from the record, as its query left it.
void print_group(enum house_group group);

/// Each runs its group's query and prints the group's report.
static inline void show_led(void) { read_led(); print_group(GROUP_LED); }
static inline void show_thermostat(void) { read_thermostat(); print_group(GROUP_TH); }
static inline void show_preheat(void) { read_preheat(); print_group(GROUP_PH); }
static inline void show_fan(void) { read_fan(); print_group(GROUP_FAN); }
static inline void show_camera(void) { read_camera(); print_group(GROUP_CAM); }
static inline void show_lux(void) { read_lux(); print_group(GROUP_LUX); }
static inline void show_temp(void) { read_temp(); print_group(GROUP_TEMP); }
static inline void show_power(void) { read_power(); print_group(GROUP_POWER); }

/// Runs every query and prints one JSON object with all their values.
void show_all(void);

/// Writes `text` into `out` (room for `size` bytes) as the inside of a JSON
/// string; cuts at a whole escape or character when room runs out. Returns
/// `out`.
char *json_text(char *out, unsigned size, const char *text);
