// CUnixServiceApp: install and uninstall check their request, then plan and apply the changes.
// SPDX-License-Identifier: MIT
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UnixServiceApp.h"
#include "unix/InstallChecks.h"
#include "unix/InstallFiles.h"
#include "unix/InstallPlan.h"
#include "unix/SysOps.h"

using serviceapp::g_sysOps;
using serviceapp::kPathSize;

namespace {

const char kInitDir[] = "/etc/init.d";

// Prints "prefix[VALUE]" as one line, with every byte of value that is not
// printable ASCII shown as '?', so hostile input cannot break the line.
void PrintBracketed(const char* prefix, const char* value, size_t maxLength)
{
    char line[kPathSize + 64];
    size_t used = static_cast<size_t>(snprintf(line, sizeof(line), "%s[", prefix));
    for (size_t i = 0; i < maxLength && value[i] != '\0' && used < sizeof(line) - 3; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        line[used++] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    line[used++] = ']';
    line[used++] = '\n';
    line[used] = '\0';
    (void)fputs(line, stdout);
}

bool CheckServiceName(const char* field, size_t size)
{
    if (serviceapp::IsValidServiceName(field, size)) {
        return true;
    }
    PrintBracketed("Invalid service name ", field, size);
    return false;
}

// The program path the script will start: argv[0] when it is absolute, else
// the running executable, since a relative path means nothing at boot.
bool ResolveProgramPath(const char* argv0, char* out, size_t size)
{
    // A field without its NUL was cut or written directly: refuse it as it is.
    size_t length = strnlen(argv0, kPathSize);
    if (length == kPathSize || argv0[0] == '/') {
        memcpy(out, argv0, length);
        out[length] = '\0';
        return length < kPathSize && serviceapp::IsSafeProgramPath(out);
    }
    ssize_t n = g_sysOps.Readlink("/proc/self/exe", out, size - 1);
    if (n <= 0) {
        // Nothing better to show than what we were given.
        memcpy(out, argv0, length + 1);
        return false;
    }
    out[n] = '\0';
    return out[0] == '/' && serviceapp::IsSafeProgramPath(out);
}

// What install and uninstall check first, before anything else is printed:
// the name and the sequence; then the distribution.
bool CheckFirst(const char* name, size_t size, int sequence, eLinuxDistribution& distribution)
{
    if (!CheckServiceName(name, size)) {
        return false;
    }
    // Init tools order links by their two digits; anything else sorts wrong.
    if (sequence < 0 || sequence > 99) {
        printf("Invalid run-level sequence [%d]\n", sequence);
        return false;
    }
    if (!CUnixServiceApp::DetectLinuxDistribution(distribution)) {
        puts("Unrecognized linux distribution");
        return false;
    }
    return true;
}

// The one plan of this process: large, so not on the stack, and made only
// when install or uninstall runs.
serviceapp::Plan& ThePlan()
{
    static serviceapp::Plan plan{};
    return plan;
}

// $SERVICEAPP_ROOT, when set to a directory other than "/": install and
// uninstall then work under it, for a package being built. Its trailing
// slashes go; "" is the live system.
const char* PackageRoot()
{
    static char root[kPathSize];
    const char* value = getenv("SERVICEAPP_ROOT");
    size_t length = value == nullptr ? 0 : strnlen(value, sizeof(root));
    while (length > 0 && value[length - 1] == '/') {
        --length;
    }
    if (length >= sizeof(root) - 64) {
        length = 0;  // no room for the paths under it: refused below as unwritable
    }
    memcpy(root, value == nullptr ? "" : value, length);
    root[length] = '\0';
    return root;
}

// Under a package root, the program path as on the target: the root's
// real path taken off the front.
void StripRoot(const char* root, char* path)
{
    char real[PATH_MAX];
    size_t length = 0;
    if (root[0] != '\0' && g_sysOps.Realpath(root, real) != nullptr && (length = strlen(real)) > 1 &&
        strncmp(path, real, length) == 0 && path[length] == '/') {
        memmove(path, path + length, strlen(path + length) + 1);
    }
}

// Install and uninstall refuse early where they could not write the
// scripts' directory, or the package root.
bool CheckWritable(const char* root, const char* action)
{
    if (root[0] != '\0') {
        struct stat st;
        if (g_sysOps.Stat(root, &st) != 0 || !S_ISDIR(st.st_mode) || g_sysOps.Access(root, W_OK) != 0) {
            PrintBracketed("cannot write to the package root ", root, kPathSize);
            return false;
        }
        return true;
    }
    if (g_sysOps.Access(kInitDir, W_OK) != 0 && errno != ENOENT) {
        printf("cannot write to /etc/init.d, please %s as root\n", action);
        return false;
    }
    return true;
}

}  // namespace

bool CUnixServiceApp::InstallService()
{
    eLinuxDistribution distribution = eDistUnknown;
    const char* root = PackageRoot();
    if (!CheckFirst(m_serviceName, sizeof(m_serviceName), m_rcSequence, distribution)) {
        return false;
    }
    if (root[0] == '\0' && g_sysOps.Access(kInitDir, F_OK) != 0) {
        puts("Could not find /etc/init.d, install is not supported on this distribution");
        return false;
    }
    if (!CheckWritable(root, "install")) {
        return false;
    }
    char programPath[kPathSize + 1];
    bool resolved = ResolveProgramPath(m_programPath, programPath, sizeof(programPath));
    StripRoot(root, programPath);
    if (!resolved || !serviceapp::IsSafeProgramPath(programPath)) {
        PrintBracketed("Invalid program path ", programPath, sizeof(programPath));
        return false;
    }
    if (root[0] == '\0') {
        printf("Installing Service %s\n", m_serviceName);
    }
    serviceapp::Plan& plan = ThePlan();
    serviceapp::PlanInstall({root, m_serviceName, programPath, distribution, m_rcSequence}, plan);
    return serviceapp::ExecutePlan(plan);
}

bool CUnixServiceApp::UninstallService()
{
    eLinuxDistribution distribution = eDistUnknown;
    const char* root = PackageRoot();
    if (!CheckFirst(m_serviceName, sizeof(m_serviceName), m_rcSequence, distribution) ||
        !CheckWritable(root, "uninstall")) {
        return false;
    }
    serviceapp::Plan& plan = ThePlan();
    serviceapp::PlanUninstall({root, m_serviceName, nullptr, distribution, m_rcSequence}, plan);
    return serviceapp::ExecutePlan(plan);
}
