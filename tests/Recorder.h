// A recording service client for the lifecycle, signal and platform tests, and the platform's private files.
// SPDX-License-Identifier: MIT
#ifndef SERVICEAPP_TESTS_RECORDER_H
#define SERVICEAPP_TESTS_RECORDER_H

#include <LUMServiceApp.h>
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

// Blocks SIGTERM and SIGINT, reports 'w', then sleeps until a signal has
// been handled, leaving the signals blocked only while looking at the count,
// so the parent's signal cannot slip in unseen. With no handler installed
// the signal's default action ends the process here.
inline void AwaitSignal(const std::atomic<int>& handled)
{
    sigset_t stop;
    sigset_t old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &old);
    int before = handled.load();
    ReportEvent('w');
    sigset_t open = old;
    sigdelset(&open, SIGTERM);
    sigdelset(&open, SIGINT);
    while (handled.load() == before) {
        sigsuspend(&open);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// In a child: $JOURNAL_STREAM names fd's device and inode, as a service
// manager names the journal stream it connected, so that the service's log
// goes there and never to the host's syslog.
inline void SetJournalStream(int fd)
{
    struct stat st = {};
    fstat(fd, &st);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
}
// A datagram socket bound at address (a path, or an abstract name written
// with a leading '@'); -1 when it cannot be.
inline int BindDatagram(const std::string& address)
{
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    address.copy(sa.sun_path, sizeof(sa.sun_path) - 1);
    sa.sun_path[0] = sa.sun_path[0] == '@' ? '\0' : sa.sun_path[0];
    auto length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + address.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&sa), length) == 0 ? fd : -1;
}

// In a child: the socket standing in for the service manager, -1 for none.
// Recorder drains it before each hook, so its messages show among the hook
// events in the order they were sent, by their first line: READY=1 as '+',
// STOPPING=1 as '-', WATCHDOG=1 as '~', ERRNO= EIO, ENOENT, EALREADY as 'E',
// 'N', 'A', a status alone as nothing, anything
// else as '?' (nothing when report is false).
inline int g_notifyFd = -1;
inline void ReportNotifications(bool report = true)
{
    char text[256];
    for (ssize_t n; g_notifyFd >= 0 && (n = recv(g_notifyFd, text, sizeof(text) - 1, MSG_DONTWAIT)) >= 0;) {
        text[n] = '\0';
        std::string first(text, strcspn(text, "\n"));
        // A reload's: '^' RELOADING=1 with a MONOTONIC_USEC= of the last
        // minute, '!' the READY=1 after a failed one.
        long long usec =
            first == "RELOADING=1" && !strncmp(text + 12, "MONOTONIC_USEC=", 15) ? atoll(text + 27) : -1;
        char reload = usec <= NowUs() && usec > NowUs() - 60000000        ? '^'
                      : strstr(text, "\nSTATUS=Reload failed") != nullptr ? '!'
                                                                          : '\0';
        if (report && reload != '\0') {
            ReportEvent(reload);
        } else if (report && first.compare(0, 7, "STATUS=") != 0) {
            ReportEvent(first == "READY=1"      ? '+'
                        : first == "STOPPING=1" ? '-'
                        : first == "WATCHDOG=1" ? '~'
                        : first == "ERRNO=5"    ? 'E'
                        : first == "ERRNO=2"    ? 'N'
                        : first == "ERRNO=114"  ? 'A'
                                                : '?');
        }
    }
}

// A client that reports each hook as one event byte: S starting, I
// Initialize, R running, r Run, P stopping, D Deinitialize, X stopped, U
// DisplayUsage, Q SetQuitFlag. Letters in script: a hook's letter makes it
// wait for a signal after reporting (and 'w' when ready for it); f fails
// Initialize, e leaves errno ENOENT there, s calls StopSelf there; a hook
// whose letter is in throws throws std::runtime_error(letter), or an int
// when plainThrow is set; c makes the first look at the quit flag
// hold on until a stop signal is pending or handled, so it lands between the
// default Run's test and its wait (reporting 'c').
template <typename Base>
class Recorder : public Base {
public:
    std::string script;
    void (*run)(Recorder&) = nullptr;  // Run's body; null keeps the default Run
    std::atomic<int> quitCalls{0};
    std::string throws;
    bool plainThrow = false;

    void SetServiceStateStarting() override { Hook('S'); }
    void SetServiceStateRunning() override
    {
        Base::SetServiceStateRunning();
        Hook('R');
    }
    void SetServiceStateStopping() override { Hook('P'); }
    void SetServiceStateStopped() override { Hook('X'); }
    bool DisplayUsage() override { return Hook('U'), true; }
    bool Initialize() override
    {
        Hook('I');
        if (Has('s')) {
            this->StopSelf();
        }
        if (Has('e')) {
            errno = ENOENT;
        }
        return !Has('f');
    }
    void Deinitialize() override { Hook('D'); }
    void Run() override
    {
        Hook('r');
        run != nullptr ? run(*this) : Base::Run();
    }
    bool CheckQuitFlag() override
    {
        bool quit = Base::CheckQuitFlag();
        if (!quit && Has('c')) {
            script.erase(script.find('c'), 1);
            ReportEvent('c');
            for (sigset_t pending; sigpending(&pending) == 0 && !sigismember(&pending, SIGTERM) &&
                                   !sigismember(&pending, SIGINT) && quitCalls.load() == 0;) {
                struct timespec tick = {0, 1000000};
                nanosleep(&tick, nullptr);
            }
        }
        return quit;
    }
    void SetQuitFlag() override
    {
        Base::SetQuitFlag();
        ++quitCalls;
        ReportEvent('Q');
    }
    bool Has(char letter) const { return script.find(letter) != std::string::npos; }
    void Hook(char letter)  // keeps errno: the lifecycle reports the one a hook leaves
    {
        int savedErrno = errno;
        ReportNotifications();
        ReportEvent(letter);
        if (Has(letter)) {
            AwaitSignal(quitCalls);
        }
        errno = savedErrno;
        if (throws.find(letter) != std::string::npos) {
            plainThrow ? throw 7 : throw std::runtime_error(std::string(1, letter));
        }
    }
};

// In a child: runs Main with args after the program name (naming the service
// "svc" unless named already), reports 'M' when it returns and prints its result.
template <typename App>
int RunMain(App& app, std::vector<std::string> args)
{
    if (!app.CheckServiceNameSet()) {
        app.SetServiceName("svc");
    }
    args.insert(args.begin(), "prog");
    Argv argv(args);
    int rc = app.Main(argv.argc(), argv.argv());
    ReportNotifications();
    ReportEvent('M');
    printf("%d", rc);
    return 0;
}

// Points the platform library at files in a fresh temporary directory, never
// at the host's /run/lum or /etc/lum. Children inherit the environment.
class LumEnvTest : public ::testing::Test {
protected:
    TempDir tmp;
    std::string runtimeDir = tmp.path + "/run/lum";   // LUM_RUNTIME_DIR, not created beforehand
    std::string configFile = tmp.path + "/lum.conf";  // LUM_CONFIG, not created beforehand
    std::string logFile = tmp.path + "/debug.log";    // LUM_DEBUG_LOG

    void SetUp() override
    {
        ASSERT_FALSE(tmp.path.empty());
        setenv("LUM_RUNTIME_DIR", runtimeDir.c_str(), 1);
        setenv("LUM_CONFIG", configFile.c_str(), 1);
        setenv("LUM_DEBUG_LOG", logFile.c_str(), 1);
    }
};

// The "LEVEL message" texts of a debug log's entries, after checking their
// "TIMESTAMP PID " start (those two go to stamps and pids when given); a line
// that is not a well-formed entry comes back whole, marked "malformed: ".
inline std::vector<std::string> LogTexts(const std::string& path, std::vector<std::string>* stamps = nullptr,
                                         std::vector<long>* pids = nullptr)
{
    static const std::regex entry(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\d+) ((DEBUG|ERROR) .*)$)");
    std::vector<std::string> texts;
    std::istringstream in(ReadFile(path));
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        bool ok = std::regex_match(line, m, entry);
        texts.push_back(ok ? std::string(m[3]) : "malformed: " + line);
        if (ok && stamps != nullptr) {
            stamps->push_back(m[1]);
            pids->push_back(std::stol(m[2]));
        }
    }
    return texts;
}

}  // namespace testsupport

#endif
