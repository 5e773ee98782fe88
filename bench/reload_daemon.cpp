// Baseline for reload: notify_daemon's loop that also reloads on SIGHUP, telling the service manager as the library does, by hand.
// SPDX-License-Identifier: MIT
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

volatile std::sig_atomic_t g_quit = 0;
volatile std::sig_atomic_t g_reload = 0;

void OnStop(int)
{
    g_quit = 1;
}

void OnReload(int)
{
    g_reload = 1;
}

void Notify(const char* state)
{
    const char* name = getenv("NOTIFY_SOCKET");
    size_t length = name != nullptr ? strlen(name) : 0;
    struct sockaddr_un address = {};
    if (length < 2 || length >= sizeof(address.sun_path) || (name[0] != '/' && name[0] != '@')) {
        return;
    }
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, name, length);
    address.sun_path[0] = name[0] == '@' ? '\0' : '/';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        (void)sendto(
            fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&address),
            static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + (name[0] == '/')));
        close(fd);
    }
}

}  // namespace

int main()
{
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnReload;
    sigaction(SIGHUP, &action, nullptr);
    Notify("READY=1");
    while (!g_quit) {
        if (g_reload) {
            g_reload = 0;
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            char reloading[64];
            snprintf(reloading, sizeof(reloading), "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=Reloading",
                     static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                         static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
            Notify(reloading);
            Notify("READY=1\nSTATUS=Running");
            continue;
        }
        struct timespec period = {15, 0};
        nanosleep(&period, nullptr);  // a caught signal cuts it short
    }
    return 0;
}
