// The written init scripts under the real tools: shells' syntax checks, the SysV unit generator, and a real start and stop.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Namespace.h"

using namespace testsupport;

namespace {

const char kName[] = "satestd";

// Installs the test daemon as kName, through its own "-install", in a namespace.
ChildResult InstallDaemon(Namespace& ns)
{
    return ns.Run([] {
        ChildResult r =
            RunProgram({SERVICEAPP_TEST_DAEMON, "-install"}, {std::string("SERVICEAPP_TEST_NAME=") + kName});
        fputs(r.out.c_str(), stdout);
        return r.exitCode;
    });
}

class InitScriptTools : public NamespaceTest {};

TEST_F(InitScriptTools, EveryFamilysScriptPassesTheShellsSyntaxCheck)
{
    const struct {
        eLinuxDistribution distribution;
        std::vector<const char*> shells;
    } cases[] = {
        {eDistRedHat, {"/bin/bash"}},
        {eDistSuSE, {"/bin/bash"}},
        {eDistDebian, {"/bin/sh", "/bin/dash", "/bin/bash"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.distribution);
        Namespace ns(Host(c.distribution));
        ChildResult r = InstallDaemon(ns);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(r.out, std::string("Installing Service ") + kName + "\n");
        std::string script = ns.Upper() + "/init.d/" + kName;
        EXPECT_NE(ReadFile(script).find(SERVICEAPP_TEST_DAEMON), std::string::npos);
        for (const char* shell : c.shells) {
            ChildResult check = RunProgram({shell, "-n", script});
            EXPECT_EQ(check.exitCode, 0) << shell << ": " << check.err;
        }
    }
}

TEST_F(InitScriptTools, SysvGeneratorMakesAForkingUnitOfTheDebianScript)
{
    const char generator[] = "/lib/systemd/system-generators/systemd-sysv-generator";
    if (access(generator, X_OK) != 0) {
        GTEST_SKIP() << generator << " is not installed";
    }
    Namespace ns(Host(eDistDebian));
    ASSERT_EQ(InstallDaemon(ns).exitCode, 0);
    std::string dir = ns.Dir() + "/sysv";
    std::string out = ns.Dir() + "/units";
    ChildResult r = RunProgram({"/bin/sh", "-c", "mkdir -p \"$1\" \"$2\" && cp \"$3\" \"$1\"", "sh", dir, out,
                                ns.Upper() + "/init.d/" + kName});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = RunProgram({generator, out, out, out},
                   {"SYSTEMD_SYSVINIT_PATH=" + dir, "SYSTEMD_SYSVRC_PATH=" + dir});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string unit = ReadFile(out + "/" + kName + ".service");
    std::string script = dir + "/" + kName;
    EXPECT_NE(unit.find("SourcePath=" + script + "\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Type=forking\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("ExecStart=" + script + " start\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("ExecStop=" + script + " stop\n"), std::string::npos) << unit;
}

// With this machine's LSB functions and start-stop-daemon: start returns with
// the service running, status sees it, stop ends it through its stop hooks.
TEST_F(InitScriptTools, DebianScriptStartsReportsAndStopsTheService)
{
    if (access("/lib/lsb/init-functions", R_OK) != 0 || access("/sbin/start-stop-daemon", X_OK) != 0) {
        GTEST_SKIP() << "needs /lib/lsb/init-functions and start-stop-daemon";
    }
    Namespace ns(Host(eDistDebian));
    ASSERT_EQ(InstallDaemon(ns).exitCode, 0);
    const std::string hooks = ns.Dir() + "/hooks";
    const std::string env = "SERVICEAPP_TEST_HOOKS=" + hooks;
    const std::string script = std::string("/etc/init.d/") + kName;
    const std::string pidFile = std::string("/run/") + kName + ".pid";
    ChildResult r = ns.Run(
        [&] {
            // The service detaches from the script; adopt it so its exit can be waited for.
            if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
                return 99;
            }
            ChildResult start = RunProgram({script, "start"}, {env}, 30);
            printf("start %d\n", start.exitCode);
            if (start.exitCode != 0 || !WaitForFileText(hooks, "running\n")) {
                return 1;
            }
            pid_t pid = atoi(ReadFile(pidFile).c_str());
            ChildResult status = RunProgram({script, "status"}, {env}, 30);
            printf("status %d %s", status.exitCode, status.out.c_str());
            ChildResult stop = RunProgram({script, "stop"}, {env}, 30);
            printf("stop %d\n", stop.exitCode);
            int wstatus = 0;
            if (pid <= 0 || waitpid(pid, &wstatus, 0) != pid) {
                return 2;
            }
            printf("service exit %d, pid file %s\n", WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
                   access(pidFile.c_str(), F_OK) == 0 ? "left" : "gone");
            return 0;
        },
        90);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, std::string("start 0\nstatus 0 ") + kName +
                         " process is running.\nstop 0\nservice exit 0, pid file gone\n");
    EXPECT_EQ(ReadFile(hooks), "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n");
}

}  // namespace
