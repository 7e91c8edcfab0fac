// Clients repeat a Probe or Resolve with the same MessageID over UDP; one
// answer is enough.
#pragma once

/// Whether `message_id` was seen within the last 5 s, on any socket; if
/// not, it is remembered (among the last 32). Safe from any thread.
int recent_seen(const char *message_id);
