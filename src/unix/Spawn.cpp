// Running a host tool from an argument vector, with no shell.
// SPDX-License-Identifier: MIT
#include "unix/Spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace serviceapp {

namespace {

// output: -1 inherits standard output and error; -2 sends both to
// /dev/null; a descriptor takes standard output, error going to /dev/null.
int Spawn(const char* const* argv, int output)
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
    posix_spawn_file_actions_t actions;
    bool haveActions = output != -1 && posix_spawn_file_actions_init(&actions) == 0;
    if (haveActions) {
        (void)posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        (void)posix_spawn_file_actions_adddup2(&actions, output >= 0 ? output : 2, 1);
    }
    pid_t pid = -1;
    // posix_spawn takes char* const[] for historical reasons; it writes nothing.
    int rc = posix_spawn(&pid, argv[0], haveActions ? &actions : nullptr, &attr,
                         const_cast<char* const*>(argv), environ);
    if (haveActions) {
        (void)posix_spawn_file_actions_destroy(&actions);
    }
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

}  // namespace

int RunProgram(const char* const* argv)
{
    return Spawn(argv, -1);
}

int RunProgramQuietly(const char* const* argv)
{
    return Spawn(argv, -2);
}

int RunProgramForOutput(const char* const* argv, char* out, size_t size)
{
    // A memory file rather than a pipe: the tool never blocks on a full pipe
    // while we wait for it.
    int fd = size > 0 ? memfd_create("serviceapp-output", MFD_CLOEXEC) : -1;
    if (fd < 0) {
        return -1;
    }
    int status = Spawn(argv, fd);
    ssize_t n = status >= 0 ? pread(fd, out, size - 1, 0) : -1;
    out[n > 0 ? n : 0] = '\0';
    (void)close(fd);  // a memory file has nothing to flush
    return status;
}

const char* SystemctlPath()
{
    return access("/usr/bin/systemctl", X_OK) == 0 ? "/usr/bin/systemctl" : "/bin/systemctl";
}

bool SystemdIsRunning()
{
    struct stat st = {};
    return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace serviceapp
