// The namespaces of a request: the declarations in scope as the reader
// goes, and what a prefix stands for among them. Clients differ in their
// prefixes and where they declare them; only the namespace counts.

#include <string.h>

#include "request_reader.h"

// Cheap for every other namespace: few begin as this one does.
static int is_undeclared(const char *uri)
{
    return uri[0] == 'u' && strncmp(uri, UNDECLARED_NS, sizeof UNDECLARED_NS - 1) == 0;
}

void reader_namespace_start(void *data, const char *prefix, const char *uri)
{
    struct request_reader *r = (struct request_reader *)data;
    if (!prefix)
        prefix = "";
    if (!uri)
        uri = "";
    int undeclared = is_undeclared(uri);
    if (r->ns_count == MAX_NAMESPACES + UNDECLARED_MAX ||
        (!undeclared && r->ns_count - r->undeclared_count == MAX_NAMESPACES) ||
        strlen(prefix) >= sizeof r->ns[0].prefix || strlen(uri) >= sizeof r->ns[0].uri) {
        reader_give_up(r);
        return;
    }
    strcpy(r->ns[r->ns_count].prefix, prefix);
    strcpy(r->ns[r->ns_count].uri, uri);
    r->ns_count++;
    r->undeclared_count += undeclared;
}

// Declarations end in the reverse order they began.
void reader_namespace_end(void *data, const char *)
{
    struct request_reader *r = (struct request_reader *)data;
    if (r->ns_count > 0)
        r->undeclared_count -= is_undeclared(r->ns[--r->ns_count].uri);
}

const char *reader_namespace_of(const struct request_reader *r, const char *prefix)
{
    if (strcmp(prefix, "xml") == 0)
        return "http://www.w3.org/XML/1998/namespace";
    for (int i = r->ns_count - 1; i >= 0; i--)
        if (strcmp(r->ns[i].prefix, prefix) == 0)  // xmlns="" undeclares
            return r->ns[i].uri[0] && !is_undeclared(r->ns[i].uri) ? r->ns[i].uri : NULL;
    return NULL;
}
