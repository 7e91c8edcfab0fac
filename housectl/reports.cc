#include "reports.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "house_status.h"

enum field_kind { FIELD_INT, FIELD_FLOAT, FIELD_TEXT };

// Every group's fields, in the order of the full report. The JSON member
// name is the record's field name.
#define REPORT_FIELDS(X)                                                                    \
    X(TEXT, led_mode) X(TEXT, led_status) X(INT, led_power_cfg) X(INT, led_power_real)      \
    X(FLOAT, led_temp) X(INT, led_lxon) X(INT, led_lxoff) X(INT, led_tmax) X(INT, led_pbo) \
    X(TEXT, th_mode) X(INT, th_power) X(INT, th_ton) X(INT, th_toff) X(INT, th_temp)       \
    X(TEXT, th_heater)                                                                      \
    X(TEXT, ph_mode) X(INT, ph_power) X(INT, ph_ton) X(INT, ph_temp) X(TEXT, ph_heater)    \
    X(TEXT, fan_mode) X(TEXT, fan_status)                                                   \
    X(TEXT, cam_mode) X(TEXT, cam_status) X(INT, cam_temp) X(FLOAT, cam_voltage)           \
    X(FLOAT, cam_current) X(FLOAT, cam_power)                                               \
    X(INT, lux)                                                                             \
    X(FLOAT, temp)                                                                          \
    X(FLOAT, voltage) X(FLOAT, current) X(FLOAT, power)

// The tables hold no pointers: in a position-independent program every
// pointer in a table is one more relocation to load. The member names are
// one string, each name ending in a NUL, in the order of the fields.
#define FIELD_KEY(kind, f) #f "\0"
static const char report_keys[] = REPORT_FIELDS(FIELD_KEY);

struct report_field {
    unsigned char kind;
    unsigned char offset;
};

#define FIELD(kind, f) { FIELD_##kind, offsetof(struct house_status, f) },
static const struct report_field report_fields[] = { REPORT_FIELDS(FIELD) };

struct report_group {
    char name[6];  // "": the group is printed as its bare member lines
    unsigned char first, count;  // its fields
};

// By enum house_query, the group's query.
static const struct report_group report_groups[QUERY_COUNT] = {
    { "led", 0, 9 }, { "th", 9, 6 }, { "ph", 15, 5 }, { "fan", 20, 2 }, { "cam", 22, 6 },
    { "", 28, 1 }, { "", 29, 1 }, { "power", 30, 3 },
};

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
        char esc[6] = { '\\', (char)*p };
        const char *piece = esc;
        unsigned len = 2;
        if (*p >= 0x80 && (len = utf8_length(p)) > 0) {
            // Well-formed UTF-8 from the controller is text as it stands.
            piece = (const char *)p;
            p += len - 1;
        } else if (*p < 0x20 || *p >= 0x80) {
            // Control bytes, and bytes that are no part of a well-formed
            // sequence (line noise, a character cut by the field's length),
            // are shown as the Latin-1 character so the output stays UTF-8.
            esc[1] = 'u';
            esc[2] = '0';
            esc[3] = '0';
            esc[4] = hex[*p >> 4];
            esc[5] = hex[*p & 15];
            len = 6;
        } else if (*p != '"' && *p != '\\') {
            piece = (const char *)p;
            len = 1;
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
static void print_member(int index)
{
    const struct report_field *f = &report_fields[index];
    const char *field = (const char *)&house_status + f->offset;
    const char *key = report_keys;
    char text[HOUSE_TEXT_SIZE * 6];

    while (index-- > 0)
        key += strlen(key) + 1;
    switch (f->kind) {
    case FIELD_INT:
        printf("\"%s\":\"%i\"", key, *(const int *)field);
        break;
    case FIELD_FLOAT:
        printf("\"%s\":\"%f\"", key, (double)*(const float *)field);
        break;
    case FIELD_TEXT:
        printf("\"%s\":\"%s\"", key, json_text(text, sizeof text, field));
        break;
    }
}

void show_report(enum house_query query)
{
    const struct report_group *g = &report_groups[query];

    read_query(query);
    if (g->name[0] == '\0') {
        print_member(g->first);
        printf("\n");
        return;
    }
    printf("\"%s\" : {\n", g->name);
    for (int i = 0; i < g->count; i++) {
        printf("\t");
        print_member(g->first + i);
        printf(i + 1 < g->count ? ",\n" : "\n");
    }
    printf("}\n");
}

void show_led(void) { show_report(QUERY_LED); }
void show_thermostat(void) { show_report(QUERY_TH); }
void show_preheat(void) { show_report(QUERY_PH); }
void show_fan(void) { show_report(QUERY_FAN); }
void show_camera(void) { show_report(QUERY_CAM); }
void show_lux(void) { show_report(QUERY_LUX); }
void show_temp(void) { show_report(QUERY_TEMP); }
void show_power(void) { show_report(QUERY_POWER); }

// Every group is printed right after its query, so what was printed stays
// printed when a later query ends the run.
void show_all(void)
{
    const int last = sizeof report_fields / sizeof report_fields[0] - 1;

    printf("{\n");
    for (int q = 0; q < QUERY_COUNT; q++) {
        read_query((enum house_query)q);
        for (int i = report_groups[q].first; i < report_groups[q].first + report_groups[q].count; i++) {
            print_member(i);
            printf(i == last ? "\n" : ",\n");
        }
    }
    printf("}\n");
}
