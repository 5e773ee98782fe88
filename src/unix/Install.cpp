// CUnixServiceApp: writing and removing the init script, its run-level links and the systemd unit.
// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UnixServiceApp.h"
#include "unix/InitScripts.h"
#include "unix/InstallChecks.h"
#include "unix/InstallFiles.h"
#include "unix/SysOps.h"
#include "unix/UnitFile.h"

using serviceapp::CommitFile;
using serviceapp::DirectorySyncs;
using serviceapp::DiscardFile;
using serviceapp::FinishUnitInstall;
using serviceapp::g_sysOps;
using serviceapp::kPathSize;
using serviceapp::LinkLeadsTo;
using serviceapp::MakeLink;
using serviceapp::PrepareUnit;
using serviceapp::RemovePath;
using serviceapp::RemoveUnit;
using serviceapp::StagedFile;
using serviceapp::StageFile;
using serviceapp::StageResult;
using serviceapp::SyncStaged;
using serviceapp::UnitStep;

namespace {

// "/etc/rc.d/rcN.d" and "/etc/rcN.d".
constexpr size_t kDirSize = 32;

// Large enough for the longest template filled with a 240-byte name four
// times and a 1022-byte program path.
constexpr size_t kScriptSize = 8192;

const char kInitDir[] = "/etc/init.d";

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

void FormatRunLevelDir(char* out, size_t size, eLinuxDistribution distribution, int level)
{
    (void)snprintf(out, size, IsDebianFamily(distribution) ? "/etc/rc%d.d" : "/etc/rc.d/rc%d.d", level);
}

// DIR/S55NAME: the letter, the sequence in two digits, the service name.
void FormatLinkPath(char* out, size_t size, const char* dir, char letter, int sequence, const char* name)
{
    (void)snprintf(out, size, "%s/%c%02d%s", dir, letter, sequence, name);
}

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

// Links that init tools renumbered look like S or K, two digits, then the
// name; the name itself is compared by the caller.
int IsLinkShaped(const struct dirent* entry)
{
    const char* name = entry->d_name;
    return (name[0] == 'S' || name[0] == 'K') && name[1] >= '0' && name[1] <= '9' && name[2] >= '0' &&
           name[2] <= '9' && name[3] != '\0';
}

// One bit for each of the 200 link names S00NAME..S99NAME, K00NAME..K99NAME
// of a directory; bit order is the names' sorted order (K before S).
using LinkSet = unsigned char[25];

int LinkIndex(char letter, int sequence)
{
    return (letter == 'S' ? 100 : 0) + sequence;
}

// Marks in found the links of dir, other than the one numbered skip, that
// lead to NAME in realInitDir. A directory that is missing, or a file in its
// place, has none; any other failure prints "Failed to read [DIR]: REASON".
bool FindRenumberedLinks(const char* dir, const char* name, int skip, const char* realInitDir, LinkSet& found)
{
    struct dirent** entries = nullptr;
    int count = g_sysOps.Scandir(dir, &entries, IsLinkShaped, nullptr);
    if (count < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true;
        }
        printf("Failed to read [%s]: %s\n", dir, strerror(errno));
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const char* entry = entries[i]->d_name;
        int index = LinkIndex(entry[0], (entry[1] - '0') * 10 + (entry[2] - '0'));
        char link[kPathSize];
        (void)snprintf(link, sizeof(link), "%s/%s", dir, entry);
        if (index != skip && strcmp(entry + 3, name) == 0 && LinkLeadsTo(link, realInitDir, name)) {
            found[index / 8] = static_cast<unsigned char>(found[index / 8] | (1U << (index % 8)));
        }
        free(entries[i]);  // scandir's own allocations
    }
    free(entries);
    return true;
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

}  // namespace

bool CUnixServiceApp::InstallService()
{
    eLinuxDistribution distribution = eDistUnknown;
    if (!CheckFirst(m_serviceName, sizeof(m_serviceName), m_rcSequence, distribution)) {
        return false;
    }
    if (g_sysOps.Access(kInitDir, F_OK) != 0) {
        puts("Could not find /etc/init.d, install is not supported on this distribution");
        return false;
    }
    if (g_sysOps.Access(kInitDir, W_OK) != 0) {
        puts("cannot write to /etc/init.d, please install as root");
        return false;
    }
    char programPath[kPathSize + 1];
    if (!ResolveProgramPath(m_programPath, programPath, sizeof(programPath))) {
        PrintBracketed("Invalid program path ", programPath, sizeof(programPath));
        return false;
    }
    printf("Installing Service %s\n", m_serviceName);

    // Chosen before any file is touched, so that a distribution without a
    // template leaves an existing script alone.
    if (serviceapp::InitScriptTemplate(distribution) == nullptr) {
        puts("unknown init script.");
        return false;
    }
    char script[kPathSize];
    (void)snprintf(script, sizeof(script), "%s/%s", kInitDir, m_serviceName);
    char text[kScriptSize];
    int length = serviceapp::FillInitScript(distribution, m_serviceName, programPath, text, sizeof(text));
    StagedFile staged;
    StageResult stage =
        length < 0 ? StageResult::kNotCreated
                   : StageFile(kInitDir, m_serviceName, text, static_cast<size_t>(length), 0755, staged);
    if (stage != StageResult::kStaged) {
        printf("Failed to %s init script [%s], %d\n", stage == StageResult::kNotCreated ? "create" : "write",
               script, length < 0 ? ENAMETOOLONG : staged.error);
        return false;
    }
    // The unit is staged too before either is synced: both files' data then
    // reach the disk in one journal commit, and all the names in one more.
    UnitStep unit;
    PrepareUnit(m_serviceName, programPath, unit);
    StagedFile* const files[] = {&staged, &unit.file};
    SyncStaged(files, 2);
    DirectorySyncs syncs;
    if (!CommitFile(staged, script)) {
        printf("Failed to write init script [%s], %d\n", script, staged.error);
        DiscardFile(unit.file);
        return false;
    }
    syncs.Add(script);

    bool allDone = true;
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        char link[kPathSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        FormatLinkPath(link, sizeof(link), dir, LinkLetter(distribution, level), m_rcSequence, m_serviceName);
        allDone = MakeLink(script, link, syncs) && allDone;
    }
    if (unit.handled) {
        allDone = FinishUnitInstall(unit, syncs) && allDone;
    }
    return syncs.SyncAll() && allDone;
}

bool CUnixServiceApp::UninstallService()
{
    eLinuxDistribution distribution = eDistUnknown;
    if (!CheckFirst(m_serviceName, sizeof(m_serviceName), m_rcSequence, distribution)) {
        return false;
    }
    char script[kPathSize];
    (void)snprintf(script, sizeof(script), "%s/%s", kInitDir, m_serviceName);

    // Everything uninstall needs to know is resolved before anything is
    // removed: where /etc/init.d really is (the script may be gone), which
    // renumbered links lead to the script, and whose the unit is.
    char realInitDir[PATH_MAX];
    if (g_sysOps.Realpath(kInitDir, realInitDir) == nullptr) {
        realInitDir[0] = '\0';  // then no link can lead into it
    }
    bool removed = true;
    LinkSet renumbered[7] = {};
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        int fixed = LinkIndex(LinkLetter(distribution, level), m_rcSequence);
        removed = FindRenumberedLinks(dir, m_serviceName, fixed, realInitDir, renumbered[level]) && removed;
    }
    UnitStep unit;
    PrepareUnit(m_serviceName, nullptr, unit);

    // The links go before the script, so that no interruption leaves a link
    // to a missing script (a journaling file system keeps that order across
    // a power cut too), and everything is synced once all is removed.
    DirectorySyncs syncs;
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        char link[kPathSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        FormatLinkPath(link, sizeof(link), dir, LinkLetter(distribution, level), m_rcSequence, m_serviceName);
        printf("Removing %s\n", link);
        removed = RemovePath(link, syncs) && removed;
    }
    // Directories come in level order and links in name order, which is
    // sorted path order.
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        for (int index = 0; index < 200; ++index) {
            if ((renumbered[level][index / 8] & (1U << (index % 8))) == 0) {
                continue;
            }
            char link[kPathSize];
            FormatLinkPath(link, sizeof(link), dir, index < 100 ? 'K' : 'S', index % 100, m_serviceName);
            printf("Removing %s\n", link);
            removed = RemovePath(link, syncs) && removed;
        }
    }
    removed = RemovePath(script, syncs) && removed;
    removed = RemoveUnit(unit, syncs) && removed;
    return syncs.SyncAll() && removed;
}
