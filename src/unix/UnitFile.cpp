// The systemd unit install writes beside the init script, and its enabling link.
// SPDX-License-Identifier: MIT
#include "unix/UnitFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "unix/Reload.h"
#include "unix/SysOps.h"
#include "unix/UnitSettings.h"

namespace serviceapp {

namespace {

const char kUnitDir[] = "/etc/systemd/system";
const char kWantsDir[] = "/etc/systemd/system/multi-user.target.wants";

// The marker tells our unit from one the administrator wrote: install
// rewrites and uninstall removes only a unit whose first line is this.
const char kMarkerFormat[] =
    "# Written by serviceapp for %s: -uninstall removes it; put local changes in a drop-in\n";

// Like the script: root, no watchdog (an administrator adds WatchdogSec=
// with a drop-in). A crash, kill -9, a watchdog kill or a failed start is
// restarted after a second (five times in ten seconds at most: systemd's
// start limit).
const char kUnitHead[] = "[Unit]\nDescription=";
const char kServiceHead[] = "\n[Service]\nType=";
const char kExecStart[] = "\nNotifyAccess=main\nExecStart=";
const char kRestart[] = "Restart=on-failure\nRestartSec=1\n";
const char kInstall[] = "\n[Install]\nWantedBy=multi-user.target\n";
// systemd 253 and later send SIGHUP themselves and wait for READY=1.
const int kNotifyReloadVersion = 253;
const char kReloadByKill[] = "ExecReload=/bin/kill -HUP $MAINPID\n";

// The sandbox profile: a user of its own, no capabilities, a read-only
// system with writable /var/lib/NAME, /run/NAME and /var/log/NAME (passed as
// $STATE_DIRECTORY, $RUNTIME_DIRECTORY, $LOGS_DIRECTORY), no view of homes,
// devices, other users, kernel or control groups, local and internet
// sockets only, and the system calls of an ordinary service.
const char kSandboxDirectories[] =
    "DynamicUser=yes\nStateDirectory=%s\nRuntimeDirectory=%s\nLogsDirectory=%s\n";
const char kSandbox[] =
    "UMask=0077\n"
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateUsers=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    "KeyringMode=private\n"
    "DevicePolicy=closed\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

// A service name systemd takes as a unit name of its own: '+' is not a unit
// name character, and a trailing '@' would make a template.
bool IsUnitName(const char* name)
{
    size_t length = strlen(name);
    return strchr(name, '+') == nullptr && length > 0 && name[length - 1] != '@';
}

// 1 when the regular file at path starts with the marker for name, 0 when
// not, -1 with errno when it cannot be read.
int CarriesMarker(const char* path, const char* name)
{
    char marker[kPathSize];
    char head[kPathSize];
    int length = FormatUnitMarker(name, marker, sizeof(marker));
    if (length < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // O_NONBLOCK: something swapped in for a FIFO is not waited on.
    int fd = g_sysOps.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    size_t used = 0;
    ssize_t n = 0;
    while (used < static_cast<size_t>(length) &&
           ((n = g_sysOps.Read(fd, head + used, static_cast<size_t>(length) - used)) > 0 ||
            (n < 0 && errno == EINTR))) {
        used += n > 0 ? static_cast<size_t>(n) : 0;
    }
    int error = errno;
    (void)g_sysOps.Close(fd);  // read-only descriptor: nothing to lose
    errno = error;
    return n < 0 ? -1 : used == static_cast<size_t>(length) && memcmp(head, marker, used) == 0;
}

}  // namespace

int FormatUnitMarker(const char* name, char* out, size_t size)
{
    int n = snprintf(out, size, kMarkerFormat, name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

int FillUnitFile(const char* name, const char* programPath, char* out, size_t size)
{
    if (name == nullptr || programPath == nullptr || out == nullptr) {
        return -1;
    }
    int marker = FormatUnitMarker(name, out, size);
    if (marker < 0) {
        return -1;
    }
    // A unit without a setting the client asked for is never written.
    if (UnitSettingRefused()) {
        return -1;
    }
    size_t used = static_cast<size_t>(marker);
    auto put = [&](const char* text) { return AppendText(out, size, used, text, strlen(text)); };
    bool reload = ReloadHandlerRegistered();
    bool notifyReload = reload && HostSystemdVersion() >= kNotifyReloadVersion;
    bool fits = put(kUnitHead) && put(name) && put("\n") && AppendUnitSettings("Unit", out, size, used) &&
                put(kServiceHead) && put(notifyReload ? "notify-reload" : "notify") && put(kExecStart);
    for (const char* p = programPath; fits && *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char escaped[5];
        if (c == '%') {
            fits = put("%%");
        } else if (c >= 0x80) {
            // systemd ignores a line that is not valid UTF-8; its C escapes
            // give back any byte.
            (void)snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            fits = put(escaped);
        } else {
            fits = AppendText(out, size, used, p, 1);
        }
    }
    fits = fits && put(ServiceArguments()) && put("\n") && (!reload || notifyReload || put(kReloadByKill)) &&
           put(kRestart);
    if (fits && SandboxProfile()) {
        char directories[sizeof(kSandboxDirectories) + 3 * kPathSize];
        (void)snprintf(directories, sizeof(directories), kSandboxDirectories, name, name, name);
        fits = put(directories) && put(kSandbox);
    }
    if (!fits || !AppendUnitSettings("Service", out, size, used) || !put(kInstall) ||
        !AppendUnitSettings("Install", out, size, used)) {
        return -1;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

void PrepareUnit(const char* name, const char* programPath, UnitStep& step)
{
    step = UnitStep();
    struct stat st;
    if (g_sysOps.Stat(kUnitDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        return;
    }
    step.handled = true;
    (void)snprintf(step.unit, sizeof(step.unit), "%s/%s.service", kUnitDir, name);
    (void)snprintf(step.wants, sizeof(step.wants), "%s/%s.service", kWantsDir, name);
    if (g_sysOps.Lstat(step.unit, &st) == 0) {
        // A symbolic link (a mask to /dev/null, a vendor unit linked in) or
        // anything else that is not our own file is the administrator's.
        int own = S_ISREG(st.st_mode) ? CarriesMarker(step.unit, name) : 0;
        step.keep = own == 0;
        step.error = own < 0 ? errno : 0;
    } else if (errno != ENOENT) {
        step.error = errno;
    }
    if (step.keep || step.error != 0) {
        return;
    }
    if (programPath == nullptr) {
        char realDir[PATH_MAX];
        char file[kPathSize];
        (void)snprintf(file, sizeof(file), "%s.service", name);
        step.linked =
            g_sysOps.Realpath(kUnitDir, realDir) != nullptr && LinkLeadsTo(step.wants, realDir, file);
        return;
    }
    if (!CheckUnitSettings()) {
        step.error = EINVAL;
        return;
    }
    char text[16384];
    int length = FillUnitFile(name, programPath, text, sizeof(text));
    if (!IsUnitName(name) || length < 0) {
        step.error = length < 0 ? ENAMETOOLONG : EINVAL;
        return;
    }
    if (StageFile(kUnitDir, name, text, static_cast<size_t>(length), 0644, step.file) !=
        StageResult::kStaged) {
        step.error = step.file.error;
    }
}

bool FinishUnitInstall(UnitStep& step, DirectorySyncs& syncs)
{
    if (step.keep) {
        printf("Keeping existing unit [%s]\n", step.unit);
        return true;
    }
    if (step.error == 0 && !CommitFile(step.file, step.unit)) {
        step.error = step.file.error;
    }
    if (step.error != 0) {
        printf("Failed to write unit file [%s], %d\n", step.unit, step.error);
        return false;
    }
    syncs.Add(step.unit);
    // As systemctl enable would make it; the mode is set again past the umask.
    if (g_sysOps.Mkdir(kWantsDir, 0755) == 0) {
        syncs.Add(kWantsDir);
        if (g_sysOps.Chmod(kWantsDir, 0755) != 0) {
            printf("Failed to create link [%s]: %s\n", step.wants, strerror(errno));
            return false;
        }
    } else if (errno != EEXIST) {
        printf("Failed to create link [%s]: %s\n", step.wants, strerror(errno));
        return false;
    }
    return MakeLink(step.unit, step.wants, syncs);
}

bool RemoveUnit(UnitStep& step, DirectorySyncs& syncs)
{
    if (!step.handled) {
        return true;
    }
    if (step.keep) {
        printf("Keeping existing unit [%s]\n", step.unit);
        return true;
    }
    printf("Removing %s\n", step.wants);
    bool removed = !step.linked || RemovePath(step.wants, syncs);
    printf("Removing %s\n", step.unit);
    if (step.error != 0) {
        printf("Failed to remove [%s]: %s\n", step.unit, strerror(step.error));
        return false;
    }
    return RemovePath(step.unit, syncs) && removed;
}

}  // namespace serviceapp
