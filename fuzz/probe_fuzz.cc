// The discovery request reader and matcher, on any datagram: the quick
// scan reads every request as the full XML parser does, and a Probe it
// accepts must also give an answer that fits.

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include "describe/description.h"
#include "read/request.h"
#include "service/matching.h"
#include "wsd.h"

// Composing an answer starts the service's instance, which keeps its
// InstanceId under /var/lib: the target gets an empty one of its own, in a
// mount namespace of its own unless a test runner has made one already.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if ((getenv("HOUSE_TEST_NAMESPACES") == NULL &&
         (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)) ||
        mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755") != 0) {
        fprintf(stderr, "probe_fuzz: no private /var/lib: %s\n", strerror(errno));
        exit(1);
    }
    return 0;
}

static int same_request(enum wsd_request_kind k1, const struct wsd_request *a,
                        enum wsd_request_kind k2, const struct wsd_request *b)
{
    if (k1 != k2)
        return 0;
    if (k1 == WSD_NOT_A_REQUEST)
        return 1;
    if (strcmp(a->message_id, b->message_id) != 0 || strcmp(a->scopes, b->scopes) != 0 ||
        strcmp(a->match_by, b->match_by) != 0 || strcmp(a->resolve_address, b->resolve_address) != 0 ||
        a->type_count != b->type_count || a->types_unresolved != b->types_unresolved || a->soap11 != b->soap11)
        return 0;
    for (int i = 0; i < a->type_count; i++)
        if (strcmp(a->types[i].ns, b->types[i].ns) != 0 || strcmp(a->types[i].local, b->types[i].local) != 0)
            return 0;
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static struct wsd_request probe, full;
    enum wsd_request_kind kind = wsd_parse_request((const char *)data, size, &probe);
    if (!same_request(kind, &probe, wsd_parse_request_fully((const char *)data, size, &full), &full))
        abort();
    if (kind != WSD_PROBE_REQUEST)
        return 0;
    if (strnlen(probe.message_id, sizeof probe.message_id) == sizeof probe.message_id ||
        probe.type_count < 0 || probe.type_count > WSD_QNAMES_MAX)
        abort();
    wsd_probe_matches(&probe);
    char message[WSD_MESSAGE_SIZE];
    wsd_message(message, sizeof message, WSD_PROBE_MATCHES, probe.message_id,
                "http://192.0.2.1/onvif/device_service");
    return 0;
}
