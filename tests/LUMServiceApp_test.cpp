// CLUMServiceApp in real processes: the instance option, the already-running refusal, check-in and core directory.
#include <LUMServiceApp.h>
#include <LumPlatform.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "LumTestSupport.h"
#include "TestSupport.h"

using testsupport::ReadByte;
using testsupport::RunInChild;
using testsupport::StartInBackground;
using LUMServiceApp = lumtest::LumEnvTest;

namespace {

// Records its hooks. Run reports the mode, working directory and server mark,
// then stops at once, or, with a hold descriptor, reports 'r' on it and waits
// for a stop signal.
class App : public CLUMServiceApp {
public:
    std::string calls;
    int hold = -1;

    bool Initialize() override { return Record("init"); }
    bool DisplayUsage() override { return Record("usage"); }
    void Deinitialize() override { Record("deinit"); }
    void Run() override
    {
        char cwd[PATH_MAX] = "?";
        (void)!getcwd(cwd, sizeof(cwd));
        Record(std::string(IsConsoleMode() ? "console" : "run") + "(" + cwd +
               " server=" + std::to_string(LUMPI_Focus::IsAServer) + ")");
        if (hold >= 0) {
            (void)!write(hold, "r", 1);
            CUnixServiceApp::Run();
        } else {
            StopSelf();
        }
    }
    int VmArgIndex() const { return m_vmArgIndex; }
    unsigned DeinitTimeout() const { return m_deinitTimeout; }
    int RcSequence() const { return m_rcSequence; }

private:
    bool Record(const std::string& what)
    {
        calls += (calls.empty() ? "" : ",") + what;
        return true;
    }
};

// Runs Main in directory cwd with args after the program name; prints
// "result|calls|vm index".
int RunApp(const std::string& cwd, const std::vector<std::string>& args, const char* registry = "reg",
           int hold = -1)
{
    if (chdir(cwd.c_str()) != 0) {
        return 1;
    }
    std::vector<std::string> storage{"prog"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    App app;
    app.hold = hold;
    app.SetServiceName("svc", registry, nullptr);
    int rc = app.Main(static_cast<int>(storage.size()), argv.data());
    printf("%d|%s|%d", rc, app.calls.c_str(), app.VmArgIndex());
    return 0;
}

TEST_F(LUMServiceApp, NewObjectDefaults)
{
    App app;
    EXPECT_EQ(app.DeinitTimeout(), 30u);
    EXPECT_EQ(app.VmArgIndex(), -1);
    EXPECT_EQ(app.RcSequence(), 55);
}

TEST_F(LUMServiceApp, InstanceOptionAndItsFocus)
{
    const std::string here = tmp.path;
    const std::string service = "init,run(" + here + " server=1),deinit";
    const std::string console = "init,console(" + here + " server=0),deinit";
    const std::string focus = "DEBUG Focus set to instance [inst1].";
    const std::string checkin = "DEBUG Service [reg] is checked in.";
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::string> log;
    } cases[] = {
        {{"-vm", "inst1"}, "0|" + service + "|2", {focus, checkin}},
        {{"-vm", "inst1", "-console"}, "0|" + console + "|2", {focus}},
        {{"-vm", "-console"}, "0|" + console + "|2", {}},  // -console stays the option
        {{"-VM"}, "0|usage|-1", {}},
        {{"-Vm", "inst1"}, "0|usage|-1", {}},
        {{"-vm"}, "0|" + service + "|2", {checkin}},
        {{"-vm", "inst1", "extra"}, "0|usage|2", {focus}},
        {{"extra", "-vm", "inst1"}, "0|usage|-1", {}},  // the scan ends at the refused argument
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        std::string caseLog = logFile + std::to_string(i);
        setenv("LUM_DEBUG_LOG", caseLog.c_str(), 1);
        auto r = RunInChild([&] { return RunApp(here, cases[i].args); });
        std::string line = testing::PrintToString(cases[i].args);
        EXPECT_EQ(r.out, cases[i].out) << line;
        EXPECT_EQ(r.err, "") << line;
        EXPECT_EQ(lumtest::LogTexts(caseLog), cases[i].log) << line;
    }
}

// A first copy runs as a service; a second is refused with nothing
// initialized, a console copy is not; once the first has stopped (or been
// killed) a new copy starts.
TEST_F(LUMServiceApp, SecondCopyIsRefusedWhileTheFirstRuns)
{
    const std::string& here = tmp.path;
    const std::string service = "0|init,run(" + tmp.path + " server=1),deinit|-1";
    const struct {
        const char* registry;
        int stopSignal;
    } cases[] = {{"reg", SIGTERM}, {"", SIGKILL}};
    for (const auto& c : cases) {
        unlink(logFile.c_str());
        auto first = StartInBackground([&](int events) { return RunApp(here, {}, c.registry, events); });
        ASSERT_GT(first.pid, 0);
        ASSERT_EQ(ReadByte(first.events), 'r') << c.registry;

        auto second = RunInChild([&] { return RunApp(here, {}, c.registry); });
        EXPECT_EQ(second.err, "service [" + std::string(c.registry) + "] is already running.");
        EXPECT_EQ(second.out, "-5||-1") << "nothing of the second copy ran";

        auto console = RunInChild([&] { return RunApp(here, {"-console"}, c.registry); });
        EXPECT_EQ(console.err, "");
        EXPECT_EQ(console.out, "0|init,console(" + tmp.path + " server=0),deinit|-1");

        int status = first.Stop(c.stopSignal);
        if (c.stopSignal == SIGTERM) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first copy stopped in order";
        }

        auto next = RunInChild([&] { return RunApp(here, {}, c.registry); });
        EXPECT_EQ(next.err, "") << c.registry;
        EXPECT_EQ(next.out, service) << c.registry;
        std::string checkin = "DEBUG Service [" + std::string(c.registry) + "] is checked in.";
        EXPECT_EQ(lumtest::LogTexts(logFile), (std::vector<std::string>{checkin, checkin}));
    }
}

TEST_F(LUMServiceApp, CheckedInServiceMovesToTheCoreDirectory)
{
    const std::string start = tmp.path + "/start";
    const std::string core = tmp.path + "/core";
    ASSERT_EQ(mkdir(start.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(core.c_str(), 0755), 0);
    const struct {
        std::string text;  // "" for no file at all
        std::string cwd;
    } cases[] = {
        {"[Base]\ndCOREDIR=" + core + "\n", core},
        {"", start},
        {"[Other]\ndCOREDIR=" + core + "\n", start},
        {"[Base]\ndCOREDIR=" + tmp.path + "/missing\n", start},
    };
    for (const auto& c : cases) {
        unlink(configFile.c_str());
        if (!c.text.empty()) {
            ASSERT_TRUE(testsupport::WriteFile(configFile, c.text));
        }
        auto r = RunInChild([&start] { return RunApp(start, {}); });
        EXPECT_EQ(r.out, "0|init,run(" + c.cwd + " server=1),deinit|-1") << c.text;
    }
}

TEST_F(LUMServiceApp, FailedCheckInIsLoggedAndTheServiceRunsOnWhereItWas)
{
    ASSERT_TRUE(testsupport::WriteFile(tmp.path + "/plain", ""));
    setenv("LUM_RUNTIME_DIR", (tmp.path + "/plain/lum").c_str(), 1);
    ASSERT_TRUE(testsupport::WriteFile(configFile, "[Base]\ndCOREDIR=/\n"));
    auto r = RunInChild([this] { return RunApp(tmp.path, {"-vm", "inst1"}); });
    EXPECT_EQ(r.out, "0|init,run(" + tmp.path + " server=0),deinit|2");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lumtest::LogTexts(logFile), (std::vector<std::string>{"DEBUG Focus set to instance [inst1].",
                                                                    "ERROR Service [reg] checkin failed."}));
}

}  // namespace
