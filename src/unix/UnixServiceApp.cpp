// CUnixServiceApp: the service and console lifecycles, the default run loop and the stop signals.
#include "UnixServiceApp.h"

#include <poll.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

// How long the default Run sleeps between looks at the quit flag when no
// signal wakes it.
constexpr time_t kRunPollSeconds = 15;

void InstallHandler(int signo)
{
    struct sigaction action = {};
    action.sa_handler = CUnixServiceApp::SignalHandlerStatic;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a caught signal cuts the sleep short
    // A failure leaves the signal's previous disposition; there is nothing
    // better to do with it here.
    (void)sigaction(signo, &action, nullptr);
}

// Async-signal-safe: the handler uses it too.
void SetDefaultAction(int signo)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sigaction(signo, &dfl, nullptr);
}

// Puts back the default action of signo if our handler is the one installed.
void RestoreDefaultIfOurs(int signo)
{
    struct sigaction current = {};
    if (sigaction(signo, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == CUnixServiceApp::SignalHandlerStatic) {
        SetDefaultAction(signo);
    }
}

}  // namespace

CUnixServiceApp::CUnixServiceApp() : m_rcSequence(55) {}

CUnixServiceApp::~CUnixServiceApp()
{
    if (c_serviceAppInstancePtr == this) {
        RestoreDefaultIfOurs(SIGTERM);
        RestoreDefaultIfOurs(SIGINT);
        c_serviceAppInstancePtr = nullptr;
    }
}

bool CUnixServiceApp::StartService()
{
    return false;
}

bool CUnixServiceApp::StopService()
{
    return false;
}

bool CUnixServiceApp::IsServiceInstalled()
{
    return false;
}

void CUnixServiceApp::StopSelf()
{
    SetQuitFlag();
}

void CUnixServiceApp::SignalHandlerStatic(int signal)
{
    int savedErrno = errno;
    CBaseServiceApp* instance = c_serviceAppInstancePtr;
    if (instance != nullptr) {
        instance->SetQuitFlag();
    } else {
        // Nobody is registered to stop: act as the signal would without us.
        SetDefaultAction(signal);
        (void)raise(signal);
    }
    errno = savedErrno;
}

void CUnixServiceApp::Run()
{
    // SIGTERM and SIGINT stay blocked between the look at the quit flag and
    // the wait, and ppoll unblocks them atomically, so a signal that lands in
    // between still ends the wait at once instead of after a full period.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t previous;
    if (sigprocmask(SIG_BLOCK, &stopSignals, &previous) != 0) {
        sigemptyset(&previous);
    }
    sigset_t waitMask = previous;
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);

    while (!CheckQuitFlag()) {
        struct timespec period = {kRunPollSeconds, 0};
        // The result does not matter: time-out, EINTR or anything else, the
        // loop looks at the quit flag again.
        (void)ppoll(nullptr, 0, &period, &waitMask);
    }
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
}

bool CUnixServiceApp::RunAsService()
{
    SetServiceStateStarting();
    InstallHandler(SIGTERM);
    InstallHandler(SIGINT);
    if (Initialize()) {
        SetServiceStateRunning();
        Run();
    }
    SetServiceStateStopping();
    Deinitialize();
    SetServiceStateStopped();
    return true;
}

bool CUnixServiceApp::RunAsConsole()
{
    if (Initialize()) {
        Run();
    }
    Deinitialize();
    return true;
}
