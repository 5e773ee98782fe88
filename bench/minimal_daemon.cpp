// Baseline for stop latency and idle memory: a hand-written daemon that catches SIGTERM/SIGINT and sleeps in a loop.
// SPDX-License-Identifier: MIT
#include <csignal>
#include <ctime>

namespace {

volatile std::sig_atomic_t g_quit = 0;

void OnStop(int)
{
    g_quit = 1;
}

}  // namespace

int main()
{
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    while (!g_quit) {
        struct timespec period = {15, 0};
        nanosleep(&period, nullptr);  // a caught signal cuts it short
    }
    return 0;
}
