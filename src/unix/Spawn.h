// Running a host tool (systemctl, an init script, insserv) from an argument vector, with no shell.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_SPAWN_H
#define SERVICEAPP_UNIX_SPAWN_H

#include <cstddef>

namespace serviceapp {

// Runs argv[0] (an absolute path) with argv, argv ending in a null pointer,
// inheriting standard input, output and error so the tool's own words reach
// the user; SIGTERM and SIGINT unblocked and the default signal dispositions
// in the child. Waits for it. Returns its exit status (0..255); -1 when it
// could not be started or was ended by a signal, errno then set where known.
int RunProgram(const char* const* argv);

// RunProgram with standard output and error sent to /dev/null, for a tool
// asked a question through its exit status.
int RunProgramQuietly(const char* const* argv);

// RunProgram with standard output kept in out (at most size - 1 bytes,
// NUL-terminated, empty when there was none) and standard error sent to
// /dev/null, for a tool asked a question through what it prints.
int RunProgramForOutput(const char* const* argv, char* out, size_t size);

// Whether a systemd is the running service manager ("/run/systemd/system"
// is a directory).
bool SystemdIsRunning();

// Where systemctl is: /usr/bin/systemctl, else /bin/systemctl.
const char* SystemctlPath();

}  // namespace serviceapp

#endif
