// Installing and removing the init script and its links, on the real paths inside a private mount namespace.
#include <ServiceApp.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Namespace.h"
#include "unix/InitScripts.h"
#include "unix/SysOps.h"

using namespace testsupport;
using serviceapp::g_sysOps;

namespace {

std::string Script(eLinuxDistribution d, const std::string& name, const std::string& path)
{
    char text[8192];
    int n = serviceapp::FillInitScript(d, name.c_str(), path.c_str(), text, sizeof(text));
    return n < 0 ? "(no template)" : std::string(text, static_cast<size_t>(n));
}

// What a successful install changes under /etc.
Snapshot Installed(eLinuxDistribution d, const std::string& name, const std::string& path)
{
    Snapshot changes = {{"init.d/" + name, "file 0755\n" + Script(d, name, path)}};
    for (int level = 0; level <= 6; ++level) {
        changes[LinkOf(d, level, name)] = "-> /etc/init.d/" + name;
    }
    return changes;
}

std::string Removing(eLinuxDistribution d, const std::string& name)
{
    std::string out;
    for (int level = 0; level <= 6; ++level) {
        out += "Removing /etc/" + LinkOf(d, level, name) + "\n";
    }
    return out;
}

std::string Shown(const std::string& text, size_t max)
{
    std::string shown = text.substr(0, max);
    for (char& c : shown) {
        c = (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return shown;
}

class App : public CServiceApp {
public:
    char* NameField() { return m_serviceName; }
    const char* ProgramPath() { return m_programPath; }
    void ChooseInstall() { m_action = eActionInstall; }
};

// Runs Main(argv0, option) on a fresh object in a child of the namespace
// body (Main works once per process) and returns -Main, so 5 means -5.
// prepare runs before Main; after, when given, must hold afterwards (else 9).
int Main(const std::string& name, const std::string& argv0, const char* option, int argc = 2,
         void (*prepare)(App&) = nullptr, bool (*after)(App&) = nullptr)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60);  // a hang in here is a failure, not a stuck suite
        App app;
        app.SetServiceName(name.c_str());
        if (prepare != nullptr) {
            prepare(app);
        }
        std::string a0 = argv0;
        char* argv[] = {argc > 0 ? &a0[0] : nullptr, const_cast<char*>(option), nullptr};
        int rc = -app.Main(argc, argc > 0 ? argv : argv + 2);
        if (after != nullptr && !after(app)) {
            rc = 9;
        }
        fflush(stdout);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

const char kPath[] = "/opt/x/bin/svc";

class Install : public NamespaceTest {};

TEST_F(Install, EachFamilyWritesItsScriptAndSevenLinksAndUninstallRemovesThem)
{
    for (eLinuxDistribution d :
         {eDistRedHat, eDistCentOS, eDistOracle, eDistSuSE, eDistUbuntu, eDistDebian}) {
        SCOPED_TRACE(d);
        Namespace ns(Host(d));
        Snapshot before = ns.Take();
        ChildResult r = ns.Run([] { return Main("svc", kPath, "-install"); });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "Installing Service svc\n");
        EXPECT_EQ(Changes(before, ns.Take()), Installed(d, "svc", kPath));
        r = ns.Run([] { return Main("svc", kPath, "-uninstall"); });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, Removing(d, "svc"));
        EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
    }
}

TEST_F(Install, ReinstallRewritesTheScriptAndCountsItsOwnLinksAsMade)
{
    Namespace ns(Host(eDistDebian));
    Snapshot before = ns.Take();
    ChildResult r =
        ns.Run([] { return Main("svc", "/opt/old/svc", "-install") * 10 + Main("svc", kPath, "-install"); });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Installing Service svc\nInstalling Service svc\n");
    EXPECT_EQ(Changes(before, ns.Take()), Installed(eDistDebian, "svc", kPath));
}

TEST_F(Install, UninstallOfNothingPrintsSevenLinesAndSucceeds)
{
    for (eLinuxDistribution d : {eDistDebian, eDistSuSE}) {
        Namespace ns(Host(d));
        Snapshot before = ns.Take();
        ChildResult r = ns.Run([] { return Main("svc", kPath, "-uninstall"); });
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, Removing(d, "svc"));
        EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
    }
}

TEST_F(Install, FedoraLeavesAnExistingScriptAloneButUninstallGoesThrough)
{
    EtcLayout layout = Host(eDistFedora);
    layout.files["init.d/svc"] = "earlier script\n";
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] { return Main("svc", kPath, "-install"); });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "Installing Service svc\nunknown init script.\n");
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
    r = ns.Run([] { return Main("svc", kPath, "-uninstall"); });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, Removing(eDistRedHat, "svc"));
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot({{"init.d/svc", ""}}));
}

// Refusals that print one line and change nothing.
TEST_F(Install, RefusesWithOneLineAndChangesNothing)
{
    EtcLayout noInitDir = Host(eDistDebian);
    noInitDir.dirs.erase(noInitDir.dirs.begin());
    noInitDir.hide.push_back("init.d");
    EtcLayout existing = Host(eDistDebian);
    existing.files["init.d/svc"] = "earlier script\n";
    const struct {
        const char* what;
        EtcLayout layout;
        const char* option;
        std::string argv0;
        std::string out;
    } cases[] = {
        {"unknown distribution", Host(eDistUnknown), "-install", kPath, "Unrecognized linux distribution\n"},
        {"unknown distribution", Host(eDistUnknown), "-uninstall", kPath,
         "Unrecognized linux distribution\n"},
        {"no /etc/init.d", noInitDir, "-install", kPath,
         "Could not find /etc/init.d, install is not supported on this distribution\n"},
        {"no /etc/init.d before the path", noInitDir, "-install", "/opt/a b",
         "Could not find /etc/init.d, install is not supported on this distribution\n"},
        {"unsafe path", existing, "-install", "/opt/x;y", "Invalid program path [/opt/x;y]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Namespace ns(c.layout);
        Snapshot before = ns.Take();
        ChildResult r = ns.Run([&] { return Main("svc", c.argv0, c.option); });
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
    }
}

TEST_F(Install, UnprivilegedUserCannotInstallOrRemove)
{
    EtcLayout layout = Host(eDistDebian);
    layout.files["init.d/svc"] = "earlier script\n";
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            return 99;
        }
        return Main("svc", kPath, "-install") * 10 + Main("svc", kPath, "-uninstall");
    });
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(r.out,
              "cannot write to /etc/init.d, please install as root\n"
              "Failed to remove [/etc/init.d/svc]: Permission denied\n" +
                  Removing(eDistDebian, "svc"));
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
}

TEST_F(Install, NameFieldWithoutTerminatorIsRefused)
{
    Namespace ns(Host(eDistDebian));
    Snapshot before = ns.Take();
    auto fill = [](App& app) { memset(app.NameField(), 'a', 256); };
    ChildResult r = ns.Run(
        [&] { return Main("x", kPath, "-install", 2, fill) * 10 + Main("x", kPath, "-uninstall", 2, fill); });
    EXPECT_EQ(r.exitCode, 55);
    std::string line = "Invalid service name [" + std::string(256, 'a') + "]\n";
    EXPECT_EQ(r.out, line + line);
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
}

TEST_F(Install, RelativeOrMissingProgramPathWritesTheRunningExecutable)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self));
    ASSERT_GT(n, 0);
    std::string exe(self, static_cast<size_t>(n));
    Namespace ns(Host(eDistDebian));
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        auto keepsArgv0 = [](App& app) { return strcmp(app.ProgramPath(), "svc") == 0; };
        return Main("svc", "svc", "-install", 2, nullptr, keepsArgv0) * 10 +
               Main("svc", "", "", 0, [](App& app) { app.ChooseInstall(); });
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Changes(before, ns.Take()), Installed(eDistDebian, "svc", exe));
}

// Seam fault: every call of the swapped entry fails with g_fault.
int g_fault;
template <typename R, typename... A>
R Fail(A...)
{
    errno = g_fault;
    return -1;
}

TEST_F(Install, FailedSystemCallsAreReportedAndKeepTheEarlierScript)
{
    std::string links;
    std::string removals = "Failed to remove [/etc/init.d/svc]: Permission denied\n";
    for (int level = 0; level <= 6; ++level) {
        std::string link = "/etc/" + LinkOf(eDistDebian, level, "svc");
        links += "Failed to create link [" + link + "]: Permission denied\n";
        removals += "Removing " + link + "\nFailed to remove [" + link + "]: Permission denied\n";
    }
    const std::string installing = "Installing Service svc\n";
    const struct {
        void (*arm)();
        int error;
        const char* option;
        std::string out;
        bool scriptReplaced;
    } cases[] = {
        {[] { g_sysOps.Open = Fail<int, const char*, int, mode_t>; }, ENOSPC, "-install",
         installing + "Failed to create init script [/etc/init.d/svc], 28\n", false},
        {[] { g_sysOps.Write = Fail<ssize_t, int, const void*, size_t>; }, ENOSPC, "-install",
         installing + "Failed to write init script [/etc/init.d/svc], 28\n", false},
        {[] { g_sysOps.Fchmod = Fail<int, int, mode_t>; }, EROFS, "-install",
         installing + "Failed to write init script [/etc/init.d/svc], 30\n", false},
        {[] { g_sysOps.Fsync = Fail<int, int>; }, EIO, "-install",
         installing + "Failed to write init script [/etc/init.d/svc], 5\n", false},
        {[] { g_sysOps.Close = Fail<int, int>; }, EIO, "-install",
         installing + "Failed to write init script [/etc/init.d/svc], 5\n", false},
        {[] { g_sysOps.Rename = Fail<int, const char*, const char*>; }, EACCES, "-install",
         installing + "Failed to write init script [/etc/init.d/svc], 13\n", false},
        {[] { g_sysOps.Symlink = Fail<int, const char*, const char*>; }, EACCES, "-install",
         installing + links, true},
        {[] {
             g_sysOps.Access = [](const char* path, int mode) {
                 return (mode & W_OK) ? (errno = EACCES, -1) : access(path, mode);
             };
         },
         0, "-install", "cannot write to /etc/init.d, please install as root\n", false},
        {[] { g_sysOps.Unlink = Fail<int, const char*>; }, EACCES, "-uninstall", removals, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        Namespace ns(Host(eDistDebian));
        ASSERT_EQ(ns.Run([] { return Main("svc", "/opt/good/svc", "-install"); }).exitCode, 0);
        Snapshot before = ns.Take();
        ChildResult r = ns.Run([&] {
            g_fault = c.error;
            c.arm();
            return Main("svc", kPath, c.option);
        });
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.out, c.out);
        Snapshot expected;
        if (c.scriptReplaced) {
            expected["init.d/svc"] = "file 0755\n" + Script(eDistDebian, "svc", kPath);
        }
        EXPECT_EQ(Changes(before, ns.Take()), expected);
    }
}

TEST_F(Install, DeletedExecutableIsRefused)
{
    Namespace ns(Host(eDistDebian));
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        g_sysOps.Readlink = [](const char*, char* buffer, size_t size) {
            return static_cast<ssize_t>(snprintf(buffer, size, "/opt/x/svc (deleted)"));
        };
        return Main("svc", "svc", "-install");
    });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out, "Invalid program path [/opt/x/svc (deleted)]\n");
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
}

TEST_F(Install, LinkFailuresAreReportedAndTheOtherLevelsStillLinked)
{
    EtcLayout layout = Host(eDistDebian);
    layout.dirs.erase(std::find(layout.dirs.begin(), layout.dirs.end(), "rc3.d"));
    layout.hide.push_back("rc3.d");
    layout.files["rc2.d/S55svc"] = "foreign\n";
    layout.symlinks["rc5.d/S55svc"] = "/etc/init.d/other";
    layout.symlinks["rc0.d/K55svc"] = "../init.d/svc";  // as update-rc.d writes it: already ours
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] { return Main("svc", kPath, "-install"); });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out,
              "Installing Service svc\n"
              "Failed to create link [/etc/rc2.d/S55svc]: File exists\n"
              "Failed to create link [/etc/rc3.d/K55svc]: No such file or directory\n"
              "Failed to create link [/etc/rc5.d/S55svc]: File exists\n");
    Snapshot expected = Installed(eDistDebian, "svc", kPath);
    for (int level : {0, 2, 3, 5}) {
        expected.erase(LinkOf(eDistDebian, level, "svc"));
    }
    EXPECT_EQ(Changes(before, ns.Take()), expected);
}

TEST_F(Install, UninstallRemovesRenumberedLinksToItsScriptInSortedOrder)
{
    EtcLayout layout = Host(eDistDebian);
    layout.files["init.d/svc"] = "script\n";
    layout.symlinks = {
        {"rc2.d/S99svc", "/etc/init.d//svc"},  {"rc2.d/S01svc", "../init.d/svc"},
        {"rc0.d/K01svc", "/etc/init.d/svc"},   {"rc6.d/K20svc", "../../etc/./init.d/svc"},
        {"rc5.d/S20svc", "/etc/init.d/other"}, {"rc3.d/S01svcx", "../init.d/svc"},
        {"rc4.d/S1svc", "../init.d/svc"},      {"rc4.d/X01svc", "../init.d/svc"},
        {"rc1.d/S01svc", "init.d/svc"},
    };
    layout.files["rc1.d/K99svc"] = "not a link\n";
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] { return Main("svc", kPath, "-uninstall"); });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, Removing(eDistDebian, "svc") +
                         "Removing /etc/rc0.d/K01svc\nRemoving /etc/rc2.d/S01svc\n"
                         "Removing /etc/rc2.d/S99svc\nRemoving /etc/rc6.d/K20svc\n");
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot({{"init.d/svc", ""},
                                                    {"rc0.d/K01svc", ""},
                                                    {"rc2.d/S01svc", ""},
                                                    {"rc2.d/S99svc", ""},
                                                    {"rc6.d/K20svc", ""}}));
}

// Faults on disk, made real with mounts inside the namespace.
TEST_F(Install, FullInitDirKeepsTheEarlierScriptByteForByte)
{
    Namespace ns(Host(eDistDebian));
    ChildResult r = ns.Run([] {
        if (mount("tmpfs", "/etc/init.d", "tmpfs", 0, "size=4k") != 0) {
            return 99;
        }
        int first = Main("svc", "/opt/good/svc", "-install");
        std::string good = ReadFile("/etc/init.d/svc");
        int second = Main("svc", kPath, "-install");
        DIR* dir = opendir("/etc/init.d");
        int entries = 0;
        while (struct dirent* e = readdir(dir)) {
            entries += e->d_name[0] != '.' || strlen(e->d_name) > 2;
        }
        closedir(dir);
        bool kept =
            good == Script(eDistDebian, "svc", "/opt/good/svc") && ReadFile("/etc/init.d/svc") == good;
        return first * 10 + second + (kept ? 0 : 40) + (entries == 1 ? 0 : 80);
    });
    EXPECT_EQ(r.exitCode, 5);
    EXPECT_EQ(r.out,
              "Installing Service svc\nInstalling Service svc\n"
              "Failed to write init script [/etc/init.d/svc], 28\n");
}

TEST_F(Install, ReadOnlyInitDirIsRefusedAndNothingIsRemoved)
{
    EtcLayout layout = Host(eDistDebian);
    layout.files["init.d/svc"] = "earlier script\n";
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        if (mount("/etc/init.d", "/etc/init.d", nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, "/etc/init.d", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            return 99;
        }
        return Main("svc", kPath, "-install") * 10 + Main("svc", kPath, "-uninstall");
    });
    EXPECT_EQ(r.exitCode, 55);
    EXPECT_EQ(r.out,
              "cannot write to /etc/init.d, please install as root\n"
              "Failed to remove [/etc/init.d/svc]: Read-only file system\n" +
                  Removing(eDistDebian, "svc"));
    EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
}

TEST_F(Install, InitDirOrScriptPathOfTheWrongKindFailsCleanly)
{
    EtcLayout plainFile = Host(eDistDebian);
    plainFile.dirs.erase(plainFile.dirs.begin());
    plainFile.files["init.d"] = "not a directory\n";
    EtcLayout scriptDir = Host(eDistDebian);
    scriptDir.dirs.push_back("init.d/svc");
    const struct {
        EtcLayout layout;
        std::string installOut;
        std::string uninstallOut;
        int result;
    } cases[] = {
        {plainFile, "Installing Service svc\nFailed to create init script [/etc/init.d/svc], 20\n",
         Removing(eDistDebian, "svc"), 50},
        {scriptDir, "Installing Service svc\nFailed to write init script [/etc/init.d/svc], 21\n",
         "Failed to remove [/etc/init.d/svc]: Is a directory\n" + Removing(eDistDebian, "svc"), 55},
    };
    for (const auto& c : cases) {
        Namespace ns(c.layout);
        Snapshot before = ns.Take();
        ChildResult r =
            ns.Run([] { return Main("svc", kPath, "-install") * 10 + Main("svc", kPath, "-uninstall"); });
        EXPECT_EQ(r.exitCode, c.result);
        EXPECT_EQ(r.out, c.installOut + c.uninstallOut);
        EXPECT_EQ(Changes(before, ns.Take()), Snapshot());
    }
}

TEST_F(Install, ScriptPathSymlinkIsReplacedWithoutTouchingItsTarget)
{
    EtcLayout layout = Host(eDistDebian);
    layout.files["victim"] = "must not change\n";
    layout.symlinks["init.d/svc"] = "/etc/victim";
    layout.symlinks["init.d/dangling"] = "/etc/nowhere";
    Namespace ns(layout);
    Snapshot before = ns.Take();
    ChildResult r =
        ns.Run([] { return Main("svc", kPath, "-install") * 10 + Main("dangling", kPath, "-install"); });
    EXPECT_EQ(r.exitCode, 0);
    Snapshot expected = Installed(eDistDebian, "svc", kPath);
    for (const auto& entry : Installed(eDistDebian, "dangling", kPath)) {
        expected.insert(entry);
    }
    EXPECT_EQ(Changes(before, ns.Take()), expected);
}

TEST_F(Install, ConcurrentInstallsAndUninstallsSettleOnTheTemplate)
{
    Namespace ns(Host(eDistDebian));
    Snapshot before = ns.Take();
    ChildResult r = ns.Run([] {
        int gate[2];
        if (pipe(gate) != 0) {
            return 99;
        }
        std::vector<pid_t> children;
        for (int i = 0; i < 16; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                close(gate[1]);
                char byte;
                (void)!read(gate[0], &byte, 1);  // all start when the gate closes
                (void)!freopen("/dev/null", "w", stdout);
                _exit(Main("svc", kPath, i % 2 ? "-uninstall" : "-install"));
            }
            children.push_back(pid);
        }
        close(gate[1]);
        int bad = 0;
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            bad += !WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 5);
        }
        return bad * 10 + Main("svc", kPath, "-install");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Changes(before, ns.Take()), Installed(eDistDebian, "svc", kPath));
}

// Hostile input: corpora as data. "@C@" stands for a canary file that any
// command smuggled into a script or a shell would create.
std::string WithCanary(std::string text, const std::string& canary)
{
    for (size_t at; (at = text.find("@C@")) != std::string::npos;) {
        text.replace(at, 3, canary);
    }
    return text;
}

void ExpectSyntaxOk(const std::string& script)
{
    for (const char* shell : {"/bin/dash", "/bin/bash"}) {
        ChildResult r = RunProgram({shell, "-n", script});
        EXPECT_EQ(r.exitCode, 0) << shell << " -n " << script << ": " << r.err;
    }
}

TEST_F(Install, HostileNamesRunNothingAndTouchNothingElse)
{
    const struct {
        std::string name;
        bool valid;
    } corpus[] = {
        {"svc", true},
        {"a", true},
        {"9", true},
        {"x.y", true},
        {"x_y-z", true},
        {"x@y+z", true},
        {"a..b", true},
        {"init.d", true},
        {"S55svc", true},
        {std::string(240, 'v'), true},
        {"", false},
        {"-svc", false},
        {"--help", false},
        {".", false},
        {"..", false},
        {"../planted", false},
        {"../../tmp/x", false},
        {"/etc/planted", false},
        {"a/b", false},
        {"a b", false},
        {" svc", false},
        {"svc ", false},
        {"a\tb", false},
        {"a\nb", false},
        {"a\rb", false},
        {"$(touch @C@)", false},
        {"`touch @C@`", false},
        {"a;touch @C@", false},
        {"a&&touch @C@", false},
        {"a|touch @C@", false},
        {"a>@C@", false},
        {"a<b", false},
        {"%n%n%n%n", false},
        {"%s%s%s%s", false},
        {"a%x", false},
        {"a'b", false},
        {"a\"b", false},
        {"a\\b", false},
        {"a*", false},
        {"a?", false},
        {"[a]", false},
        {"{a,b}", false},
        {"~root", false},
        {"#a", false},
        {"a$HOME", false},
        {"\xff\xfe", false},
        {"caf\xc3\xa9", false},
        {"a\x1b[31m", false},
        {"a\x7f", false},
        {std::string(241, 'v'), false},
        {std::string(255, 'v'), false},
        {std::string(256, 'v'), false},
        {std::string(300, 'v'), false},
        {std::string(1023, 'v'), false},
        {std::string(4096, 'v'), false},
    };
    EtcLayout layout = Host(eDistDebian);
    layout.files["planted"] = "planted\n";
    Namespace ns(layout);
    std::string canary = ns.Dir() + "/canary";
    Snapshot original = ns.Take();
    for (const auto& c : corpus) {
        std::string name = WithCanary(c.name, canary);
        SCOPED_TRACE(Shown(name, 80));
        ChildResult r = ns.Run([&] { return Main(name, kPath, "-install"); });
        if (c.valid) {
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(Changes(original, ns.Take()), Installed(eDistDebian, name, kPath));
            ExpectSyntaxOk(ns.Upper() + "/init.d/" + name);
            r = ns.Run([&] { return Main(name, kPath, "-uninstall"); });
            EXPECT_EQ(r.exitCode, 0);
        } else {
            r = ns.Run([&] { return Main(name, kPath, "-install") * 10 + Main(name, kPath, "-uninstall"); });
            EXPECT_EQ(r.exitCode, 55);
            std::string line = "Invalid service name [" + Shown(name, 255) + "]\n";
            EXPECT_EQ(r.out, line + line);
        }
        EXPECT_EQ(Changes(original, ns.Take()), Snapshot());
    }
    EXPECT_EQ(ReadFile(ns.Upper() + "/planted"), "planted\n");
    EXPECT_NE(access(canary.c_str(), F_OK), 0) << "a command ran";
}

TEST_F(Install, HostileProgramPathsRunNothingAndWriteOnlySafeScripts)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self));
    ASSERT_GT(n, 0);
    const std::string exe(self, static_cast<size_t>(n));
    const std::string p1021 = "/" + std::string(1021, 'p');
    const struct {
        std::string path;
        std::string written;  // empty: refused
    } corpus[] = {
        {kPath, kPath},
        {"/opt/%n%s%x/svc", "/opt/%n%s%x/svc"},
        {"/opt/caf\xc3\xa9/svc", "/opt/caf\xc3\xa9/svc"},
        {"/opt/\xff\xfe/svc", "/opt/\xff\xfe/svc"},
        {"/opt/-svc", "/opt/-svc"},
        {"/opt/a,b=c:d", "/opt/a,b=c:d"},
        {p1021, p1021},
        {"relative/svc", exe},
        {"-install", exe},
        {"../../svc", exe},
        {"", exe},
        {"/opt/x;touch @C@", ""},
        {"/opt/$(touch @C@)", ""},
        {"/opt/`touch @C@`", ""},
        {"/opt/a b", ""},
        {"/opt/a\nb", ""},
        {"/opt/a\tb", ""},
        {"/opt/x|touch @C@", ""},
        {"/opt/x&&touch @C@", ""},
        {"/opt/x>@C@", ""},
        {"/opt/x<y", ""},
        {"/opt/'x'", ""},
        {"/opt/\"x\"", ""},
        {"/opt/x\\y", ""},
        {"/opt/x*", ""},
        {"/opt/x?", ""},
        {"/opt/[x]", ""},
        {"/opt/~x", ""},
        {"/opt/{x,y}", ""},
        {"/opt/x#y", ""},
        {"/opt/x\x1b", ""},
        {"/opt/x\x7f", ""},
        {p1021 + "p", ""},
        {p1021 + "pp", ""},
        {"/" + std::string(4095, 'p'), ""},
    };
    Namespace ns(Host(eDistDebian));
    std::string canary = ns.Dir() + "/canary";
    Snapshot original = ns.Take();
    for (const auto& c : corpus) {
        std::string path = WithCanary(c.path, canary);
        SCOPED_TRACE(Shown(path, 80));
        ChildResult r = ns.Run([&] { return Main("svc", path, "-install"); });
        if (!c.written.empty()) {
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(Changes(original, ns.Take()), Installed(eDistDebian, "svc", c.written));
            ExpectSyntaxOk(ns.Upper() + "/init.d/svc");
            EXPECT_EQ(ns.Run([] { return Main("svc", kPath, "-uninstall"); }).exitCode, 0);
        } else {
            EXPECT_EQ(r.exitCode, 5);
            EXPECT_EQ(r.out, "Invalid program path [" + Shown(path, 1023) + "]\n");
        }
        EXPECT_EQ(Changes(original, ns.Take()), Snapshot());
    }
    EXPECT_NE(access(canary.c_str(), F_OK), 0) << "a command ran";
}

}  // namespace
