#include "house_status.h"

#include <error.h>
#include <stddef.h>
#include <string.h>

#include "answers.h"
#include "tty.h"

struct house_status house_status;

// How a step reads its answer: one number, or its group's own parser.
#define PARSER_ID(command, parser) PARSE_##parser,
#define GROUP_PARSERS(id, letter, word, modes, FIELDS, STEPS, KEYS) \
    STEPS(PARSER_ID, HOUSE_NONE)
enum step_parser { PARSE_NUMBER, HOUSE_GROUPS(GROUP_PARSERS) };

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

#define ANSWER_STEP(command, parser) { command, PARSE_##parser, 0, 0 },
#define NUMBER_STEP(command, pattern, field) \
    { command, PARSE_NUMBER, pattern, offsetof(struct house_status, field) },
static_assert(sizeof(struct house_status) < 256, "a field's offset is kept in a byte");
#define GROUP_STEPS(id, letter, word, modes, FIELDS, STEPS, KEYS) \
    STEPS(ANSWER_STEP, NUMBER_STEP)

// Every query's commands, in the order they are sent.
static const struct query_step steps[] = { HOUSE_GROUPS(GROUP_STEPS) };

#define PARSER_CASE(command, parser) \
    case PARSE_##parser: return parse_##parser(&house_status, answer, count);
#define GROUP_PARSER_CASES(id, letter, word, modes, FIELDS, STEPS, KEYS) \
    STEPS(PARSER_CASE, HOUSE_NONE)

static int parse_step(const struct query_step *step, const char *answer, int *count)
{
    char *value = (char *)&house_status + step->offset;
    const char *pattern = number_patterns[step->pattern];

    switch (step->parser) {
        HOUSE_GROUPS(GROUP_PARSER_CASES)
    }
    if (step->pattern == FLOAT_DEGREES_PATTERN)
        return parse_float(answer, pattern, (float *)value, count);
    return parse_int(answer, pattern, (int *)value, count);
}

// The query's buffer starts empty: it is read without a transaction having
// filled it only when the first command could not be written, and then no
// pattern matches. A failed transaction leaves in it whatever it could; the
// pattern decides.
int read_group(enum house_group group)
{
    char answer[TTY_ANSWER_SIZE] = "";
    const struct query_step *step = steps + house_groups[group].first_step;

    for (int i = 0; i < house_groups[group].step_count; i++, step++) {
        int count;
        tty_command(step->command, answer);
        if (!parse_step(step, answer, &count))
            error(1, 0, "can't parse %.*s command answer! sscanf return %i, str = [%s]",
                  (int)strlen(step->command) - 1, step->command, count, answer);
    }
    return 0;
}
