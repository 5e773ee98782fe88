// A recording service client for the lifecycle and signal tests.
#ifndef SERVICEAPP_TESTS_RECORDER_H
#define SERVICEAPP_TESTS_RECORDER_H

#include <ServiceApp.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <string>

#include "TestSupport.h"

namespace testsupport {

// Blocks SIGTERM and SIGINT, reports 'w', then sleeps until a signal has
// been handled, leaving the signals blocked only while looking at the count,
// so the parent's signal cannot slip in unseen. With no handler installed
// the signal's default action ends the process here.
inline void AwaitSignal(const std::atomic<int>& handled)
{
    sigset_t stop;
    sigset_t old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &old);
    int before = handled.load();
    ReportEvent('w');
    sigset_t open = old;
    sigdelset(&open, SIGTERM);
    sigdelset(&open, SIGINT);
    while (handled.load() == before) {
        sigsuspend(&open);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// A client that reports each hook as one event byte:
// S starting, I Initialize, R running, r Run, P stopping, D Deinitialize,
// X stopped, Q SetQuitFlag. A hook whose letter is in pauseIn then waits
// for a signal (reporting 'w' when ready for it).
class Recorder : public CServiceApp {
public:
    bool initResult = true;
    bool stopSelfInInitialize = false;
    bool holdFirstCheck = false;  // the first look at the flag waits for a signal
    std::string pauseIn;
    void (*run)(Recorder&) = nullptr;  // Run's body; null keeps the default Run
    std::atomic<int> quitCalls{0};

    void SetServiceStateStarting() override { Hook('S'); }
    void SetServiceStateRunning() override { Hook('R'); }
    void SetServiceStateStopping() override { Hook('P'); }
    void SetServiceStateStopped() override { Hook('X'); }
    bool Initialize() override
    {
        Hook('I');
        if (stopSelfInInitialize) {
            StopSelf();
        }
        return initResult;
    }
    void Deinitialize() override { Hook('D'); }
    void Run() override
    {
        Hook('r');
        if (run != nullptr) {
            run(*this);
        } else {
            CServiceApp::Run();
        }
    }
    // Looks at the flag, then, the first time, holds on until a stop signal
    // is pending or handled: the signal lands between the default Run's
    // test and its wait ('c').
    bool CheckQuitFlag() override
    {
        bool quit = CServiceApp::CheckQuitFlag();
        if (!quit && holdFirstCheck) {
            holdFirstCheck = false;
            ReportEvent('c');
            for (sigset_t pending; sigpending(&pending) == 0 && !sigismember(&pending, SIGTERM) &&
                                   !sigismember(&pending, SIGINT) && quitCalls.load() == 0;) {
                struct timespec tick = {0, 1000000};
                nanosleep(&tick, nullptr);
            }
        }
        return quit;
    }
    void SetQuitFlag() override
    {
        CServiceApp::SetQuitFlag();
        ++quitCalls;
        ReportEvent('Q');
    }
    void Hook(char letter)
    {
        ReportEvent(letter);
        if (pauseIn.find(letter) != std::string::npos) {
            AwaitSignal(quitCalls);
        }
    }
};

}  // namespace testsupport

#endif
