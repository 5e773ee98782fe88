// Readiness, stopping and watchdog messages to the service manager over the socket named by $NOTIFY_SOCKET.
// SPDX-License-Identifier: MIT
#include "unix/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace serviceapp {

unsigned long long ParseDecimal(const char* text)
{
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    unsigned long long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (~0ULL - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    return value;
}

namespace {

// The manager's address as taken from $NOTIFY_SOCKET; length 0: none. Written
// by a take, on the lifecycle's thread before any hook runs.
struct NotifyAddress {
    struct sockaddr_un address;
    socklen_t length;
    pid_t owner;  // the process that took it: a forked child does not speak for it
};
NotifyAddress g_notify = {};
std::atomic<bool> g_notifyTaken{false};

}  // namespace

void TakeNotifySocket()
{
    g_notifyTaken.store(true);
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr) {
        return;
    }
    NotifyAddress taken = {};
    taken.address.sun_family = AF_UNIX;
    taken.owner = getpid();
    size_t length = strlen(name);
    // A path needs its terminating NUL inside sun_path; an abstract name
    // (leading NUL instead of '@') is exactly its bytes, none added.
    bool path = name[0] == '/';
    if ((path || name[0] == '@') && length > 1 && length + (path ? 1 : 0) <= sizeof(taken.address.sun_path)) {
        memcpy(taken.address.sun_path, name, length);
        taken.address.sun_path[0] = path ? '/' : '\0';
        taken.length =
            static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + (path ? 1 : 0));
    }  // else a kind of address we do not speak: none
    g_notify = taken;
    (void)unsetenv("NOTIFY_SOCKET");  // fails only for a malformed name, which this is not
}

bool NotifyServiceManager(const char* state)
{
    if (!g_notifyTaken.load()) {
        TakeNotifySocket();
    }
    if (g_notify.length == 0 || g_notify.owner != getpid()) {
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // MSG_NOSIGNAL: a manager that went away gives an error here, not SIGPIPE.
    ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL,
                          reinterpret_cast<const struct sockaddr*>(&g_notify.address), g_notify.length);
    (void)close(fd);  // a datagram socket has nothing left to flush
    return sent == static_cast<ssize_t>(strlen(state));
}

unsigned long long WatchdogPeriodUs()
{
    const char* pid = getenv("WATCHDOG_PID");
    if (pid != nullptr && ParseDecimal(pid) != static_cast<unsigned long long>(getpid())) {
        return 0;  // the manager watches another process (a parent that started us)
    }
    return ParseDecimal(getenv("WATCHDOG_USEC"));
}

namespace {
bool g_startRefused = false;  // one service start per process, on one thread
}  // namespace

void SetStartRefused(bool refused)
{
    g_startRefused = refused;
}

bool StartRefused()
{
    return g_startRefused;
}

}  // namespace serviceapp
