// The systemd unit install writes beside the init script, and its enabling link.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_UNITFILE_H
#define SERVICEAPP_UNIX_UNITFILE_H

#include <cstddef>

#include "unix/InstallFiles.h"

namespace serviceapp {

// Fills the unit for the service name and the program path the script
// starts into out: its marker line first, then Type=notify with ExecStart=
// the program path, % written %% and bytes from 0x80 up as \xHH so that
// systemd reads back exactly the path. Returns the unit's length, or -1 when
// it does not fit in size bytes (terminating NUL included).
int FillUnitFile(const char* name, const char* programPath, char* out, size_t size);

// The unit's first line for name, newline included; its length or -1.
int FormatUnitMarker(const char* name, char* out, size_t size);

// What install and uninstall know about the unit of one service. Set up by
// PrepareUnit before the init script is touched; then nothing more is read.
struct UnitStep {
    bool handled = false;  // /etc/systemd/system is a directory
    bool keep = false;     // something not ours is at the unit path
    int error = 0;         // why the unit cannot be written or checked
    bool linked = false;   // uninstall: the wants link leads to the unit
    char unit[kPathSize] = "";
    char wants[kPathSize] = "";
    StagedFile file;  // install: the new unit, staged
};

// Finds out whether the unit is handled and whose it is, and for install
// (programPath not null) stages the new unit. Prints nothing.
void PrepareUnit(const char* name, const char* programPath, UnitStep& step);

// Install: puts the staged unit in place and makes the wants link, or
// prints "Keeping existing unit [PATH]"; a failure prints
// "Failed to write unit file [PATH], ERRNO" or
// "Failed to create link [LINK]: REASON".
bool FinishUnitInstall(UnitStep& step, DirectorySyncs& syncs);

// Uninstall: prints "Removing WANTS" and "Removing UNIT", removing the wants
// link when it leads to the unit and the unit when it carries the marker, or
// prints only "Keeping existing unit [PATH]". A failure prints
// "Failed to remove [PATH]: REASON".
bool RemoveUnit(UnitStep& step, DirectorySyncs& syncs);

}  // namespace serviceapp

#endif
