// The three init-script templates and their filling.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_INITSCRIPTS_H
#define SERVICEAPP_UNIX_INITSCRIPTS_H

#include <cstddef>

#include "UnixServiceApp.h"

namespace serviceapp {

// The template for a distribution's family, or null when it has none
// (fedora, unknown).
const char* InitScriptTemplate(eLinuxDistribution distribution);

// The script's marker line for name, its second line in every family,
// newline included: how install and uninstall know the script as the
// library's. Its length, or -1 when it does not fit in size bytes.
int FormatScriptMarker(const char* name, char* out, size_t size);

// Fills the distribution's template with the service name and program path
// into out. Returns the script's length, or -1 when there is no template or
// the result does not fit in size bytes (terminating NUL included).
int FillInitScript(eLinuxDistribution distribution, const char* name, const char* programPath, char* out,
                   size_t size);

}  // namespace serviceapp

#endif
