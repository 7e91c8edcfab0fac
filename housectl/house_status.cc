#include "house_status.h"

#include <error.h>

#include "answers.h"
#include "tty.h"

struct house_status house_status;

static void parse_failed(const char *name, int count, const char *answer)
{
    error(1, 0, "can't parse %s command answer! sscanf return %i, str = [%s]", name, count,
          answer);
}

// One step of a query: a command whose answer is a single number. A failed
// transaction leaves in `answer` whatever it could; the pattern decides.
static void query_int(const char *name, const char *command, const char *pattern, int *value,
                      char *answer)
{
    int count;
    tty_command(command, answer);
    if (!parse_int(answer, pattern, value, &count))
        parse_failed(name, count, answer);
}

// A group's main answer, read with its parser.
static void query_group(const char *name, const char *command,
                        int (*parse)(struct house_status *, const char *, int *), char *answer)
{
    int count;
    tty_command(command, answer);
    if (!parse(&house_status, answer, &count))
        parse_failed(name, count, answer);
}

// Each query's buffer starts empty: it is read without a transaction having
// filled it only when the first command could not be written, and then no
// pattern matches.

int read_led(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("led", "led\n", parse_led, answer);
    query_int("led lxon", "led lxon\n", "%i lx", &house_status.led_lxon, answer);
    query_int("led lxoff", "led lxoff\n", "%i lx", &house_status.led_lxoff, answer);
    query_int("led pbo", "led pbo\n", "%i%%", &house_status.led_pbo, answer);
    query_int("led tmax", "led tmax\n", "%i'C", &house_status.led_tmax, answer);
    return 0;
}

int read_thermostat(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("th", "th\n", parse_thermostat, answer);
    query_int("th ton", "th ton\n", "%i'C", &house_status.th_ton, answer);
    query_int("th toff", "th toff\n", "%i'C", &house_status.th_toff, answer);
    return 0;
}

int read_preheat(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("ph", "ph\n", parse_preheat, answer);
    query_int("ph ton", "ph ton\n", "%i'C", &house_status.ph_ton, answer);
    return 0;
}

int read_fan(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("fan", "fan\n", parse_fan, answer);
    return 0;
}

int read_camera(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("cam", "cam\n", parse_camera, answer);
    return 0;
}

int read_lux(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_int("lux", "lux\n", "%i lx", &house_status.lux, answer);
    return 0;
}

int read_temp(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    int count;
    tty_command("temp\n", answer);
    if (!parse_float(answer, "%f'C", &house_status.temp, &count))
        parse_failed("temp", count, answer);
    return 0;
}

int read_power(void)
{
    char answer[TTY_ANSWER_SIZE] = "";
    query_group("power", "power\n", parse_power, answer);
    return 0;
}
