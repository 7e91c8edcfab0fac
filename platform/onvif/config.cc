// Reading the configuration files: their lines, each key's value applied,
// and the second file over the first.

#include "config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *const text_keys[WSD_TEXT_KEYS] = { "name", "location", "hardware" };

static int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

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
#define KEY(name) (k == sizeof name - 1 && memcmp(line, name, k) == 0)
    if (!wsd_valid_utf8((const unsigned char *)v, vlen))
        return "the value is not UTF-8";
    if (vlen >= WSD_CONFIG_VALUE_SIZE)
        return "the value is longer than 255 bytes";
    for (int t = 0; t < WSD_TEXT_KEYS; t++)
        if (k == strlen(text_keys[t]) && memcmp(line, text_keys[t], k) == 0) {
            memcpy(c->text[t], v, vlen);
            c->text[t][vlen] = '\0';
            c->has_text[t] = 1;
            return NULL;
        }
    if (KEY("scope")) {
        if (!wsd_is_uri(v, vlen))
            return "the scope is not an absolute URI without white space";
        if (c->scope_count == WSD_CONFIG_SCOPES)
            return "more than 16 scopes";
        memcpy(c->scopes[c->scope_count], v, vlen);
        c->scopes[c->scope_count++][vlen] = '\0';
        return NULL;
    }
    if (KEY("xaddrs")) {
        char templates[WSD_CONFIG_VALUE_SIZE];
        const char *bad = wsd_config_templates(v, vlen, templates);
        if (bad)
            return bad;
        strcpy(c->xaddrs, templates);
        c->has_xaddrs = 1;
        return NULL;
    }
    if (KEY("discoverable")) {
        int yes = wsd_config_word(v, vlen, wsd_yes_words), no = wsd_config_word(v, vlen, wsd_no_words);
        c->discoverable_bad = !yes && !no;
        if (c->discoverable_bad)
            return "discoverable is neither yes nor no";
        c->discoverable = yes;
        c->has_discoverable = 1;
        return NULL;
    }
    if (KEY("interfaces")) {
        char globs[WSD_CONFIG_VALUE_SIZE];
        const char *bad = wsd_config_globs(v, vlen, globs);
        if (bad)
            return bad;
        strcpy(c->interfaces, globs);
        c->has_interfaces = 1;
        return NULL;
    }
    if (KEY("allow")) {
        struct wsd_prefix allow[WSD_CONFIG_PREFIXES];
        int count;
        const char *bad = wsd_config_prefixes(v, vlen, allow, &count);
        if (bad)
            return bad;
        memcpy(c->allow, allow, sizeof allow[0] * (size_t)count);
        c->allow_count = count;
        c->has_allow = 1;
        return NULL;
    }
    if (KEY("endpoint")) {
        const char *bad = wsd_config_endpoint(v, vlen, c->endpoint);
        c->has_endpoint |= !bad;
        return bad;
    }
#undef KEY
    return "unknown key \"";  // the key follows
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
    for (int t = 0; t < WSD_TEXT_KEYS; t++)
        if (later.has_text[t]) {
            strcpy(c->text[t], later.text[t]);
            c->has_text[t] = 1;
        }
    if (later.scope_count > 0) {
        memcpy(c->scopes, later.scopes, sizeof later.scopes);
        c->scope_count = later.scope_count;
    }
    if (later.has_xaddrs) {
        strcpy(c->xaddrs, later.xaddrs);
        c->has_xaddrs = 1;
    }
    if (later.has_interfaces) {
        strcpy(c->interfaces, later.interfaces);
        c->has_interfaces = 1;
    }
    if (later.has_allow) {
        memcpy(c->allow, later.allow, sizeof later.allow);
        c->allow_count = later.allow_count;
        c->has_allow = 1;
    }
    if (later.has_endpoint) {
        strcpy(c->endpoint, later.endpoint);
        c->has_endpoint = 1;
    }
    if (later.has_discoverable) {
        c->discoverable = later.discoverable;
        c->discoverable_bad = 0;
    }
    c->discoverable_bad |= later.discoverable_bad;
    return n != -2 && m != -2;
}
