// The seam through which installation reaches the host's file system.
// SPDX-License-Identifier: MIT
#include "unix/SysOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // rename
#include <cstdlib>

namespace serviceapp {

namespace {

// open is variadic, so it needs a fixed signature to be pointed at.
int OpenFile(const char* path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

}  // namespace

void SyncEach(const int* fds, int* errors, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        errors[i] = fsync(fds[i]) == 0 ? 0 : errno;
    }
}

const SysOps kSystemOps = {
    access,  OpenFile, mkostemp, read,  write, fchmod, SyncEach, close,    rename,
    symlink, readlink, unlink,   mkdir, chmod, stat,   lstat,    realpath, scandir,
};

SysOps g_sysOps = kSystemOps;

}  // namespace serviceapp
