// CBaseServiceApp seen by a client: names, the command line, Main's results and LogMessage.
// SPDX-License-Identifier: MIT
#include <BaseServiceApp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"

using testsupport::Argv;
using testsupport::ChildResult;
using testsupport::RunInChild;

namespace {

// A client class supplying the pure operations and recording every call.
class RecordingApp : public CBaseServiceApp {
public:
    std::string calls;
    std::vector<std::string> offered;  // "index:argument" seen by the handler
    bool result = true;                // what the action operations return
    std::string thrower;               // the operation that throws std::runtime_error("boom")
    bool parseResult = true;           // what ParseCommandLine returns

    bool InstallService() override { return Record("install"); }
    bool UninstallService() override { return Record("uninstall"); }
    bool StartService() override { return Record("start"); }
    bool StopService() override { return Record("stop"); }
    bool RunAsService() override { return Record("service"); }
    bool RunAsConsole() override { return Record("console"); }
    bool DisplayUsage() override { return Record("usage"); }
    void RunCustom() override { Record("custom"); }
    void Run() override { Record("run"); }
    bool ParseCommandLineArgument(char* argument, int index) override
    {
        offered.push_back(std::to_string(index) + ":" + argument);
        return strcmp(argument, "-x") == 0;
    }
    bool ParseCommandLine(int argc, char** argv) override
    {
        return CBaseServiceApp::ParseCommandLine(argc, argv) && parseResult;
    }
    // The three name fields as "service|registry|aux", each checked to be
    // NUL-terminated with only NULs after its text.
    std::string Names()
    {
        std::string names;
        for (const char* field : {m_serviceName, m_registryName, m_auxName}) {
            size_t length = strnlen(field, 256);
            bool clean =
                length < 256 && std::string(field + length, 256 - length) == std::string(256 - length, 0);
            names += std::string(field, length) + (clean ? "|" : "<unclean>|");
        }
        return names.substr(0, names.size() - 1);
    }
    const char* ProgramPath() { return m_programPath; }
    void ForceAction(int action) { m_action = action; }
    bool Parse(std::vector<std::string> args)
    {
        Argv argv(args);
        return ParseCommandLine(argv.argc(), argv.argv());
    }
    int MainWith(std::vector<std::string> args)  // after argv[0]
    {
        args.insert(args.begin(), "prog");
        Argv argv(args);
        return Main(argv.argc(), argv.argv());
    }

private:
    bool Record(const char* what)
    {
        calls += calls.empty() ? what : std::string(",") + what;
        if (thrower == what) {
            throw std::runtime_error("boom");
        }
        return result;
    }
};

TEST(Construction, DefaultStateAndPausedFlag)
{
    RecordingApp app;
    EXPECT_EQ(app.GetAction(), eActionRunService);
    EXPECT_FALSE(app.CheckServiceNameSet() || app.CheckQuitFlag() || app.CheckPausedFlag() ||
                 app.IsConsoleMode());
    EXPECT_EQ(app.Names(), "||");
    EXPECT_STREQ(app.ProgramPath(), "");
    EXPECT_EQ(CBaseServiceApp::GetServiceAppInstance(), nullptr);
    app.SetPausedFlag();
    EXPECT_TRUE(app.CheckPausedFlag());
    app.UnsetPausedFlag();
    EXPECT_FALSE(app.CheckPausedFlag());
}

TEST(Names, ThreeNameRulesAndTheCutAt255Bytes)
{
    RecordingApp app;
    app.SetServiceName("");
    EXPECT_TRUE(app.CheckServiceNameSet());
    app.SetServiceName("svc", nullptr, "aux");
    EXPECT_EQ(app.Names(), "svc||aux");
    app.SetServiceName("longer-name", "reg", nullptr);
    app.SetServiceName("ab", "reg", nullptr);
    EXPECT_EQ(app.Names(), "ab|reg|");
    EXPECT_TRUE(app.CheckServiceNameSet());
    app.SetServiceName(nullptr);
    EXPECT_FALSE(app.CheckServiceNameSet());
    EXPECT_EQ(app.Names(), "||");
    for (size_t length : {255u, 256u, 5000u}) {
        std::string name(length, 'n');
        std::string cut(255, 'n');
        app.SetServiceName(name.c_str(), name.c_str(), name.c_str());
        EXPECT_EQ(app.Names(), cut + "|" + cut + "|" + cut) << length;
    }
}

// The handler accepts "-x" only.
TEST(CommandLine, OptionsAndTheArgumentHandler)
{
    const struct {
        std::vector<std::string> args;  // after argv[0]
        int action;
        std::vector<std::string> offered;
    } cases[] = {
        // clang-format off
        {{}, eActionRunService, {}}, {{"-console"}, eActionConsole, {}}, {{"-help"}, eActionUsage, {}},
        {{"-?"}, eActionUsage, {}}, {{"-INSTALL"}, eActionInstall, {}}, {{"-Stop"}, eActionStop, {}},
        {{"-UnInstall"}, eActionUninstall, {}}, {{"-start"}, eActionStart, {}},
        {{"-install", "-console"}, eActionConsole, {}}, {{"-install", "extra"}, eActionUsage, {"2:extra"}},
        {{"extra", "-install"}, eActionUsage, {"1:extra"}},
        {{"-installx"}, eActionUsage, {"1:-installx"}}, {{"-consol"}, eActionUsage, {"1:-consol"}},
        {{"install"}, eActionUsage, {"1:install"}}, {{""}, eActionUsage, {"1:"}},
        {{"-\xc4\xb0nstall"}, eActionUsage, {"1:-\xc4\xb0nstall"}},  // dotted capital I is not 'i'
        {{"-x", "-install"}, eActionInstall, {"1:-x"}},
        {{"-console", "-x", "-x", "-stop"}, eActionStop, {"2:-x", "3:-x"}},
        {{"-x", "-console", "-y", "-install"}, eActionUsage, {"1:-x", "3:-y"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"/usr/bin/prog"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RecordingApp app;
        EXPECT_TRUE(app.Parse(args));
        std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(app.GetAction(), c.action) << line;
        EXPECT_EQ(app.offered, c.offered) << line;
        EXPECT_STREQ(app.ProgramPath(), "/usr/bin/prog") << line;
    }
}

TEST(CommandLine, ActionSetBeforeStandsAndProgramPathIsCutTo1023Bytes)
{
    RecordingApp app;
    app.SetCustomAction();
    app.Parse({std::string(5000, 'p')});
    EXPECT_EQ(app.GetAction(), eActionCustom) << "no option leaves the action alone";
    EXPECT_EQ(std::string(app.ProgramPath()), std::string(1023, 'p'));
    app.Parse({std::string(1023, 'q'), "-install"});
    EXPECT_EQ(app.GetAction(), eActionInstall);
    EXPECT_EQ(std::string(app.ProgramPath()), std::string(1023, 'q'));
    EXPECT_TRUE(app.ParseCommandLine(0, nullptr));
    EXPECT_STREQ(app.ProgramPath(), "");
    app.Parse({"prog"});
    char* nullFirst[] = {nullptr};
    EXPECT_TRUE(app.ParseCommandLine(1, nullFirst));
    EXPECT_STREQ(app.ProgramPath(), "");
}

TEST(Main, ResultCodesAndDispatch)
{
    using App = RecordingApp;
    const struct {
        std::vector<std::string> args;
        void (*setup)(App&);  // after naming the service "svc"
        int expected;
        const char* calls;
    } cases[] = {
        // clang-format off
        {{}, nullptr, 0, "service"}, {{"-console"}, nullptr, 0, "console"}, {{"-?"}, nullptr, 0, "usage"},
        {{"-install"}, nullptr, 0, "install"}, {{"-uninstall"}, nullptr, 0, "uninstall"},
        {{"-start"}, nullptr, 0, "start"}, {{"-stop"}, nullptr, 0, "stop"},
        {{"-install"}, [](App& a) { a.result = false; }, -5, "install"},
        {{}, [](App& a) { a.result = false; }, -5, "service"},
        {{}, [](App& a) { a.result = false; a.SetCustomAction(); }, 0, "custom"},  // its outcome is ignored
        {{"-install"}, [](App& a) { a.SetServiceName(nullptr); }, -2, ""},
        {{}, [](App& a) { a.SetServiceName(""); }, 0, "service"},
        {{"-install"}, [](App& a) { a.parseResult = false; }, -3, ""},
        {{"-y"}, nullptr, -3, "usage"}, {{"-x", "-help", "-y"}, [](App& a) { a.result = false; }, -3, "usage"},
        {{"-help", "-x"}, [](App& a) { a.result = false; }, -5, "usage"},
        {{"-install"}, [](App& a) { a.thrower = "install"; }, -5, "install"},
        {{}, [](App& a) { a.thrower = "custom"; a.SetCustomAction(); }, -5, "custom"},
        {{}, [](App& a) { a.parseResult = false; a.SetServiceName(nullptr); }, -3, ""},  // parse judged first
        {{}, [](App& a) { a.ForceAction(8); }, -4, ""},
        {{}, [](App& a) { a.ForceAction(-1); }, -4, ""},
        // clang-format on
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const auto& c = cases[i];
        ChildResult r = RunInChild([&c] {
            App app;
            app.SetServiceName("svc");
            if (c.setup != nullptr) {
                c.setup(app);
            }
            int rc = app.MainWith(c.args);
            printf("%d|%s|%d", rc, app.calls.c_str(), CBaseServiceApp::GetServiceAppInstance() == &app);
            return 0;
        });
        EXPECT_EQ(r.out, std::to_string(c.expected) + "|" + c.calls + "|1") << "case " << i;
    }
}

// While an object is registered any other Main returns -1; destroying it
// (and not some other object) clears the registration.
TEST(Main, OnlyOneRegisteredObjectAtATime)
{
    ChildResult r = RunInChild([] {
        auto first = new RecordingApp;
        first->SetServiceName("one");
        RecordingApp second;
        second.SetServiceName("two");
        int a = first->MainWith({"-install"});
        int b = first->MainWith({"-install"});
        int c = second.MainWith({"-install"});
        printf("%d %d %d %s|%s|%s ", a, b, c, first->calls.c_str(), second.calls.c_str(),
               second.ProgramPath());
        delete new RecordingApp;  // destroying an unregistered object changes nothing
        printf("%d ", CBaseServiceApp::GetServiceAppInstance() == first);
        delete first;
        printf("%d ", CBaseServiceApp::GetServiceAppInstance() == nullptr);
        printf("%d %s", second.MainWith({"-install"}), second.calls.c_str());
        return 0;
    });
    EXPECT_EQ(r.out, "0 -1 -1 install|| 1 1 0 install");
}

TEST(LogMessage, PrintsOnlyInConsoleModeCutToTheBufferAndReportsFormatFailure)
{
    ChildResult r = RunInChild([] {
        RecordingApp app;
        app.LogMessage(0, "hidden %d", 1);
        app.ForceAction(eActionConsole);
        app.LogMessage(7, "shown %s %d%%", "text", 42);
        app.LogMessage(0, "%s", std::string(3000, 'x').c_str());
        const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};  // no multibyte form
        app.LogMessage(0, "%ls", bad);
        app.ForceAction(eActionInstall);
        app.LogMessage(0, "hidden again");
        return 0;
    });
    EXPECT_EQ(r.out, "shown text 42%\n" + std::string(1023, 'x') + "\nFAILED TO FORMAT MESSAGE\n");
}

}  // namespace
