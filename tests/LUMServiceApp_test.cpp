// CLUMServiceApp in real processes: the instance option, the already-running refusal, check-in and core directory.
// SPDX-License-Identifier: MIT
#include <LUMServiceApp.h>
#include <LumPlatform.h>
#include <gtest/gtest.h>
#include <libgen.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "Recorder.h"

using namespace testsupport;

namespace {

struct App : Recorder<CLUMServiceApp> {
    int VmArgIndex() const { return m_vmArgIndex; }
    int go = -1;  // when set, Initialize reads a byte from it before returning
    bool Initialize() override
    {
        bool ok = Recorder<CLUMServiceApp>::Initialize();
        char byte;
        (void)!(go >= 0 && read(go, &byte, 1) == 1);
        return ok;
    }
};

class LUMServiceApp : public LumEnvTest {
protected:
    void SetUp() override
    {
        LumEnvTest::SetUp();
        ASSERT_EQ(mkdir(start.c_str(), 0755), 0);
    }
    std::string start = tmp.path + "/start";  // where each copy starts

    // Runs Main in a child started in start: its events and "(DIR SERVER)"
    // from Run (the working directory's last part and the server mark),
    // Main's result and the instance index. With hold, Run waits for a signal.
    // With go, Initialize waits for a byte on it and the default Run is kept.
    ChildResult Copy(std::vector<std::string> args, const char* registry = "reg")
    {
        return RunInChild([&] { return CopyBody(args, registry, false); });
    }
    int CopyBody(const std::vector<std::string>& args, const char* registry, bool hold, int go = -1)
    {
        if (chdir(start.c_str()) != 0) {
            return 1;
        }
        SetJournalStream(STDERR_FILENO);  // the service's own log, on the captured standard error
        App app;
        app.SetServiceName("svc", registry, nullptr);
        app.script = hold ? "r" : "";
        app.go = go;
        app.run = [](Recorder<CLUMServiceApp>& self) {
            char cwd[PATH_MAX] = "?";
            (void)!getcwd(cwd, sizeof(cwd));
            printf("(%s %d)", basename(cwd), static_cast<int>(LUMPI_Focus::IsAServer));
            self.StopSelf();
        };
        if (go >= 0) {
            app.run = nullptr;
        }
        RunMain(app, args);
        printf(" %d", app.VmArgIndex());
        return 0;
    }
};

TEST_F(LUMServiceApp, InstanceOptionAndItsFocus)
{
    const std::string focus = "DEBUG Focus set to instance [inst1].";
    const std::string checkin = "DEBUG Service [reg] is checked in.";
    const struct {
        std::vector<std::string> args;
        std::string result;  // events|output
        std::vector<std::string> log;
    } cases[] = {
        {{"-vm", "inst1"}, "SIRrQPDXM|(start 1)0 2", {focus, checkin}},
        {{"-vm", "inst1", "-console"}, "IrQDM|(start 0)0 2", {focus}},
        {{"-vm", "-console"}, "IrQDM|(start 0)0 2", {}},  // -console stays the option
        {{"-VM"}, "UM|-3 -1", {}},
        {{"-Vm", "inst1"}, "UM|-3 -1", {}},
        {{"-vm"}, "SIRrQPDXM|(start 1)0 2", {checkin}},
        {{"-vm", "inst1", "extra"}, "UM|-3 2", {focus}},
        {{"extra", "-vm", "inst1"}, "UM|-3 -1", {}},  // the scan ends at the refused argument
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        std::string caseLog = logFile + std::to_string(i);
        setenv("LUM_DEBUG_LOG", caseLog.c_str(), 1);
        ChildResult r = Copy(cases[i].args);
        std::string line = testing::PrintToString(cases[i].args);
        EXPECT_EQ(r.events + "|" + r.out + r.err, cases[i].result) << line;
        EXPECT_EQ(LogTexts(caseLog), cases[i].log) << line;
    }
}

// A first copy runs as a service; a second is refused with nothing run, a
// console copy is not; once the first has stopped (or been killed) a new
// copy starts.
TEST_F(LUMServiceApp, SecondCopyIsRefusedWhileTheFirstRuns)
{
    for (const char* registry : {"reg", ""}) {
        unlink(logFile.c_str());
        Child first([&] { return CopyBody({}, registry, true); });
        ASSERT_TRUE(first.WaitFor('w')) << registry;
        ChildResult second = Copy({}, registry);
        EXPECT_EQ(second.err, "service [" + std::string(registry) + "] is already running.");
        EXPECT_EQ(second.events + "|" + second.out, "M|-5 -1") << "nothing of the second copy ran";
        ChildResult console = Copy({"-console"}, registry);
        EXPECT_EQ(console.events + "|" + console.out + console.err, "IrQDM|(start 0)0 -1");
        int status = first.Stop(*registry ? SIGTERM : SIGKILL);
        if (*registry) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first copy stopped in order";
        }
        ChildResult next = Copy({}, registry);
        EXPECT_EQ(next.events + "|" + next.out + next.err, "SIRrQPDXM|(start 1)0 -1") << registry;
        std::string checkin = "DEBUG Service [" + std::string(registry) + "] is checked in.";
        EXPECT_EQ(LogTexts(logFile), (std::vector<std::string>{checkin, checkin}));
    }
}

// Two copies started together both pass the running check before either
// checks in. The one whose check-in loses stops through the usual hooks,
// never entering Run, and fails; the other runs on until it is stopped.
TEST_F(LUMServiceApp, OfTwoCopiesStartedTogetherOnlyOneRunsAndOnlyItTurnsReady)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    // Each copy tells its own stand-in service manager; Recorder shows READY=1
    // as '+' and STOPPING=1 as '-'.
    auto copy = [&](int index) {
        std::string address = tmp.path + "/notify" + std::to_string(index);
        if ((g_notifyFd = BindDatagram(address)) < 0) {
            return 1;
        }
        setenv("NOTIFY_SOCKET", address.c_str(), 1);
        return CopyBody({}, "reg", false, go[0]);
    };
    Child a([&] { return copy(0); });
    Child b([&] { return copy(1); });
    ASSERT_TRUE(a.WaitFor('I') && b.WaitFor('I')) << "both copies passed the running check";
    EXPECT_EQ(write(go[1], "gg", 2), 2);
    close(go[0]);
    close(go[1]);
    bool aRuns = a.WaitFor('r');  // the other one ends without
    ASSERT_NE(aRuns, b.WaitFor('r')) << a.seen << " " << b.seen;
    Child& loser = aRuns ? b : a;
    Child& winner = aRuns ? a : b;
    EXPECT_EQ(winner.seen, "SIR+r") << "one copy checked in, turned ready and runs";
    ChildResult lost = loser.Finish();
    EXPECT_EQ(lost.events + "|" + lost.out + lost.err, "SIQRAPDXM|-5 -1<3>Service [reg] checkin failed.\n")
        << "the other stopped without running, failing its start with ERRNO=EALREADY";
    EXPECT_EQ(uxsvc_isrunning("reg"), 1);
    EXPECT_EQ(kill(winner.pid, SIGTERM), 0);
    ChildResult won = winner.Finish();
    EXPECT_EQ(won.events + "|" + won.out + won.err, "SIR+rQ-PDXM|0 -1");
    std::vector<std::string> log = LogTexts(logFile);
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log, (std::vector<std::string>{"DEBUG Service [reg] is checked in.",
                                             "ERROR Service [reg] checkin failed."}));
}

TEST_F(LUMServiceApp, CheckedInServiceMovesToTheCoreDirectory)
{
    const std::string core = tmp.path + "/core";
    ASSERT_EQ(mkdir(core.c_str(), 0755), 0);
    const struct {
        std::string text;  // "" for no file at all
        const char* dir;
    } cases[] = {
        {"[Base]\ndCOREDIR=" + core + "\n", "core"},
        {"", "start"},
        {"[Other]\ndCOREDIR=" + core + "\n", "start"},
        {"[Base]\ndCOREDIR=" + tmp.path + "/missing\n", "start"},
    };
    for (const auto& c : cases) {
        unlink(configFile.c_str());
        ASSERT_TRUE(c.text.empty() || WriteFile(configFile, c.text));
        EXPECT_EQ(Copy({}).out, "(" + std::string(c.dir) + " 1)0 -1") << c.text;
    }
}

TEST_F(LUMServiceApp, FailedCheckInIsLoggedAndTheServiceRunsOnWhereItWas)
{
    ASSERT_TRUE(WriteFile(tmp.path + "/plain", ""));
    setenv("LUM_RUNTIME_DIR", (tmp.path + "/plain/lum").c_str(), 1);
    ASSERT_TRUE(WriteFile(configFile, "[Base]\ndCOREDIR=/\n"));
    ChildResult r = Copy({"-vm", "inst1"});
    EXPECT_EQ(r.events + "|" + r.out + r.err, "SIRrQPDXM|(start 0)0 2<3>Service [reg] checkin failed.\n");
    EXPECT_EQ(LogTexts(logFile), (std::vector<std::string>{"DEBUG Focus set to instance [inst1].",
                                                           "ERROR Service [reg] checkin failed."}));
}

}  // namespace
