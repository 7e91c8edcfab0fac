// Checks for what the reports print: strict UTF-8, and the inside of a JSON
// string. Written apart from the product's encoder, by decoding each
// character and checking its value.
#pragma once

#include <stddef.h>
#include <string.h>

/// Whether `s` (`n` bytes) is well-formed UTF-8: shortest forms only, no
/// surrogates, nothing above U+10FFFF.
inline bool valid_utf8(const char *s, size_t n)
{
    const unsigned char *p = (const unsigned char *)s;
    for (size_t i = 0; i < n;) {
        unsigned c = p[i], len, cp;
        if (c < 0x80) {
            i++;
            continue;
        }
        if ((c & 0xe0) == 0xc0) {
            len = 2, cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3, cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (unsigned k = 1; k < len; k++) {
            if ((p[i + k] & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (p[i + k] & 0x3f);
        }
        static const unsigned shortest[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (cp < shortest[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += len;
    }
    return true;
}

/// Whether `s` is valid as the inside of a JSON string: no raw control
/// byte, quote or lone backslash, every escape one JSON knows.
inline bool valid_json_string_body(const char *s)
{
    auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    for (const char *p = s; *p; p++) {
        if ((unsigned char)*p < 0x20 || *p == '"')
            return false;
        if (*p != '\\')
            continue;
        p++;
        if (*p == 'u') {
            for (int k = 1; k <= 4; k++)
                if (!hex(p[k]))
                    return false;
            p += 4;
        } else if (*p == '\0' || !strchr("\"\\/bfnrt", *p)) {
            return false;
        }
    }
    return true;
}
