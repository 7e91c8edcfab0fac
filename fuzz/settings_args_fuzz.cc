// Settings option arguments: the first byte picks the group with settings, the
// rest is the argument as the command line gives it.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "settings.h"
#include "tty.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const groups[] = { "led ", "th ", "ph ", "fan ", "cam " };
    if (size == 0)
        return 0;
    int which = data[0] % 5;
    std::string arg((const char *)data + 1, size - 1);
    arg = arg.c_str();  // an argument ends at its first NUL

    struct setting_request req;
    enum setting_kind kind = settings_parse((enum house_group)which, arg.c_str(), &req);
    if (kind != req.kind || !req.word || (kind == SETTING_PARAM || kind == SETTING_MALFORMED) != (req.after != NULL))
        abort();
    if (kind == SETTING_MALFORMED && ((req.count != 0 && req.count != -1) || req.value != 0))
        abort();
    if (kind == SETTING_MODE || kind == SETTING_PARAM) {
        char buffer[TTY_ANSWER_SIZE];
        memset(buffer, 0x5a, sizeof buffer);
        settings_command(arg.c_str(), &req, buffer);
        size_t len = strnlen(buffer, sizeof buffer);
        // One command line for the group, nothing past the buffer.
        if (len == sizeof buffer || len < 2 || buffer[len - 1] != '\n' ||
            strncmp(buffer, groups[which], strlen(groups[which])) != 0 ||
            memchr(buffer, '\n', len - 1) != NULL)
            abort();
    }
    return 0;
}
