// The Unix host in real child processes: lifecycles, stop signals, stale objects, distributions.
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "Recorder.h"

using namespace testsupport;
using App = Recorder<CServiceApp>;

namespace {

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the main thread of pid sleeps in system call nr, as its
// /proc/PID/syscall shows, so a signal sent next hits that very wait.
bool WaitUntilInSyscall(pid_t pid, long nr)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    std::string prefix = std::to_string(nr) + " ";
    for (long long deadline = NowMs() + 60000; NowMs() < deadline;) {
        std::string now = ReadFile(path);
        if (now.empty() || now.compare(0, prefix.size(), prefix) == 0) {
            return true;  // empty: not ours to read (ptrace rules), so send at once
        }
        struct timespec tick = {0, 2000000};
        nanosleep(&tick, nullptr);
    }
    return false;
}

TEST(Lifecycle, HookOrderWithoutSignals)
{
    const struct {
        std::vector<std::string> args;
        bool initResult;
        bool stopSelfInInitialize;
        const char* events;
        const char* out;
    } cases[] = {
        {{}, false, false, "SIPDXM", "0"},  // a failed Initialize skips running and Run only
        {{"-console"}, false, false, "IDM", "0"},
        {{}, true, true, "SIQRrPDXM", "0"},  // StopSelf goes through SetQuitFlag and ends the default Run
        {{"-console"}, true, true, "IQrDM", "0"},
        {{"-start"}, true, false, "M", "-5"},  // not supported here, and silent
        {{"-STOP"}, true, false, "M", "-5"},
    };
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&c] {
            App app;
            app.initResult = c.initResult;
            app.stopSelfInInitialize = c.stopSelfInInitialize;
            return RunMain(app, c.args);
        });
        EXPECT_EQ(r.events + "|" + r.out + r.err, std::string(c.events) + "|" + c.out)
            << testing::PrintToString(c.args);
    }
    EXPECT_FALSE(CServiceApp().IsServiceInstalled());
}

App* g_app = nullptr;

// One signal sent once the child reported waitFor (and, where given, sleeps
// in system call syscallNr): what the child reports and how it ends.
TEST(Lifecycle, StopSignals)
{
    const struct {
        const char* what;
        const char* arg;      // "" none, null: RunAsService called without Main
        const char* pauseIn;  // see Recorder
        char waitFor;
        long syscallNr;  // -1: none
        int sig;         // 0: SIGTERM and SIGINT in turn
        const char* events;
        bool killed;  // ends killed by the signal, else exits with Main's 0
    } cases[] = {
        // clang-format off
        {"during the default Run, which ppoll sleeps in", "", "", 'r', SYS_ppoll, 0, "SIRrQPDXM", false},
        {"between the default Run's flag test and its wait", "", "c", 'c', -1, 0, "SIRrcQPDXM", false},
        {"during Initialize: running is still entered", "", "I", 'w', -1, 0, "SIwQRrPDXM", false},
        {"during starting, before the handlers", "", "S", 'w', -1, 0, "Sw", true},
        {"in the console, which installs no handlers", "-console", "r", 'w', -1, 0, "Irw", true},
        {"to a service that never entered Main", nullptr, "I", 'w', -1, 0, "SIw", true},
        {"the console's default Run waits for the client", "-console", "", 'r', SYS_ppoll, SIGUSR1, "IrQDM", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        for (int sig : {SIGTERM, SIGINT}) {
            sig = c.sig != 0 ? c.sig : sig;
            Child child([&c] {
                App app;
                app.pauseIn = c.pauseIn;
                g_app = &app;
                signal(SIGUSR1, [](int) { g_app->StopSelf(); });
                if (c.arg == nullptr) {
                    return app.RunAsService(), 0;
                }
                return RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
            });
            std::string what = std::string(c.what) + ", " + strsignal(sig);
            ASSERT_TRUE(child.WaitFor(c.waitFor)) << what;
            ASSERT_TRUE(c.syscallNr < 0 || WaitUntilInSyscall(child.pid, c.syscallNr)) << what;
            long long sent = NowMs();
            kill(child.pid, sig);
            ChildResult r = child.Finish();
            EXPECT_EQ(r.events, c.events) << what;
            EXPECT_EQ(r.signal, c.killed ? sig : 0) << what;
            EXPECT_EQ(r.out, c.killed || c.arg == nullptr ? "" : "0") << what;
            EXPECT_LT(NowMs() - sent, 10000) << what << ": woken by the signal, not by the 15 s period";
        }
    }
}

TEST(Lifecycle, SecondAndLateSignalsAreCaughtAgainAndChangeNothing)
{
    Child child([] {
        App app;
        app.pauseIn = "rP";
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
    Child child([] {
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
    });
    ASSERT_TRUE(child.WaitFor('b'));
    ASSERT_TRUE(WaitUntilInSyscall(child.pid, SYS_read));
    kill(child.pid, SIGTERM);
    ChildResult r = child.Finish();
    EXPECT_EQ(r.out, "exact EINTR 0");
    EXPECT_EQ(r.events, "SIRrbQPDXM");
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
                app->stopSelfInInitialize = true;
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
    ChildResult own = RunInChild([] {
        {
            App app;
            app.stopSelfInInitialize = true;
            RunMain(app, {});
            signal(SIGTERM, [](int) { g_ownHandlerRan = 1; });
        }
        raise(SIGTERM);
        printf(" %d", static_cast<int>(g_ownHandlerRan));
        return 0;
    });
    EXPECT_EQ(own.out, "0 1");
    ChildResult other = RunInChild([] {
        App app;
        app.stopSelfInInitialize = true;
        RunMain(app, {});
        {
            App bystander;
            bystander.stopSelfInInitialize = true;
            bystander.RunAsService();
        }
        raise(SIGINT);
        printf(" %d", app.quitCalls.load());
        return 0;
    });
    EXPECT_EQ(other.out, "0 2");
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

// Each case mounts an overlay over /etc in a private mount namespace whose
// upper directory creates the case's release files and hides (whiteouts) the rest.
TEST(LinuxDistribution, DetectsTheFamilyFromWhichReleaseFilesExist)
{
    const struct {
        std::vector<std::string> present;
        eLinuxDistribution expected;
    } cases[] = {
        {{}, eDistUnknown},
        {{"debian_version"}, eDistDebian},
        {{"lsb-release", "debian_version"}, eDistUbuntu},
        {{"SuSE-release", "lsb-release", "debian_version"}, eDistSuSE},
        {{"redhat-release", "SuSE-release"}, eDistRedHat},
        {{"redhat-release", "centos-release", "oracle-release", "fedora-release"}, eDistCentOS},
        {{"redhat-release", "oracle-release", "fedora-release"}, eDistOracle},
        {{"redhat-release", "fedora-release", "debian_version"}, eDistFedora},
        {{"centos-release", "oracle-release", "fedora-release"}, eDistUnknown},
    };
    const char* const all[] = {"redhat-release", "centos-release", "oracle-release", "fedora-release",
                               "SuSE-release",   "lsb-release",    "debian_version"};
    TempDir dir;
    const std::string scratch = dir.path;
    ChildResult r = RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", scratch.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
            std::string upper = scratch + "/u" + std::to_string(i);
            std::string work = scratch + "/w" + std::to_string(i);
            mkdir(upper.c_str(), 0755);
            mkdir(work.c_str(), 0755);
            for (const std::string name : all) {
                const auto& present = cases[i].present;
                bool file = std::find(present.begin(), present.end(), name) != present.end();
                if (mknod((upper + "/" + name).c_str(), file ? S_IFREG : S_IFCHR, makedev(0, 0)) != 0) {
                    return 1;
                }
            }
            std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
            if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
                return 77;
            }
            eLinuxDistribution found = eDistRedHat;
            bool ok = CUnixServiceApp::DetectLinuxDistribution(found);
            printf("%d%d ", static_cast<int>(found), ok);
            umount("/etc");
        }
        return 0;
    });
    if (r.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private mount namespace with an overlay over /etc";
    }
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string expected;
    for (const auto& c : cases) {
        expected += std::to_string(static_cast<int>(c.expected)) + (c.expected != eDistUnknown ? "1 " : "0 ");
    }
    EXPECT_EQ(r.out, expected) << "each pair is the distribution and the result";
}

}  // namespace
