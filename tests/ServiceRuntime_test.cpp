// The calls for a running service: where the log goes, what the service manager is told, sockets passed at start.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <syslog.h>

#include <regex>

#include "Recorder.h"

using namespace testsupport;
using App = Recorder<CServiceApp>;

namespace {

// An error of two lines, then a notice given with a facility. Syslog records
// are read from /dev/log bound in a private mount namespace, without their
// time stamp and process id.
TEST(Log, EachMessageReachesTheConsoleTheJournalOrSyslogWithItsPriority)
{
    const char* syslog = "SIRrPDXM|0 <27>svc[]: bad 1\nnews| <29>svc[]: fine||";
    const struct {
        const char* arg;
        int journal;  // the descriptor $JOURNAL_STREAM names, -1: unset
        const char* result;
    } cases[] = {
        {"-console", 2, "IrDM|fine\n0|bad 1\nnews\n"},  // warnings and worse on standard error
        {"", 2, "SIRrPDXM|0|<3>bad 1\n<3>news\n<5>fine\n"},
        {"", 1, syslog},  // a journal stream that is not standard error
        {"", -1, syslog},
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
            App app;
            app.run = [](App&) {
                serviceapp::Log(LOG_ERR, "bad %d\nnews", 1);
                serviceapp::Log(LOG_LOCAL0 | LOG_NOTICE, "fine");
            };
            RunMain(app, *c.arg ? std::vector<std::string>{c.arg} : std::vector<std::string>{});
            char text[512];
            for (ssize_t n; (n = recv(log, text, sizeof(text) - 1, MSG_DONTWAIT)) > 0; printf("|")) {
                text[n] = '\0';
                printf(
                    " %s",
                    std::regex_replace(text, std::regex(R"(\w{3} [ \d]\d [\d:]{8} |\d+(?=\]))"), "").c_str());
            }
            return 0;
        });
        if (r.exitCode == 77) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
        EXPECT_EQ(r.events + "|" + r.out + "|" + r.err, c.result) << c.arg << " " << c.journal;
    }
}

// Status and more time from the service, and the lifecycle's own status,
// arrive in order; NOTIFY_SOCKET has left the environment before the first
// hook, and a process forked since cannot speak for the service.
TEST(Notify, StatusAndMoreTimeReachTheManagerAndNoOtherProcessCanSpeakForTheService)
{
    TempDir dir;
    ChildResult r = RunInChild([&] {
        printf("no manager %d%d, ", serviceapp::SetStatus("x"), serviceapp::ExtendTimeout(1));
        g_notifyFd = BindDatagram(dir.path + "/notify");
        setenv("NOTIFY_SOCKET", (dir.path + "/notify").c_str(), 1);
        App app;
        app.run = [](App&) {
            bool told = serviceapp::SetStatus("Loading %d%%\nREADY=1", 50);
            printf("sent %d%d, ", told, serviceapp::ExtendTimeout(1500));
            pid_t child = fork();
            if (child == 0) {
                _exit(getenv("NOTIFY_SOCKET") != nullptr || serviceapp::SetStatus("child"));
            }
            int status = -1;
            printf("child %d, ", waitpid(child, &status, 0) == child ? status : -1);
        };
        RunMain(app, {});
        for (const std::string& message : g_notifications) {
            printf("|%s", message.c_str());
        }
        return 0;
    });
    EXPECT_EQ(r.out,
              "no manager 00, sent 11, child 0, 0|STATUS=Initializing|READY=1\nSTATUS=Running"
              "|STATUS=Loading 50% READY=1|EXTEND_TIMEOUT_USEC=1500000|STOPPING=1\nSTATUS=Stopping");
}

// In a child holding sockets at 3 and 4, and nothing at 5; every case ends
// with the three variables gone.
TEST(ListenSockets, TakesOnlyTheSocketsPassedToThisProcessAndHidesThemFromChildren)
{
    const struct {
        const char* pid;  // "self": ours
        const char* fds;
        const char* names;
        int capacity;
        const char* result;
    } cases[] = {
        {"self", "2", "web:admin", 4, "2 3=web 4=admin cloexec 11"},
        {"self", "2", "", 4, "2 3=unknown 4=unknown cloexec 11"},
        {"self", "2", "web::extra", 1, "2 3=web cloexec 11"},
        {"1", "2", "web:admin", 4, "0 cloexec 00"},
        {"self", "3", "", 4, "-1 cloexec 11"},
        {"self", "two", "", 4, "-1 cloexec 00"},
    };
    for (const auto& c : cases) {
        ChildResult r = RunInChild([&] {
            int pair[2];
            socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
            dup2(pair[0], 3), dup2(pair[1], 4), close(5);
            setenv("LISTEN_PID", *c.pid == 's' ? std::to_string(getpid()).c_str() : c.pid, 1);
            setenv("LISTEN_FDS", c.fds, 1);
            setenv("LISTEN_FDNAMES", c.names, 1);
            serviceapp::ListenSocket sockets[4] = {};
            int n = serviceapp::TakeListenSockets(sockets, c.capacity);
            printf("%d ", n);
            for (int i = 0; i < n && i < c.capacity; ++i) {
                printf("%d=%s ", sockets[i].fd, sockets[i].name);
            }
            printf("cloexec %d%d", fcntl(3, F_GETFD) & FD_CLOEXEC, fcntl(4, F_GETFD) & FD_CLOEXEC);
            return getenv("LISTEN_PID") || getenv("LISTEN_FDS") || getenv("LISTEN_FDNAMES");
        });
        EXPECT_EQ(r.out + (r.exitCode == 0 ? "" : ", variables left"), c.result) << c.pid << " " << c.fds;
    }
}

}  // namespace
