#include "options.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "answers.h"
#include "reports.h"
#include "settings.h"
#include "tty.h"

void usage(const char *name)
{
    // One call: the text is one string.
    dprintf(STDERR_FILENO,
            "Usage: %s -althfciepdr\n"
            "\t-q              - detect ip house\n"
            "\t-a              - show all params and stats in JSON format\n\n"
            "\t-l              - show LED params and stats in JSON format\n"
            "\t-l[on|off|auto] - enable|disable|auto LED\n"
            "\t-l[power=X]     - set LED power to X%%\n"
            "\t-l[lxon|lxoff]  - illuminance then LED will be on|off\n"
            "\t-l[tmax=X]      - if LED temperature > tmax then LED power will be set to pbo\n"
            "\t-l[pbo=X]       - LED power then LED temperature > tmax\n\n"
            "\t-t              - show thermostat params and stats in JSON format\n"
            "\t-t[on|off]      - enable|disable thermostat\n"
            "\t-t[power=X]     - set thermostat power to X%%\n"
            "\t-t[ton|toff]    - temperature then thermostat will be on|off\n\n"
            "\t-h              - show preheat params and stats in JSON format\n"
            "\t-h[on|off]      - enable|disable preheat\n"
            "\t-h[power=X]     - set preheat power to X%%\n"
            "\t-h[ton]         - temperature then preheat will be off and camera will be on\n\n"
            "\t-f              - show FAN params and stats in JSON format\n"
            "\t-f[on|off|auto] - enable|disable|auto FAN\n\n"
            "\t-c              - show camera params and stats in JSON format\n"
            "\t-c[on|off|auto] - enable|disable camera, auto used then preheat is enable\n"
            "\t-c[reboot]      - hardware reboot camera\n\n"
            "\t-i              - show actual illuminance in JSON format\n"
            "\t-e              - show external temperature in JSON format\n"
            "\t-p              - show actual voltage, current and power in JSON format\n\n"
            "\t-d              - set all parameters to defaults\n"
            "\t-r              - reboot ip house and camera\n\n",
            name);
    exit(1);
}

// The controller answers its LED query with "LED:"; anything else on the
// line is not a housing controller.
static void detect_house(char *buffer)
{
    tty_command("led\n", buffer);
    if (starts_with(buffer, "LED:")) {
        printf("IP house is here!\n");
        exit(0);
    }
    printf("No IP house here!\n");
    exit(-1);
}

// One option, one action: a show option prints its group, or with an
// attached argument changes one of the group's settings.
// The front end's own command/answer buffer; the settings compose their
// commands in it. It starts empty, so a detection whose command cannot be
// written finds no housing.
static char command_buffer[TTY_ANSWER_SIZE];

void run_option(int opt, const char *arg)
{
    switch (opt) {
    case 'a': show_all(); break;
    case 'l': arg ? set_led(arg, command_buffer) : show_led(); break;
    case 't': arg ? set_thermostat(arg, command_buffer) : show_thermostat(); break;
    case 'h': arg ? set_preheat(arg, command_buffer) : show_preheat(); break;
    case 'f': arg ? set_fan(arg, command_buffer) : show_fan(); break;
    case 'c': arg ? set_camera(arg, command_buffer) : show_camera(); break;
    case 'i': show_lux(); break;
    case 'e': show_temp(); break;
    case 'p': show_power(); break;
    case 'd': restore_defaults(command_buffer); break;
    case 'r': reboot_house(command_buffer); break;
    case 'q': detect_house(command_buffer); break;
    }
}
