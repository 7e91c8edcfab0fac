// What each key's value may be, read from a line: texts, URIs, XAddrs
// templates, yes and no, interface globs, address prefixes and UUIDs.

#include <arpa/inet.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "config_values.h"

static int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
int wsd_valid_utf8(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n;) {
        unsigned c = p[i], len = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3
                                            : (c & 0xf8) == 0xf0 ? 4 : 0;
        if (len == 0 || i + len > n)
            return 0;
        unsigned cp = len == 1 ? c : c & (0x7f >> len);
        for (unsigned k = 1; k < len; k++) {
            if ((p[i + k] & 0xc0) != 0x80)
                return 0;
            cp = cp << 6 | (p[i + k] & 0x3f);
        }
        static const unsigned shortest[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (cp < shortest[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return 0;
        i += len;
    }
    return 1;
}

static int is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static int is_digit(char c) { return c >= '0' && c <= '9'; }
static int is_hex(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
static int is_one_of(char c, const char *set) { return c != '\0' && strchr(set, c) != NULL; }

// The characters RFC 3986 allows in a URI, '%' only before two hex digits.
int wsd_is_uri(const char *s, size_t len)
{
    size_t scheme = 0;
    while (scheme < len && (is_alpha(s[scheme]) ||
                            (scheme > 0 && (is_digit(s[scheme]) || is_one_of(s[scheme], "+-.")))))
        scheme++;
    if (scheme == 0 || scheme + 1 >= len || s[scheme] != ':')
        return 0;
    for (size_t i = 0; i < len; i++)
        if (!is_alpha(s[i]) && !is_digit(s[i]) && !is_one_of(s[i], "-._~:/?#[]@!$&'()*+,;=") &&
            !(s[i] == '%' && i + 2 < len && is_hex(s[i + 1]) && is_hex(s[i + 2])))
            return 0;
    return 1;
}

// Each template one space from the next, each an absolute URI once its
// {address} is taken out; NULL when they are, or what is wrong.
const char *wsd_config_templates(const char *v, size_t len, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < len;) {
        while (i < len && is_blank(v[i]))
            i++;
        size_t start = i;
        while (i < len && !is_blank(v[i]))
            i++;
        if (i == start)
            break;
        const char *at = (const char *)memmem(v + start, i - start, "{address}", 9);
        if (!at)
            return "an XAddrs template without {address}";
        char uri[WSD_CONFIG_VALUE_SIZE];
        size_t before = (size_t)(at - (v + start)), after = i - start - before - 9;
        memcpy(uri, v + start, before);
        uri[before] = 'a';  // an address is a host name's characters
        memcpy(uri + before + 1, at + 9, after);
        if (memmem(at + 9, after, "{address}", 9) || !wsd_is_uri(uri, before + 1 + after))
            return "an XAddrs template that is not a URI";
        if (n)
            out[n++] = ' ';
        memcpy(out + n, v + start, i - start);
        n += i - start;
    }
    out[n] = '\0';
    return n ? NULL : "no XAddrs template";
}

int wsd_config_word(const char *v, size_t len, const char *const *words)
{
    for (; *words; words++)
        if (strlen(*words) == len && strncasecmp(v, *words, len) == 0)
            return 1;
    return 0;
}

const char *const wsd_yes_words[] = { "yes", "true", "on", "1", NULL };
const char *const wsd_no_words[] = { "no", "false", "off", "0", NULL };

// The next white-space separated word of the `len` bytes at `v` from *at:
// its start, its length in *wlen (0 at the end); *at moves past it.
static const char *next_word(const char *v, size_t len, size_t *at, size_t *wlen)
{
    while (*at < len && is_blank(v[*at]))
        (*at)++;
    size_t start = *at;
    while (*at < len && !is_blank(v[*at]))
        (*at)++;
    *wlen = *at - start;
    return v + start;
}

// Whether the `len` bytes at `g` are a glob fnmatch reads as written: each
// '[' closed by a ']' (one right after the '[' or its '!' or '^' is a
// member), no '\\' left without a character to escape.
static int well_formed_glob(const char *g, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        if (g[i] == '\\' && ++i == len)
            return 0;
        if (g[i] != '[')
            continue;
        size_t j = i + 1;
        j += j < len && (g[j] == '!' || g[j] == '^');
        j += j < len && g[j] == ']';
        while (j < len && g[j] != ']')
            j++;
        if (j == len)
            return 0;
        i = j;
    }
    return 1;
}

const char *wsd_config_globs(const char *v, size_t len, char *out)
{
    size_t n = 0, at = 0, wlen;
    int count = 0;
    for (const char *w; (w = next_word(v, len, &at, &wlen)), wlen > 0;) {
        size_t name = wlen - (w[0] == '!');
        if (name == 0 || name > WSD_CONFIG_GLOB_SIZE || memchr(w, '/', wlen))
            return "an interface glob that names no interface";
        if (!well_formed_glob(w, wlen))
            return "a malformed interface glob";
        if (++count > WSD_CONFIG_GLOBS)
            return "more than 16 interface globs";
        if (n)
            out[n++] = ' ';
        memcpy(out + n, w, wlen);
        n += wlen;
    }
    out[n] = '\0';
    return n ? NULL : "no interface glob";
}

int wsd_globs_name(const char *globs, const char *name)
{
    int included = 0, inclusions = 0;
    char glob[WSD_CONFIG_VALUE_SIZE];
    for (const char *g = globs; *g;) {
        size_t n = strcspn(g, " ");
        memcpy(glob, g, n);
        glob[n] = '\0';
        g += n + (g[n] == ' ');
        int exclude = glob[0] == '!', match = fnmatch(glob + exclude, name, 0) == 0;
        if (exclude && match)
            return 0;
        inclusions += !exclude;
        included |= !exclude && match;
    }
    return included || inclusions == 0;
}

// An address (IPv4, or IPv6 without a zone) into its mapped form.
static int parse_address(const char *text, unsigned char at[16], int *family)
{
    memset(at, 0, 16);
    if (inet_pton(AF_INET, text, at + 12) == 1) {
        at[10] = at[11] = 0xff;
        *family = AF_INET;
        return 1;
    }
    *family = AF_INET6;
    return inet_pton(AF_INET6, text, at) == 1;
}

// One prefix, "address/bits" or an address alone (one host), into *p.
static int parse_prefix(const char *w, size_t wlen, struct wsd_prefix *p)
{
    char text[64];
    if (wlen >= sizeof text)
        return 0;
    memcpy(text, w, wlen);
    text[wlen] = '\0';
    char *slash = strchr(text, '/');
    int family, bits = -1, used = 0;
    if (slash) {
        *slash = '\0';
        if (slash[1] < '0' || slash[1] > '9' || sscanf(slash + 1, "%3d%n", &bits, &used) != 1 ||
            slash[1 + used] != '\0')
            return 0;
    }
    if (!parse_address(text, p->at, &family) || bits > (family == AF_INET ? 32 : 128))
        return 0;
    p->bits = !slash ? 128 : family == AF_INET ? 96 + bits : bits;
    return 1;
}

const char *wsd_config_prefixes(const char *v, size_t len, struct wsd_prefixes *out)
{
    size_t at = 0, wlen;
    out->count = 0;
    for (const char *w; (w = next_word(v, len, &at, &wlen)), wlen > 0;) {
        struct wsd_prefix p;
        if (!parse_prefix(w, wlen, &p))
            return "an allowed prefix that is no IPv4 or IPv6 prefix";
        if (out->count == WSD_CONFIG_PREFIXES)
            return "more than 16 allowed prefixes";
        out->at[out->count++] = p;
    }
    return out->count ? NULL : "no allowed prefix";
}

int wsd_prefix_holds(const struct wsd_prefix *p, const unsigned char at[16])
{
    int whole = p->bits / 8, rest = p->bits % 8;
    return memcmp(p->at, at, (size_t)whole) == 0 &&
           (rest == 0 || ((p->at[whole] ^ at[whole]) & (0xff << (8 - rest))) == 0);
}

const char *wsd_config_endpoint(const char *v, size_t len, char *out)
{
    static const char shape[] = "urn:uuid:xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    if (len != sizeof shape - 1 || strncasecmp(v, shape, 9) != 0)
        return "the endpoint is no urn:uuid: with a UUID";
    for (size_t i = 9; i < len; i++) {
        char c = (char)(v[i] | 0x20);
        if (shape[i] == '-' ? v[i] != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return "the endpoint is no urn:uuid: with a UUID";
        out[i] = shape[i] == '-' ? '-' : c;
    }
    memcpy(out, "urn:uuid:", 9);
    out[len] = '\0';
    return NULL;
}
