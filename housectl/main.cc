// housectl: query and configure the camera housing's controller over
// /dev/ttyS0. Options run in command-line order, each one action.

#include <unistd.h>

#include "options.h"
#include "tty.h"

// Every option but -q takes an argument, and only when attached (-lon).
static const char house_options[] = "l::t::h::f::c::i::e::p::d::r::a::q";

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
