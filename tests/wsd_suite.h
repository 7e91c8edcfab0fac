// WS-Discovery Probes read and matched, and the messages composed, on
// plain bytes: what the suites share.
#pragma once

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "describe/description.h"
#include "describe/identity.h"
#include "describe/state.h"
#include "probes.h"
#include "service/matching.h"
#include "text_io.h"
#include "xml_fields.h"

// Composing a message starts the service's instance, which keeps its
// InstanceId under /var/lib: these tests get an empty one of their own.
// Under emulation a native parent has made the mount namespace already.
class PrivateStateDirectory : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (getenv("HOUSE_TEST_NAMESPACES") == NULL) {
            ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
            ASSERT_EQ(mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL), 0) << strerror(errno);
        }
        ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
    }
};

inline ::testing::Environment *const private_state =
    ::testing::AddGlobalTestEnvironment(new PrivateStateDirectory);

inline int parse(const std::string &xml, wsd_request *p)
{
    return wsd_parse_probe(xml.data(), xml.size(), p);
}

inline int matches(const std::string &xml)
{
    wsd_request p;
    return parse(xml, &p) && wsd_probe_matches(&p);
}

inline int count(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}
