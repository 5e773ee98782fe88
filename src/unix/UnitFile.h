// The systemd unit install writes beside the init script, and its enabling link.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_UNITFILE_H
#define SERVICEAPP_UNIX_UNITFILE_H

#include <cstddef>

namespace serviceapp {

// Fills the unit for the service name and the program path the script
// starts into out: its marker line first, then Type=notify (notify-reload
// with a reload handler on systemd 253 and later) with ExecStart= the
// program path, % written %% and bytes from 0x80 up as \xHH so that systemd
// reads back exactly the path, then the client's arguments, ExecReload=
// (a reload handler before systemd 253), the restart policy, the sandbox
// profile and the client's settings (UnitSettings.h). Returns the unit's
// length, or -1 when it does not fit in size bytes (terminating NUL
// included) or a unit setting was refused. Prints nothing.
int FillUnitFile(const char* name, const char* programPath, char* out, size_t size);

// The unit's first line for name, newline included; its length or -1.
int FormatUnitMarker(const char* name, char* out, size_t size);

// FillUnitFile with the marker line stamped with a checksum of the rest,
// " (checksum HHHHHHHHHHHHHHHH)" before its newline, so that a later install
// can tell the text it wrote from one an administrator changed. Its length
// or -1; -1 also after a unit setting the client's call refused.
int FillStampedUnit(const char* name, const char* programPath, char* out, size_t size);

enum class UnitOwner { kOurs, kModified, kForeign };

// Whose the unit text (length bytes) is for name: ours when it starts with
// our marker and the stamped checksum matches the rest (or, written before
// the stamp, carries none), modified when it does not match, else foreign.
UnitOwner ClassifyUnitText(const char* name, const char* text, size_t length);

// Whether systemd takes name as a unit name of its own: '+' is not a unit
// name character, and a trailing '@' would make a template.
bool IsUnitName(const char* name);

}  // namespace serviceapp

#endif
