// Changing the controller's settings.
//
// Each operation returns only when its commands are sent; a rejected
// argument or a missing acknowledgement ends the process with status 1 and
// a message on standard error. `buffer` is the caller's TTY_ANSWER_SIZE
// command/answer buffer: commands with an argument are composed in it and
// sent with it as their own answer buffer.
#pragma once

#include "house_groups.h"

/// A mode word ("on", "off", "auto" where the group has it) is sent with the
/// group's save command, then "OK" is printed. A parameter ("power=40" and
/// the group's other keys; the number in C notation, any base) is sent in
/// decimal; its answer must end in the prompt; then "OK" is printed and the
/// save command sent.
void settings_apply(enum house_group group, const char *arg, char *buffer);
static inline void set_led(const char *arg, char *buf) { settings_apply(GROUP_LED, arg, buf); }
static inline void set_thermostat(const char *arg, char *buf) { settings_apply(GROUP_TH, arg, buf); }
static inline void set_preheat(const char *arg, char *buf) { settings_apply(GROUP_PH, arg, buf); }
static inline void set_fan(const char *arg, char *buf) { settings_apply(GROUP_FAN, arg, buf); }
static inline void set_camera(const char *arg, char *buf) { settings_apply(GROUP_CAM, arg, buf); }

/// Loads the controller's default settings, confirming its question with
/// "y", and prints "OK" once the controller reports them loaded.
void restore_defaults(char *buffer);

/// Prints "buy buy..." and sends the reboot command without waiting.
void reboot_house(char *buffer);

// The pieces of a settings change that need no line.

enum setting_kind {
    SETTING_MODE,       // a mode word
    SETTING_PARAM,      // a parameter key with its number
    SETTING_UNKNOWN,    // neither: the option's unknown-command message applies
    SETTING_MALFORMED,  // a key whose number cannot be read: its parse-failure message applies
};

struct setting_request {
    enum setting_kind kind;
    int count;            // what sscanf returned for a parameter's number
    int value;            // the parameter, 0 when it could not be read
    int option;           // the option letter
    const char *word;     // the group's command word ("led", "th", ...)
    const char *key;      // the parameter's key, NULL for the other kinds
    const char *after;    // how a parse failure names the option ("lpower="), or NULL
};

/// Reads the argument of a group's settings option (-l, -t, -h, -f, -c):
/// mode words first, compared whole and case-sensitively, then the option's
/// keys in order, each compared whole at the start of the argument and
/// followed by "=" and a number in C notation. Returns the kind, also stored
/// in req->kind.
enum setting_kind settings_parse(enum house_group group, const char *arg,
                                struct setting_request *req);

/// Composes the command for a request of kind SETTING_MODE or SETTING_PARAM
/// into `buffer` (TTY_ANSWER_SIZE bytes), the number in decimal.
void settings_command(const char *arg, const struct setting_request *req, char *buffer);

/// Ends the process with the message for a request of kind SETTING_UNKNOWN
/// or SETTING_MALFORMED.
[[noreturn]] void settings_fail(const char *arg, const struct setting_request *req);

/// Whether the controller acknowledged a parameter command: its answer is
/// not empty and ends in the prompt ":".
int settings_acknowledged(const char *answer);
