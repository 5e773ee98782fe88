// Readiness under a real systemd: from "systemctl start" until the unit is active, for a client and a hand-written daemon.
// SPDX-License-Identifier: MIT
//
//   readiness ROUNDS CLIENT BASELINE
//
// Boots the host's systemd as process 1 in private namespaces (the test
// suite's harness), installs CLIENT through its own "-install" (it names
// itself benchsvc) and BASELINE as a hand-written Type=notify unit, then, in
// interleaved rounds after three unrecorded ones, times "systemctl start",
// which returns once the manager has the unit's READY=1, and stops it again
// untimed. Prints what benchdriver prints: LABEL MEDIAN FAILURES (us) for
// lib_ready and min_ready, then both ratios as LABEL/LABEL MEDIAN_RATIO 0.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SystemdBoot.h"

using namespace testsupport;

namespace {

// Runs argv inside (this process has joined the system), output discarded; true on exit status 0.
bool Exec(const std::vector<std::string>& argv, bool quiet = true)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        if (quiet) {
            dup2(null, 2);
        }
        Argv args(argv);
        execv(args.argv()[0], args.argv());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || atoi(argv[1]) <= 0 || argv[2][0] != '/' || argv[3][0] != '/') {
        fprintf(stderr, "usage: readiness ROUNDS /path/to/CLIENT /path/to/BASELINE\n");
        return 2;
    }
    const int rounds = atoi(argv[1]);
    const std::string client = argv[2], baseline = argv[3], systemctl = "/bin/systemctl";
    std::vector<std::string> keep;
    for (const std::string& program : {client, baseline}) {
        keep.push_back(program.substr(0, program.rfind('/')));
    }
    BootedSystemd system(keep, 90, 3600);
    if (!system.Failure().empty()) {
        fprintf(stderr, "readiness: no system to measure in: %s\n", system.Failure().c_str());
        return 1;
    }
    ChildResult r = system.In(
        [&] {
            const std::string unit =
                "[Unit]\nDescription=Hand-written notify daemon\n\n[Service]\nType=notify\n"
                "NotifyAccess=main\nExecStart=" +
                baseline + "\n";
            if (!Exec({client, "-install"}, false) ||
                !WriteFile("/etc/systemd/system/benchnotify.service", unit) ||
                !Exec({systemctl, "daemon-reload"}, false)) {
                fprintf(stderr, "installing the two services failed\n");
                return 1;
            }
            const char* labels[] = {"lib_ready", "min_ready"};
            const char* units[] = {"benchsvc", "benchnotify"};
            std::vector<double> samples[2];
            int failures[2] = {0, 0};
            for (int round = -3; round < rounds; ++round) {
                for (int i = 0; i < 2; ++i) {
                    long long start = NowUs();
                    bool ok = Exec({systemctl, "start", units[i]});
                    double took = static_cast<double>(NowUs() - start);
                    ok = Exec({systemctl, "stop", units[i]}) && ok;
                    if (round >= 0) {
                        samples[i].push_back(ok ? took : NAN);
                        failures[i] += ok ? 0 : 1;
                    }
                }
            }
            for (int i = 0; i < 2; ++i) {
                printf("%s %.1f %d\n", labels[i], Median(samples[i]), failures[i]);
            }
            for (int i = 0; i < 2; ++i) {
                std::vector<double> ratios;
                for (size_t k = 0; k < samples[i].size(); ++k) {
                    ratios.push_back(samples[i][k] / samples[1 - i][k]);
                }
                printf("%s/%s %.4f 0\n", labels[i], labels[1 - i], Median(ratios));
            }
            return 0;
        },
        3000);
    fputs(r.out.c_str(), stdout);
    fputs(r.err.c_str(), stderr);
    std::string host = system.Shut();
    if (!host.empty()) {
        fprintf(stderr, "readiness: %s\n", host.c_str());
        return 1;
    }
    return r.exitCode;
}
