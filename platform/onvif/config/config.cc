// Reading the configuration files: their lines, each key's value applied,
// and the second file over the first.

#include "config.h"

#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Each key's value is checked into scratch space, and applied only when the
// whole line is good: a bad line changes nothing.
union scratch {
    char text[WSD_CONFIG_VALUE_SIZE];
    int mode;
    struct wsd_prefixes prefixes;
};
typedef const char *(*value_reader)(const char *v, size_t len, union scratch *out);

static const char *read_text(const char *v, size_t len, union scratch *out)
{
    memcpy(out->text, v, len);
    out->text[len] = '\0';
    return NULL;
}

static const char *read_scope(const char *v, size_t len, union scratch *out)
{
    return wsd_is_uri(v, len) ? read_text(v, len, out) : "the scope is not an absolute URI without white space";
}

static const char *read_templates(const char *v, size_t len, union scratch *out)
{
    return wsd_config_templates(v, len, out->text);
}

static const char *read_mode(const char *v, size_t len, union scratch *out)
{
    out->mode = wsd_config_word(v, len, wsd_yes_words);
    return out->mode || wsd_config_word(v, len, wsd_no_words) ? NULL : "discoverable is neither yes nor no";
}

static const char *read_globs(const char *v, size_t len, union scratch *out)
{
    return wsd_config_globs(v, len, out->text);
}

static const char *read_prefixes(const char *v, size_t len, union scratch *out)
{
    return wsd_config_prefixes(v, len, &out->prefixes);
}

static const char *read_endpoint(const char *v, size_t len, union scratch *out)
{
    return wsd_config_endpoint(v, len, out->text);
}

#define FIELD(f) offsetof(struct wsd_config, f), sizeof(((struct wsd_config *)NULL)->f)

// Where each key's value goes; `scope` adds one more each line.
static const struct {
    const char *name;
    value_reader read;
    size_t offset, size;
} keys[WSD_KEYS] = {
    { "name", read_text, FIELD(text[WSD_NAME]) },
    { "location", read_text, FIELD(text[WSD_LOCATION]) },
    { "hardware", read_text, FIELD(text[WSD_HARDWARE]) },
    { "serial", read_text, FIELD(text[WSD_SERIAL]) },
    { "scope", read_scope, FIELD(scopes[0]) },
    { "xaddrs", read_templates, FIELD(xaddrs) },
    { "discoverable", read_mode, FIELD(discoverable) },
    { "interfaces", read_globs, FIELD(interfaces) },
    { "allow", read_prefixes, FIELD(allow) },
    { "endpoint", read_endpoint, FIELD(endpoint) },
};

// Where key `k`'s value is kept in *c.
static void *value_of(struct wsd_config *c, int k)
{
    return (char *)c + keys[k].offset + (k == WSD_SCOPE ? sizeof c->scopes[0] * (size_t)c->scope_count : 0);
}

// One `key = value` line applied to *c: NULL, or what is wrong with it.
static const char *apply(const char *line, size_t len, struct wsd_config *c)
{
    const char *eq = (const char *)memchr(line, '=', len);
    if (!eq)
        return "no '=' in the line";
    size_t k = (size_t)(eq - line), v0 = k + 1, v1 = len;
    while (k > 0 && is_blank(line[k - 1]))
        k--;
    while (v0 < v1 && is_blank(line[v0]))
        v0++;
    while (v1 > v0 && is_blank(line[v1 - 1]))
        v1--;
    const char *v = line + v0;
    size_t vlen = v1 - v0;
    if (!wsd_valid_utf8((const unsigned char *)v, vlen))
        return "the value is not UTF-8";
    if (vlen >= WSD_CONFIG_VALUE_SIZE)
        return "the value is longer than 255 bytes";
    int key = 0;
    while (key < WSD_KEYS && !(k == strlen(keys[key].name) && memcmp(line, keys[key].name, k) == 0))
        key++;
    if (key == WSD_KEYS)
        return "unknown key \"";  // the key follows
    union scratch value;
    const char *bad = keys[key].read(v, vlen, &value);
    if (key == WSD_DISCOVERABLE)
        c->discoverable_bad = bad != NULL;
    if (!bad && key == WSD_SCOPE && c->scope_count == WSD_CONFIG_SCOPES)
        bad = "more than 16 scopes";
    if (bad)
        return bad;
    memcpy(value_of(c, key), &value, keys[key].size);
    c->scope_count += key == WSD_SCOPE;
    c->given[key] = 1;
    return NULL;
}

void wsd_config_parse(const char *path, const char *text, size_t len, struct wsd_config *c,
                      wsd_config_report report)
{
    int number = 0;
    for (size_t at = 0; at < len;) {
        const char *nl = (const char *)memchr(text + at, '\n', len - at);
        size_t end = nl ? (size_t)(nl - text) : len;
        const char *line = text + at;
        size_t n = end - at;
        at = end + 1;
        number++;
        while (n > 0 && is_blank(*line))
            line++, n--;
        if (n == 0 || *line == '#')
            continue;
        const char *bad = apply(line, n, c);
        if (bad) {
            char problem[512];
            size_t key = 0;
            while (key < n && key < 64 && line[key] != '=' && !is_blank(line[key]))
                key++;
            int quoted = bad[strlen(bad) - 1] == '"';
            snprintf(problem, sizeof problem, "%s:%d: %s%.*s%s", path, number, bad,
                     quoted ? (int)key : 0, line, quoted ? "\"" : "");
            report(problem);
        }
    }
}

// The file's text into `buf`: its length; -1 when it is missing (no
// fault), -2 when it is there but cannot be read (reported). Only a regular
// file is read, and opening it never waits (a FIFO in its place).
static ssize_t read_file(const char *path, char *buf, size_t size, wsd_config_report report)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    ssize_t n = -1;
    int error = errno;
    if (fd >= 0) {
        if (fstat(fd, &st) != 0)
            error = errno;
        else if (!S_ISREG(st.st_mode))
            error = 0;  // a directory, a FIFO, a device
        else if ((n = read(fd, buf, size)) < 0)
            error = errno;
        close(fd);
    }
    if (n < 0 && error == ENOENT)
        return -1;
    if (n < 0) {
        char problem[512];
        snprintf(problem, sizeof problem, "%s: %s; the description and mode in force stay", path,
                 error ? strerror(error) : "not a regular file");
        report(problem);
        return -2;
    }
    if (n == (ssize_t)size) {  // no line is read in part
        char problem[512];
        snprintf(problem, sizeof problem, "%s: only its first %zu bytes are read", path, size);
        report(problem);
        while (n > 0 && buf[n - 1] != '\n')
            n--;
    }
    return n;
}

int wsd_config_read(const char *defaults, const char *runtime, struct wsd_config *c,
                    wsd_config_report report)
{
    static char buf[WSD_CONFIG_FILE_SIZE];
    memset(c, 0, sizeof *c);
    c->discoverable = 1;
    ssize_t n = read_file(defaults, buf, sizeof buf, report);
    if (n >= 0)
        wsd_config_parse(defaults, buf, (size_t)n, c, report);
    struct wsd_config later;
    memset(&later, 0, sizeof later);
    ssize_t m = read_file(runtime, buf, sizeof buf, report);
    if (m >= 0)
        wsd_config_parse(runtime, buf, (size_t)m, &later, report);
    // The second file's keys over the first's; its scopes over all of the
    // first's.
    for (int k = 0; k < WSD_KEYS; k++) {
        if (!later.given[k])
            continue;
        size_t size = k == WSD_SCOPE ? sizeof later.scopes : keys[k].size;
        memcpy((char *)c + keys[k].offset, (const char *)&later + keys[k].offset, size);
        c->given[k] = 1;
    }
    if (later.given[WSD_SCOPE])
        c->scope_count = later.scope_count;
    if (later.given[WSD_DISCOVERABLE])
        c->discoverable_bad = 0;
    c->discoverable_bad |= later.discoverable_bad;
    return n != -2 && m != -2;
}
