// The housing's groups of values, each described once: its option letter,
// its command word, the mode words its settings take, the record's fields
// in the order the reports print them, the commands its query sends and the
// parameter keys its settings take. The record, the queries, the reports
// and the settings are all expanded from this table; adding a value to a
// group touches only the group's block here.
#pragma once

// Fields, in report order: FIELD(kind, name), kind INT, FLOAT or TEXT. The
// name is the record's field and the JSON member name.
// Steps, in the order the query sends them: ANSWER(command, parser) for an
// answer read by the group's own parser (parse_led, ...), NUMBER(command,
// pattern, field) for an answer holding one number.
// Keys, in the order an argument is tried: KEY(key, after), `after` being
// how the key's parse-failure message names the option.

// LED illuminator
#define LED_FIELDS(FIELD)                                                      \
    FIELD(TEXT, led_mode)        /* "auto", "on", "off" */                     \
    FIELD(TEXT, led_status)                                                    \
    FIELD(INT, led_power_cfg)    /* configured power, % */                     \
    FIELD(INT, led_power_real)   /* power actually applied, % */               \
    FIELD(FLOAT, led_temp)       /* degrees C */                               \
    FIELD(INT, led_lxon)         /* switched on below this illuminance, lx */  \
    FIELD(INT, led_lxoff)        /* switched off above this illuminance, lx */ \
    FIELD(INT, led_tmax)         /* temperature limit, degrees C */            \
    FIELD(INT, led_pbo)          /* power used above the limit, % */
#define LED_STEPS(ANSWER, NUMBER)                 \
    ANSWER("led\n", led)                          \
    NUMBER("led lxon\n", LUX_PATTERN, led_lxon)   \
    NUMBER("led lxoff\n", LUX_PATTERN, led_lxoff) \
    NUMBER("led pbo\n", PERCENT_PATTERN, led_pbo) \
    NUMBER("led tmax\n", DEGREES_PATTERN, led_tmax)
#define LED_KEYS(KEY)                                                                         \
    KEY("power", "lpower=") KEY("lxon", "llxon=") KEY("lxoff", "llxoff") KEY("tmax", "ltmax") \
    KEY("pbo", "lpbo=")

// Thermostat heater
#define TH_FIELDS(FIELD)                     \
    FIELD(TEXT, th_mode)   /* "on", "off" */ \
    FIELD(INT, th_power)   /* % */           \
    FIELD(INT, th_ton)     /* degrees C */   \
    FIELD(INT, th_toff)    /* degrees C */   \
    FIELD(INT, th_temp)    /* degrees C */   \
    FIELD(TEXT, th_heater)
#define TH_STEPS(ANSWER, NUMBER)                \
    ANSWER("th\n", thermostat)                  \
    NUMBER("th ton\n", DEGREES_PATTERN, th_ton) \
    NUMBER("th toff\n", DEGREES_PATTERN, th_toff)
#define TH_KEYS(KEY) KEY("power", "tpower=") KEY("ton", "tton=") KEY("toff", "ttoff")

// Preheat heater
#define PH_FIELDS(FIELD)                                                                \
    FIELD(TEXT, ph_mode)   /* "on", "off" */                                            \
    FIELD(INT, ph_power)   /* % */                                                      \
    FIELD(INT, ph_ton)     /* degrees C; above it preheat ends, the camera powers up */ \
    FIELD(INT, ph_temp)    /* degrees C */                                              \
    FIELD(TEXT, ph_heater)
#define PH_STEPS(ANSWER, NUMBER) \
    ANSWER("ph\n", preheat)      \
    NUMBER("ph ton\n", DEGREES_PATTERN, ph_ton)
#define PH_KEYS(KEY) KEY("power", "hpower=") KEY("ton", "hton=")

// Fan
#define FAN_FIELDS(FIELD)                                     \
    FIELD(TEXT, fan_mode)   /* "auto", "on", "off", "error" */ \
    FIELD(TEXT, fan_status)
#define FAN_STEPS(ANSWER, NUMBER) ANSWER("fan\n", fan)

// Camera power switch
#define CAM_FIELDS(FIELD)                                 \
    FIELD(TEXT, cam_mode)       /* "auto", "on", "off" */ \
    FIELD(TEXT, cam_status)                               \
    FIELD(INT, cam_temp)        /* degrees C */           \
    FIELD(FLOAT, cam_voltage)   /* V */                   \
    FIELD(FLOAT, cam_current)   /* mA */                  \
    FIELD(FLOAT, cam_power)     /* W */
#define CAM_STEPS(ANSWER, NUMBER) ANSWER("cam\n", camera)

// Illuminance, external temperature, supply
#define LUX_FIELDS(FIELD) FIELD(INT, lux)  /* lx */
#define LUX_STEPS(ANSWER, NUMBER) NUMBER("lux\n", LUX_PATTERN, lux)
#define TEMP_FIELDS(FIELD) FIELD(FLOAT, temp)  /* degrees C */
#define TEMP_STEPS(ANSWER, NUMBER) NUMBER("temp\n", FLOAT_DEGREES_PATTERN, temp)
#define POWER_FIELDS(FIELD) \
    FIELD(FLOAT, voltage) /* V */ FIELD(FLOAT, current) /* mA */ FIELD(FLOAT, power) /* W */
#define POWER_STEPS(ANSWER, NUMBER) ANSWER("power\n", power)

#define NO_KEYS(KEY)

// GROUP(id, letter, word, modes, FIELDS, STEPS, KEYS), in the order of the
// full report. `modes` is how many of "on", "off", "auto" the group's
// settings take, 0 for a group without settings.
#define HOUSE_GROUPS(GROUP)                                       \
    GROUP(LED, 'l', "led", 3, LED_FIELDS, LED_STEPS, LED_KEYS)    \
    GROUP(TH, 't', "th", 2, TH_FIELDS, TH_STEPS, TH_KEYS)         \
    GROUP(PH, 'h', "ph", 2, PH_FIELDS, PH_STEPS, PH_KEYS)         \
    GROUP(FAN, 'f', "fan", 3, FAN_FIELDS, FAN_STEPS, NO_KEYS)     \
    GROUP(CAM, 'c', "cam", 3, CAM_FIELDS, CAM_STEPS, NO_KEYS)     \
    GROUP(LUX, 'i', "lux", 0, LUX_FIELDS, LUX_STEPS, NO_KEYS)     \
    GROUP(TEMP, 'e', "temp", 0, TEMP_FIELDS, TEMP_STEPS, NO_KEYS) \
    GROUP(POWER, 'p', "power", 0, POWER_FIELDS, POWER_STEPS, NO_KEYS)

#define HOUSE_GROUP_ID(id, ...) GROUP_##id,
enum house_group { HOUSE_GROUPS(HOUSE_GROUP_ID) HOUSE_GROUP_COUNT };

/// What the table says of a group, with its rows in the tables of every
/// group's fields, query steps and keys, each listed in group order. The
/// row numbers are worked out by the compiler; nothing is counted by hand.
/// No pointers: in a position-independent program each would be one more
/// relocation to load.
struct house_group_info {
    char letter;          // the option letter
    char word[6];         // the command word ("led power 40", "led save"); the report's name
    unsigned char modes;  // "on" and "off", and "auto" where it is 3
    unsigned char first_field, field_count;
    unsigned char first_step, step_count;
    unsigned char first_key, key_count;
};

/// By enum house_group.
extern const struct house_group_info house_groups[HOUSE_GROUP_COUNT];

/// Expands to +1 for each row a list macro passes it: `0 LED_KEYS(HOUSE_ONE)`.
#define HOUSE_ONE(...) +1
/// Expands to nothing for each row: a list macro's unused kind of row.
#define HOUSE_NONE(...)
