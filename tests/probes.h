// Probes in the forms real clients send, with a MessageID to fill in.
#pragma once

#include <string>

// The npm onvif client: default namespaces, no prefixes on SOAP elements.
inline std::string onvif_client_probe(const std::string &id)
{
    return "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><Header>"
           "<wsa:MessageID xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">" + id +
           "</wsa:MessageID>"
           "<wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
           "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
           "<wsa:Action xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
           "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action>"
           "</Header><Body>"
           "<Probe xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
           "<Types>dn:NetworkVideoTransmitter</Types><Scopes />"
           "</Probe></Body></Envelope>";
}

// node-onvif: the Types prefix is declared on the Types element itself.
inline std::string node_onvif_probe(const std::string &id, const std::string &type)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\"><s:Header>"
           "<a:Action s:mustUnderstand=\"1\">http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action>"
           "<a:MessageID>" + id + "</a:MessageID>"
           "<a:ReplyTo><a:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
           "</a:Address></a:ReplyTo>"
           "<a:To s:mustUnderstand=\"1\">urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>"
           "</s:Header><s:Body><Probe xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">"
           "<d:Types xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:dp0=\"http://www.onvif.org/ver10/network/wsdl\">dp0:" + type + "</d:Types>"
           "</Probe></s:Body></s:Envelope>";
}

// A prefixed Probe with Types and Scopes of our choosing.
inline std::string probe_with(const std::string &id, const std::string &types,
                              const std::string &scopes, const std::string &match_by = "")
{
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
           "xmlns:wsdp=\"http://schemas.xmlsoap.org/ws/2006/02/devprof\"><soap:Header>"
           "<wsa:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action>"
           "<wsa:MessageID>" + id + "</wsa:MessageID>"
           "<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
           "</soap:Header><soap:Body><wsd:Probe>"
           "<wsd:Types>" + types + "</wsd:Types>"
           "<wsd:Scopes" + (match_by.empty() ? "" : " MatchBy=\"" + match_by + "\"") + ">" +
           scopes + "</wsd:Scopes>"
           "</wsd:Probe></soap:Body></soap:Envelope>";
}

// A Resolve for the EndpointReference `address`.
inline std::string resolve_for(const std::string &id, const std::string &address)
{
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><s:Header>"
           "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Resolve</a:Action>"
           "<a:MessageID>" + id + "</a:MessageID>"
           "<a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>"
           "</s:Header><s:Body><d:Resolve><a:EndpointReference><a:Address>" + address +
           "</a:Address></a:EndpointReference></d:Resolve></s:Body></s:Envelope>";
}
