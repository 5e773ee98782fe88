// Starting, stopping and asking after an installed service through the host's service manager.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_SERVICECONTROL_H
#define SERVICEAPP_UNIX_SERVICECONTROL_H

namespace serviceapp {

// Runs "systemctl ACTION NAME.service" where systemd is the running service
// manager, else "/etc/init.d/NAME ACTION"; the tool's output passes through.
// Returns the tool's exit status, or -1 when it could not be run.
int ControlService(const char* name, const char* action);

// Whether the service runs: "systemctl is-active --quiet NAME.service", else
// the init script's "status" (0 means running), both asked quietly.
bool ServiceIsRunning(const char* name);

// "-start" and "-stop": for an installed service ControlService, true when
// the tool exited 0; for one not installed prints "Service NAME is not
// installed" on standard output and gives false, running nothing.
bool StartOrStopService(const char* name, bool installed, const char* action);

}  // namespace serviceapp

#endif
