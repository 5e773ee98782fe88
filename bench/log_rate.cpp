// Log lines per second through serviceapp::Log against the hand-written line, into the journal stream or syslog.
// SPDX-License-Identifier: MIT
//
//   log_rate journal ROUNDS   standard error is a stream socket named by $JOURNAL_STREAM, as the
//                             journal connects it; baseline: fprintf(stderr, "<6>...\n")
//   log_rate syslog ROUNDS    /dev/log is a datagram socket bound in a private mount namespace
//                             (root); baseline: syslog(LOG_INFO, ...) on the same connection
//
// A thread drains the socket like the log daemon would. The library runs its
// service lifecycle (which picks the destination); its Run times interleaved
// rounds of both loops and prints, as benchdriver does, LABEL MEDIAN 0 per
// case (lines per second) and LIB/RAW MEDIAN_RATIO 0.
#include <ServiceApp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLines = 5000;  // per timed loop
bool g_journal = true;
int g_rounds = 101;

double NowSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F>
double LinesPerSecond(F line)
{
    double t0 = NowSeconds();
    for (int i = 0; i < kLines; ++i) {
        line(i);
    }
    return kLines / (NowSeconds() - t0);
}

class Bench : public CServiceApp {
    void Run() override
    {
        const char* kind = g_journal ? "journal" : "syslog";
        std::vector<double> lib, raw, ratio;
        for (int round = 0; round < g_rounds + 3; ++round) {
            double a =
                LinesPerSecond([](int i) { serviceapp::Log(LOG_INFO, "bench line %d of the log", i); });
            double b =
                g_journal ? LinesPerSecond([](int i) { fprintf(stderr, "<6>bench line %d of the log\n", i); })
                          : LinesPerSecond([](int i) { syslog(LOG_INFO, "bench line %d of the log", i); });
            if (round >= 3) {  // the first rounds warm up
                lib.push_back(a);
                raw.push_back(b);
                ratio.push_back(a / b);
            }
        }
        printf("lib_%s %.0f 0\nraw_%s %.0f 0\nlib_%s/raw_%s %.4f 0\n", kind, Median(lib), kind, Median(raw),
               kind, kind, Median(ratio));
        StopSelf();
    }
};

// Reads whatever arrives on fd until the process ends.
void Drain(int fd)
{
    std::thread([fd] {
        static char buffer[65536];
        while (read(fd, buffer, sizeof(buffer)) >= 0) {
        }
    }).detach();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (strcmp(argv[1], "journal") != 0 && strcmp(argv[1], "syslog") != 0)) {
        fprintf(stderr, "usage: log_rate journal|syslog ROUNDS\n");
        return 2;
    }
    g_journal = strcmp(argv[1], "journal") == 0;
    g_rounds = atoi(argv[2]);
    if (g_journal) {
        int pair[2];
        struct stat st = {};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || dup2(pair[0], 2) != 2 ||
            fstat(2, &st) != 0) {
            perror("journal stream");
            return 1;
        }
        Drain(pair[1]);
        setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    } else {
        struct sockaddr_un sa = {AF_UNIX, "/dev/log"};
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0 ||
            bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
            perror("a private /dev/log (needs root)");
            return 1;
        }
        Drain(fd);
        unsetenv("JOURNAL_STREAM");
    }
    static Bench app;
    app.SetServiceName("benchlog");
    char name[] = "log_rate";
    char* args[] = {name, nullptr};
    return app.Main(1, args);
}
