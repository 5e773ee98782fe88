// The Unix host in real child processes: lifecycles, stop signals, stale objects, distributions.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Recorder.h"

using namespace testsupport;
using App = Recorder<CServiceApp>;

namespace {

// Waits until the main thread of pid sleeps in system call nr, as its
// /proc/PID/syscall shows, so a signal sent next hits that very wait.
bool WaitUntilInSyscall(pid_t pid, long nr)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    std::string prefix = std::to_string(nr) + " ";
    for (long long deadline = NowUs() + 60000000; NowUs() < deadline;) {
        std::string now = ReadFile(path);
        if (now.empty() || now.compare(0, prefix.size(), prefix) == 0) {
            return true;  // empty: not ours to read (ptrace rules), so send at once
        }
        struct timespec tick = {0, 2000000};
        nanosleep(&tick, nullptr);
    }
    return false;
}

App* g_app = nullptr;

// Hook order, with a signal sent once the child waits for it (in the paused
// hook, at the held flag test, else asleep in the default Run's ppoll), or
// none: the child's events and output; a run whose events lack Main's 'M'
// must end killed by the signal.
TEST(Lifecycle, HookOrderAndStopSignals)
{
    const struct {
        const char* what;
        const char* arg;     // "" none, null: RunAsService called without Main
        const char* script;  // see Recorder
        int sig;             // 0: SIGTERM and SIGINT in turn, -1: none
        const char* result;
    } cases[] = {
        // clang-format off
        {"a failed Initialize skips running and Run, and fails", "", "f", -1, "SIPDXM|-5"},
        {"a failed Initialize in the console", "-console", "f", -1, "IDM|-5"},
        {"StopSelf goes through SetQuitFlag and ends Run", "", "s", -1, "SIQRrPDXM|0"},
        {"StopSelf in the console", "-console", "s", -1, "IQrDM|0"},
        {"-start of a service not installed", "-start", "", -1, "M|Service svc is not installed\n-5"},
        {"-STOP likewise", "-STOP", "", -1, "M|Service svc is not installed\n-5"},
        {"during the default Run, which ppoll sleeps in", "", "", 0, "SIRrQPDXM|0"},
        {"between the default Run's flag test and its wait", "", "c", 0, "SIRrcQPDXM|0"},
        {"during Initialize: running is still entered", "", "I", 0, "SIwQRrPDXM|0"},
        {"during starting, before the handlers", "", "S", 0, "Sw|"},
        {"in the console, which installs no handlers", "-console", "r", 0, "Irw|"},
        {"to a service that never entered Main", nullptr, "I", 0, "SIw|"},
        {"the console's default Run waits for the client", "-console", "", SIGUSR1, "IrQDM|0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        for (int sig : {SIGTERM, SIGINT}) {
            sig = c.sig != 0 ? c.sig : sig;
            Child child([&c] {
                App app;
                app.script = c.script;
                g_app = &app;
                signal(SIGUSR1, [](int) { g_app->StopSelf(); });
                if (c.arg == nullptr) {
                    return app.RunAsService(), 0;
                }
                return RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
            });
            std::string what = std::string(c.what) + (sig > 0 ? std::string(", ") + strsignal(sig) : "");
            long long sent = NowUs();
            if (sig > 0) {
                char waitFor = !*c.script ? 'r' : *c.script == 'c' ? 'c' : 'w';
                ASSERT_TRUE(child.WaitFor(waitFor)) << what;
                ASSERT_TRUE(waitFor != 'r' || WaitUntilInSyscall(child.pid, SYS_ppoll)) << what;
                sent = NowUs();
                kill(child.pid, sig);
            }
            ChildResult r = child.Finish();
            EXPECT_EQ(r.events + "|" + r.out + r.err, c.result) << what;
            EXPECT_EQ(r.signal, strchr(c.result, 'M') ? 0 : sig) << what;
            EXPECT_LT(NowUs() - sent, 10000000) << what << ": woken by the signal, not by the 15 s period";
            if (c.sig != 0) {
                break;
            }
        }
    }
}

// An exception from a client's hook reaches Main, which reports it, runs the
// tear-down hooks not yet run (each once, also when one of them throws) and
// returns -5.
TEST(Lifecycle, ExceptionFromAHookIsReportedAndStillRunsTheTearDown)
{
    const struct {
        const char* arg;
        const char* script;  // see Recorder
        const char* throws;  // hooks that throw std::runtime_error; "" : Initialize throws an int
        const char* result;
    } cases[] = {
        // clang-format off
        {"", "", "S", "SPXM|-5"}, {"", "", "I", "SIPDXM|-5"}, {"", "", "R", "SIRPDXM|-5"},
        {"", "", "r", "SIRrPDXM|-5"}, {"", "s", "PD", "SIQRrPDXM|-5"}, {"", "s", "X", "SIQRrPDXM|-5"},
        {"-console", "", "", "IDM|-5"}, {"-console", "s", "r", "IQrDM|-5"},
        // clang-format on
    };
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&c] {
            SetJournalStream(2);  // the service mode's report then reaches the captured stderr
            App app;
            app.script = c.script;
            app.throws = *c.throws ? c.throws : "I";
            app.plainThrow = !*c.throws;
            return RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
        });
        // At error priority: "<3>" in the journal, nothing on the console.
        std::string level = *c.arg ? "" : "<3>",
                    err = *c.throws ? "" : level + "Unhandled exception in service [svc]\n";
        for (char letter : std::string(c.throws)) {
            err += level + "Unhandled exception in service [svc]: " + letter + "\n";
        }
        EXPECT_EQ(r.events + "|" + r.out, c.result) << c.arg << " throwing " << c.throws;
        EXPECT_EQ(r.err, err) << c.arg << " throwing " << c.throws;
    }
}

TEST(Lifecycle, SecondAndLateSignalsAreCaughtAgainAndChangeNothing)
{
    Child child([] {
        App app;
        app.script = "rP";
        RunMain(app, {});
        AwaitSignal(app.quitCalls);  // the handler outlives RunAsService
        return app.quitCalls.load();
    });
    for (int sig : {SIGTERM, SIGINT, SIGTERM}) {
        ASSERT_TRUE(child.WaitFor('w'));
        child.seen.erase(child.seen.rfind('w'), 1);
        kill(child.pid, sig);
        ASSERT_TRUE(child.WaitFor('Q'));
        child.seen.replace(child.seen.rfind('Q'), 1, "q");
    }
    ChildResult r = child.Finish();
    EXPECT_EQ(r.events + "|" + r.out, "SIRrqPqDXMq|0");
    EXPECT_EQ(r.exitCode, 3);
}

TEST(Lifecycle, HandlersHaveAnEmptyMaskAndNoRestartSoBlockingCallsAreInterrupted)
{
    Child child(
        [] {
            App app;
            app.run = [](App&) {
                struct sigaction action = {};
                sigaction(SIGTERM, nullptr, &action);
                const int restorer = 0x04000000;  // SA_RESTORER, added by the C library itself
                bool exact = action.sa_handler == &CUnixServiceApp::SignalHandlerStatic &&
                             (action.sa_flags & ~restorer) == 0;
                for (int s = 1; s < NSIG; ++s) {
                    exact = exact && !sigismember(&action.sa_mask, s);
                }
                int fds[2];
                (void)!pipe(fds);
                char byte;
                ReportEvent('b');
                ssize_t n = read(fds[0], &byte, 1);  // nobody writes: only a signal ends it
                printf("%s %s ", exact ? "exact" : "other", n < 0 && errno == EINTR ? "EINTR" : "?");
            };
            return RunMain(app, {});
        },
        30);
    ASSERT_TRUE(child.WaitFor('b'));
    ASSERT_TRUE(WaitUntilInSyscall(child.pid, SYS_read));
    kill(child.pid, SIGTERM);
    ChildResult r = child.Finish();
    EXPECT_EQ(r.out, "exact EINTR 0");
    EXPECT_EQ(r.events, "SIRrbQPDXM");
}

// A client Run: a wait that times out, then ('t') one that only a stop ends.
void WaitTwice(App& app)
{
    bool first = app.WaitForStop(1);
    ReportEvent('t');
    bool second = app.WaitForStop(600000);
    printf("%d%d ", first, second);
}

// The default Run, stopped by a stop signal handled on another thread: this
// one keeps SIGTERM and SIGINT blocked, a second one waits with them open.
void DefaultRunStoppedOnAnotherThread(App& app)
{
    std::thread sleeper([&app] { app.WaitForStop(600000); });
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    app.CServiceApp::Run();
    sleeper.join();
}

// The default Run, stopped by StopSelf from another thread once it sleeps.
void DefaultRunStoppedByAnotherThread(App& app)
{
    std::thread stopper([&app] {
        WaitUntilInSyscall(getpid(), SYS_ppoll);
        app.StopSelf();
    });
    app.CServiceApp::Run();
    stopper.join();
}

// Every stop the library sees ends a wait at once, on whichever thread it
// comes; a reload request (SIGUSR1) is no stop and no death. Signals are sent
// in order once the child's main thread sleeps in its last ppoll.
TEST(Lifecycle, EveryStopEndsTheWaitAtOnceAndReloadLeavesTheServiceRunning)
{
    const struct {
        const char* what;
        void (*prepare)();         // in the child, before Main
        void (*run)(App&);         // Run's body; null keeps the default Run
        std::vector<int> signals;  // none: the child stops itself
        const char* result;
    } cases[] = {
        // clang-format off
        {"StopSelf from another thread", nullptr, DefaultRunStoppedByAnotherThread, {}, "SIRrQPDXM|0"},
        {"a stop signal handled on another thread", nullptr, DefaultRunStoppedOnAnotherThread, {SIGTERM},
         "SIRrQPDXM|0"},
        {"WaitForStop: the time-out, then a stop", nullptr, WaitTwice, {SIGINT}, "SIRrtQPDXM|01 0"},
        {"started with SIGTERM and SIGINT blocked",
         [] {
             sigset_t stop;
             sigemptyset(&stop);
             sigaddset(&stop, SIGTERM);
             sigaddset(&stop, SIGINT);
             sigprocmask(SIG_BLOCK, &stop, nullptr);
         }, WaitTwice, {SIGTERM}, "SIRrtQPDXM|01 0"},
        {"SIGUSR1 and SIGHUP leave the service running", [] { signal(SIGHUP, SIG_DFL); }, nullptr,
         {SIGUSR1, SIGHUP, SIGTERM}, "SIRrQPDXM|0"},
        {"a client's own SIGUSR1 handler is kept", [] { signal(SIGUSR1, [](int) { ReportEvent('u'); }); },
         nullptr, {SIGUSR1, SIGTERM}, "SIRruQPDXM|0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        Child child([&c] {
            App app;
            app.run = c.run;
            if (c.prepare != nullptr) {
                c.prepare();
            }
            return RunMain(app, {});
        });
        ASSERT_TRUE(child.WaitFor(c.signals.empty() ? 'Q' : strchr(c.result, 't') ? 't' : 'r')) << c.what;
        ASSERT_TRUE(c.signals.empty() || WaitUntilInSyscall(child.pid, SYS_ppoll)) << c.what;
        long long sent = NowUs();
        for (int sig : c.signals) {
            kill(child.pid, sig);
            // The client's handler reports 'u': see it before the next signal.
            ASSERT_TRUE(sig != SIGUSR1 || !strchr(c.result, 'u') || child.WaitFor('u')) << c.what;
        }
        ChildResult r = child.Finish();
        EXPECT_EQ(r.events + "|" + r.out + r.err, c.result) << c.what;
        EXPECT_LT(NowUs() - sent, 10000000) << c.what << ": woken by the stop, not by the 15 s period";
    }
}

// Client Runs for the notification cases.
void FeedWatchdogTwice(App& app)
{
    for (int i = 0; i < 2; ++i) {
        app.NotifyWatchdog();
        ReportNotifications();
    }
    app.StopSelf();
}

void DefaultRunUntilThreePings(App& app)
{
    std::thread watcher([&app] {
        char text[64];
        for (int pings = 0; pings < 3;) {
            ssize_t n = recv(g_notifyFd, text, sizeof(text), 0);
            if (n == 10 && memcmp(text, "WATCHDOG=1", 10) == 0) {
                ReportEvent('~');
                ++pings;
            }
        }
        app.StopSelf();
    });
    app.CServiceApp::Run();
    watcher.join();
    ReportNotifications(false);  // pings sent after the third, before the stop
}

// A reload handler that stops the service: 'L' on the service's (main) thread
// outside signal context (where the signal is blocked), else 'x'.
template <bool ok>
bool StopAfterReload(CUnixServiceApp& app)
{
    ReportNotifications();
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    bool plain = !sigismember(&mask, SIGHUP) && !sigismember(&mask, SIGUSR1);
    ReportEvent(gettid() == getpid() && plain ? 'L' : 'x');
    app.StopSelf();
    return ok;
}

// The default Run, sent sig by another thread once it sleeps.
template <int sig, bool ok>
void ReloadWhileWaiting(App& app)
{
    app.SetReloadHandler(StopAfterReload<ok>);
    std::thread sender([] { WaitUntilInSyscall(getpid(), SYS_ppoll) && kill(getpid(), sig) == 0; });
    app.CServiceApp::Run();
    sender.join();
}

// Messages to a datagram socket the test binds in the service manager's place
// (Recorder shows them among the hooks: '+' READY=1, '-' STOPPING=1, '~'
// WATCHDOG=1, a reload's '^' RELOADING=1, '!' READY=1 after a failed one).
TEST(Notify, ReadinessAroundRunAndWatchdogPingsOnlyWhereAManagerWaitsForThem)
{
    const struct {
        const char* what;
        const char* socket;  // "path" or "@": one the test binds; else NOTIFY_SOCKET's value
        const char* env;     // more variables, NAME=VALUE separated by blanks (WATCHDOG_PID=self: ours)
        const char* arg;
        const char* script;
        void (*run)(App&);
        const char* result;
    } cases[] = {
        // clang-format off
        {"READY after running, before Run; STOPPING after Run", "path", "", "", "s", nullptr, "SIQR+r-PDXM|0"},
        {"the same at an abstract address", "@", "", "", "s", nullptr, "SIQR+r-PDXM|0"},
        {"ERRNO=EIO after a failed Initialize", "path", "", "", "f", nullptr, "SIEPDXM|-5"},
        {"ERRNO= the errno Initialize left", "@", "", "", "fe", nullptr, "SINPDXM|-5"},
        {"nothing in the console", "@", "", "-console", "s", nullptr, "IQrDM|0"},
        {"nobody listening stops nothing", "/nonexistent/notify", "", "", "s", nullptr, "SIQRrPDXM|0"},
        {"NotifyWatchdog under a watchdog", "path", "WATCHDOG_USEC=60000000", "", "", FeedWatchdogTwice,
         "SIR+r~~Q-PDXM|0"},
        {"NotifyWatchdog under a watchdog for us", "@", "WATCHDOG_USEC=60000000 WATCHDOG_PID=self", "", "",
         FeedWatchdogTwice, "SIR+r~~Q-PDXM|0"},
        {"NotifyWatchdog under a watchdog for another process", "@", "WATCHDOG_USEC=60000000 WATCHDOG_PID=1", "",
         "", FeedWatchdogTwice, "SIR+rQ-PDXM|0"},
        {"NotifyWatchdog without a watchdog", "path", "", "", "", FeedWatchdogTwice, "SIR+rQ-PDXM|0"},
        {"the default Run feeds the watchdog and still stops at once", "path", "WATCHDOG_USEC=300000", "", "",
         DefaultRunUntilThreePings, "SIR+r~~~Q-PDXM|0"},
        {"SIGHUP wakes the default Run to reload", "path", "", "", "", ReloadWhileWaiting<SIGHUP, true>,
         "SIR+r^LQ+-PDXM|0"},
        {"SIGUSR1 likewise; a failed reload says so", "@", "", "", "", ReloadWhileWaiting<SIGUSR1, false>,
         "SIR+r^LQ!-PDXM|0"},
        {"a Run of its own asks for the reload ('p') and runs it", "path", "", "", "", [](App& app) {
             app.SetReloadHandler(StopAfterReload<true>);
             for (raise(SIGHUP); !app.CheckQuitFlag();) {
                 (void)(app.IsReloadPending() && (ReportEvent('p'), app.RunPendingReload()));
             }
         }, "SIR+rp^LQ+-PDXM|0"},
        // clang-format on
    };
    TempDir dir;
    int serial = 0;
    for (const auto& c : cases) {
        std::string address = c.socket;
        int fd = -1;
        if (address == "path" || address == "@") {
            address = address == "@"
                          ? "@serviceapp-test-" + std::to_string(getpid()) + "-" + std::to_string(serial)
                          : dir.path + "/notify" + std::to_string(serial);
            ++serial;
            ASSERT_GE(fd = BindDatagram(address), 0) << address;
        }
        long long start = NowUs();
        ChildResult r = RunInChild([&] {
            g_notifyFd = fd;
            setenv("NOTIFY_SOCKET", address.c_str(), 1);
            std::istringstream env(c.env);
            for (std::string entry; env >> entry;) {
                std::string value = entry.substr(entry.find('=') + 1);
                setenv(entry.substr(0, entry.find('=')).c_str(),
                       value == "self" ? std::to_string(getpid()).c_str() : value.c_str(), 1);
            }
            App app;
            app.script = c.script;
            app.run = c.run;
            return RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
        });
        close(fd);
        EXPECT_EQ(r.events + "|" + r.out + r.err, c.result) << c.what;
        EXPECT_LT(NowUs() - start, 10000000) << c.what << ": pings come far faster than the 15 s period";
    }
}

// start-stop-daemon --notify-await, as init scripts start a service, fails
// the start of a service whose Initialize failed at once, with its error.
TEST(Notify, StartStopDaemonFailsAFailedStartAtOnce)
{
    const char ssd[] = "/sbin/start-stop-daemon";
    if (access(ssd, X_OK) != 0) {
        GTEST_SKIP() << ssd << " is not installed";
    }
    TempDir dir;
    long long start = NowUs();
    ChildResult r = RunInChild([&] {
        setenv("SERVICEAPP_TEST_MODE", "fail-init", 1);
        execl(ssd, ssd, "--start", "--background", "--notify-await", "--notify-timeout", "100",
              "--make-pidfile", "--pidfile", (dir.path + "/pid").c_str(), "--exec", SERVICEAPP_TEST_DAEMON,
              nullptr);
        return 127;
    });
    EXPECT_LT(NowUs() - start, 30000000) << "at once, not at the 100 s time-out";
    EXPECT_NE(r.err.find("(Input/output error)"), std::string::npos) << r.exitCode << " " << r.err;
}

volatile sig_atomic_t g_ownHandlerRan = 0;

// A signal after the registered object is gone takes the default action (not
// a crash on freed or poisoned memory); destroying it leaves a handler the
// client installed later alone, and destroying another object keeps ours.
TEST(StaleObject, LateSignalsEndTheProcessWithoutTouchingTheObject)
{
    for (bool heap : {true, false}) {
        for (int sig : {SIGTERM, SIGINT}) {
            ChildResult r = RunInChild([heap, sig] {
                alignas(App) static unsigned char space[sizeof(App)];
                App* app = heap ? new App : new (space) App;
                app->script = "s";
                RunMain(*app, {});
                if (heap) {
                    delete app;  // the sanitizer build and valgrind catch any later touch
                } else {
                    app->~App();
                    memset(space, 0xA5, sizeof(space));  // a touch now crashes
                }
                ReportEvent('g');
                raise(sig);
                ReportEvent('!');
                return 0;
            });
            EXPECT_EQ(r.signal, sig) << "default action, not a crash";
            EXPECT_EQ(r.events, "SIQRrPDXMg");
        }
    }
    ChildResult r = RunInChild([] {
        App* app = new App;
        app->script = "s";
        RunMain(*app, {});
        {
            App bystander;
            bystander.script = "s";
            bystander.RunAsService();
        }
        raise(SIGINT);
        printf(" %d", app->quitCalls.load());
        signal(SIGTERM, [](int) { g_ownHandlerRan = 1; });
        struct sigaction onUsr1 = {}, onHup = {};
        sigaction(SIGUSR1, nullptr, &onUsr1);
        sigaction(SIGHUP, nullptr, &onHup);
        printf(" %d%d", onUsr1.sa_handler != SIG_DFL, onHup.sa_handler != SIG_DFL);
        delete app;
        struct sigaction onInt = {};
        sigaction(SIGINT, nullptr, &onInt);  // our handlers make way for the default action
        sigaction(SIGUSR1, nullptr, &onUsr1);
        sigaction(SIGHUP, nullptr, &onHup);
        raise(SIGTERM);
        printf(" %d %d %d%d", static_cast<int>(g_ownHandlerRan), onInt.sa_handler == SIG_DFL,
               onUsr1.sa_handler == SIG_DFL, onHup.sa_handler == SIG_DFL);
        return 0;
    });
    EXPECT_EQ(r.out, "0 2 11 1 1 11")
        << "quit calls, ours on SIGUSR1 and SIGHUP, own SIGTERM handler ran, SIGINT, SIGUSR1 and SIGHUP default";
}

TEST(LinuxDistribution, DisplayNames)
{
    const char* const names[] = {"unknown", "redhat", "centos", "suse",   "ubuntu",
                                 "debian",  "oracle", "fedora", "unknown"};
    for (int value = -1; value < 9; ++value) {
        EXPECT_STREQ(CUnixServiceApp::GetLinuxDistributionString(static_cast<eLinuxDistribution>(value)),
                     names[value < 0 ? 8 : value]);
    }
}

// Each case shows only its release files in a fresh tmpfs over /etc, in a
// private mount namespace.
TEST(LinuxDistribution, DetectsTheFamilyFromWhichReleaseFilesExist)
{
    const struct {
        std::vector<std::string> present;
        eLinuxDistribution expected;
    } cases[] = {
        // clang-format off
        {{}, eDistUnknown}, {{"debian_version"}, eDistDebian},
        {{"lsb-release", "debian_version"}, eDistUbuntu},
        {{"SuSE-release", "lsb-release", "debian_version"}, eDistSuSE},
        {{"redhat-release", "SuSE-release"}, eDistRedHat},
        {{"redhat-release", "centos-release", "oracle-release", "fedora-release"}, eDistCentOS},
        {{"redhat-release", "oracle-release", "fedora-release"}, eDistOracle},
        {{"redhat-release", "fedora-release", "debian_version"}, eDistFedora},
        {{"centos-release", "oracle-release", "fedora-release"}, eDistUnknown},
        // clang-format on
    };
    ChildResult r = RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return 77;
        }
        for (const auto& c : cases) {
            if (mount("tmpfs", "/etc", "tmpfs", 0, "size=64k") != 0) {
                return 77;
            }
            for (const std::string& name : c.present) {
                close(creat(("/etc/" + name).c_str(), 0644));
            }
            eLinuxDistribution found = eDistRedHat;
            bool ok = CUnixServiceApp::DetectLinuxDistribution(found);
            printf("%d%d ", static_cast<int>(found), ok);
        }
        return 0;
    });
    if (r.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    std::string expected;
    for (const auto& c : cases) {
        expected += std::to_string(static_cast<int>(c.expected)) + (c.expected != eDistUnknown ? "1 " : "0 ");
    }
    EXPECT_EQ(r.out, expected) << "each pair is the distribution and the result";
}

}  // namespace
