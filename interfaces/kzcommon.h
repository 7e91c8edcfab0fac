// Common library libkzcommon.so.
#pragma once

#include <signal.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Installs `act` for `signo`; returns what sigaction returns.
int xsigaction(int signo, const struct sigaction *act);

#ifdef __cplusplus
}
#endif
