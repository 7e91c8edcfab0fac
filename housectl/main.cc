// housectl: query and configure the camera housing's controller over
// /dev/ttyS0. Options run in command-line order, each one action.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "reports.h"
#include "settings.h"
#include "tty.h"

// Every option but -q takes an argument, and only when attached (-lon).
static const char house_options[] = "l::t::h::f::c::i::e::p::d::r::a::q";

// The front end's own command/answer buffer; the settings compose their
// commands in it. It starts empty, so a detection whose command cannot be
// written finds no housing.
static char command_buffer[TTY_ANSWER_SIZE];

static void usage(const char *name)
{
    fprintf(stderr, "Usage: %s -althfciepdr\n", name);
    fprintf(stderr, "\t-q              - detect ip house\n");
    fprintf(stderr, "\t-a              - show all params and stats in JSON format\n\n");
    fprintf(stderr, "\t-l              - show LED params and stats in JSON format\n");
    fprintf(stderr, "\t-l[on|off|auto] - enable|disable|auto LED\n");
    fprintf(stderr, "\t-l[power=X]     - set LED power to X%%\n");
    fprintf(stderr, "\t-l[lxon|lxoff]  - illuminance then LED will be on|off\n");
    fprintf(stderr, "\t-l[tmax=X]      - if LED temperature > tmax then LED power will be set to pbo\n");
    fprintf(stderr, "\t-l[pbo=X]       - LED power then LED temperature > tmax\n\n");
    fprintf(stderr, "\t-t              - show thermostat params and stats in JSON format\n");
    fprintf(stderr, "\t-t[on|off]      - enable|disable thermostat\n");
    fprintf(stderr, "\t-t[power=X]     - set thermostat power to X%%\n");
    fprintf(stderr, "\t-t[ton|toff]    - temperature then thermostat will be on|off\n\n");
    fprintf(stderr, "\t-h              - show preheat params and stats in JSON format\n");
    fprintf(stderr, "\t-h[on|off]      - enable|disable preheat\n");
    fprintf(stderr, "\t-h[power=X]     - set preheat power to X%%\n");
    fprintf(stderr, "\t-h[ton]         - temperature then preheat will be off and camera will be on\n\n");
    fprintf(stderr, "\t-f              - show FAN params and stats in JSON format\n");
    fprintf(stderr, "\t-f[on|off|auto] - enable|disable|auto FAN\n\n");
    fprintf(stderr, "\t-c              - show camera params and stats in JSON format\n");
    fprintf(stderr, "\t-c[on|off|auto] - enable|disable camera, auto used then preheat is enable\n");
    fprintf(stderr, "\t-c[reboot]      - hardware reboot camera\n\n");
    fprintf(stderr, "\t-i              - show actual illuminance in JSON format\n");
    fprintf(stderr, "\t-e              - show external temperature in JSON format\n");
    fprintf(stderr, "\t-p              - show actual voltage, current and power in JSON format\n\n");
    fprintf(stderr, "\t-d              - set all parameters to defaults\n");
    fprintf(stderr, "\t-r              - reboot ip house and camera\n\n");
    exit(1);
}

// The controller answers its LED query with "LED:"; anything else on the
// line is not a housing controller.
static void detect_house(char *buffer)
{
    tty_command("led\n", buffer);
    if (strncmp(buffer, "LED:", 4) == 0) {
        printf("IP house is here!\n");
        exit(0);
    }
    printf("No IP house here!\n");
    exit(-1);
}

// A show option, or with an attached argument the group's setting.
static void show_or_set(void (*show)(void), void (*set)(const char *, char *), const char *arg)
{
    if (arg == NULL)
        show();
    else
        set(arg, command_buffer);
}

static void run_option(int opt, const char *arg)
{
    switch (opt) {
    case 'a': show_all(); break;
    case 'l': show_or_set(show_led, set_led, arg); break;
    case 't': show_or_set(show_thermostat, set_thermostat, arg); break;
    case 'h': show_or_set(show_preheat, set_preheat, arg); break;
    case 'f': show_or_set(show_fan, set_fan, arg); break;
    case 'c': show_or_set(show_camera, set_camera, arg); break;
    case 'i': show_lux(); break;
    case 'e': show_temp(); break;
    case 'p': show_power(); break;
    case 'd': restore_defaults(command_buffer); break;
    case 'r': reboot_house(command_buffer); break;
    case 'q': detect_house(command_buffer); break;
    }
}

int main(int argc, char **argv)
{
    int handled = 0;
    int opt;

    // The line is opened before the options are looked at: without the
    // device there is nothing to do, not even a usage message.
    tty_open();

    while ((opt = getopt(argc, argv, house_options)) != -1) {
        if (opt == '?')
            usage(argv[0]);  // getopt has already said what was wrong
        handled++;
        run_option(opt, optarg);
    }
    if (handled == 0)
        usage(argv[0]);
    return 0;
}
