// The seam through which installation reaches the host's file system.
#include "unix/SysOps.h"

#include <fcntl.h>
#include <pthread.h>
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

struct SyncJob {
    int fd;
    int error;
};

void* SyncJobThread(void* argument)
{
    SyncJob* job = static_cast<SyncJob*>(argument);
    job->error = fsync(job->fd) == 0 ? 0 : errno;
    return nullptr;
}

constexpr size_t kMaxTogether = 16;

// SyncTogether for at most kMaxTogether descriptors.
void SyncGroup(const int* fds, int* errors, size_t count)
{
    SyncJob jobs[kMaxTogether];
    pthread_t threads[kMaxTogether];
    bool started[kMaxTogether] = {};
    pthread_attr_t attributes;
    bool small = pthread_attr_init(&attributes) == 0;
    // An fsync needs little stack; small stacks start faster.
    if (small && pthread_attr_setstacksize(&attributes, size_t{64} * 1024) != 0) {
        (void)pthread_attr_destroy(&attributes);  // cannot fail on Linux
        small = false;
    }
    for (size_t i = 0; i < count; ++i) {
        jobs[i] = {fds[i], 0};
        started[i] =
            i > 0 && pthread_create(&threads[i], small ? &attributes : nullptr, SyncJobThread, &jobs[i]) == 0;
    }
    for (size_t i = 0; i < count; ++i) {
        if (started[i]) {
            (void)pthread_join(threads[i], nullptr);  // a thread we started: cannot fail
        } else {
            (void)SyncJobThread(&jobs[i]);
        }
        errors[i] = jobs[i].error;
    }
    if (small) {
        (void)pthread_attr_destroy(&attributes);  // cannot fail on Linux
    }
}

}  // namespace

void SyncTogether(const int* fds, int* errors, size_t count)
{
    for (size_t first = 0; first < count; first += kMaxTogether) {
        SyncGroup(fds + first, errors + first, count - first < kMaxTogether ? count - first : kMaxTogether);
    }
}

const SysOps kSystemOps = {
    access,  OpenFile, mkostemp, read,  write, fchmod, SyncTogether, close,    rename,
    symlink, readlink, unlink,   mkdir, chmod, stat,   lstat,        realpath, scandir,
};

SysOps g_sysOps = kSystemOps;

}  // namespace serviceapp
