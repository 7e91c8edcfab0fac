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

static int is_mode(const struct setting_group *g, const char *arg)
{
    for (const char *const *m = g->modes; *m; m++)
        if (strcmp(arg, *m) == 0)
            return 1;
    return 0;
}

static const struct setting_param *find_param(const struct setting_group *g, const char *arg)
{
    for (size_t i = 0; i < g->param_count; i++)
        if (strncmp(arg, g->params[i].key, strlen(g->params[i].key)) == 0)
            return &g->params[i];
    return NULL;
}

// The mode's answer and the save's are not examined: "OK" follows the save.
static void set_mode(const struct setting_group *g, const char *arg, char *buffer)
{
    snprintf(buffer, TTY_ANSWER_SIZE, g->mode_command, arg);
    tty_command(buffer, buffer);
    tty_command(g->save_command, buffer);
    printf("OK\n");
}

// Sent from the buffer itself, so the answer starts with the echoed command
// and must end in the controller's prompt. "OK" comes before the save.
static void set_param(const struct setting_group *g, const struct setting_param *p,
                      const char *arg, char *buffer)
{
    int value = 0;
    int n = sscanf(arg, p->pattern, &value);
    if (n != 1)
        error(1, 0, p->parse_failure, n, arg, value);

    snprintf(buffer, TTY_ANSWER_SIZE, p->command, value);
    tty_command(buffer, buffer);
    size_t len = strlen(buffer);
    if (len == 0 || buffer[len - 1] != ':')
        error(1, 0, "Error while \n[%s]\nstrlen(str) = %i", buffer, (int)len);
    printf("OK\n");
    tty_command(g->save_command, buffer);
}

static void set_group(const struct setting_group *g, const char *arg, char *buffer)
{
    if (is_mode(g, arg)) {
        set_mode(g, arg, buffer);
        return;
    }
    const struct setting_param *p = find_param(g, arg);
    if (p == NULL)
        error(1, 0, g->unknown, arg);
    set_param(g, p, arg, buffer);
}

void set_led(const char *arg, char *buffer) { set_group(&led_group, arg, buffer); }
void set_thermostat(const char *arg, char *buffer) { set_group(&th_group, arg, buffer); }
void set_preheat(const char *arg, char *buffer) { set_group(&ph_group, arg, buffer); }
void set_fan(const char *arg, char *buffer) { set_group(&fan_group, arg, buffer); }
void set_camera(const char *arg, char *buffer) { set_group(&cam_group, arg, buffer); }

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
