// Signal races: services started hundreds of times and hit by SIGTERM or SIGINT at random moments.
// SPDX-License-Identifier: MIT
#include <ServiceApp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include "Recorder.h"

using namespace testsupport;
using App = Recorder<CServiceApp>;

namespace {

constexpr int kRunsPerLoop = 100;
constexpr long long kBudgetUs = 150000000;   // the whole test, however loaded the machine
constexpr long long kExitLimitUs = 5000000;  // signal to exit; a lost wake-up costs 15 s

// How the service's Run waits for the quit flag: the default Run, a busy
// poll, or nanosleep naps.
const char* const kLoopNames[] = {"default Run", "busy poll", "nanosleep"};

// In the child: when >= 0 the service also stops itself that long after Run
// began, so that signals land in every later phase as well.
long long g_selfStopUs = -1;

template <bool kSleeps>
void PollRun(App& app)
{
    long long stopAt = g_selfStopUs >= 0 ? NowUs() + g_selfStopUs : -1;
    while (!app.CheckQuitFlag()) {
        if (stopAt >= 0 && NowUs() >= stopAt) {
            app.StopSelf();
        } else if (kSleeps) {
            struct timespec nap = {stopAt >= 0 ? 0 : 1, stopAt >= 0 ? 100000 : 0};
            nanosleep(&nap, nullptr);
        }
    }
}

TEST(SignalRace, EveryRunEndsKilledBeforeTheHandlersOrWithEachStopHookOnce)
{
    // A runner that ignores SIGINT would hand that to the children, which
    // could then miss a signal sent before their first instruction.
    auto oldTerm = signal(SIGTERM, SIG_DFL);
    auto oldInt = signal(SIGINT, SIG_DFL);
    unsigned seed = std::random_device()();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> logDelay(std::log(10.0), std::log(30000.0));
    int ended[3][2] = {};  // per loop: killed before the handlers, stopped cleanly
    long long slowestExitUs[3] = {0, 0, 0};
    long long start = NowUs();
    int runs = 0;
    for (int failures = 0; runs < 3 * kRunsPerLoop && failures < 5 && NowUs() - start < kBudgetUs; ++runs) {
        int loop = runs % 3;
        int sig = rng() % 2 ? SIGTERM : SIGINT;
        long long selfStopUs = rng() % 2 ? static_cast<long long>(rng() % 3000) : -1;
        long long delayUs = static_cast<long long>(std::exp(logDelay(rng)));
        Child child(
            [loop, selfStopUs] {
                g_selfStopUs = selfStopUs;
                App service;
                service.script = loop == 0 && selfStopUs >= 0 ? "s" : "";
                service.run = loop == 0 ? nullptr : loop == 1 ? PollRun<false> : PollRun<true>;
                // Leave while the object still exists: destroying it puts the
                // default actions back, and a signal after that rightly kills.
                RunMain(service, {});
                fflush(stdout);
                _exit(0);
                return 0;
            },
            30);
        struct timespec delay = {static_cast<time_t>(delayUs / 1000000),
                                 static_cast<long>(delayUs % 1000000) * 1000};
        nanosleep(&delay, nullptr);
        long long sent = NowUs();
        kill(child.pid, sig);
        ChildResult r = child.Finish();
        long long exitUs = NowUs() - sent;

        bool handlersSeen = r.events.find('I') != std::string::npos;
        std::string hooks = r.events;
        hooks.erase(std::remove(hooks.begin(), hooks.end(), 'Q'), hooks.end());
        bool ok = r.exited ? r.out == "0" && hooks == "SIRrPDXM" && r.events.size() - hooks.size() <= 2
                           : r.signal == sig && !handlersSeen;
        ++ended[loop][r.exited];
        if (handlersSeen) {
            ok = ok && exitUs < kExitLimitUs;
            slowestExitUs[loop] = std::max(slowestExitUs[loop], exitUs);
        }
        if (!ok) {
            ++failures;
            ADD_FAILURE() << kLoopNames[loop] << ", " << strsignal(sig) << " after " << delayUs
                          << " us, self-stop " << selfStopUs << " us: events \"" << r.events << "\", out \""
                          << r.out << "\", "
                          << (r.exited ? "exited" : "killed by " + std::to_string(r.signal)) << ", "
                          << exitUs / 1000 << " ms after the signal (seed " << seed << ")";
        }
    }
    signal(SIGTERM, oldTerm);
    signal(SIGINT, oldInt);
    EXPECT_GE(runs, 3 * 30) << "too few runs within the time budget to mean anything";
    for (int i = 0; i < 3; ++i) {
        printf("%-12s killed before the handlers %3d, stopped cleanly %3d, slowest exit %lld ms\n",
               kLoopNames[i], ended[i][0], ended[i][1], slowestExitUs[i] / 1000);
    }
}

}  // namespace
