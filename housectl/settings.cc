#include "settings.h"

#include <error.h>
#include <stdio.h>
#include <string.h>

#include "answers.h"
#include "tty.h"

// The tables hold no pointers: in a position-independent program every
// pointer in a table is one more relocation to load.

struct setting_param {
    char key[6];    // compared whole at the start of the argument, then "=" and a number
    char after[8];  // how its parse-failure message names the option
};

struct setting_group {
    char option;
    char word[4];           // the commands' first word: "led power 40", "led save"
    unsigned char modes;    // on and off, and auto where it is 3
    unsigned char first_param, param_count;
};

static const struct setting_param setting_params[] = {
    { "power", "lpower=" }, { "lxon", "llxon=" }, { "lxoff", "llxoff" }, { "tmax", "ltmax" },
    { "pbo", "lpbo=" },
    { "power", "tpower=" }, { "ton", "tton=" }, { "toff", "ttoff" },
    { "power", "hpower=" }, { "ton", "hton=" },
};

static const struct setting_group setting_groups[] = {
    { 'l', "led", 3, 0, 5 },
    { 't', "th", 2, 5, 3 },
    { 'h', "ph", 2, 8, 2 },
    { 'f', "fan", 3, 0, 0 },
    { 'c', "cam", 3, 0, 0 },
};

static const char mode_words[][5] = { "on", "off", "auto" };

static const char unknown_format[] = "unknown command after -%c (optarg = [%s])";
static const char malformed_format[] =
    "Can'not parse command after -%s (ret = %i, command = [%s] param = %i)";

static const struct setting_group *group_of(int option)
{
    for (const struct setting_group *g = setting_groups; g < setting_groups + sizeof setting_groups / sizeof *setting_groups; g++)
        if (g->option == option)
            return g;
    return NULL;
}

static const struct setting_param *find_param(const struct setting_group *g, const char *arg)
{
    for (const struct setting_param *p = setting_params + g->first_param;
         p < setting_params + g->first_param + g->param_count; p++)
        if (starts_with(arg, p->key))
            return p;
    return NULL;
}

enum setting_kind settings_parse(int option, const char *arg, struct setting_request *req)
{
    const struct setting_group *g = group_of(option);

    req->count = 0;
    req->value = 0;
    req->option = option;
    req->word = g->word;
    req->key = NULL;
    req->after = NULL;
    req->kind = SETTING_UNKNOWN;
    for (int m = 0; m < g->modes; m++)
        if (strcmp(arg, mode_words[m]) == 0)
            return req->kind = SETTING_MODE;

    const struct setting_param *p = find_param(g, arg);
    if (p == NULL)
        return req->kind;
    req->key = p->key;
    req->after = p->after;
    // The key is there already: what follows it must be "=" and a number.
    req->count = sscanf(arg + strlen(p->key), "=%i", &req->value);
    return req->kind = req->count == 1 ? SETTING_PARAM : SETTING_MALFORMED;
}

void settings_command(const char *arg, const struct setting_request *req, char *buffer)
{
    if (req->kind == SETTING_MODE)
        snprintf(buffer, TTY_ANSWER_SIZE, "%s %s\n", req->word, arg);
    else
        snprintf(buffer, TTY_ANSWER_SIZE, "%s %s %i\n", req->word, req->key, req->value);
}

void settings_fail(const char *arg, const struct setting_request *req)
{
    if (req->kind == SETTING_UNKNOWN)
        error(1, 0, unknown_format, req->option, arg);
    error(1, 0, malformed_format, req->after, req->count, arg, req->value);
    __builtin_unreachable();  // error() with a status other than 0 does not return
}

int settings_acknowledged(const char *answer)
{
    size_t len = strlen(answer);
    return len > 0 && answer[len - 1] == ':';
}

// A mode's answer and its save's are not examined: "OK" follows the save.
// A parameter is sent from the buffer itself, so its answer starts with the
// echoed command and must end in the controller's prompt; "OK" comes before
// the save.
void settings_apply(int option, const char *arg, char *buffer)
{
    struct setting_request req;
    char save[10];

    enum setting_kind kind = settings_parse(option, arg, &req);
    if (kind == SETTING_UNKNOWN || kind == SETTING_MALFORMED)
        settings_fail(arg, &req);
    snprintf(save, sizeof save, "%s save\n", req.word);
    settings_command(arg, &req, buffer);
    tty_command(buffer, buffer);
    if (kind == SETTING_PARAM) {
        if (!settings_acknowledged(buffer))
            error(1, 0, "Error while \n[%s]\nstrlen(str) = %i", buffer, (int)strlen(buffer));
        printf("OK\n");
        tty_command(save, buffer);
    } else {
        tty_command(save, buffer);
        printf("OK\n");
    }
}

void set_led(const char *arg, char *buffer) { settings_apply('l', arg, buffer); }
void set_thermostat(const char *arg, char *buffer) { settings_apply('t', arg, buffer); }
void set_preheat(const char *arg, char *buffer) { settings_apply('h', arg, buffer); }
void set_fan(const char *arg, char *buffer) { settings_apply('f', arg, buffer); }
void set_camera(const char *arg, char *buffer) { settings_apply('c', arg, buffer); }

void restore_defaults(char *buffer)
{
    // The controller asks before it loads its defaults; "y" goes without a
    // line end.
    tty_command("default\n", buffer);
    tty_command("y", buffer);
    if (strcmp(buffer, "Default settings loaded.:") != 0)
        error(1, 0, "can not set default settings!");
    printf("OK\n");
}

void reboot_house(char *buffer)
{
    printf("buy buy...\n");
    tty_command("reboot\n", buffer);
}
