// The seam through which installation reaches the host's file system.
#include "unix/SysOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>  // rename

namespace serviceapp {

namespace {

// open is variadic, so it needs a fixed signature to be pointed at.
int OpenFile(const char* path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

ssize_t ReadDirectory(int fd, void* buffer, size_t size)
{
    return getdents64(fd, buffer, size);
}

}  // namespace

const SysOps kSystemOps = {
    access, OpenFile, write, fchmod, fsync, close, rename, symlink, readlink, unlink, ReadDirectory,
};

SysOps g_sysOps = kSystemOps;

}  // namespace serviceapp
