// A service for the init-script and systemd tests: appends each lifecycle hook it runs to the file $SERVICEAPP_TEST_HOOKS.
// $SERVICEAPP_TEST_DEINIT_MS makes Deinitialize take that long; $SERVICEAPP_TEST_EXTEND_MS asks for that much more time throughout Initialize.
// $SERVICEAPP_TEST_RELOAD=ok|fail registers a reload handler that records "reload" and succeeds or fails.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

class TestDaemon : public CServiceApp {
    serviceapp::ListenSocket m_passed = {-1, ""};  // in "serve" mode
    static void Record(const char* hook)
    {
        const char* path = getenv("SERVICEAPP_TEST_HOOKS");
        int fd = path != nullptr ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
        if (fd >= 0) {
            dprintf(fd, "%s\n", hook);
            close(fd);
        }
    }

    // $SERVICEAPP_TEST_MODE: "fail-init" (Initialize fails), "own-run" (a Run of its own that never feeds a
    // watchdog), "log" (logs at each priority) or "serve" (echoes on the socket it was passed).
    static bool Mode(const char* mode)
    {
        const char* value = getenv("SERVICEAPP_TEST_MODE");
        return value != nullptr && strcmp(value, mode) == 0;
    }
    static void SleepMs(long ms)
    {
        struct timespec pause = {ms / 1000, (ms % 1000) * 1000000};
        (void)nanosleep(&pause, nullptr);  // a stop signal may cut it short
    }

public:
    void SetServiceStateStarting() override { Record("starting"); }
    bool Initialize() override
    {
        Record("initialize");
        alarm(120);  // a test that loses track of it must not leave it running
        // A slow set-up ($SERVICEAPP_TEST_INIT_MS), so that a start that returns early shows.
        const char* ms = getenv("SERVICEAPP_TEST_INIT_MS");
        const char* extend = getenv("SERVICEAPP_TEST_EXTEND_MS");
        for (long left = ms != nullptr ? atol(ms) : 0; left > 0 && !CheckQuitFlag(); left -= 250) {
            (void)(extend != nullptr && serviceapp::ExtendTimeout(static_cast<unsigned>(atol(extend))));
            SleepMs(left < 250 ? left : 250);
        }
        for (int level = LOG_ALERT; Mode("log") && level <= LOG_DEBUG; ++level) {
            serviceapp::Log(level, level == LOG_ERR ? "level %d\nits second line" : "level %d", level);
        }
        if (Mode("serve") && serviceapp::TakeListenSockets(&m_passed, 1) == 1) {
            Record(m_passed.name);
        }
        return !Mode("fail-init");
    }
    void Run() override
    {
        for (struct pollfd p = {m_passed.fd, POLLIN, 0};
             p.fd >= 0 && poll(&p, 1, 100) >= 0 && !CheckQuitFlag();) {
            int client = p.revents & POLLIN ? accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            char line[64];
            ssize_t n = client >= 0 ? read(client, line, sizeof(line)) : 0;
            (void)(n > 0 && write(client, line, static_cast<size_t>(n))),
                (void)(client >= 0 && close(client));
        }
        if (!Mode("own-run")) {
            CServiceApp::Run();
            return;
        }
        while (!CheckQuitFlag()) {
            SleepMs(20);
        }
    }
    void SetServiceStateRunning() override { Record("running"); }
    void SetServiceStateStopping() override { Record("stopping"); }
    void Deinitialize() override
    {
        Record("deinitialize");
        const char* ms = getenv("SERVICEAPP_TEST_DEINIT_MS");
        long value = ms != nullptr ? atol(ms) : 0;
        struct timespec delay = {value / 1000, value % 1000 * 1000000};
        while (value > 0 && nanosleep(&delay, &delay) != 0) {
        }
    }
    void SetServiceStateStopped() override { Record("stopped"); }
    static bool Reload(CUnixServiceApp&)
    {
        return Record("reload"), strcmp(getenv("SERVICEAPP_TEST_RELOAD"), "fail");
    }
};

}  // namespace

int main(int argc, char** argv)
{
    static TestDaemon daemon;
    const char* name = getenv("SERVICEAPP_TEST_NAME");
    daemon.SetServiceName(name != nullptr ? name : "serviceapp-testd");
    if (name != nullptr) {
        (void)prctl(PR_SET_NAME, name);  // the process name the init tools match, as for a daemon named so
    }
    if (getenv("SERVICEAPP_TEST_RELOAD") != nullptr && *getenv("SERVICEAPP_TEST_RELOAD") != '\0') {
        daemon.SetReloadHandler(TestDaemon::Reload);
    }
    return daemon.Main(argc, argv);
}
