// The heartbeat example as its users run it: console, service stopped by SIGTERM, log file choice.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testsupport;

namespace {

// In a child: runs heartbeat with args, HEARTBEAT_LOG set to logEnv (unset
// when null). Returns only if the exec failed.
int ExecHeartbeat(std::vector<std::string> args, const char* logEnv)
{
    args.insert(args.begin(), HEARTBEAT_BIN);
    Argv argv(args);
    logEnv != nullptr ? setenv("HEARTBEAT_LOG", logEnv, 1) : unsetenv("HEARTBEAT_LOG");
    execv(HEARTBEAT_BIN, argv.argv());
    return 127;
}

// Lines of heartbeat's output, "what;" each, with the "YYYY-MM-DDTHH:MM:SSZ
// heartbeat[PID] " that starts every line cut off; a line without it stays whole.
std::string Lines(const std::string& text)
{
    static const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ heartbeat\[\d+\] (.*)\n)");
    return std::regex_replace(text, line, "$1;");
}

TEST(Heartbeat, ConsoleBeatsThenStopsItself)
{
    ChildResult r = RunInChild([] {
        return ExecHeartbeat({"-console", "-beats", "3", "-interval", "1"}, nullptr);
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(r.out), "beat 1;beat 2;beat 3;stopped;");
}

TEST(Heartbeat, ServiceStopsAtOnceOnSigterm)
{
    // The log is the event pipe, and the interval long: only the signal can
    // end the wait in time.
    Child child([] {
        dup2(EventFd(), 3);
        return ExecHeartbeat({"-interval", "3600"}, "/dev/fd/3");
    });
    ASSERT_TRUE(child.WaitFor('\n')) << "no line from heartbeat";
    kill(child.pid, SIGTERM);
    ChildResult r = child.Finish();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(r.events), "beat 1;stopped;");
}

TEST(Heartbeat, LogFileFromOptionElseEnvironmentAppending)
{
    const struct {
        const char* env;      // HEARTBEAT_LOG, relative to the scratch directory; null: unset
        const char* option;   // -log PATH, relative likewise; null: none
        const char* written;  // the file that must get the lines; "": none may
    } cases[] = {
        {"env.log", nullptr, "env.log"},
        {"env.log", "opt.log", "opt.log"},
        {nullptr, "opt.log", "opt.log"},
        {nullptr, "missing/x.log", ""},
    };
    for (const auto& c : cases) {
        TempDir scratch;
        std::string env = c.env ? scratch.path + "/" + c.env : "";
        std::string option = c.option ? scratch.path + "/" + c.option : "";
        for (const char* name : {"env.log", "opt.log"}) {
            ASSERT_TRUE(WriteFile(scratch.path + "/" + name, "earlier line\n"));
        }
        ChildResult r = RunInChild([&] {
            std::vector<std::string> args{"-beats", "2", "-interval", "1"};
            if (c.option) {
                args.insert(args.end(), {"-log", option});
            }
            return ExecHeartbeat(args, c.env ? env.c_str() : nullptr);
        });
        std::string what = std::string(c.env ? c.env : "-") + " " + (c.option ? c.option : "-");
        EXPECT_EQ(r.exitCode, *c.written ? 0 : 1) << what;
        EXPECT_EQ(r.out, "") << what;
        for (const std::string name : {"env.log", "opt.log"}) {
            std::string content = ReadFile(scratch.path + "/" + name);
            EXPECT_EQ(content.substr(0, 13), "earlier line\n") << what;
            EXPECT_EQ(Lines(content.substr(13)), name == c.written ? "beat 1;beat 2;stopped;" : "")
                << what << name;
        }
        if (!*c.written) {
            EXPECT_EQ(r.err.rfind("heartbeat: cannot open " + option + ": ", 0), 0u) << r.err;
        }
    }
}

TEST(Heartbeat, DefaultLogIsUnderVarLog)
{
    // Inside a private mount namespace, with a tmpfs over /var/log.
    ChildResult r = RunInChild([] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var/log", "tmpfs", 0, "size=1m") != 0) {
            return 77;
        }
        ChildResult beat = RunInChild([] { return ExecHeartbeat({"-beats", "1"}, ""); });
        fputs(ReadFile("/var/log/heartbeat.log").c_str(), stdout);
        return beat.exitCode;
    });
    if (r.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(r.out), "beat 1;stopped;");
}

TEST(Heartbeat, BadOwnOptionsShowTheUsageAndFail)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"-beats"}, {"-beats", "0"}, {"-interval", "x"}, {"-log"}, {"-what"}, {"-help"}}) {
        ChildResult r = RunInChild([&] { return ExecHeartbeat(args, nullptr); });
        EXPECT_EQ(r.out.rfind("usage: heartbeat", 0), 0u) << args[0];
        EXPECT_EQ(r.exitCode, args[0] == "-help" ? 0 : 1) << args[0];
    }
}

}  // namespace
