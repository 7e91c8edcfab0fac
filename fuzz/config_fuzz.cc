// The discovery configuration reader, on any file: what it keeps is
// bounded, well-formed and of the kind each key asks for, and the
// description made from it fits one answer.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "describe/description.h"
#include "describe/messages.h"
#include "utf8_check.h"
#include "wsd.h"

static void ignore(const char *problem)
{
    if (strnlen(problem, 1024) == 1024)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static struct wsd_config c;
    memset(&c, 0, sizeof c);
    wsd_config_parse("f", (const char *)data, size, &c, ignore);
    for (int t = 0; t < WSD_TEXT_KEYS; t++) {
        size_t n = strnlen(c.text[t], WSD_CONFIG_VALUE_SIZE);
        if (n == WSD_CONFIG_VALUE_SIZE || !valid_utf8(c.text[t], n))
            abort();
    }
    if (c.scope_count < 0 || c.scope_count > WSD_CONFIG_SCOPES)
        abort();
    for (int i = 0; i < c.scope_count; i++)
        if (strnlen(c.scopes[i], WSD_CONFIG_VALUE_SIZE) == WSD_CONFIG_VALUE_SIZE ||
            !wsd_is_uri(c.scopes[i], strlen(c.scopes[i])))
            abort();
    if (c.given[WSD_XADDRS] && (!strstr(c.xaddrs, "{address}") || strstr(c.xaddrs, "  ")))
        abort();
    if ((c.given[WSD_INTERFACES] && (strchr(c.interfaces, '/') || strstr(c.interfaces, "  "))) ||
        (c.given[WSD_ENDPOINT] && (strlen(c.endpoint) != 45 || strncmp(c.endpoint, "urn:uuid:", 9) != 0)) ||
        c.allow.count < 0 || c.allow.count > WSD_CONFIG_PREFIXES)
        abort();
    for (int i = 0; i < c.allow.count; i++)
        if (c.allow.at[i].bits < 0 || c.allow.at[i].bits > 128)
            abort();

    static struct wsd_description d;
    wsd_compose_description(&c, &d, ignore);
    if (!wsd_description_fits(&d) || strncmp(d.scopes, "onvif://www.onvif.org/type/video_encoder ", 41) != 0)
        abort();
    return 0;
}
