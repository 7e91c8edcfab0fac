/* The floor for a WS-Discovery responder: receives each datagram on port
 * 3702, sent to the group or to this host, and sends back one canned
 * ProbeMatches naming the request's
 * MessageID, and does nothing else (no XML parsing, no matching). What it
 * costs per Probe is about what the kernel's receive and send cost.
 *
 *   bare_responder
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char canned[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
    " xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">"
    "<SOAP-ENV:Header><wsa:MessageID>urn:uuid:6a0f3ad8-5f6c-4e2a-9d7e-3f1e2b0c9a11</wsa:MessageID>"
    "<wsa:RelatesTo>%.*s</wsa:RelatesTo>"
    "<wsa:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</wsa:To>"
    "<wsa:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</wsa:Action>"
    "<wsd:AppSequence InstanceId=\"1\" MessageNumber=\"1\"/></SOAP-ENV:Header>"
    "<SOAP-ENV:Body><wsd:ProbeMatches><wsd:ProbeMatch><wsa:EndpointReference><wsa:Address>"
    "urn:uuid:5a1c0e2d-3b4f-5a6b-8c7d-9e0f1a2b3c4d</wsa:Address></wsa:EndpointReference>"
    "<wsd:Types>dn:NetworkVideoTransmitter</wsd:Types>"
    "<wsd:XAddrs>http://10.79.0.1/onvif/device_service</wsd:XAddrs>"
    "<wsd:MetadataVersion>1</wsd:MetadataVersion></wsd:ProbeMatch></wsd:ProbeMatches>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

int main(void)
{
    int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    struct sockaddr_in addr = { 0 };
    addr.sin_family = AF_INET;
    addr.sin_port = htons(3702);
    struct ip_mreq group = { { inet_addr("239.255.255.250") }, { htonl(INADDR_ANY) } };
    if (sock < 0 || bind(sock, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
        perror("bare_responder");
        return 1;
    }
    for (;;) {
        char in[65536], out[4096];
        struct sockaddr_in from;
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(sock, in, sizeof in - 1, 0, (struct sockaddr *)&from, &from_len);
        if (n <= 0)
            continue;
        in[n] = '\0';
        /* The MessageID element's text: after the '>' that ends its
         * start tag (which may carry attributes), up to the next '<'. */
        const char *id = strstr(in, "MessageID");
        id = id ? strchr(id, '>') : NULL;
        id = id ? id + 1 : in;
        int id_len = (int)strcspn(id, "<");
        int len = snprintf(out, sizeof out, canned, id_len, id);
        if (len > 0 && (size_t)len < sizeof out)
            sendto(sock, out, (size_t)len, 0, (struct sockaddr *)&from, from_len);
    }
}
