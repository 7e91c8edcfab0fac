// The full XML parser (expat, namespace-aware, names as "namespace
// local"), for what the quick scan does not read.
#pragma once

#include <expat.h>

/// This thread's parser, reset, its name hashing seeded from a secret
/// drawn once for the process; NULL when none can be made. It is freed
/// when the thread ends, a cancelled one too.
XML_Parser xml_thread_parser(void);
