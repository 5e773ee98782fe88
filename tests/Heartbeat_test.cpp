// The heartbeat example as its users run it: console, service stopped by SIGTERM, log file choice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

using testsupport::Argv;
using testsupport::BackgroundChild;
using testsupport::ChildResult;
using testsupport::Finish;
using testsupport::ReadFile;
using testsupport::RunInChild;
using testsupport::StartChild;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Runs heartbeat with args, HEARTBEAT_LOG set to logEnv (unset when null).
// Returns only if the exec failed.
int ExecHeartbeat(const std::vector<std::string>& args, const char* logEnv)
{
    std::vector<std::string> all{HEARTBEAT_BIN};
    all.insert(all.end(), args.begin(), args.end());
    Argv argv(all);
    unsetenv("HEARTBEAT_LOG");
    if (logEnv != nullptr) {
        setenv("HEARTBEAT_LOG", logEnv, 1);
    }
    execv(HEARTBEAT_BIN, argv.argv());
    return 127;
}

// Lines of heartbeat's output, "what;" each, after checking and cutting off
// the "YYYY-MM-DDTHH:MM:SSZ heartbeat[PID] " that starts every line.
std::string Lines(const std::string& text)
{
    std::string result;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        int date[6];
        int pid;
        int rest = 0;
        if (end == std::string::npos ||
            sscanf(line.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ heartbeat[%d] %n", &date[0], &date[1], &date[2],
                   &date[3], &date[4], &date[5], &pid, &rest) != 7 ||
            rest == 0 || line[4] != '-' || line[19] != 'Z') {
            return "unexpected: " + text.substr(at);
        }
        result += line.substr(static_cast<size_t>(rest)) + ";";
    }
    return result;
}

TEST(Heartbeat, ConsoleBeatsThenStopsItself)
{
    ChildResult r = RunInChild(
        [] {
            return ExecHeartbeat({"-console", "-beats", "3", "-interval", "1"}, nullptr);
        },
        60);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(r.out), "beat 1;beat 2;beat 3;stopped;");
}

TEST(Heartbeat, ServiceStopsAtOnceOnSigterm)
{
    TempDir scratch;
    std::string fifo = scratch.path + "/log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int log = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(log, 0);
    // A long interval: only the signal can end the wait in time.
    BackgroundChild child = StartChild(
        [&] {
            return ExecHeartbeat({"-interval", "3600"}, fifo.c_str());
        },
        60);
    std::string text;
    bool sent = false;
    for (;;) {
        struct pollfd fd = {log, POLLIN, 0};
        ASSERT_GT(poll(&fd, 1, 60000), 0) << "no line from heartbeat";
        char buf[256];
        ssize_t n = read(log, buf, sizeof(buf));
        if (n == 0 && sent) {
            break;  // heartbeat closed the log
        }
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
        if (!sent && text.find('\n') != std::string::npos) {
            kill(child.pid, SIGTERM);
            sent = true;
        }
    }
    close(log);
    ChildResult r = Finish(child);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(text), "beat 1;stopped;");
}

struct LogCase {
    const char* what;
    const char* env;      // HEARTBEAT_LOG, relative to the scratch directory; null: unset
    const char* option;   // -log PATH, relative likewise; null: none
    const char* written;  // the file that must get the lines; null: none may
    int exitCode;
};

TEST(Heartbeat, LogFileFromOptionElseEnvironmentAppending)
{
    const LogCase cases[] = {
        {"environment", "env.log", nullptr, "env.log", 0},
        {"option wins", "env.log", "opt.log", "opt.log", 0},
        {"option alone", nullptr, "opt.log", "opt.log", 0},
        {"unopenable log", nullptr, "missing/x.log", nullptr, 1},
    };
    for (const LogCase& c : cases) {
        TempDir scratch;
        std::string env = c.env ? scratch.path + "/" + c.env : "";
        std::string option = c.option ? scratch.path + "/" + c.option : "";
        for (const char* name : {"env.log", "opt.log"}) {
            ASSERT_TRUE(WriteFile(scratch.path + "/" + name, "earlier line\n"));
        }
        ChildResult r = RunInChild(
            [&] {
                std::vector<std::string> args{"-beats", "2", "-interval", "1"};
                if (c.option) {
                    args.insert(args.end(), {"-log", option});
                }
                return ExecHeartbeat(args, c.env ? env.c_str() : nullptr);
            },
            60);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        for (const char* name : {"env.log", "opt.log"}) {
            std::string content = ReadFile(scratch.path + "/" + name);
            bool chosen = c.written && strcmp(name, c.written) == 0;
            EXPECT_EQ(content.substr(0, 13), "earlier line\n") << c.what;
            EXPECT_EQ(Lines(content.substr(13)), chosen ? "beat 1;beat 2;stopped;" : "")
                << c.what << " " << name;
        }
        if (!c.written) {
            EXPECT_NE(r.err.find("heartbeat: cannot open " + option + ": "), std::string::npos) << r.err;
        }
    }
}

TEST(Heartbeat, DefaultLogIsUnderVarLog)
{
    // Inside a private mount namespace, with a tmpfs over /var/log.
    ChildResult r = RunInChild(
        [] {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/var/log", "tmpfs", 0, "size=1m") != 0) {
                return 77;
            }
            pid_t pid = fork();
            if (pid == 0) {
                _exit(ExecHeartbeat({"-beats", "1"}, ""));
            }
            int status = 0;
            waitpid(pid, &status, 0);
            fputs(ReadFile("/var/log/heartbeat.log").c_str(), stdout);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
        },
        60);
    if (r.exitCode == 77) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Lines(r.out), "beat 1;stopped;");
}

TEST(Heartbeat, BadOwnOptionsShowTheUsage)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"-beats"}, {"-beats", "0"}, {"-interval", "x"}, {"-log"}, {"-what"}}) {
        ChildResult r = RunInChild([&] { return ExecHeartbeat(args, nullptr); }, 60);
        EXPECT_EQ(r.out.rfind("usage: heartbeat", 0), 0u) << args[0];
        EXPECT_EQ(r.exitCode, 0);
    }
}

}  // namespace
