// The Unix host in real child processes: lifecycles, stop signals, stale objects, distributions.
#include <ServiceApp.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
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
        {"a failed Initialize skips running and Run only", "", "f", -1, "SIPDXM|0"},
        {"a failed Initialize in the console", "-console", "f", -1, "IDM|0"},
        {"StopSelf goes through SetQuitFlag and ends Run", "", "s", -1, "SIQRrPDXM|0"},
        {"StopSelf in the console", "-console", "s", -1, "IQrDM|0"},
        {"-start: not supported here, and silent", "-start", "", -1, "M|-5"},
        {"-STOP likewise", "-STOP", "", -1, "M|-5"},
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
        delete app;
        struct sigaction onInt = {};
        sigaction(SIGINT, nullptr, &onInt);  // our handler makes way for the default action
        raise(SIGTERM);
        printf(" %d %d", static_cast<int>(g_ownHandlerRan), onInt.sa_handler == SIG_DFL);
        return 0;
    });
    EXPECT_EQ(r.out, "0 2 1 1");
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
