// The acknowledgement of a parameter change, on any answer.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "settings.h"
#include "tty.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char answer[TTY_ANSWER_SIZE];
    size_t len = size < sizeof answer - 1 ? size : sizeof answer - 1;
    memcpy(answer, data, len);
    answer[len] = '\0';
    size_t text = strlen(answer);
    int expected = text > 0 && answer[text - 1] == ':';
    if (settings_acknowledged(answer) != expected)
        abort();
    return 0;
}
