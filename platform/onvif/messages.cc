// The messages the device sends: Hello, Bye and the answers to Probe and
// Resolve, each with the AppSequence of this start of the service.

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include "wsd.h"

static const char types[] = "dn:NetworkVideoTransmitter tds:Device";

static pthread_once_t instance_once = PTHREAD_ONCE_INIT;
static unsigned long instance_id;
static unsigned long message_number;

// This start of the service: taken with its first message.
static void start_instance(void)
{
    int saved;
    instance_id = wsd_next_instance_id(WSD_INSTANCE_ID_FILE, (unsigned long)time(NULL), &saved);
    if (!saved)
        syslog(LOG_WARNING, "can't keep the InstanceId in " WSD_INSTANCE_ID_FILE
                            "; the next start may repeat it");
}

void wsd_escape(char *out, size_t size, const char *text)
{
    size_t n = 0;
    for (const char *p = text; *p; p++) {
        const char *rep = *p == '&' ? "&amp;" : *p == '<' ? "&lt;" : *p == '>' ? "&gt;" : NULL;
        size_t len = rep ? strlen(rep) : 1;
        if (n + len >= size)
            break;
        if (rep)
            memcpy(out + n, rep, len);
        else
            out[n] = *p;
        n += len;
    }
    out[n] = '\0';
}

// The part of Hello and ProbeMatch that describes the device.
static int describe(char *out, size_t size, const char *xaddrs)
{
    char escaped[1024];
    wsd_escape(escaped, sizeof escaped, xaddrs);
    return snprintf(out, size,
                    "<wsa:EndpointReference><wsa:Address>%s</wsa:Address></wsa:EndpointReference>"
                    "<wsd:Types>%s</wsd:Types>"
                    "<wsd:Scopes>%s</wsd:Scopes>"
                    "<wsd:XAddrs>%s</wsd:XAddrs>"
                    "<wsd:MetadataVersion>1</wsd:MetadataVersion>",
                    wsd_endpoint(), types, wsd_scopes(), escaped);
}

size_t wsd_message(char *out, size_t size, enum wsd_kind kind, const char *relates_to,
                   const char *xaddrs)
{
    char body[2048], header[1024], id[64];
    const char *action;
    int n;

    switch (kind) {
    case WSD_HELLO:
        action = WSD_DISCOVERY_NS "/Hello";
        n = describe(body, sizeof body, xaddrs);
        break;
    case WSD_BYE:
        action = WSD_DISCOVERY_NS "/Bye";
        n = snprintf(body, sizeof body,
                     "<wsa:EndpointReference><wsa:Address>%s</wsa:Address></wsa:EndpointReference>",
                     wsd_endpoint());
        break;
    case WSD_RESOLVE_MATCHES:
        action = WSD_DISCOVERY_NS "/ResolveMatches";
        n = describe(body, sizeof body, xaddrs);
        break;
    default:
        action = WSD_DISCOVERY_NS "/ProbeMatches";
        n = describe(body, sizeof body, xaddrs);
        break;
    }
    if (n < 0 || (size_t)n >= sizeof body)
        return 0;

    wsd_new_uuid(id);
    int matches = kind == WSD_PROBE_MATCHES || kind == WSD_RESOLVE_MATCHES;
    if (matches) {
        char related[WSD_MESSAGE_ID_SIZE * 5];
        wsd_escape(related, sizeof related, relates_to);
        n = snprintf(header, sizeof header,
                     "<wsa:MessageID>%s</wsa:MessageID><wsa:RelatesTo>%s</wsa:RelatesTo>"
                     "<wsa:To>" WSD_ADDRESSING_NS "/role/anonymous</wsa:To>",
                     id, related);
    } else {
        n = snprintf(header, sizeof header,
                     "<wsa:MessageID>%s</wsa:MessageID>"
                     "<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>",
                     id);
    }
    if (n < 0 || (size_t)n >= sizeof header)
        return 0;

    static const char *const elements[] = { "Hello", "Bye", "ProbeMatches", "ResolveMatches" };
    static const char *const matches_open[] = { "", "", "<wsd:ProbeMatch>", "<wsd:ResolveMatch>" };
    static const char *const matches_close[] = { "", "", "</wsd:ProbeMatch>",
                                                  "</wsd:ResolveMatch>" };
    const char *element = elements[kind];
    pthread_once(&instance_once, start_instance);
    n = snprintf(out, size,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"" WSD_SOAP_NS "\""
                 " xmlns:wsa=\"" WSD_ADDRESSING_NS "\""
                 " xmlns:wsd=\"" WSD_DISCOVERY_NS "\""
                 " xmlns:dn=\"" WSD_ONVIF_NETWORK_NS "\""
                 " xmlns:tds=\"" WSD_ONVIF_DEVICE_NS "\">"
                 "<SOAP-ENV:Header>%s<wsa:Action>%s</wsa:Action>"
                 "<wsd:AppSequence InstanceId=\"%lu\" MessageNumber=\"%lu\"/>"
                 "</SOAP-ENV:Header>"
                 "<SOAP-ENV:Body><wsd:%s>%s%s%s</wsd:%s></SOAP-ENV:Body>"
                 "</SOAP-ENV:Envelope>",
                 header, action, instance_id,
                 __atomic_add_fetch(&message_number, 1, __ATOMIC_RELAXED), element,
                 matches_open[kind], body, matches_close[kind], element);
    if (n < 0 || (size_t)n >= size)
        return 0;
    return (size_t)n;
}
