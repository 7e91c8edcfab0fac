// A small reader of the one JSON document the daemon writes: objects,
// arrays, strings with their escapes, numbers and the three literals; no
// more depth than the document has.

#include "status_read.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct reader {
    const char *p, *end;
    status_fields *out;
    std::string error;
};

static void skip_space(reader *r)
{
    while (r->p < r->end && strchr(" \t\r\n", *r->p))
        r->p++;
}

static bool fail(reader *r, const char *what)
{
    if (r->error.empty())
        r->error = what;
    return false;
}

// A string after its opening quote, unescaped (\uXXXX below U+0800 only:
// the daemon writes no other).
static bool read_string(reader *r, std::string *s)
{
    for (; r->p < r->end && *r->p != '"'; r->p++) {
        if (*r->p != '\\') {
            s->push_back(*r->p);
            continue;
        }
        if (++r->p == r->end)
            return fail(r, "a string cut short");
        const char *plain = strchr("\"\\/bfnrt", *r->p);
        if (plain && *r->p != 'u') {
            s->push_back("\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"]);
            continue;
        }
        unsigned code;
        if (*r->p != 'u' || r->end - r->p < 5 || sscanf(r->p + 1, "%4x", &code) != 1)
            return fail(r, "a bad escape in a string");
        r->p += 4;
        if (code < 0x80) {
            s->push_back((char)code);
        } else {
            s->push_back((char)(0xc0 | (code >> 6 & 0x1f)));
            s->push_back((char)(0x80 | (code & 0x3f)));
        }
    }
    if (r->p == r->end)
        return fail(r, "a string cut short");
    r->p++;
    return true;
}

static bool read_value(reader *r, const std::string &path, int depth);

static bool read_members(reader *r, const std::string &path, int depth, bool array)
{
    skip_space(r);
    if (r->p < r->end && *r->p == (array ? ']' : '}'))
        return r->p++, true;
    for (int index = 0;; index++) {
        std::string key;
        skip_space(r);
        if (!array) {
            if (r->p == r->end || *r->p++ != '"' || !read_string(r, &key))
                return fail(r, "an object's member without a name");
            skip_space(r);
            if (r->p == r->end || *r->p++ != ':')
                return fail(r, "a member's name without ':'");
        }
        std::string inner = array ? path + "[" + std::to_string(index) + "]" : path.empty() ? key : path + "." + key;
        if (!read_value(r, inner, depth + 1))
            return false;
        skip_space(r);
        if (r->p < r->end && *r->p == ',') {
            r->p++;
            continue;
        }
        if (r->p < r->end && *r->p == (array ? ']' : '}')) {
            r->p++;
            if (array)
                r->out->push_back({ path + "#", std::to_string(index + 1) });
            return true;
        }
        return fail(r, "a member not followed by ',' or the end");
    }
}

static bool read_value(reader *r, const std::string &path, int depth)
{
    skip_space(r);
    if (r->p == r->end || depth > 16)
        return fail(r, "a value missing, or nested too deep");
    char c = *r->p++;
    if (c == '{' || c == '[')
        return read_members(r, path, depth, c == '[');
    std::string value;
    if (c == '"') {
        if (!read_string(r, &value))
            return false;
    } else {
        const char *start = r->p - 1;
        while (r->p < r->end && !strchr(",]} \t\r\n", *r->p))
            r->p++;
        value.assign(start, (size_t)(r->p - start));
    }
    r->out->push_back({ path, value });
    return true;
}

std::string status_parse(const std::string &text, status_fields *out)
{
    reader r = { text.data(), text.data() + text.size(), out, "" };
    out->clear();
    if (read_value(&r, "", 0)) {
        skip_space(&r);
        if (r.p != r.end)
            fail(&r, "text after the document");
    }
    return r.error;
}

std::string status_get(const status_fields &f, const std::string &path, const std::string &otherwise)
{
    for (const auto &[at, value] : f)
        if (at == path)
            return value;
    return otherwise;
}

int status_count(const status_fields &f, const std::string &path)
{
    return atoi(status_get(f, path + "#", "0").c_str());
}
