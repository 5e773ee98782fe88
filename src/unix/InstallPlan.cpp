// Install and uninstall as two steps: a plan of every change with its check, then one executor that applies it.
// SPDX-License-Identifier: MIT
#include "unix/InstallPlan.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unix/InitScripts.h"
#include "unix/LegacyScripts.h"
#include "unix/ServiceControl.h"
#include "unix/Spawn.h"
#include "unix/SysOps.h"
#include "unix/UnitFile.h"
#include "unix/UnitSettings.h"

namespace serviceapp {

namespace {

const char kInitDir[] = "/etc/init.d";
const char kUnitDir[] = "/etc/systemd/system";
const char kWantsDir[] = "/etc/systemd/system/multi-user.target.wants";
const char* const kVendorUnitDirs[] = {"/lib/systemd/system", "/usr/lib/systemd/system"};
const char* const kInsservPaths[] = {"/sbin/insserv", "/usr/sbin/insserv"};

// Link letters for run levels 0 to 6.
const char kDebianLetters[] = "KKSKKSK";
const char kOtherLetters[] = "KKKSKSK";

bool IsDebianFamily(eLinuxDistribution distribution)
{
    return distribution == eDistUbuntu || distribution == eDistDebian;
}

char LinkLetter(eLinuxDistribution distribution, int level)
{
    return (IsDebianFamily(distribution) ? kDebianLetters : kOtherLetters)[level];
}

// Adds a step whose path is format filled; a path cut short, or a step
// beyond the last, refuses the plan.
void Add(Plan& plan, Act act, int error, const char* format, ...) __attribute__((format(printf, 4, 5)));
void Add(Plan& plan, Act act, int error, const char* format, ...)
{
    if (plan.count == Plan::kMaxSteps) {
        plan.overflow = true;
        return;
    }
    PlanStep& step = plan.steps[plan.count++];
    step.act = act;
    step.error = error;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(step.path, sizeof(step.path), format, args);
    va_end(args);
    plan.overflow = plan.overflow || n < 0 || static_cast<size_t>(n) >= sizeof(step.path);
}

// Reads the regular file at path, not through a symbolic link, into text:
// its length, size when it is larger than size - 1, or -1 with errno.
ssize_t ReadSmallFile(const char* path, char* text, size_t size)
{
    // O_NONBLOCK: something swapped in for a FIFO is not waited on.
    int fd = g_sysOps.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    size_t used = 0;
    ssize_t n = 0;
    while (used < size &&
           ((n = g_sysOps.Read(fd, text + used, size - used)) > 0 || (n < 0 && errno == EINTR))) {
        used += n > 0 ? static_cast<size_t>(n) : 0;
    }
    int error = errno;
    (void)g_sysOps.Close(fd);  // read-only descriptor: nothing to lose
    errno = error;
    return n < 0 ? -1 : static_cast<ssize_t>(used);
}

bool IsOurScript(const char* text, size_t length, const char* name)
{
    char marker[kPathSize];
    int markerLength = FormatScriptMarker(name, marker, sizeof(marker));
    const char* newline = static_cast<const char*>(memchr(text, '\n', length));
    size_t rest = newline == nullptr ? 0 : length - static_cast<size_t>(newline + 1 - text);
    if (markerLength > 0 && static_cast<size_t>(markerLength) <= rest &&
        memcmp(newline + 1, marker, static_cast<size_t>(markerLength)) == 0) {
        return true;
    }
    return IsLegacyScript(text, length, name);
}

enum class Owner { kAbsent, kOurs, kModified, kForeign, kUnreadable };

// Whose the script (unit false) or unit at path is. Anything but a regular
// file (a symbolic link, a mask, a directory) is someone else's.
Owner OwnerOf(const char* path, const char* name, bool unit, int& error)
{
    struct stat st;
    if (g_sysOps.Lstat(path, &st) != 0) {
        error = errno;
        return errno == ENOENT || errno == ENOTDIR ? Owner::kAbsent : Owner::kUnreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        return Owner::kForeign;
    }
    char text[Plan::kTextSize + 1];
    ssize_t n = ReadSmallFile(path, text, sizeof(text));
    if (n < 0) {
        error = errno;
        return Owner::kUnreadable;
    }
    if (static_cast<size_t>(n) == sizeof(text)) {
        return Owner::kForeign;  // larger than anything written here
    }
    if (!unit) {
        return IsOurScript(text, static_cast<size_t>(n), name) ? Owner::kOurs : Owner::kForeign;
    }
    switch (ClassifyUnitText(name, text, static_cast<size_t>(n))) {
    case UnitOwner::kOurs: return Owner::kOurs;
    case UnitOwner::kModified: return Owner::kModified;
    default: return Owner::kForeign;
    }
}

// Links that init tools renumbered look like S or K, two digits, then the
// name; the name itself is compared by the caller.
int IsLinkShaped(const struct dirent* entry)
{
    const char* name = entry->d_name;
    return (name[0] == 'S' || name[0] == 'K') && name[1] >= '0' && name[1] <= '9' && name[2] >= '0' &&
           name[2] <= '9' && name[3] != '\0';
}

int ByName(const struct dirent** a, const struct dirent** b)
{
    return strcmp((*a)->d_name, (*b)->d_name);
}

// Whether link's target is exactly target (as install writes it): then it
// leads there without resolving anything.
bool LinksExactlyTo(const char* link, const char* target)
{
    char text[kPathSize];
    ssize_t n = g_sysOps.Readlink(link, text, sizeof(text));
    return n > 0 && static_cast<size_t>(n) == strlen(target) &&
           memcmp(text, target, static_cast<size_t>(n)) == 0;
}

// The links named [SK]NNNAME of one run-level directory, in sorted order.
struct LevelScan {
    static constexpr int kMaxLinks = 8;
    int error = 0;                // reading the directory failed (a missing one has no links)
    bool fixedElsewhere = false;  // the link at our own name leads elsewhere
    bool overflow = false;
    int count = 0;
    char prefixes[kMaxLinks][4] = {};  // "S55" of each link that leads to the script
};

void ScanLevel(const Plan& plan, const char* dir, const char* fixed, const char* realInitDir, LevelScan& scan)
{
    struct dirent** entries = nullptr;
    int count = g_sysOps.Scandir(dir, &entries, IsLinkShaped, ByName);
    if (count < 0) {
        scan.error = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
        return;
    }
    for (int i = 0; i < count; ++i) {
        const char* entry = entries[i]->d_name;
        if (strcmp(entry + 3, plan.name) == 0) {
            char link[kPathSize];
            (void)snprintf(link, sizeof(link), "%s/%s", dir, entry);
            bool leads = LinksExactlyTo(link, plan.scriptTarget) ||
                         (realInitDir[0] != '\0' && LinkLeadsTo(link, realInitDir, plan.name, plan.root));
            scan.fixedElsewhere = scan.fixedElsewhere || (!leads && strncmp(entry, fixed, 3) == 0);
            if (leads && scan.count < LevelScan::kMaxLinks) {
                memcpy(scan.prefixes[scan.count++], entry, 3);
            } else if (leads) {
                scan.overflow = true;
            }
        }
        free(entries[i]);  // scandir's own allocations
    }
    free(entries);
}

// Where /etc/init.d really is under the plan's root; empty when it is not
// there, and then no link leads into it.
void RealInitDir(const Plan& plan, char* out)
{
    char dir[kPathSize];
    (void)snprintf(dir, sizeof(dir), "%s%s", plan.root, kInitDir);
    if (g_sysOps.Realpath(dir, out) == nullptr) {
        out[0] = '\0';
    }
}

// Every run level: its directory and the prefix of our own link there.
template <typename Visit>
void ForEachLevel(const Plan& plan, eLinuxDistribution distribution, int sequence, Visit visit)
{
    char realInitDir[PATH_MAX];
    RealInitDir(plan, realInitDir);
    for (int level = 0; level <= 6; ++level) {
        char dir[kPathSize];
        char fixed[4];
        (void)snprintf(dir, sizeof(dir),
                       IsDebianFamily(distribution) ? "%s/etc/rc%d.d" : "%s/etc/rc.d/rc%d.d", plan.root,
                       level);
        (void)snprintf(fixed, sizeof(fixed), "%c%02d", LinkLetter(distribution, level), sequence);
        LevelScan scan;
        ScanLevel(plan, dir, fixed, realInitDir, scan);
        visit(dir, fixed, scan);
    }
}

void Begin(const InstallRequest& request, Plan& plan)
{
    plan.root = request.root;
    plan.installing = false;
    plan.count = 0;
    plan.overflow =
        snprintf(plan.name, sizeof(plan.name), "%s", request.name) >= static_cast<int>(sizeof(plan.name));
    (void)snprintf(plan.scriptTarget, sizeof(plan.scriptTarget), "%s/%s", kInitDir, plan.name);
    (void)snprintf(plan.unitTarget, sizeof(plan.unitTarget), "%s/%s.service", kUnitDir, plan.name);
    plan.insserv[0] = '\0';
    plan.scriptLength = 0;
    plan.unitLength = 0;
    // Host tools run only on the live system.
    char depend[kPathSize];
    (void)snprintf(depend, sizeof(depend), "%s%s/.depend.start", plan.root, kInitDir);
    if (plan.root[0] == '\0' && g_sysOps.Access(depend, F_OK) == 0) {
        for (const char* insserv : kInsservPaths) {
            if (g_sysOps.Access(insserv, X_OK) == 0) {
                (void)snprintf(plan.insserv, sizeof(plan.insserv), "%s", insserv);
                break;
            }
        }
    }
}

// Where /etc/systemd/system is a directory: on the live system, and under
// another root also where the host building it has one.
bool UnitsHandled(const Plan& plan)
{
    char dir[kPathSize];
    struct stat st;
    (void)snprintf(dir, sizeof(dir), "%s%s", plan.root, kUnitDir);
    return (g_sysOps.Stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) ||
           (plan.root[0] != '\0' && g_sysOps.Stat(kUnitDir, &st) == 0 && S_ISDIR(st.st_mode));
}

// Under another root: plans every missing directory of dir (a path on the
// target), parents first, once.
void PlanDirectories(Plan& plan, const char* dir)
{
    if (plan.root[0] == '\0') {
        return;
    }
    char path[kPathSize];
    for (const char* slash = strchr(dir + 1, '/');; slash = strchr(slash + 1, '/')) {
        int length = slash == nullptr ? static_cast<int>(strlen(dir)) : static_cast<int>(slash - dir);
        (void)snprintf(path, sizeof(path), "%s%.*s", plan.root, length, dir);
        bool planned = false;
        for (size_t i = 0; i < plan.count; ++i) {
            planned =
                planned || (plan.steps[i].act == Act::kMakeDir && strcmp(plan.steps[i].path, path) == 0);
        }
        struct stat st;
        if (!planned && g_sysOps.Lstat(path, &st) != 0) {
            Add(plan, Act::kMakeDir, 0, "%s", path);
        }
        if (slash == nullptr) {
            return;
        }
    }
}

// Whether the wants link at path leads to our unit.
bool WantsLeadsToUnit(const Plan& plan, const char* wants)
{
    char dir[kPathSize];
    char realDir[PATH_MAX];
    char file[kPathSize];
    (void)snprintf(dir, sizeof(dir), "%s%s", plan.root, kUnitDir);
    (void)snprintf(file, sizeof(file), "%s.service", plan.name);
    return LinksExactlyTo(wants, plan.unitTarget) ||
           (g_sysOps.Realpath(dir, realDir) != nullptr && LinkLeadsTo(wants, realDir, file, plan.root));
}

// Whether the service may be running, asked cheaply before the host's
// manager is: under systemd the unit's invocation record, elsewhere the
// Debian script's pid file (the other families' scripts keep none).
bool MayBeRunning(const char* name, eLinuxDistribution distribution)
{
    char path[kPathSize];
    struct stat st;
    if (SystemdIsRunning()) {
        (void)snprintf(path, sizeof(path), "/run/systemd/units/invocation:%s.service", name);
        return g_sysOps.Lstat(path, &st) == 0;
    }
    if (!IsDebianFamily(distribution)) {
        return true;
    }
    (void)snprintf(path, sizeof(path), "/var/run/%s.pid", name);
    return g_sysOps.Lstat(path, &st) == 0;
}

void PrintRefusal(const PlanStep& step)
{
    switch (step.act) {
    case Act::kRefuseScript:
        printf("Refusing to overwrite [%s]: not written by serviceapp\n", step.path);
        break;
    case Act::kRefuseVendorUnit:
        printf("Refusing to shadow [%s]: a unit of that name is installed\n", step.path);
        break;
    case Act::kRefuseUnitName:
        printf("Refusing service name [%s]: systemd takes no unit of that name\n", step.path);
        break;
    case Act::kRefuseLink: printf("Failed to create link [%s]: %s\n", step.path, strerror(EEXIST)); break;
    case Act::kRefuseNoTemplate: puts("unknown init script."); break;
    case Act::kRefuseUnitSetting: (void)CheckUnitSettings(); break;
    case Act::kRefuseUnreadable: printf("Failed to read [%s]: %s\n", step.path, strerror(step.error)); break;
    default: break;
    }
}

// The directory part of path into out.
void DirOf(const char* path, char* out, size_t size)
{
    const char* slash = strrchr(path, '/');
    (void)snprintf(out, size, "%.*s", slash == nullptr ? 0 : static_cast<int>(slash - path), path);
}

bool RunInsserv(const Plan& plan, bool remove)
{
    const char* const argv[] = {plan.insserv, remove ? "-r" : plan.name, remove ? plan.name : nullptr,
                                nullptr};
    (void)fflush(stdout);  // before the tool's own words
    int status = RunProgram(argv);
    if (status != 0) {
        printf("Failed to run [%s %s%s], %d\n", plan.insserv, remove ? "-r " : "", plan.name, status);
    }
    return status == 0;
}

bool MakeLink(const char* target, const char* link, DirectorySyncs& syncs)
{
    if (g_sysOps.Symlink(target, link) == 0) {
        syncs.Add(link);
        return true;
    }
    printf("Failed to create link [%s]: %s\n", link, strerror(errno));
    return false;
}

}  // namespace

bool Plan::Refused() const
{
    for (size_t i = 0; i < count; ++i) {
        if (steps[i].act < Act::kStop) {
            return true;
        }
    }
    return overflow;
}

void PlanInstall(const InstallRequest& request, Plan& plan)
{
    Begin(request, plan);
    plan.installing = true;
    int length = FillInitScript(request.distribution, plan.name, request.programPath, plan.script,
                                sizeof(plan.script));
    if (length < 0) {
        // Chosen before any file is looked at: a distribution without a
        // template leaves everything alone.
        if (InitScriptTemplate(request.distribution) == nullptr) {
            Add(plan, Act::kRefuseNoTemplate, 0, "%s", plan.scriptTarget);
        } else {
            plan.overflow = true;
        }
        return;
    }
    plan.scriptLength = static_cast<size_t>(length);
    char path[kPathSize];
    int error = 0;
    (void)snprintf(path, sizeof(path), "%s%s", plan.root, plan.scriptTarget);
    Owner script = OwnerOf(path, plan.name, false, error);
    if (script == Owner::kForeign || script == Owner::kModified) {
        Add(plan, Act::kRefuseScript, 0, "%s", path);
    } else if (script == Owner::kUnreadable) {
        Add(plan, Act::kRefuseUnreadable, error, "%s", path);
    }
    PlanDirectories(plan, kInitDir);
    Add(plan, Act::kWriteScript, 0, "%s", path);

    // A level that has a link to the script already keeps it: one an init
    // tool renumbered counts as ours, and a K link where ours is an S link
    // is an administrator's "disable", which a reinstall must not undo.
    ForEachLevel(plan, request.distribution, request.sequence,
                 [&](const char* dir, const char* fixed, LevelScan& scan) {
                     PlanDirectories(plan, dir + strlen(plan.root));
                     if (scan.error != 0) {
                         Add(plan, Act::kRefuseUnreadable, scan.error, "%s", dir);
                     }
                     if (scan.fixedElsewhere) {
                         Add(plan, Act::kRefuseLink, 0, "%s/%s%s", dir, fixed, plan.name);
                     }
                     for (int i = 0; i < scan.count; ++i) {
                         if (scan.prefixes[i][0] != fixed[0]) {
                             Add(plan, Act::kKeepLink, 0, "%s/%s%s", dir, scan.prefixes[i], plan.name);
                         }
                     }
                     if (scan.count == 0 && !scan.fixedElsewhere) {
                         Add(plan, Act::kLinkScript, 0, "%s/%s%s", dir, fixed, plan.name);
                     }
                     plan.overflow = plan.overflow || scan.overflow;
                 });

    if (UnitsHandled(plan)) {
        if (!IsUnitName(plan.name)) {
            Add(plan, Act::kRefuseUnitName, 0, "%s", plan.name);
        }
        struct stat st;
        for (const char* dir : kVendorUnitDirs) {
            (void)snprintf(path, sizeof(path), "%s%s/%s.service", plan.root, dir, plan.name);
            if (g_sysOps.Lstat(path, &st) == 0) {
                Add(plan, Act::kRefuseVendorUnit, 0, "%s", path);
                break;
            }
        }
        char wants[kPathSize];
        (void)snprintf(path, sizeof(path), "%s%s", plan.root, plan.unitTarget);
        (void)snprintf(wants, sizeof(wants), "%s%s/%s.service", plan.root, kWantsDir, plan.name);
        Owner unit = OwnerOf(path, plan.name, true, error);
        if (unit == Owner::kUnreadable) {
            Add(plan, Act::kRefuseUnreadable, error, "%s", path);
        } else if (unit == Owner::kForeign || unit == Owner::kModified) {
            Add(plan, unit == Owner::kForeign ? Act::kKeepUnit : Act::kKeepModifiedUnit, 0, "%s", path);
        } else if (UnitSettingRefused()) {
            Add(plan, Act::kRefuseUnitSetting, 0, "%s", path);
        } else {
            length = FillStampedUnit(plan.name, request.programPath, plan.unit, sizeof(plan.unit));
            plan.overflow = plan.overflow || length < 0;
            plan.unitLength = length < 0 ? 0 : static_cast<size_t>(length);
            PlanDirectories(plan, kWantsDir);
            Add(plan, Act::kWriteUnit, 0, "%s", path);
            if (g_sysOps.Lstat(wants, &st) != 0) {
                if (unit == Owner::kOurs) {
                    Add(plan, Act::kKeepDisabledUnit, 0, "%s", path);  // "systemctl disable" removed it
                } else {
                    char dir[kPathSize];
                    DirOf(wants, dir, sizeof(dir));
                    if (plan.root[0] == '\0' && g_sysOps.Stat(dir, &st) != 0) {
                        Add(plan, Act::kMakeWantsDir, 0, "%s", wants);
                    }
                    Add(plan, Act::kLinkUnit, 0, "%s", wants);
                }
            } else if (!WantsLeadsToUnit(plan, wants)) {
                Add(plan, Act::kRefuseLink, 0, "%s", wants);
            }
        }
    }
    if (plan.insserv[0] != '\0') {
        Add(plan, Act::kRegister, 0, "%s", plan.insserv);
    }
}

void PlanUninstall(const InstallRequest& request, Plan& plan)
{
    Begin(request, plan);
    char script[kPathSize];
    char unit[kPathSize];
    char wants[kPathSize];
    int scriptError = 0;
    int unitError = 0;
    (void)snprintf(script, sizeof(script), "%s%s", plan.root, plan.scriptTarget);
    (void)snprintf(unit, sizeof(unit), "%s%s", plan.root, plan.unitTarget);
    (void)snprintf(wants, sizeof(wants), "%s%s/%s.service", plan.root, kWantsDir, plan.name);
    Owner scriptOwner = OwnerOf(script, plan.name, false, scriptError);
    Owner unitOwner = UnitsHandled(plan) ? OwnerOf(unit, plan.name, true, unitError) : Owner::kAbsent;
    bool ourScript = scriptOwner == Owner::kOurs;
    bool ourUnit = unitOwner == Owner::kOurs || unitOwner == Owner::kModified;

    // A running service is stopped first, through its own manager.
    if (plan.root[0] == '\0' && (ourScript || ourUnit) && MayBeRunning(plan.name, request.distribution) &&
        ServiceIsRunning(plan.name)) {
        Add(plan, Act::kStop, 0, "%s", plan.name);
    }
    if (scriptOwner == Owner::kUnreadable) {
        Add(plan, Act::kRefuseUnreadable, scriptError, "%s", script);
    }
    // Another's script keeps its links; ours, or none, loses every link to
    // it, before the script goes, so that no interruption leaves a link to
    // a missing script.
    if (scriptOwner == Owner::kForeign) {
        Add(plan, Act::kKeepScript, 0, "%s", script);
    } else {
        ForEachLevel(plan, request.distribution, request.sequence,
                     [&](const char* dir, const char* fixed, LevelScan& scan) {
                         if (scan.error != 0) {
                             Add(plan, Act::kRefuseUnreadable, scan.error, "%s", dir);
                         }
                         if (scan.fixedElsewhere) {
                             Add(plan, Act::kKeepLink, 0, "%s/%s%s", dir, fixed, plan.name);
                         }
                         for (int i = 0; i < scan.count; ++i) {
                             Add(plan, Act::kRemove, 0, "%s/%s%s", dir, scan.prefixes[i], plan.name);
                         }
                         plan.overflow = plan.overflow || scan.overflow;
                     });
    }
    if (ourScript) {
        // insserv reads the script's header, so it goes after.
        if (plan.insserv[0] != '\0') {
            Add(plan, Act::kUnregister, 0, "%s", plan.insserv);
        }
        Add(plan, Act::kRemove, 0, "%s", script);
    }
    struct stat st;
    if (unitOwner == Owner::kUnreadable) {
        Add(plan, Act::kRefuseUnreadable, unitError, "%s", unit);
    } else if (unitOwner == Owner::kForeign) {
        Add(plan, Act::kKeepUnit, 0, "%s", unit);
    } else if (ourUnit) {
        if (WantsLeadsToUnit(plan, wants)) {
            Add(plan, Act::kRemove, 0, "%s", wants);
        } else if (g_sysOps.Lstat(wants, &st) == 0) {
            Add(plan, Act::kKeepLink, 0, "%s", wants);
        }
        Add(plan, Act::kRemove, 0, "%s", unit);
    }
}

bool ExecutePlan(Plan& plan)
{
    if (plan.Refused()) {
        for (size_t i = 0; i < plan.count; ++i) {
            PrintRefusal(plan.steps[i]);
        }
        if (plan.overflow) {
            printf("Failed to plan the changes for [%s]: too many links or too long a path\n", plan.name);
        }
        return false;
    }
    // Both files are staged before either is synced: their data then reach
    // the disk in one journal commit, and all the names in one more.
    const bool durable = plan.root[0] == '\0';
    StagedFile files[2];
    StagedFile* staged[2] = {&files[0], &files[1]};
    for (size_t i = 0; i < plan.count; ++i) {
        const PlanStep& step = plan.steps[i];
        bool isScript = step.act == Act::kWriteScript;
        // Under another root the directories come first, before anything is staged in them.
        if (step.act == Act::kMakeDir &&
            (g_sysOps.Mkdir(step.path, 0755) != 0 || g_sysOps.Chmod(step.path, 0755) != 0) &&
            errno != EEXIST) {
            printf("Failed to create directory [%s]: %s\n", step.path, strerror(errno));
            DiscardFile(files[0]);
            return false;
        }
        if (isScript || step.act == Act::kWriteUnit) {
            char dir[kPathSize];
            DirOf(step.path, dir, sizeof(dir));
            StageResult result = StageFile(dir, plan.name, isScript ? plan.script : plan.unit,
                                           isScript ? plan.scriptLength : plan.unitLength,
                                           isScript ? 0755 : 0644, files[isScript ? 0 : 1]);
            if (isScript && result != StageResult::kStaged) {
                printf("Failed to %s init script [%s], %d\n",
                       result == StageResult::kNotCreated ? "create" : "write", step.path, files[0].error);
                return false;
            }
        }
    }
    if (durable) {
        SyncStaged(staged, 2);
    }
    DirectorySyncs syncs;
    bool allDone = true;
    bool unitFailed = false;
    int made = 0;  // under another root: what the summary counts
    int removed = 0;
    for (size_t i = 0; i < plan.count; ++i) {
        const PlanStep& step = plan.steps[i];
        switch (step.act) {
        case Act::kStop:
            printf("Stopping service %s\n", plan.name);
            (void)fflush(stdout);  // before the tool's own words
            if (ControlService(plan.name, "stop") != 0) {
                printf("Failed to stop service %s, nothing removed\n", plan.name);
                return false;
            }
            break;
        case Act::kWriteScript:
            if (!CommitFile(files[0], step.path)) {
                printf("Failed to write init script [%s], %d\n", step.path, files[0].error);
                DiscardFile(files[1]);
                return false;
            }
            syncs.Add(step.path);
            ++made;
            break;
        case Act::kWriteUnit:
            unitFailed = files[1].error != 0 || !CommitFile(files[1], step.path);
            if (unitFailed) {
                printf("Failed to write unit file [%s], %d\n", step.path, files[1].error);
                allDone = false;
            } else {
                syncs.Add(step.path);
                ++made;
            }
            break;
        case Act::kLinkScript:
            made += MakeLink(plan.scriptTarget, step.path, syncs) ? 1 : (allDone = false, 0);
            break;
        case Act::kMakeWantsDir: {
            // As systemctl enable would make it; the mode is set again past the umask.
            char dir[kPathSize];
            DirOf(step.path, dir, sizeof(dir));
            if (!unitFailed && (g_sysOps.Mkdir(dir, 0755) != 0 || g_sysOps.Chmod(dir, 0755) != 0) &&
                errno != EEXIST) {
                printf("Failed to create link [%s]: %s\n", step.path, strerror(errno));
                allDone = false;
                unitFailed = true;
            }
            syncs.Add(dir);
            break;
        }
        case Act::kLinkUnit:
            if (!unitFailed) {
                made += MakeLink(plan.unitTarget, step.path, syncs) ? 1 : (allDone = false, 0);
            }
            break;
        case Act::kRemove:
            if (g_sysOps.Unlink(step.path) == 0) {
                syncs.Add(step.path);
                ++removed;
                if (durable) {
                    printf("Removing %s\n", step.path);
                }
            } else if (errno != ENOENT && errno != ENOTDIR) {
                printf("Failed to remove [%s]: %s\n", step.path, strerror(errno));
                allDone = false;
            }
            break;
        case Act::kRegister:
        case Act::kUnregister:
            // What is done so far is made durable before the host's tool acts on it.
            allDone = syncs.SyncAll() && allDone;
            allDone = RunInsserv(plan, step.act == Act::kUnregister) && allDone;
            break;
        case Act::kKeepScript: printf("Keeping existing script [%s]\n", step.path); break;
        case Act::kKeepLink: printf("Keeping existing link [%s]\n", step.path); break;
        case Act::kKeepUnit: printf("Keeping existing unit [%s]\n", step.path); break;
        case Act::kKeepModifiedUnit: printf("Keeping modified unit [%s]\n", step.path); break;
        case Act::kKeepDisabledUnit: printf("Keeping disabled unit [%s]\n", step.path); break;
        default: break;
        }
    }
    DiscardFile(files[1]);  // a unit staged but not used, if any
    if (!durable) {
        bool wrote = plan.installing;
        printf(wrote ? "Wrote %d files and links for %s under %s\n"
                     : "Removed %d files and links of %s under %s\n",
               wrote ? made : removed, plan.name, plan.root);
        return allDone;
    }
    return syncs.SyncAll() && allDone;
}

bool IsInstalledUnder(const char* root, const char* name)
{
    char path[kPathSize];
    int error = 0;
    (void)snprintf(path, sizeof(path), "%s%s/%s", root, kInitDir, name);
    if (OwnerOf(path, name, false, error) == Owner::kOurs) {
        return true;
    }
    (void)snprintf(path, sizeof(path), "%s%s/%s.service", root, kUnitDir, name);
    Owner unit = OwnerOf(path, name, true, error);
    return unit == Owner::kOurs || unit == Owner::kModified;
}

}  // namespace serviceapp
