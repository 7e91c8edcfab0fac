// discovery-diagnose: why the camera is not found. Reads the status that
// discovery-daemon keeps under /run and looks at the host, then says in
// plain words each problem found and what to do about it. Exit status 0
// when it finds nothing wrong, 1 when it does, 2 on a usage error.
//
//   discovery-diagnose [--json] [--quiet-for SECONDS]

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "checks.h"

static const char status_path[] = "/run/discovery-daemon/status.json";

static void usage(void)
{
    fprintf(stderr, "Usage: discovery-diagnose [--json] [--quiet-for SECONDS]\n");
    exit(2);
}

// The status document into d->status, or why not into d->status_error.
static void read_status(diagnosis *d)
{
    FILE *f = fopen(status_path, "re");
    if (!f) {
        d->status_error = std::string("no status in ") + status_path + ": " + strerror(errno);
        return;
    }
    std::string text;
    char buf[8192];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    fclose(f);
    std::string bad = status_parse(text, &d->status);
    if (!bad.empty())
        d->status_error = std::string(status_path) + ": " + bad;
}

// `s` as a JSON string.
static void put_json(const std::string &s)
{
    putchar('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (c < 0x20)
            printf("\\u%04x", c);
        else
            putchar(c);
    }
    putchar('"');
}

static void print_json(const diagnosis *d)
{
    printf("{\"ok\":%s,\"problems\":[", d->found.empty() ? "true" : "false");
    for (size_t i = 0; i < d->found.size(); i++) {
        printf("%s{\"problem\":", i ? "," : "");
        put_json(d->found[i].problem);
        printf(",\"remedy\":");
        put_json(d->found[i].remedy);
        printf("}");
    }
    printf("]}\n");
}

static void print_words(const diagnosis *d)
{
    if (d->found.empty()) {
        printf("No problem found: discovery-daemon (pid %s) is discoverable on", status_get(d->status, "pid").c_str());
        int links = status_count(d->status, "links");
        for (int i = 0; i < links; i++)
            printf("%s %s (%s)", i ? "," : "", status_get(d->status, "links[" + std::to_string(i) + "].interface").c_str(),
                   status_get(d->status, "links[" + std::to_string(i) + "].family").c_str());
        printf("%s.\n", links ? "" : " no link yet");
        return;
    }
    printf("%zu problem%s found:\n", d->found.size(), d->found.size() > 1 ? "s" : "");
    for (const finding &f : d->found)
        printf("- %s.\n  What to do: %s.\n", f.problem.c_str(), f.remedy.c_str());
}

int main(int argc, char **argv)
{
    static const struct option options[] = { { "json", no_argument, NULL, 'j' },
                                             { "quiet-for", required_argument, NULL, 'q' },
                                             { NULL, 0, NULL, 0 } };
    diagnosis d;
    d.now = (long)time(NULL);
    d.quiet_s = 300;
    int json = 0;
    for (int c; (c = getopt_long(argc, argv, "jq:", options, NULL)) != -1;) {
        char *end;
        if (c == 'j')
            json = 1;
        else if (c == 'q' && (d.quiet_s = strtol(optarg, &end, 10)) >= 0 && *optarg && !*end)
            continue;
        else
            usage();
    }
    if (optind != argc)
        usage();
    read_status(&d);
    checks_run(&d);
    if (json)
        print_json(&d);
    else
        print_words(&d);
    return d.found.empty() ? 0 : 1;
}
