// CBaseServiceApp seen by a client: names, the command line, Main's results and LogMessage.
#include <BaseServiceApp.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cwchar>
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
    bool parseResult = true;           // what ParseCommandLine returns
    std::string accept;                // an argument the handler accepts

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
        return !accept.empty() && accept == argument;
    }
    bool ParseCommandLine(int argc, char** argv) override
    {
        return CBaseServiceApp::ParseCommandLine(argc, argv) && parseResult;
    }

    const char* ServiceName() { return m_serviceName; }
    const char* RegistryName() { return m_registryName; }
    const char* AuxName() { return m_auxName; }
    const char* ProgramPath() { return m_programPath; }
    bool NameFieldsTerminated()
    {
        return memchr(m_serviceName, 0, 256) && memchr(m_registryName, 0, 256) && memchr(m_auxName, 0, 256);
    }
    void ForceAction(int action) { m_action = action; }
    bool FieldZeroAfter(const char* field, size_t size, size_t from)
    {
        for (size_t i = from; i < size; ++i) {
            if (field[i] != '\0') {
                return false;
            }
        }
        return true;
    }
    bool NameZeroAfter(size_t from) { return FieldZeroAfter(m_serviceName, 256, from); }

private:
    bool Record(const char* what)
    {
        calls += calls.empty() ? what : std::string(",") + what;
        return result;
    }
};

TEST(Construction, NewObjectHasDefaultStateAndNoInstanceIsRegistered)
{
    ChildResult r = RunInChild([] {
        RecordingApp app;
        bool ok = app.GetAction() == eActionRunService && !app.CheckServiceNameSet() &&
                  *app.ServiceName() == 0 && *app.RegistryName() == 0 && *app.AuxName() == 0 &&
                  *app.ProgramPath() == 0 && !app.CheckQuitFlag() && !app.CheckPausedFlag() &&
                  !app.IsConsoleMode() && CBaseServiceApp::GetServiceAppInstance() == nullptr;
        return ok ? 0 : 1;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
}

TEST(Construction, FlagsFollowTheirSetters)
{
    RecordingApp app;
    app.SetPausedFlag();
    EXPECT_TRUE(app.CheckPausedFlag());
    app.UnsetPausedFlag();
    EXPECT_FALSE(app.CheckPausedFlag());
    app.SetQuitFlag();
    EXPECT_TRUE(app.CheckQuitFlag());
    app.SetCustomAction();
    EXPECT_EQ(app.GetAction(), eActionCustom);
}

TEST(Names, ThreeNameRules)
{
    RecordingApp app;
    app.SetServiceName("");
    EXPECT_TRUE(app.CheckServiceNameSet());
    EXPECT_STREQ(app.ServiceName(), "");

    app.SetServiceName("svc", nullptr, "aux");
    EXPECT_TRUE(app.CheckServiceNameSet());
    EXPECT_STREQ(app.ServiceName(), "svc");
    EXPECT_STREQ(app.RegistryName(), "");
    EXPECT_STREQ(app.AuxName(), "aux");

    app.SetServiceName("longer-name", "reg", nullptr);
    app.SetServiceName("ab", "reg", nullptr);
    EXPECT_TRUE(app.NameZeroAfter(2)) << "the rest of the field is NUL-padded";
    EXPECT_STREQ(app.RegistryName(), "reg");
    EXPECT_STREQ(app.AuxName(), "");

    app.SetServiceName(nullptr);
    EXPECT_FALSE(app.CheckServiceNameSet());
    EXPECT_TRUE(app.NameZeroAfter(0));
    EXPECT_STREQ(app.RegistryName(), "");
}

TEST(Names, OverlongNamesAreCutTo255BytesAndStayTerminated)
{
    RecordingApp app;
    for (size_t length : {255u, 256u, 300u, 5000u}) {
        std::string name(length, 'n');
        app.SetServiceName(name.c_str(), name.c_str(), name.c_str());
        EXPECT_TRUE(app.NameFieldsTerminated()) << length;
        EXPECT_EQ(strlen(app.ServiceName()), 255u) << length;
        EXPECT_EQ(strlen(app.RegistryName()), 255u) << length;
        EXPECT_EQ(strlen(app.AuxName()), 255u) << length;
    }
}

struct ParseCase {
    std::vector<std::string> args;  // after argv[0]
    int action;
    std::vector<std::string> offered;
    std::string accept = "";
};

TEST(CommandLine, OptionsAndTheArgumentHandler)
{
    const ParseCase cases[] = {
        {{}, eActionRunService, {}},
        {{"-console"}, eActionConsole, {}},
        {{"-help"}, eActionUsage, {}},
        {{"-?"}, eActionUsage, {}},
        {{"-install"}, eActionInstall, {}},
        {{"-INSTALL"}, eActionInstall, {}},
        {{"-UnInstall"}, eActionUninstall, {}},
        {{"-start"}, eActionStart, {}},
        {{"-Stop"}, eActionStop, {}},
        {{"-install", "-console"}, eActionConsole, {}},
        {{"-install", "extra"}, eActionUsage, {"2:extra"}},
        {{"extra", "-install"}, eActionUsage, {"1:extra"}},
        {{"-installx"}, eActionUsage, {"1:-installx"}},
        {{"-consol"}, eActionUsage, {"1:-consol"}},
        {{"install"}, eActionUsage, {"1:install"}},
        {{""}, eActionUsage, {"1:"}},
        {{"-x", "-install"}, eActionInstall, {"1:-x"}, "-x"},
        {{"-console", "-x", "-x", "-stop"}, eActionStop, {"2:-x", "3:-x"}, "-x"},
        {{"-x", "-console", "-y", "-install"}, eActionUsage, {"1:-x", "3:-y"}, "-x"},
    };
    for (const ParseCase& c : cases) {
        std::vector<std::string> args{"/usr/bin/prog"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Argv argv(args);
        RecordingApp app;
        app.accept = c.accept;
        EXPECT_TRUE(app.ParseCommandLine(argv.argc(), argv.argv()));
        std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(app.GetAction(), c.action) << line;
        EXPECT_EQ(app.offered, c.offered) << line;
        EXPECT_STREQ(app.ProgramPath(), "/usr/bin/prog") << line;
    }
}

TEST(CommandLine, OptionCaseIsAsciiOnlyWhateverTheLocale)
{
    RecordingApp app;
    Argv argv({"prog", "-\xc4\xb0nstall"});  // dotted capital I is not 'i'
    app.ParseCommandLine(argv.argc(), argv.argv());
    EXPECT_EQ(app.GetAction(), eActionUsage);
}

TEST(CommandLine, ActionSetBeforeParsingStandsUnlessAnOptionChangesIt)
{
    RecordingApp app;
    app.SetCustomAction();
    Argv none({"prog"});
    app.ParseCommandLine(none.argc(), none.argv());
    EXPECT_EQ(app.GetAction(), eActionCustom);
    Argv install({"prog", "-install"});
    app.ParseCommandLine(install.argc(), install.argv());
    EXPECT_EQ(app.GetAction(), eActionInstall);
}

TEST(CommandLine, ProgramPathIsCutTo1023BytesAndOddArgvIsHarmless)
{
    RecordingApp app;
    Argv longPath({std::string(5000, 'p')});
    app.ParseCommandLine(longPath.argc(), longPath.argv());
    EXPECT_EQ(strlen(app.ProgramPath()), 1023u);

    Argv exact({std::string(1023, 'q')});
    app.ParseCommandLine(exact.argc(), exact.argv());
    EXPECT_EQ(std::string(app.ProgramPath()), std::string(1023, 'q'));

    EXPECT_TRUE(app.ParseCommandLine(0, nullptr));
    EXPECT_STREQ(app.ProgramPath(), "");
    char* nullFirst[] = {nullptr};
    EXPECT_TRUE(app.ParseCommandLine(1, nullFirst));
    EXPECT_STREQ(app.ProgramPath(), "");
    EXPECT_EQ(app.GetAction(), eActionRunService);
}

struct MainCase {
    const char* what;
    std::vector<std::string> args;
    std::function<void(RecordingApp&)> setup;
    int expected;
    std::string calls;
};

TEST(Main, ResultCodesAndDispatch)
{
    auto named = [](RecordingApp& a) { a.SetServiceName("svc"); };
    // clang-format off
    const MainCase cases[] = {
        {"no arguments run the service", {}, named, 0, "service"},
        {"console", {"-console"}, named, 0, "console"},
        {"usage", {"-?"}, named, 0, "usage"},
        {"install", {"-install"}, named, 0, "install"},
        {"uninstall", {"-uninstall"}, named, 0, "uninstall"},
        {"start", {"-start"}, named, 0, "start"},
        {"stop", {"-stop"}, named, 0, "stop"},
        {"failing action", {"-install"}, [](RecordingApp& a) { a.SetServiceName("svc"); a.result = false; }, -5, "install"},
        {"failing service", {}, [](RecordingApp& a) { a.SetServiceName("svc"); a.result = false; }, -5, "service"},
        {"custom ignores its outcome", {}, [](RecordingApp& a) { a.SetServiceName("svc"); a.result = false; a.SetCustomAction(); }, 0, "custom"},
        {"no name", {"-install"}, [](RecordingApp&) {}, -2, ""},
        {"name cleared", {}, [](RecordingApp& a) { a.SetServiceName("svc"); a.SetServiceName(nullptr); }, -2, ""},
        {"empty name counts", {}, [](RecordingApp& a) { a.SetServiceName(""); }, 0, "service"},
        {"parse failure", {"-install"}, [](RecordingApp& a) { a.SetServiceName("svc"); a.parseResult = false; }, -3, ""},
        {"parse failure before name check", {}, [](RecordingApp& a) { a.parseResult = false; }, -3, ""},
        {"action out of range", {}, [](RecordingApp& a) { a.SetServiceName("svc"); a.ForceAction(8); }, -4, ""},
        {"negative action", {}, [](RecordingApp& a) { a.SetServiceName("svc"); a.ForceAction(-1); }, -4, ""},
    };
    // clang-format on
    for (const MainCase& c : cases) {
        ChildResult r = RunInChild([&c] {
            RecordingApp app;
            c.setup(app);
            std::vector<std::string> args{"prog"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            Argv argv(args);
            int rc = app.Main(argv.argc(), argv.argv());
            bool registered = CBaseServiceApp::GetServiceAppInstance() == &app;
            printf("%d|%s|%d", rc, app.calls.c_str(), registered ? 1 : 0);
            return 0;
        });
        EXPECT_EQ(r.out, std::to_string(c.expected) + "|" + c.calls + "|1") << c.what;
    }
}

TEST(Main, SecondCallReturnsMinusOneWhileAnObjectIsRegistered)
{
    ChildResult r = RunInChild([] {
        Argv argv({"prog", "-install"});
        RecordingApp first;
        first.SetServiceName("one");
        int a = first.Main(argv.argc(), argv.argv());
        int b = first.Main(argv.argc(), argv.argv());
        RecordingApp second;
        second.SetServiceName("two");
        int c = second.Main(argv.argc(), argv.argv());
        printf("%d %d %d %s|%s|%s", a, b, c, first.calls.c_str(), second.calls.c_str(), second.ProgramPath());
        return 0;
    });
    EXPECT_EQ(r.out, "0 -1 -1 install||");
}

TEST(Main, DestroyingTheRegisteredObjectLetsANewOneRun)
{
    ChildResult r = RunInChild([] {
        Argv argv({"prog", "-install"});
        {
            RecordingApp first;
            first.SetServiceName("one");
            (void)first.Main(argv.argc(), argv.argv());
        }
        bool cleared = CBaseServiceApp::GetServiceAppInstance() == nullptr;
        RecordingApp other;  // destroying an unregistered object changes nothing
        {
            RecordingApp bystander;
        }
        RecordingApp second;
        second.SetServiceName("two");
        int rc = second.Main(argv.argc(), argv.argv());
        printf("%d %d %s", cleared ? 1 : 0, rc, second.calls.c_str());
        return 0;
    });
    EXPECT_EQ(r.out, "1 0 install");
}

TEST(LogMessage, PrintsOnlyInConsoleModeCutToTheBuffer)
{
    ChildResult r = RunInChild([] {
        RecordingApp app;
        app.LogMessage(0, "hidden %d", 1);
        app.ForceAction(eActionConsole);
        app.LogMessage(7, "shown %s %d%%", "text", 42);
        std::string big(3000, 'x');
        app.LogMessage(0, "%s", big.c_str());
        app.ForceAction(eActionInstall);
        app.LogMessage(0, "hidden again");
        return 0;
    });
    EXPECT_EQ(r.out, "shown text 42%\n" + std::string(1023, 'x') + "\n");
}

TEST(LogMessage, FormattingFailureIsReported)
{
    ChildResult r = RunInChild([] {
        RecordingApp app;
        app.ForceAction(eActionConsole);
        const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};  // no multibyte form
        app.LogMessage(0, "%ls", bad);
        return 0;
    });
    EXPECT_EQ(r.out, "FAILED TO FORMAT MESSAGE\n");
}

}  // namespace
