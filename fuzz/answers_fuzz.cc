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
// JSON string.
static void check_text(const char *field)
{
    if (strnlen(field, HOUSE_TEXT_SIZE) == HOUSE_TEXT_SIZE)
        abort();
    char json[HOUSE_TEXT_SIZE * 6];
    json_text(json, sizeof json, field);
    if (!valid_utf8(json, strlen(json)) || !valid_json_string_body(json))
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
    parse_led(&g.s, answer, &count);
    parse_thermostat(&g.s, answer, &count);
    parse_preheat(&g.s, answer, &count);
    parse_fan(&g.s, answer, &count);
    parse_camera(&g.s, answer, &count);
    parse_power(&g.s, answer, &count);
    for (const char *pattern : { "%i lx", "%i%%", "%i'C" })
        parse_int(answer, pattern, &value, &count);
    parse_float(answer, "%f'C", &f, &count);

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
