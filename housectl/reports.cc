#include "reports.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "house_status.h"

enum field_kind { FIELD_INT, FIELD_FLOAT, FIELD_TEXT };

// The tables hold no pointers: in a position-independent program every
// pointer in a table is one more relocation to load. The member names are
// one string, each name ending in a NUL, in the order of the fields.
#define FIELD_KEY(kind, name) #name "\0"
#define GROUP_KEYS(id, letter, word, modes, FIELDS, ...) FIELDS(FIELD_KEY)
static const char report_keys[] = HOUSE_GROUPS(GROUP_KEYS);

struct report_field {
    unsigned char kind;
    unsigned char offset;
};

#define FIELD_ROW(kind, name) { FIELD_##kind, offsetof(struct house_status, name) },
#define GROUP_FIELDS(id, letter, word, modes, FIELDS, ...) FIELDS(FIELD_ROW)
static const struct report_field report_fields[] = { HOUSE_GROUPS(GROUP_FIELDS) };

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

// One member line: `indent`, the key and its value, then `end`.
static void print_member(int index, const char *indent, const char *end)
{
    const struct report_field *f = &report_fields[index];
    const char *field = (const char *)&house_status + f->offset;
    const char *key = report_keys;
    char text[HOUSE_TEXT_SIZE * 6];

    while (index-- > 0)
        key += strlen(key) + 1;
    switch (f->kind) {
    case FIELD_INT:
        printf("%s\"%s\":\"%i\"%s", indent, key, *(const int *)field, end);
        break;
    case FIELD_FLOAT:
        printf("%s\"%s\":\"%f\"%s", indent, key, (double)*(const float *)field, end);
        break;
    case FIELD_TEXT:
        printf("%s\"%s\":\"%s\"%s", indent, key, json_text(text, sizeof text, field), end);
        break;
    }
}

// A group of several values is one member named after the group that
// holds their member lines; a group of one value is its member line alone.
void print_group(enum house_group group)
{
    const struct house_group_info *g = &house_groups[group];
    const char *indent = "";

    if (g->field_count > 1) {
        printf("\"%s\" : {\n", g->word);
        indent = "\t";
    }
    for (int i = 0; i < g->field_count; i++)
        print_member(g->first_field + i, indent, i + 1 < g->field_count ? ",\n" : "\n");
    if (*indent)
        printf("}\n");
}

// Every group is printed right after its query, so what was printed stays
// printed when a later query ends the run.
void show_all(void)
{
    const int last = sizeof report_fields / sizeof report_fields[0] - 1;

    printf("{\n");
    for (int g = 0; g < HOUSE_GROUP_COUNT; g++) {
        read_group((enum house_group)g);
        int first = house_groups[g].first_field;
        for (int i = first; i < first + house_groups[g].field_count; i++) {
            print_member(i, "", i == last ? "\n" : ",\n");
        }
    }
    printf("}\n");
}
