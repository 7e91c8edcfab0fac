#include "house_groups.h"

// Rows per group in each of the row tables, then where each group starts.
#define ROW_COUNTS(id, letter, word, modes, FIELDS, STEPS, KEYS) \
    { 0 FIELDS(HOUSE_ONE), 0 STEPS(HOUSE_ONE, HOUSE_ONE), 0 KEYS(HOUSE_ONE) },
static constexpr unsigned char row_counts[][3] = { HOUSE_GROUPS(ROW_COUNTS) };

static constexpr unsigned first_row(int group, int table)
{
    unsigned first = 0;
    for (int g = 0; g < group; g++)
        first += row_counts[g][table];
    return first;
}

#define GROUP_INFO(id, letter, word, modes, ...)                                  \
    { letter, word, modes,                                              \
      (unsigned char)first_row(GROUP_##id, 0), row_counts[GROUP_##id][0],                \
      (unsigned char)first_row(GROUP_##id, 1), row_counts[GROUP_##id][1],                \
      (unsigned char)first_row(GROUP_##id, 2), row_counts[GROUP_##id][2] },
const struct house_group_info house_groups[HOUSE_GROUP_COUNT] = { HOUSE_GROUPS(GROUP_INFO) };

// The row numbers are kept in bytes.
static_assert(first_row(HOUSE_GROUP_COUNT, 0) < 256 && first_row(HOUSE_GROUP_COUNT, 1) < 256 &&
              first_row(HOUSE_GROUP_COUNT, 2) < 256);
