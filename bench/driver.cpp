// Measures whole commands side by side (interleaved rounds, medians): run time, SIGTERM-to-exit latency, idle RSS.
// SPDX-License-Identifier: MIT
//
//   benchdriver time ROUNDS (LABEL PREPARE COMMAND)...  wall time of COMMAND; PREPARE (a shell
//                                                       command, may be empty) runs untimed first
//   benchdriver stop ROUNDS (LABEL COMMAND)...          SIGTERM to exit, once the daemon waits
//   benchdriver rss ROUNDS (LABEL COMMAND)...           resident set in KiB of the waiting daemon,
//                                                       and its anonymous part as LABEL_anon
//   benchdriver reload ROUNDS (LABEL COMMAND)...        SIGHUP to the READY=1 that ends the reload,
//                                                       at a socket the driver binds as $NOTIFY_SOCKET
//
// COMMAND is split on spaces and run without a shell, its output discarded.
// Prints one line per case: LABEL MEDIAN FAILURES (microseconds or KiB), then
// for every ordered pair of cases A/B MEDIAN_RATIO 0: the median over rounds of
// A's sample divided by B's from the same round, which cancels the load that
// other work on the machine puts on both alike.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Case {
    std::string label;
    std::string prepare;
    std::vector<std::string> command;
    std::vector<double> samples;      // recorded rounds only
    std::vector<double> anonSamples;  // rss mode: the anonymous part
    std::vector<double> byRound;      // every recorded round, NaN where it failed
    int failures = 0;
};

double NowMicros()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

pid_t Spawn(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// True when the child exited with status 0.
bool Reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Waits until the process sleeps in one of the waits a daemon loop uses
// (nanosleep, clock_nanosleep, ppoll, poll, pause): by then its handlers are in place.
bool WaitUntilSleeping(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (double deadline = NowMicros() + 10e6; NowMicros() < deadline;) {
        std::ifstream in(path);
        std::string first;
        in >> first;
        if (first == "35" || first == "230" || first == "271" || first == "7" || first == "34") {
            return true;
        }
        usleep(200);
    }
    return false;
}

// A "Name:  N kB" field of /proc/PID/status, or -1.
long StatusKiB(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

double Median(std::vector<double> v)
{
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// reload mode: the datagram socket standing in for the service manager.
int g_notify = -1;

bool BindNotifySocket()
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "/tmp/benchdriver-notify-%d",
             static_cast<int>(getpid()));
    unlink(address.sun_path);
    g_notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct timeval timeout = {10, 0};
    return g_notify >= 0 &&
           bind(g_notify, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0 &&
           setsockopt(g_notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0 &&
           setenv("NOTIFY_SOCKET", address.sun_path, 1) == 0;
}

// Receives datagrams until one that starts with prefix (true) or a time-out.
bool AwaitMessage(const char* prefix)
{
    char text[256];
    for (ssize_t n; (n = recv(g_notify, text, sizeof(text), 0)) >= 0;) {
        if (static_cast<size_t>(n) >= strlen(prefix) && memcmp(text, prefix, strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

void Measure(const std::string& mode, Case& c, bool keep)
{
    if (mode == "time") {
        if (!c.prepare.empty() && std::system(("(" + c.prepare + ") >/dev/null 2>&1").c_str()) != 0) {
            ++c.failures;
        }
        double t0 = NowMicros();
        pid_t pid = Spawn(c.command);
        bool ok = pid > 0 && Reap(pid);
        double t1 = NowMicros();
        if (!ok) {
            ++c.failures;
        } else if (keep) {
            c.samples.push_back(t1 - t0);
        }
        return;
    }
    pid_t pid = Spawn(c.command);
    if (pid <= 0 || (mode == "reload" && !AwaitMessage("READY=1")) || !WaitUntilSleeping(pid)) {
        ++c.failures;
        if (pid > 0) {
            kill(pid, SIGKILL);
            Reap(pid);
        }
        return;
    }
    if (mode == "rss") {
        long kib = StatusKiB(pid, "VmRSS");
        long anon = StatusKiB(pid, "RssAnon");
        kill(pid, SIGTERM);
        if (!Reap(pid) || kib < 0 || anon < 0) {
            ++c.failures;
        } else if (keep) {
            c.samples.push_back(static_cast<double>(kib));
            c.anonSamples.push_back(static_cast<double>(anon));
        }
        return;
    }
    if (mode == "reload") {
        double t0 = NowMicros();
        kill(pid, SIGHUP);
        bool ok = AwaitMessage("READY=1");  // after RELOADING=1
        double t1 = NowMicros();
        kill(pid, SIGTERM);
        if (!Reap(pid) || !ok) {
            ++c.failures;
        } else if (keep) {
            c.samples.push_back(t1 - t0);
        }
        return;
    }
    double t0 = NowMicros();
    kill(pid, SIGTERM);
    bool ok = Reap(pid);  // status 0: the handler caught it and the loop ended
    double t1 = NowMicros();
    if (!ok) {
        ++c.failures;
    } else if (keep) {
        c.samples.push_back(t1 - t0);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: benchdriver time|stop|rss|reload ROUNDS CASES...\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "reload" && !BindNotifySocket()) {
        std::perror("benchdriver: notify socket");
        return 1;
    }
    const int rounds = std::atoi(argv[2]);
    const int width = mode == "time" ? 3 : 2;
    std::vector<Case> cases;
    for (int i = 3; i + width - 1 < argc; i += width) {
        Case c;
        c.label = argv[i];
        if (width == 3) {
            c.prepare = argv[i + 1];
        }
        c.command = Split(argv[i + width - 1]);
        cases.push_back(c);
    }
    // A few unrecorded rounds first warm the page cache and the loader.
    const int warmup = 3;
    for (int round = 0; round < warmup + rounds; ++round) {
        for (Case& c : cases) {
            size_t before = c.samples.size();
            Measure(mode, c, round >= warmup);
            if (round >= warmup) {
                c.byRound.push_back(c.samples.size() > before ? c.samples.back() : NAN);
            }
        }
    }
    for (const Case& c : cases) {
        std::printf("%s %.1f %d\n", c.label.c_str(), Median(c.samples), c.failures);
        if (mode == "rss") {
            std::printf("%s_anon %.1f %d\n", c.label.c_str(), Median(c.anonSamples), c.failures);
        }
    }
    for (const Case& a : cases) {
        for (const Case& b : cases) {
            std::vector<double> ratios;
            for (size_t i = 0; &a != &b && i < a.byRound.size(); ++i) {
                if (!std::isnan(a.byRound[i]) && !std::isnan(b.byRound[i]) && b.byRound[i] > 0) {
                    ratios.push_back(a.byRound[i] / b.byRound[i]);
                }
            }
            if (!ratios.empty()) {
                std::printf("%s/%s %.4f 0\n", a.label.c_str(), b.label.c_str(), Median(ratios));
            }
        }
    }
    return 0;
}
