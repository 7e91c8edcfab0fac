// The discovery Probe reader and matcher, on any datagram; a Probe it
// accepts must also give an answer that fits.

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include "request.h"
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    struct wsd_request probe;
    if (!wsd_parse_probe((const char *)data, size, &probe))
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
