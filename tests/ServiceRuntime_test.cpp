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

// Every datagram waiting on fd, each followed by '|'.
std::string Received(int fd)
{
    std::string all;
    char text[512];
    for (ssize_t n; (n = recv(fd, text, sizeof(text), MSG_DONTWAIT)) > 0;) {
        all += std::string(text, static_cast<size_t>(n)) + "|";
    }
    return all;
}

// An error of two lines, then a notice given with a facility. Syslog records
// are read from /dev/log bound in a private mount namespace, without their
// time stamp and process id.
TEST(Log, EachMessageReachesTheConsoleTheJournalOrSyslogWithItsPriority)
{
    const char* syslog = "SIRrPDXM|0 <27>svc[]: bad 1\nnews|<29>svc[]: fine||";
    const struct {
        const char* arg;
        int journal;  // the descriptor $JOURNAL_STREAM names, -1: unset
        const char* result;
    } cases[] = {
        {"-console", 2, "IrDM|fine\n0 |bad 1\nnews\n"},  // warnings and worse on standard error
        {"", 2, "SIRrPDXM|0 |<3>bad 1\n<3>news\n<5>fine\n"},
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
            static const std::regex variable(R"(\w{3} [ \d]\d [\d:]{8} |\d+(?=\]))");
            return printf(" %s", std::regex_replace(Received(log), variable, "").c_str()), 0;
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
        int fd = BindDatagram(dir.path + "/notify");
        setenv("NOTIFY_SOCKET", (dir.path + "/notify").c_str(), 1);
        App app;
        app.run = [](App&) {
            bool told = serviceapp::SetStatus("Loading %d%%\nREADY=1", 50);
            printf("sent %d%d, ", told, serviceapp::ExtendTimeout(1500));
            (void)fflush(stdout);  // the child must not carry the buffered text
            pid_t child = fork();
            if (child == 0) {
                _exit(getenv("NOTIFY_SOCKET") != nullptr || serviceapp::SetStatus("child"));
            }
            int status = -1;
            printf("child %d, ", waitpid(child, &status, 0) == child ? status : -1);
        };
        RunMain(app, {});
        return printf(" %s", Received(fd).c_str()), 0;
    });
    EXPECT_EQ(r.out,
              "no manager 00, sent 11, child 0, 0 STATUS=Initializing|READY=1\nSTATUS=Running|"
              "STATUS=Loading 50% READY=1|EXTEND_TIMEOUT_USEC=1500000|STOPPING=1\nSTATUS=Stopping|");
}

// One child holding sockets at 3 and 4, and nothing at 5, takes what each
// environment offers (LISTEN_PID, LISTEN_FDS, LISTEN_FDNAMES; S: its own pid):
// the result, the first socket, whether 3 is close-on-exec now, and whether
// any of the variables is left.
TEST(ListenSockets, TakesOnlyTheSocketsPassedToThisProcessAndHidesThemFromChildren)
{
    ChildResult r = RunInChild([] {
        int pair[2];
        (void)!socketpair(AF_UNIX, SOCK_STREAM, 0, pair), dup2(pair[0], 3), dup2(pair[1], 4), close(5);
        for (std::string env : {"1 2 web", "S two web", "S 3 web", "S 2 :admin", "S 2 web:admin"}) {
            std::string fds = env.substr(2, env.rfind(' ') - 2), names = env.substr(env.rfind(' ') + 1);
            setenv("LISTEN_PID", env[0] == 'S' ? std::to_string(getpid()).c_str() : "1", 1);
            setenv("LISTEN_FDS", fds.c_str(), 1);
            setenv("LISTEN_FDNAMES", names.c_str(), 1);
            serviceapp::ListenSocket got[1] = {};
            int n = serviceapp::TakeListenSockets(got, 1);
            printf("%d %d=%s %d %d|", n, got[0].fd, got[0].name, fcntl(3, F_GETFD) & FD_CLOEXEC,
                   getenv("LISTEN_PID") || getenv("LISTEN_FDS") || getenv("LISTEN_FDNAMES"));
        }
        return 0;
    });
    EXPECT_EQ(r.out, "0 0= 0 0|0 0= 0 0|-1 0= 1 0|2 3=unknown 1 0|2 3=web 1 0|")
        << "not ours; malformed; more than passed; no name; two, of which the first";
}

}  // namespace
