// The command line: help, usage errors, detection and exit statuses.

#include <gtest/gtest.h>

#include "housectl_run.h"

static std::string help_text()
{
    return "Usage: " + housectl_path + " -althfciepdr\n"
           "\t-q              - detect ip house\n"
           "\t-a              - show all params and stats in JSON format\n\n"
           "\t-l              - show LED params and stats in JSON format\n"
           "\t-l[on|off|auto] - enable|disable|auto LED\n"
           "\t-l[power=X]     - set LED power to X%\n"
           "\t-l[lxon|lxoff]  - illuminance then LED will be on|off\n"
           "\t-l[tmax=X]      - if LED temperature > tmax then LED power will be set to pbo\n"
           "\t-l[pbo=X]       - LED power then LED temperature > tmax\n\n"
           "\t-t              - show thermostat params and stats in JSON format\n"
           "\t-t[on|off]      - enable|disable thermostat\n"
           "\t-t[power=X]     - set thermostat power to X%\n"
           "\t-t[ton|toff]    - temperature then thermostat will be on|off\n\n"
           "\t-h              - show preheat params and stats in JSON format\n"
           "\t-h[on|off]      - enable|disable preheat\n"
           "\t-h[power=X]     - set preheat power to X%\n"
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
           "\t-r              - reboot ip house and camera\n\n";
}

static const char led_report[] =
    "\"led\" : {\n\t\"led_mode\":\"on\",\n\t\"led_status\":\"ON\",\n\t\"led_power_cfg\":\"50\",\n"
    "\t\"led_power_real\":\"50\",\n\t\"led_temp\":\"31.500000\",\n\t\"led_lxon\":\"10\",\n"
    "\t\"led_lxoff\":\"50\",\n\t\"led_tmax\":\"60\",\n\t\"led_pbo\":\"30\"\n}\n";

TEST(FrontEnd, HelpOnlyWhenNothingWasAskedOrTheCommandLineIsWrong)
{
    // Nothing asked: the help, on standard error, and nothing sent.
    for (auto args : { std::vector<std::string>{}, std::vector<std::string>{ "on", "off" } }) {
        sim_result r = housectl(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, help_text());
        EXPECT_EQ(r.received, "");
    }

    // An unknown option after a good one: the good one has run.
    sim_result r = housectl({ "-l", "-z" });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, led_report);
    EXPECT_EQ(r.err, housectl_path + ": invalid option -- 'z'\n" + help_text());
}

TEST(FrontEnd, MissingDeviceEndsTheRunBeforeAnythingElse)
{
    sim_run_options no_device;
    no_device.no_device = true;
    for (auto args : { std::vector<std::string>{}, std::vector<std::string>{ "-q" } }) {
        sim_result r = housectl(args, {}, nullptr, no_device);
        EXPECT_EQ(r.status, 1);  // not the 255 of a detection
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, fatal("can't open device!"));
    }
}

TEST(FrontEnd, DetectionSaysWhetherAHousingAnswersAndSkipsTheRest)
{
    sim_result r = housectl({ "-q", "-l" });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "IP house is here!\n");
    EXPECT_EQ(r.received, "led\r\n");  // -l is never reached

    sim_faults mute;
    mute.mute_from = 1;
    r = housectl({ "-q" }, mute);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error read from tty! (poll)No IP house here!\n");
    EXPECT_EQ(r.err, "");

    // Only an answer that starts with "LED:" is the housing: not another
    // device's word, nor one that merely starts alike.
    for (const char *answer : { "Unknown command\r\n:", "LEDs: 2\r\n:", "LED 2\r\n:", " LED:\r\n:" }) {
        sim_faults stranger;
        stranger.script["led"] = answer;
        r = housectl({ "-q" }, stranger);
        EXPECT_EQ(r.status, 255) << answer;
        EXPECT_EQ(r.out, "No IP house here!\n") << answer;
    }
}

TEST(FrontEnd, ArgumentsMustBeAttachedAndLettersDoNotGroup)
{
    // A separate word is no argument: -l shows, "on" is ignored.
    sim_result r = housectl({ "-l", "on" });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, led_report);

    // The rest of the word is the first letter's argument.
    r = housectl({ "-lt" });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("unknown command after -l (optarg = [t])"));
    EXPECT_EQ(r.received, "");

    r = housectl({ "-i5" });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\"lux\":\"120\"\n");

    // The help's first line, taken literally, is -a with an ignored argument.
    r = housectl({ "-althfciepdr" });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("{\n"), 0u);
    EXPECT_EQ(r.out.rfind("{"), 0u);  // one report, not two
    EXPECT_EQ(r.received.find("reboot"), std::string::npos);
}
