// Readiness, stopping and watchdog messages to the service manager over the socket named by $NOTIFY_SOCKET.
// SPDX-License-Identifier: MIT
#include "unix/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace serviceapp {

namespace {

// A decimal number of digits only, without sign, blanks or overflow; 0 for
// anything else (0 itself means "none" to every caller).
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

}  // namespace

bool NotifyServiceManager(const char* state)
{
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@') || name[1] == '\0') {
        return false;  // unset, or a kind of address we do not speak
    }
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    // A path needs its terminating NUL inside sun_path; an abstract name
    // (leading NUL instead of '@') is exactly its bytes, none added.
    if (length + (name[0] == '/' ? 1 : 0) > sizeof(address.sun_path)) {
        return false;
    }
    memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    socklen_t addressLength =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // MSG_NOSIGNAL: a manager that went away gives an error here, not SIGPIPE.
    ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL,
                          reinterpret_cast<const struct sockaddr*>(&address), addressLength);
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
