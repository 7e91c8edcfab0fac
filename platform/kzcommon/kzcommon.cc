// Stand-in for the common library.

#include "kzcommon.h"

int xsigaction(int signo, const struct sigaction *act)
{
    return sigaction(signo, act, nullptr);
}
