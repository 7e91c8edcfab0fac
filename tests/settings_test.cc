// Settings commands: what reaches the line, what is printed, what is kept.

#include <gtest/gtest.h>

#include "housectl_run.h"

static std::string parse_failure(const std::string &after, int ret, const std::string &command)
{
    return fatal("Can'not parse command after " + after + " (ret = " + std::to_string(ret) +
                 ", command = [" + command + "] param = 0)");
}

TEST(Settings, ModeWordsAgainstParameterKeys)
{
    const struct {
        const char *arg, *received, *out;
    } accepted[] = {
        // A mode: its command, the save, then "OK".
        { "-ton", "th on\r\nth save\r\n", "OK\n" },
        { "-lauto", "led auto\r\nled save\r\n", "OK\n" },
        { "-coff", "cam off\r\ncam save\r\n", "OK\n" },
        { "-fauto", "fan auto\r\nfan save\r\n", "OK\n" },
        // A parameter: its command, "OK", then the save.
        { "-tton=5", "th ton 5\r\nth save\r\n", "OK\n" },
        { "-llxon=5", "led lxon 5\r\nled save\r\n", "OK\n" },
        { "-llxoff=3", "led lxoff 3\r\nled save\r\n", "OK\n" },
    };
    for (const auto &c : accepted) {
        sim_result r = housectl({ c.arg });
        EXPECT_EQ(r.status, 0) << c.arg;
        EXPECT_EQ(r.received, c.received) << c.arg;
        EXPECT_EQ(r.out, c.out) << c.arg;
        EXPECT_EQ(r.err, "") << c.arg;
    }

    const struct {
        const char *arg, *message;
    } rejected[] = {
        { "-lxon=5", "unknown command after -l (optarg = [xon=5])" },
        { "-tauto", "unknown command after -t (optarg = [auto])" },
        { "-hauto", "unknown command after -h (optarg = [auto])" },
        { "-hON", "unknown command after -h (optarg = [ON])" },
        { "-htoff=3", "unknown command after -h (optarg = [toff=3])" },
        { "-creboot", "unknown command after -c (optarg = [reboot])" },
        { "-fpower=5", "unknown command after -f (optarg = [power=5])" },
        // Mode words are whole words, never prefixes.
        { "-lonion", "unknown command after -l (optarg = [onion])" },
        { "-toffset", "unknown command after -t (optarg = [offset])" },
        { "-fautomatic", "unknown command after -f (optarg = [automatic])" },
        { "-co", "unknown command after -c (optarg = [o])" },
    };
    for (const auto &c : rejected) {
        sim_result r = housectl({ c.arg });
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_EQ(r.err, fatal(c.message)) << c.arg;
        EXPECT_EQ(r.received, "") << c.arg;  // nothing reaches the line
        EXPECT_EQ(r.out, "") << c.arg;
    }
}

TEST(Settings, NumbersAreReadInAnyBaseAndSentInDecimal)
{
    const struct {
        const char *arg, *command;
    } cases[] = {
        { "-lpower=0x28", "led power 40\r\n" },
        { "-lpower=010", "led power 8\r\n" },
        { "-lpower=09", "led power 0\r\n" },
        { "-lpower=40abc", "led power 40\r\n" },
        { "-tpower=-7", "th power -7\r\n" },
        { "-hton=0X1f", "ph ton 31\r\n" },
        { "-ltmax=70", "led tmax 70\r\n" },
        { "-lpbo=20", "led pbo 20\r\n" },
    };
    for (const auto &c : cases) {
        sim_result r = housectl({ c.arg });
        EXPECT_EQ(r.status, 0) << c.arg;
        EXPECT_EQ(r.received.substr(0, r.received.find("\r\n") + 2), c.command) << c.arg;
    }
}

TEST(Settings, MalformedNumbersSendNothing)
{
    const struct {
        const char *arg, *after;
        int ret;
        const char *command;
    } cases[] = {
        { "-lpower", "-lpower=", -1, "power" },
        { "-lpower=", "-lpower=", -1, "power=" },
        { "-lpowerful=5", "-lpower=", 0, "powerful=5" },
        { "-lpower=x", "-lpower=", 0, "power=x" },
        { "-llxoff", "-llxoff", -1, "lxoff" },
        { "-ltmax:5", "-ltmax", 0, "tmax:5" },
        { "-ttoff=", "-ttoff", -1, "toff=" },
        { "-hton=?", "-hton=", 0, "ton=?" },
    };
    for (const auto &c : cases) {
        sim_result r = housectl({ c.arg, "-l" });
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_EQ(r.err, parse_failure(c.after, c.ret, c.command)) << c.arg;
        EXPECT_EQ(r.received, "") << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
    }
}

TEST(Settings, ParameterNeedsTheControllersPrompt)
{
    // No answer at all, not even the echo: no "OK", no save.
    sim_faults f;
    f.mute_from = 1;
    sim_result r = housectl({ "-lpower=40" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error read from tty! (poll)");
    EXPECT_EQ(r.err, fatal("Error while \n[]\nstrlen(str) = 0"));
    EXPECT_EQ(r.received, "led power 40\r\n");

    // An answer that does not end in the prompt.
    f = {};
    f.script["th toff 3"] = "\r\nERR";
    r = housectl({ "-ttoff=3" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, fatal("Error while \n[th toff 3ERR]\nstrlen(str) = 12"));

    // The save falls silent after "OK": the run goes on.
    f = {};
    f.mute_from = 2;
    r = housectl({ "-lpower=40", "-fon" }, f);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OK\nError read from tty! (poll)"
                     "Error read from tty! (poll)Error read from tty! (poll)OK\n");
    EXPECT_EQ(r.received, "led power 40\r\nled save\r\nfan on\r\nfan save\r\n");
}

TEST(Settings, ChangesShowInTheNextRun)
{
    controller_state state = controller_defaults();
    EXPECT_EQ(housectl({ "-lpower=40", "-llxon=7", "-coff" }, {}, &state).out, "OK\nOK\nOK\n");
    EXPECT_EQ(state.saves, 3);

    sim_result r = housectl({ "-l", "-c" }, {}, &state);
    EXPECT_NE(r.out.find("\t\"led_power_cfg\":\"40\",\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\t\"led_lxon\":\"7\",\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\t\"cam_mode\":\"off\",\n\t\"cam_status\":\"OFF\",\n"),
              std::string::npos) << r.out;

    // The defaults bring them back.
    r = housectl({ "-d", "-l" }, {}, &state);
    EXPECT_EQ(r.out.substr(0, 3), "OK\n");
    EXPECT_NE(r.out.find("\t\"led_power_cfg\":\"50\",\n"), std::string::npos) << r.out;
}

TEST(Settings, DefaultsMustBeConfirmedWordForWord)
{
    sim_faults f;
    f.script["y"] = "\r\nDefault settings loaded!\r\n:";
    sim_result r = housectl({ "-d" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, fatal("can not set default settings!"));
    EXPECT_EQ(r.received, "default\r\ny");

    f.script["y"] = "\r\nCancelled.\r\n:";
    EXPECT_EQ(housectl({ "-d" }, f).err, fatal("can not set default settings!"));
}

TEST(Settings, RebootDoesNotWaitForTheHousing)
{
    controller_state state = controller_defaults();
    sim_result r = housectl({ "-r", "-l" }, {}, &state);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 11), "buy buy...\n");
    EXPECT_EQ(r.out.substr(11, 9), "\"led\" : {");
    EXPECT_EQ(r.received.substr(0, 13), "reboot\r\nled\r\n");
    EXPECT_EQ(state.reboots, 1);
}
