// Signal races: services started hundreds of times and hit by SIGTERM or SIGINT at random moments.
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
#include "TestSupport.h"

using testsupport::Argv;
using testsupport::BackgroundChild;
using testsupport::ChildResult;
using testsupport::Finish;
using testsupport::Recorder;
using testsupport::ReportEvent;
using testsupport::StartChild;

namespace {

constexpr int kRunsPerLoop = 100;
constexpr long long kBudgetMs = 150000;   // the whole test, however loaded the machine
constexpr long long kExitLimitMs = 5000;  // signal to exit; a lost wake-up costs 15000

long long NowUs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// How the service's Run waits for the quit flag.
enum class Loop { DefaultRun, BusyPoll, Nanosleep };
const char* const kLoopNames[] = {"default Run", "busy poll", "nanosleep"};

// In the child: when >= 0 the service also stops itself that long after Run
// began, so that signals land in every later phase as well.
long long g_selfStopUs = -1;

// Run bodies for the busy-polling and the nanosleep-blocking client.
void PollRun(Recorder& app, bool sleeps)
{
    long long stopAt = g_selfStopUs >= 0 ? NowUs() + g_selfStopUs : -1;
    while (!app.CheckQuitFlag()) {
        if (stopAt >= 0 && NowUs() >= stopAt) {
            app.StopSelf();
        } else if (sleeps) {
            struct timespec nap = {stopAt >= 0 ? 0 : 1, stopAt >= 0 ? 100000 : 0};
            nanosleep(&nap, nullptr);
        }
    }
}

struct Tally {
    int killedEarly = 0;
    int stopped = 0;
    long long slowestExitUs = 0;
};

TEST(SignalRace, EveryRunEndsKilledBeforeTheHandlersOrWithEachStopHookOnce)
{
    // A runner that ignores SIGINT would hand that to the children, which
    // could then miss a signal sent before their first instruction.
    auto oldTerm = signal(SIGTERM, SIG_DFL);
    auto oldInt = signal(SIGINT, SIG_DFL);
    unsigned seed = std::random_device()();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> logDelay(std::log(10.0), std::log(30000.0));
    Tally tally[3];
    long long start = NowUs();
    int runs = 0;
    int failures = 0;
    for (; runs < 3 * kRunsPerLoop && failures < 5; ++runs) {
        if ((NowUs() - start) / 1000 > kBudgetMs) {
            break;
        }
        Loop loop = static_cast<Loop>(runs % 3);
        int sig = rng() % 2 ? SIGTERM : SIGINT;
        long long selfStopUs = rng() % 2 ? static_cast<long long>(rng() % 3000) : -1;
        long long delayUs = static_cast<long long>(std::exp(logDelay(rng)));

        BackgroundChild child = StartChild(
            [loop, selfStopUs] {
                g_selfStopUs = selfStopUs;
                Recorder service;
                service.stopSelfInInitialize = loop == Loop::DefaultRun && selfStopUs >= 0;
                if (loop != Loop::DefaultRun) {
                    service.run = loop == Loop::BusyPoll ? +[](Recorder& app) { PollRun(app, false); }
                                                         : +[](Recorder& app) { PollRun(app, true); };
                }
                service.SetServiceName("race");
                Argv argv({"race"});
                int rc = service.Main(argv.argc(), argv.argv());
                ReportEvent('M');
                // Leave while the object still exists: destroying it puts the
                // default actions back, and a signal after that rightly kills.
                _exit(rc == 0 ? 0 : 1);
                return 1;
            },
            30);
        struct timespec delay = {static_cast<time_t>(delayUs / 1000000),
                                 static_cast<long>(delayUs % 1000000) * 1000};
        nanosleep(&delay, nullptr);
        long long sent = NowUs();
        kill(child.pid, sig);
        ChildResult r = Finish(child);
        long long exitUs = NowUs() - sent;

        bool handlersSeen = r.events.find('I') != std::string::npos;
        bool ok;
        Tally& t = tally[runs % 3];
        if (!r.exited) {
            ok = r.signal == sig && !handlersSeen;
            ++t.killedEarly;
        } else {
            std::string hooks = r.events;
            hooks.erase(std::remove(hooks.begin(), hooks.end(), 'Q'), hooks.end());
            ok = r.exitCode == 0 && hooks == "SIRrPDXM" && r.events.size() - hooks.size() <= 2;
            ++t.stopped;
        }
        if (handlersSeen) {
            ok = ok && exitUs < kExitLimitMs * 1000;
            t.slowestExitUs = std::max(t.slowestExitUs, exitUs);
        }
        if (!ok) {
            ++failures;
            ADD_FAILURE() << kLoopNames[runs % 3] << ", " << strsignal(sig) << " after " << delayUs
                          << " us, self-stop " << selfStopUs << " us: events \"" << r.events << "\", "
                          << (r.exited ? "exit " + std::to_string(r.exitCode)
                                       : "killed by " + std::to_string(r.signal))
                          << ", exit " << exitUs / 1000 << " ms after the signal (seed " << seed << ")";
        }
    }
    signal(SIGTERM, oldTerm);
    signal(SIGINT, oldInt);
    EXPECT_GE(runs, 3 * 30) << "too few runs within the time budget to mean anything";
    for (int i = 0; i < 3; ++i) {
        printf("%-12s killed before the handlers %3d, stopped cleanly %3d, slowest exit %lld ms\n",
               kLoopNames[i], tally[i].killedEarly, tally[i].stopped, tally[i].slowestExitUs / 1000);
    }
}

}  // namespace
