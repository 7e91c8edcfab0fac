// The values of the configuration's keys, each checked and put in its
// form, and the limits of what is kept of them.
#pragma once

#include <stddef.h>

enum {
    WSD_CONFIG_VALUE_SIZE = 256,  // a value's bytes and its terminator
    WSD_CONFIG_SCOPES = 16,       // scope lines kept
    WSD_CONFIG_FILE_SIZE = 65536, // what is read of a file
    WSD_CONFIG_GLOBS = 16,        // interface globs kept
    WSD_CONFIG_GLOB_SIZE = 64,    // the longest glob, its '!' aside
    WSD_CONFIG_PREFIXES = 16,     // allowed prefixes kept
};

/// Addresses in the IPv6 form, IPv4 ones mapped (::ffff:a.b.c.d, 96 more
/// prefix bits), so one comparison serves both families.
struct wsd_prefix {
    unsigned char at[16];
    int bits;
};

/// The prefixes of `allow`.
struct wsd_prefixes {
    struct wsd_prefix at[WSD_CONFIG_PREFIXES];
    int count;
};

// Each reader of a key's value returns NULL when the value is good (and
// puts it in its form), or what is wrong with it.

/// Whether `s` is an absolute URI (scheme ':' and more) of the characters a
/// URI may hold, without white space.
int wsd_is_uri(const char *s, size_t len);

/// Well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
int wsd_valid_utf8(const unsigned char *p, size_t n);

/// XAddrs templates: each an absolute URI once its {address} is taken out,
/// into `out` one space apart.
const char *wsd_config_templates(const char *v, size_t len, char *out);

/// Whether the `len` bytes at `v` are one of `words` (a yes or a no, in
/// any case).
int wsd_config_word(const char *v, size_t len, const char *const *words);
extern const char *const wsd_yes_words[], *const wsd_no_words[];

/// Interface globs (fnmatch), '!' before one that excludes, into `out` one
/// space apart; each well-formed (every '[' closed, no '\\' at its end).
const char *wsd_config_globs(const char *v, size_t len, char *out);

/// Whether the interface `name` is one the globs use: none excludes it, and
/// one includes it or none includes at all.
int wsd_globs_name(const char *globs, const char *name);

/// IPv4 and IPv6 prefixes (CIDR; an address alone is one host) into *out.
const char *wsd_config_prefixes(const char *v, size_t len, struct wsd_prefixes *out);

/// Whether the prefix holds the address `at` (mapped as a prefix is).
int wsd_prefix_holds(const struct wsd_prefix *p, const unsigned char at[16]);

/// An endpoint address: "urn:uuid:" and a UUID, into `out` in lower case.
const char *wsd_config_endpoint(const char *v, size_t len, char *out);
