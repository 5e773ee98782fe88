// -start and -stop of an installed service through the host's manager, here a stand-in init script.
// SPDX-License-Identifier: MIT
#include <sys/stat.h>

#include "Namespace.h"
#include "unix/ServiceControl.h"

using namespace testsupport;

namespace {

class ServiceControl : public NamespaceTest {};

// No systemd runs in the namespace (/run is empty), so the init script acts;
// the stand-in says what it was asked and fails "stop". Its words pass
// through, before the result.
TEST_F(ServiceControl, StartAndStopPassTheToolsWordsAndExitStatusThrough)
{
    const struct {
        const char* name;
        bool installed;
        const char* action;
        const char* out;  // output, then the result
    } cases[] = {
        {"svc", false, "start", "Service svc is not installed\n0"},
        {"svc", true, "start", "svc start\n1"},
        {"svc", true, "stop", "svc stop\n0"},
        {"gone", true, "start", "0"},  // no script: nothing could run
    };
    Namespace ns({{}, {"init.d"}, {{"init.d/svc", "#!/bin/sh\necho \"svc $1\"\n[ \"$1\" = start ]\n"}}, {}});
    ASSERT_EQ(chmod((ns.Upper() + "/init.d/svc").c_str(), 0755), 0);
    for (const auto& c : cases) {
        ChildResult r = ns.Run([&c] {
            printf("%d", serviceapp::StartOrStopService(c.name, c.installed, c.action));
            return 0;
        });
        EXPECT_EQ(r.out, c.out) << c.name << " " << c.installed << " " << c.action << ": " << r.err;
    }
}

}  // namespace
