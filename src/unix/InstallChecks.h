// Install-time validation of the service name and of the program path written into the script.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_INSTALLCHECKS_H
#define SERVICEAPP_UNIX_INSTALLCHECKS_H

#include <cstddef>

namespace serviceapp {

// True when the fieldSize-byte name field holds a NUL-terminated name that is
// safe as a file name in /etc/init.d and the run-level directories.
bool IsValidServiceName(const char* field, size_t fieldSize);

// True when path may be written into an init script as the program to start.
bool IsSafeProgramPath(const char* path);

}  // namespace serviceapp

#endif
