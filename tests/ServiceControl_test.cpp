// -start and -stop of an installed service through the host's manager, here a stand-in init script.
// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include "Namespace.h"
#include "unix/ServiceControl.h"

using namespace testsupport;

class ServiceControl : public NamespaceTest {};

// No systemd runs in the namespace, so the init script acts: the stand-in
// says what it was asked, before the result, and fails "stop".
TEST_F(ServiceControl, StartAndStopPassTheToolsWordsAndExitStatusThrough)
{
    const struct {
        const char* name;
        bool installed;
        const char* action;
        const char* out;  // then the result
    } cases[] = {{"svc", false, "start", "Service svc is not installed\n0"},
                 {"svc", true, "start", "svc start\n1"},
                 {"svc", true, "stop", "svc stop\n0"},
                 {"gone", true, "start", "0"}};
    Namespace ns({{}, {"init.d"}, {{"init.d/svc", "#!/bin/sh\necho \"svc $1\"\n[ \"$1\" = start ]\n"}}, {}});
    ASSERT_EQ(chmod((ns.Upper() + "/init.d/svc").c_str(), 0755), 0);
    for (const auto& c : cases) {
        ChildResult r = ns.Run(
            [&c] { return printf("%d", serviceapp::StartOrStopService(c.name, c.installed, c.action)), 0; });
        EXPECT_EQ(r.out, c.out) << c.name << " " << c.installed << " " << c.action << ": " << r.err;
    }
}
