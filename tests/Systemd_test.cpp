// End to end under a real systemd as process 1: the unit "-install" writes is started, seen ready, stopped, watched and removed.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "SystemdBoot.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const long long kWatchdogUs = 3000000;  // WatchdogSec= of the watched services

// One system, booted once for the whole suite; the last test shuts it down
// and checks the host.
class SystemdEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (BootedSystemd::Unavailable() == nullptr) {
            s_system = new BootedSystemd({SERVICEAPP_BUILD_DIR});
        }
    }
    static void TearDownTestSuite()
    {
        delete s_system;
        s_system = nullptr;
    }
    void SetUp() override
    {
        if (const char* why = BootedSystemd::Unavailable()) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(s_system->Failure().empty()) << s_system->Failure();
    }

    static std::string Hooks(const std::string& name)
    {
        return ReadFile(s_system->Dir() + "/" + name + ".hooks");
    }
    static std::string Systemctl(const std::vector<std::string>& args, int* exitCode = nullptr)
    {
        return s_system->Systemctl(args, exitCode);
    }
    // systemctl show NAME: property -> value.
    static std::map<std::string, std::string> Show(const std::string& name)
    {
        std::map<std::string, std::string> properties;
        std::istringstream in(Systemctl({"show", name}));
        for (std::string line; std::getline(in, line);) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) {
                properties[line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
        return properties;
    }
    static std::string Status(const std::string& name)
    {
        return Systemctl({"status", name}) + "\nconsole:\n" + s_system->Console();
    }

    // Installs the test daemon as name through its own "-install", adds the
    // test's drop-in (where its hooks go, a slow Initialize, no core files,
    // then extra) and reloads.
    static void Install(const std::string& name, const std::string& extra = "",
                        const std::string& reload = "")
    {
        const std::string reloadEnv = "SERVICEAPP_TEST_RELOAD=" + reload;
        ChildResult r =
            s_system->Run({SERVICEAPP_TEST_DAEMON, "-install"}, {"SERVICEAPP_TEST_NAME=" + name, reloadEnv});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const std::string dropIn = "[Service]\nEnvironment=SERVICEAPP_TEST_NAME=" + name +
                                   " SERVICEAPP_TEST_HOOKS=" + s_system->Dir() + "/" + name +
                                   ".hooks SERVICEAPP_TEST_INIT_MS=300 " + reloadEnv + "\nLimitCORE=0\n" +
                                   extra;
        ASSERT_TRUE(Put("/etc/systemd/system/" + name + ".service.d/test.conf", dropIn));
        int rc = -1;
        Systemctl({"daemon-reload"}, &rc);
        ASSERT_EQ(rc, 0);
        s_installed.push_back(name);
    }

    // Writes a file inside the system, making its directory.
    static bool Put(const std::string& path, const std::string& text)
    {
        std::error_code exists;
        auto write = [&] {
            return fs::create_directories(fs::path(path).parent_path(), exists), !WriteFile(path, text);
        };
        return s_system->In(write).exitCode == 0;
    }

    static BootedSystemd* s_system;
    static std::vector<std::string> s_installed;
};

BootedSystemd* SystemdEndToEnd::s_system = nullptr;
std::vector<std::string> SystemdEndToEnd::s_installed;

TEST_F(SystemdEndToEnd, StartReturnsOnceReadyAndStopRunsTheStopHooks)
{
    ASSERT_NO_FATAL_FAILURE(Install("satestd"));
    EXPECT_EQ(Systemctl({"is-enabled", "satestd"}), "enabled");
    std::map<std::string, std::string> unit = Show("satestd");
    EXPECT_EQ(unit["FragmentPath"], "/etc/systemd/system/satestd.service");
    EXPECT_EQ(unit["Type"], "notify");
    int rc = -1;
    Systemctl({"start", "satestd"}, &rc);
    ASSERT_EQ(rc, 0) << Status("satestd");
    // Initialize (slow on purpose) has finished and the running hook has run by the time start returns.
    EXPECT_EQ(Hooks("satestd"), "starting\ninitialize\nrunning\n");
    EXPECT_EQ(Systemctl({"is-active", "satestd"}), "active");
    Systemctl({"stop", "satestd"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Hooks("satestd"), "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n");
    std::map<std::string, std::string> after = Show("satestd");
    EXPECT_EQ(after["ActiveState"], "inactive") << Status("satestd");
    EXPECT_EQ(after["Result"], "success");
    EXPECT_EQ(after["ExecMainStatus"], "0");
}

// A reinstall keeps the administrator's "systemctl disable"; uninstall of the
// running service stops it first, through systemctl.
TEST_F(SystemdEndToEnd, ReinstallKeepsItDisabledAndUninstallStopsItFirst)
{
    ASSERT_NO_FATAL_FAILURE(Install("satestd-kept"));
    s_installed.pop_back();  // uninstalled here
    int rc = -1;
    Systemctl({"disable", "satestd-kept"}, &rc);
    ASSERT_EQ(rc, 0);
    const std::vector<std::string> name = {"SERVICEAPP_TEST_NAME=satestd-kept"};
    ChildResult r = s_system->Run({SERVICEAPP_TEST_DAEMON, "-install"}, name);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // systemctl disable turned the SysV start links into K links too: kept, no S links beside them.
    EXPECT_EQ(r.out,
              "Installing Service satestd-kept\n"
              "Keeping existing link [/etc/rc2.d/K55satestd-kept]\n"
              "Keeping existing link [/etc/rc5.d/K55satestd-kept]\n"
              "Keeping disabled unit [/etc/systemd/system/satestd-kept.service]\n");
    EXPECT_EQ(Systemctl({"is-enabled", "satestd-kept"}), "disabled");
    Systemctl({"start", "satestd-kept"}, &rc);
    ASSERT_EQ(rc, 0) << Status("satestd-kept");
    // Generous: the stop waits for the service's exit, which an instrumented
    // build's leak check at exit can make slow on a loaded machine.
    r = s_system->Run({SERVICEAPP_TEST_DAEMON, "-uninstall"}, name, 300);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "Stopping service satestd-kept\n");
    EXPECT_EQ(Hooks("satestd-kept"), "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n");
    EXPECT_NE(r.out.find("Removing /etc/systemd/system/satestd-kept.service\n"), std::string::npos) << r.out;
}

TEST_F(SystemdEndToEnd, FailingInitializeFailsTheStart)
{
    ASSERT_NO_FATAL_FAILURE(
        Install("satestd-fail", "Environment=SERVICEAPP_TEST_MODE=fail-init\nRestart=no\n"));
    int rc = 0;
    Systemctl({"start", "satestd-fail"}, &rc);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(Systemctl({"is-active", "satestd-fail"}), "failed") << Status("satestd-fail");
    EXPECT_EQ(Hooks("satestd-fail"), "starting\ninitialize\nstopping\ndeinitialize\nstopped\n");
    std::map<std::string, std::string> unit = Show("satestd-fail");
    EXPECT_EQ(unit["StatusErrno"], "5") << "ERRNO=EIO from the lifecycle";
    EXPECT_EQ(unit["ExecMainStatus"], "251") << "Main's -5";
}

// Both watched with the same period: the default Run keeps its service alive
// for several periods, a Run of the client's own that never feeds it gets the
// watchdog's SIGABRT.
TEST_F(SystemdEndToEnd, WatchdogKillsOnlyTheServiceThatStopsFeedingIt)
{
    const std::string watchdog = "WatchdogSec=" + std::to_string(kWatchdogUs / 1000) + "ms\n";
    ASSERT_NO_FATAL_FAILURE(Install("satestd-fed", watchdog));
    ASSERT_NO_FATAL_FAILURE(
        Install("satestd-starved", watchdog + "Environment=SERVICEAPP_TEST_MODE=own-run\n"));
    int rc = -1;
    Systemctl({"start", "satestd-fed", "satestd-starved"}, &rc);
    ASSERT_EQ(rc, 0) << Status("satestd-fed") << Status("satestd-starved");
    EXPECT_TRUE(Eventually([&] { return Show("satestd-starved")["Result"] == "watchdog"; }, 60))
        << Status("satestd-starved");
    bool active = true;
    EXPECT_TRUE(Eventually(
        [&] {
            std::map<std::string, std::string> fed = Show("satestd-fed");
            active = fed["ActiveState"] == "active";
            return !active ||
                   NowUs() - std::stoll("0" + fed["ActiveEnterTimestampMonotonic"]) > 3 * kWatchdogUs;
        },
        60));
    EXPECT_TRUE(active) << Status("satestd-fed");
    Systemctl({"stop", "satestd-fed"}, &rc);
    EXPECT_EQ(Systemctl({"is-active", "satestd-fed"}), "inactive") << Status("satestd-fed");
    EXPECT_EQ(Hooks("satestd-fed"), "starting\ninitialize\nrunning\nstopping\ndeinitialize\nstopped\n");
    Systemctl({"stop", "satestd-starved"}, &rc);
}

// systemctl reload runs the handler and the unit is active again after its
// READY=1, showing whether the reload worked; kill -9 then brings it back.
TEST_F(SystemdEndToEnd, ReloadRunsTheHandlerAndAKilledServiceIsRestarted)
{
    for (const std::string reload : {"ok", "fail"}) {
        const std::string name = "satestd-reload-" + reload,
                          status = reload == "ok" ? "Running" : "Reload failed";
        ASSERT_NO_FATAL_FAILURE(Install(name, "", reload));
        int rc = -1;
        Systemctl({"start", name}, &rc);
        ASSERT_EQ(rc, 0) << Status(name);
        Systemctl({"reload", name}, &rc);
        EXPECT_EQ(rc, 0) << Status(name);
        auto state = [&] { return Show(name)["ActiveState"] + " " + Show(name)["StatusText"]; };
        EXPECT_TRUE(Eventually(
            [&] { return Hooks(name).find("reload") != std::string::npos && state() == "active " + status; },
            60))
            << Status(name);
        EXPECT_EQ(s_system->Run({"/bin/kill", "-KILL", Show(name)["MainPID"]}).exitCode, 0);
        EXPECT_TRUE(
            Eventually([&] { return Show(name)["NRestarts"] == "1" && state() == "active Running"; }, 60))
            << Status(name);
        Systemctl({"stop", name}, &rc);
        EXPECT_EQ(Hooks(name),
                  "starting\ninitialize\nrunning\nreload\nstarting\ninitialize\nrunning\nstopping\n"
                  "deinitialize\nstopped\n");
    }
}

// The example with the sandbox profile: rated at most 2.0 (--threshold=20)
// by the host's own measure, and it starts, reloads (reopening its log) and stops.
TEST_F(SystemdEndToEnd, SandboxedExampleScoresAtMostTwoAndWorks)
{
#ifndef HEARTBEAT_BIN
    GTEST_SKIP() << "built without the examples";
#else
    // The build tree may be under /tmp, which PrivateTmp= hides, or in a
    // directory only root may enter: the sandboxed service runs a copy from
    // /var/opt, its libraries beside it.
    const std::string dir = "/var/opt/serviceapp-heartbeat", bin = dir + "/heartbeat";
    ASSERT_EQ(
        s_system
            ->In([&] {
                std::error_code error;
                const std::string build = SERVICEAPP_BUILD_DIR;
                fs::create_directories(dir, error);
                for (const std::string& from :
                     {std::string(HEARTBEAT_BIN), build + "/libserviceapp.so.1", build + "/libLumLib.so"}) {
                    fs::copy_file(from, dir + "/" + fs::path(from).filename().string(),
                                  fs::copy_options::overwrite_existing, error);
                }
                return error ? 1 : 0;
            })
            .exitCode,
        0);
    ASSERT_TRUE(Put("/etc/systemd/system/heartbeat.service.d/libraries.conf",
                    "[Service]\nEnvironment=LD_LIBRARY_PATH=" + dir + "\n"));
    ChildResult r = s_system->Run({bin, "-sandbox", "-install"}, {"LD_LIBRARY_PATH=" + dir});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    r = s_system->Run({"/usr/bin/systemd-analyze", "security", "--offline=true", "--threshold=20",
                       "/etc/systemd/system/heartbeat.service"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto logged = [&](const std::string& line) {
        return s_system->Run({"/bin/grep", "-qF", line, "/var/log/heartbeat/heartbeat.log"}).exitCode == 0;
    };
    int rc = -1;
    Systemctl({"daemon-reload"}, &rc);
    for (const char* command : {"start", "reload"}) {
        Systemctl({command, "heartbeat"}, &rc);
        EXPECT_EQ(rc, 0) << command << Status("heartbeat");
    }
    EXPECT_TRUE(Eventually(
        [&] { return logged("reopened the log") && Show("heartbeat")["StatusText"] == "Running"; }, 60))
        << Status("heartbeat");
    Systemctl({"stop", "heartbeat"}, &rc);
    EXPECT_TRUE(rc == 0 && logged("stopped")) << Status("heartbeat");
    EXPECT_EQ(s_system->Run({bin, "-uninstall"}, {"LD_LIBRARY_PATH=" + dir}).exitCode, 0);
#endif
}

// The journal's daemon from units of the test's own, so that a service's
// standard error is a journal stream; the service logs at each priority from
// alert to debug, two lines in one message at error.
TEST_F(SystemdEndToEnd, LogLinesLandInTheJournalWithTheirPriorities)
{
    const std::string dir = "/etc/systemd/system/systemd-journald.",
                      unit = "[Unit]\nDefaultDependencies=no\n";
    ASSERT_TRUE(
        Put("/etc/systemd/journald.conf.d/test.conf", "[Journal]\nStorage=volatile\n") &&
        Put(dir + "socket", unit + "[Socket]\nListenStream=/run/systemd/journal/stdout\n"
                                   "ListenDatagram=/run/systemd/journal/socket\nSocketMode=0666\n") &&
        Put(dir + "service", unit + "[Service]\nType=notify\nExecStart=/lib/systemd/systemd-journald\n"));
    ASSERT_NO_FATAL_FAILURE(Install("satestd-log", "Environment=SERVICEAPP_TEST_MODE=log\n"));
    int rc = -1;
    Systemctl({"start", "systemd-journald.socket", "satestd-log"}, &rc);
    ASSERT_EQ(rc, 0) << Status("satestd-log");
    const std::string want =
        "level 1\nlevel 2\nlevel 3\nits second line\nlevel 4\nlevel 5\nlevel 6\nlevel 7\n";
    std::string got;
    EXPECT_TRUE(Eventually(
        [&] {
            got.clear();
            for (char p = '1'; p <= '7'; ++p) {  // the lines of one priority at a time
                std::string only = {p, '.', '.', p};
                got += s_system
                           ->Run({"/bin/journalctl", "-o", "cat", "-p", only,
                                  "_SYSTEMD_UNIT=satestd-log.service"})
                           .out;
            }
            return got == want;
        },
        30));
    EXPECT_EQ(got, want);
    Systemctl({"stop", "satestd-log"}, &rc);
}

// Both start slower than their start time-out; one asks for more time as it goes.
TEST_F(SystemdEndToEnd, ALongInitializeStartsOnlyWhenItAsksForMoreTime)
{
    const std::string slow = "TimeoutStartSec=2s\nEnvironment=SERVICEAPP_TEST_INIT_MS=5000\n";
    ASSERT_NO_FATAL_FAILURE(Install("satestd-extend", slow + "Environment=SERVICEAPP_TEST_EXTEND_MS=3000\n"));
    ASSERT_NO_FATAL_FAILURE(Install("satestd-slow", slow));
    int rc = -1;
    Systemctl({"start", "satestd-extend"}, &rc);
    EXPECT_EQ(rc, 0) << Status("satestd-extend");
    EXPECT_EQ(Show("satestd-extend")["StatusText"], "Running");
    Systemctl({"start", "satestd-slow"}, &rc);
    EXPECT_EQ(Show("satestd-slow")["Result"], "timeout") << Status("satestd-slow");
    Systemctl({"stop", "satestd-extend"}, &rc);
}

TEST_F(SystemdEndToEnd, ASocketUnitStartsTheServiceAtTheFirstConnectionAndItServesIt)
{
    ASSERT_TRUE(Put("/etc/systemd/system/satestd-sock.socket",
                    "[Socket]\nListenStream=/run/satestd\nFileDescriptorName=echo\n"));
    ASSERT_NO_FATAL_FAILURE(Install("satestd-sock", "Environment=SERVICEAPP_TEST_MODE=serve\n"));
    int rc = -1;
    Systemctl({"start", "satestd-sock.socket"}, &rc);
    ASSERT_EQ(rc, 0) << Status("satestd-sock.socket");
    EXPECT_EQ(Systemctl({"is-active", "satestd-sock"}), "inactive");
    ChildResult r = s_system->In([] {
        struct sockaddr_un sa = {AF_UNIX, "/run/satestd"};
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        char reply[8] = {};
        (void)!(connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0 &&
                write(fd, "ping", 4) == 4 && read(fd, reply, sizeof(reply) - 1) > 0);
        return printf("%s", reply), 0;
    });
    EXPECT_EQ(r.out, "ping") << r.err << Status("satestd-sock");
    EXPECT_EQ(Hooks("satestd-sock"), "starting\ninitialize\necho\nrunning\n");
    Systemctl({"stop", "satestd-sock.socket", "satestd-sock"}, &rc);
}

TEST_F(SystemdEndToEnd, UninstallLeavesTheUnitUnknown)
{
    if (s_installed.empty()) {
        ASSERT_NO_FATAL_FAILURE(Install("satestd"));
    }
    for (const std::string& name : s_installed) {
        // The test's own drop-in first, as its administrator would.
        ChildResult r = s_system->In([&] {
            std::error_code error;
            return std::filesystem::remove_all("/etc/systemd/system/" + name + ".service.d", error) > 0 ? 0
                                                                                                        : 1;
        });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        r = s_system->Run({SERVICEAPP_TEST_DAEMON, "-uninstall"}, {"SERVICEAPP_TEST_NAME=" + name});
        EXPECT_EQ(r.exitCode, 0) << name << r.out << r.err;
    }
    int rc = -1;
    Systemctl({"daemon-reload"}, &rc);
    ASSERT_EQ(rc, 0);
    for (const std::string& name : s_installed) {
        EXPECT_EQ(Show(name)["LoadState"], "not-found") << name;
        Systemctl({"is-enabled", name}, &rc);
        EXPECT_NE(rc, 0) << name;
    }
}

// Last: the system exits when asked, and nothing of the host changed.
TEST_F(SystemdEndToEnd, ShutsDownAndLeavesTheHostAsItWas)
{
    EXPECT_EQ(s_system->Shut(), "");
}

}  // namespace
