// The file steps install and uninstall share: whole-file writes, link checks and directory syncs.
// SPDX-License-Identifier: MIT
#include "unix/InstallFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "unix/SysOps.h"

namespace serviceapp {

namespace {

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

// Copies the directory part of path (all before its last '/', "/" for a
// file in the root) into out.
bool DirectoryOf(const char* path, char* out, size_t size)
{
    const char* slash = strrchr(path, '/');
    size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
    if (slash == nullptr || length >= size) {
        return false;
    }
    if (length == 0) {
        length = 1;
    }
    memcpy(out, path, length);
    out[length] = '\0';
    return true;
}

}  // namespace

StageResult StageFile(const char* dir, const char* name, const char* text, size_t length, unsigned mode,
                      StagedFile& file)
{
    file = StagedFile();
    (void)snprintf(file.temporary, sizeof(file.temporary), "%s/.%s.XXXXXX", dir, name);
    file.fd = g_sysOps.Mkostemp(file.temporary, O_CLOEXEC);
    if (file.fd < 0) {
        file.error = errno;
        file.temporary[0] = '\0';
        return StageResult::kNotCreated;
    }
    if (!WriteAll(file.fd, text, length) || g_sysOps.Fchmod(file.fd, mode) != 0) {
        file.error = errno;
        DiscardFile(file);
        return StageResult::kNotWritten;
    }
    return StageResult::kStaged;
}

void SyncStaged(StagedFile* const* files, size_t count)
{
    constexpr size_t kMaxFiles = 4;
    int fds[kMaxFiles] = {};
    int errors[kMaxFiles] = {};
    StagedFile* pending[kMaxFiles];
    size_t n = 0;
    for (size_t i = 0; i < count && n < kMaxFiles; ++i) {
        if (files[i]->fd >= 0 && files[i]->error == 0 && !files[i]->synced) {
            pending[n] = files[i];
            fds[n++] = files[i]->fd;
        }
    }
    g_sysOps.Sync(fds, errors, n);
    for (size_t i = 0; i < n; ++i) {
        pending[i]->error = errors[i];
        pending[i]->synced = errors[i] == 0;
    }
}

bool CommitFile(StagedFile& file, const char* path)
{
    StagedFile* self = &file;
    SyncStaged(&self, 1);
    if (g_sysOps.Close(file.fd) != 0 && file.error == 0) {
        file.error = errno;
    }
    file.fd = -1;
    if (file.error == 0 && g_sysOps.Rename(file.temporary, path) != 0) {
        file.error = errno;
    }
    if (file.error != 0) {
        DiscardFile(file);
        return false;
    }
    file.temporary[0] = '\0';
    return true;
}

void DiscardFile(StagedFile& file)
{
    if (file.fd >= 0) {
        (void)g_sysOps.Close(file.fd);  // the file is being thrown away
        file.fd = -1;
    }
    if (file.temporary[0] != '\0') {
        // Best effort: the file it was meant to replace is untouched either way.
        (void)g_sysOps.Unlink(file.temporary);
        file.temporary[0] = '\0';
    }
}

void DirectorySyncs::Add(const char* path)
{
    char dir[kDirSize];
    if (!DirectoryOf(path, dir, sizeof(dir))) {
        return;
    }
    for (size_t i = 0; i < m_count; ++i) {
        if (strcmp(m_dirs[i], dir) == 0) {
            return;
        }
    }
    if (m_count < kMaxDirs) {
        memcpy(m_dirs[m_count++], dir, strlen(dir) + 1);
    }
}

bool DirectorySyncs::SyncAll()
{
    int fds[kMaxDirs] = {};
    int errors[kMaxDirs] = {};
    int dirFds[kMaxDirs] = {};
    size_t n = 0;
    for (size_t i = 0; i < m_count; ++i) {
        dirFds[i] = g_sysOps.Open(m_dirs[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        errors[i] = dirFds[i] < 0 ? errno : 0;
        if (dirFds[i] >= 0) {
            fds[n++] = dirFds[i];
        }
    }
    int synced[kMaxDirs] = {};
    g_sysOps.Sync(fds, synced, n);
    bool allSynced = true;
    for (size_t i = 0, j = 0; i < m_count; ++i) {
        if (dirFds[i] >= 0) {
            errors[i] = synced[j++];
            (void)g_sysOps.Close(dirFds[i]);  // read-only descriptor: its sync said all there is
        }
        if (errors[i] != 0) {
            printf("Failed to sync [%s]: %s\n", m_dirs[i], strerror(errors[i]));
            allSynced = false;
        }
    }
    m_count = 0;
    return allSynced;
}

bool LinkLeadsTo(const char* link, const char* realDir, const char* name, const char* root)
{
    char target[kPathSize];
    ssize_t n = g_sysOps.Readlink(link, target, sizeof(target));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(target)) {
        return false;
    }
    target[n] = '\0';
    char* slash = strrchr(target, '/');
    if (strcmp(slash == nullptr ? target : slash + 1, name) != 0) {
        return false;
    }
    char dir[3 * kPathSize + 2];
    const char* linkSlash = strrchr(link, '/');
    int linkDirLength = linkSlash == nullptr ? 0 : static_cast<int>(linkSlash - link);
    if (slash != nullptr) {
        slash[1] = '\0';  // keep the slash: "/NAME" names the root
    }
    if (slash != nullptr && target[0] == '/') {
        (void)snprintf(dir, sizeof(dir), "%s%s", root, target);
    } else {
        (void)snprintf(dir, sizeof(dir), "%.*s/%s", linkDirLength, link, slash == nullptr ? "" : target);
    }
    char real[PATH_MAX];
    return g_sysOps.Realpath(dir, real) != nullptr && strcmp(real, realDir) == 0;
}

}  // namespace serviceapp
