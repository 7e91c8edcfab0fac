// Changing the controller's settings.
//
// Each operation returns only when its commands are sent; a rejected
// argument or a missing acknowledgement ends the process with status 1 and
// a message on standard error. `buffer` is the caller's TTY_ANSWER_SIZE
// command/answer buffer: commands with an argument are composed in it and
// sent with it as their own answer buffer.
#pragma once

/// A mode word ("on", "off", "auto" where the group has it) is sent with the
/// group's save command, then "OK" is printed. A parameter ("power=40" and
/// the group's other keys; the number in C notation, any base) is sent in
/// decimal; its answer must end in the prompt; then "OK" is printed and the
/// save command sent.
void set_led(const char *arg, char *buffer);
void set_thermostat(const char *arg, char *buffer);
void set_preheat(const char *arg, char *buffer);
void set_fan(const char *arg, char *buffer);
void set_camera(const char *arg, char *buffer);

/// Loads the controller's default settings, confirming its question with
/// "y", and prints "OK" once the controller reports them loaded.
void restore_defaults(char *buffer);

/// Prints "buy buy..." and sends the reboot command without waiting.
void reboot_house(char *buffer);
