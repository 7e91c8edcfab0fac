// A private /dev for a process in its own mount namespace.
#pragma once

/// Mounts a tmpfs over /dev holding null, zero, full, random and urandom
/// (bound back from the real nodes) and the fd, stdin, stdout and stderr
/// links. Call it after unshare(CLONE_NEWNS) with "/" made private. Returns
/// 0, or -1 with errno set and *failed naming what could not be done.
int private_dev(const char **failed);
