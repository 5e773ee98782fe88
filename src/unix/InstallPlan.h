// Install and uninstall as two steps: a plan of every change with its check, then one executor that applies it.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_INSTALLPLAN_H
#define SERVICEAPP_UNIX_INSTALLPLAN_H

#include <cstddef>

#include "UnixServiceApp.h"
#include "unix/InstallFiles.h"

namespace serviceapp {

// What one step of a plan does to its path, in the order the executor runs
// them. A refusal is a check that failed: a plan holding one changes nothing.
// The refusals come first, before kStop.
enum class Act : unsigned char {
    kRefuseScript,       // "Refusing to overwrite [PATH]: not written by serviceapp"
    kRefuseVendorUnit,   // "Refusing to shadow [PATH]: a unit of that name is installed"
    kRefuseUnitName,     // "Refusing service name [NAME]: systemd takes no unit of that name"
    kRefuseLink,         // "Failed to create link [PATH]: File exists"
    kRefuseNoTemplate,   // "unknown init script."
    kRefuseUnreadable,   // "Failed to read [PATH]: REASON" (the reason in the step's error)
    kRefuseUnitSetting,  // "Invalid unit setting ..." for the client's first refused call
    kStop,               // stop the running service: "Stopping service NAME"
    kMakeDir,            // under another root: a directory the files go in, mode 0755
    kWriteScript,        // the script, staged, synced and renamed into place
    kLinkScript,         // a run-level link to the script
    kUnregister,         // "insserv -r NAME", once the links are gone
    kWriteUnit,          // the unit, like the script
    kMakeWantsDir,       // multi-user.target.wants, mode 0755
    kLinkUnit,           // the unit's wants link
    kRemove,             // "Removing PATH", once it is gone
    kRegister,           // "insserv NAME", once the links are made
    kKeepScript,         // "Keeping existing script [PATH]"
    kKeepLink,           // "Keeping existing link [PATH]"
    kKeepUnit,           // "Keeping existing unit [PATH]"
    kKeepModifiedUnit,   // "Keeping modified unit [PATH]"
    kKeepDisabledUnit,   // "Keeping disabled unit [PATH]"
};

struct PlanStep {
    Act act;
    int error;  // kRefuseUnreadable: why
    char path[kPathSize];
};

// Everything install or uninstall will do, found out before anything is
// touched. Paths are as on the host (under root); the links' targets are
// as on the target system (without root). Under another root than the live
// system (a package being built) the directories are made as needed, no
// directory is synced, no host tool runs, and one line sums up the outcome.
struct Plan {
    static constexpr size_t kMaxSteps = 48;
    static constexpr size_t kTextSize = 8192;

    const char* root = "";  // "" is the live system
    char name[256] = "";
    bool installing = false;
    bool overflow = false;  // more steps than fit: refused
    size_t count = 0;
    PlanStep steps[kMaxSteps];
    char scriptTarget[kPathSize] = "";  // /etc/init.d/NAME
    char unitTarget[kPathSize] = "";    // /etc/systemd/system/NAME.service
    char insserv[32] = "";              // the host's insserv, for kRegister and kUnregister
    char script[kTextSize] = "";
    size_t scriptLength = 0;
    char unit[kTextSize] = "";
    size_t unitLength = 0;

    bool Refused() const;
};

struct InstallRequest {
    const char* root;         // "" is the live system, else a directory, no trailing slash
    const char* name;         // a valid service name
    const char* programPath;  // install: what the script starts; null for uninstall
    eLinuxDistribution distribution;
    int sequence;  // 0..99
};

// Looks at what is there now and whose it is, and plans install or
// uninstall. Reads only, prints nothing; on the live system uninstall may
// ask the host whether the service runs.
void PlanInstall(const InstallRequest& request, Plan& plan);
void PlanUninstall(const InstallRequest& request, Plan& plan);

// Prints every refusal of a refused plan and returns false; else applies the
// plan, durably on the live system (the files' data synced before their
// renames, every changed directory synced once at the end), printing every
// outcome. False when any step failed.
bool ExecutePlan(Plan& plan);

// Whether the library's script (with its marker, or an earlier template) or
// its unit is installed for name under root.
bool IsInstalledUnder(const char* root, const char* name);

}  // namespace serviceapp

#endif
