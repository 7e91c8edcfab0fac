// WS-Discovery (2005/04) for an ONVIF video transmitter: the names and
// sizes of the protocol, and the record of what the device announces, which
// every part of the library shares. The library's rooms, each folder calling
// only those below it, the ground floor (this header, the log, the waits)
// under all:
//
//   service/   the service itself: the hello and probe loops, the answers
//              held back, the responder, the directed socket, matching a
//              request against the device, the status it keeps
//   network/   the links and their watch, datagram I/O, who is on the link,
//              admission (who is answered, how often), the counters
//   describe/  what the device says of itself: its description, identity
//              and kept state, and the messages that carry them
//   config/    the configuration files, their values and their watch
//   read/      reading a request: the lexical scan, the quick scan, the
//              full parser, the request and its namespaces
//
// read/ and config/ call nothing but the ground floor.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WSD_SOAP_NS "http://www.w3.org/2003/05/soap-envelope"
#define WSD_SOAP11_NS "http://schemas.xmlsoap.org/soap/envelope/"
#define WSD_ADDRESSING_NS "http://schemas.xmlsoap.org/ws/2004/08/addressing"
#define WSD_DISCOVERY_NS "http://schemas.xmlsoap.org/ws/2005/04/discovery"
#define WSD_ONVIF_NETWORK_NS "http://www.onvif.org/ver10/network/wsdl"
#define WSD_ONVIF_DEVICE_NS "http://www.onvif.org/ver10/device/wsdl"

/// The Types the device announces, in the namespaces every message declares.
#define WSD_TYPES "dn:NetworkVideoTransmitter tds:Device"

enum {
    WSD_MESSAGE_ID_SIZE = 256,
    WSD_TYPES_SIZE = 1024,
    WSD_SCOPES_SIZE = 2048,
    WSD_QNAMES_MAX = 16,
    WSD_NAME_SIZE = 256,
    WSD_MESSAGE_SIZE = 4096,  // every message we send fits
    WSD_TEMPLATES_SIZE = 256,
    WSD_XADDRS_SIZE = 1536,   // the templates with each address of a link put in, as many as fit
    WSD_ADDRESS_SIZE = 48,    // "10.0.0.2", "[fd00::1]": an IPv6 address in brackets
    WSD_ENDPOINT_SIZE = 46,   // "urn:uuid:" and a UUID, and the terminator
    WSD_HARDWARE_ADDRESS_SIZE = 18,  // "02:00:00:00:00:01" and the terminator
};

/// The discovery groups and port.
#define DISCOVERY_GROUP "239.255.255.250"
#define DISCOVERY_GROUP6 "ff02::c"
enum { DISCOVERY_PORT = 3702 };

/// What the device announces, as its configuration says now: its scopes
/// (white space separated), its XAddrs templates ({address} standing for
/// the address of the link), the MetadataVersion of that description, and
/// whether it is discoverable at all.
struct wsd_description {
    char scopes[WSD_SCOPES_SIZE];
    size_t fixed_scopes;  // the length of the first scopes, which are never left out
    char templates[WSD_TEMPLATES_SIZE];
    unsigned long metadata_version;
    int discoverable;
    char endpoint[WSD_ENDPOINT_SIZE];  // the configured one, or wsd_endpoint()
};
