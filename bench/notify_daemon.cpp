// Baseline for readiness: the minimal daemon that also tells the service manager it is ready, by hand.
// SPDX-License-Identifier: MIT
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

volatile std::sig_atomic_t g_quit = 0;

void OnStop(int)
{
    g_quit = 1;
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
    Notify("READY=1");
    while (!g_quit) {
        struct timespec period = {15, 0};
        nanosleep(&period, nullptr);  // a caught signal cuts it short
    }
    return 0;
}
