// CUnixServiceApp: the service and console lifecycles, the default run loop, the stop signals and the stop event.
// SPDX-License-Identifier: MIT
#include "UnixServiceApp.h"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "unix/InstallChecks.h"
#include "unix/InstallPlan.h"
#include "unix/Notify.h"

namespace {

// How long the default Run waits between looks at the quit flag when nothing
// wakes it and no watchdog asks for more.
constexpr unsigned int kRunPollMs = 15000;
// Without a stop event (no descriptor could be had) waits are cut into ticks
// this long, so a stop from another thread is still seen soon.
constexpr long long kFallbackTickMs = 200;

// The stop event: an eventfd every stop the library sees writes to, so a wait
// on it ends at once whichever thread the stop came from. It lives outside the
// objects (their layout is fixed), is made by the first wait, and is closed by
// the registered object's destructor. Writers count themselves in
// g_stopEventWriters so the close never races a handler on another thread
// that already read the descriptor.
int g_stopEvent = -1;
int g_stopEventWriters = 0;

// Async-signal-safe; keeps errno.
void SignalStopEvent()
{
    int savedErrno = errno;
    __atomic_add_fetch(&g_stopEventWriters, 1, __ATOMIC_SEQ_CST);
    int fd = __atomic_load_n(&g_stopEvent, __ATOMIC_SEQ_CST);
    if (fd >= 0) {
        uint64_t one = 1;
        // Can fail only at the counter's limit, when the event is set anyway.
        (void)!write(fd, &one, sizeof(one));
    }
    __atomic_sub_fetch(&g_stopEventWriters, 1, __ATOMIC_SEQ_CST);
    errno = savedErrno;
}

// The process that made the event. A child forked without exec inherits it,
// shared with its parent, whose waits would then take the child's wake-ups and
// the other way round: the child drops it and makes its own. (The raw system
// call keeps the waiting service off another page of the C library.)
long g_stopEventOwner = 0;

// The stop event, made on first use; -1 when no descriptor can be had.
int StopEvent()
{
    int fd = __atomic_load_n(&g_stopEvent, __ATOMIC_SEQ_CST);
    long self = syscall(SYS_getpid);
    if (fd >= 0 && __atomic_load_n(&g_stopEventOwner, __ATOMIC_SEQ_CST) == self) {
        return fd;
    }
    if (fd >= 0 &&
        __atomic_compare_exchange_n(&g_stopEvent, &fd, -1, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        // Only the forking thread came along, so no writer is left mid-write.
        __atomic_store_n(&g_stopEventWriters, 0, __ATOMIC_SEQ_CST);
        (void)close(fd);  // the parent's stays open in the parent
    }
    int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0) {
        return -1;
    }
    __atomic_store_n(&g_stopEventOwner, self, __ATOMIC_SEQ_CST);
    int expected = -1;
    if (!__atomic_compare_exchange_n(&g_stopEvent, &expected, made, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        (void)close(made);  // another thread made it first; ours was never seen
        return expected;
    }
    return made;
}

void CloseStopEvent()
{
    int fd = __atomic_exchange_n(&g_stopEvent, -1, __ATOMIC_SEQ_CST);
    if (fd < 0) {
        return;
    }
    while (__atomic_load_n(&g_stopEventWriters, __ATOMIC_SEQ_CST) != 0) {
        (void)sched_yield();  // a handler on another thread is between its load and its write
    }
    (void)close(fd);
}

long long NowMs()
{
    struct timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

using Handler = void (*)(int);

// SIGUSR1 asks the Debian-family script's "reload"; its default action would
// end the service without de-initialization. There is nothing to reload, so
// the handler does nothing, errno included.
void IgnoreReload(int /*signal*/) {}
// Whether the lifecycle installed IgnoreReload, so only then does the
// destructor look at SIGUSR1 (nothing else can install it).
bool g_reloadCaught = false;

void InstallHandler(int signo, Handler handler, int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
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

// The plain handler installed for signo; SIG_ERR for a three-argument one or
// when it cannot be read.
Handler CurrentHandler(int signo)
{
    struct sigaction current = {};
    return sigaction(signo, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) ? current.sa_handler
                                                                                        : SIG_ERR;
}

// Puts back the default action of signo if the library's handler for it is
// the one installed.
void RestoreDefaultIfOurs(int signo)
{
    if (CurrentHandler(signo) == (signo == SIGUSR1 ? IgnoreReload : CUnixServiceApp::SignalHandlerStatic)) {
        SetDefaultAction(signo);
    }
}

}  // namespace

CUnixServiceApp::CUnixServiceApp() : m_rcSequence(55) {}

CUnixServiceApp::~CUnixServiceApp()
{
    CBaseServiceApp* registered = __atomic_load_n(&c_serviceAppInstancePtr, __ATOMIC_SEQ_CST);
    if (registered == this) {
        RestoreDefaultIfOurs(SIGTERM);
        RestoreDefaultIfOurs(SIGINT);
        if (g_reloadCaught) {
            RestoreDefaultIfOurs(SIGUSR1);
            g_reloadCaught = false;
        }
        __atomic_store_n(&c_serviceAppInstancePtr, nullptr, __ATOMIC_SEQ_CST);
    }
    // The event serves the registered object; another one going leaves it.
    if (registered == this || registered == nullptr) {
        CloseStopEvent();
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
    return serviceapp::IsValidServiceName(m_serviceName, sizeof(m_serviceName)) &&
           serviceapp::IsInstalledUnder("", m_serviceName);
}

void CUnixServiceApp::StopSelf()
{
    SetQuitFlag();
    SignalStopEvent();
}

void CUnixServiceApp::SignalHandlerStatic(int signal)
{
    int savedErrno = errno;
    CBaseServiceApp* instance = __atomic_load_n(&c_serviceAppInstancePtr, __ATOMIC_SEQ_CST);
    if (instance != nullptr) {
        instance->SetQuitFlag();
        SignalStopEvent();
    } else {
        // Nobody is registered to stop: act as the signal would without us.
        SetDefaultAction(signal);
        (void)raise(signal);
    }
    errno = savedErrno;
}

bool CUnixServiceApp::WaitForStop(unsigned int milliseconds)
{
    // The event is had before the flag is looked at: a stop that comes after
    // the look then finds it to write to, and the wait below ends at once.
    int fd = StopEvent();
    long long deadline = NowMs() + milliseconds;
    while (!CheckQuitFlag()) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            return false;
        }
        if (fd < 0) {
            left = left < kFallbackTickMs ? left : kFallbackTickMs;
        }
        struct timespec wait = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        struct pollfd event = {fd, POLLIN, 0};
        // Time-out, EINTR or the event: the loop looks at the flag again.
        if (ppoll(&event, fd >= 0 ? 1 : 0, &wait, nullptr) > 0 && !CheckQuitFlag()) {
            // Set by a stop that was not ours (another object's, or a parent's
            // before it forked us): clear it, and set it again should our own
            // stop have come meanwhile, for any other thread waiting on it.
            uint64_t count = 0;
            (void)!read(fd, &count, sizeof(count));
            if (CheckQuitFlag()) {
                SignalStopEvent();
            }
        }
    }
    return true;
}

void CUnixServiceApp::NotifyWatchdog()
{
    if (serviceapp::WatchdogPeriodUs() > 0) {
        (void)serviceapp::NotifyServiceManager("WATCHDOG=1");  // a lost ping is the manager's to judge
    }
}

void CUnixServiceApp::Run()
{
    // Under a watchdog, a third of its period between pings: at least two
    // pings per period even when a wake-up comes late.
    unsigned long long watchdogUs = serviceapp::WatchdogPeriodUs();
    unsigned int waitMs = kRunPollMs;
    if (watchdogUs > 0) {
        unsigned long long thirdMs = watchdogUs / 3000;
        waitMs = thirdMs < 1 ? 1 : thirdMs < kRunPollMs ? static_cast<unsigned int>(thirdMs) : kRunPollMs;
    }
    do {
        if (watchdogUs > 0) {
            (void)serviceapp::NotifyServiceManager("WATCHDOG=1");
        }
    } while (!WaitForStop(waitMs));
}

bool CUnixServiceApp::RunAsService()
{
    SetServiceStateStarting();
    InstallHandler(SIGTERM, SignalHandlerStatic, 0);  // no SA_RESTART: a stop cuts blocking calls short
    InstallHandler(SIGINT, SignalHandlerStatic, 0);
    if (CurrentHandler(SIGUSR1) == SIG_DFL) {
        InstallHandler(SIGUSR1, IgnoreReload, SA_RESTART);  // a client's own handler stays
        g_reloadCaught = true;
    }
    // The signal mask survives exec: a parent that started us with the stop
    // signals blocked would otherwise leave them pending for good.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    (void)sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);  // this thread's mask, as glibc defines it
    serviceapp::SetStartRefused(false);
    if (Initialize()) {
        SetServiceStateRunning();
        // Notifications are best effort: a manager that cannot be told
        // never stops the service.
        if (!serviceapp::StartRefused()) {
            (void)serviceapp::NotifyServiceManager("READY=1");
        }
        Run();
        (void)serviceapp::NotifyServiceManager("STOPPING=1");
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
