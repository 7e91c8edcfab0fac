// The discovery Probe reader and matcher, on any datagram; a Probe it
// accepts must also give an answer that fits.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "request.h"
#include "wsd.h"

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
