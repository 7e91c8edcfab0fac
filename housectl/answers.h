// Matching of the controller's answers, apart from the line, so every
// answer form can be checked on plain strings.
//
// Each parse_* matches one answer (as tty_command leaves it: line ends
// dropped, prompt kept) against its fixed sscanf pattern and stores what it
// reads in *s, normalising the mode words. It returns 1 when the pattern
// matched and 0 otherwise, and puts in *count the sscanf result that decided
// (for the LED and camera, that of the one-word form when the two-word form
// failed). An answer is NUL-terminated within TTY_ANSWER_SIZE bytes, as
// tty_command leaves it. Text fields keep at most their first 9 characters; every word is
// scanned whole first, so a long word cannot make a pattern match that would
// not match otherwise.
#pragma once

#include "house_status.h"

int parse_led(struct house_status *s, const char *answer, int *count);
int parse_thermostat(struct house_status *s, const char *answer, int *count);
int parse_preheat(struct house_status *s, const char *answer, int *count);
int parse_fan(struct house_status *s, const char *answer, int *count);
int parse_camera(struct house_status *s, const char *answer, int *count);
int parse_power(struct house_status *s, const char *answer, int *count);

/// Matches a one-number answer: `pattern` holds exactly one "%i".
int parse_int(const char *answer, const char *pattern, int *value, int *count);
/// Matches a one-number answer: `pattern` holds exactly one "%f".
int parse_float(const char *answer, const char *pattern, float *value, int *count);

/// Whether `text` begins with `prefix`.
int starts_with(const char *text, const char *prefix);

/// Stores at most the first 9 characters of `word` in a text field.
void keep_word(char field[HOUSE_TEXT_SIZE], const char *word);
