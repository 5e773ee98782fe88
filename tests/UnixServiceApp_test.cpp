// The Unix host in real child processes: lifecycles, stop signals, stale objects, distributions.
#include <LUMServiceApp.h>
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "Recorder.h"
#include "TestSupport.h"

using testsupport::Argv;
using testsupport::AwaitSignal;
using testsupport::BackgroundChild;
using testsupport::ChildResult;
using testsupport::Finish;
using testsupport::Recorder;
using testsupport::ReportEvent;
using testsupport::RunInChild;
using testsupport::StartChild;
using testsupport::WaitForEvent;

namespace {

// Runs Main with args in the child, reports 'M' when it returns and prints
// its result.
int RunMain(Recorder& app, std::vector<std::string> args)
{
    app.SetServiceName("recorder");
    args.insert(args.begin(), "recorder");
    Argv argv(args);
    int rc = app.Main(argv.argc(), argv.argv());
    ReportEvent('M');
    printf("%d", rc);
    return 0;
}

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the main thread of pid sleeps in system call nr, as its
// /proc/PID/syscall shows, so a signal sent next hits that very wait.
bool WaitUntilInSyscall(pid_t pid, long nr, int timeoutMs = 60000)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    std::string prefix = std::to_string(nr) + " ";
    for (long long deadline = NowMs() + timeoutMs; NowMs() < deadline;) {
        std::string now = testsupport::ReadFile(path);
        if (now.empty() || now.compare(0, prefix.size(), prefix) == 0) {
            return true;  // empty: not ours to read (ptrace rules), so send at once
        }
        struct timespec tick = {0, 2000000};
        nanosleep(&tick, nullptr);
    }
    return false;
}

const int kStopSignals[] = {SIGTERM, SIGINT};

// Hooks and Main's result when nothing but the client stops the service.
struct QuietCase {
    std::vector<std::string> args;
    bool initResult;
    bool stopSelfInInitialize;
    const char* events;
    const char* out;
};

TEST(Lifecycle, HookOrderWithoutSignals)
{
    const QuietCase cases[] = {
        {{}, false, false, "SIPDXM", "0"},  // a failed Initialize skips running and Run only
        {{"-console"}, false, false, "IDM", "0"},
        {{}, true, true, "SIQRrPDXM", "0"},  // StopSelf goes through SetQuitFlag and ends the default Run
        {{"-console"}, true, true, "IQrDM", "0"},
        {{"-start"}, true, false, "M", "-5"},  // not supported here, and silent
        {{"-STOP"}, true, false, "M", "-5"},
    };
    for (const QuietCase& c : cases) {
        ChildResult r = RunInChild([&c] {
            Recorder app;
            app.initResult = c.initResult;
            app.stopSelfInInitialize = c.stopSelfInInitialize;
            return RunMain(app, c.args);
        });
        EXPECT_EQ(r.events, c.events) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

Recorder* g_app = nullptr;

// One signal sent once the child reported waitFor (and, where given, sleeps
// in system call syscallNr): what the child reports and how it ends.
struct SignalCase {
    const char* what;
    std::vector<std::string> args;
    const char* pauseIn;
    bool holdFirstCheck;
    bool viaMain;  // false: RunAsService called without Main
    char waitFor;
    long syscallNr;  // -1: none
    int sig;         // 0: SIGTERM and SIGINT in turn
    const char* events;
    bool killed;  // ends killed by the signal, else exits with Main's 0
};

TEST(Lifecycle, StopSignals)
{
    const SignalCase cases[] = {
        {"during the default Run, which ppoll sleeps in",
         {},
         "",
         false,
         true,
         'r',
         SYS_ppoll,
         0,
         "SIRrQPDXM",
         false},
        {"between the default Run's flag test and its wait",
         {},
         "",
         true,
         true,
         'c',
         -1,
         0,
         "SIRrcQPDXM",
         false},
        {"during Initialize: running is still entered",
         {},
         "I",
         false,
         true,
         'w',
         -1,
         0,
         "SIwQRrPDXM",
         false},
        {"during starting, before the handlers", {}, "S", false, true, 'w', -1, 0, "Sw", true},
        {"in the console, which installs no handlers",
         {"-console"},
         "r",
         false,
         true,
         'w',
         -1,
         0,
         "Irw",
         true},
        {"to a service that never entered Main", {}, "I", false, false, 'w', -1, 0, "SIw", true},
        {"the console's default Run waits for the client",
         {"-console"},
         "",
         false,
         true,
         'r',
         SYS_ppoll,
         SIGUSR1,
         "IrQDM",
         false},
    };
    for (const SignalCase& c : cases) {
        for (int sig : kStopSignals) {
            sig = c.sig != 0 ? c.sig : sig;
            BackgroundChild child = StartChild([&c] {
                Recorder app;
                app.pauseIn = c.pauseIn;
                app.holdFirstCheck = c.holdFirstCheck;
                g_app = &app;
                signal(SIGUSR1, [](int) { g_app->StopSelf(); });
                return c.viaMain ? RunMain(app, c.args) : (app.RunAsService(), 0);
            });
            ASSERT_TRUE(WaitForEvent(child, c.waitFor)) << c.what;
            ASSERT_TRUE(c.syscallNr < 0 || WaitUntilInSyscall(child.pid, c.syscallNr)) << c.what;
            long long sent = NowMs();
            kill(child.pid, sig);
            ChildResult r = Finish(child);
            std::string what = std::string(c.what) + ", " + strsignal(sig);
            EXPECT_EQ(r.events, c.events) << what;
            EXPECT_EQ(r.signal, c.killed ? sig : 0) << what;
            EXPECT_EQ(r.out, c.killed || !c.viaMain ? "" : "0") << what;
            EXPECT_LT(NowMs() - sent, 10000) << what << ": woken by the signal, not by the 15 s period";
        }
    }
}

TEST(Lifecycle, SecondAndLateSignalsAreCaughtAgainAndChangeNothing)
{
    BackgroundChild child = StartChild([] {
        Recorder app;
        app.pauseIn = "rP";
        RunMain(app, {});
        AwaitSignal(app.quitCalls);  // the handler outlives RunAsService
        return app.quitCalls.load();
    });
    for (int sig : {SIGTERM, SIGINT, SIGTERM}) {
        ASSERT_TRUE(WaitForEvent(child, 'w'));
        child.seen.erase(child.seen.rfind('w'), 1);
        kill(child.pid, sig);
        ASSERT_TRUE(WaitForEvent(child, 'Q'));
        child.seen.replace(child.seen.rfind('Q'), 1, "q");
    }
    ChildResult r = Finish(child);
    EXPECT_EQ(r.events, "SIRrqPqDXMq");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "0");
}

TEST(Lifecycle, HandlersHaveAnEmptyMaskAndNoRestartSoBlockingCallsAreInterrupted)
{
    BackgroundChild child = StartChild([] {
        Recorder app;
        app.run = [](Recorder&) {
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
    ASSERT_TRUE(WaitForEvent(child, 'b'));
    ASSERT_TRUE(WaitUntilInSyscall(child.pid, SYS_read));
    kill(child.pid, SIGTERM);
    ChildResult r = Finish(child);
    EXPECT_EQ(r.out, "exact EINTR 0");
    EXPECT_EQ(r.events, "SIRrbQPDXM");
}

template <typename Base>
struct SequenceProbe : Base {
    int Sequence() { return this->m_rcSequence; }
};

TEST(UnixHost, NewObjectsUseSequence55AndReportNotInstalled)
{
    EXPECT_EQ(SequenceProbe<CServiceApp>().Sequence(), 55);
    EXPECT_EQ(SequenceProbe<CUnixServiceApp>().Sequence(), 55);
    EXPECT_EQ(SequenceProbe<CLUMServiceApp>().Sequence(), 55);
    CServiceApp app;
    EXPECT_FALSE(app.IsServiceInstalled());
}

// What becomes of the registered object's storage once it is destroyed.
enum class Storage { Heap, Poisoned };

TEST(StaleObject, SignalAfterTheRegisteredObjectIsGoneEndsTheProcess)
{
    for (Storage storage : {Storage::Heap, Storage::Poisoned}) {
        for (int sig : kStopSignals) {
            ChildResult r = RunInChild([storage, sig] {
                alignas(Recorder) static unsigned char space[sizeof(Recorder)];
                Recorder* app = storage == Storage::Heap ? new Recorder : new (space) Recorder;
                app->stopSelfInInitialize = true;
                RunMain(*app, {});
                if (storage == Storage::Heap) {
                    delete app;  // the sanitizer build catches any later touch
                } else {
                    app->~Recorder();
                    memset(space, 0xA5, sizeof(space));  // a touch now crashes
                }
                ReportEvent('g');
                raise(sig);
                ReportEvent('!');
                return 0;
            });
            EXPECT_FALSE(r.exited);
            EXPECT_EQ(r.signal, sig) << "default action, not a crash";
            EXPECT_EQ(r.events, "SIQRrPDXMg");
        }
    }
}

volatile sig_atomic_t g_ownHandlerRan = 0;

TEST(StaleObject, DestructionLeavesOtherHandlersAndOtherObjectsAlone)
{
    // A handler the client installed after the lifecycle is still there.
    ChildResult own = RunInChild([] {
        {
            Recorder app;
            app.stopSelfInInitialize = true;
            RunMain(app, {});
            signal(SIGTERM, [](int) { g_ownHandlerRan = 1; });
        }
        raise(SIGTERM);
        printf(" %d", static_cast<int>(g_ownHandlerRan));
        return 0;
    });
    EXPECT_TRUE(own.exited);
    EXPECT_EQ(own.out, "0 1");

    // Destroying an object that is not the registered one keeps the handler.
    ChildResult other = RunInChild([] {
        Recorder app;
        app.stopSelfInInitialize = true;
        RunMain(app, {});
        {
            Recorder bystander;
            bystander.stopSelfInInitialize = true;
            bystander.RunAsService();
        }
        raise(SIGINT);
        printf(" %d", app.quitCalls.load());
        return 0;
    });
    EXPECT_TRUE(other.exited);
    EXPECT_EQ(other.out, "0 2");
}

TEST(LinuxDistribution, DisplayNames)
{
    const char* const names[] = {"unknown", "redhat", "centos", "suse",
                                 "ubuntu",  "debian", "oracle", "fedora"};
    for (int value = 0; value < 8; ++value) {
        EXPECT_STREQ(CUnixServiceApp::GetLinuxDistributionString(static_cast<eLinuxDistribution>(value)),
                     names[value]);
    }
    for (int value : {8, -1, 1000}) {
        EXPECT_STREQ(CUnixServiceApp::GetLinuxDistributionString(static_cast<eLinuxDistribution>(value)),
                     "unknown");
    }
}

struct DetectCase {
    std::vector<const char*> present;  // release files under /etc; the others are hidden
    eLinuxDistribution expected;
};

TEST(LinuxDistribution, DetectsTheFamilyFromWhichReleaseFilesExist)
{
    const DetectCase cases[] = {
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
    testsupport::TempDir dir;
    const char* scratch = dir.path.c_str();
    // Each case mounts an overlay over /etc in a private mount namespace whose
    // upper directory creates the case's files and hides (whiteouts) the rest.
    ChildResult r = RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", scratch, "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        int index = 0;
        for (const DetectCase& c : cases) {
            std::string upper = std::string(scratch) + "/u" + std::to_string(index);
            std::string work = std::string(scratch) + "/w" + std::to_string(index++);
            mkdir(upper.c_str(), 0755);
            mkdir(work.c_str(), 0755);
            for (const char* name : all) {
                std::string path = upper + "/" + name;
                bool present = false;
                for (const char* p : c.present) {
                    present = present || strcmp(p, name) == 0;
                }
                if (present ? mknod(path.c_str(), S_IFREG | 0, 0)
                            : mknod(path.c_str(), S_IFCHR, makedev(0, 0))) {
                    return 1;
                }
            }
            std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
            if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
                return 78;
            }
            eLinuxDistribution found = eDistRedHat;
            bool ok = CUnixServiceApp::DetectLinuxDistribution(found);
            printf("%d%d ", static_cast<int>(found), ok ? 1 : 0);
            umount("/etc");
        }
        return 0;
    });
    if (r.exitCode == 77 || r.exitCode == 78) {
        GTEST_SKIP() << "needs root for a private mount namespace with an overlay over /etc";
    }
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string expected;
    for (const DetectCase& c : cases) {
        expected += std::to_string(static_cast<int>(c.expected)) + (c.expected != eDistUnknown ? "1 " : "0 ");
    }
    EXPECT_EQ(r.out, expected) << "each pair is the distribution and the result";
}

}  // namespace
