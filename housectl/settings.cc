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

#define KEY_ROW(key, after) { key, after },
#define GROUP_KEY_ROWS(id, letter, word, modes, FIELDS, STEPS, KEYS) KEYS(KEY_ROW)
static const struct setting_param setting_params[] = { HOUSE_GROUPS(GROUP_KEY_ROWS) };

static const char mode_words[][5] = { "on", "off", "auto" };

static const char unknown_format[] = "unknown command after -%c (optarg = [%s])";
static const char malformed_format[] =
    "Can'not parse command after -%s (ret = %i, command = [%s] param = %i)";

static const struct setting_param *find_param(enum house_group group, const char *arg)
{
    const struct setting_param *p = setting_params + house_groups[group].first_key;

    for (int i = 0; i < house_groups[group].key_count; i++, p++)
        if (starts_with(arg, p->key))
            return p;
    return NULL;
}

enum setting_kind settings_parse(enum house_group group, const char *arg,
                                struct setting_request *req)
{
    const struct house_group_info *g = &house_groups[group];

    req->count = 0;
    req->value = 0;
    req->option = g->letter;
    req->word = g->word;
    req->key = NULL;
    req->after = NULL;
    req->kind = SETTING_UNKNOWN;
    for (int m = 0; m < g->modes; m++)
        if (strcmp(arg, mode_words[m]) == 0)
            return req->kind = SETTING_MODE;

    const struct setting_param *p = find_param(group, arg);
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
void settings_apply(enum house_group group, const char *arg, char *buffer)
{
    struct setting_request req;
    char save[10];

    enum setting_kind kind = settings_parse(group, arg, &req);
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
