// CUnixServiceApp: writing and removing the init script and its run-level links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "UnixServiceApp.h"
#include "unix/InitScripts.h"
#include "unix/InstallChecks.h"
#include "unix/SysOps.h"

using serviceapp::g_sysOps;

namespace {

constexpr size_t kPathSize = 1024;

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

// Resolves target (a link's content) against the link's directory into out,
// dropping ".", ".." and repeated slashes by name alone: the links we made
// and the relative ones init tools write both name /etc/init.d/NAME that way.
bool ResolveLinkTarget(const char* dir, const char* target, char* out, size_t size)
{
    char joined[2 * kPathSize];
    int n = target[0] == '/' ? snprintf(joined, sizeof(joined), "%s", target)
                             : snprintf(joined, sizeof(joined), "%s/%s", dir, target);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(joined)) {
        return false;
    }
    size_t used = 0;
    const char* p = joined;
    while (*p != '\0') {
        while (*p == '/') {
            ++p;
        }
        const char* start = p;
        while (*p != '\0' && *p != '/') {
            ++p;
        }
        size_t length = static_cast<size_t>(p - start);
        if (length == 0 || (length == 1 && start[0] == '.')) {
            continue;
        }
        if (length == 2 && start[0] == '.' && start[1] == '.') {
            while (used > 0 && out[used - 1] != '/') {
                --used;
            }
            if (used > 0) {
                --used;
            }
            continue;
        }
        if (used + 1 + length >= size) {
            return false;
        }
        out[used++] = '/';
        memcpy(out + used, start, length);
        used += length;
    }
    if (used == 0) {
        out[used++] = '/';
    }
    out[used] = '\0';
    return true;
}

// Whether the symlink at dir/name points at script.
bool LinkPointsAt(const char* dir, const char* linkPath, const char* script)
{
    char target[kPathSize];
    ssize_t n = g_sysOps.Readlink(linkPath, target, sizeof(target));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(target)) {
        return false;
    }
    target[n] = '\0';
    char resolved[kPathSize];
    return ResolveLinkTarget(dir, target, resolved, sizeof(resolved)) && strcmp(resolved, script) == 0;
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

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = g_sysOps.Write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Opens a new hidden file beside the script (init tools skip dot files).
// Concurrent installs of the same service each get their own file.
int CreateTemporary(const char* name, char* path, size_t size)
{
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761UL ^
                         static_cast<unsigned long>(now.tv_nsec) ^
                         (static_cast<unsigned long>(now.tv_sec) << 20);
    int fd = -1;
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
        unsigned long tag = (seed + attempt * 0x9E3779B9UL) & 0xffffffffUL;
        (void)snprintf(path, size, "%s/.%s.%08lx", kInitDir, name, tag);
        fd = g_sysOps.Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    return fd;
}

// Writes the script whole or not at all: a synced temporary file, given its
// mode, renamed over whatever was at the script path (a symlink there is
// replaced, never followed). On failure the temporary file is removed and
// errno says why.
bool WriteScript(const char* name, const char* script, const char* text, size_t length)
{
    char temporary[kPathSize];
    int fd = CreateTemporary(name, temporary, sizeof(temporary));
    if (fd < 0) {
        printf("Failed to create init script [%s], %d\n", script, errno);
        return false;
    }
    bool written = WriteAll(fd, text, length) && g_sysOps.Fchmod(fd, 0755) == 0 && g_sysOps.Fsync(fd) == 0;
    int error = errno;
    if (g_sysOps.Close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && g_sysOps.Rename(temporary, script) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        // Best effort: the script itself is untouched either way.
        (void)g_sysOps.Unlink(temporary);
        printf("Failed to write init script [%s], %d\n", script, error);
    }
    return written;
}

// Removes path; one that is already gone is not an error.
bool RemovePath(const char* path)
{
    if (g_sysOps.Unlink(path) == 0 || errno == ENOENT || errno == ENOTDIR) {
        return true;
    }
    printf("Failed to remove [%s]: %s\n", path, strerror(errno));
    return false;
}

// Whether entry is S or K, two digits, then exactly name.
bool IsRenumberedLinkName(const char* entry, const char* name)
{
    return (entry[0] == 'S' || entry[0] == 'K') && entry[1] >= '0' && entry[1] <= '9' && entry[2] >= '0' &&
           entry[2] <= '9' && strcmp(entry + 3, name) == 0;
}

// Finds the smallest entry of dir that looks like a renumbered link of name,
// sorts after `after`, and is not `skip`. False when there is none.
bool NextRenumberedLink(const char* dir, const char* name, const char* after, const char* skip, char* out,
                        size_t size)
{
    int fd = g_sysOps.Open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool found = false;
    alignas(8) char buffer[4096];
    ssize_t n;
    while ((n = g_sysOps.Getdents(fd, buffer, sizeof(buffer))) > 0) {
        for (ssize_t offset = 0; offset < n;) {
            const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            const char* entryName = entry->d_name;
            if (!IsRenumberedLinkName(entryName, name) || strcmp(entryName, after) <= 0 ||
                strcmp(entryName, skip) == 0 || (found && strcmp(entryName, out) >= 0) ||
                strlen(entryName) >= size) {
                continue;
            }
            memcpy(out, entryName, strlen(entryName) + 1);
            found = true;
        }
    }
    (void)g_sysOps.Close(fd);  // read-only descriptor: nothing to lose
    return found;
}

// What install and uninstall check first: the name, before anything else is
// printed, then the distribution.
bool CheckNameAndDistribution(const char* name, size_t size, eLinuxDistribution& distribution)
{
    if (!CheckServiceName(name, size)) {
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
    if (!CheckNameAndDistribution(m_serviceName, sizeof(m_serviceName), distribution)) {
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
    if (length < 0) {
        printf("Failed to create init script [%s], %d\n", script, ENAMETOOLONG);
        return false;
    }
    if (!WriteScript(m_serviceName, script, text, static_cast<size_t>(length))) {
        return false;
    }

    bool allLinked = true;
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        char link[kPathSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        (void)snprintf(link, sizeof(link), "%s/%c%d%s", dir, LinkLetter(distribution, level), m_rcSequence,
                       m_serviceName);
        if (g_sysOps.Symlink(script, link) == 0) {
            continue;
        }
        int error = errno;
        // A reinstall finds its own links in place.
        if (error == EEXIST && LinkPointsAt(dir, link, script)) {
            continue;
        }
        printf("Failed to create link [%s]: %s\n", link, strerror(error));
        allLinked = false;
    }
    return allLinked;
}

bool CUnixServiceApp::UninstallService()
{
    eLinuxDistribution distribution = eDistUnknown;
    if (!CheckNameAndDistribution(m_serviceName, sizeof(m_serviceName), distribution)) {
        return false;
    }
    char script[kPathSize];
    (void)snprintf(script, sizeof(script), "%s/%s", kInitDir, m_serviceName);
    bool removed = RemovePath(script);

    char fixedNames[7][kPathSize / 2];
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        char link[kPathSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        (void)snprintf(fixedNames[level], sizeof(fixedNames[level]), "%c%d%s",
                       LinkLetter(distribution, level), m_rcSequence, m_serviceName);
        (void)snprintf(link, sizeof(link), "%s/%s", dir, fixedNames[level]);
        printf("Removing %s\n", link);
        removed = RemovePath(link) && removed;
    }

    // Links that init tools renumbered: same name, pointing at our script.
    // Directories come in level order and entries in name order, which is
    // sorted path order.
    for (int level = 0; level <= 6; ++level) {
        char dir[kDirSize];
        FormatRunLevelDir(dir, sizeof(dir), distribution, level);
        char entry[kPathSize / 2] = "";
        char next[kPathSize / 2];
        while (NextRenumberedLink(dir, m_serviceName, entry, fixedNames[level], next, sizeof(next))) {
            memcpy(entry, next, sizeof(entry));
            char link[kPathSize];
            (void)snprintf(link, sizeof(link), "%s/%s", dir, entry);
            if (LinkPointsAt(dir, link, script)) {
                printf("Removing %s\n", link);
                removed = RemovePath(link) && removed;
            }
        }
    }
    return removed;
}
