// The housing's last known state and the eight queries that read it from
// the controller, one group of values each.
#pragma once

#include "house_groups.h"

/// Size of a text field: at most 9 characters and the terminating NUL.
enum { HOUSE_TEXT_SIZE = 10 };

#define HOUSE_FIELD_TYPE_INT(name) int name;
#define HOUSE_FIELD_TYPE_FLOAT(name) float name;
#define HOUSE_FIELD_TYPE_TEXT(name) char name[HOUSE_TEXT_SIZE];
#define HOUSE_FIELD_MEMBER(kind, name) HOUSE_FIELD_TYPE_##kind(name)
#define HOUSE_GROUP_MEMBERS(id, letter, word, modes, FIELDS, ...) \
    FIELDS(HOUSE_FIELD_MEMBER)

/// Every group's fields, as the group table lists them.
struct house_status {
    HOUSE_GROUPS(HOUSE_GROUP_MEMBERS)
};

/// The process-wide record, zero at start, written only by the queries.
extern struct house_status house_status;

/// Each query sends its group's commands in a fixed order, matches every
/// answer and stores the values in house_status, then returns 0. An answer
/// that does not match ends the process with status 1 and a "can't parse"
/// message; the group's later commands are then not sent.
int read_group(enum house_group group);
static inline int read_led(void) { return read_group(GROUP_LED); }
static inline int read_thermostat(void) { return read_group(GROUP_TH); }
static inline int read_preheat(void) { return read_group(GROUP_PH); }
static inline int read_fan(void) { return read_group(GROUP_FAN); }
static inline int read_camera(void) { return read_group(GROUP_CAM); }
static inline int read_lux(void) { return read_group(GROUP_LUX); }
static inline int read_temp(void) { return read_group(GROUP_TEMP); }
static inline int read_power(void) { return read_group(GROUP_POWER); }
