// Every controller answer form, fed whatever the line may carry.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "answers.h"
#include "reports.h"
#include "tty.h"
#include "utf8_check.h"

// The record between guards that no parser may touch.
struct guarded {
    unsigned char before[32];
    struct house_status s;
    unsigned char after[32];
};

// A kept text stays in its field and prints as valid UTF-8 inside a valid
// JSON string, empty only when the text is.
static void check_text(const char *field)
{
    if (strnlen(field, HOUSE_TEXT_SIZE) == HOUSE_TEXT_SIZE)
        abort();
    char json[HOUSE_TEXT_SIZE * 6];
    json_text(json, sizeof json, field);
    if (!valid_utf8(json, strlen(json)) || !valid_json_string_body(json) ||
        (field[0] == '\0') != (json[0] == '\0'))
        abort();
}

// What sscanf returned, as a parser reports it: -1 up to its pattern's
// conversions.
static void check_count(int count)
{
    if (count < -1 || count > 6)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // As tty_command leaves an answer: at most 1023 bytes, NUL-terminated.
    char answer[TTY_ANSWER_SIZE];
    size_t len = size < sizeof answer - 1 ? size : sizeof answer - 1;
    memcpy(answer, data, len);
    answer[len] = '\0';

    struct guarded g;
    memset(&g, 0x5a, sizeof g);
    memset(&g.s, 0, sizeof g.s);
    int count, value;
    float f;
    for (auto parse : { parse_led, parse_thermostat, parse_preheat, parse_fan, parse_camera,
                        parse_power }) {
        parse(&g.s, answer, &count);
        check_count(count);
    }
    for (const char *pattern : { "%i lx", "%i%%", "%i'C" }) {
        parse_int(answer, pattern, &value, &count);
        check_count(count);
    }
    parse_float(answer, "%f'C", &f, &count);
    check_count(count);

    for (unsigned char b : g.before)
        if (b != 0x5a)
            abort();
    for (unsigned char b : g.after)
        if (b != 0x5a)
            abort();
    for (const char *t : { g.s.led_mode, g.s.led_status, g.s.th_mode, g.s.th_heater, g.s.ph_mode,
                           g.s.ph_heater, g.s.fan_mode, g.s.fan_status, g.s.cam_mode,
                           g.s.cam_status })
        check_text(t);
    return 0;
}
