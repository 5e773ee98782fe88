// The calls for a running service: where the log goes, what the service manager is told, sockets passed at start.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>

#include <functional>
#include <regex>

#include "Recorder.h"

using namespace testsupport;

namespace {

struct Client : CServiceApp {
    std::function<void()> body;
    void Run() override { body(); }
};

// Each case logs an error of two lines and a notice given with a facility.
// Syslog records are read from a socket bound at /dev/log in a private mount
// namespace, their time stamp and process id left out.
TEST(Log, EachMessageReachesTheConsoleTheJournalOrSyslogWithItsPriority)
{
    const char* syslog = "0|syslog: <27>svc[]: bad 1\nnews|<29>svc[]: fine||";
    const struct {
        const char* what;
        const char* arg;
        int journal;  // the descriptor whose device and inode $JOURNAL_STREAM names; -1: unset
        const char* result;
    } cases[] = {
        {"console: warnings and worse on standard error", "-console", 2, "fine\n0|syslog: |bad 1\nnews\n"},
        {"journal: every line prefixed", "", 2, "0|syslog: |<3>bad 1\n<3>news\n<5>fine\n"},
        {"a journal stream other than standard error", "", 1, syslog},
        {"no journal", "", -1, syslog},
    };
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&] {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) {
                return 77;
            }
            int log = BindDatagram("/dev/log");
            c.journal >= 0 ? SetJournalStream(c.journal) : (void)unsetenv("JOURNAL_STREAM");
            Client app;
            app.body = [] {
                serviceapp::Log(LOG_ERR, "bad %d\nnews", 1);
                serviceapp::Log(LOG_LOCAL0 | LOG_NOTICE, "fine");
            };
            RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
            std::string records;
            char text[512];
            for (ssize_t n; (n = recv(log, text, sizeof(text), MSG_DONTWAIT)) > 0;) {
                records += std::string(text, static_cast<size_t>(n)) + "|";
            }
            static const std::regex variable(R"(\w{3} [ \d]\d \d\d:\d\d:\d\d |\d+(?=\]))");
            printf("|syslog: %s", std::regex_replace(records, variable, "").c_str());
            return 0;
        });
        if (r.exitCode == 77) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
        EXPECT_EQ(r.out + "|" + r.err, c.result) << c.what;
    }
}

// Status and more time asked for by the service, and the lifecycle's own
// status, arrive in order; NOTIFY_SOCKET has left the environment before the
// first hook, and a process forked since cannot speak for the service.
TEST(Notify, StatusAndMoreTimeReachTheManagerAndNoOtherProcessCanSpeakForTheService)
{
    TempDir dir;
    ChildResult r = RunInChild([&] {
        printf("without a manager %d%d, ", serviceapp::SetStatus("x"), serviceapp::ExtendTimeout(1));
        g_notifyFd = BindDatagram(dir.path + "/notify");
        setenv("NOTIFY_SOCKET", (dir.path + "/notify").c_str(), 1);
        Client app;
        app.body = [] {
            bool told = serviceapp::SetStatus("Loading %d%%\nREADY=1", 50);
            printf("sent %d%d, ", told, serviceapp::ExtendTimeout(1500));
            pid_t child = fork();
            if (child == 0) {
                _exit(getenv("NOTIFY_SOCKET") != nullptr || serviceapp::SetStatus("child"));
            }
            int status = -1;
            waitpid(child, &status, 0);
            printf("child %d, ", status);
        };
        RunMain(app, {});
        for (const std::string& message : g_notifications) {
            printf("|%s", message.c_str());
        }
        return 0;
    });
    EXPECT_EQ(r.out,
              "without a manager 00, sent 11, child 0, 0|STATUS=Initializing|READY=1\nSTATUS=Running"
              "|STATUS=Loading 50% READY=1|EXTEND_TIMEOUT_USEC=1500000|STOPPING=1\nSTATUS=Stopping");
}

// In a child holding sockets at 3 and 4, and nothing at 5.
TEST(ListenSockets, TakesOnlyTheSocketsPassedToThisProcessAndHidesThemFromChildren)
{
    const struct {
        const char* pid;  // "self": ours
        const char* fds;
        const char* names;  // null: unset
        int capacity;
        const char* result;
    } cases[] = {
        {"self", "2", "web:admin", 4, "2 3=web 4=admin cloexec 11"},
        {"self", "2", nullptr, 4, "2 3=unknown 4=unknown cloexec 11"},
        {"self", "2", "web::extra", 1, "2 3=web cloexec 11"},
        {"1", "2", "web:admin", 4, "0 cloexec 00"},
        {"self", "3", "", 4, "-1 cloexec 11"},
        {"self", "two", "", 4, "-1 cloexec 00"},
        {nullptr, "2", "", 4, "0 cloexec 00"},
    };
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&] {
            int pair[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
            dup2(pair[0], 3);
            dup2(pair[1], 4);
            close(5);
            std::string self = std::to_string(getpid());
            (void)(c.pid != nullptr ? setenv("LISTEN_PID", *c.pid == 's' ? self.c_str() : c.pid, 1) : 0);
            setenv("LISTEN_FDS", c.fds, 1);
            (void)(c.names != nullptr ? setenv("LISTEN_FDNAMES", c.names, 1) : 0);
            serviceapp::ListenSocket sockets[4] = {};
            int n = serviceapp::TakeListenSockets(sockets, c.capacity);
            printf("%d ", n);
            for (int i = 0; i < n && i < c.capacity; ++i) {
                printf("%d=%s ", sockets[i].fd, sockets[i].name);
            }
            printf("cloexec %d%d", fcntl(3, F_GETFD) & FD_CLOEXEC, fcntl(4, F_GETFD) & FD_CLOEXEC);
            return getenv("LISTEN_PID") || getenv("LISTEN_FDS") || getenv("LISTEN_FDNAMES");
        });
        EXPECT_EQ(r.out, c.result) << c.pid << " " << c.fds;
        EXPECT_EQ(r.exitCode, 0) << "the variables are gone";
    }
}

}  // namespace
