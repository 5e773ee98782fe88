// The systemd unit install writes beside the init script, and its enabling link.
// SPDX-License-Identifier: MIT
#include "unix/UnitFile.h"

#include <cstdio>
#include <cstring>

#include "unix/Reload.h"
#include "unix/UnitSettings.h"

namespace serviceapp {

namespace {

// The marker tells our unit from one the administrator wrote: install
// rewrites and uninstall removes only a unit whose first line is this
// (stamped with a checksum, see FillStampedUnit).
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

// " (checksum HHHHHHHHHHHHHHHH)": FNV-1a, 64 bits, of all after the marker line.
const char kStampFormat[] = " (checksum %016llx)";
constexpr size_t kStampLength = 28;

unsigned long long Checksum(const char* text, size_t length)
{
    unsigned long long hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
    }
    return hash;
}

}  // namespace

bool IsUnitName(const char* name)
{
    size_t length = strlen(name);
    return strchr(name, '+') == nullptr && length > 0 && name[length - 1] != '@';
}

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
        char directories[sizeof(kSandboxDirectories) + size_t{3} * 256];  // a name has 240 bytes at most
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

int FillStampedUnit(const char* name, const char* programPath, char* out, size_t size)
{
    // -1 after a refused setting too: install plans a refusal for that first.
    int length = FillUnitFile(name, programPath, out, size);
    const char* newline =
        length < 0 ? nullptr : static_cast<const char*>(memchr(out, '\n', static_cast<size_t>(length)));
    if (newline == nullptr || static_cast<size_t>(length) + kStampLength >= size) {
        return -1;
    }
    int marker = static_cast<int>(newline - out) + 1;
    // The stamp goes before the marker's newline.
    char* at = out + marker - 1;
    memmove(at + kStampLength, at, static_cast<size_t>(length - marker) + 2);
    const char* body = out + marker + kStampLength;
    (void)snprintf(at, kStampLength + 1, kStampFormat, Checksum(body, static_cast<size_t>(length - marker)));
    at[kStampLength] = '\n';
    return length + static_cast<int>(kStampLength);
}

UnitOwner ClassifyUnitText(const char* name, const char* text, size_t length)
{
    char marker[512];  // a 240-byte name and the text around it
    int markerLength = FormatUnitMarker(name, marker, sizeof(marker));
    size_t prefix = markerLength < 0 ? 0 : static_cast<size_t>(markerLength) - 1;  // without the newline
    if (markerLength < 0 || length < prefix + 1 || memcmp(text, marker, prefix) != 0) {
        return UnitOwner::kForeign;
    }
    if (text[prefix] == '\n') {
        return UnitOwner::kOurs;  // written before the stamp
    }
    char stamp[kStampLength + 1];
    size_t bodyAt = prefix + kStampLength + 1;
    if (length < bodyAt || text[bodyAt - 1] != '\n') {
        return UnitOwner::kForeign;
    }
    (void)snprintf(stamp, sizeof(stamp), kStampFormat, Checksum(text + bodyAt, length - bodyAt));
    return memcmp(text + prefix, stamp, kStampLength) == 0 ? UnitOwner::kOurs : UnitOwner::kModified;
}

}  // namespace serviceapp
