/* Preloaded into housectl by the tests: writes every poll the program makes
 * (events and timeout) and the line settings it applies, read back from the
 * line right after, to the file named by HOUSE_LINE_TRACE, one line each:
 *   poll EVENTS TIMEOUT_MS
 *   termios IFLAG OFLAG CFLAG LFLAG VMIN VTIME ISPEED OSPEED
 *   tcflush QUEUE
 * With HOUSE_LINE_FAIL it also makes the line fail once, in ways a
 * pseudo-terminal cannot be made to:
 *   "room N"   the Nth wait for room to write a byte sees none (poll returns 0)
 *   "write N"  the Nth byte written to a terminal is refused (EIO)
 *   "answer N" the read after the Nth wait for an answer byte finds the
 *              line hung up (returns no bytes)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

/* Declares next_FN, the C library's FN this file stands in front of. */
#define NEXT(fn)                      \
    static __typeof__(&fn) next_##fn; \
    if (!next_##fn)                   \
        next_##fn = (__typeof__(&fn))dlsym(RTLD_NEXT, #fn)

static void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

#include <stdarg.h>

static void trace(const char *format, ...)
{
    const char *path = getenv("HOUSE_LINE_TRACE");
    if (!path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[256];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n > 0 && write(fd, line, (size_t)n) < 0) {
    }
    close(fd);
}

/* Whether this event of `kind` ("room", "write" or "answer") is the one to
 * fail. HOUSE_LINE_FAIL names one kind, so one count serves. */
static int fail_now(const char *kind)
{
    static int seen;
    const char *spec = getenv("HOUSE_LINE_FAIL");
    size_t len = strlen(kind);
    if (!spec || strncmp(spec, kind, len) != 0 || spec[len] != ' ')
        return 0;
    return ++seen == atoi(spec + len + 1);
}

/* Set when the next read from the line is to find it hung up. */
static int hung_up;

int poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    NEXT(poll);
    if (nfds == 1)
        trace("poll %#x %d\n", (unsigned)fds[0].events, timeout);
    if (nfds == 1 && fds[0].events == POLLOUT && fail_now("room")) {
        fds[0].revents = 0;
        return 0;
    }
    if (nfds == 1 && fds[0].events == POLLIN && fail_now("answer")) {
        hung_up = 1;
        fds[0].revents = POLLIN | POLLHUP;
        return 1;
    }
    return next_poll(fds, nfds, timeout);
}

ssize_t read(int fd, void *buf, size_t n)
{
    NEXT(read);
    if (hung_up && isatty(fd)) {
        hung_up = 0;
        return 0;
    }
    return next_read(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    NEXT(write);
    if (isatty(fd) && fail_now("write")) {
        errno = EIO;
        return -1;
    }
    return next_write(fd, buf, n);
}

int tcsetattr(int fd, int when, const struct termios *t)
{
    NEXT(tcsetattr);
    int r = next_tcsetattr(fd, when, t);
    struct termios now;
    if (r == 0 && tcgetattr(fd, &now) == 0)
        trace("termios %#lo %#lo %#lo %#lo %u %u %u %u\n", (unsigned long)now.c_iflag,
              (unsigned long)now.c_oflag, (unsigned long)now.c_cflag, (unsigned long)now.c_lflag,
              (unsigned)now.c_cc[VMIN], (unsigned)now.c_cc[VTIME], (unsigned)cfgetispeed(&now),
              (unsigned)cfgetospeed(&now));
    return r;
}

int tcflush(int fd, int queue)
{
    NEXT(tcflush);
    trace("tcflush %d\n", queue);
    return next_tcflush(fd, queue);
}
