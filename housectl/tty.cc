#include "tty.h"

#include <errno.h>
#include <error.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

int tty_fd = -1;

static const char tty_device[] = "/dev/ttyS0";

static const int write_timeout_ms = 100;   // per command byte
static const int echo_timeout_ms = 200;    // per read of the echo
static const int answer_timeout_ms = 100;  // silence that ends an answer

// How long a run waits for another to let go of the line: twenty full
// reports queued ahead take about that long.
static const int lock_wait_s = 15;

// Line ends are not stored, so a controller that streams nothing but line
// ends would never fill the buffer. Bound what one answer may read from the
// line; a real answer is a few dozen bytes.
static const int answer_max_line_bytes = 4 * TTY_ANSWER_SIZE;

static volatile sig_atomic_t lock_wait_over;

static void lock_wait_expired(int signo)
{
    (void)signo;
    lock_wait_over = 1;
}

// Two runs on one line would read each other's answers: the second waits
// here until the first has exited, but not for ever, since a program that
// keeps the line (a terminal left open) would hang every later run. The
// timer keeps firing after it runs out, so a wait entered just after the
// last tick is still broken. Where the lock cannot be had at all, the run
// goes on as it would without one.
static void lock_line(void)
{
    struct sigaction expired = {}, before;
    struct itimerval timer = { { 0, 10000 }, { lock_wait_s, 0 } };
    struct itimerval off = {};

    expired.sa_handler = lock_wait_expired;  // no SA_RESTART: flock gives EINTR
    sigaction(SIGALRM, &expired, &before);
    setitimer(ITIMER_REAL, &timer, NULL);
    while (flock(tty_fd, LOCK_EX) != 0 && errno == EINTR) {
        if (lock_wait_over)
            error(1, 0, "device is busy!");
    }
    setitimer(ITIMER_REAL, &off, NULL);
    sigaction(SIGALRM, &before, NULL);
}

void tty_open(void)
{
    struct termios tio;

    tty_fd = open(tty_device, O_RDWR);
    if (tty_fd < 0)
        error(1, 0, "can't open device!");
    lock_line();
    if (tcgetattr(tty_fd, &tio) != 0)
        error(1, 0, "can't get termois attributes!");
    if (cfsetspeed(&tio, B9600) != 0)
        error(1, 0, "can't set speed!");

    // The controller talks plain text with CR LF line ends; only RTS/CTS
    // paces the line, and XON/XOFF bytes must pass through untouched. So
    // must the interrupt, quit and suspend bytes: a line whose ISIG is on
    // drops everything it has received and not yet read, and output not yet
    // sent, whenever noise on the wire looks like one of them.
    tio.c_iflag &= ~(ICRNL | IXON | IXANY | IXOFF);
    tio.c_oflag |= ONLCR;
    tio.c_cflag |= CRTSCTS | HUPCL;
    tio.c_lflag &= ~(ICANON | ECHO | ECHONL | ECHOCTL | ISIG);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (tcsetattr(tty_fd, TCSANOW, &tio) != 0)
        error(1, 0, "can't set termois attributes!");
}

// Writes the command a byte at a time, each after the line reports room.
static int write_command(struct pollfd *pfd, const char *command)
{
    size_t len = strlen(command);

    pfd->events = POLLOUT;
    for (size_t i = 0; i < len; i++) {
        pfd->revents = 0;
        if (poll(pfd, 1, write_timeout_ms) != 1 || !(pfd->revents & POLLOUT)) {
            printf("Error write to tty! (poll)");
            return 1;
        }
        if (write(tty_fd, command + i, 1) != 1) {
            printf("Error write to tty! (dpintf)");
            return 1;
        }
    }
    return 0;
}

// Swallows as many bytes as the command is long; their content is not
// checked. The length is taken after the buffer is cleared, so a command
// composed in the answer buffer swallows nothing: one poll must still see
// input, and the echo becomes the start of the answer.
static int swallow_echo(struct pollfd *pfd, const char *command, char *answer)
{
    memset(answer, 0, TTY_ANSWER_SIZE);
    size_t echo_len = strlen(command);
    size_t got = 0;

    pfd->events = POLLIN | POLLPRI;
    do {
        pfd->revents = 0;
        if (poll(pfd, 1, echo_timeout_ms) != 1 || !(pfd->revents & POLLIN)) {
            printf("Error read from tty! (poll)");
            return 1;
        }
        if (echo_len == 0)
            break;

        // The echo lands in the cleared answer buffer as long as it fits;
        // a longer echo is only counted.
        char spill[64];
        char *dst = spill;
        size_t room = sizeof spill;
        if (got < TTY_ANSWER_SIZE - 1) {
            dst = answer + got;
            room = TTY_ANSWER_SIZE - 1 - got;
        }
        size_t want = echo_len - got < room ? echo_len - got : room;

        ssize_t n = read(tty_fd, dst, want);
        // With VMIN 1 a blocking read returns no bytes only on a line that
        // was hung up; polling again would spin for ever.
        if (n <= 0) {
            printf("Error read from tty! (read return %i)", (int)n);
            return 1;
        }
        got += (size_t)n;
    } while (got < echo_len);
    return 0;
}

// Collects the answer byte by byte, dropping CR and LF. A ":" right after a
// line end is the prompt, but only once some text is stored: the controller
// may start its answer with a line end and a lone ":" is not a prompt yet.
static int collect_answer(struct pollfd *pfd, char *answer)
{
    size_t pos = 0;
    int line_bytes = 0;
    char prev = 0;

    pfd->events = POLLIN;
    while (pos < TTY_ANSWER_SIZE - 1 && line_bytes < answer_max_line_bytes) {
        char c;
        pfd->revents = 0;
        if (poll(pfd, 1, answer_timeout_ms) != 1 || !(pfd->revents & POLLIN))
            break;  // silence ends the answer
        if (read(tty_fd, &c, 1) != 1) {
            printf("Error read from tty! (read)");
            answer[pos] = '\0';
            return 1;
        }
        line_bytes++;
        if (c == '\r' || c == '\n') {
            prev = c;
            continue;
        }
        int had_text = pos > 0;
        answer[pos++] = c;
        if (c == ':' && had_text && (prev == '\r' || prev == '\n'))
            break;
        prev = c;
    }
    answer[pos] = '\0';
    return 0;
}

int tty_command(const char *command, char *answer)
{
    struct pollfd pfd;

    pfd.fd = tty_fd;
    if (write_command(&pfd, command) != 0 || swallow_echo(&pfd, command, answer) != 0) {
        // A line that did not echo may not have sent the command at all:
        // with CTS held low (controller unplugged, a cable without the flow
        // control lines) the bytes wait in the driver. They are dropped, so
        // they cannot go out late, and the close at exit, which waits for
        // unsent output to drain, does not hold the run for half a minute.
        tcflush(tty_fd, TCOFLUSH);
        return 1;
    }
    return collect_answer(&pfd, answer);
}
