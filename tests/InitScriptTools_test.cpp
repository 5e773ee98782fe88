// The written scripts under init tools: the Debian family's under the real ones (the SysV unit generator, a real
// start, status and stop), every family's actions by their exit codes.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "Namespace.h"

using namespace testsupport;

namespace {

const std::string kName = "satestd";

// A namespace whose /etc holds the test daemon installed as kName through its own "-install".
class InitScriptTools : public NamespaceTest {
protected:
    void SetUp() override
    {
        NamespaceTest::SetUp();
        if (!IsSkipped()) {
            ChildResult r = ns.Run([] {
                return RunProgram({SERVICEAPP_TEST_DAEMON, "-install"}, {"SERVICEAPP_TEST_NAME=" + kName})
                    .exitCode;
            });
            ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        }
    }
    Namespace ns{Host(eDistDebian)};
};

TEST_F(InitScriptTools, SysvGeneratorMakesAForkingUnitOfTheScript)
{
    const char generator[] = "/lib/systemd/system-generators/systemd-sysv-generator";
    if (access(generator, X_OK) != 0) {
        GTEST_SKIP() << generator << " is not installed";
    }
    std::string dir = ns.Upper() + "/init.d", out = ns.Dir() + "/units", script = dir + "/" + kName;
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ChildResult r = RunProgram({generator, out, out, out},
                               {"SYSTEMD_SYSVINIT_PATH=" + dir, "SYSTEMD_SYSVRC_PATH=" + dir});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string unit = ReadFile(out + "/" + kName + ".service");
    for (const std::string& line : {"SourcePath=" + script, std::string("Type=forking"),
                                    "ExecStart=" + script + " start", "ExecStop=" + script + " stop"}) {
        EXPECT_NE(unit.find(line + "\n"), std::string::npos) << line << " not in:\n" << unit;
    }
}

// With a reload handler registered, reload through the script runs it on the
// running service, which then stops through every hook.
TEST_F(InitScriptTools, ReloadRunsTheServicesReloadHandler)
{
    if (access("/lib/lsb/init-functions", R_OK) != 0 || access("/sbin/start-stop-daemon", X_OK) != 0) {
        GTEST_SKIP() << "needs /lib/lsb/init-functions and start-stop-daemon";
    }
    const std::string hooks = ns.Dir() + "/hooks", script = "/etc/init.d/" + kName;
    const std::vector<std::string> env = {"SERVICEAPP_TEST_HOOKS=" + hooks, "SERVICEAPP_TEST_NAME=" + kName,
                                          "SERVICEAPP_TEST_RELOAD=ok"};
    ChildResult r = ns.Run(
        [&] {
            auto seen = [&](const char* hook) {  // polls a file, for 30 s at most
                for (int i = 0; i < 3000 && ReadFile(hooks).find(hook) == std::string::npos; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                return ReadFile(hooks).find(hook) != std::string::npos;
            };
            prctl(PR_SET_CHILD_SUBREAPER, 1);
            printf("start %d", RunProgram({script, "start"}, env, 30).exitCode);  // the calls in order
            printf(" %d", seen("running\n"));
            pid_t pid = atoi(ReadFile("/run/" + kName + ".pid").c_str());
            std::thread reaper([&] { (void)(pid > 0 && waitpid(pid, nullptr, 0)); });
            printf(", reload %d", RunProgram({script, "reload"}, env, 30).exitCode);
            printf(" %d", seen("reload\n"));
            printf(", stop %d\n", RunProgram({script, "stop"}, env, 30).exitCode);
            reaper.join();
            return 0;
        },
        90);
    EXPECT_EQ(r.out, "start 0 1, reload 0 1, stop 0\n") << r.err;
    EXPECT_EQ(ReadFile(hooks), "starting\ninitialize\nrunning\nreload\nstopping\ndeinitialize\nstopped\n");
}

// With this machine's LSB functions and start-stop-daemon: start returns with
// the service running, status sees it, stop ends it through its stop hooks.
TEST_F(InitScriptTools, ScriptStartsReportsAndStopsTheService)
{
    if (access("/lib/lsb/init-functions", R_OK) != 0 || access("/sbin/start-stop-daemon", X_OK) != 0) {
        GTEST_SKIP() << "needs /lib/lsb/init-functions and start-stop-daemon";
    }
    const std::string hooks = ns.Dir() + "/hooks", env = "SERVICEAPP_TEST_HOOKS=" + hooks;
    const std::string script = "/etc/init.d/" + kName, pidFile = "/run/" + kName + ".pid";
    ChildResult r = ns.Run(
        [&] {
            // The service detaches from the script; adopt it so its exit can be waited for.
            if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
                return 99;
            }
            ChildResult start = RunProgram({script, "start"}, {env}, 30);
            printf("start %d\n", start.exitCode);
            for (int i = 0; ReadFile(hooks).find("running\n") == std::string::npos; ++i) {
                if (start.exitCode != 0 || i == 3000) {
                    return 1;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polls a file, for 30 s at most
            }
            pid_t pid = atoi(ReadFile(pidFile).c_str());
            if (pid <= 0) {
                return 2;
            }
            // Reaped the moment it ends: stop waits until the process is gone, and a zombie is not.
            int wstatus = 0;
            std::thread reaper([&] { wstatus = waitpid(pid, &wstatus, 0) == pid ? wstatus : -1; });
            ChildResult status = RunProgram({script, "status"}, {env}, 30);
            printf("status %d %s", status.exitCode, status.out.c_str());
            printf("stop %d\n", RunProgram({script, "stop"}, {env}, 30).exitCode);
            reaper.join();
            printf("service exit %d, pid file %s\n", WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
                   access(pidFile.c_str(), F_OK) == 0 ? "left" : "gone");
            return 0;
        },
        90);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out,
              "start 0\nstatus 0 " + kName + " process is running.\nstop 0\nservice exit 0, pid file gone\n");
    EXPECT_EQ(ReadFile(hooks), "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n");
}

// restart waits for a service still de-initializing to end before the next
// copy starts: the hooks never interleave, and one copy is left running.
TEST_F(InitScriptTools, RestartOfASlowStoppingServiceLeavesExactlyOneCopy)
{
    if (access("/lib/lsb/init-functions", R_OK) != 0 || access("/sbin/start-stop-daemon", X_OK) != 0) {
        GTEST_SKIP() << "needs /lib/lsb/init-functions and start-stop-daemon";
    }
    const std::string hooks = ns.Dir() + "/hooks", pidFile = "/run/" + kName + ".pid";
    const std::vector<std::string> env = {"SERVICEAPP_TEST_HOOKS=" + hooks, "SERVICEAPP_TEST_DEINIT_MS=3000"};
    const std::string script = "/etc/init.d/" + kName;
    ChildResult r = ns.Run(
        [&] {
            if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
                return 99;
            }
            // Waits (30 s at most) for the n-th "running" hook, then reaps
            // the copy named by the pid file in a thread of its own.
            std::vector<std::thread> reapers;
            auto running = [&](size_t n) {
                for (int i = 0; i < 3000; ++i) {
                    std::string text = ReadFile(hooks);
                    size_t count = 0;
                    for (size_t at = 0; (at = text.find("running\n", at)) != std::string::npos; ++at) {
                        ++count;
                    }
                    pid_t pid = atoi(ReadFile(pidFile).c_str());
                    if (count == n && pid > 0) {
                        reapers.emplace_back([pid] { (void)waitpid(pid, nullptr, 0); });
                        return true;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polls a file
                }
                return false;
            };
            int result = RunProgram({script, "start"}, env, 30).exitCode == 0 && running(1) ? 0 : 1;
            result =
                result * 10 + (RunProgram({script, "restart"}, env, 60).exitCode == 0 && running(2) ? 0 : 1);
            result = result * 10 + RunProgram({script, "stop"}, env, 30).exitCode;
            for (std::thread& reaper : reapers) {
                reaper.join();
            }
            return result;
        },
        150);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string once = "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n";
    EXPECT_EQ(ReadFile(hooks), once + once);
}

// Each family's script through the exit codes LSB gives its actions: the
// Debian family under this machine's LSB functions and start-stop-daemon, the
// others under stand-ins of their function libraries. The name is longer than
// the 15 bytes of a process name, so only the pid file (the program's path on
// SuSE) finds the service to reload; reload must leave it running.
class ScriptActions : public NamespaceTest, public ::testing::WithParamInterface<eLinuxDistribution> {};

TEST_P(ScriptActions, ExitCodesKeepLsbsWord)
{
    const eLinuxDistribution d = GetParam();
    if (IsDebian(d) &&
        (access("/lib/lsb/init-functions", R_OK) != 0 || access("/sbin/start-stop-daemon", X_OK) != 0)) {
        GTEST_SKIP() << "needs /lib/lsb/init-functions and start-stop-daemon";
    }
    EtcLayout layout = Host(d);
    layout.files["init.d/functions"] = ReadFile(SERVICEAPP_SOURCE_DIR "/tests/data/rh-functions");
    layout.files["rc.status"] = ReadFile(SERVICEAPP_SOURCE_DIR "/tests/data/rc.status");
    Namespace ns(layout);
    const std::string name = "serviceapp-long-testd", hooks = ns.Dir() + "/hooks",
                      program = ns.Dir() + "/testd";
    // A copy of its own: SuSE's tools would take another test's copy of the test daemon for this one.
    ASSERT_TRUE(WriteFile(program, ReadFile(SERVICEAPP_TEST_DAEMON)) && chmod(program.c_str(), 0755) == 0);
    // Each action, and after a ':' the environment of the service a start starts.
    const std::string steps[] = {"status",
                                 "stop",
                                 "reload",
                                 "force-reload",
                                 "start:SERVICEAPP_TEST_MODE=fail-init",
                                 "status",
                                 "stop",
                                 "start",
                                 "status",
                                 "reload",
                                 "force-reload",
                                 "stop",
                                 "status",
                                 "start:SERVICEAPP_TEST_DEINIT_MS=40000",
                                 "stop"};
    // A failed start is startproc's "not running" on SuSE; its tools keep no pid file, so no service is dead with one.
    const std::string want =
        std::string("status 3\nstop 0\nreload 7\nforce-reload 7\n") +
        (d == eDistSuSE ? "start 7\nstatus 3\n" : "start 1\nstatus 1\n") +
        "stop 0\nstart 0\nstatus 0\nreload 0\nforce-reload 0\nstop 0\nstatus 3\nstart 0\nstop 1 SIGKILL\n";
    ChildResult r = ns.Run(
        [&] {
            // The services end up children of this process, which reaps them the moment they end.
            if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 ||
                RunProgram({program, "-install"}, {"SERVICEAPP_TEST_NAME=" + name}).exitCode != 0) {
                return 99;
            }
            pid_t table = fork();
            for (size_t i = 0, seen = 0; table == 0 && i < sizeof(steps) / sizeof(steps[0]); ++i) {
                const std::string action = steps[i].substr(0, steps[i].find(':'));
                std::vector<std::string> env = {"SERVICEAPP_TEST_HOOKS=" + hooks,
                                                "SERVICEAPP_TEST_NAME=" + name};
                env.insert(env.end(), action != steps[i],
                           steps[i].substr(action.size() + (action != steps[i])));
                ChildResult a = RunProgram({"/etc/init.d/" + name, action}, env, 120);
                bool killed = (a.out + a.err).find("SIGKILL") != std::string::npos;
                printf("%s %d%s\n", action.c_str(), a.exitCode, killed ? " SIGKILL" : "");
                // Waits, 30 s at most, for a service started to come up.
                for (int n = 0; a.exitCode == 0 && action == "start" && n < 3000; ++n) {
                    size_t at = ReadFile(hooks).find("running\n", seen);
                    if (at != std::string::npos) {
                        seen = at + 1;
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polls a file
                }
            }
            if (table == 0) {
                fflush(stdout);
                _exit(0);
            }
            int result = 98, wstatus = 0;
            for (pid_t pid; (pid = wait(&wstatus)) > 0;) {
                result = pid == table ? WEXITSTATUS(wstatus) : result;
            }
            return result;
        },
        400);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, want);
    const std::string tail =
        "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n"
        "starting\ninitialize\nrunning\nstopping\ndeinitialize\n";
    std::string text = ReadFile(hooks);
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), tail.size())), tail) << text;
}

INSTANTIATE_TEST_SUITE_P(Families, ScriptActions, ::testing::Values(eDistDebian, eDistRedHat, eDistSuSE),
                         [](const auto& param) {
                             return IsDebian(param.param)      ? "Debian"
                                    : param.param == eDistSuSE ? "SuSE"
                                                               : "RedHat";
                         });

}  // namespace
