#!/bin/sh
# The stack protector of the device build: a canary that differs from run
# to run (where the program keeps its own, with a zero low byte that stops
# string copies), and an overflow of a local array that ends the program.
#   stack_guard_test.sh PROBE [EMULATOR...]
set -u
probe=$1
shift
first=$("$@" "$probe") || { echo "probe failed"; exit 1; }
second=$("$@" "$probe")
echo "canaries: $first $second"
if [ "$first" != libc ]; then
    [ "$first" != "$second" ] || { echo "the canary is the same in two runs"; exit 1; }
    case "$first$second" in
    *[!0-9a-f]*) echo "not a canary"; exit 1 ;;
    esac
    [ "${first%00}" != "$first" ] && [ "${second%00}" != "$second" ] ||
        { echo "the canary's low byte is not zero"; exit 1; }
    [ "$first" != 00000000 ] || { echo "the canary is zero"; exit 1; }
fi
err=$("$@" "$probe" overflow 2>&1 >/dev/null)
status=$?
echo "overflow: status $status, $err"
[ "$status" -eq 134 ] && echo "$err" | grep -q "stack smashing detected"
