// housectl: query and configure the camera housing's controller over
// /dev/ttyS0. Options run in command-line order, each one action.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "answers.h"
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

// The show options in the order of enum house_query; the first five are
// groups with settings.
static const char report_letters[] = "lthfciep";
enum { SETTING_LETTERS = 5 };

static void run_option(int opt, const char *arg)
{
    switch (opt) {
    case 'a': show_all(); return;
    case 'd': restore_defaults(command_buffer); return;
    case 'r': reboot_house(command_buffer); return;
    case 'q': detect_house(command_buffer); return;
    }
    // A show option, or with an attached argument the group's setting.
    int query = 0;
    while (report_letters[query] != opt)
        query++;
    if (arg != NULL && query < SETTING_LETTERS)
        settings_apply(opt, arg, command_buffer);
    else
        show_report((enum house_query)query);
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
