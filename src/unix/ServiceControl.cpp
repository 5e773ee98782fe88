// Starting, stopping and asking after an installed service through the host's service manager.
// SPDX-License-Identifier: MIT
#include "unix/ServiceControl.h"

#include <cstdio>

#include "unix/Spawn.h"

namespace serviceapp {

namespace {

// Longest service name (240) with ".service" or the init directory.
constexpr size_t kArgSize = 272;

// action and name as the host's manager takes them; quiet for questions.
int Run(const char* name, const char* action, bool quiet)
{
    char arg[kArgSize];
    if (SystemdIsRunning()) {
        (void)snprintf(arg, sizeof(arg), "%s.service", name);
        const char* const question[] = {SystemctlPath(), action, "--quiet", arg, nullptr};
        const char* const command[] = {SystemctlPath(), action, arg, nullptr};
        return quiet ? RunProgramQuietly(question) : RunProgram(command);
    }
    (void)snprintf(arg, sizeof(arg), "/etc/init.d/%s", name);
    const char* const command[] = {arg, action, nullptr};
    return quiet ? RunProgramQuietly(command) : RunProgram(command);
}

}  // namespace

int ControlService(const char* name, const char* action)
{
    return Run(name, action, false);
}

bool ServiceIsRunning(const char* name)
{
    return Run(name, SystemdIsRunning() ? "is-active" : "status", true) == 0;
}

bool StartOrStopService(const char* name, bool installed, const char* action)
{
    if (!installed) {
        printf("Service %s is not installed\n", name);
        return false;
    }
    (void)fflush(stdout);  // what was printed before comes before the tool's words
    return ControlService(name, action) == 0;
}

}  // namespace serviceapp
