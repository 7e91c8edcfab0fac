#include "settings.h"

#include <error.h>
#include <stdio.h>
#include <string.h>

#include "tty.h"

struct setting_param {
    const char *key;      // compared whole at the start of the argument
    const char *pattern;  // the key, "=" and one "%i"
    const char *command;  // one "%i"
    const char *parse_failure;
};

struct setting_group {
    const char *const *modes;  // NULL-terminated
    const char *mode_command;  // one "%s"
    const struct setting_param *params;
    size_t param_count;
    const char *save_command;
    const char *unknown;  // one "%s", the argument
};

static const char *const on_off_auto[] = { "on", "off", "auto", NULL };
static const char *const on_off[] = { "on", "off", NULL };

static const struct setting_param led_params[] = {
    { "power", "power=%i", "led power %i\n",
      "Can'not parse command after -lpower= (ret = %i, command = [%s] param = %i)" },
    { "lxon", "lxon=%i", "led lxon %i\n",
      "Can'not parse command after -llxon= (ret = %i, command = [%s] param = %i)" },
    { "lxoff", "lxoff=%i", "led lxoff %i\n",
      "Can'not parse command after -llxoff (ret = %i, command = [%s] param = %i)" },
    { "tmax", "tmax=%i", "led tmax %i\n",
      "Can'not parse command after -ltmax (ret = %i, command = [%s] param = %i)" },
    { "pbo", "pbo=%i", "led pbo %i\n",
      "Can'not parse command after -lpbo= (ret = %i, command = [%s] param = %i)" },
};
static const struct setting_param th_params[] = {
    { "power", "power=%i", "th power %i\n",
      "Can'not parse command after -tpower= (ret = %i, command = [%s] param = %i)" },
    { "ton", "ton=%i", "th ton %i\n",
      "Can'not parse command after -tton= (ret = %i, command = [%s] param = %i)" },
    { "toff", "toff=%i", "th toff %i\n",
      "Can'not parse command after -ttoff (ret = %i, command = [%s] param = %i)" },
};
static const struct setting_param ph_params[] = {
    { "power", "power=%i", "ph power %i\n",
      "Can'not parse command after -hpower= (ret = %i, command = [%s] param = %i)" },
    { "ton", "ton=%i", "ph ton %i\n",
      "Can'not parse command after -hton= (ret = %i, command = [%s] param = %i)" },
};

#define PARAMS(p) p, sizeof p / sizeof p[0]

static const struct setting_group led_group = {
    on_off_auto, "led %s\n", PARAMS(led_params), "led save\n",
    "unknown command after -l (optarg = [%s])" };
static const struct setting_group th_group = {
    on_off, "th %s\n", PARAMS(th_params), "th save\n",
    "unknown command after -t (optarg = [%s])" };
static const struct setting_group ph_group = {
    on_off, "ph %s\n", PARAMS(ph_params), "ph save\n",
    "unknown command after -h (optarg = [%s])" };
static const struct setting_group fan_group = {
    on_off_auto, "fan %s\n", NULL, 0, "fan save\n",
    "unknown command after -f (optarg = [%s])" };
static const struct setting_group cam_group = {
    on_off_auto, "cam %s\n", NULL, 0, "cam save\n",
    "unknown command after -c (optarg = [%s])" };

static const struct setting_group *group_of(int option)
{
    switch (option) {
    case 'l': return &led_group;
    case 't': return &th_group;
    case 'h': return &ph_group;
    case 'f': return &fan_group;
    case 'c': return &cam_group;
    }
    return NULL;
}

static const struct setting_param *find_param(const struct setting_group *g, const char *arg)
{
    for (size_t i = 0; i < g->param_count; i++)
        if (strncmp(arg, g->params[i].key, strlen(g->params[i].key)) == 0)
            return &g->params[i];
    return NULL;
}

enum setting_kind settings_parse(int option, const char *arg, struct setting_request *req)
{
    const struct setting_group *g = group_of(option);

    req->count = 0;
    req->value = 0;
    req->failure = g->unknown;
    req->command = g->mode_command;
    req->save = g->save_command;
    req->kind = SETTING_UNKNOWN;
    for (const char *const *m = g->modes; *m; m++)
        if (strcmp(arg, *m) == 0)
            return req->kind = SETTING_MODE;

    const struct setting_param *p = find_param(g, arg);
    if (p == NULL)
        return req->kind;
    req->count = sscanf(arg, p->pattern, &req->value);
    req->failure = p->parse_failure;
    req->command = p->command;
    return req->kind = req->count == 1 ? SETTING_PARAM : SETTING_MALFORMED;
}

void settings_command(const char *arg, const struct setting_request *req, char *buffer)
{
    if (req->kind == SETTING_MODE)
        snprintf(buffer, TTY_ANSWER_SIZE, req->command, arg);
    else
        snprintf(buffer, TTY_ANSWER_SIZE, req->command, req->value);
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
static void set_option(int option, const char *arg, char *buffer)
{
    struct setting_request req;

    switch (settings_parse(option, arg, &req)) {
    case SETTING_UNKNOWN:
        error(1, 0, req.failure, arg);
        break;
    case SETTING_MALFORMED:
        error(1, 0, req.failure, req.count, arg, req.value);
        break;
    case SETTING_MODE:
        settings_command(arg, &req, buffer);
        tty_command(buffer, buffer);
        tty_command(req.save, buffer);
        printf("OK\n");
        break;
    case SETTING_PARAM:
        settings_command(arg, &req, buffer);
        tty_command(buffer, buffer);
        if (!settings_acknowledged(buffer))
            error(1, 0, "Error while \n[%s]\nstrlen(str) = %i", buffer, (int)strlen(buffer));
        printf("OK\n");
        tty_command(req.save, buffer);
        break;
    }
}

void set_led(const char *arg, char *buffer) { set_option('l', arg, buffer); }
void set_thermostat(const char *arg, char *buffer) { set_option('t', arg, buffer); }
void set_preheat(const char *arg, char *buffer) { set_option('h', arg, buffer); }
void set_fan(const char *arg, char *buffer) { set_option('f', arg, buffer); }
void set_camera(const char *arg, char *buffer) { set_option('c', arg, buffer); }

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
