#include "house_status.h"

#include <error.h>
#include <stddef.h>
#include <string.h>

#include "answers.h"
#include "tty.h"

struct house_status house_status;

// How a step reads its answer: a group's own parser, or one number.
enum step_parser { PARSE_LED, PARSE_TH, PARSE_PH, PARSE_FAN, PARSE_CAM, PARSE_POWER, PARSE_INT,
                   PARSE_FLOAT };

// The one-number patterns.
enum { LUX_PATTERN, PERCENT_PATTERN, DEGREES_PATTERN, FLOAT_DEGREES_PATTERN };
static const char number_patterns[][6] = { "%i lx", "%i%%", "%i'C", "%f'C" };

// One command of a query. Its name in messages is the command without its
// line end. The table holds no pointers: each would be a relocation to load
// in a position-independent program.
struct query_step {
    char command[11];
    unsigned char parser;   // enum step_parser
    unsigned char pattern;  // for one number
    unsigned char offset;   // of that number in the record
};

#define NUMBER_STEP(command, parser, pattern, field) \
    { command, parser, pattern, offsetof(struct house_status, field) }
#define GROUP_STEP(command, parser) { command, parser, 0, 0 }

// Every query's commands, in the order they are sent.
static const struct query_step steps[] = {
    GROUP_STEP("led\n", PARSE_LED),
    NUMBER_STEP("led lxon\n", PARSE_INT, LUX_PATTERN, led_lxon),
    NUMBER_STEP("led lxoff\n", PARSE_INT, LUX_PATTERN, led_lxoff),
    NUMBER_STEP("led pbo\n", PARSE_INT, PERCENT_PATTERN, led_pbo),
    NUMBER_STEP("led tmax\n", PARSE_INT, DEGREES_PATTERN, led_tmax),
    GROUP_STEP("th\n", PARSE_TH),
    NUMBER_STEP("th ton\n", PARSE_INT, DEGREES_PATTERN, th_ton),
    NUMBER_STEP("th toff\n", PARSE_INT, DEGREES_PATTERN, th_toff),
    GROUP_STEP("ph\n", PARSE_PH),
    NUMBER_STEP("ph ton\n", PARSE_INT, DEGREES_PATTERN, ph_ton),
    GROUP_STEP("fan\n", PARSE_FAN),
    GROUP_STEP("cam\n", PARSE_CAM),
    NUMBER_STEP("lux\n", PARSE_INT, LUX_PATTERN, lux),
    NUMBER_STEP("temp\n", PARSE_FLOAT, FLOAT_DEGREES_PATTERN, temp),
    GROUP_STEP("power\n", PARSE_POWER),
};

// Each query's first step and its number of steps, by enum house_query.
static const unsigned char query_steps[][2] = {
    { 0, 5 }, { 5, 3 }, { 8, 2 }, { 10, 1 }, { 11, 1 }, { 12, 1 }, { 13, 1 }, { 14, 1 },
};

static int parse_step(const struct query_step *step, const char *answer, int *count)
{
    char *value = (char *)&house_status + step->offset;

    switch (step->parser) {
    case PARSE_LED: return parse_led(&house_status, answer, count);
    case PARSE_TH: return parse_thermostat(&house_status, answer, count);
    case PARSE_PH: return parse_preheat(&house_status, answer, count);
    case PARSE_FAN: return parse_fan(&house_status, answer, count);
    case PARSE_CAM: return parse_camera(&house_status, answer, count);
    case PARSE_POWER: return parse_power(&house_status, answer, count);
    case PARSE_INT: return parse_int(answer, number_patterns[step->pattern], (int *)value, count);
    }
    return parse_float(answer, number_patterns[step->pattern], (float *)value, count);
}

// The query's buffer starts empty: it is read without a transaction having
// filled it only when the first command could not be written, and then no
// pattern matches. A failed transaction leaves in it whatever it could; the
// pattern decides.
int read_query(enum house_query query)
{
    char answer[TTY_ANSWER_SIZE] = "";
    const struct query_step *step = steps + query_steps[query][0];

    for (int i = 0; i < query_steps[query][1]; i++, step++) {
        int count;
        tty_command(step->command, answer);
        if (!parse_step(step, answer, &count))
            error(1, 0, "can't parse %.*s command answer! sscanf return %i, str = [%s]",
                  (int)strlen(step->command) - 1, step->command, count, answer);
    }
    return 0;
}

int read_led(void) { return read_query(QUERY_LED); }
int read_thermostat(void) { return read_query(QUERY_TH); }
int read_preheat(void) { return read_query(QUERY_PH); }
int read_fan(void) { return read_query(QUERY_FAN); }
int read_camera(void) { return read_query(QUERY_CAM); }
int read_lux(void) { return read_query(QUERY_LUX); }
int read_temp(void) { return read_query(QUERY_TEMP); }
int read_power(void) { return read_query(QUERY_POWER); }
