// Reads a WS-Discovery message with a real XML parser, for checks field by
// field: each element's text by namespace and local name, and each
// attribute, as "Element@Attribute".
#pragma once

#include <expat.h>

#include <map>
#include <string>
#include <vector>

struct xml_fields {
    bool well_formed = false;
    // "namespace local" (as expat names it) -> the texts of every such element
    std::map<std::string, std::vector<std::string>> text;
    // "namespace local@attribute" -> values
    std::map<std::string, std::vector<std::string>> attr;

    /// The only text of the element, or "<missing>" / "<repeated>".
    std::string one(const std::string &ns, const std::string &local) const
    {
        auto it = text.find(ns + " " + local);
        if (it == text.end())
            return "<missing>";
        return it->second.size() == 1 ? it->second[0] : "<repeated>";
    }
    std::string one_attr(const std::string &ns, const std::string &local,
                         const std::string &name) const
    {
        auto it = attr.find(ns + " " + local + "@" + name);
        if (it == attr.end())
            return "<missing>";
        return it->second.size() == 1 ? it->second[0] : "<repeated>";
    }
};

inline xml_fields read_xml_fields(const std::string &message)
{
    struct state {
        xml_fields out;
        std::vector<std::string> open;
        std::vector<std::string> texts;
    } st;
    XML_Parser p = XML_ParserCreateNS(NULL, ' ');
    XML_SetUserData(p, &st);
    XML_SetElementHandler(
        p,
        [](void *data, const char *name, const char **attrs) {
            state *s = (state *)data;
            s->open.push_back(name);
            s->texts.push_back("");
            for (int i = 0; attrs[i]; i += 2)
                s->out.attr[std::string(name) + "@" + attrs[i]].push_back(attrs[i + 1]);
        },
        [](void *data, const char *) {
            state *s = (state *)data;
            s->out.text[s->open.back()].push_back(s->texts.back());
            s->open.pop_back();
            s->texts.pop_back();
        });
    XML_SetCharacterDataHandler(p, [](void *data, const char *text, int len) {
        state *s = (state *)data;
        if (!s->texts.empty())
            s->texts.back().append(text, (size_t)len);
    });
    st.out.well_formed = XML_Parse(p, message.data(), (int)message.size(), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(p);
    return st.out;
}
