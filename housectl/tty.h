// Serial line to the housing controller and the one command transaction
// every other part of the tool goes through.
//
// The controller speaks a line dialogue: it echoes each command byte as it
// arrives, prints its answer, and ends with a ":" prompt at the start of a
// new line. One transaction is: write the command, swallow as many bytes of
// echo as the command is long, then collect the answer up to the prompt or
// up to a pause on the line.
#pragma once

/// Size of every answer buffer handed to tty_command, terminator included.
enum { TTY_ANSWER_SIZE = 1024 };

/// Descriptor of the open serial device; set once by tty_open.
extern int tty_fd;

/// Opens /dev/ttyS0, waits up to 15 s for an exclusive lock on it (one run
/// talks to the controller at a time; "device is busy!" when the wait runs
/// out, with nothing sent and the line's settings untouched), and sets it to
/// 9600 baud, raw input without local echo and without signal bytes, no
/// software flow control, RTS/CTS hardware flow control. Any failure ends the process with status 1 and a
/// message on standard error.
void tty_open(void);

/// Sends `command` (NUL-terminated) and collects the controller's answer
/// into `answer`, a buffer of TTY_ANSWER_SIZE bytes; the two may be the same
/// buffer, in which case no echo is swallowed and the answer starts with the
/// echoed command. Line ends are dropped from the answer; the closing prompt
/// is kept as its last character.
///
/// Returns 0 when the answer ended, by the prompt, by 100 ms of silence or by
/// filling the buffer; the answer is then NUL-terminated. Returns 1 when the
/// command could not be written (answer untouched), when the echo did not
/// arrive (answer cleared, maybe holding part of the echo), or when a read
/// failed while collecting the answer (answer holds what was stored so far).
/// Every failure prints a diagnostic on standard output without a line end.
int tty_command(const char *command, char *answer);
