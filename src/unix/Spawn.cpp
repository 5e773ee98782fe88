// Running a host tool from an argument vector, with no shell.
// SPDX-License-Identifier: MIT
#include "unix/Spawn.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace serviceapp {

int RunProgram(const char* const* argv)
{
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        return -1;
    }
    // The service may run with signals blocked or caught; the tool must not
    // inherit either.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    (void)posix_spawnattr_setsigmask(&attr, &none);
    (void)posix_spawnattr_setsigdefault(&attr, &all);
    (void)posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    // posix_spawn takes char* const[] for historical reasons; it writes nothing.
    int rc = posix_spawn(&pid, argv[0], nullptr, &attr, const_cast<char* const*>(argv), environ);
    (void)posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SystemdIsRunning()
{
    struct stat st = {};
    return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace serviceapp
