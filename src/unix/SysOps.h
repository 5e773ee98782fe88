// The seam through which installation reaches the host's file system, so tests can inject faults.
#ifndef SERVICEAPP_UNIX_SYSOPS_H
#define SERVICEAPP_UNIX_SYSOPS_H

#include <sys/types.h>

#include <cstddef>

namespace serviceapp {

// The system calls install and uninstall make, with the calls' own contracts
// (result and errno). Install and uninstall call only through g_sysOps.
struct SysOps {
    int (*Access)(const char* path, int mode);
    int (*Open)(const char* path, int flags, mode_t mode);
    ssize_t (*Write)(int fd, const void* data, size_t size);
    int (*Fchmod)(int fd, mode_t mode);
    int (*Fsync)(int fd);
    int (*Close)(int fd);
    int (*Rename)(const char* from, const char* to);
    int (*Symlink)(const char* target, const char* link);
    ssize_t (*Readlink)(const char* path, char* buffer, size_t size);
    int (*Unlink)(const char* path);
    ssize_t (*Getdents)(int fd, void* buffer, size_t size);  // getdents64
};

// The real system calls.
extern const SysOps kSystemOps;

// What install and uninstall use; a test may swap entries and put back
// kSystemOps afterwards. Not thread-safe, like everything else in them.
extern SysOps g_sysOps;

}  // namespace serviceapp

#endif
