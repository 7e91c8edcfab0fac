#!/bin/sh
# Strips a file for the device's flash: symbols and debug sections, and the
# two sections nothing reads at run time (.comment, .ARM.attributes). No
# loaded section may go: removing one silently drops the RELRO header.
exec arm-linux-gnueabihf-strip -R .comment -R .ARM.attributes "$@"
