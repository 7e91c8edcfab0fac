#include "answers.h"

#include <stdio.h>
#include <string.h>

#include "tty.h"

// A "%s" word can be as long as the whole answer, so each one is scanned
// into a buffer of the answer's size and only then cut to the field.
typedef char answer_word[TTY_ANSWER_SIZE];

void keep_word(char field[HOUSE_TEXT_SIZE], const char *word)
{
    size_t len = 0;
    for (; len < HOUSE_TEXT_SIZE - 1 && word[len] != '\0'; len++)
        field[len] = word[len];
    field[len] = '\0';
}

int starts_with(const char *text, const char *prefix)
{
    while (*prefix != '\0')
        if (*text++ != *prefix++)
            return 0;
    return 1;
}

static int is_word(const char *field, const char *word)
{
    return strcmp(field, word) == 0;
}

int parse_led(struct house_status *s, const char *answer, int *count)
{
    answer_word mode, status;

    // Automatic mode shows two words: "AUTO" and the LED's own state.
    int n = sscanf(answer, "LED: %s %s Power=%i%% (%i%%) Temp=%f'C", mode, status,
                   &s->led_power_cfg, &s->led_power_real, &s->led_temp);
    if (n >= 1)
        keep_word(s->led_mode, mode);
    if (n >= 2)
        keep_word(s->led_status, status);
    if (n == 5) {
        keep_word(s->led_mode, "auto");
        *count = n;
        return 1;
    }

    // One word: the mode, from which the state follows.
    s->led_mode[0] = '\0';
    n = sscanf(answer, "LED: %s Power=%i%% (%i%%) Temp=%f'C", mode, &s->led_power_cfg,
               &s->led_power_real, &s->led_temp);
    if (n >= 1)
        keep_word(s->led_mode, mode);
    *count = n;
    if (n != 4)
        return 0;
    int on = is_word(s->led_mode, "ON");
    keep_word(s->led_mode, on ? "on" : "off");
    keep_word(s->led_status, on ? "ON" : "OFF");
    return 1;
}

// The thermostat and the preheat heater answer in the same form.
static int parse_heater(const char *pattern, const char *answer, char *mode, int *power,
                        int *temp, char *heater, int *count)
{
    answer_word mode_word, heater_word;

    int n = sscanf(answer, pattern, mode_word, power, temp, heater_word);
    if (n >= 1)
        keep_word(mode, mode_word);
    if (n >= 4)
        keep_word(heater, heater_word);
    *count = n;
    if (n != 4)
        return 0;
    keep_word(mode, is_word(mode, "ON") ? "on" : "off");
    return 1;
}

int parse_thermostat(struct house_status *s, const char *answer, int *count)
{
    return parse_heater("Thermostat: %s Power=%i%% Temp=%i'C Heater: %s", answer, s->th_mode,
                        &s->th_power, &s->th_temp, s->th_heater, count);
}

int parse_preheat(struct house_status *s, const char *answer, int *count)
{
    return parse_heater("Preheat: %s Power=%i%% Temp=%i'C Heater: %s", answer, s->ph_mode,
                        &s->ph_power, &s->ph_temp, s->ph_heater, count);
}

int parse_fan(struct house_status *s, const char *answer, int *count)
{
    answer_word mode, status;

    int n = sscanf(answer, "FAN: %s %s", mode, status);
    if (n >= 1)
        keep_word(s->fan_mode, mode);
    if (n >= 2)
        keep_word(s->fan_status, status);
    *count = n;
    if (n != 2)
        return 0;

    // Forced on or off, the controller's second word says nothing new.
    if (is_word(s->fan_mode, "Auto")) {
        keep_word(s->fan_mode, "auto");
    } else if (is_word(s->fan_mode, "OFF")) {
        keep_word(s->fan_mode, "off");
        keep_word(s->fan_status, "OFF");
    } else if (is_word(s->fan_mode, "ON")) {
        keep_word(s->fan_mode, "on");
        keep_word(s->fan_status, "ON");
    } else {
        keep_word(s->fan_mode, "error");
    }
    return 1;
}

int parse_camera(struct house_status *s, const char *answer, int *count)
{
    answer_word mode, status;

    // Automatic mode shows two words: "AUTO" and the power switch's state.
    int n = sscanf(answer, "CAM: %s %s Temp=%i'C Vcam=%fV Icam=%fmA Pcam=%fW", mode, status,
                   &s->cam_temp, &s->cam_voltage, &s->cam_current, &s->cam_power);
    if (n >= 1)
        keep_word(s->cam_mode, mode);
    if (n >= 2)
        keep_word(s->cam_status, status);
    if (n == 6) {
        keep_word(s->cam_mode, "auto");
        *count = n;
        return 1;
    }

    // One word: the switch's state, from which the mode follows.
    s->cam_mode[0] = '\0';
    n = sscanf(answer, "CAM: %s Temp=%i'C Vcam=%fV Icam=%fmA Pcam=%fW", status, &s->cam_temp,
               &s->cam_voltage, &s->cam_current, &s->cam_power);
    if (n >= 1)
        keep_word(s->cam_status, status);
    *count = n;
    if (n != 5)
        return 0;
    keep_word(s->cam_mode, is_word(s->cam_status, "ON") ? "on" : "off");
    return 1;
}

int parse_power(struct house_status *s, const char *answer, int *count)
{
    *count = sscanf(answer, "V=%fV I=%fmA P=%fW", &s->voltage, &s->current, &s->power);
    return *count == 3;
}

int parse_int(const char *answer, const char *pattern, int *value, int *count)
{
    *count = sscanf(answer, pattern, value);
    return *count == 1;
}

int parse_float(const char *answer, const char *pattern, float *value, int *count)
{
    *count = sscanf(answer, pattern, value);
    return *count == 1;
}
