// What the client adds to the unit install writes: settings per section, ExecStart= arguments, the sandbox profile.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_UNITSETTINGS_H
#define SERVICEAPP_UNIX_UNITSETTINGS_H

#include <cstddef>

namespace serviceapp {

// Appends text (length bytes) to out at used; false when it would not fit
// with a terminating NUL.
bool AppendText(char* out, size_t size, size_t& used, const char* text, size_t length);

// Appends the settings the client added to section ("Unit", "Service" or
// "Install"), in the order added, one line each; false when they do not fit.
bool AppendUnitSettings(const char* section, char* out, size_t size, size_t& used);
// The ExecStart= arguments, each after a blank, quoted and escaped for
// systemd; "" when there are none.
const char* ServiceArguments();
// Whether the client asked for the sandbox profile.
bool SandboxProfile();
// Whether a call was refused (then no unit is written).
bool UnitSettingRefused();
// False, printing "Invalid unit setting [SECTION] [SETTING]: REASON" or
// "Invalid service argument [ARGUMENT]: REASON" for the first call that was
// refused, when one was.
bool CheckUnitSettings();

// The version of the host's systemd from the first line of
// "systemctl --version", asked once; 0 when it cannot be told, and for a
// package's tree ($SERVICEAPP_ROOT).
int HostSystemdVersion();

// For tests: forgets everything added; pins the version HostSystemdVersion
// gives (-1: ask the host again).
void ResetUnitSettings();
void SetHostSystemdVersion(int version);

}  // namespace serviceapp

#endif
