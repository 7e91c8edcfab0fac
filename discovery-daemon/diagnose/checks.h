// What can keep ONVIF clients from finding the device, each looked for in
// the daemon's status and on the host, and said in plain words with what
// to do about it.
#pragma once

#include <string>
#include <vector>

#include "status_read.h"

/// One thing found wrong: what it is, and what to do.
struct finding {
    std::string problem, remedy;
};

/// What the checks look at: the status (empty when there is none), the
/// time now, and how long a link in use may hear nothing before that is
/// said (a switch with IGMP snooping and no querier stops forwarding the
/// group after about 260 s).
struct diagnosis {
    status_fields status;
    std::string status_error;  // why the status could not be read; "" when it was
    long now;
    long quiet_s;
    std::vector<finding> found;
};

/// Runs every check, each adding what it finds to d->found.
void checks_run(struct diagnosis *d);
