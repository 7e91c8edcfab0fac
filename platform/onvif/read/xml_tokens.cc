#include "xml_tokens.h"

#include <string.h>
#include <strings.h>

#define ROW16(c) c, c, c, c, c, c, c, c, c, c, c, c, c, c, c, c
enum { I = XML_INVALID, S = XML_SPACE, V = XML_VALUE_STOP, T = XML_TEXT_STOP };
enum { N = XML_NAME, L = XML_NAME_START | XML_NAME };

const unsigned char xml_class[256] = {
    I, I, I, I, I, I, I, I, I, S | V, S | V, I, I, S | V | T, I, I,  // TAB LF CR
    ROW16(I),
    S, 0, V, 0, 0, 0, V | T, V, 0, 0, 0, 0, 0, N, N, 0,  // ' ' '"' '&' '\'' '-' '.'
    N, N, N, N, N, N, N, N, N, N, 0, 0, V | T, 0, 0, 0,  // digits '<'
    0, L, L, L, L, L, L, L, L, L, L, L, L, L, L, L,      // '@' A-O
    L, L, L, L, L, L, L, L, L, L, L, 0, 0, T, 0, L,      // P-Z ']' '_'
    0, L, L, L, L, L, L, L, L, L, L, L, L, L, L, L,      // a-o
    L, L, L, L, L, L, L, L, L, L, L, 0, 0, 0, 0, 0,      // p-z DEL
    ROW16(I), ROW16(I), ROW16(I), ROW16(I), ROW16(I), ROW16(I), ROW16(I), ROW16(I),
};

int xml_skip_space(struct scan *s)
{
    const char *from = s->p;
    while (s->p < s->end && is_space(*s->p))
        s->p++;
    return s->p > from;
}

int xml_read_ncname(struct scan *s, struct span *name)
{
    name->at = s->p;
    if (s->p == s->end || !xml_is(*s->p, XML_NAME_START))
        return 0;
    while (s->p < s->end && xml_is(*s->p, XML_NAME))
        s->p++;
    name->len = (size_t)(s->p - name->at);
    return 1;
}

int xml_read_qname(struct scan *s, struct span *prefix, struct span *local)
{
    if (!xml_read_ncname(s, local))
        return 0;
    prefix->at = local->at;
    prefix->len = 0;
    if (s->p < s->end && *s->p == ':') {
        s->p++;
        *prefix = *local;
        return xml_read_ncname(s, local) && (s->p == s->end || *s->p != ':');
    }
    return 1;
}

// Characters outside ASCII, and entities a document type would declare,
// are the full parser's to read.
int xml_read_reference(struct scan *s)
{
    static const struct {
        const char *name;
        char c;
    } entities[] = { { "lt;", '<' }, { "gt;", '>' }, { "amp;", '&' }, { "quot;", '"' }, { "apos;", '\'' } };
    for (const auto &e : entities) {
        size_t n = strlen(e.name);
        if ((size_t)(s->end - s->p) >= n && memcmp(s->p, e.name, n) == 0) {
            s->p += n;
            return e.c;
        }
    }
    if (s->p == s->end || *s->p != '#')
        return -1;
    s->p++;
    int hex = s->p < s->end && *s->p == 'x', digits = 0;
    unsigned value = 0;  // eight digits of either kind fit
    s->p += hex;
    for (; s->p < s->end && *s->p != ';' && digits < 8; s->p++, digits++) {
        char c = *s->p;
        int d = c >= '0' && c <= '9' ? c - '0'
              : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0)
            return -1;
        value = value * (hex ? 16 : 10) + (unsigned)d;
    }
    if (digits == 0 || s->p == s->end || *s->p != ';')
        return -1;
    s->p++;
    return value == 9 || value == 10 || value == 13 || (value >= 0x20 && value < 0x80) ? (int)value : -1;
}

// As the full parser normalises a value: each literal line end or tab a
// space (CR LF one), references as they stand for.
const char *xml_read_value(struct scan *s)
{
    if (s->p == s->end || (*s->p != '"' && *s->p != '\''))
        return NULL;
    char quote = *s->p++;
    // Each value keeps a byte for its terminator: an arena already full
    // takes no more (o never passes limit below).
    if (s->used >= ARENA_SIZE)
        return NULL;
    char *out = s->arena + s->used, *limit = s->arena + ARENA_SIZE - 1, *o = out;
    for (;;) {
        const char *run = s->p;
        while (s->p < s->end && !xml_is(*s->p, XML_VALUE_STOP | XML_INVALID))
            s->p++;
        size_t n = (size_t)(s->p - run);
        if (n > (size_t)(limit - o) || s->p == s->end)
            return NULL;
        memcpy(o, run, n);
        o += n;
        char c = *s->p++;
        if (c == quote)
            break;
        int ref = c == '&' ? xml_read_reference(s) : c == '\'' || c == '"' ? c : ' ';
        if (c == '<' || xml_is(c, XML_INVALID) || ref < 0 || o == limit)
            return NULL;
        if (c == '\r' && s->p < s->end && s->p[0] == '\n')
            s->p++;
        *o++ = (char)ref;
    }
    *o++ = '\0';
    s->used = (size_t)(o - s->arena);
    return out;
}

// <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, the encoding
// and standalone parts optional, the encoding one that ASCII is. As the
// full parser reads it: encoding names in any case, the other values
// exactly as written here.
int xml_read_declaration(struct scan *s)
{
    static const struct {
        const char *name, *value[2];
        int (*same)(const char *, const char *);
    } parts[] = {
        { "version", { "1.0", NULL }, strcmp },
        { "encoding", { "UTF-8", "US-ASCII" }, strcasecmp },
        { "standalone", { "yes", "no" }, strcmp },
    };
    s->p += 5;
    for (int i = 0; i < 3; i++) {
        const char *at = s->p;
        struct span name;
        if (!xml_skip_space(s) || !xml_read_ncname(s, &name) || name.len != strlen(parts[i].name) ||
            memcmp(name.at, parts[i].name, name.len) != 0) {
            if (i == 0)
                return 0;
            s->p = at;
            continue;
        }
        xml_skip_space(s);
        if (s->p == s->end || *s->p++ != '=')
            return 0;
        xml_skip_space(s);
        // Quoted letters, digits and dots: no references here.
        if (s->p == s->end || (*s->p != '"' && *s->p != '\''))
            return 0;
        char quote = *s->p++, value[16];
        size_t n = 0;
        while (s->p < s->end && n < sizeof value - 1 && xml_is(*s->p, XML_NAME))
            value[n++] = *s->p++;
        value[n] = '\0';
        if (s->p == s->end || *s->p++ != quote ||
            (parts[i].same(value, parts[i].value[0]) != 0 &&
             (!parts[i].value[1] || parts[i].same(value, parts[i].value[1]) != 0)))
            return 0;
    }
    xml_skip_space(s);
    if (!XML_LOOKING_AT(s, "?>"))
        return 0;
    s->p += 2;
    return 1;
}
