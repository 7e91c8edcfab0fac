// A quick, namespace-aware reading of the XML that discovery requests come
// in, for the form they take in practice: ASCII, elements, attributes,
// text and the predefined entities, nothing else. It hands the reader the
// same events, in the same order, as the full XML parser (expat, with
// namespaces, names as "namespace local"), and says so when a document
// holds anything it does not read itself (comments, CDATA, a document
// type, other bytes) or is not well-formed: the full parser then reads it
// from the start. What the scan finishes is well-formed and reads as the
// full parser would read it.
#pragma once

#include <stddef.h>

/// The reader's handlers, called as expat calls them. The scan stops as
/// soon as *stop is set.
struct xml_events {
    void *data;
    void (*start)(void *data, const char *name, const char **attrs);
    void (*end)(void *data, const char *name);
    void (*text)(void *data, const char *text, int len);
    void (*namespace_start)(void *data, const char *prefix, const char *uri);
    void (*namespace_end)(void *data, const char *prefix);
    const int *stop;
};

enum xml_scan_result {
    XML_SCAN_DONE,     // the whole document, well-formed, went to the handlers
    XML_SCAN_STOPPED,  // a handler set *stop
    XML_SCAN_UNSURE,   // not read here: the full parser must read it
};

enum xml_scan_result xml_scan(const char *data, size_t len, const struct xml_events *events);
