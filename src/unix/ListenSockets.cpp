// serviceapp::TakeListenSockets: the sockets a service manager passed at start, taken once and hidden from children.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ServiceRuntime.h"
#include "unix/Notify.h"

namespace serviceapp {

namespace {

constexpr int kFirstFd = 3;  // SD_LISTEN_FDS_START: after standard input, output and error

// The sockets, or -1 with errno EBADF; the environment is left to the caller.
int Take(ListenSocket* sockets, int capacity)
{
    unsigned long long count = ParseDecimal(getenv("LISTEN_FDS"));
    if (ParseDecimal(getenv("LISTEN_PID")) != static_cast<unsigned long long>(getpid()) || count > 65536) {
        return 0;  // passed to a parent that started us, or nothing we can read
    }
    int passed = static_cast<int>(count);
    for (int i = 0; i < passed; ++i) {
        int flags = fcntl(kFirstFd + i, F_GETFD);
        if (flags < 0 || fcntl(kFirstFd + i, F_SETFD, flags | FD_CLOEXEC) < 0) {
            return -1;  // EBADF: the variables promise more than was passed
        }
    }
    const char* names = getenv("LISTEN_FDNAMES");
    for (int i = 0; i < passed && i < capacity; ++i) {
        ListenSocket& entry = sockets[i];
        entry.fd = kFirstFd + i;
        size_t length = names != nullptr ? strcspn(names, ":") : 0;
        const char* name = length > 0 ? names : "unknown";
        size_t kept = length > 0 ? length : strlen(name);
        kept = kept < sizeof(entry.name) ? kept : sizeof(entry.name) - 1;
        memcpy(entry.name, name, kept);
        entry.name[kept] = '\0';
        names = names != nullptr && names[length] == ':' ? names + length + 1 : nullptr;
    }
    return passed;
}

}  // namespace

int TakeListenSockets(ListenSocket* sockets, int capacity)
{
    int passed = Take(sockets, capacity);
    int savedErrno = errno;
    // Whoever they were for, no process this service starts may take them.
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) {
        (void)unsetenv(name);  // fails only for a malformed name
    }
    errno = savedErrno;
    return passed;
}

}  // namespace serviceapp
