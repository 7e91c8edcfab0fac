// The namespaces of a request: the declarations in scope as the reader
// goes, and the Types' QNames resolved with them. Clients differ in their
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

static const char *lookup_namespace(const struct request_reader *r, const char *prefix)
{
    if (strcmp(prefix, "xml") == 0)
        return "http://www.w3.org/XML/1998/namespace";
    for (int i = r->ns_count - 1; i >= 0; i--)
        if (strcmp(r->ns[i].prefix, prefix) == 0)  // xmlns="" undeclares
            return r->ns[i].uri[0] && !is_undeclared(r->ns[i].uri) ? r->ns[i].uri : NULL;
    return NULL;
}

// Resolves the Types list while the Types element's own declarations are
// still in scope.
void reader_resolve_types(struct request_reader *r)
{
    struct wsd_request *p = r->request;
    const char *s = r->types;

    for (;;) {
        size_t len;
        const char *token = wsd_next_token(&s, &len);
        if (len == 0)
            break;
        if (p->type_count == WSD_QNAMES_MAX || len >= WSD_NAME_SIZE) {
            reader_give_up(r);
            return;
        }
        char qname[WSD_NAME_SIZE];
        memcpy(qname, token, len);
        qname[len] = '\0';

        char *colon = strchr(qname, ':');
        const char *local = colon ? colon + 1 : qname;
        if (colon)
            *colon = '\0';
        const char *uri = lookup_namespace(r, colon ? qname : "");
        // Some clients write a Type as its namespace name, a colon and its
        // local name: "http://www.onvif.org/ver10/device/wsdl:Device".
        char *last = colon ? strrchr(colon + 1, ':') : NULL;
        if (!uri && last && strchr(colon + 1, '/')) {
            *colon = ':';
            *last = '\0';
            uri = qname;
            local = last + 1;
        }
        struct wsd_qname *t = &p->types[p->type_count++];
        if (!uri || strlen(local) >= sizeof t->local) {
            p->types_unresolved = 1;
            uri = "";
        }
        strcpy(t->ns, uri);
        strcpy(t->local, local);
    }
}
