// What the client adds to the unit install writes: settings per section, ExecStart= arguments, the sandbox profile.
// SPDX-License-Identifier: MIT
#include "unix/UnitSettings.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UnixServiceApp.h"
#include "unix/Spawn.h"

namespace {

// One service per process, set up before Main on the thread that calls it:
// plain statics, fixed in size. Settings are kept as records "S<line>\n",
// S the section's initial.
char g_settings[4096];
size_t g_settingsUsed = 0;
char g_arguments[2048];
size_t g_argumentsUsed = 0;
bool g_sandbox = false;
char g_refusal[768];  // the first refused call's message, "" when none
int g_systemdVersion = -1;

const char* const kSections[] = {"Unit", "Service", "Install"};

// Keys the lifecycle depends on, written by the library alone.
const char* const kOwnKeys[] = {"Type", "NotifyAccess", "ExecStart", "ExecReload"};

bool HasControl(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// Remembers the first refusal, with bytes that are not printable ASCII shown as '?'.
void Refuse(const char* format, const char* section, const char* text, const char* reason)
{
    if (g_refusal[0] != '\0') {
        return;
    }
    char shown[512];
    size_t i = 0;
    for (; text != nullptr && text[i] != '\0' && i + 1 < sizeof(shown); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        shown[i] = c < 0x20 || c >= 0x7f ? '?' : text[i];
    }
    shown[i] = '\0';
    if (section != nullptr) {
        (void)snprintf(g_refusal, sizeof(g_refusal), format, section, shown, reason);
    } else {
        (void)snprintf(g_refusal, sizeof(g_refusal), format, shown, reason);
    }
}

// Why setting cannot go into section, or null when it can.
const char* SettingFault(const char* section, const char* setting, char& initial)
{
    initial = '\0';
    for (const char* known : kSections) {
        if (strcmp(section, known) == 0) {
            initial = known[0];
        }
    }
    if (initial == '\0') {
        return "unknown section";
    }
    if (HasControl(setting)) {
        return "holds a line break or another control character";
    }
    size_t key = strspn(setting, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    if (key == 0 || setting[key] != '=') {
        return "not KEY=VALUE";
    }
    // systemd joins a line ending in a backslash with the next one.
    if (setting[strlen(setting) - 1] == '\\') {
        return "ends in a backslash";
    }
    for (const char* own : kOwnKeys) {
        if (initial == 'S' && strlen(own) == key && strncmp(setting, own, key) == 0) {
            return "written by the library";
        }
    }
    return nullptr;
}

}  // namespace

namespace serviceapp {

bool AppendText(char* out, size_t size, size_t& used, const char* text, size_t length)
{
    if (length >= size - used) {
        return false;
    }
    memcpy(out + used, text, length);
    used += length;
    return true;
}

bool AppendUnitSettings(const char* section, char* out, size_t size, size_t& used)
{
    for (size_t at = 0; at < g_settingsUsed;) {
        size_t end = at + strcspn(g_settings + at, "\n") + 1;
        if (g_settings[at] == section[0] && !AppendText(out, size, used, g_settings + at + 1, end - at - 1)) {
            return false;
        }
        at = end;
    }
    return true;
}

const char* ServiceArguments()
{
    return g_arguments;
}

bool SandboxProfile()
{
    return g_sandbox;
}

bool UnitSettingRefused()
{
    return g_refusal[0] != '\0';
}

bool CheckUnitSettings()
{
    if (g_refusal[0] == '\0') {
        return true;
    }
    printf("%s\n", g_refusal);
    return false;
}

int HostSystemdVersion()
{
    if (g_systemdVersion >= 0) {
        return g_systemdVersion;
    }
    // A package's tree ($SERVICEAPP_ROOT) goes to hosts not known now: 0
    // gives the unit the form every version takes.
    const char* root = getenv("SERVICEAPP_ROOT");
    if (root != nullptr && root[strspn(root, "/")] != '\0') {
        return 0;
    }
    const char* const argv[] = {SystemctlPath(), "--version", nullptr};
    char out[256];
    // "systemd 252 (252.39-1~deb12u2)"; anything else tells nothing.
    g_systemdVersion = 0;
    if (RunProgramForOutput(argv, out, sizeof(out)) == 0 && strncmp(out, "systemd ", 8) == 0) {
        const char* digits = out + 8;
        int version = 0;
        std::from_chars_result r =
            std::from_chars(digits, digits + strnlen(digits, sizeof(out) - 8), version);
        g_systemdVersion = r.ec == std::errc() ? version : 0;
    }
    return g_systemdVersion;
}

void ResetUnitSettings()
{
    g_settingsUsed = 0;
    g_settings[0] = '\0';
    g_argumentsUsed = 0;
    g_arguments[0] = '\0';
    g_sandbox = false;
    g_refusal[0] = '\0';
}

void SetHostSystemdVersion(int version)
{
    g_systemdVersion = version;
}

}  // namespace serviceapp

bool CUnixServiceApp::AddUnitSetting(const char* section, const char* setting)
{
    const char* const format = "Invalid unit setting [%s] [%s]: %s";
    char initial = '\0';
    const char* fault =
        section == nullptr || setting == nullptr ? "missing" : SettingFault(section, setting, initial);
    if (fault != nullptr) {
        Refuse(format, section != nullptr ? section : "", setting, fault);
        return false;
    }
    size_t used = g_settingsUsed;
    if (!serviceapp::AppendText(g_settings, sizeof(g_settings), used, &initial, 1) ||
        !serviceapp::AppendText(g_settings, sizeof(g_settings), used, setting, strlen(setting)) ||
        !serviceapp::AppendText(g_settings, sizeof(g_settings), used, "\n", 1)) {
        Refuse(format, section, setting, "too many settings");
        return false;
    }
    g_settings[used] = '\0';
    g_settingsUsed = used;
    return true;
}

bool CUnixServiceApp::AddServiceArgument(const char* argument)
{
    const char* const format = "Invalid service argument [%s]: %s";
    if (argument == nullptr || HasControl(argument)) {
        Refuse(format, nullptr, argument, argument == nullptr ? "missing" : "holds a control character");
        return false;
    }
    // Quoted, so blanks stay inside; \ and " escaped for the quotes, % and $
    // doubled so that systemd expands neither specifiers nor variables, and
    // bytes from 0x80 up as \xHH (a line that is not UTF-8 is ignored).
    size_t used = g_argumentsUsed;
    bool fits = serviceapp::AppendText(g_arguments, sizeof(g_arguments), used, " \"", 2);
    for (const char* p = argument; fits && *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char escaped[5] = {*p, '\0'};
        if (c == '\\' || c == '"') {
            escaped[0] = '\\';
            escaped[1] = *p;
        } else if (c == '%' || c == '$') {
            escaped[1] = *p;
        } else if (c >= 0x80) {
            (void)snprintf(escaped, sizeof(escaped), "\\x%02x", c);
        }
        fits = serviceapp::AppendText(g_arguments, sizeof(g_arguments), used, escaped, strlen(escaped));
    }
    if (!fits || !serviceapp::AppendText(g_arguments, sizeof(g_arguments), used, "\"", 1)) {
        Refuse(format, nullptr, argument, "too long");
        return false;
    }
    g_arguments[used] = '\0';
    g_argumentsUsed = used;
    return true;
}

void CUnixServiceApp::SetSandboxProfile(bool enabled)
{
    g_sandbox = enabled;
}
