// The seam through which installation reaches the host's file system, so tests can inject faults.
#ifndef SERVICEAPP_UNIX_SYSOPS_H
#define SERVICEAPP_UNIX_SYSOPS_H

namespace serviceapp {

// Filled in with the system calls install and uninstall make (open, write,
// fsync, fchmod, rename, symlink, unlink, readlink, ...); tests swap entries.
struct SysOps;

}  // namespace serviceapp

#endif
