// The seam through which installation reaches the host's file system, so tests can inject faults.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_UNIX_SYSOPS_H
#define SERVICEAPP_UNIX_SYSOPS_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace serviceapp {

// The system and C library calls install and uninstall make, with the calls'
// own contracts (result and errno). Install and uninstall call only through
// g_sysOps.
struct SysOps {
    int (*Access)(const char* path, int mode);
    int (*Open)(const char* path, int flags, mode_t mode);
    int (*Mkostemp)(char* pattern, int flags);
    ssize_t (*Read)(int fd, void* buffer, size_t size);
    ssize_t (*Write)(int fd, const void* data, size_t size);
    int (*Fchmod)(int fd, mode_t mode);
    // fsync of each of count descriptors (files or directories), errors[i]
    // set to 0 or the errno (SyncEach).
    void (*Sync)(const int* fds, int* errors, size_t count);
    int (*Close)(int fd);
    int (*Rename)(const char* from, const char* to);
    int (*Symlink)(const char* target, const char* link);
    ssize_t (*Readlink)(const char* path, char* buffer, size_t size);
    int (*Unlink)(const char* path);
    int (*Mkdir)(const char* path, mode_t mode);
    int (*Chmod)(const char* path, mode_t mode);
    int (*Stat)(const char* path, struct stat* st);
    int (*Lstat)(const char* path, struct stat* st);
    char* (*Realpath)(const char* path, char* resolved);  // resolved holds PATH_MAX bytes
    int (*Scandir)(const char* dir, struct dirent*** list, int (*filter)(const struct dirent*),
                   int (*compare)(const struct dirent**, const struct dirent**));
};

// fsync of each descriptor in turn. Callers make every change first and
// sync after, so the first sync of a batch commits the journal for all of
// them. Starts no thread: the library never does.
void SyncEach(const int* fds, int* errors, size_t count);

// The real calls.
extern const SysOps kSystemOps;

// What install and uninstall use; a test may swap entries and put back
// kSystemOps afterwards. Not thread-safe, like everything else in them.
extern SysOps g_sysOps;

}  // namespace serviceapp

#endif
