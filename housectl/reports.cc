#include "reports.h"

#include <stddef.h>
#include <stdio.h>

#include "house_status.h"

enum field_kind { FIELD_INT, FIELD_FLOAT, FIELD_TEXT };

struct report_field {
    const char *key;  // the JSON member name is the record's field name
    enum field_kind kind;
    size_t offset;
};

#define INT_FIELD(f) { #f, FIELD_INT, offsetof(struct house_status, f) }
#define FLOAT_FIELD(f) { #f, FIELD_FLOAT, offsetof(struct house_status, f) }
#define TEXT_FIELD(f) { #f, FIELD_TEXT, offsetof(struct house_status, f) }

struct report_group {
    const char *name;  // NULL: the group is printed as its bare member lines
    int (*query)(void);
    const struct report_field *fields;
    size_t count;
};

static const struct report_field led_fields[] = {
    TEXT_FIELD(led_mode), TEXT_FIELD(led_status), INT_FIELD(led_power_cfg),
    INT_FIELD(led_power_real), FLOAT_FIELD(led_temp), INT_FIELD(led_lxon),
    INT_FIELD(led_lxoff), INT_FIELD(led_tmax), INT_FIELD(led_pbo),
};
static const struct report_field th_fields[] = {
    TEXT_FIELD(th_mode), INT_FIELD(th_power), INT_FIELD(th_ton),
    INT_FIELD(th_toff), INT_FIELD(th_temp), TEXT_FIELD(th_heater),
};
static const struct report_field ph_fields[] = {
    TEXT_FIELD(ph_mode), INT_FIELD(ph_power), INT_FIELD(ph_ton),
    INT_FIELD(ph_temp), TEXT_FIELD(ph_heater),
};
static const struct report_field fan_fields[] = {
    TEXT_FIELD(fan_mode), TEXT_FIELD(fan_status),
};
static const struct report_field cam_fields[] = {
    TEXT_FIELD(cam_mode), TEXT_FIELD(cam_status), INT_FIELD(cam_temp),
    FLOAT_FIELD(cam_voltage), FLOAT_FIELD(cam_current), FLOAT_FIELD(cam_power),
};
static const struct report_field lux_fields[] = { INT_FIELD(lux) };
static const struct report_field temp_fields[] = { FLOAT_FIELD(temp) };
static const struct report_field power_fields[] = {
    FLOAT_FIELD(voltage), FLOAT_FIELD(current), FLOAT_FIELD(power),
};

#define GROUP(name, query, fields) { name, query, fields, sizeof fields / sizeof fields[0] }

// In the order of the full report.
static const struct report_group groups[] = {
    GROUP("led", read_led, led_fields),
    GROUP("th", read_thermostat, th_fields),
    GROUP("ph", read_preheat, ph_fields),
    GROUP("fan", read_fan, fan_fields),
    GROUP("cam", read_camera, cam_fields),
    GROUP(NULL, read_lux, lux_fields),
    GROUP(NULL, read_temp, temp_fields),
    GROUP("power", read_power, power_fields),
};
enum { GROUP_LED, GROUP_TH, GROUP_PH, GROUP_FAN, GROUP_CAM, GROUP_LUX, GROUP_TEMP, GROUP_POWER,
       GROUP_COUNT };

// Length of the well-formed UTF-8 sequence at `p`, or 0: no overlong
// forms, no surrogates, nothing above U+10FFFF, no sequence cut short.
static unsigned utf8_length(const unsigned char *p)
{
    unsigned len;
    unsigned char lo = 0x80, hi = 0xbf;  // the bounds of the second byte

    if (p[0] >= 0xc2 && p[0] <= 0xdf)
        len = 2;
    else if (p[0] >= 0xe0 && p[0] <= 0xef)
        len = 3;
    else if (p[0] >= 0xf0 && p[0] <= 0xf4)
        len = 4;
    else
        return 0;
    if (p[0] == 0xe0)
        lo = 0xa0;
    else if (p[0] == 0xed)
        hi = 0x9f;
    else if (p[0] == 0xf0)
        lo = 0x90;
    else if (p[0] == 0xf4)
        hi = 0x8f;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (unsigned i = 2; i < len; i++)
        if (p[i] < 0x80 || p[i] > 0xbf)
            return 0;
    return len;
}

char *json_text(char *out, unsigned size, const char *text)
{
    static const char hex[] = "0123456789abcdef";
    unsigned pos = 0;

    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        char esc[7];
        const char *piece = esc;
        unsigned len = 0;
        if (*p == '"' || *p == '\\') {
            esc[len++] = '\\';
            esc[len++] = (char)*p;
        } else if (*p >= 0x80 && (len = utf8_length(p)) > 0) {
            // Well-formed UTF-8 from the controller is text as it stands.
            piece = (const char *)p;
            p += len - 1;
        } else if (*p < 0x20 || *p >= 0x80) {
            // Control bytes, and bytes that are no part of a well-formed
            // sequence (line noise, a character cut by the field's length),
            // are shown as the Latin-1 character so the output stays UTF-8.
            esc[len++] = '\\';
            esc[len++] = 'u';
            esc[len++] = '0';
            esc[len++] = '0';
            esc[len++] = hex[*p >> 4];
            esc[len++] = hex[*p & 15];
        } else {
            esc[len++] = (char)*p;
        }
        if (pos + len >= size)
            break;
        for (unsigned i = 0; i < len; i++)
            out[pos++] = piece[i];
    }
    out[pos] = '\0';
    return out;
}

// One member line's key and value, without the separator after it.
static void print_member(const struct report_field *f)
{
    const char *field = (const char *)&house_status + f->offset;
    char text[HOUSE_TEXT_SIZE * 6];

    switch (f->kind) {
    case FIELD_INT:
        printf("\"%s\":\"%i\"", f->key, *(const int *)field);
        break;
    case FIELD_FLOAT:
        printf("\"%s\":\"%f\"", f->key, (double)*(const float *)field);
        break;
    case FIELD_TEXT:
        printf("\"%s\":\"%s\"", f->key, json_text(text, sizeof text, field));
        break;
    }
}

static void show_group(const struct report_group *g)
{
    g->query();
    if (g->name == NULL) {
        print_member(&g->fields[0]);
        printf("\n");
        return;
    }
    printf("\"%s\" : {\n", g->name);
    for (size_t i = 0; i < g->count; i++) {
        printf("\t");
        print_member(&g->fields[i]);
        printf(i + 1 < g->count ? ",\n" : "\n");
    }
    printf("}\n");
}

void show_led(void) { show_group(&groups[GROUP_LED]); }
void show_thermostat(void) { show_group(&groups[GROUP_TH]); }
void show_preheat(void) { show_group(&groups[GROUP_PH]); }
void show_fan(void) { show_group(&groups[GROUP_FAN]); }
void show_camera(void) { show_group(&groups[GROUP_CAM]); }
void show_lux(void) { show_group(&groups[GROUP_LUX]); }
void show_temp(void) { show_group(&groups[GROUP_TEMP]); }
void show_power(void) { show_group(&groups[GROUP_POWER]); }

// Every group is printed right after its query, so what was printed stays
// printed when a later query ends the run.
void show_all(void)
{
    printf("{\n");
    for (int g = 0; g < GROUP_COUNT; g++) {
        groups[g].query();
        for (size_t i = 0; i < groups[g].count; i++) {
            int last = g + 1 == GROUP_COUNT && i + 1 == groups[g].count;
            print_member(&groups[g].fields[i]);
            printf(last ? "\n" : ",\n");
        }
    }
    printf("}\n");
}
