#include "xml_scan.h"

#include <string.h>

#include "xml_tokens.h"

static const struct binding *bound(const struct scan *s, struct span prefix)
{
    for (int i = s->binding_count - 1; i >= 0; i--)
        if (s->bindings[i].prefix.len == prefix.len &&
            memcmp(s->bindings[i].prefix.at, prefix.at, prefix.len) == 0)
            return &s->bindings[i];
    return NULL;
}

// "namespace local", or "local" in no namespace, into `out`; 0 for a prefix
// that is not bound (or one of the reserved ones).
static int expand(const struct scan *s, struct span prefix, struct span local, int element,
                  char out[NAME_SIZE])
{
    const char *uri = "";
    size_t n = 0;
    if (prefix.len > 0 || element) {
        const struct binding *b = bound(s, prefix);
        if (XML_SAME(prefix, "xml") || XML_SAME(prefix, "xmlns") || (prefix.len > 0 && !b))
            return 0;
        if (b) {
            uri = b->uri;
            n = b->uri_len;
        }
    }
    if (n + 1 + local.len >= NAME_SIZE)
        return 0;
    if (n > 0) {
        memcpy(out, uri, n);
        out[n++] = ' ';
    }
    memcpy(out + n, local.at, local.len);
    out[n + local.len] = '\0';
    return 1;
}

static int stopped(const struct scan *s) { return *s->ev->stop; }

// A name from the datagram as the handlers take it, NUL-terminated; 0 when
// it does not fit (the full parser then reads the document).
static int copy_name(char out[NAME_SIZE], struct span name)
{
    if (name.len >= NAME_SIZE)
        return 0;
    memcpy(out, name.at, name.len);
    out[name.len] = '\0';
    return 1;
}

// The end of the element opened at the current depth: its handler, then
// the end of each namespace it declared, last first.
static void close_element(struct scan *s, const char *name)
{
    s->ev->end(s->ev->data, name);
    while (s->binding_count > 0 && s->bindings[s->binding_count - 1].depth == s->depth) {
        const struct binding *b = &s->bindings[--s->binding_count];
        char prefix[NAME_SIZE];
        copy_name(prefix, b->prefix);  // it fitted when it was bound
        s->ev->namespace_end(s->ev->data, b->prefix.len ? prefix : NULL);
    }
}

// The namespace declarations among a start tag's attributes, in the
// order written, each reported as it is bound.
static int declare(struct scan *s, struct attribute *attrs, int count)
{
    for (int i = 0; i < count; i++) {
        struct attribute *a = &attrs[i];
        int default_ns = a->prefix.len == 0 && XML_SAME(a->local, "xmlns");
        if (!default_ns && !XML_SAME(a->prefix, "xmlns"))
            continue;
        if (s->binding_count == MAX_BINDINGS || (!default_ns && (a->value[0] == '\0' ||
            XML_SAME(a->local, "xml") || XML_SAME(a->local, "xmlns"))) ||
            strcmp(a->value, "http://www.w3.org/XML/1998/namespace") == 0 ||
            strcmp(a->value, "http://www.w3.org/2000/xmlns/") == 0 ||
            strchr(a->value, ' '))  // the parser's separator in names
            return 0;
        char prefix[NAME_SIZE];
        if (!copy_name(prefix, default_ns ? a->prefix : a->local))
            return 0;
        struct binding *b = &s->bindings[s->binding_count++];
        b->prefix = default_ns ? a->prefix : a->local;
        b->uri = a->value;
        b->uri_len = strlen(a->value);
        b->depth = s->depth;
        s->ev->namespace_start(s->ev->data, default_ns ? NULL : prefix,
                               a->value[0] ? a->value : NULL);
        if (stopped(s))
            return 1;
    }
    return 1;
}

// A start tag after its '<', with its attributes, to the start handler;
// for an empty element the end handler too.
static enum xml_scan_result start_tag(struct scan *s)
{
    struct attribute attrs[MAX_ATTRS];
    struct span prefix, local;
    int count = 0;
    if (s->depth == MAX_DEPTH || !xml_read_qname(s, &prefix, &local))
        return XML_SCAN_UNSURE;
    for (;;) {
        int spaced = xml_skip_space(s);
        if (s->p == s->end)
            return XML_SCAN_UNSURE;
        if (*s->p == '>' || *s->p == '/')
            break;
        struct attribute *a = &attrs[count];
        if (!spaced || count == MAX_ATTRS || !xml_read_qname(s, &a->prefix, &a->local))
            return XML_SCAN_UNSURE;
        xml_skip_space(s);
        if (s->p == s->end || *s->p++ != '=')
            return XML_SCAN_UNSURE;
        xml_skip_space(s);
        if (!(a->value = xml_read_value(s)))
            return XML_SCAN_UNSURE;
        for (int i = 0; i < count; i++)  // the same name twice
            if (attrs[i].prefix.len == a->prefix.len && attrs[i].local.len == a->local.len &&
                memcmp(attrs[i].prefix.at, a->prefix.at, a->prefix.len) == 0 &&
                memcmp(attrs[i].local.at, a->local.at, a->local.len) == 0)
                return XML_SCAN_UNSURE;
        count++;
    }
    int empty = *s->p == '/';
    s->p += empty;
    if (s->p == s->end || *s->p++ != '>')
        return XML_SCAN_UNSURE;

    s->depth++;
    if (!declare(s, attrs, count))
        return XML_SCAN_UNSURE;
    if (stopped(s))
        return XML_SCAN_STOPPED;
    char name[NAME_SIZE], names[MAX_ATTRS][NAME_SIZE];
    const char *list[2 * MAX_ATTRS + 1];
    int n = 0;
    for (int i = 0; i < count; i++) {
        if (XML_SAME(attrs[i].prefix, "xmlns") || (!attrs[i].prefix.len && XML_SAME(attrs[i].local, "xmlns")))
            continue;
        if (!expand(s, attrs[i].prefix, attrs[i].local, 0, names[i]))
            return XML_SCAN_UNSURE;
        for (int k = 0; k < n; k += 2)  // two names for one attribute
            if (strcmp(list[k], names[i]) == 0)
                return XML_SCAN_UNSURE;
        list[n++] = names[i];
        list[n++] = attrs[i].value;
    }
    list[n] = NULL;
    if (!expand(s, prefix, local, 1, name))
        return XML_SCAN_UNSURE;
    s->ev->start(s->ev->data, name, list);
    if (stopped(s))
        return XML_SCAN_STOPPED;
    if (empty) {
        close_element(s, name);
        s->depth--;
        return stopped(s) ? XML_SCAN_STOPPED : XML_SCAN_DONE;
    }
    s->open[s->depth - 1][0] = prefix;
    s->open[s->depth - 1][1] = local;
    return XML_SCAN_DONE;
}

// An end tag after its "</": it must close the element last opened.
static enum xml_scan_result end_tag(struct scan *s)
{
    struct span prefix, local;
    char name[NAME_SIZE];
    if (!xml_read_qname(s, &prefix, &local))
        return XML_SCAN_UNSURE;
    xml_skip_space(s);
    struct span *open = s->open[s->depth - 1];
    if (s->p == s->end || *s->p++ != '>' || prefix.len != open[0].len || local.len != open[1].len ||
        memcmp(prefix.at, open[0].at, prefix.len) != 0 || memcmp(local.at, open[1].at, local.len) != 0 ||
        !expand(s, prefix, local, 1, name))
        return XML_SCAN_UNSURE;
    close_element(s, name);
    s->depth--;
    return stopped(s) ? XML_SCAN_STOPPED : XML_SCAN_DONE;
}

// Decoded text waiting for the text handler.
struct pending_text {
    char buf[512];
    size_t len;
};

static int flush_text(struct scan *s, struct pending_text *t)
{
    if (t->len > 0)
        s->ev->text(s->ev->data, t->buf, (int)t->len);
    t->len = 0;
    return !stopped(s);
}

static int add_text(struct scan *s, struct pending_text *t, const char *text, size_t len)
{
    while (len > 0) {
        size_t n = len < sizeof t->buf - t->len ? len : sizeof t->buf - t->len;
        memcpy(t->buf + t->len, text, n);
        t->len += n;
        text += n;
        len -= n;
        if (t->len == sizeof t->buf && !flush_text(s, t))
            return 0;
    }
    return 1;
}

// Character data up to the next '<', decoded, each line end one LF. Text
// with nothing to decode goes to the handler as it stands in the datagram.
static enum xml_scan_result text(struct scan *s)
{
    struct pending_text t;
    t.len = 0;
    for (;;) {
        const char *run = s->p;
        while (s->p < s->end && !xml_is(*s->p, XML_TEXT_STOP | XML_INVALID))
            s->p++;
        int last = s->p == s->end || *s->p == '<';
        if (last && t.len == 0) {
            if (s->p > run)
                s->ev->text(s->ev->data, run, (int)(s->p - run));
            return stopped(s) ? XML_SCAN_STOPPED : XML_SCAN_DONE;
        }
        if (!add_text(s, &t, run, (size_t)(s->p - run)))
            return XML_SCAN_STOPPED;
        if (last)
            return flush_text(s, &t) ? XML_SCAN_DONE : XML_SCAN_STOPPED;
        char c = *s->p++;
        int out = c;
        if (xml_is(c, XML_INVALID) || (c == ']' && XML_LOOKING_AT(s, "]>")) ||
            (c == '&' && (out = xml_read_reference(s)) < 0))
            return XML_SCAN_UNSURE;
        if (c == '\r') {
            out = '\n';
            if (s->p < s->end && *s->p == '\n')
                s->p++;
        }
        char decoded = (char)out;
        if (!add_text(s, &t, &decoded, 1))
            return XML_SCAN_STOPPED;
    }
}

enum xml_scan_result xml_scan(const char *data, size_t len, const struct xml_events *events)
{
    // Every byte is looked at by one of the readers, each of which takes
    // printable ASCII and the three white-space controls only.
    struct scan s;
    s.p = data;
    s.end = data + len;
    s.ev = events;
    s.used = 0;
    s.binding_count = 0;
    s.depth = 0;
    if (XML_LOOKING_AT(&s, "<?xml") && len > 5 && is_space(data[5]) && !xml_read_declaration(&s))
        return XML_SCAN_UNSURE;
    xml_skip_space(&s);
    // The root element, its content, then white space alone.
    do {
        enum xml_scan_result r;
        if (s.p == s.end)
            return XML_SCAN_UNSURE;
        if (*s.p != '<')
            r = s.depth ? text(&s) : XML_SCAN_UNSURE;
        else if (++s.p < s.end && *s.p == '/')
            r = s.depth ? (s.p++, end_tag(&s)) : XML_SCAN_UNSURE;
        else
            r = start_tag(&s);
        if (r != XML_SCAN_DONE)
            return r;
    } while (s.depth > 0);
    xml_skip_space(&s);
    return s.p == s.end ? XML_SCAN_DONE : XML_SCAN_UNSURE;
}
