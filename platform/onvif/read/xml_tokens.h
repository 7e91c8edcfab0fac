// The lexical pieces of the quick scan of discovery requests: names,
// references, attribute values, white space and the XML declaration, over
// the part of the datagram still to read.
#pragma once

#include <stddef.h>
#include <string.h>

struct xml_events;  // the scan's handlers (xml_scan.h)

enum { MAX_ATTRS = 16, MAX_BINDINGS = 32, MAX_DEPTH = 32, ARENA_SIZE = 8192, NAME_SIZE = 1024 };

struct span {
    const char *at;
    size_t len;
};

// A prefix bound to a namespace by the element at `depth`.
struct binding {
    struct span prefix;  // empty: the default namespace
    const char *uri;     // NUL-terminated, in the arena; "" undeclares the default
    size_t uri_len;
    int depth;
};

struct attribute {
    struct span prefix, local;
    const char *value;  // in the arena
};

/// The scan of one document: what is left to read, the handlers, and the
/// namespaces and elements open.
struct scan {
    const char *p, *end;
    const struct xml_events *ev;
    char arena[ARENA_SIZE];  // decoded attribute values
    size_t used;
    struct binding bindings[MAX_BINDINGS];
    int binding_count;
    struct span open[MAX_DEPTH][2];  // each open element's prefix and local name
    int depth;
};

/// What each byte can be in the documents the scan reads, as bits.
enum {
    XML_INVALID = 1,      // outside printable ASCII and TAB, LF, CR
    XML_SPACE = 2,        // ' ', TAB, LF, CR
    XML_NAME_START = 4,   // letters and '_'
    XML_NAME = 8,         // those, digits, '.', '-'
    XML_TEXT_STOP = 16,   // ends a plain run of text: '<', '&', ']', CR
    XML_VALUE_STOP = 32,  // ends a plain run of a value: quotes, '<', '&', TAB, LF, CR
};
extern const unsigned char xml_class[256];

static inline int xml_is(char c, int cls)
{
    return xml_class[(unsigned char)c] & cls;
}

static inline int is_space(char c) { return xml_is(c, XML_SPACE); }

/// Whether `a` is the literal `text`.
#define XML_SAME(a, text) ((a).len == sizeof text - 1 && memcmp((a).at, text, sizeof text - 1) == 0)
/// Whether what follows is the literal `text`.
#define XML_LOOKING_AT(s, text) \
    ((size_t)((s)->end - (s)->p) >= sizeof text - 1 && memcmp((s)->p, text, sizeof text - 1) == 0)

/// Skips white space; whether there was any.
int xml_skip_space(struct scan *s);
/// An NCName, into *name; 0 when none starts here.
int xml_read_ncname(struct scan *s, struct span *name);
/// A qualified name, into *prefix (empty without one) and *local.
int xml_read_qname(struct scan *s, struct span *prefix, struct span *local);
/// A reference after its '&': the one ASCII character it stands for, or
/// -1 for one read elsewhere (other characters, other entities).
int xml_read_reference(struct scan *s);
/// A quoted attribute value, decoded and normalised as the full parser
/// does, NUL-terminated in the scan's arena; NULL when it is none.
const char *xml_read_value(struct scan *s);
/// The XML declaration after its "<?xml" and a space, up to its "?>":
/// version 1.0, an encoding that ASCII is, standalone, as the full parser
/// reads them. 0 for any other (the full parser reads the document).
int xml_read_declaration(struct scan *s);
