// The command transaction: echo, prompt rule, silence, bounds, hang-ups.
// The answer a query collected shows in its "can't parse" message.

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "housectl_run.h"
#include "text_io.h"

static std::string lux_failure(int count, const std::string &answer)
{
    return fatal("can't parse lux command answer! sscanf return " + std::to_string(count) +
                 ", str = [" + answer + "]");
}

TEST(Transaction, PromptEndsTheAnswerOnlyAfterALineEndAndSomeText)
{
    sim_faults f;
    // A ":" after leading line ends is text, so is one inside a word; the
    // ":" after CR LF ends it, and what follows waits for the next command.
    f.script["lux"] = "\r\n:\r\n12 lx:x\r\n:junk";
    sim_result r = housectl({ "-i" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lux_failure(0, ":12 lx:x:"));

    // "LED:" inside an answer does not end it; a bare LF before ":" does.
    f.script["led"] = "LED: junk\n:";
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.err, fatal("can't parse led command answer! sscanf return 1, str = [LED: junk:]"));
}

TEST(Transaction, SilenceEndsAnAnswerWithoutPrompt)
{
    sim_faults f;
    f.script["lux"] = "\r\n:";  // a lone prompt is no prompt: the answer is ":"
    sim_result r = housectl({ "-i" }, f);
    EXPECT_EQ(r.err, lux_failure(0, ":"));
    EXPECT_GE(r.seconds, 0.1);

    f = {};
    f.no_prompt = true;
    r = housectl({ "-i", "-e" }, f);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\"lux\":\"120\"\n\"temp\":\"-3.500000\"\n");
    EXPECT_GE(r.seconds, 0.2);  // each answer waited out its 100 ms
    EXPECT_LT(r.seconds, 1.0);
}

TEST(Transaction, ControllerThatNeverAnswers)
{
    sim_faults f;
    f.echo_only = true;  // the echo comes, then silence: an empty answer
    sim_result r = housectl({ "-i" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, lux_failure(-1, ""));

    f = {};
    f.mute_from = 1;  // not even the echo: the echo wait gives up after 200 ms
    r = housectl({ "-i" }, f);
    EXPECT_EQ(r.out, "Error read from tty! (poll)");
    EXPECT_EQ(r.err, lux_failure(-1, ""));
    EXPECT_GE(r.seconds, 0.2);
}

TEST(Transaction, EchoIsCountedByTheCommandsLength)
{
    // "y" has no line end: one byte of echo, then the confirmation.
    sim_result r = housectl({ "-d" });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(r.received, "default\r\ny");

    // A command composed in the answer buffer swallows no echo: one poll
    // sees input, and the echo becomes the start of the answer.
    sim_faults f;
    f.script["led power 40"] = "";
    r = housectl({ "-lpower=40" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("Error while \n[led power 40]\nstrlen(str) = 12"));
}

TEST(Transaction, AnswerLongerThanTheBufferEndsAtItsEnd)
{
    sim_faults f;
    f.script["lux"] = std::string(2000, 'x') + "\r\n:";
    sim_result r = housectl({ "-i" }, f);
    EXPECT_EQ(r.err, lux_failure(0, std::string(1023, 'x')));

    // Bytes that are never stored cannot fill it; the answer still ends.
    f = {};
    f.endless = true;
    f.script["lux"] = "\r\n";
    r = housectl({ "-i" }, f);
    EXPECT_EQ(r.err, lux_failure(-1, ""));
    EXPECT_LT(r.seconds, 5.0);

    // An endless answer ends every later transaction too, never the run's
    // bounds.
    f.script.clear();
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err.find(fatal("can't parse led lxon command answer! sscanf return 0").substr(0, 60)), 0u);
}

TEST(Transaction, HangUpEndsTheRunPromptly)
{
    // At the first byte of the command: the write or the echo fails, the
    // buffer holds nothing, no housing is found. Which step sees the hang-up
    // is the kernel's timing: the write, the echo's poll (a hang-up without
    // input), or its read.
    sim_faults f;
    f.hangup_at = 1;
    sim_result r = housectl({ "-q" }, f);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out == "Error write to tty! (dpintf)No IP house here!\n" ||
                r.out == "Error read from tty! (poll)No IP house here!\n" ||
                r.out == "Error read from tty! (read return 0)No IP house here!\n")
        << r.out;
    EXPECT_LT(r.seconds, 1.0);

    // Halfway through the answer: what was stored is the answer. A poll
    // that sees no input ends the answer as silence: the kernel marks the
    // line's far end closed and wakes the reader before it hangs the line
    // up, and on a busy machine the hang-up may come after 100 ms of
    // silence. A poll after the hang-up sees input that reads as nothing, a
    // failed read. Which comes is timing; the tracer's row below pins the
    // failed read.
    f.hangup_in_answer = true;
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out == "Error read from tty! (read)" || r.out == "") << r.out;
    EXPECT_EQ(r.err, fatal("can't parse led command answer! sscanf return 2, str = [LED: ON Power=50% (]"));
    EXPECT_LT(r.seconds, 1.0);

    // During a later command's echo.
    f.hangup_at = 2;
    f.hangup_in_answer = false;
    r = housectl({ "-l" }, f);
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.seconds, 1.0);
}

// The line's waits and settings, exactly: every poll the tool makes, and
// the settings it applies read back from the line, through a preloaded
// tracer. Timing alone would not notice a wait that changed a little.
#ifndef HOUSE_NO_PRELOAD
// The command that runs housectl with the tracer, tracing to `trace` and
// with HOUSE_LINE_FAIL set to `fail` (none when empty).
static std::vector<std::string> traced(const std::string &trace, const std::string &fail = "")
{
    std::vector<std::string> env = { "LD_PRELOAD=" LINE_TRACE_PATH, "HOUSE_LINE_TRACE=" + trace };
    if (!fail.empty())
        env.push_back("HOUSE_LINE_FAIL=" + fail);
    std::vector<std::string> argv = target_runner_with(env);
    argv.push_back(housectl_path);
    return argv;
}
#endif

TEST(Transaction, PollWaitsAndLineSettingsAreExact)
{
#ifdef HOUSE_NO_PRELOAD
    GTEST_SKIP() << "the sanitizer build cannot preload the tracer";
#else
    char trace[] = "/tmp/housectl-trace-XXXXXX";
    int fd = mkstemp(trace);
    ASSERT_GE(fd, 0);
    close(fd);
    std::vector<std::string> argv = traced(trace);
    argv.insert(argv.end(), { "-i", "-lpower=40" });
    controller_state state = controller_defaults();
    sim_result r = sim_run(state, {}, argv);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string lines = read_file(trace);
    unlink(trace);

    int writes = 0, echoes = 0, answers = 0, settings = 0;
    for (size_t at = 0; at < lines.size();) {
        size_t end = lines.find('\n', at);
        std::string line = lines.substr(at, end - at);
        at = end == std::string::npos ? lines.size() : end + 1;
        unsigned events, iflag, oflag, cflag, lflag, vmin, vtime, ispeed, ospeed;
        int timeout;
        if (sscanf(line.c_str(), "poll %x %d", &events, &timeout) == 2) {
            if (events == POLLOUT) {
                writes++;
                EXPECT_EQ(timeout, 100) << "the wait for room per command byte";
            } else if (events == (POLLIN | POLLPRI)) {
                echoes++;
                EXPECT_EQ(timeout, 200) << "the wait for the echo";
            } else if (events == POLLIN) {
                answers++;
                EXPECT_EQ(timeout, 100) << "the silence that ends an answer";
            } else {
                ADD_FAILURE() << line;
            }
        } else if (sscanf(line.c_str(), "termios %o %o %o %o %u %u %u %u", &iflag, &oflag, &cflag,
                          &lflag, &vmin, &vtime, &ispeed, &ospeed) == 8) {
            settings++;
            EXPECT_EQ(iflag & (ICRNL | IXON | IXANY | IXOFF), 0u) << line;
            EXPECT_EQ(oflag & ONLCR, (unsigned)ONLCR) << line;
            EXPECT_EQ(cflag & (CRTSCTS | HUPCL), (unsigned)(CRTSCTS | HUPCL)) << line;
            EXPECT_EQ(lflag & (ICANON | ECHO | ECHONL | ECHOCTL | ISIG), 0u) << line;
            EXPECT_EQ(vmin, 1u);
            EXPECT_EQ(vtime, 0u);
            EXPECT_EQ(ispeed, (unsigned)B9600);
            EXPECT_EQ(ospeed, (unsigned)B9600);
        } else if (line.rfind("tcflush ", 0) == 0) {
            ADD_FAILURE() << "a run whose every transaction succeeded dropped output: " << line;
        } else {
            ADD_FAILURE() << "trace: " << line;
        }
    }
    EXPECT_EQ(settings, 1);
    // One wait for room before each byte of "lux\n", "led power 40\n" and
    // "led save\n"; each echo and answer needs at least one.
    EXPECT_EQ(writes, 4 + 13 + 9);
    EXPECT_GE(echoes, 2);  // the settings command swallows no echo: one poll, no read
    EXPECT_GE(answers, 3);

    // A transaction whose echo never came drops what the line has not sent
    // (with CTS low it would otherwise hold the run at exit): once.
    sim_faults mute;
    mute.mute_from = 1;
    argv.resize(argv.size() - 2);
    argv.push_back("-q");
    r = sim_run(state, mute, argv);
    EXPECT_EQ(r.out, "Error read from tty! (poll)No IP house here!\n");
    lines = read_file(trace);
    unlink(trace);
    size_t flushes = 0;
    for (size_t at = lines.find("tcflush "); at != std::string::npos; at = lines.find("tcflush ", at + 1))
        flushes++;
    EXPECT_EQ(flushes, 1u) << lines;
    EXPECT_NE(lines.find("tcflush " + std::to_string(TCOFLUSH) + "\n"), std::string::npos) << lines;

    // Failures a pseudo-terminal cannot be made to give on demand. The
    // driver refuses the first byte: no housing.
    argv = traced(trace, "write 1");
    argv.push_back("-q");
    r = sim_run(state, {}, argv);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error write to tty! (dpintf)No IP house here!\n");
    EXPECT_EQ(r.received, "");
    // No room for the first byte of the thermostat query, after the LED
    // query's five commands (40 bytes): the query's buffer is its own, so
    // nothing of the LED answers shows in its message.
    argv = traced(trace, "room 41");
    argv.insert(argv.end(), { "-l", "-t" });
    r = sim_run(state, {}, argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fatal("can't parse th command answer! sscanf return -1, str = []"));
    EXPECT_EQ(r.received, "led\r\nled lxon\r\nled lxoff\r\nled pbo\r\nled tmax\r\n");
    // The line found hung up at the fifth byte of the first answer (a
    // hang-up's own timing decides between this and silence): the read's
    // diagnostic, and the query matches what was stored.
    argv = traced(trace, "answer 5");
    argv.push_back("-l");
    r = sim_run(state, {}, argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error read from tty! (read)");
    EXPECT_EQ(r.err, fatal("can't parse led command answer! sscanf return -1, str = [LED:]"));
    unlink(trace);
#endif
}
